// Controller ports and feedback: connecting to MIDI endpoints by model name, queuing input for the
// main thread, and sending LED, value, jog-ring and text-display bytes when they change.
#include "controllers/HIDDevice.h"

#include "controllers/ControllerHub.h"

#include "foundation/modTools.h"
#include "skin/SkinInterface.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace {

int wakeFd() {
    static int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

} // namespace

int controllerInputWakeFd() {
    return wakeFd();
}

// One open source and the single-producer, single-consumer ring its MIDI thread fills. Slots are
// fixed so that the MIDI thread never allocates; a message longer than a slot is dropped.
struct HIDInputLink {
    struct Slot {
        double time;
        uint16_t size;
        uint8_t bytes[254];
    };
    static constexpr size_t capacity = 512;
    std::array<Slot, capacity> slots;
    std::atomic<size_t> head{0}; // written by the MIDI thread
    std::atomic<size_t> tail{0}; // written by the main thread
    std::atomic<unsigned> dropped{0};
    std::unique_ptr<MidiInputPort> port;

    bool push(const uint8_t* bytes, size_t size, double time) {
        size_t h = head.load(std::memory_order_relaxed);
        if (size > sizeof(Slot::bytes) || h - tail.load(std::memory_order_acquire) >= capacity) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        Slot& s = slots[h % capacity];
        s.time = time;
        s.size = uint16_t(size);
        std::copy(bytes, bytes + size, s.bytes);
        head.store(h + 1, std::memory_order_release);
        return true;
    }
    const Slot* front() const {
        size_t t = tail.load(std::memory_order_relaxed);
        return t == head.load(std::memory_order_acquire) ? nullptr : &slots[t % capacity];
    }
    void pop() { tail.store(tail.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
};

void MidiReadProc(void* link, const uint8_t* bytes, size_t size, double time) {
    if (static_cast<HIDInputLink*>(link)->push(bytes, size, time)) {
        uint64_t one = 1;
        ssize_t written = write(wakeFd(), &one, sizeof one);
        (void)written;
    }
}

void splitMidiPacket(const uint8_t* bytes, size_t size, std::vector<std::vector<int>>& messages) {
    std::vector<int> message;
    for (size_t i = 0; i < size; i++) {
        message.push_back(bytes[i]);
        if ((message[0] == 0xF0 && bytes[i] == 0xF7) || (message.size() == 3 && message[0] != 0xF0)) {
            messages.push_back(std::move(message));
            message.clear();
        }
    }
    if (!message.empty()) messages.push_back(std::move(message));
}

void HIDDevice::drainInput() {
    uint64_t count;
    ssize_t got = read(wakeFd(), &count, sizeof count);
    (void)got;
    std::vector<std::vector<int>> messages;
    const unsigned generation = portGeneration;
    auto gone = [&] { return !connected || portGeneration != generation; };
    for (size_t n = 0; n < inputs.size() && !gone(); n++) {
        HIDInputLink* link = inputs[n].get();
        while (const HIDInputLink::Slot* slot = link->front()) {
            messages.clear();
            splitMidiPacket(slot->bytes, slot->size, messages);
            link->pop();
            // An action may disconnect or reconnect the device, closing this queue.
            for (auto& m : messages) {
                if (gone()) return;
                handleMessage(&m, -1.0);
            }
            if (gone()) return;
        }
    }
}

// ---- Connection ---------------------------------------------------------------------------------

HIDDevice::HIDDevice(SkinInterface* skinInterface) : iface(skinInterface) {
    for (int i = 0; i < 16; i++)
        playerMap[i] = i;
}

HIDDevice::~HIDDevice() {
    disconnect();
    closePorts();
}

void HIDDevice::closePorts() {
    // Closing an input stops its callback before the ring goes.
    portGeneration++;
    inputs.clear();
    output.reset();
}

void HIDDevice::connect() {
    connect(type, descriptor.model);
}

void HIDDevice::connect(enHIDType wanted, const std::string& configuredName) {
    if (connected) disconnect();
    deviceName = configuredName;
    // One that waited for the devices to be listed goes on waiting until its own are there: a controller's program
    // may join a server some time after the server came.
    const bool waited = std::exchange(awaitingDevices, false);
    if (type != wanted || type != HIDTYPE_MIDI) return;
    MidiPorts& ports = MidiPorts::get();
    // Both directions from one listing: a first listing that came in between the two is asked for again.
    const bool listedBefore = ports.listed();
    std::vector<MidiEndpoint> sources = ports.sources(), destinations = ports.destinations();
    if (!listedBefore && ports.listed()) {
        sources = ports.sources();
        destinations = ports.destinations();
    }
    if (!descriptor.model.empty())
        for (const MidiEndpoint& source : sources) {
            if (source.model != descriptor.model) continue;
            auto link = std::make_unique<HIDInputLink>();
            link->port = ports.openInput(source.index, &MidiReadProc, link.get());
            if (!link->port) continue;
            inputs.push_back(std::move(link));
            inputFound = true;
        }
    for (const MidiEndpoint& destination : destinations) {
        if (destination.model != configuredName) continue;
        output = ports.openOutput(destination.index);
        if (output) {
            outputJoins = output->joins();
            outputFound = true;
            break;
        }
    }
    if (outputFound && output && specialOutput) specialOutput->sendBytesDown();
    // Connected only with a port open now: the found flags stay set from an earlier connect, and endpoints
    // gone since then must not leave a device that says "connected" and reaches nothing.
    if (!inputs.empty() || output) connected = true;
    awaitingDevices = !connected && (waited || !ports.listed());
}

void HIDDevice::disconnect() {
    if (connected && outputFound && specialOutput) specialOutput->sendBytesUp();
    connected = false;
    // Closed ports deliver nothing more; what they had queued is dropped with them.
    closePorts();
}

std::string HIDDevice::getMidiDevice(int index, int* typeOut, int* number) {
    // The sources as listed when row 0 was asked for: a list filled row by row asks the MIDI system once, and its
    // rows are those of one listing.
    static std::vector<MidiEndpoint> sources;
    if (index <= 0) {
        sources = MidiPorts::get().sources();
        if (typeOut) *typeOut = 2;
        if (number) *number = 0;
        return "Keyboard";
    }
    if (size_t(index) > sources.size()) return "";
    if (typeOut) *typeOut = 1;
    if (number) *number = index - 1;
    return sources[size_t(index - 1)].model;
}

void HIDDevice::midiSendMessage(const std::vector<int>* codes, int player) {
    if (!output || !codes || codes->empty()) return;
    std::vector<uint8_t> out;
    out.reserve(codes->size());
    bool channelMessage = codes->size() == 3;
    for (size_t i = 0; i < codes->size(); i++) {
        int code = (*codes)[i];
        if (channelMessage && i == 0 && code <= HIDCODE_CHANNEL && code >= HIDCODE_CHANNEL - 15)
            code = (HIDCODE_CHANNEL - code) * 16 + std::clamp(player, 0, 15);
        // Never a negative (unresolved) code; a status byte only first, or F7 closing a system
        // exclusive message; data bytes are clamped to 0..127.
        if (code < 0) return;
        bool status = i == 0 || (i + 1 == codes->size() && code == 0xF7 && (*codes)[0] == 0xF0);
        code = std::min(code, status ? 255 : 127);
        out.push_back(uint8_t(code));
    }
    output->send(out.data(), out.size());
}

void HIDObject::sendBytesDown() {
    if (!bytes[0][HIDPATTERN_DOWN].empty()) device->midiSendMessage(&bytes[0][HIDPATTERN_DOWN], 0);
}

void HIDObject::sendBytesUp() {
    if (!bytes[0][HIDPATTERN_UP].empty()) device->midiSendMessage(&bytes[0][HIDPATTERN_UP], 0);
}

// ---- Feedback -----------------------------------------------------------------------------------

void HIDDevice::update() {
    for (size_t n = 0; n < pendingTriggers.size();) {
        HIDObject* o = pendingTriggers[n];
        o->handleTrigger();
        if (!o->hasTriggerActive())
            pendingTriggers.erase(pendingTriggers.begin() + long(n));
        else
            n++;
    }
    if (!outputFound || !output) return;
    if (output->joins() != outputJoins) {
        // Joined anew (the server restarted, the controller's program came back): what it was sent before never
        // reached it, so it is told everything, as when it is chosen.
        outputJoins = output->joins();
        if (specialOutput) specialOutput->sendBytesDown();
        forgetSent();
    }
    for (auto& group : groups)
        for (int p = 0; p < 4; p++)
            if (HIDTab* tab = group->getCurrentTab(p))
                for (auto& o : tab->outputs)
                    o->handleOutput(p);
}

void HIDDevice::forgetSent() {
    for (auto& group : groups)
        for (auto& tab : group->tabs)
            for (auto& o : tab->outputs) {
                std::fill(std::begin(o->lastState), std::end(o->lastState), -1);
                for (auto& lights : o->ring)
                    lights.clear();
            }
    for (auto& display : displays)
        for (auto& text : display->shownText)
            text.clear();
}

namespace {
bool isChannelToken(int code) {
    return code <= HIDCODE_CHANNEL && code >= HIDCODE_CHANNEL - 15;
}
} // namespace

void HIDObject::handleOutput(int p) {
    if (!iface || p < 0 || p > 3) return;
    int R = getPlayer(true);
    bool channelMode = false;
    const std::vector<int>& down1 = bytes[0][HIDPATTERN_DOWN];
    if (!down1.empty() && isChannelToken(down1[0]))
        channelMode = true;
    else if (display && !display->segBytes.empty() && !display->segBytes[0].empty() &&
             isChannelToken(display->segBytes[0][0]))
        channelMode = true;
    int q, set;
    if (channelMode) {
        q = p;
        set = 0;
    } else if (p == 0) {
        q = R;
        set = 0;
    } else {
        if (bytes[p][HIDPATTERN_DOWN].empty()) return;
        q = p;
        set = p;
    }
    // A player past the four decks has no state to keep.
    if (q < 0 || q > 3) return;
    int deck = device->playerMap[q];
    std::vector<int>* pat = bytes[set];
    switch (kind) {
    case OBJECT_BUTTON: {
        bool on = iface->getValueBool(value, &valueSpecifier, deck, nullptr);
        if (!on) {
            if (value == VALUE_TABSELECT) {
                on = device->isActiveTab(valueSpecifier, deck);
            } else if (flashLength > 0) {
                double t = device->now() + flashOffset;
                on = (t - std::floor(t / flashLength) * flashLength) < flashLength * flashRatio;
            }
        }
        if (!switchMode) {
            if (on && lastState[q] != 1) {
                device->midiSendMessage(&pat[HIDPATTERN_DOWN], q);
                lastState[q] = 1;
            } else if (!on && lastState[q] != 0) {
                device->midiSendMessage(&pat[HIDPATTERN_UP], q);
                lastState[q] = 0;
            }
        } else {
            if (on && lastState[q] != 1) {
                device->midiSendMessage(&pat[HIDPATTERN_DOWN], q);
                lastState[q] = 1;
            } else if (!on && lastState[q] == 1) {
                device->midiSendMessage(&pat[HIDPATTERN_DOWN], q);
                lastState[q] = 0;
            }
        }
        break;
    }
    case OBJECT_SLIDER:
    case OBJECT_KNOB: {
        double v = iface->getValueDblRelative(value, &valueSpecifier, deck);
        if (invert) v = 1 - v;
        v = std::clamp(v, 0.0, 1.0);
        int n = int(v * 127);
        if (n == lastState[q]) break;
        std::vector<int> message = pat[HIDPATTERN_VALUE];
        for (int& code : message) {
            if (code == HIDCODE_VV) {
                code = n;
            } else if (code == HIDCODE_CHAR1 && mapping) {
                int mapped = 0;
                for (size_t e = 0; e < mapping->characters.size(); e++) {
                    if (v * 100 >= strToDbl(mapping->characters[e]) - 0.01)
                        mapped = mapping->values[e];
                    else
                        break;
                }
                code = mapped;
            }
        }
        device->midiSendMessage(&message, q);
        lastState[q] = n;
        break;
    }
    case OBJECT_TEXT:
        if (display && p <= 1) display->showText(iface->getValueStr(value, &valueSpecifier, p), p);
        break;
    case OBJECT_JOGWHEEL: {
        const std::vector<int>& D = pat[HIDPATTERN_DOWN];
        const std::vector<int>& U = pat[HIDPATTERN_UP];
        if (D.size() < 3 || U.size() < 3) break;
        double v = iface->getValueDbl(value, &valueSpecifier, deck);
        if (!std::isfinite(v)) break;
        double position = (v - std::trunc(v / 1800) * 1800) / 1800;
        int step = int(position * 60);
        if (step == lastState[q]) break;
        lastState[q] = step;
        drawRing(q, set, position);
        break;
    }
    default:
        break;
    }
}

void HIDObject::drawRing(int q, int set, double position) {
    std::vector<int>& state = ring[q];
    if (state.empty()) state.assign(60, -1);
    const std::vector<int>& D = bytes[set][HIDPATTERN_DOWN];
    const std::vector<int>& U = bytes[set][HIDPATTERN_UP];
    std::string elapsedSpec;
    double e = iface->getValueDblRelative(iface->getValue("TimeElapsed"), &elapsedSpec, q);
    std::vector<int> message(D.begin(), D.begin() + 3);
    for (int j = 0; j < 60; j++, message[1]++) {
        double f = j / 60.0;
        bool on = (position <= f && f <= position + 0.05) || (e <= f && f <= e + 1.0 / 30) || (j % 6 == 0 && f < e);
        // Lights whose note would not fit in a data byte don't exist.
        if (message[1] < 0 || message[1] > 127) continue;
        message[2] = on ? D[2] : U[2];
        if (state[size_t(j)] != (on ? 1 : 0)) {
            device->midiSendMessage(&message, q);
            state[size_t(j)] = on ? 1 : 0;
        }
    }
}

void HIDDisplay::showText(std::string text, int p) {
    if (p < 0 || p > 3) return;
    double now = device->now();
    if (text != lastText[p]) {
        scrollPos[p] = 0;
        scrollTime[p] = now;
        lastText[p] = text;
    }
    std::string shown = text;
    if (scrolling && int(text.size()) > width) {
        double o = double(text.size()) - width;
        scrollPos[p] += (now - scrollTime[p]) / (o <= 5 ? 600.0 : 250.0);
        if (scrollPos[p] > 2 * o + 8 || scrollPos[p] < 0) scrollPos[p] = 0;
        double pos = scrollPos[p];
        size_t from = 0;
        if (pos <= o)
            from = size_t(pos);
        else if (pos <= o + 3)
            from = size_t(o);
        else if (pos <= 2 * o + 3)
            from = size_t(2 * o + 3 - pos);
        shown = text.substr(std::min(from, text.size()));
        scrollTime[p] = now;
    }
    auto part = [](const std::string& s, int pos, int len) {
        return size_t(pos) + size_t(len) <= s.size() ? s.substr(size_t(pos), size_t(len)) : std::string();
    };
    for (size_t s = 0; s < segBytes.size(); s++) {
        std::string now = part(shown, segPos[s], segLen[s]);
        std::string old = part(shownText[p], segPos[s], segLen[s]);
        if (now == old) continue;
        if (now.empty()) now = std::string(size_t(std::min(segLen[s], 2)), ' ');
        std::vector<int> message = segBytes[s];
        bool complete = true;
        for (int& code : message) {
            if (code != HIDCODE_CHAR1 && code != HIDCODE_CHAR2) continue;
            HIDCharacter* m = code == HIDCODE_CHAR1 ? (mappings.empty() ? nullptr : mappings[0])
                                                    : (mappings.size() > 1 ? mappings[1] : nullptr);
            int c = m ? m->getValue(now) : -1;
            // A character the map lacks shows as the map's space, else the segment is left alone.
            if (c < 0 && m) c = m->getValue(std::string(now.size(), ' '));
            if (c < 0 && m) c = m->getValue(" ");
            if (c < 0) complete = false;
            code = c;
        }
        if (complete) device->midiSendMessage(&message, p);
    }
    shownText[p] = shown;
}
