#include "audio/recorder/WavInFile.h"
#include "audio/recorder/WavOutFile.h"

#include "RecorderTestTools.h"
#include "support/Bytes.h"

#include <stdexcept>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace rectest;

namespace {

std::string le(uint32_t value, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((value >> (8 * i)) & 0xFF);
    return s;
}

// A 16-byte PCM format body.
std::string pcmFormat(int tag, int channels, int rate, int blockAlign, int bits) {
    return le(uint32_t(tag), 2) + le(uint32_t(channels), 2) + le(uint32_t(rate), 4) +
           le(uint32_t(rate * blockAlign), 4) + le(uint32_t(blockAlign), 2) + le(uint32_t(bits), 2);
}

using testsupport::chunk, testsupport::riff;

std::string extensible(int bitsContainer, int subFormat) {
    std::string guidTail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    return pcmFormat(0xFFFE, 2, 44100, 2 * bitsContainer / 8, bitsContainer) + le(22, 2) +
           le(uint32_t(bitsContainer), 2) + le(3, 4) + le(uint32_t(subFormat), 2) + guidTail;
}

} // namespace

TEST(WavOutFile, HeaderOfOneSecondIsBitExactAndSizesSaturatePast4GiB) {
    unsigned char header[WavOutFile::kHeaderBytes];
    WavOutFile::fillHeader(header, 44100, 16, 2, 176400);
    const unsigned char expected[44] = {'R', 'I', 'F',  'F',  0x34, 0xB1, 0x02, 0x00, 'W',  'A',  'V',
                                        'E', 'f', 'm',  't',  ' ',  16,   0,    0,    0,    1,    0,
                                        2,   0,   0x44, 0xAC, 0,    0,    0x10, 0xB1, 0x02, 0x00, 4,
                                        0,   16,  0,    'd',  'a',  't',  'a',  0x10, 0xB1, 0x02, 0x00};
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 44),
              std::string(reinterpret_cast<const char*>(expected), 44));

    struct Case {
        uint64_t data;
        uint32_t riffSize, dataSize;
    } cases[] = {
        {0, 36, 0},
        {0xFFFFFFFFull - 36, 0xFFFFFFFFu, 0xFFFFFFFFu - 36},
        {0xFFFFFFFFull - 20, 0xFFFFFFFFu, 0xFFFFFFFFu - 20}, // RIFF size saturates first
        {5ull << 30, 0xFFFFFFFFu, 0xFFFFFFFFu},              // 5 GiB: about 8.5 hours
    };
    for (const Case& c : cases) {
        WavOutFile::fillHeader(header, 44100, 16, 2, c.data);
        std::string h(reinterpret_cast<char*>(header), 44);
        EXPECT_EQ(le32(h, 4), c.riffSize) << c.data;
        EXPECT_EQ(le32(h, 40), c.dataSize) << c.data;
    }
}

TEST(WavOutFile, HeaderFollowsTheDataAndOpenFailuresThrow) {
    TempDir dir;
    std::string path = dir.path + "out.wav";
    {
        WavOutFile out(path, 48000, 16, 2);
        EXPECT_EQ(readBytes(path).size(), 44u);
        EXPECT_EQ(le32(readBytes(path), 40), 0u);
        std::string frames(4000, '\x01');
        out.write(frames.data(), 4000);
        out.updateHeader();
        std::string now = readBytes(path);
        EXPECT_EQ(now.size(), 4044u);
        EXPECT_EQ(le32(now, 4), 4036u);
        EXPECT_EQ(le32(now, 40), 4000u);
        out.write(frames.data(), 400);
        out.close();
        out.close(); // twice is harmless
    }
    std::string done = readBytes(path);
    EXPECT_EQ(done.size(), 4444u);
    EXPECT_EQ(le32(done, 40), 4400u);
    EXPECT_EQ(le32(done, 24), 48000u);

    for (std::string bad : {dir.path + "missing/out.wav", dir.path}) {
        try {
            WavOutFile out(bad, 44100, 16, 2);
            ADD_FAILURE() << "opened " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Error : Unable to open file \"" + bad + "\" for writing.");
        }
    }
}

TEST(WavOutFile, ShortWriteKeepsWholeFramesAndAValidHeader) {
    TempDir dir;
    std::string path = dir.path + "full.wav";
    {
        FileSizeLimit limit(1000 + 44 + 2); // room for 250 frames and half of one more
        WavOutFile out(path, 44100, 16, 2);
        std::string frames(4000, '\x02');
        try {
            out.write(frames.data(), 4000);
            ADD_FAILURE() << "the write past the limit succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Error while writing to a wav file.");
        }
        EXPECT_EQ(out.getDataSizeInBytes(), 1000u);
        out.close();
    }
    std::string file = readBytes(path);
    EXPECT_EQ(file.size(), 1044u); // the half frame was cut off
    EXPECT_EQ(le32(file, 40), 1000u);
    WavInFile in(path.c_str());
    EXPECT_EQ(in.getNumSamples(), 250u);
}

