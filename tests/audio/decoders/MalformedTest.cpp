// Damaged, hostile and foreign input: each gives the failure value or a bounded decode, never a
// crash, a hang, a read out of bounds or a leaked file.
#include "DecoderTestUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dectest;

namespace {

const char* const extensions[] = {".mp3",  ".MP3", ".wav", ".wave", ".aif", ".aiff", ".ogg",
                                  ".flac", ".m4a", ".wma", ".opus", ".aac", ".xyz"};

// Opens and decodes to the end, with a bound on the reads no healthy file of these sizes needs.
void decodeBounded(const std::string& path, int scan = 0) {
    AudioDecoder d;
    if (d.openFile(path, scan) != 0) {
        EXPECT_EQ(d.getType(), AudioDecoder::TYPE_NONE);
        return;
    }
    EXPECT_GE(d.getNbChannels(), 1);
    EXPECT_LE(d.getNbChannels(), 2);
    EXPECT_GE(d.getSamplerate(), 1.f);
    std::vector<short> block(AudioDecoder::maxReadBytes / 2 + 64, short(0x5A5A));
    int reads = 0;
    for (; reads < 20000; ++reads) {
        int bytes = d.readData(block.data(), 0);
        if (bytes <= 0) break;
        ASSERT_LE(bytes, AudioDecoder::maxReadBytes);
        ASSERT_EQ(block[AudioDecoder::maxReadBytes / 2], short(0x5A5A));
    }
    EXPECT_LT(reads, 20000) << path << ": no end";
    d.seek(d.getLength() / 2);
    d.readData(block.data(), 0);
    d.seek(0);
    d.readData(block.data(), 0);
}

int openDescriptors() {
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++n;
    if (dir) closedir(dir);
    return n;
}

TEST(DecoderMalformed, TinyAndRandomFilesFailOrEndWithEveryExtension) {
    TempDir dir;
    std::mt19937 random(1234);
    std::string noise(65536, '\0');
    for (char& c : noise)
        c = char(random());
    for (const char* ext : extensions) {
        SCOPED_TRACE(ext);
        AudioDecoder d;
        EXPECT_EQ(d.openFile(dir.write(std::string("tiny") + ext, std::string(20, '\xFF'))), -1);
        EXPECT_EQ(d.openFile(dir.write(std::string("empty") + ext, "")), -1);
        EXPECT_EQ(d.getType(), AudioDecoder::TYPE_NONE);
        EXPECT_EQ(d.readData(std::vector<short>(4608).data(), 0), -1);
        decodeBounded(dir.write(std::string("noise") + ext, noise));
        // Headers of every format followed by noise.
        for (const char* magic : {"RIFF\x10\0\0\0WAVE",
                                  "FORM\0\0\0\x10"
                                  "AIFF",
                                  "FORM\0\0\0\x10"
                                  "AIFC",
                                  "fLaC", "OggS", "ID3\x03\0\0\0\0\0\x10", "\xFF\xFB\x90\x64"})
            decodeBounded(dir.write(std::string("magic") + ext, std::string(magic) + noise.substr(0, 3000)));
    }
}

TEST(DecoderMalformed, FilesCutAnywhereDecodeWhatIsThere) {
    TempDir dir;
    for (const char* file : {"wav24.wav", "wav6ch.wav", "aiff16.aiff", "sowt.aiff", "flac16.flac", "ogg2.ogg",
                             "cbr.mp3", "vbr.mp3", "tagged.mp3", "aac.m4a", "opus.opus", "wma.wma", "adts.aac"}) {
        SCOPED_TRACE(file);
        std::string bytes = readBytes(fixture(file));
        std::string ext = std::string(file).substr(std::string(file).rfind('.'));
        for (size_t cut : {size_t(5), size_t(30), size_t(100), size_t(1000), bytes.size() / 3, bytes.size() - 700,
                           bytes.size() - 1}) {
            SCOPED_TRACE(cut);
            decodeBounded(dir.write("cut" + ext, bytes.substr(0, cut)), 1);
        }

        // Cut after its headers, a file decodes the same samples as the whole file, up to where it was cut.
        AudioDecoder whole;
        ASSERT_EQ(whole.openFile(fixture(file), 1), 0);
        const std::vector<short> all = decodeAll(whole);
        for (size_t cut : {bytes.size() / 3, bytes.size() / 2, bytes.size() - 700}) {
            SCOPED_TRACE(cut);
            AudioDecoder d;
            const int opened = d.openFile(dir.write("cut" + ext, bytes.substr(0, cut)), 1);
            if (ext == ".m4a") {
                // The sample table comes after the audio in this file: without it nothing can be placed.
                EXPECT_EQ(opened, -1);
                continue;
            }
            ASSERT_EQ(opened, 0);
            const std::vector<short> part = decodeAll(d);
            // At least most of what the cut kept (an Ogg page of about a second is lost whole when cut).
            EXPECT_GE(double(part.size()), 0.6 * double(all.size()) * double(cut) / double(bytes.size()));
            EXPECT_LE(part.size(), all.size());
            // The last block may differ where a codec's blocks overlap: the whole file's next block adds to it.
            const size_t tail = 4096;
            EXPECT_EQ(firstDifference(all, part, part.size() > tail ? part.size() - tail : 0), -1);
        }
    }
}

TEST(DecoderMalformed, FoldersPipesAndFailedOpensLeaveNothingOpen) {
    TempDir dir;
    for (const char* ext : extensions) {
        std::string folder = dir.path + "folder" + ext;
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        AudioDecoder d;
        EXPECT_EQ(d.openFile(folder), -1) << ext; // a folder named like a track
        std::string fifo = dir.path + "pipe" + ext;
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_EQ(d.openFile(fifo), -1) << ext; // refused, not blocked on
    }
    std::string riff = readBytes(fixture("wav16.wav"));
    std::vector<std::string> bad = {dir.write("bad.wav", riff.substr(0, 30)),
                                    dir.write("bad.aiff", readBytes(fixture("aiff16.aiff")).substr(0, 40)),
                                    dir.write("bad.flac", readBytes(fixture("flac16.flac")).substr(0, 100)),
                                    dir.write("bad.ogg", readBytes(fixture("ogg2.ogg")).substr(0, 200)),
                                    dir.write("bad.mp3", readBytes(fixture("cbr.mp3")).substr(0, 300))};
    int before = openDescriptors();
    for (int i = 0; i < 50; ++i)
        for (const std::string& path : bad) {
            AudioDecoder d;
            d.openFile(path);
        }
    EXPECT_EQ(openDescriptors(), before);
    AudioDecoder reused;
    for (const char* file : {"cbr.mp3", "wav16.wav", "aiff16.aiff", "flac16.flac", "ogg2.ogg", "aac.m4a"})
        ASSERT_EQ(reused.openFile(fixture(file)), 0); // each open closes the last one
    reused.close();
    EXPECT_EQ(openDescriptors(), before);
}

// A local port that records whether anything connected to it.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 4);
        socklen_t n = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    bool connected() const {
        int c = accept(fd, nullptr, nullptr);
        if (c >= 0) close(c);
        return c >= 0;
    }
};

