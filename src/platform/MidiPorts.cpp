#include "platform/MidiPorts.h"

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
        if (holder_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closing_ = true;
            }
            wake_.notify_all();
            holder_.join();
        }
        try {
            out_->closePort();
        } catch (const RtMidiError&) {
        }
    }
    // JACK makes a new connection part of the graph at the start of a cycle: bytes its client takes
    // from RtMidi in a cycle already running are lost, and the first bytes a controller gets (its
    // connect message) matter. So sends wait in order until a cycle began after the connection was
    // made, on a thread of this output's own rather than in the caller's (main) thread.
    void holdUntilNextCycle() {
        holding_ = true;
        holder_ = std::thread([this] { sendHeldAfterNextCycle(); });
    }
    bool send(const uint8_t* bytes, size_t size) override {
        if (!bytes || size == 0) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (holding_) {
            if (held_.size() >= maxHeld) return false;
            held_.emplace_back(bytes, bytes + size);
            return true;
        }
        return sendNow(bytes, size);
    }

private:
    static constexpr size_t maxHeld = 4096; // messages, far more than a controller's first frame

    bool sendNow(const uint8_t* bytes, size_t size) {
        try {
            out_->sendMessage(bytes, size);
            return true;
        } catch (const RtMidiError&) {
            return false;
        }
    }
    // Holding thread. Gives up waiting after 200 ms (a stopped server) and sends what it holds.
    void sendHeldAfterNextCycle() {
        jack_client_t* probe = jack_client_open("tarlume-probe", JackNoStartServer, nullptr);
        std::unique_lock<std::mutex> lock(mutex_);
        if (probe) {
            // Start of the cycle now running, or of the last one, in frames of JACK's clock.
            jack_nframes_t connectedBy = jack_last_frame_time(probe);
            auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            while (!closing_ && jack_last_frame_time(probe) == connectedBy && std::chrono::steady_clock::now() < giveUp)
                wake_.wait_for(lock, std::chrono::milliseconds(1));
        }
        for (const std::vector<uint8_t>& message : held_)
            sendNow(message.data(), message.size());
        held_.clear();
        holding_ = false;
        lock.unlock();
        if (probe) jack_client_close(probe);
    }

    std::unique_ptr<RtMidiOut> out_;
    std::mutex mutex_; // guards out_'s sends and the holding state below
    std::condition_variable wake_;
    bool holding_ = false;
    bool closing_ = false;
    std::vector<std::vector<uint8_t>> held_;
    std::thread holder_;
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
            out->openPort(unsigned(index), "Output port");
            auto port = std::make_unique<RtOutput>(std::move(out));
            if (api_ == RtMidi::UNIX_JACK) port->holdUntilNextCycle();
            return port;
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
