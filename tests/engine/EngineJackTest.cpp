// Real sound: the engine's master output through the JACK backend (the client "tarlume") on a dummy JACK server of
// the test's own, read back at a JACK client of the test's own; and the mix recorded to WAV and Ogg.
#include "EngineLoadRig.h"
#include "support/DeckLoads.h"
#include "EngineTestSupport.h"

#include "audio/effects/EffectGroup.h"
#include "audio/player/Player.h"
#include "engine/EngineClock.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/TarlumeAudioDevice.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "platform/JackThread.h"
#include "platform/MidiPorts.h"
#include "support/JackServer.h"
#include "support/Sanitized.h"
#include "support/LostJackClient.h"
#include "support/Wav.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <sched.h>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include "support/MissingComponent.h"

using testsupport::EngineHome;
using testsupport::JackServer;
using testsupport::ScopedEnv;

namespace {

// Under a sanitizer the engine can't keep JACK's real-time pace: the whole road still runs (and is
// checked for memory and thread faults), but only the presence of sound is compared, not its shape.
constexpr bool kRealTime = !TARLUME_SANITIZED;

#define REQUIRE_COMPONENT(ok, what)                                                                                    \
    do {                                                                                                               \
        if (!(ok)) TARLUME_MISSING_COMPONENT() << what << " missing";                                                  \
    } while (0)

// The left channel of a WAV file as floats (full scale 1.0); empty when unreadable.
std::vector<float> wavLeft(const std::string& path) {
    testsupport::Wav wav(path);
    std::vector<float> out;
    for (size_t i = 0; wav.channels > 0 && i < wav.samples.size(); i += size_t(wav.channels))
        out.push_back(float(wav.samples[i]));
    return out;
}

double rms(const float* x, size_t n) {
    double s = 0;
    for (size_t i = 0; i < n; i++)
        s += double(x[i]) * x[i];
    return n ? std::sqrt(s / double(n)) : 0.0;
}

// Where `part` sits in `whole` (the lag of the best correlation) and the normalised correlation there:
// a coarse search every 4 samples, then the best lag refined sample by sample.
std::pair<long, double> bestMatch(const std::vector<float>& whole, const float* part, size_t n) {
    auto correlation = [&](size_t lag, size_t stride) {
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = 0; i < n; i += stride) {
            xy += double(whole[lag + i]) * part[i];
            xx += double(whole[lag + i]) * whole[lag + i];
            yy += double(part[i]) * part[i];
        }
        return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
    };
    long best = -1;
    double bestCorr = -2;
    for (size_t lag = 0; lag + n <= whole.size(); lag += 4) {
        double c = correlation(lag, 4);
        if (c > bestCorr) bestCorr = c, best = long(lag);
    }
    if (best < 0) return {-1, 0.0};
    const long coarse = best;
    bestCorr = -2;
    for (long lag = std::max(0L, coarse - 4); lag <= coarse + 4 && size_t(lag) + n <= whole.size(); lag++) {
        double c = correlation(size_t(lag), 1);
        if (c > bestCorr) bestCorr = c, best = lag;
    }
    return {best, bestCorr};
}

