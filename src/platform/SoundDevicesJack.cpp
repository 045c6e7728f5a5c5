// A running JACK server as a sound backend: one client of the program, its streams' ports named by channel so
// that anything joined to them by name (a recorder, a patchbay rule) finds them again after every reopening.
#include "platform/SoundDevices.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr const char* kJackApi = "JACK Audio Connection Kit"; // as PortAudio named it: device ids stay the same
constexpr const char* kJackDevice = "system";
constexpr int kMaxStreams = 16;
constexpr int kMaxChannels = 64;
constexpr int kChunkFrames = 4096; // a longer JACK period is handed to the procedure in parts

void quietJack(const char*) {}

// What the process thread touches of a stream: its ports, its buffers and its procedure. It outlives its stream
// when a block stalls inside it (see JackSession::leaveProcess).
struct JackStreamCore {
    explicit JackStreamCore(SoundIOProc* p) : proc(p) {}
    SoundIOProc* proc;
    std::vector<jack_port_t*> ports, in, out;
    std::vector<float> inBuf, outBuf; // interleaved, process thread
    std::atomic<bool> running{false};

    // Process thread: one period. A stream that is not running plays silence.
    void cycle(jack_nframes_t frames) {
        const int nIn = int(in.size()), nOut = int(out.size());
        float* inPorts[kMaxChannels];
        float* outPorts[kMaxChannels];
        for (int c = 0; c < nIn; c++)
            inPorts[c] = static_cast<float*>(jack_port_get_buffer(in[size_t(c)], frames));
        for (int c = 0; c < nOut; c++)
            outPorts[c] = static_cast<float*>(jack_port_get_buffer(out[size_t(c)], frames));
        if (!running.load()) {
            for (int c = 0; c < nOut; c++)
                std::memset(outPorts[c], 0, frames * sizeof(float));
            return;
        }
        for (jack_nframes_t done = 0; done < frames;) {
            const int n = int(std::min<jack_nframes_t>(frames - done, kChunkFrames));
            SoundBufferList inList, outList;
            if (nIn > 0) {
                for (int f = 0; f < n; f++)
                    for (int c = 0; c < nIn; c++)
                        inBuf[size_t(f * nIn + c)] = inPorts[c][done + jack_nframes_t(f)];
                inList.count = 1;
                inList.buffers[0] = {nIn, uint32_t(n * nIn * 4), inBuf.data()};
            }
            if (nOut > 0) {
                std::fill(outBuf.begin(), outBuf.begin() + n * nOut, 0.0f);
                outList.count = 1;
                outList.buffers[0] = {nOut, uint32_t(n * nOut * 4), outBuf.data()};
            }
            proc->soundIO(&outList, nIn > 0 ? &inList : nullptr);
            for (int f = 0; f < n; f++)
                for (int c = 0; c < nOut; c++)
                    outPorts[c][done + jack_nframes_t(f)] = outBuf[size_t(f * nOut + c)];
            done += jack_nframes_t(n);
        }
    }
};

// One client of the server. Streams keep their session alive, so a stream of a client that died meanwhile
// never touches the client that replaced it.
class JackSession : public std::enable_shared_from_this<JackSession> {
public:
    explicit JackSession(jack_client_t* client) : client_(client) {
        rate_.store(double(jack_get_sample_rate(client)));
        jack_set_process_callback(client, &JackSession::process, this);
        jack_set_sample_rate_callback(client, &JackSession::rateChanged, this);
        jack_on_shutdown(client, &JackSession::shutdown, this);
        jack_activate(client);
    }
    ~JackSession() {
        // A client whose server went away is left as it is: closing it crashes libjack now and then, and
        // takes a newer client's view of the server with it. One given up on was closed by its closer.
        if (dead_.load() || abandoned_.load()) return;
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;

    jack_client_t* client() const { return client_; }
    // The server went away, or a stalled block made the program give the client up: its streams are lost.
    bool dead() const { return dead_.load() || abandoned_.load(); }
    // Given up on, and its client not yet closed: a new client would not get the program's name.
    bool closing() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return abandoned_.load() && !closed_;
    }
    double rate() const { return rate_.load(); }

