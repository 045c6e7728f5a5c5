#include "platform/OpenGuard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace OpenGuard {

namespace {

// Random access to a file through a window of it, read as it is needed.
class Window {
public:
    // The longest span one call may ask for: more than an Ogg page (65,307 bytes) and the bytes before it.
    static constexpr size_t kMaxSpan = size_t(1) << 17;

    Window(int fd, uint64_t size) : fd(fd), size(size) {}
    uint64_t fileSize() const { return size; }

    // The n bytes at `at`, or null when they lie (partly) past the end or cannot be read. They stay valid until the
    // next call only.
    const uint8_t* at(uint64_t at, size_t n) {
        if (n > kMaxSpan || at > size || n > size - at) return nullptr;
        if (at < start || at - start > bytes.size() || n > bytes.size() - (at - start)) {
            const size_t want = size_t(std::min<uint64_t>(std::max(n, kRead), size - at));
            bytes.resize(want);
            size_t got = 0;
            while (got < want) {
                const ssize_t r = pread(fd, bytes.data() + got, want - got, off_t(at + got));
                if (r <= 0) break;
                got += size_t(r);
            }
            bytes.resize(got);
            start = at;
            if (got < n) return nullptr;
        }
        return bytes.data() + (at - start);
    }

private:
    static constexpr size_t kRead = 16384;
    int fd;
    uint64_t size;
    uint64_t start = 0;
    std::vector<uint8_t> bytes;
};

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t be24(const uint8_t* p) {
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[2]);
}
uint32_t syncsafe(const uint8_t* p) {
    return uint32_t(p[0] & 0x7F) << 21 | uint32_t(p[1] & 0x7F) << 14 | uint32_t(p[2] & 0x7F) << 7 | (p[3] & 0x7F);
}

// A count that stops just past its limit, and the steps taken to make it (a header, a block or an element read). A
// file needing more steps than an ordinary one's tens of thousands (chains of empty blocks or headers, tags reached
// through seek heads many times over) would be walked for seconds: it is counted past the limit instead, so it is
// refused and remembered.
struct Count {
    static constexpr uint64_t kMostSteps = 1000000; // some milliseconds of reading
    uint64_t limit;
    uint64_t n = 0;
    uint64_t stepsLeft = kMostSteps;
    bool spent = false; // past the limit for want of steps
    bool full() const { return n > limit; }
    void add(uint64_t k) { n = std::min(limit + 1, n + std::min(k, limit + 1)); }
    // Takes a step; false, with the count past its limit, when the steps are spent.
    bool step() {
        if (stepsLeft == 0) {
            n = limit + 1;
            spent = true;
            return false;
        }
        --stepsLeft;
        return true;
    }
};

// The comments of a Vorbis comment structure of `length` bytes (vendor length, vendor, count, then comments of at
// least 4 bytes each): as many as it declares and has room for, as FFmpeg reads them.
uint64_t comments(uint64_t length, uint64_t vendor, uint64_t declared) {
    if (length < 8 || vendor > length - 8) return 0;
    return std::min(declared, (length - 8 - vendor) / 4);
}

// ---- ID3v2 ----------------------------------------------------------------------------------------------------

// Past the ID3v2 tags at `pos` (FFmpeg reads one after another, before any container), counting their frames.
uint64_t id3Tags(Window& f, uint64_t pos, Count& count) {
    while (!count.full() && count.step()) {
        const uint8_t* h = f.at(pos, 10);
        if (!h || memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF || ((h[6] | h[7] | h[8] | h[9]) & 0x80))
            break;
        const int major = h[3];
        const uint8_t flags = h[5];
        const uint64_t end = pos + 10 + syncsafe(h + 6);
        if (major >= 2 && major <= 4) {
            const uint64_t header = major == 2 ? 6 : 10;
            uint64_t frame = pos + 10;
            if (major >= 3 && (flags & 0x40)) {
                // An extended header: its size as FFmpeg reads it (v2.4's counts its own four bytes).
                const uint8_t* e = f.at(frame, 4);
                frame = e ? frame + 4 + syncsafe(e) - (major == 4 ? std::min<uint32_t>(4, syncsafe(e)) : 0) : end;
            }
            while (!count.full() && frame < end && end - frame >= header) {
                const uint8_t* p = f.at(frame, size_t(header));
                if (!p || p[0] == 0) break; // padding
                // v2.4 sizes are syncsafe, though some writers put plain ones.
                const uint64_t size = major == 2                                            ? be24(p + 3)
                                      : major == 4 && !((p[4] | p[5] | p[6] | p[7]) & 0x80) ? syncsafe(p + 4)
                                                                                            : be32(p + 4);
                count.add(1);
                frame += header + size;
            }
        }
        pos = end + (major == 4 && (flags & 0x10) ? 10 : 0); // a v2.4 footer
    }
    return pos;
}

