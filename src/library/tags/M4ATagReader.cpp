// MP4/M4A tags: the items under moov.udta.meta.ilst, walked in place inside the "moov" box.
#include <cstring>

#include "foundation/modTools.h"
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

namespace {

struct Span {
    const uint8_t* bytes = nullptr;
    size_t length = 0;
};

// The content of the first child box called `name` inside `parent`, skipping `skip` leading bytes
// (the version and flags of "meta"). Never reads past the parent's content.
bool findChild(Span parent, const char* name, size_t skip, Span& child) {
    size_t offset = skip;
    while (offset < parent.length && parent.length - offset >= 8) {
        const uint8_t* box = parent.bytes + offset;
        uint32_t size = readBE32(box);
        if (size >= 8 && size <= parent.length - offset) {
            if (memcmp(box + 4, name, 4) == 0) {
                child.bytes = box + 8;
                child.length = size - 8;
                return true;
            }
            offset += size;
        } else {
            offset += 8; // a size below the header or past the parent: step over the header only
        }
    }
    return false;
}

// The data of an item of the item list, without the "data" box's type and locale header.
// `type` receives the data box's type code (13 JPEG, 14 PNG, 1 UTF-8, ...).
std::string itemData(Span itemList, const char* name, uint32_t* type = nullptr) {
    Span item, data;
    if (!findChild(itemList, name, 0, item) || !findChild(item, "data", 0, data) || data.length < 8) return "";
    if (type) *type = readBE32(data.bytes) & 0xFFFFFF;
    return std::string(reinterpret_cast<const char*>(data.bytes) + 8, data.length - 8);
}

} // namespace

bool CID3v2Tag::readFromM4ATag(const std::string& filePath) {
    return readPath(filePath, &CID3v2Tag::readFromM4ATag);
}

bool CID3v2Tag::readFromM4ATag(ByteSource& source) {
    const uint64_t fileSize = source.size();
    std::string moov, header;
    for (uint64_t offset = 0; offset + 8 <= fileSize;) {
        source.readExact(offset, 8, header);
        uint32_t size = readBE32(bytesOf(header));
        // Sizes 0 (to the end) and 1 (64-bit) end the walk; an empty box (an 8-byte "free") is stepped over.
        if (size < 8) break;
        if (header.compare(4, 4, "moov") == 0) {
            source.readExact(offset + 8, size - 8, moov); // empty when the box passes the end of the file
            break;
        }
        offset += size;
    }
    // "meta" starts with 4 bytes of version and flags before its children.
    Span root{bytesOf(moov), moov.size()}, udta, meta, ilst;
    if (!findChild(root, "udta", 0, udta) || !findChild(udta, "meta", 0, meta) || !findChild(meta, "ilst", 4, ilst))
        return true;

    auto text = [&](const char* item, const char* id) {
        std::string value = itemData(ilst, item);
        if (!value.empty()) setFrame(id, value, 0);
    };
    text("\xA9nam", "TIT2");
    text("\xA9"
         "ART",
         "TPE1");
    text("\xA9wrt", "TCOM");
    text("\xA9"
         "alb",
         "TALB");
    text("\xA9gen", "TCON");
    std::string comment = itemData(ilst, "\xA9"
                                         "cmt");
    if (comment.empty()) comment = itemData(ilst, "desc");
    if (!comment.empty()) setFrame("COMM", comment, 0);
    std::string tempo = itemData(ilst, "tmpo");
    if (tempo.size() >= 2) setFrame("TBPM", intToStr(readBE16(bytesOf(tempo))), 0);
    std::string track = itemData(ilst, "trkn");
    if (track.size() >= 4) setFrame("TRCK", intToStr(readBE16(bytesOf(track) + 2)), 0);
    std::string year = itemData(ilst, "\xA9"
                                      "day");
    if (year.size() > 3) setFrame("TYER", year.substr(0, 4), 0);
    uint32_t type = 0;
    std::string cover = itemData(ilst, "covr", &type);
    if (!cover.empty()) {
        const char* mime = type == 14 ? "image/png" : "image/jpeg";
        setFrame("APIC", std::string(1, '\0') + mime + '\0' + '\x03' + "cover" + '\0' + cover, 0);
    }
    return true;
}
