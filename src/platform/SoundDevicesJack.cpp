// A running JACK server as a sound backend: one client of the program, its streams' ports named by channel so
// that anything joined to them by name (a recorder, a patchbay rule) finds them again after every reopening. Every
// call into libjack is a request to the JACK thread (platform/JackThread.h), but the process callback's own.
#include "platform/SoundDevicesJack.h"

#include "platform/JackThread.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

using JackThread::Reply;

constexpr const char* kJackApi = "JACK Audio Connection Kit"; // as PortAudio named it: device ids stay the same
constexpr const char* kJackDevice = "system";
constexpr int kMaxStreams = 16;
constexpr int kMaxChannels = 64;
constexpr int kChunkFrames = 4096; // a longer JACK period is handed to the procedure in parts

// What the process thread touches of a stream: its ports, its buffers and its procedure. It outlives its stream
// when a block stalls inside it (see JackSession::leaveProcess).
struct JackStreamCore {
    explicit JackStreamCore(SoundIOProc* p) : proc(p) {}
    SoundIOProc* proc;
    std::vector<jack_port_t*> in, out;
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

// The server's device as listed: its physical capture and playback ports, in order, and its rate (Hz).
struct Listing {
    std::vector<std::string> capture, playback;
    double rate = 0.0;
};

// One client of the server. Streams keep their session alive, so a stream of a client that died meanwhile never
// touches the client that replaced it.
//
// The client's ports are made and taken away while it is inactive. libjack walks a client's list of its ports, without
// a lock, for each latency notice the server sends an active client (at every connection made or broken anywhere in
// the graph): a port unregistered meanwhile is read after it was freed. A program whose ports a patchbay joined as they
// came crashed so at a change of sound device. Beside another stream, that stream's connections are made again once
// the client is active again.
//
// Requests to the JACK thread take the session by plain pointer: its last holder hands its close to the JACK thread
// after every request that uses it, so a client opened after it was let go is opened after it closed, and gets the
// program's name.
class JackSession {
public:
    // JACK thread: a session of a client just opened, not active yet. Its last holder hands its close to the JACK
    // thread (see release).
    static std::shared_ptr<JackSession> make(const JackThread::Client& client) {
        return std::shared_ptr<JackSession>(new JackSession(client), &JackSession::release);
    }
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;

    // The server went away, or libjack freed the client (see JackThread::alive), or a stalled block made the program
    // give the client up, or the client could not be activated: its streams are lost, and a client is made anew.
    bool dead() const {
        return dead_.load() || abandoned_.load() || inactive_.load() || JackThread::freeings() != born_;
    }
    double rate() const { return rate_.load(); }
    // False while a block given up on may still be inside one of the session's streams.
    bool idle() const { return !abandoned_.load() || blockLeft_.load(); }
    // The client could not be activated.
    bool inactive() const { return inactive_.load(); }