TEST(WavInFile, ReadsTheVariantsOtherWritersProduce) {
    TempDir dir;
    const std::string samples("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\x06\x00", 12); // 3 stereo frames
    std::string fmt16 = pcmFormat(1, 2, 44100, 4, 16);
    struct Case {
        const char* name;
        std::string file;
        uint64_t dataBytes;
        int bits;
    } cases[] = {
        {"plain", riff(chunk("fmt ", fmt16) + chunk("data", samples)), 12, 16},
        {"18-byte format", riff(chunk("fmt ", fmt16 + le(0, 2)) + chunk("data", samples)), 12, 16},
        {"extensible 24-bit", riff(chunk("fmt ", extensible(24, 1)) + chunk("data", samples)), 12, 24},
        {"list before data",
         riff(chunk("fmt ", fmt16) + chunk("LIST", "INFOISFT" + le(6, 4) + std::string("Lavf5\0", 6)) +
              chunk("data", samples)),
         12, 16},
        {"odd chunk with its pad byte", riff(chunk("junk", "abc") + chunk("fmt ", fmt16) + chunk("data", samples)), 12,
         16},
        {"data longer than the file", riff(chunk("fmt ", fmt16)) + "data" + le(1000, 4) + samples, 12, 16},
        {"size saturated at 4 GiB", riff(chunk("fmt ", fmt16)) + "data" + le(0xFFFFFFFFu, 4) + samples, 12, 16},
        {"empty data", riff(chunk("fmt ", fmt16) + chunk("data", "")), 0, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.path + "in.wav";
        writeBytes(path, c.file);
        WavInFile in(path.c_str());
        EXPECT_EQ(in.getNumChannels(), 2);
        EXPECT_EQ(in.getSampleRate(), 44100);
        EXPECT_EQ(in.getNumBits(), c.bits);
        EXPECT_EQ(in.getDataSizeInBytes(), c.dataBytes);
        char buffer[64] = {};
        int total = 0, got;
        while ((got = in.read(buffer + total, 5)) > 0)
            total += got; // never past the data
        EXPECT_EQ(uint64_t(total), c.dataBytes);
        EXPECT_TRUE(in.eof());
        EXPECT_EQ(std::string(buffer, size_t(total)), samples.substr(0, size_t(total)));
    }
}

TEST(WavInFile, RefusesMalformedFilesWithTheirMessage) {
    TempDir dir;
    std::string path = dir.path + "bad.wav";
    std::string quoted = "\"" + path + "\"";
    std::string corrupt = "File " + quoted + " is corrupt or not a WAV file";
    std::string unsupported = "File " + quoted + " uses unsupported encoding.";
    std::string fmt16 = pcmFormat(1, 2, 44100, 4, 16);
    std::string data = chunk("data", std::string(8, '\0'));
    struct Case {
        const char* name;
        std::string file;
        std::string message;
    } cases[] = {
        {"empty", "", corrupt},
        {"not RIFF", "RIFX" + riff(chunk("fmt ", fmt16) + data).substr(4), corrupt},
        {"not WAVE", "RIFF" + le(4, 4) + "AVI " + chunk("fmt ", fmt16) + data, corrupt},
        {"truncated chunk header", riff(chunk("fmt ", fmt16)).substr(0, 30), corrupt},
        {"no data chunk", riff(chunk("fmt ", fmt16)), corrupt},
        {"data before format", riff(data + chunk("fmt ", fmt16)), corrupt},
        {"unprintable chunk id", riff(chunk("fm\x01 ", fmt16) + data), corrupt},
        {"short format", riff(chunk("fmt ", fmt16.substr(0, 14)) + data), corrupt},
        {"format past the end", riff("fmt " + le(400, 4) + fmt16), corrupt},
        {"chunk past the end", riff(chunk("fmt ", fmt16) + "LIST" + le(0x7FFFFFF0, 4) + "INFO"), corrupt},
        {"block align 0", riff(chunk("fmt ", pcmFormat(1, 2, 44100, 0, 16)) + data), corrupt},
        {"no channels", riff(chunk("fmt ", pcmFormat(1, 0, 44100, 4, 16)) + data), corrupt},
        {"rate 0", riff(chunk("fmt ", pcmFormat(1, 2, 0, 4, 16)) + data), corrupt},
        {"float samples", riff(chunk("fmt ", pcmFormat(3, 2, 44100, 8, 32)) + data), unsupported},
        {"extensible float", riff(chunk("fmt ", extensible(32, 3)) + data), unsupported},
        {"extensible cut short", riff(chunk("fmt ", extensible(24, 1).substr(0, 24)) + data), corrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(path, c.file);
        try {
            WavInFile in(path.c_str());
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    std::string missing = dir.path + "missing.wav";
    EXPECT_THROW(WavInFile(missing.c_str()), std::runtime_error);
    try {
        WavInFile in(dir.path.c_str()); // a folder
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error : Unable to open file \"" + dir.path + "\" for reading.");
    }
}

TEST(WavInFile, LengthOfLongFilesDoesNotOverflow) {
    TempDir dir;
    std::string path = dir.path + "long.wav";
    // Ten minutes of 44.1 kHz stereo without writing them: a sparse file behind a real header.
    uint64_t dataBytes = 600ull * 44100 * 4;
    unsigned char header[WavOutFile::kHeaderBytes];
    WavOutFile::fillHeader(header, 44100, 16, 2, dataBytes);
    writeBytes(path, std::string(reinterpret_cast<char*>(header), sizeof header));
    ASSERT_EQ(truncate(path.c_str(), off_t(44 + dataBytes)), 0);
    WavInFile in(path.c_str());
    EXPECT_EQ(in.getNumSamples(), 600ull * 44100);
    EXPECT_EQ(in.getLengthMS(), 600000u);
    EXPECT_EQ(in.getBytesPerSample(), 4);
}
