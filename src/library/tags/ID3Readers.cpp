// The reader dispatch and the ID3v2, ID3v1 and file-name readers.
#include <cstring>

#include "foundation/modTools.h"
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

namespace {

bool nonEmptyFrame(CID3v2Tag& tag, const char* id) {
    const std::string* data = tag.getFrame(id, true);
    return data && !data->empty();
}

// Offset of the first 00 00 pair starting at an even offset from `from`, or npos.
size_t findUtf16Terminator(const std::string& s, size_t from) {
    for (size_t i = from; i + 1 < s.size(); i += 2)
        if (s[i] == 0 && s[i + 1] == 0) return i;
    return std::string::npos;
}

// Cuts a text frame's content into the encoding byte and the text.
void splitTextFrame(const std::string& id, const std::string& content, std::string& header, std::string& data) {
    bool whole = id.size() > 1 && id[1] == 'X'; // TXXX, WXXX: description, terminator, value
    auto first = uint8_t(content[0]);
    if (first < 4) {
        header.assign(1, char(first));
        data = content.substr(1);
        if (whole) return;
        size_t end = (first == 1 || first == 2) ? findUtf16Terminator(data, 0) : data.find('\0');
        if (end != std::string::npos) data.resize(end);
    } else {
        header.assign(1, '\0');
        data = content;
        if (!whole) {
            size_t end = data.find('\0');
            if (end != std::string::npos) data.resize(end);
        }
    }
}

// COMM: the description of a single-byte encoding moves into the header.
void splitCommentSingleByte(std::string& header, std::string& data) {
    size_t zero = data.find('\0');
    if (zero != std::string::npos && zero + 1 < data.size()) {
        header += data.substr(0, zero + 1);
        data.erase(0, zero + 1);
    } else {
        header += '\0';
    }
    if (!data.empty() && data.back() == '\0') data.pop_back();
}

// COMM: the description of a UTF-16 encoding moves into the header.
void splitCommentUtf16(std::string& header, std::string& data) {
    // Units are 2 bytes: "41 00|00 00" ends at the pair on the even offset, not one byte early.
    size_t pair = findUtf16Terminator(data, 0);
    if (pair != std::string::npos && pair + 2 < data.size()) {
        header += data.substr(0, pair + 2);
        data.erase(0, pair + 2);
    } else {
        header += std::string(2, '\0');
    }
    if (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) data.resize(data.size() - 2);
}

void splitCommentFrame(const std::string& content, std::string& header, std::string& data) {
    auto encoding = uint8_t(content[0]);
    if (content.size() <= 4) {
        header = std::string(1, char(encoding)) + "eng" + '\0';
        data = content.substr(1);
    } else if (encoding == 0 || encoding == 3) {
        header = content.substr(0, 4);
        data = content.substr(4);
        splitCommentSingleByte(header, data);
    } else if (encoding == 1 && content.size() >= 6) {
        auto b4 = uint8_t(content[4]), b5 = uint8_t(content[5]);
        // 00 00 is an empty description with its terminator: the text follows it.
        bool mark = (b4 == 0xFF && b5 == 0xFE) || (b4 == 0xFE && b5 == 0xFF) || (b4 == 0 && b5 == 0);
        size_t h = mark ? 6 : (b4 == 0 ? 5 : 4);
        header = content.substr(0, h);
        data = content.substr(h);
        splitCommentUtf16(header, data);
    } else if (encoding == 2) {
        header = content.substr(0, 4);
        data = content.substr(4);
        splitCommentUtf16(header, data);
    } else {
        header = std::string("\0eng", 4);
        data = content.substr(1);
        if (isLeft(data, "eng")) data.erase(0, 3);
        splitCommentSingleByte(header, data);
    }
}

// Removes the zero byte of every FF 00 pair in one pass; a pair's FF may start the next pair.
size_t removeUnsynchronisation(std::string& buffer) {
    size_t n = buffer.size(), out = 0;
    for (size_t i = 0; i < n; ++i) {
        buffer[out++] = buffer[i];
        if (uint8_t(buffer[i]) == 0xFF && i + 1 < n && buffer[i + 1] == 0) ++i;
    }
    buffer.resize(out);
    return n - out;
}

uint32_t syncsafe(const uint8_t* p) {
    return (uint32_t(p[0]) << 21) | (p[1] << 14) | (p[2] << 7) | p[3];
}

} // namespace

