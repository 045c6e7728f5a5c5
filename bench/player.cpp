// The deck player's costs: what the audio thread pays per frame and deck (normal play, pitch, key lock, a
// loop), the worst 512-frame block of four key-lock decks against its 11.6 ms deadline, the time from a jump
// out of the ring to the first sound (loading thread idle or busy, with and without the wake-up), the loading
// thread's processor share with four decks loading, its decoding steps with and without the ReplayGain measure,
// the time to load and analyse a five-minute track, and the waveform's per-frame and per-track work. References in the
// same run: two bare resampler reads per frame, the decoder's own seek plus the frames a jump needs, and a bare decode
// of the five-minute track.
#include "analysis/WaveForm.h"
#include "audio/decoders/AudioDecoder.h"
#include "audio/player/FModPlayer.h"
#include "audio/player/TrackLoading.h"
#include "dsp/Resample.h"
#include "foundation/modTools.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

const int kBlock = 512;                // frames per audio callback
const int kDeckRing = 5242880;         // frames: a deck's 20 MiB buffer
const double kDeadlineMs = 512 / 44.1; // ms per block at 44.1 kHz

std::string fixture(const std::string& name) {
    return std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/player/" + name;
}

// A five-minute track like the fixtures (kicks at 120 BPM over two tones), made on first use.
std::string longTrack(const char* extension) {
    const std::string wav = fixture("long.wav"), out = fixture(std::string("long.") + extension);
    if (access(out.c_str(), R_OK) != 0) {
        const std::string tmp = fixture("tmp-long");
        std::string cmd = "sox -n -r 44100 -c 2 -b 16 " + tmp +
                          "-kick.wav synth 0.5 sine 120-45 fade t 0 0.5 0.42 gain -4"
                          " && sox " +
                          tmp + "-kick.wav " + tmp +
                          "-kicks.wav repeat 599"
                          " && sox -n -r 44100 -c 2 -b 16 " +
                          tmp +
                          "-pad.wav synth 300 sine 330 sine 495 gain -14"
                          " && sox -m " +
                          tmp + "-kicks.wav " + tmp + "-pad.wav -b 16 -t wavpcm " + wav;
        if (std::string(extension) == "mp3")
            cmd += " && lame --quiet -b 192 " + wav + " " + out;
        else
            cmd += " && flac --silent -f -o " + out + " " + wav;
        cmd += "; rm -f " + tmp + "-*.wav " + wav;
        if (std::system(cmd.c_str()) != 0) return "";
    }
    return out;
}