// ---- FLAC -----------------------------------------------------------------------------------------------------

// The comments of every comment block of the FLAC stream at `pos` ("fLaC").
void flacComments(Window& f, uint64_t pos, Count& count) {
    for (pos += 4; !count.full() && count.step();) {
        const uint8_t* h = f.at(pos, 4);
        if (!h) return;
        // Taken before the next read, which may move the window.
        const uint8_t type = h[0] & 0x7F;
        const bool last = h[0] & 0x80;
        const uint32_t length = be24(h + 1);
        if (type == 4 && length >= 8) {
            const uint8_t* v = f.at(pos + 4, 4);
            const uint32_t vendor = v ? le32(v) : 0;
            const uint8_t* n = v && vendor <= length - 8 ? f.at(pos + 8 + vendor, 4) : nullptr;
            if (n) count.add(comments(length, vendor, le32(n)));
        }
        if (last) return;
        pos += 4 + uint64_t(length);
    }
}

// ---- Ogg ------------------------------------------------------------------------------------------------------

enum class Codec { Unknown, Vorbis, Opus, Flac, Speex, Celt, Theora, Daala, Vp8, Ogm };

// A logical stream while its header packets go by: FFmpeg reads them all before the open returns.
struct OggStream {
    Codec codec = Codec::Unknown;
    uint32_t packet = 0;           // index of the packet being put together
    uint32_t lastWithComments = 0; // past this packet the stream holds no comments
    bool done = false;
    // Of the packet being put together: its length so far, its first bytes and the four of its comment count.
    uint64_t length = 0;
    uint8_t head[64];
    size_t headLength = 0;
    uint8_t countField[4];
    size_t countLength = 0;

    bool starts(const char* magic, size_t n) const { return headLength >= n && memcmp(head, magic, n) == 0; }

    // Where the packet's comment structure starts, -1 when it has none.
    int commentOffset() const {
        if (packet == 0 || packet > lastWithComments) return -1;
        switch (codec) {
        case Codec::Vorbis:
            return starts("\003vorbis", 7) ? 7 : -1;
        case Codec::Opus:
            return starts("OpusTags", 8) ? 8 : -1;
        case Codec::Theora:
            return starts("\201theora", 7) ? 7 : -1;
        case Codec::Daala:
            return starts("\201daala", 6) ? 6 : -1;
        case Codec::Vp8:
            return starts("OVP80\002", 6) ? 7 : -1;
        case Codec::Ogm:
            return starts("\003", 1) ? 7 : -1;
        case Codec::Flac:
            return headLength > 0 && (head[0] & 0x7F) == 4 ? 4 : -1;
        case Codec::Speex:
        case Codec::Celt:
            return 0;
        default:
            return -1;
        }
    }

    // Where the comment count lies in the packet, past the vendor string; UINT64_MAX while unknown or none.
    uint64_t countAt() const {
        const int at = commentOffset();
        if (at < 0 || headLength < size_t(at) + 4) return UINT64_MAX;
        return uint64_t(at) + 4 + le32(head + at);
    }

    void take(const uint8_t* bytes, size_t n) {
        // The first bytes: an identification's, or enough for a comment structure's magic and vendor length.
        const size_t headWanted = packet == 0 ? sizeof head : 12;
        if (length < headWanted) {
            const size_t k = std::min(n, headWanted - size_t(length));
            memcpy(head + length, bytes, k);
            headLength = size_t(length) + k;
        }
        const uint64_t at = countAt();
        if (at != UINT64_MAX)
            for (uint64_t p = std::max(length, at + countLength); p < std::min(length + n, at + 4); ++p)
                countField[countLength++] = bytes[p - length];
        length += n;
    }

    void finish(Count& count) {
        if (packet == 0) {
            identify();
        } else if (codec == Codec::Flac && headLength > 0 && head[0] == 0xFF) {
            done = true; // the first frame: the metadata blocks are over
        } else {
            const int at = commentOffset();
            const uint64_t countAtByte = countAt();
            if (countAtByte != UINT64_MAX && countLength == 4)
                count.add(comments(length - uint64_t(at), le32(head + at), le32(countField)));
        }
        ++packet;
        done = done || packet > lastWithComments;
        length = headLength = countLength = 0;
    }