// A JACK client of the test's own reading the engine's first two outputs.
class Listener {
public:
    explicit Listener(const std::string& server) : buffer_(size_t(44100) * 20, 0.0f) {
        client_ = JackServer::openClient("tarlume-listener", server);
        if (!client_) return;
        port_ = jack_port_register(client_, "in_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Listener::process, this);
        jack_set_xrun_callback(client_, &Listener::xrun, this);
        jack_activate(client_);
    }
    ~Listener() {
        if (client_) jack_client_close(client_);
    }
    // Left to libjack, which frees it (see freeEveryClient).
    void abandon() { client_ = nullptr; }
    bool ok() const { return client_ && port_; }
    // Connects the first output port of the engine's stream (the client "tarlume") to this listener.
    bool connectToEngine() {
        const char** ports = jack_get_ports(client_, "tarlume:", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
        if (!ports || !ports[0]) return false;
        std::vector<std::string> names;
        for (int i = 0; ports[i]; i++)
            names.push_back(ports[i]);
        jack_free(ports);
        std::sort(names.begin(), names.end());
        return jack_connect(client_, names[0].c_str(), jack_port_name(port_)) == 0;
    }
    // Records `seconds` of the engine's left output, the frame loop running meanwhile. A loaded machine
    // makes the server miss cycles now and then (an xrun: a period of the output lost or repeated); a
    // capture during which one happened is taken again, for up to a minute, so what is compared is the
    // engine's sound and not the machine's load.
    std::vector<float> capture(double seconds, Tarlume& engine) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::vector<float> heard;
        do {
            const int before = xruns_.load();
            heard = captureOnce(seconds, engine);
            if (xruns_.load() == before) break;
        } while (std::chrono::steady_clock::now() < until);
        return heard;
    }
    // Cycles the server missed since the listener started.
    int xruns() const { return xruns_.load(); }
    // One take, whatever the server missed meanwhile.
    std::vector<float> captureOnce(double seconds, Tarlume& engine) {
        count_.store(0);
        const size_t want = std::min(buffer_.size(), size_t(seconds * 44100));
        limit_.store(want);
        recording_.store(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds * 3 + 2);
        while (count_.load() < want && std::chrono::steady_clock::now() < deadline) {
            engine.update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        recording_.store(false);
        return std::vector<float>(buffer_.begin(), buffer_.begin() + long(count_.load()));
    }

private:
    static int xrun(void* arg) {
        static_cast<Listener*>(arg)->xruns_.fetch_add(1);
        return 0;
    }
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Listener*>(arg);
        if (!self->recording_.load()) return 0;
        const float* in = static_cast<const float*>(jack_port_get_buffer(self->port_, frames));
        size_t at = self->count_.load(std::memory_order_relaxed);
        const size_t n = std::min(size_t(frames), self->limit_.load() - std::min(at, self->limit_.load()));
        std::memcpy(self->buffer_.data() + at, in, n * sizeof(float));
        self->count_.store(at + n);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::vector<float> buffer_;
    std::atomic<size_t> count_{0}, limit_{0};
    std::atomic<bool> recording_{false};
    std::atomic<int> xruns_{0};
};

// The engine's ports at the server, by full name, sorted; empty when the server does not answer.
std::vector<std::string> enginePorts(const std::string& server) {
    jack_client_t* c = JackServer::openClient("tarlume-ports", server);
    std::vector<std::string> names;
    if (!c) return names;
    const char** ports = jack_get_ports(c, "^tarlume:", JACK_DEFAULT_AUDIO_TYPE, 0);
    for (int i = 0; ports && ports[i]; i++)
        names.push_back(ports[i]);
    if (ports) jack_free(ports);
    jack_client_close(c);
    std::sort(names.begin(), names.end());
    return names;
}

// Whether the engine's first output is joined to the server's playback, which only an active client's can be.
bool engineJoined(const std::string& server) {
    jack_client_t* c = JackServer::openClient("tarlume-ports", server);
    if (!c) return false;
    jack_port_t* out = jack_port_by_name(c, "tarlume:out_0");
    const bool joined = out && jack_port_connected(out) > 0;
    jack_client_close(c);
    return joined;
}

// A server, a sweep made by sox, and an engine whose master plays through JACK, deck 0 loaded.
struct JackRig {
    // `channels` capture and playback ports. Periods of 1024 frames (23 ms) unless said: a loaded machine wakes
    // the server's and the clients' threads late by a few milliseconds, which 256-frame periods (6 ms) turn into
    // missed cycles.
    explicit JackRig(int channels = 2, int period = 1024, bool realTime = false)
        : server(44100, period, channels, channels, realTime) {}
    JackServer server;
    ScopedEnv serverEnv{"JACK_DEFAULT_SERVER", server.name()};
    ScopedEnv noStart{"JACK_NO_START_SERVER", "1"};
    // After the engine and before the server: the program's clients let go of the server while it still answers.
    struct ReleaseSoundSystem {
        static void now() {
            SoundDevices::rescan();
            SoundDevices::rescan();
            MidiPorts::get().closeForQuit();
            for (int i = 0; i < 20 && !JackThread::drain(); i++) {
            }
        }
        ~ReleaseSoundSystem() { now(); }
    } release;
    EngineHome home;
    std::string track = home.home.path + "sweep.wav";
    std::unique_ptr<Tarlume> engine;
    std::vector<float> source;

    bool makeTrack() {
        const std::string cmd =
            "sox -q -n -r 44100 -c 2 -b 16 '" + track + "' synth 40 sine 100-1000 gain -8 2>/dev/null";
        if (system(cmd.c_str()) != 0) return false;
        source = wavLeft(track);
        return !source.empty();
    }
    // Builds the engine on the JACK device, loads the track on deck 0; false with a reason.
    std::string start() {
        SoundDevices::rescan();
        engine = std::make_unique<Tarlume>();
        // A loaded server may let the engine's client in only after the engine's wait: a look takes it then.
        int jack = 0;
        for (int i = 0; i < 500 && !jack; i++) {
            for (const SoundDeviceInfo& d : SoundDevices::backend().getDevices())
                if (d.hostApi.find("JACK") != std::string::npos && d.outputChannels > 0) jack = d.id;
            if (!jack && !SoundDevices::revive()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!jack) return "no JACK device listed";
        engine->outputDevice[0] = engine->outputDevice[1] = jack;
        engine->initAudio();
        if (engine->soundDevices.empty() || !engine->soundDevices[0]->isConnected()) return "master not connected";
        // So may it answer the master's open: the master plays on a null device until a look takes the server (the
        // ports of an open it stopped waiting for come and go meanwhile).
        auto* master = static_cast<LinuxAudioDevice*>(engine->soundDevices[0].get());
        for (int i = 0; i < 500 && (master->isLost() || enginePorts(server.name()).empty()); i++) {
            engine->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (master->isLost() || enginePorts(server.name()).empty()) return "the master is not on the server";
        TarlumePlayer* deck = engine->players[0];
        testsupport::loadSong(deck, track.c_str(), true);
        for (int i = 0; i < 300 && deck->getParam(PLAYERPARAM_LOADED) < 0.5; i++) {
            engine->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (deck->getParam(PLAYERPARAM_LOADED) < 0.5) return "the track did not load";
        return "";
    }
    // Plays deck 0 at the file's own level: the track's loudness analysis would set its replay gain
    // part-way through the test, so the deck takes it as already applied.
    void play() {
        TarlumePlayer* deck = engine->players[0];
        deck->replayGainApplied = true;
        deck->playPause();
        for (int i = 0; i < 15; i++) { // the start and the ramps settle
            engine->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
};

} // namespace

TEST(EngineJack, MasterOutputCarriesTheDeckThroughTheCrossfaderCurves) {
    REQUIRE_COMPONENT(JackServer::available(), "jackd");
    JackRig rig;
    ASSERT_TRUE(rig.server.ready()) << "jackd did not start";
    REQUIRE_COMPONENT(rig.makeTrack(), "sox");
    const std::string failure = rig.start();
    ASSERT_EQ(failure, "");
    Tarlume& engine = *rig.engine;
    EXPECT_EQ(engine.getSamplerate(), 44100.0);
    Listener listener(rig.server.name());
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(listener.connectToEngine());

    TarlumePlayer* deck = engine.players[0];
    rig.play();
    // Type 0 at the centre: the left deck at full gain. The signal is the file's.
    std::vector<float> heard = listener.capture(1.0, engine);
    ASSERT_GT(heard.size(), 40000u);
    const double sourceLevel = rms(rig.source.data() + 44100, 44100 * 30);
    if (!kRealTime) {
        EXPECT_GT(rms(heard.data(), heard.size()), 0.0);
        return;
    }
    const size_t window = 8192;
    auto [lag, corr] = bestMatch(rig.source, heard.data() + 10000, window);
    EXPECT_GT(corr, 0.99) << "lag " << lag;
    const double unity = rms(heard.data(), heard.size()) / sourceLevel;
    EXPECT_NEAR(unity, 1.0, 0.05);

    struct Step {
        int type;
        double crossfader, volume, gain;
    } steps[] = {{1, 0.75, 1.0, 0.25}, {1, 0.0, 0.5, 0.5}, {3, 0.5, 1.0, std::sqrt(0.5)}, {0, 1.0, 1.0, 0.0}};
    for (const Step& s : steps) {
        SCOPED_TRACE("type " + std::to_string(s.type) + " at " + std::to_string(s.crossfader));
        engine.setCrossfaderType(s.type);
        engine.setCrossfader(s.crossfader, true); // the target too, or the frame loop glides back
        engine.setCrossfader(s.crossfader, false);
        deck->setVolume(s.volume);
        std::this_thread::sleep_for(std::chrono::milliseconds(150)); // the ramps settle
        heard = listener.capture(0.3, engine);
        ASSERT_GT(heard.size(), 10000u);
        EXPECT_NEAR(rms(heard.data(), heard.size()) / sourceLevel / unity, s.gain, 0.03);
    }
}

// The mix recorded holds what the master played. Then the quit closes the engine's client while its server answers:
// a client left open is found dead by the server only after the program has gone, which a loaded server was seen to
// take up to 50 s over, holding every other client's request meanwhile.
TEST(EngineJack, RecordingsMatchWhatWasPlayedAndTheQuitClosesTheClient) {
    REQUIRE_COMPONENT(JackServer::available(), "jackd");
    JackRig rig;
    ASSERT_TRUE(rig.server.ready()) << "jackd did not start";
    REQUIRE_COMPONENT(rig.makeTrack(), "sox");
    ASSERT_EQ(rig.start(), "");
    Tarlume& engine = *rig.engine;
    Listener listener(rig.server.name());
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(listener.connectToEngine());
    rig.play();

    // Each recording holds what the master played meanwhile: the file's sweep, at the level heard.
    const double sourceLevel = rms(rig.source.data() + 44100, 44100 * 30);
    struct Format {
        std::string ending;
        double correlation, levelTolerance;
    } formats[] = {{"wav", 0.99, 0.03}, {"ogg", 0.97, 0.1}};
    for (const Format& format : formats) {
        SCOPED_TRACE(format.ending);
        const std::string path = rig.home.home.path + "mix." + format.ending;
        // Taken again when the server missed a cycle meanwhile (see Listener::capture).
        std::vector<float> heard;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        do {
            const int before = listener.xruns();
            ASSERT_TRUE(engine.startRecording(path));
            heard = listener.captureOnce(1.0, engine);
            engine.stopRecording();
            if (listener.xruns() == before) break;
        } while (std::chrono::steady_clock::now() < until);
        ASSERT_GT(heard.size(), 40000u);
        std::string wav = path;
        if (format.ending == "ogg") {
            wav = rig.home.home.path + "mix-ogg.wav";
            REQUIRE_COMPONENT(system(("oggdec -Q -o '" + wav + "' '" + path + "' 2>/dev/null").c_str()) == 0, "oggdec");
        }
        std::vector<float> recorded = wavLeft(wav);
        if (!kRealTime) {
            EXPECT_FALSE(recorded.empty());
            continue;
        }
        ASSERT_GT(recorded.size(), 30000u);
        auto [lag, corr] = bestMatch(rig.source, recorded.data() + 5000, 8192);
        EXPECT_GT(corr, format.correlation) << "lag " << lag;
        EXPECT_NEAR(rms(recorded.data() + 5000, 20000) / sourceLevel, rms(heard.data(), heard.size()) / sourceLevel,
                    format.levelTolerance);
    }

    rig.engine.reset();
    for (int i = 0; i < 20 && !JackThread::drain(); i++) { // a loaded server may answer after the quit's wait
    }
    // A client asking for the program's exact name is let in (a loaded server may turn it away for a moment).
    jack_client_t* sameName = nullptr;
    for (int i = 0; i < 40 && !sameName; i++) {
        sameName = jack_client_open("tarlume", jack_options_t(JackNoStartServer | JackServerName | JackUseExactName),
                                    nullptr, rig.server.name().c_str());
        if (!sameName) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(sameName, nullptr) << "the quit left the engine's client open";
    if (sameName) jack_client_close(sameName);
}

namespace {
// Counts the server's xruns from a client of its own.
struct XrunCounter {
    jack_client_t* client = nullptr;
    std::atomic<int> xruns{0};
    std::atomic<bool> realTime{false}; // whether the clients' process threads got real-time scheduling
    explicit XrunCounter(const std::string& server) {
        client = JackServer::openClient("tarlume-xruns", server);
        if (!client) return;
        jack_set_xrun_callback(
            client,
            [](void* arg) {
                static_cast<XrunCounter*>(arg)->xruns++;
                return 0;
            },
            this);
        jack_set_process_callback(
            client,
            [](jack_nframes_t, void* arg) {
                const int policy = sched_getscheduler(0);
                static_cast<XrunCounter*>(arg)->realTime.store(policy == SCHED_FIFO || policy == SCHED_RR);
                return 0;
            },
            this);
        jack_activate(client);
    }
    ~XrunCounter() {
        if (client) jack_client_close(client);
    }
};
} // namespace

// The server's xruns at 256 frames (5.8 ms) with real-time scheduling where the system grants it, in pairs of runs
// in one server: idle (the engine running, nothing playing) then the full load (four decks with pitch, key lock on
// two, EQ and two effects each, master reverb, WAV recording, a timecode input), each pair printed. A busy machine
// makes the server miss cycles in idle and loaded runs alike (without real-time scheduling hundreds, and the loaded
// runs up to twice as many): the loaded runs but the worst may miss three times as many and ten more, while a
// callback that waits for a lock, allocates or writes a file misses cycles at every block or frame, far beyond that,
// in every run. One loaded run alone was seen to miss 11 beside the other slow tests, and none in the five after.
// TARLUME_XRUN_SECONDS: a run's length (default 3).
TEST(SlowEngineJack, XrunsUnderLoad) {
    REQUIRE_COMPONENT(JackServer::available(), "jackd");
    JackRig rig(2, 256, true);
    ASSERT_TRUE(rig.server.ready()) << "jackd did not start";
    const std::string track = rig.home.home.path + "noise.wav";
    REQUIRE_COMPONENT(
        system(("sox -q -n -r 44100 -c 2 -b 16 '" + track + "' synth 60 pinknoise gain -10 2>/dev/null").c_str()) == 0,
        "sox");
    REQUIRE_COMPONENT(rig.makeTrack(), "sox");
    ASSERT_EQ(rig.start(), "");
    Tarlume& engine = *rig.engine;
    engine.inputChannels[3][0] = 0;
    engine.inputChannels[3][1] = 1;
    for (int d = 0; d < 4; d++) {
        ASSERT_TRUE(testsupport::loadDeckTrack(engine.players[d], track));
        testsupport::setUpDeckLoad(engine.players[d], d, true);
    }
    auto setLoad = [&](bool full) {
        if (!full) engine.stopRecording();
        engine.masterEffects->setEffectState(EFFECT_REVERB, full ? 1 : 0);
        engine.players[3]->setVinylControl(full, 3);
        engine.updateAudioInputs();
        for (TarlumePlayer* deck : engine.players)
            if ((deck->getParam(PLAYERPARAM_PLAYING) > 0.5) != full) deck->playPause();
        return !full || engine.startRecording(rig.home.home.path + "load.wav");
    };
    XrunCounter counter(rig.server.name());
    ASSERT_NE(counter.client, nullptr);
    // The server's xruns over `seconds` of the frame loop.
    auto run = [&](double seconds) {
        const int before = counter.xruns.load();
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            engine.update();
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        return counter.xruns.load() - before;
    };
    const char* env = getenv("TARLUME_XRUN_SECONDS");
    const double seconds = env ? std::max(1.0, strToDbl(env)) : 3.0;
    int idleXruns = 0, fullXruns = 0, worstFull = 0;
    double load = 0;
    for (int pair = 1; pair <= 6; pair++) {
        ASSERT_TRUE(setLoad(false));
        run(0.5); // what a switch costs is not the load's
        const int idle = run(seconds);
        ASSERT_TRUE(setLoad(true));
        run(0.5);
        const int full = run(seconds);
        load = engine.getCPUUsage();
        printf("xruns over %.0f s at 256 frames%s, pair %d: %d idle, %d under the full load (callback load %.1f %%)\n",
               seconds, counter.realTime.load() ? "" : " (no real-time scheduling here)", pair, idle, full,
               100.0 * load);
        idleXruns += idle;
        fullXruns += full;
        worstFull = std::max(worstFull, full);
    }
    setLoad(false);
    RecordProperty("idleXruns", idleXruns);
    RecordProperty("fullXruns", fullXruns);
    EXPECT_GT(load, 0.0);
    EXPECT_LE(fullXruns - worstFull, 3 * idleXruns + 10);
}

namespace {
// What the engine said on standard error since it was captured. The store of JACK metadata that every client
// of the user shares says on standard error when another test's server removed it under it, or when it is full
// (its lines start with its path or "BDB"): those lines are not the engine's.
std::string engineSaid() {
    std::istringstream captured(testing::internal::GetCapturedStderr());
    std::string said, line;
    while (std::getline(captured, line))
        if (line.find("/dev/shm/jack_db") == std::string::npos && line.rfind("BDB", 0) != 0) said += line + "\n";
    return said;
}

// A client of the test's own that notes, in order, the server's notices of ports made ('r') and taken away ('u'),
// and of connections made ('c') and broken ('d').
class PortNotices {
public:
    explicit PortNotices(const std::string& server) : client_(JackServer::openClient("tarlume-notices", server)) {
        if (!client_) return;
        jack_set_port_registration_callback(
            client_, [](jack_port_id_t, int made, void* self) { static_cast<PortNotices*>(self)->note(made ? 'r' : 'u'); },
            this);
        jack_set_port_connect_callback(
            client_,
            [](jack_port_id_t, jack_port_id_t, int made, void* self) {
                static_cast<PortNotices*>(self)->note(made ? 'c' : 'd');
            },
            this);
        jack_activate(client_);
    }
    ~PortNotices() {
        if (client_) jack_client_close(client_);
    }
    std::string seen() {
        std::lock_guard<std::mutex> guard(mutex_);
        return seen_;
    }

private:
    void note(char c) {
        std::lock_guard<std::mutex> guard(mutex_);
        seen_ += c;
    }
    jack_client_t* client_;
    std::mutex mutex_;
    std::string seen_;
};

// Whether the engine's next client open is turned away, as a loaded server was seen to do right after the previous
// client closed (jack_client_open below stands in front of libjack's for the whole test program).
std::atomic<bool> turnAway{false};
// Whether the engine's next activation fails, as libjack's does when the client's process thread has not begun within
// a second on a loaded machine (jack_activate below stands in front of libjack's too).
std::atomic<bool> refuseActivation{false};
} // namespace

extern "C" int jack_activate(jack_client_t* client) {
    using Activate = int (*)(jack_client_t*);
    static const auto activate = reinterpret_cast<Activate>(dlsym(RTLD_NEXT, "jack_activate"));
    if (strcmp(jack_get_client_name(client), "tarlume") == 0 && refuseActivation.exchange(false)) return -1;
    return activate(client);
}

extern "C" jack_client_t* jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    using Open = jack_client_t* (*)(const char*, jack_options_t, jack_status_t*, ...);
    static const auto open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "jack_client_open"));
    if (strcmp(name, "tarlume") == 0 && turnAway.exchange(false)) {
        if (status) *status = jack_status_t(JackFailure | JackServerError);
        return nullptr;
    }
    va_list args;
    va_start(args, status);
    const char* server = options & JackServerName ? va_arg(args, const char*) : nullptr;
    va_end(args);
    return server ? open(name, options, status, server) : open(name, options, status);
}

// An engine started before its server runs without sound and takes the server once it is there; a device change
// whose client the server turns away for a moment keeps it. The inputs a deck may use open with the outputs; a
// deck switched to timecode reopens nothing. When the server stops, the engine says so once and plays on a null
// device; when it is started again, the engine comes back under the same port names and its sound reaches the
// server again.
TEST(EngineJack, PortsComeWithALateServerAndStayThroughTimecodeAndTheServerStoppingAndReturning) {
    REQUIRE_COMPONENT(JackServer::available(), "jackd");
    JackRig rig(4);
    JackServer& server = rig.server;
    ASSERT_TRUE(server.ready()) << "jackd did not start";
    REQUIRE_COMPONENT(rig.makeTrack(), "sox");
    server.stop();
    SoundDevices::rescan();
    std::unique_ptr<Tarlume>& engine = rig.engine;
    engine = std::make_unique<Tarlume>();
    engine->inputChannels[0][0] = 0;
    engine->inputChannels[0][1] = 1;
    engine->initAudio();
    ASSERT_FALSE(engine->soundDevices.empty());
    ASSERT_TRUE(server.restart()) << "jackd did not start";
    const std::vector<std::string> ports = {"tarlume:in_0",  "tarlume:in_1",  "tarlume:in_2",  "tarlume:in_3",
                                            "tarlume:out_0", "tarlume:out_1", "tarlume:out_2", "tarlume:out_3"};
    testing::internal::CaptureStderr();
    for (int i = 0; i < 250 && enginePorts(server.name()) != ports; i++) {
        engine->update();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(engineSaid(), "Sound device \"system\" found: playing there\n");
    EXPECT_EQ(enginePorts(server.name()), ports);
    // A device change whose new client the server turns away for a moment keeps the server: it is asked again.
    // The old ports go, and the new ones come, while the client is inactive (its connections broken first, made
    // last): libjack reads a client's list of ports, unlocked, for every latency notice an active client gets.
    {
        PortNotices notices(server.name()); // closed while its server runs
        turnAway.store(true);
        testing::internal::CaptureStderr();
        engine->initAudio();
        EXPECT_EQ(engineSaid(), "");
        EXPECT_FALSE(turnAway.load()) << "the engine's client was not turned away";
        EXPECT_EQ(enginePorts(server.name()), ports);
        for (int i = 0; i < 250 && notices.seen().find("cccccccc") == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(notices.seen(), "dddddddduuuuuuuurrrrrrrrcccccccc");
    }
    // One whose client libjack could not activate (it stays inactive, its ports joined to nothing) is made anew.
    {
        refuseActivation.store(true);
        testing::internal::CaptureStderr();
        engine->initAudio();
        EXPECT_FALSE(refuseActivation.load()) << "the engine's client was activated";
        const auto* device = static_cast<LinuxAudioDevice*>(engine->soundDevices[0].get());
        for (int i = 0; i < 250 && (!engineJoined(server.name()) || device->isLost()); i++) {
            engine->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(engineSaid(), "");
        EXPECT_TRUE(engineJoined(server.name())) << "the engine's client was left inactive";
        EXPECT_EQ(enginePorts(server.name()), ports);
    }
    // So do the ports of a second stream beside the playing one (a deck input of its own), which keeps its
    // connections: they are broken while the client is inactive (the server shows no port of an inactive client),
    // and made again. An open that outlasts its wait (the server stopped meanwhile) is undone once it has ended: none of
    // its ports stays to push the next stream's names aside ("in_0.2").
    // On a loaded machine an open can outlast its wait unasked, or not be asked while the allowance is spent: it is
    // tried again once that has ended.
    for (const bool late : {true, false}) {
        SCOPED_TRACE(late ? "an open given up on" : "an open in time");
        bool tried = false;
        for (int attempt = 0; attempt < 10 && !tried; attempt++) {
            for (int i = 0; i < 20 && !JackThread::drain(); i++) {
            }
            PortNotices notices(server.name());
            struct : SoundIOProc {
                void soundIO(SoundBufferList*, const SoundBufferList*) override {}
            } silent;
            SoundStreamConfig capture;
            capture.inputChannels = 2;
            if (late) {
                ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
            }
            std::unique_ptr<SoundStream> second = SoundDevices::backend().open(capture, &silent, nullptr);
            const bool opened = second != nullptr;
            if (late) kill(server.pid(), SIGCONT);
            second.reset();
            // Given up on, the open goes on once the server answers (one not asked leaves no notice).
            for (int i = 0; i < 500 && late && !opened && notices.seen().empty(); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            tried = late ? !opened && !notices.seen().empty() : opened;
            if (!tried) continue;
            if (late) {
                for (int i = 0; i < 20 && !JackThread::drain(); i++) {
                }
                EXPECT_EQ(enginePorts(server.name()), ports);
                continue;
            }
            const std::string seen = "dddddddduuuuuuuu" "rrrrrrrrrr" "cccccccccc" // opened
                                     "dddddddddduuuuuuuuuu" "rrrrrrrr" "cccccccc";  // closed
            for (int i = 0; i < 250 && notices.seen().size() < seen.size(); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(notices.seen(), seen);
            EXPECT_EQ(enginePorts(server.name()), ports);
        }
        EXPECT_TRUE(tried);
    }
    EXPECT_EQ(LinuxAudioDevice::getNbChannels(0, true), 4); // the input channels to choose from
    engine->players[0]->setVinylControl(true, 0);
    EXPECT_EQ(enginePorts(server.name()), ports);
    EXPECT_EQ(engine->soundDevices.size(), 1u);
    TarlumePlayer* deck = engine->players[1];
    ASSERT_TRUE(testsupport::loadDeckTrack(deck, rig.track));
    deck->replayGainApplied = true;
    deck->playPause();

    testing::internal::CaptureStderr();
    server.stop();
    for (int i = 0; i < 100 && !static_cast<LinuxAudioDevice*>(engine->soundDevices[0].get())->isLost(); i++) {
        engine->update();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(engineSaid(), "Sound device \"system\" stopped: playing on no device until it is back\n");
    auto* device = static_cast<LinuxAudioDevice*>(engine->soundDevices[0].get());
    ASSERT_TRUE(device->isLost());
    // Without its device the mix runs on: the deck plays on meanwhile.
    const double lost = deck->getPosition();
    for (int i = 0; i < 25; i++) {
        engine->update();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(deck->getPosition() - lost, 250) << "the deck stood still while its device was gone";

    ASSERT_TRUE(server.restart()) << "jackd did not start again";
    testing::internal::CaptureStderr();
    for (int i = 0; i < 250 && device->isLost(); i++) {
        engine->update();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(engineSaid(), "Sound device \"system\" is back\n");
    EXPECT_FALSE(device->isLost());
    EXPECT_EQ(enginePorts(server.name()), ports);
    // The deck is heard again.
    Listener listener(server.name());
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(listener.connectToEngine());
    const std::vector<float> heard = listener.captureOnce(0.5, *engine);
    ASSERT_GT(heard.size(), 10000u);
    EXPECT_GT(rms(heard.data(), heard.size()), 0.05);

    // libjack frees every client of the process at an open after one of them lost its server, the engine's too while
    // its server runs on: the device is lost and back, as after a restart.
    listener.abandon();
    ASSERT_TRUE(testsupport::freeEveryClient(server));
    testing::internal::CaptureStderr();
    bool lostOnce = false;
    for (int i = 0; i < 1500 && (!lostOnce || device->isLost()); i++) {
        engine->update();
        lostOnce = lostOnce || device->isLost();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(lostOnce) << "libjack's free of the sound's client went unseen";
    EXPECT_EQ(engineSaid(), "Sound device \"system\" stopped: playing on no device until it is back\n"
                            "Sound device \"system\" is back\n");
    EXPECT_EQ(enginePorts(server.name()), ports);
}

// A block that stalls (a debugger, a fault) never returns into a device, a deck or a stream freed meanwhile
// (AddressSanitizer tells): a device change or the quit waits two seconds for it, then gives the client up; the
// devices, as the engine owns them, stay until the block has left, and the quit deletes the decks only then.
// After the change the device comes back on a fresh client of the program's name.
TEST(EngineJack, ABlockStalledInADeviceIsNotRunIntoAgain) {
    REQUIRE_COMPONENT(JackServer::available(), "jackd");
    struct Flags {
        std::atomic<bool> stall{false}, inside{false}, release{false}, freed{false}, freedUnder{false}, returned{false};
    };
    // The mix of a block that stalls until the test lets it go.
    struct Stalling : LinuxAudioDevice {
        Stalling(Tarlume* engine, Flags& f) : LinuxAudioDevice(engine, 0, false, 0), flags(f) {
            master = setsRate = true;
            std::fill(std::begin(deckRouted), std::end(deckRouted), true);
        }
        ~Stalling() override { flags.freed.store(true); }
        void soundIO(SoundBufferList* output, const SoundBufferList* input) override {
            if (!flags.stall.exchange(false)) return processBuffer(output, input);
            Guard guard(this); // as the mix holds it
            flags.inside.store(true);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!flags.release.load() && std::chrono::steady_clock::now() < until) {
            }
            flags.freedUnder.store(flags.freed.load());
            initBuffers(256);
            calculateBuffers(); // the device's buffers, the decks, the engine
            flags.returned.store(true);
        }
        Flags& flags;
    };
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "quit" : "device change");
        Flags flags; // outlives the rig, and with it the device
        JackRig rig;
        ASSERT_TRUE(rig.server.ready()) << "jackd did not start";
        SoundDevices::rescan();
        rig.engine = std::make_unique<Tarlume>();
        rig.engine->soundDevices.push_back(std::make_unique<Stalling>(rig.engine.get(), flags));
        ASSERT_TRUE(rig.engine->soundDevices[0]->connect());
        const std::string recording = rig.home.home.path + "stalled.wav";
        if (!quit) {
            ASSERT_TRUE(rig.engine->startRecording(recording));
        }
        flags.stall.store(true);
        for (int i = 0; i < 6000 && !flags.inside.load(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(flags.inside.load());
        if (quit) {
            std::thread releaser([&] {
                std::this_thread::sleep_for(std::chrono::seconds(3));
                flags.release.store(true);
            });
            rig.engine.reset();
            EXPECT_TRUE(flags.returned.load()) << "the engine was deleted under the block";
            EXPECT_FALSE(flags.freedUnder.load()) << "the device was freed under the block";
            releaser.join();
            // The client given up on is closed once the block has left: then a fresh one is made.
            bool revived = false;
            for (int i = 0; i < 500 && !(revived = SoundDevices::revive()); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_TRUE(revived);
            continue;
        }
        rig.engine->initAudio();
        EXPECT_FALSE(flags.returned.load()) << "the device change waited for the block (its recording's lock)";
        flags.release.store(true);
        const std::vector<std::string> ports = {"tarlume:out_0", "tarlume:out_1"};
        auto* device = static_cast<LinuxAudioDevice*>(rig.engine->soundDevices[0].get());
        for (int i = 0; i < 500 && (device->isLost() || enginePorts(rig.server.name()) != ports ||
                                    !rig.engine->stalledDevices.empty());
             i++) {
            rig.engine->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(flags.returned.load());
        EXPECT_FALSE(flags.freedUnder.load()) << "the device was freed under the block";
        EXPECT_EQ(enginePorts(rig.server.name()), ports);
        // The recording ended with its device, once the block had left.
        EXPECT_TRUE(flags.freed.load());
        EXPECT_FALSE(wavLeft(recording).empty());
    }
}

// A JACK server that stops answering (SIGSTOP, a debugger) holds no frame longer than about a second: not when
// another output is chosen, also while the server answers for a few milliseconds now and then; nor when a lost device
// is looked for just after the server came back; nor when the controllers are listed, or one is changed; nor when the
// engine starts; nor the quit, whose signals the JACK thread, held meanwhile, never takes. What could not be opened
// plays on a null device meanwhile, said once, and is taken when the server runs. "No sound device" is said where there
// is none, and nowhere else, once for each stretch without one. A controller on the server stays listed while it is
// stopped, and one chosen meanwhile is joined to it once it runs.
TEST(EngineJack, WhatMeetsAStoppedServerReturnsAtOnceAndTakesItWhenItRuns) {
    REQUIRE_COMPONENT(JackServer::available(), "jackd");
    enum When { Choice, ChoiceWhileResuming, Look, Controllers, ControllerChange, Quit, Start };
    const std::string notOpened = "Sound device \"system\" could not be opened: the JACK server does not answer.\n",
                      found = "Sound device \"system\" found: playing there\n";
    const struct {
        const char* name;
        When when;
        std::string said;
    } rows[] = {
        {"an output chosen", Choice, notOpened + found},
        {"an output chosen while the server answers for moments", ChoiceWhileResuming, notOpened + found},
        {"a lost device looked for", Look, "Sound device \"system\" is back\n"},
        {"the controllers listed", Controllers, ""},
        {"a controller changed", ControllerChange, ""},
        {"the quit", Quit, ""},
        // After rows that found the device, which ended any stretch without one before.
        {"the engine started", Start, "No sound device found: running without sound\n" + found},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        JackRig rig(4);
        ASSERT_TRUE(rig.server.ready()) << "jackd did not start";
        if (row.when == Start) { // as a program started before it: no server, then one whose device is not known yet
            rig.server.stop();
            SoundDevices::rescan();
            testing::internal::CaptureStderr();
            SoundDevices::backend();
            ASSERT_TRUE(rig.server.restart()) << "jackd did not start";
        }
        SoundDevices::rescan();
        rig.engine = std::make_unique<Tarlume>();
        Tarlume& engine = *rig.engine;
        const std::vector<std::string> ports = {"tarlume:out_0", "tarlume:out_1", "tarlume:out_2", "tarlume:out_3"};
        if (row.when != Start) { // a loaded server may answer the open only after the engine's wait: a look takes it
            engine.initAudio();
            for (int i = 0; i < 500 && enginePorts(rig.server.name()) != ports; i++) {
                engine.update();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ASSERT_EQ(enginePorts(rig.server.name()), ports);
        }
        if (row.when == Look) { // the server goes, and is stopped just after it came back
            rig.server.stop();
            for (int i = 0; i < 250 && !static_cast<LinuxAudioDevice*>(engine.soundDevices[0].get())->isLost(); i++) {
                engine.update();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ASSERT_TRUE(static_cast<LinuxAudioDevice*>(engine.soundDevices[0].get())->isLost());
            ASSERT_TRUE(rig.server.restart()) << "jackd did not start again";
        }
        // A controller on the server, its ports joined to the program's as a controller's are.
        MidiPorts& midi = MidiPorts::get();
        jack_client_t* pad = nullptr;
        std::unique_ptr<MidiInputPort> fromPad;
        std::unique_ptr<MidiOutputPort> toPad;
        auto connectPad = [&] {
            for (const MidiEndpoint& e : midi.sources())
                if (e.model == "tarlume-pad")
                    fromPad = midi.openInput(e.index, [](void*, const uint8_t*, size_t, double) {}, nullptr);
            for (const MidiEndpoint& e : midi.destinations())
                if (e.model == "tarlume-pad") toPad = midi.openOutput(e.index);
        };
        jack_port_t *padOut = nullptr, *padIn = nullptr;
        auto padJoined = [&] { return jack_port_connected(padOut) > 0 && jack_port_connected(padIn) > 0; };
        if (row.when != ChoiceWhileResuming && row.when != Quit) {
            pad = JackServer::openClient("tarlume-pad", rig.server.name());
            ASSERT_NE(pad, nullptr);
            ASSERT_NE(padOut = jack_port_register(pad, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0), nullptr);
            ASSERT_NE(padIn = jack_port_register(pad, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0), nullptr);
            // An active client runs a cycle of its own in the server's: one without would hold every cycle.
            jack_set_process_callback(pad, [](jack_nframes_t, void*) { return 0; }, nullptr);
            ASSERT_EQ(jack_activate(pad), 0);
            connectPad();
            ASSERT_TRUE(fromPad && toPad);
            for (int i = 0; i < 500 && !padJoined(); i++) {
                midi.watch(); // as a frame does: the ports are made
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ASSERT_TRUE(padJoined());
            for (const MidiEndpoint& e : midi.sources()) // not the program's own ports
                EXPECT_EQ(e.name, "tarlume-pad:out");
        }
        midi.sources(); // listed while the server answers
        // The server stays stopped (but for 10-30 ms every 200-400 ms where the row says so) until the engine returned,
        // or, as a failure, for far longer than a second.
        std::atomic<bool> running{false};
        ASSERT_EQ(kill(rig.server.pid(), SIGSTOP), 0);
        std::thread waker([&, resuming = row.when == ChoiceWhileResuming] {
            std::mt19937 random(7);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(resuming ? 2 : 5);
            while (!running.load() && std::chrono::steady_clock::now() < until) {
                if (!resuming) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 201));
                kill(rig.server.pid(), SIGCONT);
                std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 21));
                kill(rig.server.pid(), SIGSTOP);
            }
            if (!running.exchange(true)) kill(rig.server.pid(), SIGCONT);
        });
        if (row.when != Start) testing::internal::CaptureStderr();
        if (row.when == Choice || row.when == ChoiceWhileResuming) {
            engine.outputChannels[0][0] = 2;
            engine.outputChannels[0][1] = 3;
        }
        if (row.when == Look) {
            EngineClock::ManualScope clock(EngineClock::now() + 1100); // the next look is due
            engine.update();
        } else if (row.when == ControllerChange) {
            fromPad.reset();
            toPad.reset();
            connectPad();
        } else if (row.when == Quit) {
            rig.engine.reset();
        } else if (row.when != Controllers) {
            engine.initAudio();
        }
        for (int fill = 0; fill < 3 && row.when != ChoiceWhileResuming && row.when != Quit; fill++) {
            const std::vector<MidiEndpoint> listed = midi.sources(); // as a list is filled
            if (pad) {
                EXPECT_TRUE(listed.size() == 1 && listed[0].name == "tarlume-pad:out") << "fill " << fill;
            }
        }
        const bool returnedWhileStopped = !running.exchange(true);
        waker.join();
        kill(rig.server.pid(), SIGCONT);
        EXPECT_TRUE(returnedWhileStopped) << "the engine waited for the server";
        if (row.when == Quit) {
            auto mask = std::make_shared<sigset_t>();
            JackThread::post([mask] { pthread_sigmask(SIG_BLOCK, nullptr, mask.get()); });
            rig.release.now();
            for (int signal : {SIGINT, SIGTERM, SIGHUP})
                EXPECT_EQ(sigismember(mask.get(), signal), 1) << "the JACK thread may take " << strsignal(signal);
            EXPECT_EQ(engineSaid(), row.said);
            continue;
        }
        ASSERT_EQ(engine.soundDevices.size(), 1u);
        auto* device = static_cast<LinuxAudioDevice*>(engine.soundDevices[0].get());
        EXPECT_TRUE(device->isConnected()); // on its null device
        // The controller's ports are made and joined to the pad once the server runs.
        for (int i = 0;
             i < 500 && (enginePorts(rig.server.name()) != ports || device->isLost() || (pad && !padJoined())); i++) {
            engine.update();
            midi.watch(); // as a frame does
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pad) {
            EXPECT_TRUE(padJoined());
        }
        const std::string said = engineSaid();
        // Where the server answered in one of its moments, the output opened at once. Under a sanitizer PortAudio's
        // start may outlast the first look's wait: with no sound known then, none was said missing.
        const bool systemUnknown = TARLUME_SANITIZED && row.when == Start && said == found;
        if ((row.when != ChoiceWhileResuming || !said.empty()) && !systemUnknown) {
            EXPECT_EQ(said, row.said);
        }
        EXPECT_EQ(enginePorts(rig.server.name()), ports);
        fromPad.reset();
        toPad.reset();
        if (pad) jack_client_close(pad);
        if (row.when == Start) { // the device the look found ended the stretch: the next one is said again
            rig.engine.reset();
            rig.release.now();
            rig.server.stop();
            testing::internal::CaptureStderr();
            SoundDevices::backend();
            const std::string saidAtEnd = engineSaid();
            if (!(TARLUME_SANITIZED && saidAtEnd.empty())) {
                EXPECT_EQ(saidAtEnd, "No sound device found: running without sound\n");
            }
        }
    }
}
