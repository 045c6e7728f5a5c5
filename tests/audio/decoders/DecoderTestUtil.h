// Helpers shared by the decoder tests: generated fixtures, whole decodes and crafted files.
#pragma once

#include "support/Bytes.h"
#include "support/TempDir.h"
#include "audio/decoders/AudioDecoder.h"
#include "foundation/modTools.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace dectest {

inline std::string fixture(const std::string& name) {
    return std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/decoders/" + name;
}

inline std::string readBytes(const std::string& path) {
    return readFileContents(path);
}

inline std::vector<short> readRaw(const std::string& path) {
    std::string bytes = readBytes(path);
    std::vector<short> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = short(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
    return samples;
}

// Every block until the end, checking each read keeps the contract: whole frames, at most
// maxReadBytes, no more than the block it says.
inline std::vector<short> decodeAll(AudioDecoder& d, size_t limitSamples = SIZE_MAX) {
    std::vector<short> all;
    std::vector<short> block(AudioDecoder::maxReadBytes / 2 + 64, short(0x5A5A));
    int channels = d.getNbChannels();
    for (int reads = 0; all.size() < limitSamples; ++reads) {
        int bytes = d.readData(block.data(), 0);
        if (bytes <= 0) break;
        EXPECT_LE(bytes, AudioDecoder::maxReadBytes) << d.getFileName();
        EXPECT_EQ(bytes % (2 * channels), 0) << d.getFileName();
        EXPECT_EQ(block[AudioDecoder::maxReadBytes / 2], short(0x5A5A)) << "wrote past the block";
        all.insert(all.end(), block.begin(), block.begin() + bytes / 2);
        if (reads > 10000000) break;
    }
    return all;
}

// The first sample index where two decodes differ, or -1.
inline long firstDifference(const std::vector<short>& a, const std::vector<short>& b, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (i >= a.size() || i >= b.size() || a[i] != b[i]) return long(i);
    return -1;
}

// A file in a fresh temporary folder, removed with it.
struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("decoders") {}
};

using testsupport::be16, testsupport::be32, testsupport::le16, testsupport::le32;

} // namespace dectest
