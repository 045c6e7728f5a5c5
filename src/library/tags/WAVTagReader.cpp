// RIFF WAVE tags: "fmt " (length), "acid" (tempo), "rgad" (replay gain) and LIST/INFO texts.
#include <cmath>
#include <cstring>

#include "foundation/modTools.h"
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

namespace {

const char* infoTarget(const std::string& id) {
    if (id == "INAM") return "TIT2";
    if (id == "IART") return "TPE1";
    if (id == "ICMT") return "COMM";
    if (id == "IGNR") return "TCON";
    if (id == "ISRC") return "WOAF";
    return nullptr;
}

} // namespace

bool CID3v2Tag::readFromWAV(const std::string& filePath) {
    return readPath(filePath, &CID3v2Tag::readFromWAV);
}

bool CID3v2Tag::readFromWAV(ByteSource& source) {
    const uint64_t fileSize = source.size();
    std::string head;
    if (!source.readExact(0, 8, head) || head.compare(0, 4, "RIFF") != 0) return false;
    if (readLE32(bytesOf(head) + 4) < 17) return true;
    if (!source.readExact(8, 4, head) || head != "WAVE") return false;

    // Offsets are 64-bit: a chunk size near 4 GiB must not wrap back onto the same chunk.
    uint64_t offset = 12;
    std::string chunk;
    while (offset + 8 <= fileSize) {
        source.readExact(offset, 8, chunk);
        std::string id = chunk.substr(0, 4);
        const uint64_t size = readLE32(bytesOf(chunk) + 4);
        const uint64_t content = offset + 8;
        const uint64_t next = content + size;

        if (id == "fmt " && size >= 16 && source.readExact(content, 16, chunk)) {
            const uint8_t* f = bytesOf(chunk);
            uint32_t channels = readLE16(f + 2), rate = readLE32(f + 4), avgBytes = readLE32(f + 8);
            uint32_t bits = readLE16(f + 14);
            uint32_t bytesPerFrame = channels * bits / 8;
            double length = -1; // ms
            if (bytesPerFrame != 0) {
                if (rate != 0) length = double(fileSize) / bytesPerFrame / (rate / 1000.0);
            } else if (avgBytes != 0) {
                length = double(fileSize) * 1000.0 / avgBytes;
            }
            if (length >= 0 && length < 1e15) setFrame("TLEN", std::to_string(int64_t(length)), 0);
        } else if (id == "acid" && size == 24 && source.readExact(content, 24, chunk)) {
            float tempo;
            uint32_t bits = readLE32(bytesOf(chunk) + 20);
            memcpy(&tempo, &bits, 4);
            if (tempo > 50 && tempo < 300) setFrame("TBPM", dblToStr(tempo, 2), 0);
        } else if (id == "rgad" && size == 8 && source.readExact(content, 8, chunk)) {
            setFrame("RGAD", chunk, 0);
        } else if (id == "LIST" && size >= 4 && source.readExact(content, 4, chunk) && chunk == "INFO") {
            const uint64_t listEnd = std::min(next, fileSize);
            uint64_t sub = content + 4;
            while (sub + 8 <= listEnd) {
                source.readExact(sub, 8, chunk);
                std::string subId = chunk.substr(0, 4);
                uint64_t subSize = readLE32(bytesOf(chunk) + 4);
                subSize += subSize & 1;
                // A text is never read past the list or the file.
                uint64_t take = std::min(subSize, listEnd - (sub + 8));
                const char* target = infoTarget(subId);
                if (target && source.readExact(sub + 8, take, chunk)) {
                    size_t zero = chunk.find('\0');
                    if (zero != std::string::npos) chunk.resize(zero);
                    std::string text = strtrim(chunk);
                    bool wanted = strcmp(target, "WOAF") != 0 || isLeft(text, "http") || isLeft(text, "www");
                    if (!text.empty() && wanted) setFrame(target, text, 0);
                } else if (subId == "IPRD" && !findFrame("TALB") && source.readExact(sub + 8, take, chunk)) {
                    // The product (album) has no frame of its own among the mapped ids: it fills the
                    // album only when nothing else did.
                    size_t zero = chunk.find('\0');
                    if (zero != std::string::npos) chunk.resize(zero);
                    std::string text = strtrim(chunk);
                    if (!text.empty()) setFrame("TALB", text, 0);
                }
                sub += 8 + subSize;
            }
        }
        offset = next;
    }
    return true;
}