    // The server's physical capture (input) or playback (output) ports, in order.
    std::vector<std::string> physicalPorts(bool input) const {
        std::vector<std::string> names;
        if (dead()) return names;
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsPhysical | (input ? JackPortIsOutput : JackPortIsInput));
        for (int i = 0; ports && ports[i]; i++)
            names.emplace_back(ports[i]);
        if (ports) jack_free(ports);
        return names;
    }

    bool add(JackStreamCore* core) {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& slot : slots_)
            if (!slot.load()) {
                slot.store(core);
                return true;
            }
        return false;
    }
    // Takes the stream out of the process callback; its core is freed here once no callback can be inside it,
    // else kept until the stalled block has left.
    void remove(std::unique_ptr<JackStreamCore> core) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            for (auto& slot : slots_)
                if (slot.load() == core.get()) slot.store(nullptr);
        }
        if (leaveProcess()) return;
        std::lock_guard<std::mutex> guard(mutex_);
        if (!closed_) parked_.push_back(std::move(core));
    }
    // True once no process callback runs. A callback still inside after two seconds (a block stalled by a
    // debugger or a fault) is waited for no longer, and not ended either (a thread cancelled inside the mix would
    // take the program down): the session is given up on, its streams' cores are kept, and a closer thread waits
    // for the block to leave, then closes the client, so a fresh one can take the program's name. Main thread.
    bool leaveProcess() {
        if (abandoned_.load()) return false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (inProcess_.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!inProcess_.load()) return true;
        abandoned_.store(true);
        std::thread([self = shared_from_this()] { self->closeWhenLeft(); }).detach();
        return false;
    }

private:
    static int process(jack_nframes_t frames, void* arg);
    static void shutdown(void* arg) { static_cast<JackSession*>(arg)->dead_.store(true); }
    static int rateChanged(jack_nframes_t rate, void* arg) {
        static_cast<JackSession*>(arg)->rate_.store(double(rate));
        return 0;
    }
    // The closer of a session given up on.
    void closeWhenLeft() {
        while (inProcess_.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!dead_.load()) {
            jack_deactivate(client_); // no block runs now: the process thread waits for the next cycle
            jack_client_close(client_);
        }
        std::vector<std::unique_ptr<JackStreamCore>> parked;
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        parked.swap(parked_);
    }

    jack_client_t* client_;
    std::atomic<bool> dead_{false}, abandoned_{false};
    std::atomic<double> rate_{0.0};
    std::atomic<int> inProcess_{0};
    std::atomic<JackStreamCore*> slots_[kMaxStreams] = {};
    mutable std::mutex mutex_; // adding and removing streams; the parked cores
    std::vector<std::unique_ptr<JackStreamCore>> parked_;
    bool closed_ = false;
};

class JackStream : public SoundStream {
public:
    JackStream(std::shared_ptr<JackSession> session, SoundIOProc* proc)
        : session_(std::move(session)), core_(std::make_unique<JackStreamCore>(proc)) {}
    ~JackStream() override {
        stop();
        const std::vector<jack_port_t*> ports = core_->ports;
        if (added_) session_->remove(std::move(core_));
        if (!session_->dead())
            for (jack_port_t* port : ports)
                jack_port_unregister(session_->client(), port);
    }

    // Registers `in` input and `out` output ports and joins them to the physical ports; false with a reason.
    bool open(int in, int out, std::string* error) {
        jack_client_t* client = session_->client();
        in = std::min(in, kMaxChannels);
        out = std::min(out, kMaxChannels);
        // Ports named by channel; a name the client already holds (two streams on one direction) gets a suffix.
        auto registerPorts = [&](const char* kind, int count, unsigned long flags, std::vector<jack_port_t*>& list) {
            for (int c = 0; c < count; c++) {
                const std::string base = std::string(kind) + "_" + std::to_string(c);
                std::string n = base;
                for (int k = 2;
                     jack_port_by_name(client, (std::string(jack_get_client_name(client)) + ":" + n).c_str()); k++)
                    n = base + "." + std::to_string(k);
                jack_port_t* p = jack_port_register(client, n.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
                if (!p) return false;
                core_->ports.push_back(p);
                list.push_back(p);
            }
            return true;
        };
        if (!registerPorts("in", in, JackPortIsInput, core_->in) ||
            !registerPorts("out", out, JackPortIsOutput, core_->out))
            return fail(error, "the JACK server refused a port");
        core_->inBuf.assign(size_t(kChunkFrames) * size_t(in), 0.0f);
        core_->outBuf.assign(size_t(kChunkFrames) * size_t(out), 0.0f);
        if (!session_->add(core_.get())) return fail(error, "too many streams on the JACK server");
        added_ = true;
        const std::vector<std::string> capture = session_->physicalPorts(true),
                                       playback = session_->physicalPorts(false);
        for (size_t c = 0; c < core_->in.size() && c < capture.size(); c++)
            jack_connect(client, capture[c].c_str(), jack_port_name(core_->in[c]));
        for (size_t c = 0; c < core_->out.size() && c < playback.size(); c++)
            jack_connect(client, jack_port_name(core_->out[c]), playback[c].c_str());
        return true;
    }

    bool start() override {
        if (session_->dead()) return false;
        core_->running.store(true);
        return true;
    }
    void stop() override {
        if (!core_ || !core_->running.exchange(false)) return;
        session_->leaveProcess();
    }
    double getSampleRate() const override { return session_->rate(); }
    int getInputChannels() const override { return int(core_->in.size()); }
    int getOutputChannels() const override { return int(core_->out.size()); }
    bool isAlive() const override { return !session_->dead(); }

private:
    static bool fail(std::string* error, const char* why) {
        if (error) *error = why;
        return false;
    }

    std::shared_ptr<JackSession> session_;
    std::unique_ptr<JackStreamCore> core_;
    bool added_ = false;
};

int JackSession::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackSession*>(arg);
    // Set before the slots are read and cleared after: a stream removed meanwhile waits for it. A session given
    // up on runs no stream any more.
    self->inProcess_.store(1);
    if (!self->abandoned_.load())
        for (auto& slot : self->slots_)
            if (JackStreamCore* core = slot.load()) core->cycle(frames);
    self->inProcess_.store(0);
    return 0;
}

