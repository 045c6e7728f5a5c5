#include "library/tags/VorbisComment.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "foundation/base64.h"
#include "foundation/modTools.h"
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"
#include "platform/OpenGuard.h"

namespace {

// Reads a packet's bytes across Ogg pages: when the page data runs out and a source is given, the
// next page replaces it (the consumed one is not kept).
class PacketReader {
public:
    PacketReader(std::string& data, tVorbisTag* tag, ByteSource* source, uint64_t* offset)
        : data(data), tag(tag), source(source), offset(offset) {}

    // Appends up to `count` bytes to `out` (or skips them when out is null); returns how many.
    uint64_t take(uint64_t count, std::string* out) {
        uint64_t got = 0;
        while (got < count) {
            if (pos == data.size() && !nextPage()) break;
            size_t chunk = size_t(std::min<uint64_t>(count - got, data.size() - pos));
            if (out) out->append(data, pos, chunk);
            pos += chunk;
            got += chunk;
        }
        return got;
    }
    bool takeLE32(uint32_t& value) {
        std::string bytes;
        if (take(4, &bytes) != 4) return false;
        value = readLE32(bytesOf(bytes));
        return true;
    }
    std::string rest() const { return data.substr(pos); }

private:
    bool nextPage() {
        if (!source || !offset) return false;
        tOggPage page;
        std::string next;
        if (!ogg_ReadOggPage(*source, *offset, page, next)) return false;
        data.swap(next);
        pos = 0;
        if (tag) ++tag->continuationPages;
        return true;
    }

    std::string& data;
    size_t pos = 0;
    tVorbisTag* tag;
    ByteSource* source;
    uint64_t* offset;
};

// double to float without the undefined conversion of values beyond the float range.
float toFloat(double value) {
    if (std::isnan(value)) return float(value);
    return float(std::fmax(-double(FLT_MAX), std::fmin(double(FLT_MAX), value)));
}

// Lower-cased comment name -> index of its first comment.
std::unordered_map<std::string, size_t> indexComments(const tVorbisCommentPacket& packet) {
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < packet.comments.size(); ++i) {
        const std::string& c = packet.comments[i];
        size_t eq = c.find('=');
        index.emplace(strtolower(eq == std::string::npos ? std::string() : c.substr(0, eq)), i);
    }
    return index;
}

bool isVorbisHeader(const std::string& data, uint8_t type) {
    return data.size() >= 7 && uint8_t(data[0]) == type && data.compare(1, 6, "vorbis") == 0;
}

} // namespace

bool ogg_ReadOggPage(ByteSource& source, uint64_t& offset, tOggPage& page, std::string& data) {
    std::string header;
    if (!source.readExact(offset, 27, header)) return false;
    const uint8_t* h = bytesOf(header);
    if (memcmp(h, "OggS", 4) != 0 || h[4] != 0) return false;
    memcpy(page.capturePattern, h, 4);
    page.version = h[4];
    page.headerType = h[5];
    page.granulePosition = readLE64(h + 6);
    page.serialNumber = readLE32(h + 14);
    page.sequenceNumber = readLE32(h + 18);
    page.crc = readLE32(h + 22);
    page.segmentCount = h[26];
    std::string table;
    if (!source.readExact(offset + 27, page.segmentCount, table)) return false;
    uint32_t bodySize = 0;
    for (size_t i = 0; i < table.size(); ++i)
        bodySize += page.segmentTable[i] = uint8_t(table[i]);
    std::string body;
    if (!source.readExact(offset + 27 + page.segmentCount, bodySize, body)) return false;
    page.pageSize = 27 + page.segmentCount + bodySize;
    data.swap(body);
    offset += page.pageSize;
    return true;
}

