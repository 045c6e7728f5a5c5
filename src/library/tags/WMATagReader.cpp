// ASF (WMA) tags: the header objects' content descriptions, and the length from the stream's byte rate.
#include <cmath>
#include <cstring>

#include "foundation/modTools.h"
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

namespace {

// GUIDs as stored in the file.
const uint8_t kHeaderObject[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kStreamProperties[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                       0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t kContentDescription[16] = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                         0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kExtendedContentDescription[16] = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                                 0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};

const uint64_t kObjectHeader = 24;      // GUID and 64-bit size
const uint64_t kMaxObjectSize = 255999; // larger header objects end the walk (bytes)

// The value and name lists, entry i of one belonging to entry i of the other, in reading order.
struct tWMATag {
    std::vector<std::string> values;
    std::vector<std::string> names;
};

// UTF-16LE bytes to trimmed UTF-8; an odd last byte is dropped.
std::string utf16Text(const uint8_t* p, size_t bytes) {
    std::vector<uint16_t> units(bytes / 2);
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = readLE16(p + 2 * i);
    return strtrim(strFromUtf16(units.data(), units.size()));
}

void readContentDescription(const uint8_t* body, size_t size, tWMATag& wma) {
    static const char* const names[5] = {"WM/Title", "WM/Author", "WM/Unknown", "WM/Description", "WM/Unknown"};
    if (size < 10) return;
    size_t lengths[5], total = 10;
    for (int i = 0; i < 5; ++i)
        total += lengths[i] = readLE16(body + 2 * i);
    if (total > size) return;
    size_t at = 10;
    for (int i = 0; i < 5; ++i) {
        if (lengths[i] == 0) continue;
        wma.names.push_back(names[i]);
        wma.values.push_back(utf16Text(body + at, lengths[i]));
        at += lengths[i];
    }
}

void readExtendedContentDescription(const uint8_t* body, size_t size, tWMATag& wma) {
    if (size < 2) return;
    unsigned count = readLE16(body);
    size_t at = 2;
    for (unsigned i = 0; i < count; ++i) {
        if (size - at < 2) return;
        size_t nameLength = readLE16(body + at);
        at += 2;
        if (size - at < nameLength + 4) return;
        std::string name = utf16Text(body + at, nameLength);
        at += nameLength;
        unsigned type = readLE16(body + at);
        size_t valueLength = readLE16(body + at + 2);
        at += 4;
        if (size - at < valueLength) return;
        const uint8_t* value = body + at;
        at += valueLength;
        if (type == 0) {
            wma.names.push_back(name);
            wma.values.push_back(utf16Text(value, valueLength));
        } else if (type == 3 && valueLength == 4) {
            // Numbers are unsigned; only the track attribute counts from 0.
            uint64_t number = readLE32(value);
            if (strtolower(name) == "wm/track") ++number;
            wma.names.push_back(name);
            wma.values.push_back(std::to_string(number));
        }
    }
}

const char* attributeTarget(const std::string& lowerName) {
    static const char* const table[][2] = {{"wm/track", "TRCK"},      {"wm/title", "TIT2"},       {"wm/author", "TPE1"},
                                           {"wm/albumtitle", "TALB"}, {"wm/description", "COMM"}, {"wm/year", "TYER"},
                                           {"wm/genre", "TCON"},      {"wm/bpm", "TBPM"}};
    for (const auto& row : table)
        if (lowerName == row[0]) return row[1];
    return nullptr;
}

} // namespace

bool CID3v2Tag::readFromWMA(std::string filePath) {
    return readPath(filePath, &CID3v2Tag::readFromWMA);
}

bool CID3v2Tag::readFromWMA(ByteSource& source) {
    const uint64_t fileSize = source.size();
    std::string buffer;
    if (!source.readExact(0, 30, buffer) || memcmp(buffer.data(), kHeaderObject, 16) != 0) return false;
    const uint64_t headerEnd = std::min(readLE64(bytesOf(buffer) + 16), fileSize);
    const uint32_t objectCount = readLE32(bytesOf(buffer) + 24);

    tWMATag wma;
    uint32_t averageBytesPerSecond = 0;
    uint64_t offset = 30;
    for (uint32_t i = 0; i < objectCount && offset + kObjectHeader <= headerEnd; ++i) {
        source.readExact(offset, kObjectHeader, buffer);
        uint64_t size = readLE64(bytesOf(buffer) + 16);
        if (size < kObjectHeader || size > kMaxObjectSize || size > headerEnd - offset) break;
        uint8_t guid[16];
        memcpy(guid, buffer.data(), 16);
        if (!source.readExact(offset + kObjectHeader, size - kObjectHeader, buffer)) break;
        const uint8_t* body = bytesOf(buffer);
        const size_t bodySize = buffer.size();
        if (memcmp(guid, kStreamProperties, 16) == 0) {
            // Stream type, error correction type, time offset, data lengths, flags, reserved; then the
            // wave format: format tag, channels, sample rate, average bytes per second.
            if (bodySize >= 54 + 12) {
                uint32_t rate = readLE32(body + 54 + 8);
                if (rate != 0) averageBytesPerSecond = rate;
            }
        } else if (memcmp(guid, kContentDescription, 16) == 0) {
            readContentDescription(body, bodySize, wma);
        } else if (memcmp(guid, kExtendedContentDescription, 16) == 0) {
            readExtendedContentDescription(body, bodySize, wma);
        }
        offset += size;
    }

    if (averageBytesPerSecond != 0) {
        float length = float(fileSize) / (float(averageBytesPerSecond) / 1000.0f);
        if (length < 1e15f) setFrame("TLEN", std::to_string(int64_t(length)), 0);
    }
    std::string peak, trackGain, albumGain, trackNumber;
    for (size_t i = 0; i < wma.names.size(); ++i) {
        std::string name = strtolower(wma.names[i]);
        const char* target = attributeTarget(name);
        if (target) {
            if (!wma.values[i].empty()) setFrame(target, wma.values[i], 3); // an empty one removes nothing
        } else if (name == "wm/tracknumber")
            trackNumber = wma.values[i];
        else if (name == "wm/replaygain_track_gain")
            trackGain = wma.values[i];
        else if (name == "wm/replaygain_album_gain")
            albumGain = wma.values[i];
        else if (name == "wm/replaygain_track_peak")
            peak = wma.values[i];
    }
    // Today's writers store the 1-based "WM/TrackNumber" instead of the old 0-based "WM/Track".
    if (!trackNumber.empty() && !findFrame("TRCK")) setFrame("TRCK", trackNumber, 3);
    double p = strToDbl(peak), track = strToDbl(trackGain), album = strToDbl(albumGain);
    if (p != 0 || track != 0 || album != 0) setReplayGainTag(float(p), float(track), float(album));
    return true;
}
