// Builders of tag bytes and a scratch folder for the tag tests.
#pragma once

#include "support/TempDir.h"
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace tagtest {

inline std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s.push_back(char(b));
    return s;
}

inline std::string be32(uint32_t v) {
    return bytes({int(v >> 24), int((v >> 16) & 255), int((v >> 8) & 255), int(v & 255)});
}
inline std::string le32(uint32_t v) {
    return bytes({int(v & 255), int((v >> 8) & 255), int((v >> 16) & 255), int(v >> 24)});
}
inline std::string le16(uint16_t v) {
    return bytes({v & 255, v >> 8});
}
inline std::string le64(uint64_t v) {
    return le32(uint32_t(v)) + le32(uint32_t(v >> 32));
}
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