    // JACK thread: the server's device as it is now.
    Listing list() const {
        Listing listing;
        if (!JackThread::alive(opened_)) return listing;
        listing.capture = JackThread::portsOf(client_, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsOutput);
        listing.playback = JackThread::portsOf(client_, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
        listing.rate = rate_.load();
        return listing;
    }

    // JACK thread: makes `in` input and `out` output ports named by channel and joins them to the physical ports;
    // false when the server refused one (then none of them is kept), or when the client could not be activated.
    bool makePorts(int in, int out, std::vector<jack_port_t*>* inPorts, std::vector<jack_port_t*>* outPorts) {
        if (!JackThread::alive(opened_)) return false;
        const Listing physical = list();
        bool refused = false;
        changePorts([&] {
            // A name the client already holds (two streams on one direction) gets a suffix.
            auto registerPorts = [&](const char* kind, int count, unsigned long flags, std::vector<jack_port_t*>& made) {
                for (int c = 0; c < count && !refused; c++) {
                    const std::string base = std::string(kind) + "_" + std::to_string(c);
                    std::string name = base;
                    for (int k = 2; jack_port_by_name(client_, (jack_get_client_name(client_) + (":" + name)).c_str());
                         k++)
                        name = base + "." + std::to_string(k);
                    jack_port_t* port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
                    refused = !port;
                    if (port) made.push_back(port);
                }
            };
            registerPorts("in", in, JackPortIsInput, *inPorts);
            registerPorts("out", out, JackPortIsOutput, *outPorts);
            for (auto* made : {inPorts, outPorts})
                if (refused) {
                    for (jack_port_t* port : *made)
                        jack_port_unregister(client_, port);
                    made->clear();
                }
            ports_.insert(ports_.end(), inPorts->begin(), inPorts->end());
            ports_.insert(ports_.end(), outPorts->begin(), outPorts->end());
        });
        for (size_t c = 0; c < inPorts->size() && c < physical.capture.size(); c++)
            jack_connect(client_, physical.capture[c].c_str(), jack_port_name((*inPorts)[c]));
        for (size_t c = 0; c < outPorts->size() && c < physical.playback.size(); c++)
            jack_connect(client_, jack_port_name((*outPorts)[c]), physical.playback[c].c_str());
        return !refused && active_;
    }

    // JACK thread: takes a stream's ports away.
    void dropPorts(const std::vector<jack_port_t*>& ports) {
        if (ports.empty() || dead()) return;
        auto going = [&](jack_port_t* port) { return std::find(ports.begin(), ports.end(), port) != ports.end(); };
        ports_.erase(std::remove_if(ports_.begin(), ports_.end(), going), ports_.end());
        changePorts([&] {
            for (jack_port_t* port : ports)
                jack_port_unregister(client_, port);
        });
    }

    // Main thread: the process callback runs the stream from now on.
    bool add(JackStreamCore* core) {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& slot : slots_)
            if (!slot.load()) {
                slot.store(core);
                return true;
            }
        return false;
    }
    // Main thread: takes the stream out of the process callback; its core is freed here once no callback can be
    // inside it, else kept until the stalled block has left.
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
    // Main thread: true once no process callback runs. A callback still inside after two seconds (a block stalled by a
    // debugger or a fault) is waited for no longer, and not ended either (a thread cancelled inside the mix would take
    // the program down): the session is given up on, its streams' cores are kept, and its closer waits on the JACK
    // thread for the block to leave, then closes the client, before a fresh one can take the program's name.
    bool leaveProcess() {
        if (abandoned_.load()) return false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (inProcess_.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!inProcess_.load()) return true;
        abandoned_.store(true);
        JackThread::post([this] { closeWhenLeft(); }, true);
        return false;
    }

private:
    explicit JackSession(const JackThread::Client& client)
        : opened_(client), client_(client.jack), born_(JackThread::freeings()) {
        rate_.store(double(jack_get_sample_rate(client_)));
        jack_set_process_callback(client_, &JackSession::process, this);
        jack_set_sample_rate_callback(client_, &JackSession::rateChanged, this);
        jack_on_shutdown(client_, &JackSession::shutdown, this);
    }
    // The last holder lets go: the client is closed on the JACK thread, after every request handed over before, and
    // the session, which the process callback is handed, is freed after the close.
    static void release(JackSession* session) {
        JackThread::post([session] {
            if (!session->closed_) session->close();
            delete session;
        });
    }
    // JACK thread. A client whose server went away, or that libjack freed, is left as it is (see
    // JackThread::closeClient).
    void close() {
        const bool gone = dead_.load() || !JackThread::alive(opened_);
        if (!gone) JackThread::deactivate(client_); // no block runs once this returns
        JackThread::closeClient(opened_, gone);
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        parked_.clear();
    }
    // JACK thread: the closer of a session given up on.
    void closeWhenLeft() {
        while (inProcess_.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        blockLeft_.store(true);
        close();
    }
    // JACK thread: `change` makes or takes away ports (ports_ as it leaves them) on the inactive client. The
    // connections of the ports that were there before are made again once it is active again.
    void changePorts(const std::function<void()>& change) {
        std::vector<std::pair<std::string, std::string>> joined; // from, to
        if (active_) {
            for (jack_port_t* port : ports_) {
                const bool output = (jack_port_flags(port) & JackPortIsOutput) != 0;
                const char** others = jack_port_get_all_connections(client_, port);
                for (int i = 0; others && others[i]; i++)
                    joined.emplace_back(output ? jack_port_name(port) : others[i], output ? others[i] : jack_port_name(port));
                if (others) jack_free(others);
            }
            JackThread::deactivate(client_);
            active_ = false;
        }
        change();
        // A client's ports are joined only once it is active. Never one without ports, nor one whose server went
        // away: libjack would start a process thread that the next open ends at once.
        if (ports_.empty() || dead_.load() || !JackThread::alive(opened_)) return;
        active_ = JackThread::activate(client_);
        // libjack gives up on a process thread that has not begun within a second (a loaded machine), and the
        // client stays inactive, its ports joined to nothing, for good: it is made anew instead.
        if (!active_) inactive_.store(true);
        for (const auto& [from, to] : joined)
            jack_connect(client_, from.c_str(), to.c_str());
    }
    static int process(jack_nframes_t frames, void* arg);
    static void shutdown(void* arg) { static_cast<JackSession*>(arg)->dead_.store(true); }
    static int rateChanged(jack_nframes_t rate, void* arg) {
        static_cast<JackSession*>(arg)->rate_.store(double(rate));
        return 0;
    }

    const JackThread::Client opened_;
    jack_client_t* const client_;
    const unsigned born_;
    std::atomic<bool> dead_{false}, abandoned_{false}, blockLeft_{false}, inactive_{false};
    std::atomic<double> rate_{0.0};
    std::atomic<int> inProcess_{0};
    std::atomic<JackStreamCore*> slots_[kMaxStreams] = {};
    std::vector<jack_port_t*> ports_; // JACK thread, as the two below
    bool active_ = false;
    bool closed_ = false; // written under mutex_
    std::mutex mutex_;    // adding and removing streams; the parked cores
    std::vector<std::unique_ptr<JackStreamCore>> parked_;
};

int JackSession::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackSession*>(arg);
    // libjack ends the process thread of a client it deactivates with an asynchronous cancel, which lands wherever
    // the thread is: on a slow machine, inside this callback when the cycle it runs began before the deactivation
    // (under ThreadSanitizer, in an atomic store, whose runtime then ends the program). A cancel that comes
    // meanwhile waits until the callback has finished everything it does.
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    // Set before the slots are read and cleared after: a stream removed meanwhile waits for it. A session given
    // up on runs no stream any more.
    self->inProcess_.store(1);
    if (!self->abandoned_.load())
        for (auto& slot : self->slots_)
            if (JackStreamCore* core = slot.load()) core->cycle(frames);
    self->inProcess_.store(0);
    pthread_setcancelstate(cancelState, nullptr);
    return 0;
}

class JackStream : public SoundStream {
public:
    JackStream(std::shared_ptr<JackSession> session, SoundIOProc* proc)
        : session_(std::move(session)), core_(std::make_unique<JackStreamCore>(proc)) {}
    ~JackStream() override {
        stop();
        std::vector<jack_port_t*> ports = core_->in;
        ports.insert(ports.end(), core_->out.begin(), core_->out.end());
        if (added_) session_->remove(std::move(core_));
        if (!ports.empty()) JackThread::post([session = session_.get(), ports] { session->dropPorts(ports); });
    }