struct Deck {
    std::vector<short> ring;
    std::unique_ptr<FModPlayer> player;
    Deck(const std::string& path, int ringFrames = kDeckRing) : ring(size_t(ringFrames) * 2) {
        player = std::make_unique<FModPlayer>();
        player->init(ring.data(), ringFrames, 13, path, 0, 0);
        player->setParameter(PLAYERPARAM_REPLAYGAIN, 0);
    }
    // Waits until the track is in the ring (a paused deck fills 60 % of it: all of a 30 s track).
    void waitLoaded() {
        const double start = timeGetExactTime();
        while (player->getParameter(PLAYERPARAM_LOADED) < player->getParameter(PLAYERPARAM_LENGTH) &&
               timeGetExactTime() - start < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void block(float* out) {
        for (int i = 0; i < kBlock; ++i)
            player->process(&out[2 * i], &out[2 * i + 1]);
    }
    // The mixer's way: the whole block at once, the state lock tried once per chunk.
    void block(float* left, float* right) { player->processBlock(left, right, kBlock); }
};

// Reference: two sinc reads per frame through the same resampler size, nothing else.
void BM_BareResamplerReads(benchmark::State& state) {
    std::vector<short> buffer(size_t(44100 * 30) * 2);
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = short(10000 * std::sin(double(i) * 0.01));
    Resample rs;
    rs.init(13);
    rs.setFormat(buffer.data(), int(buffer.size() / 2), int(buffer.size() / 2), 2, true);
    double p = 1000;
    for (auto _ : state) {
        float sum = 0;
        for (int i = 0; i < kBlock; ++i, p += 1.07) {
            sum += rs.getOverSample(p, 0) + rs.getOverSample(p, 1);
            if (p > 1200000) p = 1000;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_BareResamplerReads);

// One deck, per mode: 0 normal play, 1 pitch +7 %, 2 key lock at +7 %, 3 a one-beat loop at +7 %; frame by frame
// (BM_DeckFrame, the state lock tried per frame) and a block at once (BM_DeckBlock, as the mixer renders).
void deckFrames(benchmark::State& state, bool whole) {
    Deck d(fixture("beats.flac"));
    d.waitLoaded();
    Player& p = *d.player;
    p.setParameter(PLAYERPARAM_LOOPTRACK, 1);
    const int mode = int(state.range(0));
    if (mode >= 1) p.setParameter(PLAYERPARAM_SPEED, 1.07, 0);
    if (mode == 2) p.setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
    if (mode == 3) {
        p.setParameter(PLAYERPARAM_LOOPSTART, 441000);
        p.setParameter(PLAYERPARAM_LOOPEND, 441000 + 22050);
        p.setParameter(PLAYERPARAM_POSITION, 441000);
        p.setParameter(PLAYERPARAM_LOOP, 1);
    }
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> out(2 * kBlock);
    for (auto _ : state) {
        if (whole)
            d.block(out.data(), out.data() + kBlock);
        else
            d.block(out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    state.SetLabel(mode == 0 ? "normal" : mode == 1 ? "pitch" : mode == 2 ? "key lock" : "loop");
}
void BM_DeckFrame(benchmark::State& state) {
    deckFrames(state, false);
}
void BM_DeckBlock(benchmark::State& state) {
    deckFrames(state, true);
}
BENCHMARK(BM_DeckFrame)->Arg(0)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_DeckBlock)->Arg(0)->Arg(1)->Arg(2)->Arg(3);

double threadCpuMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000 + double(t.tv_nsec) / 1e6;
}

// Four key-lock decks at different speeds: the slowest of 4,000 blocks (splices land at a switch), in
// processor time of this thread (what the block costs) and in wall time (what a loaded machine adds).
void BM_FourKeyLockDecksWorstBlock(benchmark::State& state) {
    std::vector<std::unique_ptr<Deck>> decks;
    const double speeds[4] = {1.07, 0.93, 1.15, 1.02};
    for (int i = 0; i < 4; ++i) {
        decks.push_back(std::make_unique<Deck>(fixture(i % 2 ? "beats.mp3" : "beats.flac")));
        decks.back()->waitLoaded();
        Player& p = *decks.back()->player;
        p.setParameter(PLAYERPARAM_LOOPTRACK, 1);
        p.setParameter(PLAYERPARAM_SPEED, speeds[i], 0);
        p.setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
        p.setParameter(PLAYERPARAM_PLAYING, 1);
    }
    std::vector<float> out(2 * kBlock);
    double worst = 0, worstWall = 0, total = 0;
    int blocks = 0;
    for (auto _ : state) {
        for (int b = 0; b < 4000; ++b) {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = threadCpuMs();
            for (auto& d : decks)
                d->block(out.data());
            const double ms = threadCpuMs() - c0;
            const double wall =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            worst = std::max(worst, ms);
            worstWall = std::max(worstWall, wall);
            total += ms;
            ++blocks;
        }
        state.SetIterationTime(total / 1000);
    }
    state.counters["worst_cpu_ms"] = worst;
    state.counters["worst_share"] = worst / kDeadlineMs;
    state.counters["worst_wall_ms"] = worstWall;
    state.counters["mean_ms"] = total / blocks;
}
BENCHMARK(BM_FourKeyLockDecksWorstBlock)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One key-lock switch: the search for the splice point and for the read head's target, at the deck's
// largest splice fade (256 samples).
void BM_KeyLockSwitchSearch(benchmark::State& state) {
    Deck d(fixture("beats.flac"));
    d.waitLoaded();
    Player& p = *d.player;
    p.setParameter(PLAYERPARAM_SPLICE, 1.0);
    p.setParameter(PLAYERPARAM_SPEED, 1.07, 0);
    p.setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
    p.setParameter(PLAYERPARAM_POSITION, 400000);
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> out(2 * kBlock);
    d.block(out.data());
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.findBestSwitchTarget());
        benchmark::DoNotOptimize(p.findBestSwitchPosition(true));
    }
}
BENCHMARK(BM_KeyLockSwitchSearch)->Unit(benchmark::kMicrosecond);

// Reference for the jumps: the decoder's own seek and the 1,500 + 2,304 frames that follow it.
void BM_DecoderSeekAndBlock(benchmark::State& state, const char* name) {
    AudioDecoder d;
    d.openFile(fixture(name));
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    unsigned target = 100000;
    for (auto _ : state) {
        target = (target * 7 + 300000) % 1200000;
        d.seek(target);
        int frames = 0;
        while (frames < 1500 + 2304) {
            int bytes = d.readData(block.data(), 0);
            if (bytes <= 0) break;
            frames += bytes / 4;
        }
    }
}
BENCHMARK_CAPTURE(BM_DecoderSeekAndBlock, mp3, "beats.mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecoderSeekAndBlock, flac, "beats.flac")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecoderSeekAndBlock, system_reader, "beats.m4a")->Unit(benchmark::kMillisecond);

// From a jump out of the ring to the first sound, with the deck played at real-time pace in 64-frame blocks.
// Arguments: the file, whether three other decks keep the loading thread busy, and whether requests wake it.
void BM_JumpToSound(benchmark::State& state, const char* name) {
    const bool busy = state.range(0) != 0, wake = state.range(1) != 0;
    TrackLoading::setWakeOnRequest(wake);
    Deck d(fixture(name), 300000); // about 7 s of ring: jumps across the track leave it
    d.waitLoaded();
    std::vector<std::unique_ptr<Deck>> others;
    if (busy)
        for (int i = 0; i < 3; ++i)
            others.push_back(std::make_unique<Deck>(fixture(i == 1 ? "beats.mp3" : "beats.flac")));
    Player& p = *d.player;
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    unsigned target = 0;
    double worst = 0;
    const auto period = std::chrono::microseconds(64 * 1000000 / 44100);
    for (auto _ : state) {
        // Busy decks keep seeking, so the loading thread always has urgent work.
        for (auto& o : others)
            o->player->setParameter(PLAYERPARAM_POSITION, double((target * 13 + 77777) % 1200000));
        target = (target + 617000) % 1200000 + 20000;
        p.setParameter(PLAYERPARAM_POSITION, target);
        const auto t0 = std::chrono::steady_clock::now();
        auto next = t0;
        bool heard = false;
        while (!heard && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2)) {
            for (int i = 0; i < 64; ++i) {
                float l, r;
                p.process(&l, &r);
                heard = heard || l != 0 || r != 0;
                if (busy) {
                    for (auto& o : others)
                        o->player->process(&l, &r);
                }
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        worst = std::max(worst, s * 1000);
        state.SetIterationTime(s);
        // Play on a little, as a DJ would, before the next jump.
        for (int i = 0; i < 4410; ++i) {
            float l, r;
            p.process(&l, &r);
        }
    }
    state.counters["worst_ms"] = worst;
    TrackLoading::setWakeOnRequest(true);
}
#define JUMP(name, file)                                                                                               \
    BENCHMARK_CAPTURE(BM_JumpToSound, name, file)                                                                      \
        ->ArgsProduct({{0, 1}, {0, 1}})                                                                                \
        ->ArgNames({"busy", "wake"})                                                                                   \
        ->Iterations(12)                                                                                               \
        ->UseManualTime()                                                                                              \
        ->Unit(benchmark::kMillisecond)
JUMP(mp3, "beats.mp3");
JUMP(flac, "beats.flac");
JUMP(system_reader, "beats.m4a");

double processCpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Four decks loading at once (their rings emptied by jumps every 100 ms): the loading thread's share of one
// processor while this thread only sleeps.
void BM_LoaderCpuFourDecksLoading(benchmark::State& state) {
    std::vector<std::unique_ptr<Deck>> decks;
    const char* files[4] = {"beats.mp3", "beats.flac", "beats.m4a", "beats.mp3"};
    for (auto& f : files)
        decks.push_back(std::make_unique<Deck>(fixture(f), 1000000));
    double share = 0;
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        for (int round = 0; round < 20; ++round) {
            for (size_t i = 0; i < decks.size(); ++i) {
                decks[i]->player->setParameter(PLAYERPARAM_POSITION, double((round * 397000 + i * 211000) % 1200000));
                float l, r;
                decks[i]->player->process(&l, &r); // the jump asks for its seek
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        share = (processCpuSeconds() - cpu0) / wall;
        state.SetIterationTime(wall);
    }
    state.counters["cpu_share"] = share;
    state.counters["target_share"] = TrackLoading::cpuUse();
}
BENCHMARK(BM_LoaderCpuFourDecksLoading)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Reference: decoding the five-minute track straight through.
void BM_DecodeFiveMinutes(benchmark::State& state, const char* extension) {
    const std::string path = longTrack(extension);
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    for (auto _ : state) {
        AudioDecoder d;
        d.openFile(path);
        while (d.readData(block.data(), 0) > 0) {
        }
    }
}
BENCHMARK_CAPTURE(BM_DecodeFiveMinutes, mp3, "mp3")->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeFiveMinutes, flac, "flac")->Iterations(2)->Unit(benchmark::kMillisecond);

// The loading thread's decoding steps over a five-minute track (a paused deck whose ring holds it all, stripes
// on), with and without the ReplayGain measure that takes each frame as it is decoded; against the bare decode.
void BM_DecodeStepsFiveMinutes(benchmark::State& state, const char* extension) {
    const std::string path = longTrack(extension);
    Player::sml_separateLoadingThread = false; // the steps by hand, on this thread
    double steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto d = std::make_unique<Deck>(path, 24000000);
        FModPlayer& p = *d->player;
        p.setParameter(PLAYERPARAM_REPLAYGAIN, double(state.range(0)));
        const unsigned length = unsigned(p.getParameter(PLAYERPARAM_LENGTH));
        state.ResumeTiming();
        steps = 0;
        while (p.getFileFrames() < length && p.getSomeDataNow(0) != 0)
            ++steps;
        state.PauseTiming();
        d.reset();
        state.ResumeTiming();
    }
    Player::sml_separateLoadingThread = true;
    state.counters["steps"] = steps;
    state.counters["per_step"] = benchmark::Counter(steps * double(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_DecodeStepsFiveMinutes, mp3, "mp3")->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeStepsFiveMinutes, flac, "flac")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Loading a five-minute track into a paused deck whose ring holds it all, until its tempo, stripes and
// ReplayGain are analysed, through the loading thread.
void BM_LoadAndAnalyseFiveMinutes(benchmark::State& state, const char* extension) {
    const std::string path = longTrack(extension);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        Deck d(path, 24000000); // 60 % of the ring is more than five minutes
        Player& p = *d.player;
        p.setParameter(PLAYERPARAM_BPMANALYSIS, 1);
        p.setParameter(PLAYERPARAM_REPLAYGAIN, 1);
        p.setParameter(PLAYERPARAM_SPECTRUM1, 1);
        while ((p.getParameter(PLAYERPARAM_REPLAYGAIN) == 0 || p.getParameter(PLAYERPARAM_LIMITPOINT, 0) == -2) &&
               std::chrono::steady_clock::now() - t0 < std::chrono::seconds(120))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        state.counters["bpm"] = p.getBPMParameter(0);
    }
}
BENCHMARK_CAPTURE(BM_LoadAndAnalyseFiveMinutes, mp3, "mp3")
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadAndAnalyseFiveMinutes, flac, "flac")
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The waveform's producer, per decoded frame.
void BM_WaveFormProcess(benchmark::State& state) {
    WaveForm w(44100, 44100.0 * 600, nullptr);
    unsigned position = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i, ++position) {
            if (position >= 44100u * 600) position = 0;
            w.process(position, float(position % 2000), -float(position % 1500), true);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_WaveFormProcess);

// Limit points of a ten-minute track (24,000 detailed stripes at 120 BPM).
void BM_CalculateLimPointsTenMinutes(benchmark::State& state) {
    WaveForm w(44100, 44100.0 * 600, nullptr);
    w.setBPM(120, 16);
    for (unsigned p = 0; p < 44100u * 600; p += 37) {
        w.process(p, float((p / 37) % 977), 0, true);
        if (p % (37 * 30) == 0) w.processSpectrum(p, float(p % 7), float(p % 11), float(p % 13));
    }
    for (auto _ : state)
        w.calculateLimPoints(180000);
    state.counters["pairs"] = [&] {
        int n = 0;
        while (w.getLimitPoint(0, n) >= 0)
            ++n;
        return n;
    }();
}
BENCHMARK(BM_CalculateLimPointsTenMinutes)->Unit(benchmark::kMillisecond);

// The visuals ask for the grid beat under each marker every frame: one query into a one-hour mix's table.
void BM_GetClosestBeatOneHour(benchmark::State& state) {
    WaveForm w(44100, 44100.0 * 3600, nullptr);
    w.setFirstBeat(0);
    for (unsigned b = 0; b < 3600 * 2; ++b)
        w.addBeat(b * 22050, b % 4 == 0 ? 20.0f : 5.0f, 120, b == 0 ? 20.0f : 0.0f, false, false);
    unsigned query = 0;
    for (auto _ : state) {
        query = (query + 1234567) % (44100u * 3600);
        benchmark::DoNotOptimize(w.getClosestBeat(query, true));
    }
    state.counters["slots"] = w.getNbBeatSlots();
}
BENCHMARK(BM_GetClosestBeatOneHour)->Unit(benchmark::kMicrosecond);

} // namespace
