// CPicture: the raster picture of the whole system (skin pictures, list boxes, rendered text,
// visuals, video frames, cover art). 4 bytes a pixel in memory order blue, green, red, alpha, rows
// top to bottom, with a transparency mode that chooses how the picture is blended when drawn.
//
// A picture is used by one thread at a time; nothing here locks. Loading may run on any thread
// (the skin loads windows on worker threads); the OpenGL operations belong to the thread that holds
// the GL context (platform/GL.h), and a texture released elsewhere is handed to that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BitmapContext;
// The 2D drawing context over a picture's own pixels (platform/BitmapContext.h).
typedef BitmapContext CGContext;
typedef BitmapContext* CGContextRef;

// The alpha class of a picture; selects the blending when it is drawn.
enum TRANSPARENCY_MODE {
    TRANSPARENCY_OPAQUE = 0,                 // alpha unused (may hold anything)
    TRANSPARENCY_ONOFF = 1,                  // every alpha is 0 or 255
    TRANSPARENCY_ALPHA = 2,                  // partial alpha, colours not premultiplied (loaders only)
    TRANSPARENCY_PREMULTIPLIED_INVERTED = 3, // premultiplied, alpha byte holds 255 - alpha (after loading)
    TRANSPARENCY_PREMULTIPLIED = 4,          // premultiplied, plain alpha (rendered text)
};

// Row flags, one per row.
enum { ROW_OPAQUE = 0, ROW_TRANSPARENT = 1, ROW_MIXED = 2 };

// Resampling filters of resize, resizeBest and resizeStatic.
enum { FILTER_BOX = 0, FILTER_BILINEAR = 1, FILTER_CUBIC = 2, FILTER_LANCZOS = 3 };

class CPicture {
public:
    // How the texture field is used: one GL texture, or the tiles hold row or column strips.
    enum TEXTURE_TILING { TILING_NONE = 0, TILING_ROWS = 1, TILING_COLUMNS = 2 };

    // Largest picture accepted by every loader and by create: a side of at most 16384 pixels and at
    // most 256 MiB of pixels (64 Mpixel). Larger requests leave the picture empty.
    static constexpr int kMaxSide = 16384;
    static constexpr size_t kDefaultMaxBytes = size_t(256) << 20;

    std::string fileName;            // the path given to the last load
    unsigned char* pixels = nullptr; // width * height * 4 bytes, B G R A, top row first
    uint32_t* rowFlags = nullptr;    // height entries: ROW_OPAQUE, ROW_TRANSPARENT or ROW_MIXED
    int width = 0;                   // pixels; 0 when empty
    int height = 0;                  // pixels; 0 when empty
    TRANSPARENCY_MODE transparencyMode = TRANSPARENCY_OPAQUE;
    std::string text;               // free for the picture's user
    unsigned int texture = 0;       // GL rectangle texture name, 0 when none
    unsigned textureGeneration = 0; // the GL context generation the texture belongs to (platform/GL.h)
    TEXTURE_TILING tiling = TILING_NONE;
    std::vector<std::unique_ptr<CPicture>> tiles; // strips when the picture exceeds the GL size limit
    // Deletes the context where its type is complete (PictureContext.cpp).
    struct ContextDeleter {
        void operator()(BitmapContext* context) const;
    };
    std::unique_ptr<BitmapContext, ContextDeleter> cgContext; // made on first request (getCGContextRef)
    bool cgContextMade = false;
    // Names the picture's content: changed by everything that may change the pixels or how they are
    // drawn (made, loaded, closed, drawn into, its context handed out, its texture dropped) and never
    // the same for two pictures, so that a drawing recorded with it shows the same while it stays.
    uint64_t serial = nextSerial();

    CPicture() = default;
    ~CPicture();
    CPicture(const CPicture&) = delete;
    CPicture& operator=(const CPicture&) = delete;

    // ---- Store and files ----------------------------------------------------------------------

    // Frees everything, then makes width x height pixels (each side at least 1), contents undefined,
    // every row flag ROW_MIXED, mode 0. False, and the picture left empty, when the size exceeds the
    // limit or memory runs out.
    bool create(int width, int height);
    // Frees pixels, row flags, the drawing context and the texture; the picture becomes empty.
    void close();
    // Loads by the path's extension (".jpg", "jpeg", ".bmp", ".gif", ".png", any letter case).
    // Another extension loads nothing and keeps what the picture held. Partially transparent
    // pictures end premultiplied in mode 3. True when a picture was loaded.
    bool load(const std::string& path);
    // A picture held in memory: "image/jpeg" or "image/jpg" only (any case); other types load nothing.
    bool loadMemory(const std::string& mimeType, const unsigned char* data, size_t size);