bool CID3v2Tag::readFromFile(const std::string& path) {
    std::string ext = path.size() > 4 ? strtolower(path.substr(path.size() - 4)) : std::string();
    bool tagged = false;
    if (ext == ".wav") {
        readFromWAV(path);
    } else if (ext == ".mp3") {
        tagged = readFromID3v2(path) || readFromID3v1(path);
    } else if (ext == ".ogg") {
        readFromOggTag(path);
    } else if (ext == ".wma") {
        readFromWMA(path);
    } else if (ext == "flac") {
        readFromFLACTag(path);
    } else if (ext == ".m4a" || ext == ".mp4") {
        readFromM4ATag(path);
    }
    if (!tagged) readFromFilename(path);
    time_t modified = 0, statusChanged = 0;
    getFileTimes(path, &modified, &statusChanged);
    modificationTime = modified;
    statusChangeTime = statusChanged;
    return true;
}

bool CID3v2Tag::readPath(const std::string& filePath, bool (CID3v2Tag::*reader)(ByteSource&)) {
    path = filePath;
    FileByteSource source(filePath);
    return source.isOpen() && (this->*reader)(source);
}

bool CID3v2Tag::readFromID3v2(const std::string& filePath) {
    return readPath(filePath, &CID3v2Tag::readFromID3v2);
}

bool CID3v2Tag::readFromID3v2(ByteSource& source) {
    std::string header;
    if (!source.readExact(0, 10, header)) return false;
    const uint8_t* h = bytesOf(header);
    if (memcmp(h, "ID3", 3) != 0 || (h[3] != 3 && h[3] != 4)) return false;
    if (h[5] != 0x00 && h[5] != 0x10 && h[5] != 0x80) return false;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return false; // not a syncsafe size
    version = h[3];
    headerFlags = h[5];

    // A tag cut short by the end of the file is read as far as it goes.
    uint64_t size = std::min<uint64_t>(syncsafe(h + 6), source.size() - 10);
    std::string buffer;
    if (!source.readExact(10, size, buffer)) return false;
    if (headerFlags & 0x80) removeUnsynchronisation(buffer);
    tagSize = uint32_t(buffer.size());

    const uint8_t* b = bytesOf(buffer);
    const size_t n = buffer.size();
    size_t offset = 0;
    while (offset + 10 < n) {
        const uint8_t* f = b + offset;
        if (f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0) break; // padding
        if (f[4] & 0x80) break;
        uint32_t frameSize = version == 4 ? syncsafe(f + 4) : readBE32(f + 4);
        if (frameSize > n - offset - 10) break;
        std::string id(reinterpret_cast<const char*>(f), 4);
        std::string content = buffer.substr(offset + 10, frameSize);
        std::string frameHeader, data;
        if (content.empty()) {
            // nothing to split
        } else if (id[0] == 'T' || id[0] == 'W') {
            splitTextFrame(id, content, frameHeader, data);
        } else if (id == "COMM") {
            splitCommentFrame(content, frameHeader, data);
        } else {
            data.swap(content);
        }
        auto* frame = new CID3Frame(std::move(id), std::move(data), std::move(frameHeader));
        frame->setFlags((uint32_t(f[8]) << 8) | f[9]);
        addFrame(frame);
        offset += 10 + size_t(frameSize);
    }
    // ID3v2.4 replaced the year frame by the recording time ("2004-05-17T..."): its year stands in.
    if (!findFrame("TYER")) {
        std::string recorded = getFrameCopy("TDRC");
        if (recorded.size() >= 4 && strIsNumeric(recorded.substr(0, 4))) setFrame("TYER", recorded.substr(0, 4), 0);
    }
    return nonEmptyFrame(*this, "TIT2") && nonEmptyFrame(*this, "TPE1");
}

bool CID3v2Tag::readFromID3v1(const std::string& filePath) {
    return readPath(filePath, &CID3v2Tag::readFromID3v1);
}

bool CID3v2Tag::readFromID3v1(ByteSource& source) {
    if (source.size() <= 128) return false;
    std::string buffer;
    if (!source.readExact(source.size() - 129, 129, buffer)) return false;
    if (buffer.find("APETAG") != std::string::npos) return false;
    const uint8_t* tag;
    if (buffer.compare(0, 3, "TAG") == 0)
        tag = bytesOf(buffer);
    else if (buffer.compare(1, 3, "TAG") == 0)
        tag = bytesOf(buffer) + 1;
    else
        return false;
    readID3v1Fields(tag);
    return findFrame("TIT2") && nonEmptyFrame(*this, "TPE1");
}

