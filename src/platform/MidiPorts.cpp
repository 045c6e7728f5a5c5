#include "platform/MidiPorts.h"
#include "platform/JackFirstBytes.h"
#include "platform/SoundDevices.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

const char* const clientName = "tarlume";

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string modelOf(const std::string& portName) {
    size_t colon = portName.find(':');
    return colon == std::string::npos ? portName : portName.substr(0, colon);
}

// RtMidi reports through this instead of printing or throwing once a port object exists.
void quietErrors(RtMidiError::Type, const std::string&, void*) {}
void quietJack(const char*) {}

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

// ---- JACK ---------------------------------------------------------------------------------------
//
// Over libjack directly rather than RtMidi's JACK back end, which frees what its process thread reads
// before it closes the client. Each open port is a client of its own named as the program ("tarlume",
// made unique by the server), so that ports keep the names other programs and users know.

// One client with one MIDI port, running `process` on JACK's process thread once opened.
class JackMidiClient {
public:
    ~JackMidiClient() { close(); }
    bool open(const std::string& portName, bool output, JackProcessCallback process, void* arg) {
        client_ = jack_client_open(clientName, JackNoStartServer, nullptr);
        if (!client_) return false;
        // Registered before the client runs: ports added or removed while it runs race with libjack's own
        // handling of the server's notices.
        jack_port_t* port = jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                               output ? JackPortIsOutput : JackPortIsInput, 0);
        port_.store(port, std::memory_order_release); // for the process thread, which libjack may have made
        if (!port || jack_set_process_callback(client_, process, arg) != 0 || jack_activate(client_) != 0) {
            close();
            return false;
        }
        return true;
    }
    // Joins our port to another program's (ours as the source when it is an output).
    bool connect(const std::string& other) {
        const char* ours = jack_port_name(port());
        bool output = (jack_port_flags(port()) & JackPortIsOutput) != 0;
        int result = output ? jack_connect(client_, ours, other.c_str()) : jack_connect(client_, other.c_str(), ours);
        return result == 0 || result == EEXIST;
    }
    // Deactivates and closes: once this returns the process thread is gone (libjack cancels it, even
    // within a callback), so what it reads may be freed. Owners call it first in their destructors.
    void close() {
        if (client_) jack_client_close(client_);
        client_ = nullptr;
        port_.store(nullptr, std::memory_order_relaxed);
    }
    jack_port_t* port() const { return port_.load(std::memory_order_acquire); }
    jack_client_t* handle() const { return client_; }

private:
    jack_client_t* client_ = nullptr;
    std::atomic<jack_port_t*> port_{nullptr};
};

class JackInput : public MidiInputPort {
public:
    JackInput(MidiReceive receive, void* ref) : receive_(receive), ref_(ref) {}
    ~JackInput() override { client_.close(); }
    bool open(const std::string& portName) { return client_.open(portName, false, &JackInput::process, this); }
    JackMidiClient& client() { return client_; }

private:
    static int process(jack_nframes_t frames, void* self) {
        auto* input = static_cast<JackInput*>(self);
        void* buffer = jack_port_get_buffer(input->client_.port(), frames);
        uint32_t count = buffer ? jack_midi_get_event_count(buffer) : 0;
        for (uint32_t i = 0; i < count; i++) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0 && event.size > 0) input->take(event.buffer, event.size);
        }
        return 0;
    }
    // Hands on notes, controls and system exclusive messages (not timing or active sensing). A system
    // exclusive message may come in parts: they are joined in a buffer of the port's own, never
    // allocated here; one longer than the buffer is dropped.
    void take(const uint8_t* bytes, size_t size) {
        uint8_t status = bytes[0];
        if (status == 0xF1 || status == 0xF8 || status == 0xFE) return;
        if (status == 0xF0) {
            sysexSize_ = 0;
            inSysex_ = true;
        } else if (inSysex_ && status >= 0x80 && status != 0xF7 && status < 0xF8) {
            inSysex_ = false; // broken off by another message
        }
        if (!inSysex_ || status >= 0xF8) {
            receive_(ref_, bytes, size, nowMs());
            return;
        }
        if (sysexSize_ + size <= sysex_.size()) std::copy(bytes, bytes + size, sysex_.data() + sysexSize_);
        sysexSize_ += size; // past the buffer: dropped at its end
        if (bytes[size - 1] != 0xF7) return;
        inSysex_ = false;
        if (sysexSize_ <= sysex_.size()) receive_(ref_, sysex_.data(), sysexSize_, nowMs());
    }

    const MidiReceive receive_; // set before the client runs
    void* const ref_;
    std::array<uint8_t, 1024> sysex_{}; // process thread only, as the two below
    size_t sysexSize_ = 0;
    bool inSysex_ = false;
    JackMidiClient client_;
};

