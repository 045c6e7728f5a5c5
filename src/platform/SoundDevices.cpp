#include "platform/SoundDevices.h"

#include "platform/JackThread.h"
#include "platform/SoundDevicesJack.h"

#include <alsa/asoundlib.h>
#include <pa_jack.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// ---- PortAudio -----------------------------------------------------------------------------------

// A JACK server is reached directly (see the header): PortAudio serves ALSA.
bool usableHostApi(PaHostApiTypeId type) {
    return type == paALSA;
}

class PortAudioStream : public SoundStream {
public:
    PortAudioStream(SoundIOProc* proc, int in, int out, double rate) : proc_(proc), in_(in), out_(out), rate_(rate) {}
    ~PortAudioStream() override {
        stop();
        if (stream_) Pa_CloseStream(stream_);
    }
    void attach(PaStream* stream) {
        stream_ = stream;
        // ALSA ends a stream whose card went away or failed: the stream then reads as lost.
        Pa_SetStreamFinishedCallback(stream, &PortAudioStream::finished);
    }
    bool start() override {
        if (running_) return true;
        ended_.store(false);
        running_ = Pa_StartStream(stream_) == paNoError;
        return running_;
    }
    bool isAlive() const override { return !running_ || (!ended_.load() && Pa_IsStreamActive(stream_) == 1); }
    void stop() override {
        // Pa_StopStream joins the callback: no call runs once it returns.
        if (running_) Pa_StopStream(stream_);
        running_ = false;
    }
    double getSampleRate() const override { return rate_; }
    int getInputChannels() const override { return in_; }
    int getOutputChannels() const override { return out_; }

    // Audio thread.
    static int callback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user) {
        auto* self = static_cast<PortAudioStream*>(user);
        SoundBufferList out, in;
        if (output && self->out_ > 0) {
            out.count = 1;
            out.buffers[0].channels = self->out_;
            out.buffers[0].bytes = uint32_t(frames * unsigned(self->out_) * sizeof(float));
            out.buffers[0].data = static_cast<float*>(output);
            std::memset(output, 0, out.buffers[0].bytes);
        }
        if (input && self->in_ > 0) {
            in.count = 1;
            in.buffers[0].channels = self->in_;
            in.buffers[0].bytes = uint32_t(frames * unsigned(self->in_) * sizeof(float));
            in.buffers[0].data = const_cast<float*>(static_cast<const float*>(input));
        }
        self->proc_->soundIO(&out, input ? &in : nullptr);
        return paContinue;
    }

private:
    static void finished(void* user) { static_cast<PortAudioStream*>(user)->ended_.store(true); }

    PaStream* stream_ = nullptr;
    SoundIOProc* proc_;
    int in_, out_;
    double rate_;
    bool running_ = false;
    std::atomic<bool> ended_{false}; // set on PortAudio's thread when the stream ended
};

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// PortAudio's JACK host API opens a client of a running JACK server when PortAudio starts, and closes it when it ends:
// both are made on the JACK thread. Listing and streams (ALSA) are the main thread's, once it has started.
class PortAudioBackend : public SoundBackend {
public:
    // Main thread: true once PortAudio has started; asks the JACK thread to start it when it has not yet.
    bool started() {
        if (!asked_)
            asked_ = JackThread::call([this] {
                         // PortAudio probes JACK too; a server started meanwhile sees the program under its own name.
                         PaJack_SetClientName("tarlume");
                         // Probing the host APIs on a machine without a card makes ALSA print its failures by the
                         // dozen; the one line a user needs ("no sound device") is ours.
                         snd_lib_error_set_handler(quietAlsa);
                         // Its JACK host API opens and activates a client, which may free every client of the
                         // process (see JackThread::alive), and installs its own error function for libjack.
                         JackThread::letThreadsStart();
                         initialised_ = Pa_Initialize() == paNoError;
                         JackThread::hearAgain();
                         born_ = JackThread::freeings();
                         started_.store(true, std::memory_order_release);
                     }) != JackThread::Reply::NotAsked;
        return started_.load(std::memory_order_acquire);
    }
    // Main thread: PortAudio ends on the JACK thread, after its start. Not while it holds a client of a JACK server
    // that went away, nor one libjack freed since (see JackThread::alive): closing that client would abort the
    // program (it is left to the system then).
    static void end(PortAudioBackend* backend) {
        if (!backend) return;
        JackThread::post([backend] {
            if (backend->holdsJack()) {
                const JackThread::Client probe = JackThread::openClient("tarlume-probe");
                if (!probe) return;
                JackThread::closeClient(probe);
                if (JackThread::freeings() != backend->born_) return;
            }
            if (backend->initialised_) {
                JackThread::letThreadsStart(); // its JACK client's threads end here
                Pa_Terminate();
            }
            delete backend;
        });
    }
    std::string getName() const override { return "PortAudio"; }
    std::vector<SoundDeviceInfo> getDevices() override {
        std::vector<SoundDeviceInfo> list;
        if (!initialised_) return list;
        int n = Pa_GetDeviceCount();
        for (int i = 0; i < n; i++) {
            SoundDeviceInfo info;
            if (describe(i, &info)) list.push_back(info);
        }
        return list;
    }

