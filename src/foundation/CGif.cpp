// GIF decoding, and a GIF file into a picture.
#include "foundation/CGif.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"

#include <cstring>
#include <new>

namespace {

constexpr int kMaxCodes = 4096; // LZW codes are at most 12 bits

unsigned le16(const unsigned char* p) {
    return unsigned(p[0]) | unsigned(p[1]) << 8;
}

// Skips data sub-blocks up to and including the zero-length terminator (or the end of the file).
void skipSubBlocks(const unsigned char* data, size_t size, size_t& pos) {
    while (pos < size) {
        unsigned n = data[pos++];
        if (n == 0) return;
        pos = size - pos < n ? size : pos + n;
    }
}

} // namespace

// ---- Code stripper ---------------------------------------------------------------------------------

bool GifCodeStripper::nextByte(unsigned& byte) {
    if (ended_) return false;
    if (left_ == 0) {
        if (pos_ >= size_) {
            ended_ = true;
            return false;
        }
        left_ = data_[pos_++];
        if (left_ == 0) { // the terminator
            ended_ = true;
            return false;
        }
    }
    if (pos_ >= size_) {
        ended_ = true;
        return false;
    }
    byte = data_[pos_++];
    --left_;
    return true;
}

int GifCodeStripper::next(int width) {
    while (bitCount_ < width) {
        unsigned byte;
        if (!nextByte(byte)) return -1;
        bits_ |= uint32_t(byte) << bitCount_;
        bitCount_ += 8;
    }
    int code = int(bits_ & ((1u << width) - 1));
    bits_ >>= width;
    bitCount_ -= width;
    return code;
}

// ---- Decoder ------------------------------------------------------------------------------------------

CGif::CGif(const std::string& path) {
    std::string file = readFileContents(path);
    read(reinterpret_cast<const unsigned char*>(file.data()), file.size());
}

CGif::CGif(const unsigned char* data, size_t size) {
    if (data) read(data, size);
}

void CGif::read(const unsigned char* data, size_t size) {
    // Signature and version (6 bytes, not checked), then the logical screen descriptor.
    if (size < 13) return;
    screenWidth = int(le16(data + 6));
    screenHeight = int(le16(data + 8));
    unsigned packed = data[10];
    globalColorTable = (packed & 0x80) != 0;
    colorResolution = int((packed >> 4) & 7) + 1;
    sortFlag = (packed & 0x08) != 0;
    globalTableSize = 2 << (packed & 7);
    size_t pos = 13;
    if (globalColorTable) {
        for (int i = 0; i < globalTableSize; ++i, pos += 3) {
            if (pos + 3 > size) break; // a short table stays zero
            palette[i][0] = data[pos];
            palette[i][1] = data[pos + 1];
            palette[i][2] = data[pos + 2];
        }
        paletteEntries = globalTableSize;
        havePalette_ = true;
    }

    try {
        while (pos < size) {
            unsigned introducer = data[pos++];
            if (introducer == 0x3B) break; // the trailer: whatever follows is not part of the picture
            if (introducer == 0x21) {
                if (pos >= size) break;
                unsigned label = data[pos++];
                if (label == 0xF9 && pos < size) {
                    // Graphic control: a sized block (4 bytes in every known writer), then sub-blocks.
                    unsigned n = data[pos++];
                    if (n >= 4 && size - pos >= 4) {
                        framecontrolblock c;
                        unsigned flags = data[pos];
                        c.disposalMethod = int((flags >> 2) & 7);
                        c.userInput = (flags & 2) != 0;
                        c.transparent = (flags & 1) != 0;
                        c.delay = int(le16(data + pos + 1));
                        c.transparentIndex = data[pos + 3];
                        pending_.push_back(c);
                    }
                    pos = size - pos < n ? size : pos + n;
                }
                skipSubBlocks(data, size, pos);
            } else if (introducer == 0x2C) {
                readImage(data, size, pos);
            }
            // Any other byte is passed over.
        }
    } catch (const std::bad_alloc&) {
        // The records of a file too large for memory: no picture rather than a part of one.
        images.clear();
        frameControls.clear();
        return;
    }
    if (!images.empty() && decodeImage(data, size, lastImageData_, images.back(), bits)) {
        bitsWidth = images.back().width;
        bitsHeight = images.back().height;
    }
}

