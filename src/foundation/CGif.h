// CGif: reads a GIF file (GIF87a or GIF89a blocks) into 8-bit palette indices of its last image,
// with the palette and the graphic-control data of its images. CPicture::loadFromGIF turns the
// result into a 32-bit picture with colour-key transparency.
//
// All state belongs to one CGif: two threads decode two files at once (skin windows load on two
// worker threads). Every length, code and position read from the file is checked. Only the last
// image is decompressed: the ones before it would be thrown away, and a small file of many large
// empty images would otherwise cost a zeroed bitmap each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Graphic control record of one image.
struct framecontrolblock {
    int disposalMethod = 0; // bits 2-4 of the packed byte
    int delay = 0;          // hundredths of a second
    bool userInput = false;
    bool transparent = false;
    int transparentIndex = 0;
    // The transparent index's colour, filled from the image's palette.
    unsigned char transparentRed = 0, transparentGreen = 0, transparentBlue = 0;
};

struct imagedescriptorblock {
    int left = 0, top = 0, width = 0, height = 0; // pixels, on the logical screen
    bool localColorTable = false;
    bool interlace = false;
    bool sort = false;
    int localTableSize = 0; // entries
};

// One image's bitmap header and palette (entries blue, green, red, 0).
struct GifBitmapInfo {
    int width = 0, height = 0;
    int bitCount = 8;
    int colorCount = 0;
    unsigned char palette[256][4] = {};
};

// The bit reader over an image's data sub-blocks: codes of `width` bits, least significant first.
class GifCodeStripper {
public:
    GifCodeStripper(const unsigned char* data, size_t size, size_t& pos) : data_(data), size_(size), pos_(pos) {}
    // The next code, or -1 at a zero-length sub-block or the end of the file.
    int next(int width);

private:
    bool nextByte(unsigned& byte);
    const unsigned char* data_;
    size_t size_;
    size_t& pos_;        // file position, advanced as bytes are taken
    unsigned left_ = 0;  // bytes left in the current sub-block
    uint32_t bits_ = 0;  // pending bits, least significant first
    int bitCount_ = 0;   // how many
    bool ended_ = false; // the terminator (or the end of the file) was read
};

class CGif {
public:
    // Decodes the whole file; a file that can't be opened gives an empty result.
    explicit CGif(const std::string& path);
    CGif(const unsigned char* data, size_t size);

    // True when at least one image was decoded.
    bool hasImage() const { return !bits.empty(); }

    // Logical screen, each side raised to the largest image met.
    int screenWidth = 0, screenHeight = 0;
    bool globalColorTable = false;
    int colorResolution = 0;
    bool sortFlag = false;
    int globalTableSize = 0; // entries

    // The current palette (entries red, green, blue, 0; 256, zero beyond the table) and its size.
    unsigned char palette[256][4] = {};
    int paletteEntries = 0;

    // Per image with pixels, in order: its descriptor and graphic control; the bitmap header with
    // the palette of the last one.
    std::vector<imagedescriptorblock> images;
    std::vector<framecontrolblock> frameControls;
    GifBitmapInfo bitmapInfo;

    // The last image's palette indices: rows bottom-up (the first stored row is the image's last),
    // each row padded to a multiple of 4 bytes; indices the data did not reach are 0.
    std::vector<unsigned char> bits;
    int bitsWidth = 0, bitsHeight = 0;

private:
    void read(const unsigned char* data, size_t size);
    void readImage(const unsigned char* data, size_t size, size_t& pos);
    framecontrolblock attachControl();
    // Decodes the LZW data at `pos` (the minimum code size) into `out`; false when memory runs out.
    static bool decodeImage(const unsigned char* data, size_t size, size_t pos, const imagedescriptorblock& d,
                            std::vector<unsigned char>& out);

    std::vector<framecontrolblock> pending_; // graphic-control records not yet attached
    int defaultDelay_ = 10;
    bool havePalette_ = false;
    size_t lastImageData_ = 0; // file position of the last image's minimum code size

};
