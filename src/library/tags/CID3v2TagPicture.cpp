// The record's cover picture: embedded "APIC" bytes, else a picture file beside the audio file.
#include <algorithm>
#include <cmath>

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "library/tags/CID3v2Tag.h"

namespace {

// Decodes an attached-picture frame (encoding, MIME, 0, picture type, description, terminator,
// bytes). A missing MIME or description terminator means there is no picture to decode.
void loadAttachedPicture(CPicture& picture, const std::string& apic) {
    if (apic.empty()) return;
    size_t mimeEnd = apic.find('\0', 1);
    if (mimeEnd == std::string::npos || mimeEnd + 2 > apic.size()) return;
    std::string mime = apic.substr(1, mimeEnd - 1);
    size_t description = mimeEnd + 2; // behind the picture-type byte
    int encoding = uint8_t(apic[0]);
    size_t bytes;
    if (encoding == 1 || encoding == 2) {
        // UTF-16: the terminator is a whole 00 00 unit; "41 00|00 00" ends at the second pair.
        size_t at = description;
        while (at + 1 < apic.size() && !(apic[at] == 0 && apic[at + 1] == 0))
            at += 2;
        if (at + 1 >= apic.size()) return;
        bytes = at + 2;
    } else {
        size_t at = apic.find('\0', description);
        if (at == std::string::npos) return;
        bytes = at + 1;
    }
    auto* data = reinterpret_cast<const unsigned char*>(apic.data()) + bytes;
    size_t count = apic.size() - bytes;
    // FLAC and MP4 covers are often PNG, which the memory loader leaves to its own reader.
    if (strtolower(mime) == "image/png") {
        if (picture.loadFromPNGMemory(data, count) && picture.transparencyMode == TRANSPARENCY_ALPHA)
            picture.premultiply();
    } else {
        picture.loadMemory(mime, data, count);
    }
}

} // namespace

CPicture* CID3v2Tag::getPicture(int maxWidth, int maxHeight, const std::string& /*text*/) {
    auto* picture = new CPicture;
    if (const std::string* apic = getFrame("APIC", true)) loadAttachedPicture(*picture, *apic);
    if (picture->width == 0 && path.size() >= 3) {
        std::string stem = path.substr(0, path.size() - 3);
        for (const char* ext : {"jpg", "JPG", "jpeg", "JPEG", "gif", "GIF", "png", "PNG", "bmp", "BMP"}) {
            if (!FileExist(stem + ext)) continue;
            picture->load(stem + ext);
            break;
        }
    }
    if (picture->width <= maxWidth && picture->height <= maxHeight) return picture;
    if (maxWidth <= 0 || maxHeight <= 0) return picture;
    double scale = std::min(double(maxWidth) / picture->width, double(maxHeight) / picture->height);
    // A very long side must not reduce the other one to nothing.
    int width = std::max(1, int(std::trunc(picture->width * scale)));
    int height = std::max(1, int(std::trunc(picture->height * scale)));
    CPicture* scaled = picture->resizeBest(width, height, FILTER_CUBIC);
    delete picture;
    return scaled;
}