framecontrolblock CGif::attachControl() {
    framecontrolblock c;
    if (pending_.size() == 1) {
        c = pending_[0];
    } else if (!pending_.empty()) {
        c = pending_[0];
        for (const framecontrolblock& p : pending_) {
            if (p.delay != 0) {
                c = p;
                break;
            }
        }
    }
    pending_.clear();
    if (c.delay < 2)
        c.delay = defaultDelay_;
    else
        defaultDelay_ = c.delay;
    return c;
}

void CGif::readImage(const unsigned char* data, size_t size, size_t& pos) {
    framecontrolblock control = attachControl();
    if (size - pos < 9) {
        pos = size;
        return;
    }
    imagedescriptorblock d;
    d.left = int(le16(data + pos));
    d.top = int(le16(data + pos + 2));
    d.width = int(le16(data + pos + 4));
    d.height = int(le16(data + pos + 6));
    unsigned packed = data[pos + 8];
    pos += 9;
    d.localColorTable = (packed & 0x80) != 0;
    d.interlace = (packed & 0x40) != 0;
    d.sort = (packed & 0x20) != 0;
    if (d.localColorTable) {
        // The local table replaces the palette, for this image and the ones after it.
        d.localTableSize = 2 << (packed & 7);
        std::memset(palette, 0, sizeof(palette));
        for (int i = 0; i < d.localTableSize; ++i, pos += 3) {
            if (pos + 3 > size) {
                pos = size;
                break;
            }
            palette[i][0] = data[pos];
            palette[i][1] = data[pos + 1];
            palette[i][2] = data[pos + 2];
        }
        paletteEntries = d.localTableSize;
        havePalette_ = true;
    }
    // Without any colour table there is nothing to show; a zero-sized image has no pixels.
    if (!havePalette_ || d.width == 0 || d.height == 0) {
        if (pos < size) ++pos; // the minimum code size, then the data
        skipSubBlocks(data, size, pos);
        return;
    }

    if (control.transparent && control.transparentIndex >= paletteEntries) control.transparent = false;
    if (control.transparent) {
        unsigned char* entry = palette[control.transparentIndex];
        if (entry[0] == 0 && entry[1] == 0 && entry[2] == 0) {
            // A transparent black gets a red no entry has, so it can't be mistaken for real black.
            int r = 1;
            for (; r < 255; ++r) {
                bool used = false;
                for (int i = 0; i < paletteEntries && !used; ++i)
                    used = palette[i][0] == r && palette[i][1] == 0 && palette[i][2] == 0;
                if (!used) break;
            }
            entry[0] = (unsigned char)r;
        }
        control.transparentRed = entry[0];
        control.transparentGreen = entry[1];
        control.transparentBlue = entry[2];
    }

    // Code sizes outside 1..8 don't exist for 8-bit indices, and pictures beyond the size limit
    // are refused: such images are dropped. The data are decompressed only for the last image.
    int m = pos < size ? data[pos] : 0;
    size_t dataStart = pos;
    if (pos < size) ++pos;
    skipSubBlocks(data, size, pos);
    if (m < 1 || m > 8 || !CPicture::sizeAllowed(size_t(d.width), size_t(d.height))) return;

    bitmapInfo.width = d.width;
    bitmapInfo.height = d.height;
    bitmapInfo.colorCount = paletteEntries;
    for (int i = 0; i < 256; ++i) {
        bitmapInfo.palette[i][0] = palette[i][2];
        bitmapInfo.palette[i][1] = palette[i][1];
        bitmapInfo.palette[i][2] = palette[i][0];
    }
    images.push_back(d);
    frameControls.push_back(control);
    lastImageData_ = dataStart;
    if (d.width > screenWidth) screenWidth = d.width;
    if (d.height > screenHeight) screenHeight = d.height;
}

