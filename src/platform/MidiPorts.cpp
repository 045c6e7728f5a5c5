#include "platform/MidiPorts.h"
#include "platform/MidiPortsJack.h"

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <unistd.h>

namespace MidiText {

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string modelOf(const std::string& portName) {
    size_t colon = portName.find(':');
    return colon == std::string::npos ? portName : portName.substr(0, colon);
}

} // namespace MidiText

namespace {

using MidiText::modelOf;
using MidiText::nowMs;

const char* const clientName = "tarlume";

// RtMidi reports through this instead of printing or throwing once a port object exists.
void quietErrors(RtMidiError::Type, const std::string&, void*) {}

// ---- The ALSA sequencer, through RtMidi ---------------------------------------------------------

class RtInput : public MidiInputPort {
public:
    RtInput(std::unique_ptr<RtMidiIn> in, MidiReceive receive, void* ref) : in_(std::move(in)) {
        // Published to the MIDI thread, which RtMidi made before this object existed.
        ref_.store(ref, std::memory_order_relaxed);
        receive_.store(receive, std::memory_order_release);
    }
    ~RtInput() override {
        // Closing joins RtMidi's input thread: no callback runs after this.
        try {
            in_->cancelCallback();
            in_->closePort();
        } catch (const RtMidiError&) {
        }
    }
    // MIDI thread: hands the whole message over, nothing else.
    static void callback(double, std::vector<unsigned char>* message, void* self) {
        auto* input = static_cast<RtInput*>(self);
        MidiReceive receive = input->receive_.load(std::memory_order_acquire);
        if (receive && message && !message->empty())
            receive(input->ref_.load(std::memory_order_relaxed), message->data(), message->size(), nowMs());
    }
    RtMidiIn* port() { return in_.get(); }

private:
    std::unique_ptr<RtMidiIn> in_;
    std::atomic<MidiReceive> receive_{nullptr};
    std::atomic<void*> ref_{nullptr};
};

class RtOutput : public MidiOutputPort {
public:
    explicit RtOutput(std::unique_ptr<RtMidiOut> out) : out_(std::move(out)) {}
    ~RtOutput() override {
        try {
            out_->closePort();
        } catch (const RtMidiError&) {
        }
    }
    bool send(const uint8_t* bytes, size_t size) override {
        if (!bytes || size == 0) return false;
        try {
            out_->sendMessage(bytes, size);
            return true;
        } catch (const RtMidiError&) {
            return false;
        }
    }

private:
    std::unique_ptr<RtMidiOut> out_;
};

// The ALSA sequencer through RtMidi when the system has one, else a running JACK server
// (platform/MidiPortsJack.h): over libjack directly rather than RtMidi's JACK back end, which frees
// what its process thread reads before it closes the client.
class SystemMidiPorts : public MidiPorts {
public:
    std::vector<MidiEndpoint> sources() override { return alsa() ? endpointsOf(makeIn().get()) : jack().sources(); }
    std::vector<MidiEndpoint> destinations() override {
        return alsa() ? endpointsOf(makeOut().get()) : jack().destinations();
    }
    std::unique_ptr<MidiInputPort> openInput(int index, MidiReceive receive, void* ref) override {
        if (index < 0 || !receive) return nullptr;
        if (!alsa()) return jack().openInput(index, receive, ref);
        auto in = makeIn();
        if (!in) return nullptr;
        try {
            if (unsigned(index) >= in->getPortCount()) return nullptr;
            auto port = listeningInput(std::move(in), receive, ref);
            port->port()->openPort(unsigned(index), "Input port");
            return port;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::unique_ptr<MidiOutputPort> openOutput(int index) override {
        if (index < 0) return nullptr;
        if (!alsa()) return jack().openOutput(index);
        auto out = makeOut();
        if (!out) return nullptr;
        try {
            if (unsigned(index) >= out->getPortCount()) return nullptr;
            out->openPort(unsigned(index), "Output port");
            return std::make_unique<RtOutput>(std::move(out));
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::unique_ptr<MidiInputPort> openVirtualInput(const std::string& name, MidiReceive receive, void* ref) override {
        if (!receive) return nullptr;
        if (!alsa()) return jack().openVirtualInput(name, receive, ref);
        auto in = makeIn();
        if (!in) return nullptr;
        try {
            auto port = listeningInput(std::move(in), receive, ref);
            port->port()->openVirtualPort(name);
            return port;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::unique_ptr<MidiOutputPort> openVirtualOutput(const std::string& name) override {
        if (!alsa()) return jack().openVirtualOutput(name);
        auto out = makeOut();
        if (!out) return nullptr;
        try {
            out->openVirtualPort(name);
            return std::make_unique<RtOutput>(std::move(out));
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }

    unsigned watch() override { return jackUsed_ ? jack().watch() : 0; }
    bool listed() override { return !jackUsed_ || jack().listed(); }
    void closeForQuit() override {
        if (jackUsed_) jack().closeForQuit();
    }

private:
    static std::vector<MidiEndpoint> endpointsOf(const std::vector<std::string>& names) {
        std::vector<MidiEndpoint> list;
        for (size_t i = 0; i < names.size(); i++)
            list.push_back({int(i), names[i], modelOf(names[i])});
        return list;
    }
    // The ports an RtMidi client sees; none when the client could not be made.
    static std::vector<MidiEndpoint> endpointsOf(RtMidi* client) {
        std::vector<std::string> names;
        if (!client) return {};
        try {
            unsigned n = client->getPortCount();
            for (unsigned i = 0; i < n; i++)
                names.push_back(client->getPortName(i));
        } catch (const RtMidiError&) {
            return {};
        }
        return endpointsOf(names);
    }
    // An input that hands notes, controls and system exclusive messages (not timing or active
    // sensing) to `receive`, before its port is opened. May throw RtMidiError.
    static std::unique_ptr<RtInput> listeningInput(std::unique_ptr<RtMidiIn> in, MidiReceive receive, void* ref) {
        in->ignoreTypes(false, true, true);
        auto port = std::make_unique<RtInput>(std::move(in), receive, ref);
        port->port()->setCallback(&RtInput::callback, port.get());
        return port;
    }
    // Whether the system has the ALSA sequencer, asked at every call (a JACK server may start or stop while we run);
    // else JACK is used. Without the sequencer device RtMidi's ALSA back end prints and throws: it is not asked then.
    static bool alsa() {
        if (access("/dev/snd/seq", R_OK | W_OK) != 0) return false;
        try {
            RtMidiIn probe(RtMidi::LINUX_ALSA, clientName);
            return true;
        } catch (const RtMidiError&) {
            return false;
        }
    }
    static std::unique_ptr<RtMidiIn> makeIn() {
        try {
            auto in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, clientName);
            in->setErrorCallback(quietErrors, nullptr);
            return in;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    static std::unique_ptr<RtMidiOut> makeOut() {
        try {
            auto out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, clientName);
            out->setErrorCallback(quietErrors, nullptr);
            return out;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    // JACK once it has been asked for: watched from then on (the ALSA sequencer needs no watching).
    MidiPorts& jack() {
        jackUsed_ = true;
        return jackMidiPorts();
    }
    bool jackUsed_ = false;
};

MidiPorts* installed = nullptr;

} // namespace

MidiPorts& MidiPorts::get() {
    static SystemMidiPorts system;
    return installed ? *installed : system;
}

void MidiPorts::install(MidiPorts* ports) {
    installed = ports;
}
