// The PNG decoder: a chunk reader with its own inflate, handing every decompressed byte to output
// hooks, and the raw decoder that builds an 8-bit RGBA image from them. No image or compression
// library is used.
//
// Errors are reported with puts on standard output, in the decoder's own words. All state belongs
// to one decoder object: two threads decode two files at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// IHDR.
struct PngHeader {
    uint32_t width = 0, height = 0; // pixels
    uint8_t bitDepth = 0, colorType = 0, compressionMethod = 0, filterMethod = 0, interlaceMethod = 0;
};

// PLTE: up to 256 entries of red, green, blue.
struct PngPalette {
    int entries = 0;
    unsigned char colours[256][3] = {};
};

// tRNS: the transparent grey or RGB sample (16-bit values, matched only when given) for colour
// types 0 and 2; one alpha per palette index for type 3 (255 where the chunk gives none).
struct PngTransparency {
    bool hasGrey = false, hasRGB = false;
    uint16_t grey = 0, red = 0, green = 0, blue = 0;
    unsigned char alpha[256];
    PngTransparency() {
        for (unsigned char& a : alpha)
            a = 255;
    }
};

class GenericPngDecoder {
public:
    virtual ~GenericPngDecoder() = default;

    // 1 when the image data were decoded (a truncated or damaged stream decodes what it holds),
    // -1 when the file can't be read, has no PNG signature, no header or a bad palette, or the
    // output refused the image.
    int Decode(const std::string& path);
    int DecodeMemory(const unsigned char* data, size_t size);

    // Output hooks: 1 to go on. The base versions do nothing and return 1.
    virtual int PrepareOutput() { return 1; }
    virtual int Output(unsigned char) { return 1; }
    virtual int EndOutput() { return 1; }
    // Many bytes at once; by default one Output call each. Overridden where bulk is faster.
    virtual int OutputBytes(const unsigned char* bytes, size_t count);

    PngHeader header;
    bool haveHeader = false;
    PngPalette palette;
    PngTransparency transparency;
    uint32_t gamma = 100000; // gamma x 100000, stored but not applied
};

// A canonical Huffman code of deflate: a lookup table for codes of up to 9 bits and a walk over
// the code lengths for longer ones.
class PngHuffmanTree {
public:
    // False when the lengths over-subscribe the code space, or leave it incomplete where that
    // is not allowed (allowIncomplete: a set of no codes or a single 1-bit code).
    bool build(const uint8_t* lengths, int count, bool allowIncomplete);

    static constexpr int kFastBits = 11;
    struct Entry {
        uint16_t symbol;
        uint8_t length; // 0: longer than kFastBits, or no code
    };
    Entry fast[1 << kFastBits];
    uint16_t counts[16];   // codes of each length
    uint16_t symbols[288]; // symbols in canonical order
};

// Inflate (zlib wrapper, deflate blocks) into the decoder's Output hooks through a 32 KiB window.
class PngUncompressor {
public:
    explicit PngUncompressor(GenericPngDecoder& output) : output_(output) {}
    // 1 when a final block was decoded, 0 when decoding stopped earlier (the bytes decoded up to
    // there have been output).
    int Uncompress(size_t size, const unsigned char* data);

private:
    GenericPngDecoder& output_;
};

// Builds the image as width x height x 4 bytes red, green, blue, alpha, rows top-down, zero where
// the data did not reach.
class RawPngDecoder : public GenericPngDecoder {
public:
    ~RawPngDecoder() override;
    int PrepareOutput() override;
    int Output(unsigned char byte) override { return OutputBytes(&byte, 1); }
    int EndOutput() override;
    int OutputBytes(const unsigned char* bytes, size_t count) override;

    int width = 0, height = 0;       // of the result, pixels
    unsigned char* result = nullptr; // new[]-allocated; owned until takeResult
    // Hands the result over (the caller delete[]s it).
    unsigned char* takeResult();

private:
    void startPass();
    void finishRow(size_t bytes);
    void writePixels(const unsigned char* row, size_t count);

    int channels_ = 0, bitsPerPixel_ = 0;
    size_t filterBytes_ = 0; // bytes per complete pixel, at least 1: the filters' distance
    int pass_ = 0;           // 0 without interlace, else the Adam7 pass 1..7
    uint32_t passWidth_ = 0, passHeight_ = 0, row_ = 0;
    size_t rowBytes_ = 0, column_ = 0; // bytes of the current row, and taken so far
    bool awaitingFilter_ = true;
    int filterType_ = 0;
    bool done_ = false;
    std::vector<unsigned char> current_, previous_; // a row, after filterBytes_ leading zeros
};
