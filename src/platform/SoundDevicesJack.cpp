// A running JACK server as a sound backend: one client of the program, its streams' ports named by channel so
// that anything joined to them by name (a recorder, a patchbay rule) finds them again after every reopening.
#include "platform/SoundDevices.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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

constexpr const char* kJackApi = "JACK Audio Connection Kit"; // as PortAudio named it: device ids stay the same
constexpr const char* kJackDevice = "system";
constexpr int kMaxStreams = 16;
constexpr int kMaxChannels = 64;
constexpr int kChunkFrames = 4096; // a longer JACK period is handed to the procedure in parts

void quietJack(const char*) {}

// A running server answers a client's request in milliseconds. One stopped (SIGSTOP) or held in a debugger answers
// nothing until it runs again: the main thread waits no longer than this for it while the server runs no cycle
// (the request goes on by itself on a thread of its own), and no longer than ten times this in any case. A client's
// open, which no cycle of the program's can tell from a stopped server's, is waited for this long only, and taken
// when it ends (see JackBackend::connect).
constexpr auto kAnswerLimit = std::chrono::seconds(1);
constexpr int kLimitsWhileRunning = 10;
constexpr int kRefusalsAsked = 5; // times a server that is there is asked again for a client it turned away

// The program's requests to the server not yet answered (client opens and closes, port changes), and how many
// of them the program gave up waiting for. While one is out, a client opened would not get the program's name.
struct Outstanding {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0, givenUp = 0;
};

Outstanding& outstanding() {
    static Outstanding* requests = new Outstanding; // never freed: a request may still be out at exit
    return *requests;
}

// A request goes out: counted until end() is called for it. One nobody waits for (`waited` false) counts as given
// up on from the start.
void begin(bool waited) {
    Outstanding& o = outstanding();
    std::lock_guard<std::mutex> guard(o.mutex);
    o.count++;
    if (!waited) o.givenUp++;
}

void end() {
    Outstanding& o = outstanding();
    std::lock_guard<std::mutex> guard(o.mutex);
    if (--o.count == 0) o.givenUp = 0;
    o.changed.notify_all();
}

// Runs `request` on a thread of its own and waits for it: true when it ended in time. The wait ends after
// kAnswerLimit, or, while `running` says the server ran since it was last asked, after kLimitsWhileRunning of them
// (a loaded machine slows a server down; only a stopped one runs nothing). What the request uses it owns (captured
// by value or shared), and it lets go of it before it counts as ended.
bool answered(std::function<void()> request, const std::function<bool()>& running = nullptr) {
    Outstanding& o = outstanding();
    begin(true);
    auto done = std::make_shared<bool>(false);
    std::thread([done, request = std::move(request)]() mutable {
        request();
        request = nullptr;
        {
            std::lock_guard<std::mutex> guard(outstanding().mutex);
            *done = true;
        }
        end();
    }).detach();
    std::unique_lock<std::mutex> lock(o.mutex);
    for (int limits = 0; limits < kLimitsWhileRunning; limits++) {
        if (o.changed.wait_for(lock, kAnswerLimit, [&] { return *done; })) return true;
        if (!running || !running()) break;
    }
    o.givenUp++;
    return false;
}

// True once no request is out: at once false while one given up on is still out, else after waiting up to
// kAnswerLimit (for a client closed just before).
bool allAnswered() {
    Outstanding& o = outstanding();
    std::unique_lock<std::mutex> lock(o.mutex);
    if (o.givenUp > 0) return false;
    return o.changed.wait_for(lock, kAnswerLimit, [&] { return o.count == 0; });
}

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
//
// The client's ports are made and taken away while it is inactive, but beside another stream of the client. libjack
// walks the client's list of its ports, without a lock, for each latency notice the server sends an active client
// (at every connection made or broken anywhere in the graph): a port unregistered meanwhile is read after it was
// freed. A program whose ports a patchbay joined as they came crashed so at a change of sound device.
class JackSession : public std::enable_shared_from_this<JackSession> {
public:
    // A session of a client just opened, not active yet (see setActive). Its last holder closes the client (see
    // release).
    static std::shared_ptr<JackSession> make(jack_client_t* client) {
        return std::shared_ptr<JackSession>(new JackSession(client), &JackSession::release);
    }
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;