// Sends go into a ring of the output's own that the process thread empties in order into the port's
// buffer, as much as a cycle's buffer holds, leaving the rest for the next cycle. An output joined to a
// destination holds its first bytes until the connection carries them (JackFirstBytes).
class JackOutput : public MidiOutputPort {
public:
    explicit JackOutput(bool holdUntilConnected) : holdUntilConnected_(holdUntilConnected) {}
    ~JackOutput() override {
        // What was sent last (a controller's goodbye) goes out while a connection carries it, within a
        // bound for a server that runs no cycle.
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (client_.port() && head_.load(std::memory_order_relaxed) != tail_.load(std::memory_order_acquire) &&
               jack_port_connected(client_.port()) > 0 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        client_.close();
    }
    bool open(const std::string& portName) { return client_.open(portName, true, &JackOutput::process, this); }
    JackMidiClient& client() { return client_; }
    // Main thread. False when the ring has no room (a server that runs no cycle, or a connection gone).
    bool send(const uint8_t* bytes, size_t size) override {
        size_t head = head_.load(std::memory_order_relaxed);
        if (!bytes || size == 0 || size + kHeader > kRing - (head - tail_.load(std::memory_order_acquire)))
            return false;
        uint32_t length = uint32_t(size);
        copyIn(head, reinterpret_cast<const uint8_t*>(&length), kHeader);
        copyIn(head + kHeader, bytes, size);
        head_.store(head + kHeader + size, std::memory_order_release);
        return true;
    }

private:
    static constexpr size_t kRing = size_t(1) << 16; // bytes; a power of two
    static constexpr size_t kHeader = sizeof(uint32_t);

    static int process(jack_nframes_t frames, void* self) {
        auto* output = static_cast<JackOutput*>(self);
        jack_port_t* port = output->client_.port();
        void* buffer = jack_port_get_buffer(port, frames);
        if (!buffer) return 0;
        jack_midi_clear_buffer(buffer);
        size_t tail = output->tail_.load(std::memory_order_relaxed);
        const size_t head = output->head_.load(std::memory_order_acquire);
        if (output->holdUntilConnected_ &&
            !output->firstBytes_.mayWrite(output->client_.handle(), port, frames, tail != head))
            return 0;
        bool wrote = false;
        while (tail != head) {
            uint32_t length;
            output->copyOut(tail, reinterpret_cast<uint8_t*>(&length), kHeader);
            if (length > jack_midi_max_event_size(buffer)) {
                if (wrote) break;         // the next cycle's buffer
                tail += kHeader + length; // more than a whole cycle's buffer holds: never fits
                continue;
            }
            jack_midi_data_t* to = jack_midi_event_reserve(buffer, 0, length);
            if (!to) break;
            output->copyOut(tail + kHeader, to, length);
            tail += kHeader + length;
            wrote = true;
        }
        output->tail_.store(tail, std::memory_order_release);
        return 0;
    }
    void copyIn(size_t at, const uint8_t* bytes, size_t size) {
        for (size_t i = 0; i < size; i++)
            ring_[(at + i) & (kRing - 1)] = bytes[i];
    }
    void copyOut(size_t at, uint8_t* bytes, size_t size) const {
        for (size_t i = 0; i < size; i++)
            bytes[i] = ring_[(at + i) & (kRing - 1)];
    }

    const bool holdUntilConnected_;
    JackFirstBytes firstBytes_; // process thread only
    std::unique_ptr<uint8_t[]> ring_{new uint8_t[kRing]};
    std::atomic<size_t> head_{0}; // written by the sender
    std::atomic<size_t> tail_{0}; // written by the process thread
    JackMidiClient client_;
};

// A client that only asks the server (lists ports); closed when it goes. Null when no server runs.
struct JackProbe {
    jack_client_t* client = jack_client_open("tarlume-probe", JackNoStartServer, nullptr);
    ~JackProbe() {
        if (client) jack_client_close(client);
    }
};

// The full names of the MIDI ports that send (`JackPortIsOutput`) or receive, in the server's order.
std::vector<std::string> jackPorts(unsigned long flags) {
    std::vector<std::string> names;
    JackProbe probe;
    if (!probe.client) return names;
    if (const char** ports = jack_get_ports(probe.client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags)) {
        for (const char** p = ports; *p; p++)
            names.emplace_back(*p);
        jack_free(ports);
    }
    return names;
}

// The ALSA sequencer through RtMidi when the system has one, else a running JACK server through
// the ports above.
class SystemMidiPorts : public MidiPorts {
public:
    std::vector<MidiEndpoint> sources() override {
        RtMidi::Api api = findApi();
        return api == RtMidi::UNIX_JACK ? endpointsOf(jackPorts(JackPortIsOutput)) : endpointsOf(makeIn(api).get());
    }
    std::vector<MidiEndpoint> destinations() override {
        RtMidi::Api api = findApi();
        return api == RtMidi::UNIX_JACK ? endpointsOf(jackPorts(JackPortIsInput)) : endpointsOf(makeOut(api).get());
    }
    std::unique_ptr<MidiInputPort> openInput(int index, MidiReceive receive, void* ref) override {
        RtMidi::Api api = findApi();
        if (index < 0 || !receive) return nullptr;
        if (api == RtMidi::UNIX_JACK) {
            auto port = std::make_unique<JackInput>(receive, ref);
            return joined(std::move(port), jackPorts(JackPortIsOutput), index, "Input port");
        }
        auto in = makeIn(api);
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
        RtMidi::Api api = findApi();
        if (index < 0) return nullptr;
        if (api == RtMidi::UNIX_JACK)
            return joined(std::make_unique<JackOutput>(true), jackPorts(JackPortIsInput), index, "Output port");
        auto out = makeOut(api);
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
        RtMidi::Api api = findApi();
        if (!receive) return nullptr;
        if (api == RtMidi::UNIX_JACK) {
            auto port = std::make_unique<JackInput>(receive, ref);
            return port->open(name) ? std::move(port) : nullptr;
        }
        auto in = makeIn(api);
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
        RtMidi::Api api = findApi();
        if (api == RtMidi::UNIX_JACK) {
            // Nobody is joined yet: what is sent goes out at once, as from any port of a program.
            auto port = std::make_unique<JackOutput>(false);
            return port->open(name) ? std::move(port) : nullptr;
        }
        auto out = makeOut(api);
        if (!out) return nullptr;
        try {
            out->openVirtualPort(name);
            return std::make_unique<RtOutput>(std::move(out));
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }

private:
    // A JACK port opened as `portName` and joined to the index'th of `others`; null when either fails.
    template <class Port>
    static std::unique_ptr<Port> joined(std::unique_ptr<Port> port, const std::vector<std::string>& others, int index,
                                        const std::string& portName) {
        if (size_t(index) >= others.size() || !port->open(portName) || !port->client().connect(others[size_t(index)]))
            return nullptr;
        return port;
    }
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
    // The system to use, found at every call (a JACK server may start or stop while we run):
    // LINUX_ALSA, UNIX_JACK, or UNSPECIFIED when there is none, said once on standard error.
    RtMidi::Api findApi() {
        // Without the sequencer device RtMidi's ALSA back end prints and throws: don't ask it.
        if (access("/dev/snd/seq", R_OK | W_OK) == 0) {
            try {
                RtMidiIn probe(RtMidi::LINUX_ALSA, clientName);
                return RtMidi::LINUX_ALSA;
            } catch (const RtMidiError&) {
            }
        }
        // While a request of the sound's to the JACK server is not answered (a server stopped or held in a
        // debugger), libjack makes every other client's open wait for it: controllers are off until it answers.
        if (SoundDevices::jackRequestOut()) return RtMidi::UNSPECIFIED;
        jack_set_error_function(quietJack);
        jack_set_info_function(quietJack);
        if (JackProbe().client) return RtMidi::UNIX_JACK;
        std::call_once(saidNone_,
                       [] { fprintf(stderr, "No MIDI system (neither ALSA nor JACK): controllers are off\n"); });
        return RtMidi::UNSPECIFIED;
    }
    static std::unique_ptr<RtMidiIn> makeIn(RtMidi::Api api) {
        if (api == RtMidi::UNSPECIFIED) return nullptr;
        try {
            auto in = std::make_unique<RtMidiIn>(api, clientName);
            in->setErrorCallback(quietErrors, nullptr);
            return in;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    static std::unique_ptr<RtMidiOut> makeOut(RtMidi::Api api) {
        if (api == RtMidi::UNSPECIFIED) return nullptr;
        try {
            auto out = std::make_unique<RtMidiOut>(api, clientName);
            out->setErrorCallback(quietErrors, nullptr);
            return out;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::once_flag saidNone_;
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