    int getDefaultDevice(bool input) override {
        if (!initialised_) return 0;
        PaDeviceIndex d = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
        SoundDeviceInfo info;
        if (d != paNoDevice && describe(d, &info)) return info.id;
        // The default host API may be one we don't use: take the first device with channels.
        for (const SoundDeviceInfo& dev : getDevices())
            if ((input ? dev.inputChannels : dev.outputChannels) > 0) return dev.id;
        return 0;
    }

    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error) override {
        auto fail = [&](const std::string& why) {
            if (error) *error = why;
            return std::unique_ptr<SoundStream>();
        };
        if (!initialised_) return fail("PortAudio could not be initialised");
        int id = config.deviceId;
        if (id == 0) id = getDefaultDevice(config.outputChannels == 0);
        PaDeviceIndex index = paNoDevice;
        SoundDeviceInfo info;
        for (int i = 0, n = Pa_GetDeviceCount(); i < n; i++)
            if (describe(i, &info) && info.id == id) {
                index = i;
                break;
            }
        if (index == paNoDevice) return fail("no such device");
        const PaDeviceInfo* dev = Pa_GetDeviceInfo(index);
        int in = std::min(config.inputChannels, dev->maxInputChannels);
        int out = std::min(config.outputChannels, dev->maxOutputChannels);
        if (in <= 0 && out <= 0) return fail("the device has no channels in that direction");
        PaStreamParameters inParams{index, in, paFloat32, dev->defaultLowInputLatency, nullptr};
        PaStreamParameters outParams{index, out, paFloat32, dev->defaultLowOutputLatency, nullptr};
        double rate = config.sampleRate > 0 ? config.sampleRate : dev->defaultSampleRate;
        unsigned long frames = config.frames > 0 ? unsigned(config.frames) : paFramesPerBufferUnspecified;
        auto stream = std::make_unique<PortAudioStream>(proc, in > 0 ? in : 0, out > 0 ? out : 0, rate);
        PaStream* pa = nullptr;
        PaError err = Pa_OpenStream(&pa, in > 0 ? &inParams : nullptr, out > 0 ? &outParams : nullptr, rate, frames,
                                    paClipOff | paDitherOff, &PortAudioStream::callback, stream.get());
        if (err != paNoError) return fail(Pa_GetErrorText(err));
        stream->attach(pa);
        return stream;
    }

    // True when PortAudio's own JACK host API holds a client of a server (one started between the look for
    // a server and PortAudio's start): that client bears the program's name.
    bool holdsJack() const {
        if (!initialised_ || Pa_HostApiTypeIdToHostApiIndex(paJACK) < 0) return false;
        for (int i = 0, n = Pa_GetDeviceCount(); i < n; i++) {
            const PaDeviceInfo* dev = Pa_GetDeviceInfo(i);
            const PaHostApiInfo* api = dev ? Pa_GetHostApiInfo(dev->hostApi) : nullptr;
            if (api && api->type == paJACK) return true;
        }
        return false;
    }