class JackBackend : public SoundBackend {
public:
    JackBackend(std::string clientName, std::shared_ptr<JackSession> session)
        : clientName_(std::move(clientName)), session_(std::move(session)) {}

    static std::shared_ptr<JackSession> connect(const std::string& clientName) {
        jack_status_t status;
        jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
        return client ? std::make_shared<JackSession>(client) : nullptr;
    }

    std::string getName() const override { return "JACK"; }
    std::vector<SoundDeviceInfo> getDevices() override {
        std::vector<SoundDeviceInfo> list;
        std::shared_ptr<JackSession> s = session();
        if (s->dead()) return list;
        SoundDeviceInfo info;
        info.name = kJackDevice;
        info.hostApi = kJackApi;
        info.id = SoundDevices::stableId(kJackApi, kJackDevice);
        info.inputChannels = int(s->physicalPorts(true).size());
        info.outputChannels = int(s->physicalPorts(false).size());
        info.defaultSampleRate = s->rate();
        list.push_back(info);
        return list;
    }
    int getDefaultDevice(bool input) override {
        for (const SoundDeviceInfo& d : getDevices())
            if ((input ? d.inputChannels : d.outputChannels) > 0) return d.id;
        return 0;
    }
    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error) override {
        std::shared_ptr<JackSession> s = session();
        const int id = config.deviceId != 0 ? config.deviceId : getDefaultDevice(config.outputChannels == 0);
        SoundDeviceInfo info;
        const std::vector<SoundDeviceInfo> devices = getDevices();
        if (devices.empty() || devices[0].id != id) {
            if (error) *error = s->dead() ? "the JACK server is gone" : "no such device";
            return nullptr;
        }
        info = devices[0];
        const int in = std::clamp(config.inputChannels, 0, info.inputChannels);
        const int out = std::clamp(config.outputChannels, 0, info.outputChannels);
        if (in <= 0 && out <= 0) {
            if (error) *error = "the device has no channels in that direction";
            return nullptr;
        }
        auto stream = std::make_unique<JackStream>(s, proc);
        if (!stream->open(in, out, error)) return nullptr;
        return stream;
    }
    bool revive() override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!session_->dead()) return true;
        if (session_->closing()) return false; // a block stalled in it has not left yet
        std::shared_ptr<JackSession> fresh = connect(clientName_);
        if (!fresh) return false;
        session_ = fresh;
        return true;
    }

private:
    std::shared_ptr<JackSession> session() {
        std::lock_guard<std::mutex> guard(mutex_);
        return session_;
    }

    std::string clientName_;
    std::mutex mutex_;
    std::shared_ptr<JackSession> session_;
};

} // namespace

namespace SoundDevices {

std::unique_ptr<SoundBackend> makeJackBackend(const std::string& clientName) {
    // The one line a user needs about a missing server is the caller's, not libjack's dozen.
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    std::shared_ptr<JackSession> session = JackBackend::connect(clientName);
    if (!session) return nullptr;
    return std::make_unique<JackBackend>(clientName, std::move(session));
}

} // namespace SoundDevices
