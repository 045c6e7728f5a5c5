// Crafted files for the parsers' tests: integers in either byte order, and RIFF chunks.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

inline std::string le16(uint16_t v) {
    return std::string{char(v), char(v >> 8)};
}
inline std::string le32(uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
inline std::string le64(uint64_t v) {
    return le32(uint32_t(v)) + le32(uint32_t(v >> 32));
}
inline std::string be16(uint16_t v) {
    return std::string{char(v >> 8), char(v)};
}
inline std::string be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A RIFF chunk, padded to an even size unless `pad` is false.
inline std::string chunk(const std::string& id, const std::string& body, bool pad = true) {
    return id + le32(uint32_t(body.size())) + body + (pad && body.size() % 2 ? std::string(1, '\0') : "");
}
// A WAVE file of these chunks.
inline std::string riff(const std::string& chunks) {
    return "RIFF" + le32(uint32_t(chunks.size() + 4)) + "WAVE" + chunks;
}

} // namespace testsupport