    // The server went away, or a stalled block made the program give the client up: its streams are lost.
    bool dead() const { return dead_.load() || abandoned_.load(); }
    // Given up on, and its client not yet closed: a new client would not get the program's name.
    bool closing() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return abandoned_.load() && !closed_;
    }
    // Given up on (a server that did not answer, or a block stalled in it), not gone with its server.
    bool unanswered() const { return abandoned_.load() && !dead_.load(); }
    double rate() const { return rate_.load(); }
    // False while a block given up on may still be inside one of the session's streams.
    bool idle() const { return !abandoned_.load() || blockLeft_.load(); }

    // A request to the server, waited for as answered() waits. A server that does not answer by then (stopped, or
    // held in a debugger) is given up on as a stalled block is (see leaveProcess); so is every request after.
    bool ask(std::function<void(jack_client_t*)> request) {
        if (dead()) return false;
        asking_.fetch_add(1);
        const bool inTime = answered(
            [self = shared_from_this(), request = std::move(request)] {
                request(self->client_);
                self->asking_.fetch_sub(1);
            },
            runs(signs_));
        if (!inTime) giveUp();
        return inTime;
    }

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

    // Request thread: activates or deactivates the client, when it is not so already.
    void setActive(bool on) {
        if (active_ == on) return;
        if (on)
            jack_activate(client_);
        else
            jack_deactivate(client_);
        active_ = on;
        answer();
    }
    // Request thread: the server answered a request, as a running server does (see ask).
    void answer() { signs_->fetch_add(1, std::memory_order_relaxed); }
    // True while a stream is added (the process callback runs it). Main thread.
    bool hasStreams() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::any_of(std::begin(slots_), std::end(slots_), [](auto& slot) { return slot.load() != nullptr; });
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
        giveUp();
        return false;
    }