    // Makes `in` input and `out` output ports joined to the physical ones; false with a reason.
    bool open(int in, int out, std::string* error) {
        struct Made {
            std::vector<jack_port_t*> in, out;
            bool refused = false;
        };
        auto made = std::make_shared<Made>();
        const Reply reply = JackThread::call(
            [session = session_.get(), made, in, out] {
                made->refused = !session->makePorts(in, out, &made->in, &made->out);
            },
            [session = session_.get(), made] { // nobody takes them
                made->in.insert(made->in.end(), made->out.begin(), made->out.end());
                session->dropPorts(made->in);
            });
        if (reply != Reply::InTime) return fail(error, "the JACK server does not answer");
        if (made->refused)
            return fail(error, session_->dead() ? "the JACK server did not let the client run" : "the JACK server refused a port");
        core_->in = made->in;
        core_->out = made->out;
        core_->inBuf.assign(size_t(kChunkFrames) * made->in.size(), 0.0f);
        core_->outBuf.assign(size_t(kChunkFrames) * made->out.size(), 0.0f);
        if (!session_->add(core_.get())) return fail(error, "too many streams on the JACK server");
        added_ = true;
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
    bool idle() const override { return session_->idle(); }

private:
    static bool fail(std::string* error, const char* why) {
        if (error) *error = why;
        return false;
    }

    std::shared_ptr<JackSession> session_;
    std::unique_ptr<JackStreamCore> core_;
    bool added_ = false;
};

// The server clients reach (JACK_DEFAULT_SERVER, else the default one).
std::string serverName() {
    const char* name = getenv("JACK_DEFAULT_SERVER");
    return name && *name ? name : "default";
}

// An open of the program's client, with the device its server listed; the main thread may stop waiting for it, and a
// later look takes what it made.
struct Opening {
    std::string server;
    std::mutex mutex;
    bool ended = false;
    bool turnedAway = false;              // a server that is there kept turning the client away
    std::shared_ptr<JackSession> session; // null when no server let the client in
    Listing listing;
};

class JackBackend : public JackSoundBackend {
public:
    explicit JackBackend(std::string clientName) : clientName_(std::move(clientName)) {}