// `tag` points at the 128 bytes of an ID3v1 tag.
void CID3v2Tag::readID3v1Fields(const uint8_t* tag) {
    auto field = [&](const char* id, size_t from, size_t length) {
        if (findFrame(id)) return;
        std::string text = strtrim(std::string(reinterpret_cast<const char*>(tag) + from, length));
        if (!text.empty()) setFrame(id, text, 0);
    };
    bool v11 = tag[125] == 0 && tag[126] != 0; // ID3v1.1: the comment's last byte is the track
    field("TIT2", 3, 30);
    field("TPE1", 33, 30);
    field("TALB", 63, 30);
    field("TYER", 93, 4);
    field("COMM", 97, v11 ? 28 : 30);
    if (!findFrame("TRCK") && v11 && tag[126] >= 1 && tag[126] <= 127) setFrame("TRCK", intToStr(tag[126]), 0);

    if (!findFrame("TRCK")) {
        std::string title = getFrameCopy("TIT2");
        if (title.size() >= 6 && isLeft(strtolower(title), "track")) {
            std::string rest = strtrim(title.substr(5));
            if (!rest.empty() && strIsNumeric(rest)) setFrame("TRCK", rest, 3);
        }
    }
}

bool CID3v2Tag::readFromFilename(const std::string& filePath) {
    path = filePath;
    std::string name = strreplace(getFileName(filePath), "_", " ");
    size_t n = name.size();
    if (n >= 4 && name[n - 4] == '.')
        name.resize(n - 4);
    else if (n >= 6 && name[n - 5] == '.')
        name.resize(n - 5);

    std::vector<std::string> parts;
    if (name.find(" - ") != std::string::npos) {
        parts = strsplit(name, " - ");
    } else if (name.find('-') != std::string::npos) {
        parts = strsplit(name, "-");
    } else {
        size_t p = name.find("  ");
        if (p != std::string::npos && name.find("  ", p + 3) == std::string::npos) {
            parts.push_back(name.substr(0, p));
            parts.push_back(name.substr(p + 2));
        } else {
            parts.push_back(name);
        }
    }
    for (auto& part : parts)
        part = strtrim(part);

    std::string title, artist, album, track;
    auto digits = [](const std::string& s) { return strIsNumeric(s); };
    switch (parts.size()) {
    case 1: {
        const std::string& whole = parts[0];
        title = whole;
        for (const char* brackets : {"()", "[]"}) {
            size_t open = whole.find(brackets[0]);
            size_t close = open == std::string::npos ? open : whole.find(brackets[1], open + 1);
            if (close == std::string::npos) continue;
            artist = strtrim(whole.substr(open + 1, close - open - 1));
            title = open > 0 ? strtrim(whole.substr(0, open)) + " " : std::string();
            title += strtrim(whole.substr(close + 1));
            break;
        }
        break;
    }
    case 2:
        (digits(parts[0]) ? track : artist) = parts[0];
        title = parts[1];
        break;
    case 3:
        if (digits(parts[0]))
            track = parts[0], artist = parts[1];
        else if (!digits(parts[1]) && parts[1].size() != 2)
            album = parts[0], artist = parts[1];
        else
            artist = parts[0], track = parts[1];
        title = parts[2];
        break;
    case 4:
        if (digits(parts[0]))
            track = parts[0], album = parts[1], artist = parts[2];
        else if (digits(parts[2]))
            artist = parts[0], album = parts[1], track = parts[2];
        else if (digits(parts[1]))
            album = parts[0], track = parts[1], artist = parts[2];
        else
            artist = parts[0] + " - " + parts[1] + " - " + parts[2];
        title = parts[3];
        break;
    default:
        title = name;
        break;
    }

    auto store = [&](const char* id, const std::string& value) {
        if (!value.empty() && !findFrame(id)) setFrame(id, value, 3);
    };
    store("TIT2", title);
    store("TPE1", artist);
    store("TALB", album);
    store("TRCK", track);
    if (track.empty() && title.size() >= 6 && title.size() <= 8 && isLeft(strtolower(title), "track") &&
        !findFrame("TRCK")) {
        std::string rest = strtrim(title.substr(5));
        if (strIsNumeric(rest)) store("TRCK", rest);
    }
    return true;
}
