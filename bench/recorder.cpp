// The recorder's two costs: what the audio thread pays per frame handed over, and how fast the
// record thread encodes Ogg Vorbis at the engine's quality (5 of 10) compared with real time.
// References in the same run: plain stores into an array, bare libvorbisenc on the same signal,
// and the WAV path.
#include "audio/recorder/OggVorbisOutFile.h"
#include "audio/recorder/RecordRing.h"
#include "audio/recorder/Recorder.h"
#include "support/TempDir.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>
#include <vorbis/vorbisenc.h>

namespace {

const int kRate = 44100;      // Hz
const int kBlockFrames = 512; // frames per audio callback

// Ten seconds of something like music: a few partials with a beat and some noise, 16-bit scale.
const std::vector<float>& music() {
    static std::vector<float> frames = [] {
        std::vector<float> f(size_t(2 * 10 * kRate));
        uint32_t noise = 1;
        for (size_t i = 0; i < f.size() / 2; ++i) {
            double t = double(i) / kRate;
            double beat = std::exp(-8.0 * std::fmod(t, 0.5));
            noise = noise * 1664525u + 1013904223u;
            double n = double(int32_t(noise)) / 2147483648.0;
            double v = 6000 * std::sin(2 * M_PI * 110 * t) + 3000 * std::sin(2 * M_PI * 440.5 * t) +
                       2000 * std::sin(2 * M_PI * 1320 * t) + 8000 * beat * n;
            f[2 * i] = float(v);
            f[2 * i + 1] = float(0.8 * v + 1000 * n);
        }
        return f;
    }();
    return frames;
}

std::string scratchFile(const char* name) {
    return testsupport::tempRoot() + "/tarlume-bench-" + std::to_string(getpid()) + name;
}

// Reference: the least an audio thread can do with a block, store it.
void BM_PlainStore(benchmark::State& state) {
    std::vector<float> out(2 * kBlockFrames);
    const float* in = music().data();
    for (auto _ : state) {
        for (int i = 0; i < kBlockFrames; ++i) {
            out[size_t(2 * i)] = in[2 * i];
            out[size_t(2 * i + 1)] = in[2 * i + 1];
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_PlainStore);

// The ring alone: one block pushed (audio thread side), then taken back (reader side).
void BM_RecordRingPush(benchmark::State& state) {
    static RecordRing<float> ring;
    const float* in = music().data();
    const float* data = nullptr;
    for (auto _ : state) {
        for (int i = 0; i < kBlockFrames; ++i)
            ring.push(in[2 * i], in[2 * i + 1]);
        while (size_t n = ring.readable(&data))
            ring.consume(n);
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_RecordRingPush);

// Recorder::process as the mixer calls it, a block at a time, drained after every block.
void BM_RecorderProcess(benchmark::State& state) {
    Recorder recorder(Recorder::TYPE_NONE, 160.0f, kRate, "unused.mp3");
    const float* in = music().data();
    for (auto _ : state) {
        for (int i = 0; i < kBlockFrames; ++i)
            recorder.process(in[2 * i], in[2 * i + 1]);
        recorder.processBuffer();
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_RecorderProcess);

void reportRealTime(benchmark::State& state, size_t frames) {
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    // Seconds of audio per second of work: the real-time factor.
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * double(frames) / kRate, benchmark::Counter::kIsRate);
}

// Our Ogg writer: staging, encoding and pages written to a file.
void BM_OggEncodeQuality5(benchmark::State& state) {
    const std::vector<float>& in = music();
    std::string path = scratchFile(".ogg");
    for (auto _ : state) {
        OggVorbisOutFile out;
        if (!out.open(path, kRate, 0.5f)) {
            state.SkipWithError("cannot open the Ogg file");
            break;
        }
        for (size_t i = 0; i < in.size(); i += 2)
            out.encodePair(in[i], in[i + 1]);
        out.close();
    }
    unlink(path.c_str());
    reportRealTime(state, in.size() / 2);
}
BENCHMARK(BM_OggEncodeQuality5)->Unit(benchmark::kMillisecond);

// Reference: libvorbisenc alone on the same signal, whole seconds at a time, no file.
void BM_VorbisEncodeBare(benchmark::State& state) {
    const std::vector<float>& in = music();
    const int frames = int(in.size() / 2);
    for (auto _ : state) {
        vorbis_info info;
        vorbis_info_init(&info);
        vorbis_encode_init_vbr(&info, 2, kRate, 0.5f);
        vorbis_dsp_state dsp;
        vorbis_block block;
        vorbis_analysis_init(&dsp, &info);
        vorbis_block_init(&dsp, &block);
        ogg_packet packet;
        size_t bytes = 0;
        for (int at = 0; at <= frames; at += kRate) {
            int n = std::min(kRate, frames - at);
            if (n > 0) {
                float** buffer = vorbis_analysis_buffer(&dsp, n);
                for (int i = 0; i < n; ++i) {
                    buffer[0][i] = in[size_t(2 * (at + i))] / 32768.0f;
                    buffer[1][i] = in[size_t(2 * (at + i) + 1)] / 32768.0f;
                }
            }
            vorbis_analysis_wrote(&dsp, n);
            while (vorbis_analysis_blockout(&dsp, &block) == 1) {
                vorbis_analysis(&block, nullptr);
                vorbis_bitrate_addblock(&block);
                while (vorbis_bitrate_flushpacket(&dsp, &packet))
                    bytes += size_t(packet.bytes);
            }
            if (n <= 0) break;
        }
        benchmark::DoNotOptimize(bytes);
        vorbis_block_clear(&block);
        vorbis_dsp_clear(&dsp);
        vorbis_info_clear(&info);
    }
    reportRealTime(state, size_t(frames));
}
BENCHMARK(BM_VorbisEncodeBare)->Unit(benchmark::kMillisecond);

// The WAV path of the record thread: rounding to 16 bits and writing, through a recorder.
void BM_WavRecord(benchmark::State& state) {
    const std::vector<float>& in = music();
    std::string path = scratchFile(".wav");
    const size_t frames = in.size() / 2;
    for (auto _ : state) {
        Recorder recorder(Recorder::TYPE_WAV, 1.0f, kRate, path);
        // Drained in 100 ms portions, as the record thread does.
        for (size_t at = 0; at < frames; at += kRate / 10) {
            for (size_t i = at; i < at + kRate / 10 && i < frames; ++i)
                recorder.process(in[2 * i], in[2 * i + 1]);
            recorder.processBuffer();
        }
    }
    unlink(path.c_str());
    reportRealTime(state, frames);
}
BENCHMARK(BM_WavRecord)->Unit(benchmark::kMillisecond);

} // namespace