    // The readers behind load. Each makes the picture empty first (when the file can't be read too)
    // and leaves it in the reader's own mode (2 is not yet premultiplied: load does that).
    bool loadFromBMP(const std::string& path);
    bool loadFromJPG(const std::string& path);
    bool loadFromGIF(const std::string& path);
    bool loadFromPNG(const std::string& path);
    bool loadFromBMPMemory(const unsigned char* data, size_t size);
    bool loadFromJPGMemory(const unsigned char* data, size_t size);
    bool loadFromGIFMemory(const unsigned char* data, size_t size);
    bool loadFromPNGMemory(const unsigned char* data, size_t size);

    // The 2D drawing context over this picture's pixels, made on first use and kept until close.
    // Null for an empty picture.
    CGContextRef getCGContextRef();

    // ---- Copying, filling, scaling (software) -------------------------------------------------

    // A new picture (the caller owns it) of w x h holding a plain copy of this picture's block at (x, y),
    // in this picture's mode; what lies outside this picture is zero bytes. Null when the size is
    // refused.
    CPicture* copyArea(int x, int y, int w, int h) const;
    // Copies the clipped w x h block of src at (sx, sy) to (x, y) of dst, blended by src's mode.
    static void bitblt(CPicture* dst, int x, int y, int w, int h, CPicture* src, int sx, int sy);
    void bitblt(int x, int y, int w, int h, CPicture* src, int sx, int sy) { bitblt(this, x, y, w, h, src, sx, sy); }
    // Fills from (x1, y1) up to but not including (x2, y2), corners in any order, clipped. The
    // colour is 0x00BBGGRR; alpha goes to the alpha byte as given.
    void fillRectangle(int x1, int y1, int x2, int y2, unsigned int colour, unsigned char alpha);
    void fillRectangle(int x1, int y1, int x2, int y2, unsigned int colour) {
        fillRectangle(x1, y1, x2, y2, colour, 255);
    }
    // Fills target (already created at the wanted size) from source with a FILTER_*; the target
    // takes the source's mode.
    static void resizeStatic(CPicture* source, CPicture* target, int filter);
    // New pictures the caller deletes; sizes below 1 become 1. Empty when this picture is empty.
    CPicture* resize(int width, int height, int filter);
    // As resize, reducing strongly in two stages (a box reduction by a whole factor first).
    CPicture* resizeBest(int width, int height, int filter);

    // ---- OpenGL (thread holding the GL context) ---------------------------------------------

    // Uploads the pixels as a rectangle texture, or cuts the picture into strips when it exceeds
    // the GL size limit.
    void generateTextureGL();
    // Releases the texture or the strips; the next draw uploads again. Safe on any thread: off the
    // GL thread the texture name is handed to it for deletion.
    void destroyTextureGL();
    // Draws the clipped w x h block of src at (sx, sy) as a textured quad at (x, y) in the current
    // projection (origin top left, one unit a pixel); dst only gives the clipping size.
    static void bitbltGL(CPicture* dst, int x, int y, int w, int h, CPicture* src, int sx, int sy);
    void bitbltGL(int x, int y, int w, int h, CPicture* src, int sx, int sy) {
        bitbltGL(this, x, y, w, h, src, sx, sy);
    }

    // ---- Helpers shared by the readers ----------------------------------------------------------

    // True when a picture of that size is within the limit (sides 1..kMaxSide, bytes <= maxBytes()).
    static bool sizeAllowed(size_t width, size_t height);
    // The byte limit (default kDefaultMaxBytes). Tests and fuzzers lower it to keep inputs cheap.
    static size_t maxBytes();
    static void setMaxBytes(size_t bytes);

    // Sets the mode from the alphas: any alpha 1..254 gives 2, else any alpha 0 gives 1, else 0.
    // With setRowFlags, each row's flag is set from its alphas too.
    void classifyTransparency(bool setRowFlags);
    // Mode 2 -> mode 3: each colour becomes c * (a + 1) / 256 and the alpha byte 255 - a.
    void premultiply();

    unsigned char* pixelAt(int x, int y) { return pixels + (size_t(y) * size_t(width) + size_t(x)) * 4; }
    const unsigned char* pixelAt(int x, int y) const { return pixels + (size_t(y) * size_t(width) + size_t(x)) * 4; }
    size_t byteSize() const { return size_t(width) * size_t(height) * 4; }

    // A new content serial; any thread.
    static uint64_t nextSerial();
    void touch() { serial = nextSerial(); }

private:
    // The texture or strips released without the content changing (an upload making them again).
    void releaseTextureGL();
    static void drawRecordedGL(const void* picture, const int rect[6]);
    bool loadFile(const std::string& path, bool (CPicture::*reader)(const unsigned char*, size_t));
    void releaseContext();
};