bool vorbis_ParseVorbisComment(std::string& data, tVorbisCommentPacket& packet, tVorbisTag* tag, ByteSource* source,
                               uint64_t* offset, bool noHeader, bool noFraming) {
    PacketReader reader(data, tag, source, offset);
    if (!noHeader) {
        std::string header;
        reader.take(7, &header);
        if (!isVorbisHeader(header, 3)) return false;
        packet.packetType = 3;
    }
    packet.parsed = true;
    // Every length is checked against what the pages still hold: a short packet keeps what it read.
    uint32_t vendorLength, count;
    if (!reader.takeLE32(vendorLength) || vendorLength > kMaxVorbisCommentBytes) return true;
    if (reader.take(vendorLength, &packet.vendor) != vendorLength || !reader.takeLE32(count)) return true;
    for (uint32_t i = 0; i < count; ++i) {
        if (i == kMaxVorbisComments) return true;
        uint32_t length;
        if (!reader.takeLE32(length) || length > kMaxVorbisCommentBytes) return true;
        std::string comment;
        uint64_t got = reader.take(length, &comment);
        packet.comments.push_back(std::move(comment));
        if (got != length) return true;
    }
    if (!noHeader && !noFraming) {
        std::string framing;
        if (reader.take(1, &framing) == 1) packet.framing = uint8_t(framing[0]);
        std::string rest = reader.rest();
        size_t first = rest.find_first_not_of('\0');
        packet.rest = first == std::string::npos ? std::string() : rest.substr(first);
    }
    return true;
}

std::string vorbis_GetField(const tVorbisCommentPacket& packet, const std::string& name) {
    std::string wanted = strtolower(strtrim(name));
    if (wanted.empty()) return "";
    for (const std::string& c : packet.comments) {
        size_t eq = c.find('=');
        if (eq != std::string::npos && eq == wanted.size() && strtolower(c.substr(0, eq)) == wanted)
            return c.substr(eq + 1);
    }
    return "";
}

std::string vorbis_PictureToAPIC(const std::string& block) {
    const uint8_t* b = bytesOf(block);
    const uint64_t n = block.size();
    uint64_t at = 0;
    auto u32 = [&](uint32_t& value) {
        if (n - at < 4) return false;
        value = readBE32(b + at);
        at += 4;
        return true;
    };
    uint32_t type, mimeLength, descriptionLength, dataLength;
    if (!u32(type) || !u32(mimeLength) || mimeLength > n - at) return "";
    std::string mime = block.substr(size_t(at), mimeLength);
    at += mimeLength;
    if (!u32(descriptionLength) || descriptionLength > n - at) return "";
    std::string description = block.substr(size_t(at), descriptionLength);
    at += descriptionLength;
    if (n - at < 16) return ""; // width, height, colour depth, number of colours
    at += 16;
    if (!u32(dataLength)) return "";
    std::string picture = block.substr(size_t(at), size_t(std::min<uint64_t>(dataLength, n - at)));
    return std::string(1, '\x03') + mime + '\0' + char(type & 0xFF) + description + '\0' + picture;
}

void vorbis_SetID3v2Tags(CID3v2Tag& tag, const tVorbisCommentPacket& packet) {
    // One index instead of a linear search per field: a packet may hold a million comments.
    auto index = indexComments(packet);
    auto field = [&](const std::string& lowerName) -> std::string {
        auto it = index.find(lowerName);
        if (it == index.end()) return "";
        const std::string& c = packet.comments[it->second];
        return c.substr(c.find('=') + 1);
    };
    static const char* const texts[][2] = {
        {"tracknumber", "TRCK"}, {"discnumber", "TPOS"}, {"title", "TIT2"}, {"version", "TIT3"}, {"artist", "TPE1"},
        {"album", "TALB"},       {"comment", "COMM"},    {"mood", "TMOO"},  {"date", "TYER"},    {"genre", "TCON"},
        {"contact", "WOAF"},     {"length", "TLEN"},     {"bpm", "TBPM"},   {"key", "TKEY"}};
    for (const auto& row : texts) {
        std::string value = field(row[0]);
        if (!value.empty()) tag.setFrame(row[1], value, 3);
    }
    std::string rating = field("rating");
    if (!rating.empty()) {
        // 0..99 -> 0..255
        double scaled = std::trunc(double(strToInt(rating)) * 2.5757575757575757);
        tag.setRating(int(std::fmax(-1.0, std::fmin(256.0, scaled))));
    }
    std::string colour = field("color");
    if (!colour.empty()) tag.setFrameTXXX("Color", colour);
    for (unsigned int n = 0; n <= kMaxVorbisCuePoint; ++n) {
        std::string cue = field("cuepoint" + std::to_string(n));
        if (cue.empty()) break;
        int ms = strToInt(cue);
        if (ms >= 0) tag.addToETCO(unsigned(ms), 0xE0);
    }
    std::string trackGain = field("replaygain_track_gain");
    if (!trackGain.empty())
        tag.setReplayGainTag(toFloat(strToDbl(field("replaygain_track_peak"))), toFloat(strToDbl(trackGain)),
                             toFloat(strToDbl(field("replaygain_album_gain"))));
    std::string picture = field("metadata_block_picture");
    if (!picture.empty()) {
        std::string apic = vorbis_PictureToAPIC(base64_decode(picture));
        if (!apic.empty()) tag.setFrame("APIC", apic, 0);
    }
}