    void identify() {
        lastWithComments = 1;
        if (starts("\001vorbis", 7))
            codec = Codec::Vorbis;
        else if (starts("OpusHead", 8))
            codec = Codec::Opus;
        else if (starts("\177FLAC", 5)) {
            codec = Codec::Flac; // every packet up to the first frame is a metadata block
            lastWithComments = UINT32_MAX;
        } else if (starts("Speex   ", 8))
            codec = Codec::Speex;
        else if (starts("CELT    ", 8) && headLength >= 60) {
            codec = Codec::Celt; // its extra headers are comment structures
            lastWithComments = std::max<uint32_t>(1, le32(head + 56));
        } else if (starts("\200theora", 7))
            codec = Codec::Theora;
        else if (starts("\200daala", 6))
            codec = Codec::Daala;
        else if (starts("OVP80\001", 6))
            codec = Codec::Vp8;
        else if (starts("\001video", 6) || starts("\001audio", 6) || starts("\001text", 5) ||
                 starts("\001Direct Show Samples embedded in Ogg", 36))
            codec = Codec::Ogm;
        else
            done = true;
    }
};

// The comments of every stream's header packets in the Ogg stream at `pos`.
void oggComments(Window& f, uint64_t pos, Count& count) {
    // FFmpeg looks this far for the next page when a page is damaged.
    constexpr uint64_t kResync = 65307;
    // Header pages beyond this are not followed (a picture of many megabytes in a comment).
    const uint64_t scanEnd = pos + (64u << 20);
    std::vector<OggStream> streams;
    std::unordered_map<uint32_t, size_t> bySerial; // index in `streams`
    size_t unfinished = 0;
    while (!count.full() && pos < scanEnd) {
        const uint8_t* h = f.at(pos, 27);
        if (!h || memcmp(h, "OggS", 4) != 0) {
            const size_t span = size_t(std::min<uint64_t>(kResync + 4, f.fileSize() - std::min(f.fileSize(), pos)));
            const uint8_t* w = span > 4 ? f.at(pos, span) : nullptr;
            const void* found = w ? memmem(w + 1, span - 1, "OggS", 4) : nullptr;
            if (!found) return;
            pos += uint64_t(static_cast<const uint8_t*>(found) - w);
            continue;
        }
        const bool continued = h[5] & 1, first = h[5] & 2;
        const uint32_t serial = le32(h + 14);
        const size_t segments = h[26];
        const uint8_t* lacing = f.at(pos + 27, segments);
        if (!lacing) return;
        const std::vector<uint8_t> laces(lacing, lacing + segments);
        size_t bodyLength = 0;
        for (uint8_t lace : laces)
            bodyLength += lace;
        const uint64_t body = pos + 27 + segments;
        const uint8_t* data = f.at(body, bodyLength);
        if (!data) return;
        auto known = bySerial.find(serial);
        if (known == bySerial.end()) {
            // More streams than FFmpeg takes (its default is 1000) refuse nothing here: it refuses the file itself.
            if (streams.size() >= 1000) return;
            known = bySerial.emplace(serial, streams.size()).first;
            streams.emplace_back();
            ++unfinished;
        }
        OggStream& stream = streams[known->second];
        if (!continued && stream.length > 0) { // the packet was never finished: FFmpeg drops it
            stream.length = stream.headLength = stream.countLength = 0;
        }
        const bool wasDone = stream.done;
        size_t offset = 0;
        for (uint8_t lace : laces) {
            if (stream.done) break;
            stream.take(data + offset, lace);
            offset += lace;
            if (lace < 255) stream.finish(count);
        }
        if (stream.done && !wasDone) --unfinished;
        pos = body + bodyLength;
        if (unfinished == 0 && !first) return;
    }
}

// ---- Matroska -------------------------------------------------------------------------------------------------

constexpr uint32_t kEbml = 0x1A45DFA3, kSegment = 0x18538067, kSeekHead = 0x114D9B74, kSeek = 0x4DBB, kSeekID = 0x53AB,
                   kSeekPosition = 0x53AC, kTags = 0x1254C367, kTag = 0x7373, kSimpleTag = 0x67C8,
                   kCluster = 0x1F43B675;

struct Element {
    uint32_t id = 0; // with its length marker, as IDs are written
    uint64_t data = 0;
    uint64_t size = 0;
    bool unknownSize = false;
    uint64_t end() const { return data + size; }
};