private:
    bool describe(PaDeviceIndex i, SoundDeviceInfo* info) {
        const PaDeviceInfo* dev = Pa_GetDeviceInfo(i);
        if (!dev) return false;
        const PaHostApiInfo* api = Pa_GetHostApiInfo(dev->hostApi);
        if (!api || !usableHostApi(api->type)) return false;
        info->name = dev->name ? dev->name : "";
        info->hostApi = api->name ? api->name : "";
        info->id = SoundDevices::stableId(info->hostApi, info->name);
        info->inputChannels = std::max(0, dev->maxInputChannels);
        info->outputChannels = std::max(0, dev->maxOutputChannels);
        info->defaultSampleRate = dev->defaultSampleRate;
        return true;
    }

    bool asked_ = false;                // main thread
    bool initialised_ = false;          // written on the JACK thread before started_
    unsigned born_ = 0;                 // JackThread::freeings() when PortAudio started (its JACK client opened)
    std::atomic<bool> started_{false};
};

} // namespace

namespace {

// ---- Null device ---------------------------------------------------------------------------------

constexpr const char* kNullApi = "Null";
constexpr const char* kNullName = "Null Device";

class NullStream : public SoundStream {
public:
    NullStream(SoundIOProc* proc, int in, int out, double rate, int frames)
        : proc_(proc), in_(in), out_(out), rate_(rate), frames_(frames), inBuf_(size_t(frames) * size_t(in)),
          outBuf_(size_t(frames) * size_t(out)) {}
    ~NullStream() override { stop(); }
    bool start() override {
        if (thread_.joinable()) return true;
        running_.store(true);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void stop() override {
        running_.store(false);
        if (thread_.joinable()) thread_.join();
    }
    double getSampleRate() const override { return rate_; }
    int getInputChannels() const override { return in_; }
    int getOutputChannels() const override { return out_; }

private:
    void run() {
        using clock = std::chrono::steady_clock;
        const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(frames_ / rate_));
        SoundBufferList out, in;
        out.count = out_ > 0 ? 1 : 0;
        out.buffers[0] = {out_, uint32_t(outBuf_.size() * sizeof(float)), outBuf_.data()};
        in.count = in_ > 0 ? 1 : 0;
        in.buffers[0] = {in_, uint32_t(inBuf_.size() * sizeof(float)), inBuf_.data()};
        auto next = clock::now();
        while (running_.load()) {
            std::fill(outBuf_.begin(), outBuf_.end(), 0.0f);
            proc_->soundIO(&out, in_ > 0 ? &in : nullptr);
            next += period;
            auto now = clock::now();
            // After a stall (a debugger, a suspended machine) the pace starts again from now.
            if (now - next > std::chrono::seconds(1)) next = now;
            std::this_thread::sleep_until(next);
        }
    }