    Reach reach() override {
        if (session_ && !session_->dead()) return Reach::There;
        session_ = nullptr;
        if (opening_) {
            std::lock_guard<std::mutex> guard(opening_->mutex);
            if (!opening_->ended) return Reach::Unknown;
        }
        // Taken unless its server went away meanwhile, or another server is asked for now: else opened anew.
        if (const std::shared_ptr<Opening> ended = std::exchange(opening_, nullptr))
            if (ended->session && !ended->session->dead() && ended->server == serverName()) return take(*ended);
        auto opening = std::make_shared<Opening>();
        opening->server = serverName();
        const Reply reply = JackThread::call([opening, name = clientName_] {
            jack_status_t status = jack_status_t(0);
            const JackThread::Client client = JackThread::openClient(name, &status);
            std::shared_ptr<JackSession> session = client ? JackSession::make(client) : nullptr;
            Listing listing = session ? session->list() : Listing();
            std::lock_guard<std::mutex> guard(opening->mutex);
            opening->turnedAway = !client && !(status & JackServerFailed);
            opening->session = std::move(session);
            opening->listing = std::move(listing);
            opening->ended = true;
        });
        if (reply == Reply::Late) opening_ = opening;
        if (reply != Reply::InTime) return Reach::Unknown;
        std::lock_guard<std::mutex> guard(opening->mutex);
        if (opening->session) return take(*opening);
        if (opening->turnedAway) return Reach::Unknown;
        listed_.clear(); // no server: one started later may have other ports
        return Reach::None;
    }
    void letGo() override { session_ = nullptr; }
    void letGoForQuit() override {
        session_ = nullptr;
        opening_ = nullptr;
    }

    std::string getName() const override { return "JACK"; }
    std::vector<SoundDeviceInfo> getDevices() override {
        // A server that does not answer keeps the device it had: the device stays chosen, and is tried again.
        if (!session_) return listed_;
        if (session_->dead()) return {};
        auto listing = std::make_shared<Listing>();
        if (JackThread::call([session = session_.get(), listing] { *listing = session->list(); }) == Reply::InTime)
            listed_ = deviceOf(*listing);
        return listed_;
    }
    int getDefaultDevice(bool input) override {
        for (const SoundDeviceInfo& d : getDevices())
            if ((input ? d.inputChannels : d.outputChannels) > 0) return d.id;
        return 0;
    }
    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error) override {
        return open(config, proc, error, false);
    }
    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error,
                                      bool madeAnew) {
        auto fail = [&](const char* why) {
            if (error) *error = why;
            return nullptr;
        };
        // A client libjack could not activate is made anew, once, at once.
        if (session_ && session_->inactive() && reach() != Reach::There) return fail("the JACK server does not answer");
        if (!session_) return fail("the JACK server does not answer");
        if (session_->dead()) return fail("the JACK server is gone");
        const int id = config.deviceId != 0 ? config.deviceId : getDefaultDevice(config.outputChannels == 0);
        const std::vector<SoundDeviceInfo> devices = getDevices();
        if (devices.empty() || devices[0].id != id) return fail("no such device");
        const SoundDeviceInfo& info = devices[0];
        const int in = std::clamp(config.inputChannels, 0, std::min(info.inputChannels, kMaxChannels));
        const int out = std::clamp(config.outputChannels, 0, std::min(info.outputChannels, kMaxChannels));
        if (in <= 0 && out <= 0) return fail("the device has no channels in that direction");
        auto stream = std::make_unique<JackStream>(session_, proc);
        if (stream->open(in, out, error)) return stream;
        if (!session_->inactive() || madeAnew) return nullptr;
        stream.reset(); // its ports go with the client
        return open(config, proc, error, true);
    }
    bool revive() override { return reach() == Reach::There; }

private:
    Reach take(Opening& opening) {
        session_ = opening.session;
        listed_ = deviceOf(opening.listing);
        return Reach::There;
    }
    static std::vector<SoundDeviceInfo> deviceOf(const Listing& listing) {
        SoundDeviceInfo info;
        info.name = kJackDevice;
        info.hostApi = kJackApi;
        info.id = SoundDevices::stableId(kJackApi, kJackDevice);
        info.inputChannels = int(listing.capture.size());
        info.outputChannels = int(listing.playback.size());
        info.defaultSampleRate = listing.rate;
        return {info};
    }

    std::string clientName_;
    // Main thread, as the two below.
    std::shared_ptr<JackSession> session_;
    std::shared_ptr<Opening> opening_; // an open the main thread stopped waiting for
    std::vector<SoundDeviceInfo> listed_;
};

} // namespace

std::unique_ptr<JackSoundBackend> JackSoundBackend::make(const std::string& clientName) {
    return std::make_unique<JackBackend>(clientName);
}