// The length of an EBML number from its first byte (1 to `most`), 0 when invalid.
size_t vintLength(uint8_t first, size_t most) {
    for (size_t n = 1; n <= most; ++n)
        if (first & (0x80 >> (n - 1))) return n;
    return 0;
}

// The file's elements, each read a step of the count: tags reached through seek heads may overlap, each a run of the
// same elements.
struct Elements {
    Window& f;
    Count& count;
};

bool readElement(Elements& r, uint64_t pos, Element& e) {
    if (!r.count.step()) return false;
    Window& f = r.f;
    const uint8_t* p = f.at(pos, 1);
    const size_t idLength = p ? vintLength(p[0], 4) : 0;
    if (!idLength || !(p = f.at(pos, idLength))) return false;
    e.id = 0;
    for (size_t i = 0; i < idLength; ++i)
        e.id = e.id << 8 | p[i];
    const uint8_t* s = f.at(pos + idLength, 1);
    const size_t sizeLength = s ? vintLength(s[0], 8) : 0;
    if (!sizeLength || !(s = f.at(pos + idLength, sizeLength))) return false;
    uint64_t size = s[0] & (0xFF >> sizeLength);
    bool allOnes = size == uint64_t(0xFF >> sizeLength);
    for (size_t i = 1; i < sizeLength; ++i) {
        size = size << 8 | s[i];
        allOnes = allOnes && s[i] == 0xFF;
    }
    e.data = pos + idLength + sizeLength;
    e.unknownSize = allOnes;
    e.size = allOnes ? 0 : size; // may reach past the end: a file cut short
    return true;
}

// Calls `each` for every child of a master element, in order, while it returns true.
template <typename Each> void children(Elements& f, const Element& parent, Each each) {
    Element child;
    for (uint64_t pos = parent.data; pos < parent.end() && readElement(f, pos, child);) {
        if (child.unknownSize || child.end() > parent.end() || !each(child)) return;
        pos = child.end();
    }
}

// The simple tags in a tag or a simple tag, nested ones too (FFmpeg files each one).
void simpleTags(Elements& f, const Element& parent, Count& count, int depth) {
    if (depth > 16) return;
    children(f, parent, [&](const Element& child) {
        if (child.id == kSimpleTag) {
            count.add(1);
            simpleTags(f, child, count, depth + 1);
        }
        return !count.full();
    });
}

uint64_t unsignedValue(Window& f, const Element& e) {
    const uint8_t* p = e.size >= 1 && e.size <= 8 ? f.at(e.data, size_t(e.size)) : nullptr;
    uint64_t v = 0;
    for (size_t i = 0; p && i < e.size; ++i)
        v = v << 8 | p[i];
    return v;
}

// The simple tags of the Matroska file at `pos`, in the tags FFmpeg reads while it opens: those before the first
// cluster and those its seek heads point to.
void matroskaTags(Window& window, uint64_t pos, Count& count) {
    Elements f{window, count};
    Element e;
    if (!readElement(f, pos, e) || e.id != kEbml || e.unknownSize) return;
    for (pos = e.end(); readElement(f, pos, e) && e.id != kSegment; pos = e.end())
        if (e.unknownSize) return;
    if (e.id != kSegment) return;
    const uint64_t segment = e.data;
    const uint64_t segmentEnd = e.unknownSize ? window.fileSize() : std::min(window.fileSize(), e.end());
    std::vector<std::pair<uint32_t, uint64_t>> seeks; // (element ID, position in the segment)
    std::set<uint64_t> visited;
    // FFmpeg reads at most 64 such elements (the rest it takes for circular seek heads).
    constexpr size_t kMostVisits = 64, kMostSeeks = 100000;
    auto visit = [&](uint64_t at, const Element& element) {
        if (element.id != kSeekHead && element.id != kTags) return;
        if (visited.size() >= kMostVisits || !visited.insert(at).second) return;
        if (element.id == kTags) {
            children(f, element, [&](const Element& tag) {
                if (tag.id == kTag) simpleTags(f, tag, count, 0);
                return !count.full();
            });
            return;
        }
        children(f, element, [&](const Element& seek) {
            if (seek.id != kSeek) return true;
            uint32_t id = 0;
            uint64_t position = UINT64_MAX;
            children(f, seek, [&](const Element& field) {
                if (field.id == kSeekID) id = uint32_t(unsignedValue(window, field));
                if (field.id == kSeekPosition) position = unsignedValue(window, field);
                return true;
            });
            if (position != UINT64_MAX) seeks.emplace_back(id, position);
            return seeks.size() < kMostSeeks;
        });
    };
    for (pos = segment; pos < segmentEnd && !count.full() && readElement(f, pos, e) && e.id != kCluster;
         pos = e.end()) {
        visit(pos, e);
        if (e.unknownSize) break;
    }
    for (size_t i = 0; i < seeks.size() && !count.full(); ++i) {
        const uint64_t at = seeks[i].second;
        if (at >= window.fileSize() - std::min(window.fileSize(), segment)) continue;
        if (readElement(f, segment + at, e) && e.id == seeks[i].first && !e.unknownSize) visit(segment + at, e);
    }
}