    SoundIOProc* proc_;
    int in_, out_;
    double rate_;
    int frames_;
    std::vector<float> inBuf_, outBuf_; // silent input; output that nothing plays
    std::atomic<bool> running_{false};
    std::thread thread_;
};

class NullBackend : public SoundBackend {
public:
    explicit NullBackend(std::vector<SoundDeviceInfo> devices) : devices_(std::move(devices)) {}
    std::string getName() const override { return kNullApi; }
    std::vector<SoundDeviceInfo> getDevices() override { return devices_; }
    int getDefaultDevice(bool input) override {
        for (const SoundDeviceInfo& d : devices_)
            if ((input ? d.inputChannels : d.outputChannels) > 0) return d.id;
        return 0;
    }
    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error) override {
        const int id = config.deviceId != 0 ? config.deviceId : getDefaultDevice(config.outputChannels == 0);
        for (const SoundDeviceInfo& info : devices_) {
            if (info.id != id) continue;
            int in = std::clamp(config.inputChannels, 0, info.inputChannels);
            int out = std::clamp(config.outputChannels, 0, info.outputChannels);
            double rate = config.sampleRate > 0 ? config.sampleRate : info.defaultSampleRate;
            int frames = config.frames > 0 ? std::min(config.frames, 8192) : 256;
            return std::make_unique<NullStream>(proc, in, out, rate, frames);
        }
        if (error) *error = "no such device";
        return nullptr;
    }

private:
    std::vector<SoundDeviceInfo> devices_;
};

struct BackendState {
    std::mutex mutex;
    SoundBackend* installed = nullptr;
    std::unique_ptr<JackSoundBackend> jack = JackSoundBackend::make();
    PortAudioBackend* system = nullptr; // ends on the JACK thread (PortAudioBackend::end)
    int systemCards = 0;                // ALSA's cards when PortAudio started
    std::unique_ptr<SoundBackend> null;
    SoundBackend* current = nullptr;
    bool warned = false;
};

BackendState& backendState() {
    // Never freed: PortAudio is left to the system at the end, and nothing of it goes while the program's static
    // objects go (the program's JACK clients close at the quit, see closeClientsForQuit).
    static BackendState* state = [] {
        // Looking for devices must not start a JACK server of its own.
        setenv("JACK_NO_START_SERVER", "1", 0);
        return new BackendState;
    }();
    return *state;
}

bool hasOutputDevice(SoundBackend& backend) {
    for (const SoundDeviceInfo& d : backend.getDevices())
        if (d.outputChannels > 0) return true;
    return false;
}

bool nullAskedFor() {
    const char* forced = getenv("TARLUME_SOUND");
    return forced && std::strcmp(forced, "null") == 0;
}

int alsaCards() {
    int card = -1, count = 0;
    while (snd_card_next(&card) == 0 && card >= 0)
        count++;
    return count;
}

// The system's sound, where the user wants it: a running JACK server (one that does not answer now keeps its device
// as last listed, which is tried again), else PortAudio's ALSA devices. Null when neither has an output, or while that
// is not known (`known` false): a JACK server that is there has not answered yet, or PortAudio has not started. State
// lock held.
SoundBackend* findSystem(BackendState& s, bool* known) {
    *known = false;
    const JackSoundBackend::Reach jack = s.jack->reach();
    if (jack != JackSoundBackend::Reach::None && hasOutputDevice(*s.jack)) return s.jack.get();
    if (jack == JackSoundBackend::Reach::Unknown) return nullptr;
    if (!s.system) {
        s.system = new PortAudioBackend();
        s.systemCards = alsaCards();
    }
    if (!s.system->started()) return nullptr;
    *known = true;
    return hasOutputDevice(*s.system) ? s.system : nullptr;
}

// Says that the system has no sound device, once that is known: once for each stretch without one. A device `found`
// ends the stretch, at a device change or by the look while the null device stands in. State lock held.
void sayWhenNoDevice(BackendState& s, const SoundBackend* found, bool known) {
    if (found) s.warned = false;
    if (found || !known || s.warned || nullAskedFor()) return;
    fprintf(stderr, "No sound device found: running without sound\n");
    s.warned = true;
}

// Chooses the backend; state lock held.
SoundBackend& choose(BackendState& s) {
    if (s.installed) return *s.installed;
    if (s.current) return *s.current;
    bool known = true;
    SoundBackend* found = nullAskedFor() ? nullptr : findSystem(s, &known);
    sayWhenNoDevice(s, found, known);
    if (found) return *(s.current = found);
    if (!s.null) s.null = SoundDevices::makeNullBackend();
    s.current = s.null.get();
    return *s.current;
}