bool CGif::decodeImage(const unsigned char* data, size_t size, size_t pos, const imagedescriptorblock& d,
                       std::vector<unsigned char>& out) {
    int m = data[pos++]; // 1..8, checked when the image was read
    GifCodeStripper codes(data, size, pos);
    const size_t w = size_t(d.width), h = size_t(d.height);
    const size_t stride = (w + 3) & ~size_t(3);
    try {
        out.assign(stride * h, 0);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }

    // Pixel position: row and column of the image, with the interlace pass.
    static const size_t passStart[4] = {0, 4, 2, 1}, passStep[4] = {8, 8, 4, 2};
    size_t row = 0, col = 0, written = 0;
    int pass = 0;
    const size_t total = w * h;
    auto put = [&](unsigned char index) -> bool {
        out[(h - 1 - row) * stride + col] = index;
        ++written;
        if (++col < w) return written < total;
        col = 0;
        if (!d.interlace) {
            ++row;
        } else {
            row += passStep[pass];
            while (row >= h && ++pass < 4)
                row = passStart[pass];
            if (pass >= 4) return false; // the last pass is over
        }
        return written < total && row < h;
    };

    // LZW string table: each code is a prefix code plus one index; strings are unwound backwards.
    uint16_t prefix[kMaxCodes];
    unsigned char suffix[kMaxCodes];
    unsigned char first[kMaxCodes]; // the first index of each code's string
    unsigned char stack[kMaxCodes];
    const int clear = 1 << m, end = clear + 1;
    for (int i = 0; i < clear; ++i) {
        prefix[i] = 0;
        suffix[i] = first[i] = (unsigned char)i;
    }
    int width = m + 1, next = clear + 2, prev = -1;
    bool afterClear = false;

    auto emit = [&](int code) -> bool {
        int n = 0;
        while (code >= clear) { // codes in the table always lead back to a root within 4096 steps
            stack[n++] = suffix[code];
            code = prefix[code];
        }
        stack[n++] = (unsigned char)code;
        while (n > 0)
            if (!put(stack[--n])) return false;
        return true;
    };

    for (;;) {
        int code = codes.next(width);
        if (code < 0 || code == end) break; // data that end early end the image
        if (code == clear) {
            width = m + 1;
            next = clear + 2;
            prev = -1;
            afterClear = true;
            continue;
        }
        if (prev < 0) {
            // The first code is a root. Beyond the table right after a clear it counts as index 0;
            // at the start of a stream without a clear it ends the image.
            if (code > end) {
                if (!afterClear) break;
                code = 0;
            }
            if (code >= clear) break;
            if (!put((unsigned char)code)) break;
            prev = code;
            continue;
        }
        // A known code adds the previous string plus its first index; the code just being
        // defined (the special case) is the previous string plus its own first index.
        if (code > next || (code == next && next >= kMaxCodes)) break; // beyond the table
        if (next < kMaxCodes) {
            prefix[next] = uint16_t(prev);
            suffix[next] = first[code < next ? code : prev];
            first[next] = first[prev];
            ++next;
            if (next == (1 << width) && width < 12) ++width;
        }
        if (!emit(code)) break;
        prev = code;
    }
    return true;
}

// ---- Into a picture --------------------------------------------------------------------------------

bool CPicture::loadFromGIFMemory(const unsigned char* data, size_t size) {
    close();
    CGif gif(data, size);
    if (!gif.hasImage() || !create(gif.screenWidth, gif.screenHeight)) return false;
    // The screen outside the image is transparent.
    std::memset(pixels, 0, byteSize());
    const imagedescriptorblock& d = gif.images.back();
    const framecontrolblock& control = gif.frameControls.back();
    const GifBitmapInfo& info = gif.bitmapInfo;
    const size_t stride = (size_t(gif.bitsWidth) + 3) & ~size_t(3);
    bool anyClear = d.left > 0 || d.top > 0 || d.left + d.width < width || d.top + d.height < height;
    for (int y = 0; y < gif.bitsHeight && d.top + y < height; ++y) {
        const unsigned char* row = &gif.bits[size_t(gif.bitsHeight - 1 - y) * stride];
        unsigned char* p = pixelAt(0, d.top + y);
        for (int x = 0; x < gif.bitsWidth && d.left + x < width; ++x) {
            unsigned index = row[x];
            unsigned char* q = p + size_t(d.left + x) * 4;
            q[0] = info.palette[index][0];
            q[1] = info.palette[index][1];
            q[2] = info.palette[index][2];
            // Keyed on the index, so an opaque entry of the same colour stays opaque.
            bool clear = control.transparent && int(index) == control.transparentIndex;
            q[3] = clear ? 0 : 255;
            anyClear = anyClear || clear;
        }
    }
    transparencyMode = anyClear ? TRANSPARENCY_ONOFF : TRANSPARENCY_OPAQUE;
    return true;
}