TEST(DecoderMalformed, PlaylistsAndUrlsNeverReachTheNetworkOrOtherFiles) {
    TempDir dir;
    Listener listener;
    std::string url = "http://127.0.0.1:" + std::to_string(listener.port) + "/x";
    AudioDecoder d;
    EXPECT_EQ(d.openFile(dir.write("list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + url +
                                                    ".ts\n"
                                                    "#EXT-X-ENDLIST\n")),
              -1);
    EXPECT_EQ(d.openFile(dir.write("list.mp3", "#EXTM3U\n#EXTINF:10,\n" + url + ".mp3\n")), -1);
    // A concat list pointing at a real file must not be followed.
    EXPECT_EQ(d.openFile(dir.write("list.ffconcat", "ffconcat version 1.0\nfile '" + fixture("wav16.wav") + "'\n")),
              -1);
    EXPECT_EQ(d.openFile(dir.write("list.wav", "ffconcat version 1.0\nfile '" + fixture("wav16.wav") + "'\n")), -1);
    EXPECT_FALSE(listener.connected());

    // A name with a colon is a file name, not a protocol.
    std::string named = dir.write("http:a.m4a", readBytes(fixture("aac.m4a")));
    ASSERT_EQ(d.openFile(named), 0);
    EXPECT_EQ(d.getType(), AudioDecoder::TYPE_SYSTEM);
    EXPECT_EQ(d.getLength(), 132300u);
}

// The CRC of an Ogg page (polynomial 0x04C11DB7, no reflection), its own field taken as 0.
uint32_t oggPageCrc(const std::string& page) {
    uint32_t crc = 0;
    for (size_t i = 0; i < page.size(); ++i) {
        uint32_t byte = i >= 22 && i < 26 ? 0 : uint8_t(page[i]);
        crc ^= byte << 24;
        for (int k = 0; k < 8; ++k)
            crc = crc & 0x80000000u ? crc << 1 ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

TEST(DecoderMalformed, LongVorbisBlocksStayWithinTheReadBounds) {
    // Vorbis allows blocks of up to 8,192 frames, so one packet may hold more than a read may
    // deliver: the identification header is given that size (decoding then yields noise, in
    // packets of thousands of frames).
    std::string ogg = readBytes(fixture("ogg2.ogg"));
    ASSERT_GE(ogg.size(), 100u);
    size_t body = 27 + uint8_t(ogg[26]);
    size_t pageEnd = body;
    for (size_t i = 0; i < uint8_t(ogg[26]); ++i)
        pageEnd += uint8_t(ogg[27 + i]);
    ASSERT_EQ(ogg.compare(body, 7, "\x01vorbis"), 0);
    ogg[body + 28] = char(0xD8); // short blocks 256, long blocks 8,192 frames
    ogg.replace(22, 4, le32(oggPageCrc(ogg.substr(0, pageEnd))));
    TempDir dir;
    std::string path = dir.write("long.ogg", ogg);

    AudioDecoder d;
    ASSERT_EQ(d.openFile(path), 0);
    ASSERT_EQ(d.getType(), AudioDecoder::TYPE_OGG);
    EXPECT_GT(decodeAll(d).size(), 0u); // every 16-bit read checked against the block

    d.seek(0);
    constexpr size_t room = AudioDecoder::maxReadBytes / sizeof(float);
    std::vector<float> block(room + 16, 7.0f);
    int largest = 0;
    for (int bytes; (bytes = d.readData(block.data(), 0)) > 0;) {
        ASSERT_LE(bytes, AudioDecoder::maxReadBytes);
        ASSERT_EQ(block[room], 7.0f) << "wrote past the block";
        largest = std::max(largest, bytes);
    }
    EXPECT_EQ(largest, AudioDecoder::maxReadBytes); // the long packets were there to split
}

TEST(DecoderMalformed, ObjectCountFollowsEveryDecoder) {
    int base = AudioDecoder::objectCount.load();
    {
        AudioDecoder a, b;
        std::unique_ptr<AudioDecoder> c(new AudioDecoder);
        EXPECT_EQ(AudioDecoder::objectCount.load(), base + 3);
    }
    EXPECT_EQ(AudioDecoder::objectCount.load(), base);
}

} // namespace