private:
    explicit JackSession(jack_client_t* client) : client_(client) {
        rate_.store(double(jack_get_sample_rate(client)));
        jack_set_process_callback(client, &JackSession::process, this);
        jack_set_sample_rate_callback(client, &JackSession::rateChanged, this);
        jack_on_shutdown(client, &JackSession::shutdown, this);
    }
    // The last holder lets go. The client is closed on a thread of its own, waited for as a request is (see
    // answered), and the session, which the process callback is handed, is freed after the close. A client whose
    // server went away is left as it is: closing it crashes libjack now and then, and takes a newer client's view
    // of the server with it. One given up on was closed by its closer.
    static void release(JackSession* session) {
        if (session->dead()) {
            delete session;
            return;
        }
        // Once the server took the client out of its cycles, it runs: the close is waited for as any running one.
        auto deactivated = std::make_shared<std::atomic<bool>>(false);
        const std::function<bool()> cycling = runs(session->signs_);
        answered(
            [session, deactivated] {
                jack_deactivate(session->client_);
                deactivated->store(true);
                jack_client_close(session->client_);
                delete session;
            },
            [deactivated, cycling] { return deactivated->load() || cycling(); });
    }
    // True when the server showed since the last call that it runs (see signs_).
    static std::function<bool()> runs(const std::shared_ptr<std::atomic<uint64_t>>& signs) {
        return [signs, last = signs->load()]() mutable {
            const uint64_t now = signs->load();
            return std::exchange(last, now) != now;
        };
    }
    // No stream runs any more; the closer closes the client once no block and no request is inside it.
    void giveUp() {
        if (abandoned_.exchange(true)) return;
        begin(false);
        std::thread([self = shared_from_this()] {
            self->closeWhenLeft();
            end();
        }).detach();
    }
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
        blockLeft_.store(true);
        while (asking_.load())
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
    std::atomic<bool> dead_{false}, abandoned_{false}, blockLeft_{false};
    std::atomic<int> asking_{0}; // requests out
    bool active_ = false;        // request threads, one at a time
    // Signs that the server runs: cycles it ran the client, and requests it answered. Shared with the waits for
    // the client's close.
    std::shared_ptr<std::atomic<uint64_t>> signs_ = std::make_shared<std::atomic<uint64_t>>(0);
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
        if (ports.empty()) return;
        // The last stream's ports go with the client inactive. Deactivating it under another stream would break
        // that stream's connections: beside one (a second device on the same server) they go as they are.
        const bool last = !session_->hasStreams();
        session_->ask([ports, last, session = session_.get()](jack_client_t* client) {
            if (last) session->setActive(false);
            for (jack_port_t* port : ports)
                jack_port_unregister(client, port);
        });
    }

    // Registers `in` input and `out` output ports and joins them to the physical ports; false with a reason.
    bool open(int in, int out, std::string* error) {
        in = std::min(in, kMaxChannels);
        out = std::min(out, kMaxChannels);
        struct Ports {
            std::vector<jack_port_t*> in, out;
            bool refused = false;
        };
        auto made = std::make_shared<Ports>();
        const std::vector<std::string> capture = session_->physicalPorts(true),
                                       playback = session_->physicalPorts(false);
        const bool inTime = session_->ask([made, in, out, capture, playback,
                                           session = session_.get()](jack_client_t* client) {
            // Ports named by channel; a name the client already holds (two streams on one direction) gets a suffix.
            auto registerPorts = [&](const char* kind, int count, unsigned long flags,
                                     std::vector<jack_port_t*>& list) {
                for (int c = 0; c < count; c++) {
                    const std::string base = std::string(kind) + "_" + std::to_string(c);
                    std::string n = base;
                    for (int k = 2;
                         jack_port_by_name(client, (std::string(jack_get_client_name(client)) + ":" + n).c_str()); k++)
                        n = base + "." + std::to_string(k);
                    jack_port_t* p = jack_port_register(client, n.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
                    if (!p) return false;
                    list.push_back(p);
                }
                return true;
            };
            made->refused = !registerPorts("in", in, JackPortIsInput, made->in) ||
                            !registerPorts("out", out, JackPortIsOutput, made->out);
            session->answer();
            if (made->refused) return;
            session->setActive(true); // a client's ports are joined only once it is active
            for (size_t c = 0; c < made->in.size() && c < capture.size(); c++)
                jack_connect(client, capture[c].c_str(), jack_port_name(made->in[c]));
            for (size_t c = 0; c < made->out.size() && c < playback.size(); c++)
                jack_connect(client, jack_port_name(made->out[c]), playback[c].c_str());
        });
        if (!inTime) return fail(error, "the JACK server does not answer");
        core_->in = made->in;
        core_->out = made->out;
        core_->ports = made->in;
        core_->ports.insert(core_->ports.end(), made->out.begin(), made->out.end());
        if (made->refused) return fail(error, "the JACK server refused a port");
        core_->inBuf.assign(size_t(kChunkFrames) * size_t(in), 0.0f);
        core_->outBuf.assign(size_t(kChunkFrames) * size_t(out), 0.0f);
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
    self->signs_->fetch_add(1, std::memory_order_relaxed);
    if (!self->abandoned_.load())
        for (auto& slot : self->slots_)
            if (JackStreamCore* core = slot.load()) core->cycle(frames);
    self->inProcess_.store(0);
    pthread_setcancelstate(cancelState, nullptr);
    return 0;
}

// The server clients reach (JACK_DEFAULT_SERVER, else the default one).
std::string serverName() {
    const char* name = getenv("JACK_DEFAULT_SERVER");
    return name && *name ? name : "default";
}

// The device as the server last listed it, kept while the server does not answer (main thread). A server found
// gone forgets it: one started again may have other ports.
std::vector<SoundDeviceInfo>& listed() {
    static std::vector<SoundDeviceInfo> devices;
    return devices;
}

// An open of the program's client the main thread stopped waiting for. It goes on by itself, and a later connect
// takes its client (or learns that no server let it in) once it has ended; libjack is not called meanwhile.
struct Opening {
    std::string clientName, server;
    std::mutex mutex;
    bool ended = false;
    std::shared_ptr<JackSession> session; // null when no server let the client in
};

std::shared_ptr<Opening>& openingOut() {
    static auto* opening = new std::shared_ptr<Opening>; // main thread; never freed: a client is not closed at exit
    return *opening;
}

class JackBackend : public SoundBackend {
public:
    // `session` null: the server is there but did not answer (see connect).
    JackBackend(std::string clientName, std::shared_ptr<JackSession> session)
        : clientName_(std::move(clientName)), session_(std::move(session)) {}

    // A client of the server; null when none answers. `answering` false tells a server that is there but did not
    // answer in time from none at all. An open not answered within kAnswerLimit goes on by itself, and a later
    // connect takes its client: a stopped server holds no frame longer, and a slow one (a loaded machine) is
    // still taken.
    static std::shared_ptr<JackSession> connect(const std::string& clientName, bool* answering) {
        std::shared_ptr<Opening>& out = openingOut();
        if (out) {
            std::lock_guard<std::mutex> guard(out->mutex);
            *answering = out->ended;
            if (!*answering) return nullptr;
        }
        if (const std::shared_ptr<Opening> ended = std::exchange(out, nullptr)) {
            const std::shared_ptr<JackSession>& session = ended->session;
            if (!session) listed().clear(); // no server was there: one started since may have other ports
            // Taken unless its server went away meanwhile: else a client is opened anew.
            if (session && !session->dead() && ended->clientName == clientName && ended->server == serverName())
                return session;
        }
        *answering = allAnswered(); // before that, a client would not get the program's name
        if (!*answering) return nullptr;
        auto opening = std::make_shared<Opening>();
        opening->clientName = clientName;
        opening->server = serverName();
        *answering = answered([opening] {
            // A server that is there was seen to turn the client away now and then on a loaded machine, just after
            // the program's previous client closed, and to let it in a moment later: it is asked again then.
            jack_client_t* client = nullptr;
            for (int refusals = 0; !client; refusals++) {
                jack_status_t status = jack_status_t(0);
                client = jack_client_open(opening->clientName.c_str(), JackNoStartServer, &status);
                if (client || (status & JackServerFailed) || refusals == kRefusalsAsked) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            std::shared_ptr<JackSession> session = client ? JackSession::make(client) : nullptr;
            std::lock_guard<std::mutex> guard(opening->mutex);
            opening->session = std::move(session);
            opening->ended = true;
        });
        if (!*answering) {
            out = opening;
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(opening->mutex);
        if (!opening->session) listed().clear(); // no server there
        return opening->session;
    }

    std::string getName() const override { return "JACK"; }
    std::vector<SoundDeviceInfo> getDevices() override {
        std::vector<SoundDeviceInfo> list;
        std::shared_ptr<JackSession> s = session();
        // A server that does not answer keeps the device it had: the device stays chosen, and is tried again.
        if (!s || s->unanswered()) return listed();
        if (s->dead()) return list;
        SoundDeviceInfo info;
        info.name = kJackDevice;
        info.hostApi = kJackApi;
        info.id = SoundDevices::stableId(kJackApi, kJackDevice);
        info.inputChannels = int(s->physicalPorts(true).size());
        info.outputChannels = int(s->physicalPorts(false).size());
        info.defaultSampleRate = s->rate();
        list.push_back(info);
        listed() = list;
        return list;
    }
    int getDefaultDevice(bool input) override {
        for (const SoundDeviceInfo& d : getDevices())
            if ((input ? d.inputChannels : d.outputChannels) > 0) return d.id;
        return 0;
    }
    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error) override {
        std::shared_ptr<JackSession> s = session();
        if (!s || s->dead()) {
            if (error) *error = !s || s->unanswered() ? "the JACK server does not answer" : "the JACK server is gone";
            return nullptr;
        }
        const int id = config.deviceId != 0 ? config.deviceId : getDefaultDevice(config.outputChannels == 0);
        const std::vector<SoundDeviceInfo> devices = getDevices();
        if (devices.empty() || devices[0].id != id) {
            if (error) *error = "no such device";
            return nullptr;
        }
        const SoundDeviceInfo& info = devices[0];
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
        if (session_ && !session_->dead()) return true;
        if (session_ && session_->closing()) return false; // a block stalled in it has not left yet
        bool answering = false;
        std::shared_ptr<JackSession> fresh = connect(clientName_, &answering);
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
    bool answering = false;
    std::shared_ptr<JackSession> session = JackBackend::connect(clientName, &answering);
    if (!session && answering) return nullptr;
    return std::make_unique<JackBackend>(clientName, std::move(session));
}

bool jackRequestOut() {
    Outstanding& o = outstanding();
    std::lock_guard<std::mutex> guard(o.mutex);
    return o.count > 0;
}

bool jackAnswers() {
    if (jackRequestOut()) return false;
    auto opened = std::make_shared<std::atomic<bool>>(false);
    return answered([opened] {
               jack_status_t status;
               if (jack_client_t* probe = jack_client_open("tarlume-probe", JackNoStartServer, &status)) {
                   jack_client_close(probe);
                   opened->store(true);
               }
           }) &&
           opened->load();
}

} // namespace SoundDevices