// ---- Files refused before -------------------------------------------------------------------------------------

struct Remembered {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    std::string why;
    bool everyReader; // refused to our own readers too, not only to FFmpeg
};

std::mutex refusedLock;
std::unordered_map<std::string, Remembered>& refused() {
    static std::unordered_map<std::string, Remembered> files;
    return files;
}

bool unchanged(const struct stat& st, const Remembered& r) {
    return st.st_dev == r.device && st.st_ino == r.inode && st.st_size == r.size &&
           st.st_mtim.tv_sec == r.modified.tv_sec && st.st_mtim.tv_nsec == r.modified.tv_nsec;
}

// The refusal remembered for the file as it is now that holds for `reader`; a changed file is forgotten.
Refusal recalled(const std::string& path, const struct stat& st, Reader reader) {
    std::lock_guard<std::mutex> guard(refusedLock);
    auto known = refused().find(path);
    if (known == refused().end()) return {};
    if (!unchanged(st, known->second)) {
        refused().erase(known);
        return {};
    }
    if (known->second.everyReader || reader == Reader::FFmpeg) return {known->second.why, true};
    return {};
}

// Remembers the refusal, unless one that holds as widely was remembered meanwhile (by another thread): then that one
// is returned, as said before.
Refusal rememberAs(const std::string& path, const struct stat& st, const std::string& why, bool everyReader) {
    std::lock_guard<std::mutex> guard(refusedLock);
    Remembered& r = refused()[path];
    if (!r.why.empty() && unchanged(st, r) && (r.everyReader || !everyReader)) return {r.why, true};
    r = Remembered{st.st_dev, st.st_ino, st.st_size, st.st_mtim, why, everyReader};
    return {why, false};
}

// Tags our own readers pass over: only the steps limit their count.
constexpr uint64_t kNoTagLimit = UINT64_MAX / 4;

Count countTags(const std::string& path, uint64_t limit) {
    Count count{limit};
    // Not blocking: a pipe put in the file's place must not hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return count;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        Window f(fd, uint64_t(st.st_size));
        const uint64_t pos = id3Tags(f, 0, count);
        const uint8_t* magic = count.full() ? nullptr : f.at(pos, 4);
        if (magic && memcmp(magic, "OggS", 4) == 0)
            oggComments(f, pos, count);
        else if (magic && memcmp(magic, "fLaC", 4) == 0)
            flacComments(f, pos, count);
        else if (magic && be32(magic) == kEbml)
            matroskaTags(f, pos, count);
    }
    ::close(fd);
    return count;
}

} // namespace

uint64_t tagsFiledAtOnce(const std::string& path, uint64_t limit) {
    return countTags(path, limit).n;
}

Refusal check(const std::string& path, Reader reader) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const Refusal known = recalled(path, st, reader);
    if (!known.why.empty()) return known;
    const Count count = countTags(path, reader == Reader::FFmpeg ? kMaxTags : kNoTagLimit);
    if (!count.full()) return {};
    if (count.spent)
        return rememberAs(path, st,
                          "its metadata takes more than " + std::to_string(Count::kMostSteps) +
                              " reads to walk, which would take too long",
                          true);
    return rememberAs(
        path, st, "it holds more than " + std::to_string(kMaxTags) + " tags, which would take too long to read", false);
}

bool refused(const std::string& path, Reader reader) {
    const Refusal refusal = check(path, reader);
    if (!refusal.why.empty() && !refusal.before)
        fprintf(stderr, "tarlume: refused \"%s\": %s\n", path.c_str(), refusal.why.c_str());
    return !refusal.why.empty();
}

void remember(const std::string& path, const std::string& why) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) rememberAs(path, st, why, false);
}

} // namespace OpenGuard
