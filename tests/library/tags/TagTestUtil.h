// Builders of tag bytes and a scratch folder for the tag tests.
#pragma once

#include "library/tags/CID3v2Tag.h"
#include "support/Bytes.h"
#include "support/TempDir.h"
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tagtest {

// The texts of a tag's frames, given as a frame id and its text, then the next id and its text.
inline void expectFrames(CID3v2Tag& tag, std::initializer_list<const char*> idsAndTexts) {
    EXPECT_EQ(idsAndTexts.size() % 2, 0u);
    for (auto it = idsAndTexts.begin(); it + 1 < idsAndTexts.end(); it += 2)
        EXPECT_EQ(tag.getFrameCopy(it[0]), it[1]) << it[0];
}

inline std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s.push_back(char(b));
    return s;
}

using testsupport::be32, testsupport::le16, testsupport::le32, testsupport::le64;
inline std::string syncsafe(uint32_t v) {
    return bytes({int((v >> 21) & 127), int((v >> 14) & 127), int((v >> 7) & 127), int(v & 127)});
}

// An ID3v2 frame: v3 sizes are plain, v4 sizes syncsafe.
inline std::string id3Frame(const std::string& id, const std::string& content, int version = 3) {
    return id + (version == 4 ? syncsafe(uint32_t(content.size())) : be32(uint32_t(content.size()))) + bytes({0, 0}) +
           content;
}
inline std::string id3Tag(const std::string& body, int version = 3, int flags = 0) {
    return "ID3" + bytes({version, 0, flags}) + syncsafe(uint32_t(body.size())) + body;
}

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("tags") {}
};

} // namespace tagtest
