// Tag reading as the library scan does it (readFromFile per file), beside TagLib reading the same
// files in the same run: 1,000 MP3s without and with a 1 MB cover, and FLAC and M4A files.
#include "library/tags/CID3v2Tag.h"

#include "foundation/modTools.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

namespace {

const int kFiles = 1000;

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string frame(const std::string& id, const std::string& content) {
    return id + be32(uint32_t(content.size())) + std::string(2, '\0') + content;
}
std::string syncsafe(uint32_t v) {
    return {char((v >> 21) & 127), char((v >> 14) & 127), char((v >> 7) & 127), char(v & 127)};
}

struct Corpus {
    std::string dir;
    std::vector<std::string> mp3, mp3Cover, flac, m4a;

    Corpus() {
        std::string tmpl = testsupport::tempRoot() + "/tarlume-bench-tags-XXXXXX";
        dir = mkdtemp(tmpl.data());
        std::string fixtures = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/tags/";
        std::string audio = readFileContents(fixtures + "plain.mp3");
        std::string flacBytes = readFileContents(fixtures + "tagged.flac");
        std::string m4aBytes = readFileContents(fixtures + "tagged.m4a");
        std::string cover = "\xFF\xD8\xFF\xE0";
        std::mt19937 random(7);
        while (cover.size() < (1 << 20))
            cover += char(random());
        for (int i = 0; i < kFiles; ++i) {
            std::string n = std::to_string(i);
            std::string frames =
                frame("TIT2", std::string(1, '\0') + "Title " + n) +
                frame("TPE1", std::string(1, '\0') + "Artist " + n) + frame("TALB", std::string(1, '\0') + "Album") +
                frame("TCON", std::string(1, '\0') + "House") + frame("TBPM", std::string(1, '\0') + "128") +
                frame("TRCK", std::string(1, '\0') + n) + frame("COMM", std::string("\0eng\0A comment", 14));
            std::string apic = frame("APIC", std::string("\0image/jpeg\0\x03\0", 14) + cover);
            write(mp3, "plain" + n + ".mp3",
                  "ID3" + std::string("\3\0\0", 3) + syncsafe(uint32_t(frames.size())) + frames + audio);
            write(mp3Cover, "cover" + n + ".mp3",
                  "ID3" + std::string("\3\0\0", 3) + syncsafe(uint32_t(frames.size() + apic.size())) + frames + apic +
                      audio);
            write(flac, "track" + n + ".flac", flacBytes);
            write(m4a, "track" + n + ".m4a", m4aBytes);
        }
    }
    ~Corpus() { std::system(("rm -rf '" + dir + "'").c_str()); }
    void write(std::vector<std::string>& list, const std::string& name, const std::string& bytes) {
        list.push_back(dir + "/" + name);
        std::ofstream(list.back(), std::ios::binary) << bytes;
    }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

const std::vector<std::string>& files(int kind) {
    Corpus& c = corpus();
    return kind == 0 ? c.mp3 : kind == 1 ? c.mp3Cover : kind == 2 ? c.flac : c.m4a;
}

void BM_ReadFromFile(benchmark::State& state) {
    const auto& list = files(int(state.range(0)));
    for (auto _ : state) {
        for (const auto& path : list) {
            CID3v2Tag tag;
            tag.readFromFile(path);
            benchmark::DoNotOptimize(tag.getNbFrames());
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(list.size()));
}

// The reference: TagLib's tag reading (audio properties off) of the same files, taking the same fields.
void BM_TagLib(benchmark::State& state) {
    const auto& list = files(int(state.range(0)));
    for (auto _ : state) {
        for (const auto& path : list) {
            TagLib::FileRef ref(path.c_str(), false);
            if (!ref.isNull()) benchmark::DoNotOptimize(ref.tag()->title().size() + ref.tag()->artist().size());
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(list.size()));
}

// Arguments: 0 MP3, 1 MP3 with a 1 MB cover, 2 FLAC, 3 M4A.
BENCHMARK(BM_ReadFromFile)->ArgName("kind")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TagLib)->ArgName("kind")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

} // namespace
