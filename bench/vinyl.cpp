// Timecode decoding per input frame for each record type, clean and with noise at -30 dB, beside a reference
// measured in the same run: the four biquad sections the decoder runs per frame anyway. A deck decodes one
// frame every 22676 ns at 44.1 kHz. Also the making of the two public tables and the reading of a table file.
#include "../tests/audio/vinyl/TimecodeSignal.h"
#include "audio/player/Player.h"
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"
#include "dsp/filter.h"
#include "support/TempDir.h"

#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr int kFrames = 44100;

const std::vector<float>& signal(int type, bool noisy) {
    static std::vector<float> cache[7][2];
    std::vector<float>& s = cache[type][noisy];
    if (s.empty()) {
        TimecodeSignalOptions o;
        o.type = type;
        o.noise = noisy ? 12000 * 0.0316 / 1.41421 : 0;
        TimecodeSignal sig(o);
        s.resize(2 * kFrames);
        for (int i = 0; i < kFrames; ++i)
            sig.next(s[size_t(2 * i)], s[size_t(2 * i + 1)]);
        static bool tables = false;
        if (!tables) {
            tables = true;
            for (int t : {0, 1, 2, 5, 6})
                tcInstallTable(t, tcSyntheticTable(t, 200000));
        }
    }
    return s;
}

void perFrame(benchmark::State& state, int64_t frames) {
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["ns_per_frame"] = benchmark::Counter(double(state.iterations()) * double(frames),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReferenceFourBiquads(benchmark::State& state) {
    dsp::filter low(44100), high(44100);
    low.setType(dsp::filter::LowPass);
    low.setFrequency(7500);
    low.setGain(-1);
    high.setType(dsp::filter::HighPass);
    high.setFrequency(130);
    high.setGain(-1);
    std::vector<float> buf = signal(4, false);
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i) {
            low.process(&buf[size_t(2 * i)], &buf[size_t(2 * i + 1)]);
            high.process(&buf[size_t(2 * i)], &buf[size_t(2 * i + 1)]);
        }
        benchmark::ClobberMemory();
    }
    perFrame(state, kFrames);
}
BENCHMARK(BM_ReferenceFourBiquads);

void BM_Calculate(benchmark::State& state) {
    const int type = int(state.range(0));
    const bool noisy = state.range(1) != 0;
    const std::vector<float>& in = signal(type, noisy);
    FinalScratch fs(44100);
    fs.setParameter(20, type);
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i)
            fs.calculate(in[size_t(2 * i)], in[size_t(2 * i + 1)]);
        benchmark::DoNotOptimize(fs.getTime());
    }
    perFrame(state, kFrames);
    state.counters["codes"] = fs.getParameter(12);
}
BENCHMARK(BM_Calculate)->ArgNames({"type", "noisy"})->ArgsProduct({{0, 1, 2, 4, 5, 6}, {0, 1}});

// Four decks on one input thread, our own timecode.
void BM_CalculateFourDecks(benchmark::State& state) {
    const std::vector<float>& in = signal(4, false);
    FinalScratch a(44100), b(44100), c(44100), d(44100);
    FinalScratch* decks[4] = {&a, &b, &c, &d};
    for (FinalScratch* fs : decks)
        fs->setParameter(20, 4);
    for (auto _ : state)
        for (int i = 0; i < kFrames; ++i)
            for (FinalScratch* fs : decks)
                fs->calculate(in[size_t(2 * i)], in[size_t(2 * i + 1)]);
    perFrame(state, kFrames);
}
BENCHMARK(BM_CalculateFourDecks);

// A player following the decoder (both per frame), beside the same player playing the track alone.
struct FollowingDeck {
    std::vector<short> track = std::vector<short>(size_t(44100) * 60 * 2, 0);
    Player player;
    FinalScratch fs{44100};
    FollowingDeck() {
        player.init("", 13, 0, 0);
        player.updateBuffer(track.data(), int(track.size() * sizeof(short)));
        player.setParameter(PLAYERPARAM_LENGTH, double(track.size() / 2));
        player.setParameter(PLAYERPARAM_LOADED, double(track.size() / 2));
        fs.setParameter(20, 4);
    }
};

void BM_ReferencePlayerAlone(benchmark::State& state) {
    FollowingDeck deck;
    deck.player.setParameter(PLAYERPARAM_PLAYING, 1);
    float l, r;
    for (auto _ : state)
        for (int i = 0; i < kFrames; ++i)
            deck.player.process(&l, &r);
    perFrame(state, kFrames);
}
BENCHMARK(BM_ReferencePlayerAlone);

void BM_PlayerFollowingRecord(benchmark::State& state) {
    const std::vector<float>& in = signal(4, false);
    FollowingDeck deck;
    float l, r;
    for (auto _ : state)
        for (int i = 0; i < kFrames; ++i) {
            deck.fs.calculate(in[size_t(2 * i)], in[size_t(2 * i + 1)]);
            deck.player.updateFromFinalScratch(&deck.fs);
            deck.player.process(&l, &r);
        }
    perFrame(state, kFrames);
}
BENCHMARK(BM_PlayerFollowingRecord);

void BM_BuildSeratoTable(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(buildSeratoTable().size());
}
BENCHMARK(BM_BuildSeratoTable)->Unit(benchmark::kMillisecond);

void BM_BuildTraktorTable(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(buildTraktorTable().size());
}
BENCHMARK(BM_BuildTraktorTable)->Unit(benchmark::kMillisecond);

// Reading the 43 MB Traktor table image (header, size, order) beside a plain copy of the same bytes.
const std::vector<unsigned char>& traktorImage() {
    static std::vector<unsigned char> image = [] {
        const testsupport::TempDir folder("bench-vinyl");
        const std::string path = folder.path + "traktor_table.dat";
        writeTimecodeTable(path, 6, buildTraktorTable());
        std::vector<unsigned char> bytes;
        if (FILE* f = fopen(path.c_str(), "rb")) {
            fseek(f, 0, SEEK_END);
            bytes.resize(size_t(ftell(f)));
            fseek(f, 0, SEEK_SET);
            bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
            fclose(f);
        }
        remove(path.c_str());
        return bytes;
    }();
    return image;
}

void BM_ReferenceCopyTableBytes(benchmark::State& state) {
    const std::vector<unsigned char>& image = traktorImage();
    std::vector<unsigned char> copy(image.size());
    for (auto _ : state) {
        memcpy(copy.data(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_ReferenceCopyTableBytes)->Unit(benchmark::kMillisecond);

void BM_ReadTraktorTable(benchmark::State& state) {
    const std::vector<unsigned char>& image = traktorImage();
    std::vector<TimecodeRecord> records;
    std::string why;
    for (auto _ : state)
        benchmark::DoNotOptimize(readTimecodeTable(6, image.data(), image.size(), records, why));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_ReadTraktorTable)->Unit(benchmark::kMillisecond);

} // namespace
