#include "platform/MidiPorts.h"

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
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

class RtInput : public MidiInputPort {
public:
    RtInput(std::unique_ptr<RtMidiIn> in, MidiReceive receive, void* ref) : in_(std::move(in)) {
        // Published to the MIDI thread, which RtMidi made before this object existed.
        ref_.store(ref, std::memory_order_relaxed);
        receive_.store(receive, std::memory_order_release);
    }
    ~RtInput() override {
        // Closing joins RtMidi's input thread (ALSA) or deactivates the JACK client: no callback
        // runs after this.
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

// RtMidi over the ALSA sequencer when the system has one, else over a running JACK server.
class RtMidiPorts : public MidiPorts {
public:
    std::vector<MidiEndpoint> sources() override { return endpointsOf(makeIn().get()); }
    std::vector<MidiEndpoint> destinations() override { return endpointsOf(makeOut().get()); }
    std::unique_ptr<MidiInputPort> openInput(int index, MidiReceive receive, void* ref) override {
        auto in = makeIn();
        if (!in || index < 0 || !receive) return nullptr;
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
        auto out = makeOut();
        if (!out || index < 0) return nullptr;
        try {
            if (unsigned(index) >= out->getPortCount()) return nullptr;
            std::string destination = out->getPortName(unsigned(index));
            out->openPort(unsigned(index), "Output port");
            if (api_ == RtMidi::UNIX_JACK) awaitJackConnection(destination);
            return std::make_unique<RtOutput>(std::move(out));
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::unique_ptr<MidiInputPort> openVirtualInput(const std::string& name, MidiReceive receive, void* ref) override {
        auto in = makeIn();
        if (!in || !receive) return nullptr;
        try {
            auto port = listeningInput(std::move(in), receive, ref);
            port->port()->openVirtualPort(name);
            return port;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::unique_ptr<MidiOutputPort> openVirtualOutput(const std::string& name) override {
        auto out = makeOut();
        if (!out) return nullptr;
        try {
            out->openVirtualPort(name);
            return std::make_unique<RtOutput>(std::move(out));
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }

private:
    // The ports a client sees, each with its model; none when the client could not be made.
    static std::vector<MidiEndpoint> endpointsOf(RtMidi* client) {
        std::vector<MidiEndpoint> list;
        if (!client) return list;
        try {
            unsigned n = client->getPortCount();
            for (unsigned i = 0; i < n; i++) {
                std::string name = client->getPortName(i);
                list.push_back({int(i), name, modelOf(name)});
            }
        } catch (const RtMidiError&) {
        }
        return list;
    }
    // An input that hands notes, controls and system exclusive messages (not timing or active
    // sensing) to `receive`, before its port is opened. May throw RtMidiError.
    static std::unique_ptr<RtInput> listeningInput(std::unique_ptr<RtMidiIn> in, MidiReceive receive, void* ref) {
        in->ignoreTypes(false, true, true);
        auto port = std::make_unique<RtInput>(std::move(in), receive, ref);
        port->port()->setCallback(&RtInput::callback, port.get());
        return port;
    }
    // JACK applies a new connection at a cycle's start: bytes sent before that are lost, and the
    // first bytes a controller gets (its connect message) matter. Waits at most 200 ms.
    static void awaitJackConnection(const std::string& destination) {
        jack_client_t* probe = jack_client_open("tarlume-probe", JackNoStartServer, nullptr);
        if (!probe) return;
        if (jack_port_t* port = jack_port_by_name(probe, destination.c_str())) {
            for (int waited = 0; waited < 200 && !jack_port_connected(port); waited += 2)
                usleep(2000);
            usleep(20000); // one more cycle of a large buffer for the graph to carry it
        }
        jack_client_close(probe);
    }

    // The API to use, found at every call (a JACK server may start or stop while we run);
    // UNSPECIFIED when there is none, said once on standard error.
    RtMidi::Api findApi() {
        // Without the sequencer device RtMidi's ALSA back end prints and throws: don't ask it.
        if (access("/dev/snd/seq", R_OK | W_OK) == 0) {
            try {
                RtMidiIn probe(RtMidi::LINUX_ALSA, clientName);
                return api_ = RtMidi::LINUX_ALSA;
            } catch (const RtMidiError&) {
            }
        }
        // RtMidi's JACK back end only warns when no server runs: ask the server ourselves.
        jack_set_error_function(quietJack);
        jack_set_info_function(quietJack);
        jack_status_t status;
        if (jack_client_t* probe = jack_client_open("tarlume-probe", JackNoStartServer, &status)) {
            jack_client_close(probe);
            return api_ = RtMidi::UNIX_JACK;
        }
        std::call_once(saidNone_,
                       [] { fprintf(stderr, "No MIDI system (neither ALSA nor JACK): controllers are off\n"); });
        return RtMidi::UNSPECIFIED;
    }
    std::unique_ptr<RtMidiIn> makeIn() {
        RtMidi::Api api = findApi();
        if (api == RtMidi::UNSPECIFIED) return nullptr;
        try {
            auto in = std::make_unique<RtMidiIn>(api, clientName);
            in->setErrorCallback(quietErrors, nullptr);
            return in;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
    std::unique_ptr<RtMidiOut> makeOut() {
        RtMidi::Api api = findApi();
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
    RtMidi::Api api_ = RtMidi::UNSPECIFIED; // the last one found
};

MidiPorts* installed = nullptr;

} // namespace

MidiPorts& MidiPorts::get() {
    static RtMidiPorts system;
    return installed ? *installed : system;
}

void MidiPorts::install(MidiPorts* ports) {
    installed = ports;
}