bool CID3v2Tag::readFromOggTag(const std::string& filePath) {
    return readPath(filePath, &CID3v2Tag::readFromOggTag);
}

bool CID3v2Tag::readFromOggTag(ByteSource& source) {
    tVorbisTag vorbis;
    uint64_t offset = 0;
    std::string data;
    if (!ogg_ReadOggPage(source, offset, vorbis.identificationPage, data)) return false;
    if (data.size() < 30 || !isVorbisHeader(data, 1) || readLE32(bytesOf(data) + 7) != 0) return false;
    const uint8_t* p = bytesOf(data);
    tvorbisIdentificationPacket& id = vorbis.identification;
    id.packetType = 1;
    id.channels = p[11];
    id.sampleRate = readLE32(p + 12);
    id.maximumBitRate = readLE32(p + 16);
    id.nominalBitRate = readLE32(p + 20);
    id.minimumBitRate = readLE32(p + 24);
    id.blockSizes = p[28];
    id.framing = p[29];

    if (!ogg_ReadOggPage(source, offset, vorbis.commentPage, data)) return false;
    if (!vorbis_ParseVorbisComment(data, vorbis.comment, &vorbis, &source, &offset, false, false)) return false;
    vorbis_SetID3v2Tags(*this, vorbis.comment);
    changed = false;
    return true;
}

bool CID3v2Tag::readFromFLACTag(const std::string& filePath) {
    // The comments may come after any number of blocks: a file whose walk the decoder refuses is not walked here.
    if (OpenGuard::refused(filePath, OpenGuard::Reader::Own)) {
        path = filePath;
        return false;
    }
    return readPath(filePath, &CID3v2Tag::readFromFLACTag);
}

bool CID3v2Tag::readFromFLACTag(ByteSource& source) {
    std::string block;
    if (!source.readExact(0, 4, block) || block != "fLaC") return false;
    tVorbisCommentPacket comment;
    bool commentRead = false;
    uint64_t offset = 4;
    while (source.readExact(offset, 4, block)) {
        const uint8_t* h = bytesOf(block);
        bool last = (h[0] & 0x80) != 0;
        int type = h[0] & 0x7F;
        // A block cut short by the end of the file is read as far as it goes.
        uint64_t length = std::min<uint64_t>(readBE24(h + 1), source.remaining(offset + 4));
        if (type != 0 && type != 4 && type != 6) {
            offset += 4 + length;
            if (last) break;
            continue;
        }
        source.readExact(offset + 4, length, block);
        offset += 4 + length;
        if (type == 0 && block.size() >= 18) {
            const uint8_t* s = bytesOf(block);
            uint32_t rate = readBE32(s + 10) >> 12; // Hz
            uint32_t samples = readBE32(s + 14);    // frames; 0 = unknown
            if (rate != 0 && samples != 0) setFrame("TLEN", std::to_string(int64_t(samples / (rate / 1000.0))), 0);
        } else if (type == 4) {
            // Bounded by its block: a FLAC comment has no page to continue on.
            commentRead = vorbis_ParseVorbisComment(block, comment, nullptr, nullptr, nullptr, true, true);
        } else if (type == 6) {
            std::string apic = vorbis_PictureToAPIC(block);
            if (!apic.empty()) setFrame("APIC", apic, 0);
            if (commentRead) break;
        }
        if (last) break;
    }
    if (commentRead) vorbis_SetID3v2Tags(*this, comment);
    return true;
}
