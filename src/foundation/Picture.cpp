// The picture store, the BMP and JPEG readers, loading by extension and the alpha classification.
#include "foundation/Picture.h"

#include "foundation/jmemdatasrc.h"
#include "foundation/modTools.h"

#include <atomic>
#include <csetjmp>
#include <cstring>
#include <new>

#include <jerror.h>

namespace {

std::atomic<size_t> g_maxBytes{CPicture::kDefaultMaxBytes};

uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) {
    return uint16_t(p[0] | p[1] << 8);
}

} // namespace

// ---- Store ------------------------------------------------------------------------------------

CPicture::~CPicture() {
    close();
}

bool CPicture::sizeAllowed(size_t w, size_t h) {
    if (w < 1 || h < 1 || w > size_t(kMaxSide) || h > size_t(kMaxSide)) return false;
    return w * h * 4 <= maxBytes();
}

size_t CPicture::maxBytes() {
    return g_maxBytes.load(std::memory_order_relaxed);
}

void CPicture::setMaxBytes(size_t bytes) {
    g_maxBytes.store(bytes, std::memory_order_relaxed);
}

bool CPicture::create(int w, int h) {
    close();
    if (w < 1) w = 1;
    if (h < 1) h = 1;
    if (!sizeAllowed(size_t(w), size_t(h))) return false;
    unsigned char* p = new (std::nothrow) unsigned char[size_t(w) * size_t(h) * 4];
    uint32_t* flags = new (std::nothrow) uint32_t[size_t(h)];
    if (!p || !flags) {
        delete[] p;
        delete[] flags;
        return false;
    }
    pixels = p;
    rowFlags = flags;
    for (int y = 0; y < h; ++y)
        rowFlags[y] = ROW_MIXED;
    width = w;
    height = h;
    transparencyMode = TRANSPARENCY_OPAQUE;
    return true;
}

void CPicture::close() {
    releaseContext();
    destroyTextureGL();
    delete[] pixels;
    pixels = nullptr;
    delete[] rowFlags;
    rowFlags = nullptr;
    width = 0;
    height = 0;
    transparencyMode = TRANSPARENCY_OPAQUE;
}

void CPicture::classifyTransparency(bool setRowFlags) {
    bool anyZero = false, anyPartial = false;
    for (int y = 0; y < height; ++y) {
        const unsigned char* p = pixelAt(0, y);
        bool allOpaque = true, allClear = true;
        for (int x = 0; x < width; ++x, p += 4) {
            unsigned char a = p[3];
            if (a != 255) allOpaque = false;
            if (a != 0) allClear = false;
        }
        if (!allOpaque) {
            if (allClear) {
                anyZero = true;
            } else {
                // Mixed row: look closer only when the answer can still change.
                if (!anyPartial || !anyZero) {
                    p = pixelAt(0, y);
                    for (int x = 0; x < width; ++x, p += 4) {
                        if (p[3] == 0)
                            anyZero = true;
                        else if (p[3] != 255)
                            anyPartial = true;
                    }
                }
            }
        }
        if (setRowFlags) rowFlags[y] = allOpaque ? ROW_OPAQUE : allClear ? ROW_TRANSPARENT : ROW_MIXED;
    }
    transparencyMode = anyPartial ? TRANSPARENCY_ALPHA : anyZero ? TRANSPARENCY_ONOFF : TRANSPARENCY_OPAQUE;
    touch();
}

void CPicture::premultiply() {
    size_t n = size_t(width) * size_t(height);
    unsigned char* p = pixels;
    for (size_t i = 0; i < n; ++i, p += 4) {
        unsigned a1 = unsigned(p[3]) + 1;
        p[0] = (unsigned char)((p[0] * a1) >> 8);
        p[1] = (unsigned char)((p[1] * a1) >> 8);
        p[2] = (unsigned char)((p[2] * a1) >> 8);
        p[3] = (unsigned char)(255 - p[3]);
    }
    transparencyMode = TRANSPARENCY_PREMULTIPLIED_INVERTED;
    touch();
}

// ---- Loading by extension -----------------------------------------------------------------------

bool CPicture::load(const std::string& path) {
    fileName = path;
    if (path.size() < 4) return false;
    std::string ext = strtolower(path.substr(path.size() - 4));
    bool loaded;
    if (ext == ".jpg" || ext == "jpeg")
        loaded = loadFromJPG(path);
    else if (ext == ".bmp")
        loaded = loadFromBMP(path);
    else if (ext == ".gif")
        loaded = loadFromGIF(path);
    else if (ext == ".png")
        loaded = loadFromPNG(path);
    else
        return false;
    if (transparencyMode == TRANSPARENCY_ALPHA) premultiply();
    return loaded;
}