bool standingIn(BackendState& s) {
    return !s.installed && &choose(s) == s.null.get() && !nullAskedFor();
}

// PortAudio ends (on the JACK thread) and starts again at the next look.
void endPortAudio(BackendState& s) {
    PortAudioBackend::end(s.system);
    s.system = nullptr;
}

// While the null device stands in: looks for the system's sound again, a few milliseconds a look. State
// lock held; no stream of a JACK or PortAudio backend is open then.
bool lookAgain(BackendState& s) {
    // PortAudio's own JACK host API may have taken a client of a server started just before it, under the program's
    // name: PortAudio ends and the program's client is made anew, after it.
    if (s.system && s.system->started() && s.system->holdsJack() &&
        s.jack->reach() == JackSoundBackend::Reach::There && hasOutputDevice(*s.jack)) {
        endPortAudio(s);
        s.jack->letGo();
    }
    // PortAudio lists the devices there were when it started: it starts again when ALSA's cards changed.
    if (s.system && s.system->started() && alsaCards() != s.systemCards) endPortAudio(s);
    bool known = false;
    SoundBackend* found = findSystem(s, &known);
    if (found) s.current = found;
    sayWhenNoDevice(s, found, known);
    return found != nullptr;
}

} // namespace

namespace SoundDevices {

SoundBackend& backend() {
    BackendState& s = backendState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return choose(s);
}

void setBackend(SoundBackend* installed) {
    BackendState& s = backendState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.installed = installed;
}

void rescan() {
    BackendState& s = backendState();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.installed) return;
    s.current = nullptr;
    // A JACK client is made anew: the server may have gone, or been started again with other ports. PortAudio reads
    // the device list only when it starts, so it ends and starts again.
    s.jack->letGo();
    if (s.system && s.system->started()) endPortAudio(s);
}

void closeClientsForQuit() {
    BackendState& s = backendState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.current = nullptr; // a later look opens anew
    s.jack->letGoForQuit();
    if (s.system && s.system->started() && s.system->holdsJack()) endPortAudio(s);
}

bool revive() {
    BackendState& s = backendState();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (standingIn(s)) return lookAgain(s);
    return choose(s).revive();
}

unsigned serverArrivals() {
    return JackThread::serverArrivals();
}

bool standingIn() {
    BackendState& s = backendState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return standingIn(s);
}

int stableId(const std::string& hostApi, const std::string& name) {
    // FNV-1a over "api/name", folded to 31 bits; 0 is kept for "the default device".
    uint32_t h = 2166136261u;
    auto feed = [&h](const std::string& text) {
        for (unsigned char c : text) {
            h ^= c;
            h *= 16777619u;
        }
    };
    feed(hostApi);
    feed("/");
    feed(name);
    int id = int(h & 0x7fffffffu);
    return id == 0 ? 1 : id;
}

bool findDevice(int id, bool input, SoundDeviceInfo* info) {
    SoundBackend& b = backend();
    if (id == 0) id = b.getDefaultDevice(input);
    if (id == 0) return false;
    for (const SoundDeviceInfo& d : b.getDevices())
        if (d.id == id) {
            if (info) *info = d;
            return true;
        }
    return false;
}

std::unique_ptr<SoundBackend> makeNullBackend() {
    SoundDeviceInfo info;
    info.id = stableId(kNullApi, kNullName);
    info.name = kNullName;
    info.hostApi = kNullApi;
    info.inputChannels = 2;
    info.outputChannels = 8;
    info.defaultSampleRate = 44100.0;
    return makeNullBackend({info});
}

std::unique_ptr<SoundBackend> makeNullBackend(const std::vector<SoundDeviceInfo>& devices) {
    return std::make_unique<NullBackend>(devices);
}

} // namespace SoundDevices
