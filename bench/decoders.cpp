// Decoding speed of every reader beside the codec's own command-line decoder on the same file
// (mpg123 -s, flac -d -c, oggdec, ffmpeg -f s16le), the open time of a 60-minute MP3, and seeks.
// The files are made once into the build tree's fixtures/bench-decoders (sox, lame, flac, oggenc, ffmpeg).
#include "audio/decoders/AudioDecoder.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

// Encoding the files takes a while: they are kept between runs in the build tree.
const std::string folder = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/bench-decoders/";
constexpr int64_t minuteFrames = 60 * 44100;

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::abort();
}

// One minute of a sweep with noise in each format, and an hour of MP3 (the minute's frames 60
// times over: one stream).
void makeFiles() {
    static bool made = false;
    if (made) return;
    made = true;
    run("mkdir -p '" + folder + "'");
    auto make = [](const std::string& name, const std::string& command) {
        if (!exists(folder + name)) run("cd " + folder + " && " + command);
    };
    make("src.wav", "sox -n -r 44100 -c 2 -b 16 -t wavpcm src.wav synth 60 sine 200-6000 sine 300-5000 pinknoise mix "
                    "gain -3");
    make("src.aiff", "sox src.wav src.aiff");
    make("src.mp3", "lame --quiet -b 192 -t src.wav src.mp3");
    make("vbr.mp3", "lame --quiet -V 2 -t src.wav vbr.mp3");
    make("src.flac", "flac --silent -o src.flac src.wav");
    make("src.ogg", "oggenc --quiet -q 5 -o src.ogg src.wav");
    make("src.m4a", "ffmpeg -nostdin -v error -i src.wav -c:a aac -b:a 192k src.m4a");
    make("src.opus", "ffmpeg -nostdin -v error -i src.wav -c:a libopus -b:a 128k src.opus");
    make("hour.mp3", "for i in $(seq 60); do cat src.mp3; done > hour.mp3");
    make("hourvbr.mp3", "for i in $(seq 60); do cat vbr.mp3; done > hourvbr.mp3");
}

std::string file(const std::string& name) {
    makeFiles();
    return folder + name;
}

// Opens and decodes the whole minute.
void BM_Decode(benchmark::State& state, const char* name) {
    std::string path = file(name);
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    int64_t frames = 0;
    for (auto _ : state) {
        AudioDecoder d;
        if (d.openFile(path) != 0) {
            state.SkipWithError("open failed");
            return;
        }
        int bytes;
        while ((bytes = d.readData(block.data(), 0)) > 0)
            frames += bytes / 4;
    }
    state.SetItemsProcessed(frames);
    state.SetLabel("frames/s");
}
BENCHMARK_CAPTURE(BM_Decode, wav, "src.wav")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, aiff, "src.aiff")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, mp3, "src.mp3")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, flac, "src.flac")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, ogg, "src.ogg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, m4a_system_reader, "src.m4a")->Unit(benchmark::kMillisecond)->UseRealTime();

// The codec's own command-line decoder on the same minute, writing to /dev/null (its process
// start included).
void BM_Reference(benchmark::State& state, const char* name, const char* command) {
    std::string path = file(name);
    for (auto _ : state)
        run(std::string(command) + " '" + path + "' > /dev/null 2>&1");
    state.SetItemsProcessed(state.iterations() * minuteFrames);
    state.SetLabel("frames/s");
}
BENCHMARK_CAPTURE(BM_Reference, mp3_mpg123, "src.mp3", "mpg123 -q -s")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Reference, flac_flac, "src.flac", "flac -s -d -c")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Reference, ogg_oggdec, "src.ogg", "oggdec -Q -o -")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReferenceFfmpeg(benchmark::State& state, const char* name) {
    std::string path = file(name);
    for (auto _ : state)
        run("ffmpeg -nostdin -v error -i '" + path + "' -f s16le - > /dev/null 2>&1");
    state.SetItemsProcessed(state.iterations() * minuteFrames);
    state.SetLabel("frames/s");
}
BENCHMARK_CAPTURE(BM_ReferenceFfmpeg, wav, "src.wav")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ReferenceFfmpeg, aiff, "src.aiff")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ReferenceFfmpeg, m4a, "src.m4a")->Unit(benchmark::kMillisecond)->UseRealTime();

// Opening a 60-minute MP3: with scan 0 (length from the first frame's bit rate) and 1 (every
// frame walked and indexed), CBR and VBR. Reference: reading the whole file once.
void BM_OpenHourMp3(benchmark::State& state, const char* name) {
    std::string path = file(name);
    int scan = int(state.range(0));
    for (auto _ : state) {
        AudioDecoder d;
        if (d.openFile(path, scan) != 0) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(d.getLength());
    }
}
BENCHMARK_CAPTURE(BM_OpenHourMp3, cbr, "hour.mp3")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenHourMp3, vbr, "hourvbr.mp3")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReadHourFile(benchmark::State& state) {
    std::string path = file("hour.mp3");
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount()) {
        }
    }
}
BENCHMARK(BM_ReadHourFile)->Unit(benchmark::kMillisecond);

// The worst seek: a fresh decoder opened without a scan jumps to the hour's last minute, indexing
// every frame on the way.
void BM_SeekHourMp3Unindexed(benchmark::State& state) {
    std::string path = file("hour.mp3");
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    for (auto _ : state) {
        state.PauseTiming();
        AudioDecoder d;
        d.openFile(path, 0);
        state.ResumeTiming();
        d.seek(unsigned(59 * minuteFrames + 12345));
        d.readData(block.data(), 0);
    }
}
BENCHMARK(BM_SeekHourMp3Unindexed)->Unit(benchmark::kMillisecond);

// Seeks to random places once the frames are indexed (the usual case: cue points, loops, jumps).
void BM_SeekIndexed(benchmark::State& state, const char* name) {
    AudioDecoder d;
    d.openFile(file(name), 1);
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    std::mt19937 random(7);
    for (auto _ : state) {
        d.seek(unsigned(random() % (d.getLength() - 10000)));
        d.readData(block.data(), 0);
    }
}
BENCHMARK_CAPTURE(BM_SeekIndexed, mp3_hour, "hour.mp3")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SeekIndexed, wav, "src.wav")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SeekIndexed, flac, "src.flac")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SeekIndexed, ogg, "src.ogg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SeekIndexed, m4a_system_reader, "src.m4a")->Unit(benchmark::kMicrosecond);

// Opening a file through the system reader (as the tag cache does for every M4A it measures); an Ogg file's header
// pages are walked for their comments first.
void BM_OpenSystemReader(benchmark::State& state, const char* name) {
    std::string path = file(name);
    for (auto _ : state) {
        AudioDecoder d;
        if (d.openFile(path) != 0) state.SkipWithError("open failed");
    }
}
BENCHMARK_CAPTURE(BM_OpenSystemReader, m4a, "src.m4a")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSystemReader, opus, "src.opus")->Unit(benchmark::kMicrosecond);

} // namespace