bool CPicture::loadMemory(const std::string& mimeType, const unsigned char* data, size_t size) {
    std::string type = strtolower(mimeType);
    if (type != "image/jpeg" && type != "image/jpg") return false;
    bool loaded = loadFromJPGMemory(data, size);
    if (transparencyMode == TRANSPARENCY_ALPHA) premultiply();
    return loaded;
}

// Reads the whole file and hands it to a memory reader. The picture is emptied first, so a file
// that can't be read leaves it empty like a file that can't be decoded.
bool CPicture::loadFile(const std::string& path, bool (CPicture::*reader)(const unsigned char*, size_t)) {
    close();
    uint64_t size = 0;
    FILE* f = fileOpen(path, "rb", &size);
    if (!f) return false;
    // No picture file within the size limit is larger than twice its pixels (stored PNG blocks,
    // BMP padding): refuse anything bigger before allocating.
    if (size > uint64_t(maxBytes()) * 2 + (1u << 20)) {
        fclose(f);
        return false;
    }
    std::vector<unsigned char> data;
    try {
        data.resize(size_t(size));
    } catch (const std::bad_alloc&) {
        fclose(f);
        return false;
    }
    size_t got = size ? fread(data.data(), 1, data.size(), f) : 0;
    fclose(f);
    return (this->*reader)(data.data(), got);
}

bool CPicture::loadFromBMP(const std::string& path) {
    return loadFile(path, &CPicture::loadFromBMPMemory);
}
bool CPicture::loadFromJPG(const std::string& path) {
    return loadFile(path, &CPicture::loadFromJPGMemory);
}
bool CPicture::loadFromGIF(const std::string& path) {
    return loadFile(path, &CPicture::loadFromGIFMemory);
}
bool CPicture::loadFromPNG(const std::string& path) {
    return loadFile(path, &CPicture::loadFromPNGMemory);
}

// ---- BMP ------------------------------------------------------------------------------------------

bool CPicture::loadFromBMPMemory(const unsigned char* data, size_t size) {
    close();
    constexpr size_t kHeaders = 14 + 40;
    if (!data || size < kHeaders) return false;
    if (data[0] != 'B' || data[1] != 'M') return false;
    size_t offset = le32(data + 10);
    if (le32(data + 14) != 40) return false;
    int64_t w = int32_t(le32(data + 18));
    int64_t h = int32_t(le32(data + 22));
    unsigned bits = le16(data + 28);
    uint32_t compression = le32(data + 30);
    // Width <= 0 and height 0 have no picture; a pixel offset inside the headers is corrupt.
    if (w <= 0 || h == 0 || offset < kHeaders) return false;
    bool topDown = h < 0; // negative height: rows stored top row first
    if (topDown) h = -h;

    bool rgb = (bits == 24 || bits == 32) && compression == 0;
    bool rle8 = bits == 8 && compression == 1 && !topDown; // RLE is bottom-up by definition
    if (!rgb && !rle8) return false;
    if (!sizeAllowed(size_t(w), size_t(h)) || !create(int(w), int(h))) return false;
    std::memset(pixels, 0, byteSize()); // a short file leaves zeros, never stale memory

    if (rgb) {
        size_t bpp = bits / 8;
        size_t rowBytes = (size_t(w) * bpp + 3) & ~size_t(3);
        size_t pos = offset;
        for (int64_t r = 0; r < h && pos < size; ++r, pos += rowBytes) {
            int y = int(topDown ? r : h - 1 - r);
            size_t avail = size - pos < rowBytes ? size - pos : rowBytes;
            size_t count = avail / bpp < size_t(w) ? avail / bpp : size_t(w);
            const unsigned char* s = data + pos;
            unsigned char* d = pixelAt(0, y);
            if (bpp == 4) {
                std::memcpy(d, s, count * 4);
            } else {
                for (size_t x = 0; x < count; ++x, s += 3, d += 4) {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    d[3] = 255;
                }
            }
        }
        if (bits == 32) {
            classifyTransparency(false);
            // Many writers leave the fourth byte "reserved" at 0: such a picture is meant opaque.
            if (transparencyMode == TRANSPARENCY_ONOFF) {
                bool allZero = true;
                size_t n = size_t(w) * size_t(h);
                for (size_t i = 0; i < n && allZero; ++i)
                    allZero = pixels[i * 4 + 3] == 0;
                if (allZero) {
                    for (size_t i = 0; i < n; ++i)
                        pixels[i * 4 + 3] = 255;
                    transparencyMode = TRANSPARENCY_OPAQUE;
                }
            }
        }
        return true;
    }

    // RLE8: the palette lies between the headers and the pixel data (at most 256 entries of
    // blue, green, red, reserved); entries the file does not hold stay zero.
    unsigned char palette[256 * 4] = {};
    size_t paletteEnd = offset < size ? offset : size;
    size_t paletteBytes = paletteEnd - kHeaders;
    if (paletteBytes > sizeof(palette)) paletteBytes = sizeof(palette);
    std::memcpy(palette, data + kHeaders, paletteBytes);

    // Every write is checked against the picture: runs, deltas and line ends may point anywhere.
    int64_t x = 0, y = h - 1;
    auto put = [&](unsigned index) {
        if (x >= 0 && x < w && y >= 0 && y < h) std::memcpy(pixelAt(int(x), int(y)), palette + index * 4, 4);
        ++x;
    };
    size_t pos = offset;
    while (pos + 1 < size) {
        unsigned count = data[pos++];
        unsigned code = data[pos++];
        if (count > 0) {
            for (unsigned i = 0; i < count; ++i)
                put(code);
        } else if (code == 0) { // end of line
            x = 0;
            --y;
        } else if (code == 1) { // end of bitmap
            break;
        } else if (code == 2) { // delta: right and up
            if (pos + 1 >= size) break;
            x += data[pos];
            y -= data[pos + 1];
            pos += 2;
        } else { // absolute run of `code` indices, padded to an even length
            for (unsigned i = 0; i < code && pos < size; ++i)
                put(data[pos++]);
            if (code & 1) ++pos;
        }
    }
    return true;
}

// ---- JPEG -------------------------------------------------------------------------------------------

namespace {

// libjpeg's own error handler ends the process: this one jumps back to the decoder instead.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}
void jpegOutputMessage(j_common_ptr) {} // warnings of damaged files are not ours to print

// Each scan of a progressive file passes over the whole picture again, so a small file of
// thousands of tiny scans would keep the decoder busy for minutes. Real files have a dozen or two.
constexpr int kMaxScans = 100;

void jpegProgress(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) {
        cinfo->err->msg_code = JERR_NOT_COMPILED; // any code: the handler only jumps back
        (*cinfo->err->error_exit)(cinfo);
    }
}

// Kept free of objects with destructors: a libjpeg error long-jumps back into it.
bool decodeJpeg(CPicture* picture, const unsigned char* data, size_t size) {
    jpeg_decompress_struct cinfo;
    JpegErrorManager err;
    jpeg_progress_mgr progress{};
    unsigned char* volatile line = nullptr;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = jpegErrorExit;
    err.pub.output_message = jpegOutputMessage;
    progress.progress_monitor = jpegProgress;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        delete[] line;
        picture->close();
        return false;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &progress;
    jpeg_memory_src(&cinfo, data, size);
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK ||
        !CPicture::sizeAllowed(cinfo.image_width, cinfo.image_height)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    // Grey and colour pictures decode straight into the picture as blue, green, red, 255. Other
    // colour spaces (CMYK, or channels of no known space) show their first component as grey.
    J_COLOR_SPACE space = cinfo.jpeg_color_space;
    bool direct = space == JCS_GRAYSCALE || space == JCS_YCbCr || space == JCS_RGB;
    if (direct) cinfo.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&cinfo);
    if (!picture->create(int(cinfo.output_width), int(cinfo.output_height)) ||
        picture->width != int(cinfo.output_width) || picture->height != int(cinfo.output_height)) {
        jpeg_destroy_decompress(&cinfo);
        picture->close();
        return false;
    }
    int components = cinfo.output_components;
    if (!direct) line = new (std::nothrow) unsigned char[size_t(cinfo.output_width) * size_t(components)];
    if (!direct && !line) {
        jpeg_destroy_decompress(&cinfo);
        picture->close();
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        int y = int(cinfo.output_scanline);
        unsigned char* row = picture->pixelAt(0, y);
        JSAMPROW target = direct ? row : line;
        if (jpeg_read_scanlines(&cinfo, &target, 1) != 1) break;
        if (!direct) {
            const unsigned char* s = line;
            for (int x = 0; x < picture->width; ++x, s += components, row += 4) {
                row[0] = row[1] = row[2] = s[0];
                row[3] = 255;
            }
        }
    }
    // Rows a broken stream never delivered stay black rather than undefined.
    if (cinfo.output_scanline < cinfo.output_height) {
        size_t done = cinfo.output_scanline;
        std::memset(picture->pixelAt(0, int(done)), 0, (size_t(picture->height) - done) * size_t(picture->width) * 4);
    }
    jpeg_destroy_decompress(&cinfo);
    delete[] line;
    picture->transparencyMode = TRANSPARENCY_OPAQUE;
    return true;
}

} // namespace

bool CPicture::loadFromJPGMemory(const unsigned char* data, size_t size) {
    close();
    if (!data || size == 0) return false;
    return decodeJpeg(this, data, size);
}
