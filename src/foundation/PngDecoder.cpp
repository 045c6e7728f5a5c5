#include "foundation/PngDecoder.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

uint32_t be32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint16_t be16(const unsigned char* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

} // namespace

// ---- Chunks -------------------------------------------------------------------------------------

int GenericPngDecoder::OutputBytes(const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (Output(bytes[i]) != 1) return 0;
    return 1;
}

int GenericPngDecoder::Decode(const std::string& path) {
    uint64_t size = 0;
    FILE* f = fileOpen(path, "rb", &size);
    if (!f) return -1;
    std::vector<unsigned char> data;
    try {
        data.resize(size_t(size));
    } catch (const std::bad_alloc&) {
        fclose(f);
        return -1;
    }
    size_t got = size ? fread(data.data(), 1, data.size(), f) : 0;
    fclose(f);
    return DecodeMemory(data.data(), got);
}

int GenericPngDecoder::DecodeMemory(const unsigned char* data, size_t size) {
    static const unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (!data || size < 8 || std::memcmp(data, kSignature, 8) != 0) {
        puts("The file does not have PNG signature.");
        return -1;
    }
    std::vector<unsigned char> idat;
    size_t pos = 8;
    // Length and type, then the data and a CRC (not checked). A chunk whose data run past the end
    // of the file ends the reading: a truncated file decodes what it has.
    while (size - pos >= 8) {
        uint32_t length = be32(data + pos);
        const unsigned char* type = data + pos + 4;
        if (length > size - pos - 8) break;
        const unsigned char* d = data + pos + 8;
        if (!std::memcmp(type, "IHDR", 4)) {
            if (length >= 13) {
                header.width = be32(d);
                header.height = be32(d + 4);
                header.bitDepth = d[8];
                header.colorType = d[9];
                header.compressionMethod = d[10];
                header.filterMethod = d[11];
                header.interlaceMethod = d[12];
                haveHeader = true;
            }
        } else if (!std::memcmp(type, "PLTE", 4)) {
            if (length % 3 != 0) return -1;
            palette.entries = int(length / 3 > 256 ? 256 : length / 3);
            std::memcpy(palette.colours, d, size_t(palette.entries) * 3);
        } else if (!std::memcmp(type, "tRNS", 4)) {
            if (header.colorType == 0 && length >= 2) {
                transparency.hasGrey = true;
                transparency.grey = be16(d);
            } else if (header.colorType == 2 && length >= 6) {
                transparency.hasRGB = true;
                transparency.red = be16(d);
                transparency.green = be16(d + 2);
                transparency.blue = be16(d + 4);
            } else if (header.colorType == 3) {
                for (uint32_t i = 0; i < length && i < 256; ++i)
                    transparency.alpha[i] = d[i];
            }
        } else if (!std::memcmp(type, "gAMA", 4)) {
            if (length >= 4) gamma = be32(d);
        } else if (!std::memcmp(type, "IDAT", 4)) {
            // Bounded by the file (the length was checked), but memory for a copy may still run out.
            try {
                idat.insert(idat.end(), d, d + length);
            } catch (const std::bad_alloc&) {
                return -1;
            }
        } else if (!std::memcmp(type, "IEND", 4)) {
            break;
        }
        pos += 8 + size_t(length);
        pos = size - pos < 4 ? size : pos + 4; // the CRC, when the file holds it
    }
    if (!haveHeader || PrepareOutput() != 1) return -1;
    try {
        PngUncompressor(*this).Uncompress(idat.size(), idat.data());
    } catch (const std::bad_alloc&) { // the output window
        return -1;
    }
    EndOutput();
    return 1;
}

// ---- Huffman codes -------------------------------------------------------------------------------

bool PngHuffmanTree::build(const uint8_t* lengths, int count, bool allowIncomplete) {
    std::memset(counts, 0, sizeof(counts));
    for (int s = 0; s < count; ++s)
        ++counts[lengths[s]];
    counts[0] = 0;
    // Kraft: the codes may not claim more than the whole code space.
    int left = 1, longest = 0, used = 0;
    for (int len = 1; len < 16; ++len) {
        left = left * 2 - counts[len];
        if (left < 0) return false;
        if (counts[len]) longest = len;
        used += counts[len];
    }
    if (left > 0 && !(allowIncomplete && (used == 0 || longest == 1))) return false;

    uint16_t offsets[16];
    offsets[1] = 0;
    for (int len = 1; len < 15; ++len)
        offsets[len + 1] = uint16_t(offsets[len] + counts[len]);
    for (int s = 0; s < count; ++s)
        if (lengths[s]) symbols[offsets[lengths[s]]++] = uint16_t(s);

    // The lookup table is indexed by the next kFastBits input bits, least significant first, so
    // each code goes in bit-reversed.
    std::memset(fast, 0, sizeof(fast));
    int code = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
        for (int k = 0; k < counts[len]; ++k, ++code, ++index) {
            if (len > kFastBits) continue;
            int reversed = 0;
            for (int b = 0; b < len; ++b)
                reversed |= ((code >> b) & 1) << (len - 1 - b);
            for (int i = reversed; i < (1 << kFastBits); i += 1 << len)
                fast[i] = Entry{symbols[index], uint8_t(len)};
        }
        code <<= 1;
    }
    return true;
}

// ---- Inflate ----------------------------------------------------------------------------------------

namespace {

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr size_t kWindow = 32768;       // the largest distance deflate can refer to
constexpr size_t kBuffer = 4 * kWindow; // output buffered before it is handed on

// Input bits, least significant first; every take checks what is left.
struct BitReader {
    const unsigned char* p;
    const unsigned char* end;
    uint64_t bits = 0;
    int count = 0;

    void refill() {
        if (end - p >= 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            bits |= v << count; // little-endian machine: the first byte lands lowest
            p += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56 && p < end) {
                bits |= uint64_t(*p++) << count;
                count += 8;
            }
        }
    }
    bool need(int n) {
        if (count < n) refill();
        return count >= n;
    }
    uint32_t take(int n) {
        uint32_t v = uint32_t(bits & ((uint64_t(1) << n) - 1));
        bits >>= n;
        count -= n;
        return v;
    }
};

enum { kOutOfInput = -1, kNoCode = -2 };

int decodeSymbol(BitReader& in, const PngHuffmanTree& t) {
    if (in.count < 15) in.refill();
    uint32_t peek = uint32_t(in.bits);
    const PngHuffmanTree::Entry& e = t.fast[peek & ((1u << PngHuffmanTree::kFastBits) - 1)];
    if (e.length) {
        if (e.length > in.count) return kOutOfInput;
        in.take(e.length);
        return e.symbol;
    }
    // Longer codes: canonical decoding one length at a time.
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
        if (len > in.count) return kOutOfInput;
        code |= int((peek >> (len - 1)) & 1);
        int n = t.counts[len];
        if (code - first < n) {
            in.take(len);
            return t.symbols[index + code - first];
        }
        index += n;
        first = (first + n) << 1;
        code <<= 1;
    }
    return kNoCode;
}

// The output side: a buffer holding at least the last 32 KiB, handed on in large pieces.
struct Window {
    GenericPngDecoder& out;
    std::vector<unsigned char> buf;
    size_t pos = 0, flushed = 0, total = 0;
    bool refused = false;

    explicit Window(GenericPngDecoder& o) : out(o), buf(kBuffer) {}
    bool flush() {
        if (!refused && pos > flushed && out.OutputBytes(&buf[flushed], pos - flushed) != 1) refused = true;
        flushed = pos;
        return !refused;
    }
    // Room for n more bytes, keeping the window behind.
    bool room(size_t n) {
        if (pos + n <= buf.size()) return true;
        if (!flush()) return false;
        std::memmove(buf.data(), buf.data() + pos - kWindow, kWindow);
        pos = flushed = kWindow;
        return true;
    }
};

} // namespace

int PngUncompressor::Uncompress(size_t size, const unsigned char* data) {
    if (size < 2) {
        puts("Buffer overflow");
        return 0;
    }
    // zlib header: deflate with a window of at most 32 KiB, no preset dictionary.
    if ((data[0] & 15) != 8 || (data[0] >> 4) > 7) return 0;
    if (data[1] & 0x20) {
        puts("PNG is not supposed to have a preset dictionary.");
        return 0;
    }
    BitReader in{data + 2, data + size};
    Window w(output_);
    PngHuffmanTree lit, dist, lengthsCode;
    int result = 0;

    for (bool last = false; !last;) {
        if (!in.need(3)) {
            puts("Buffer overflow");
            break;
        }
        last = in.take(1) != 0;
        uint32_t type = in.take(2);
        if (type == 3) {
            puts("Unknown compression type (bType=3)");
            break;
        }
        if (type == 0) {
            in.take(in.count & 7); // to the byte boundary
            if (!in.need(32)) break;
            size_t length = in.take(16);
            in.take(16); // the complement, not checked
            // The stored bytes come from the input as far as it reaches.
            while (length > 0 && in.count >= 8) {
                if (!w.room(1)) break;
                w.buf[w.pos++] = (unsigned char)in.take(8);
                ++w.total;
                --length;
            }
            if (length > 0) in.bits = 0; // drained: the rest is read from the input directly
            while (length > 0 && in.p < in.end && !w.refused) {
                size_t n = length < size_t(in.end - in.p) ? length : size_t(in.end - in.p);
                if (n > kWindow) n = kWindow;
                if (!w.room(n)) break;
                std::memcpy(&w.buf[w.pos], in.p, n);
                in.p += n;
                w.pos += n;
                w.total += n;
                length -= n;
            }
            if (length > 0 || w.refused) break;
            if (last) result = 1;
            continue;
        }

        if (type == 1) {
            uint8_t lengths[288 + 32];
            for (int i = 0; i < 144; ++i)
                lengths[i] = 8;
            for (int i = 144; i < 256; ++i)
                lengths[i] = 9;
            for (int i = 256; i < 280; ++i)
                lengths[i] = 7;
            for (int i = 280; i < 288; ++i)
                lengths[i] = 8;
            for (int i = 0; i < 32; ++i)
                lengths[288 + i] = 5;
            lit.build(lengths, 288, false);
            dist.build(lengths + 288, 32, false);
        } else {
            if (!in.need(14)) break;
            int nlit = int(in.take(5)) + 257, ndist = int(in.take(5)) + 1, ncode = int(in.take(4)) + 4;
            if (nlit > 286 || ndist > 30) break;
            uint8_t codeLengths[19] = {};
            bool cut = false;
            for (int i = 0; i < ncode && !cut; ++i) {
                if (!in.need(3))
                    cut = true;
                else
                    codeLengths[kCodeLengthOrder[i]] = uint8_t(in.take(3));
            }
            if (cut || !lengthsCode.build(codeLengths, 19, false)) break;
            uint8_t lengths[286 + 30] = {};
            int n = 0;
            bool bad = false;
            while (n < nlit + ndist && !bad) {
                int sym = decodeSymbol(in, lengthsCode);
                if (sym < 0) {
                    bad = true;
                } else if (sym < 16) {
                    lengths[n++] = uint8_t(sym);
                } else {
                    int repeat, value = 0;
                    int extra = sym == 16 ? 2 : sym == 17 ? 3 : 7;
                    if (!in.need(extra) || (sym == 16 && n == 0)) {
                        bad = true;
                        break;
                    }
                    repeat = int(in.take(extra)) + (sym == 16 ? 3 : sym == 17 ? 3 : 11);
                    if (sym == 16) value = lengths[n - 1];
                    if (n + repeat > nlit + ndist) {
                        bad = true;
                        break;
                    }
                    while (repeat--)
                        lengths[n++] = uint8_t(value);
                }
            }
            // Every block needs its end code; a distance code may be empty or a single 1-bit code.
            if (bad || lengths[256] == 0 || !lit.build(lengths, nlit, true) || !dist.build(lengths + nlit, ndist, true))
                break;
        }

        bool ended = false, stop = false;
        while (!ended && !stop) {
            int sym = decodeSymbol(in, lit);
            if (sym < 256) {
                if (sym < 0) {
                    if (sym == kNoCode) puts("Huffman Decompression: Reached NULL node.");
                    stop = true;
                } else if (w.room(1)) {
                    w.buf[w.pos++] = (unsigned char)sym;
                    ++w.total;
                } else {
                    stop = true;
                }
            } else if (sym == 256) {
                ended = true;
            } else if (sym <= 285) {
                int li = sym - 257;
                if (!in.need(kLengthExtra[li])) break;
                size_t length = kLengthBase[li] + in.take(kLengthExtra[li]);
                int ds = decodeSymbol(in, dist);
                if (ds == kNoCode) puts("Huffman Decompression: Reached NULL node.");
                // Distance codes 30 and 31 exist only in the fixed code and mean nothing; no
                // distance may reach before the first byte of output.
                if (ds < 0 || ds >= 30 || !in.need(kDistanceExtra[ds])) break;
                size_t distance = kDistanceBase[ds] + in.take(kDistanceExtra[ds]);
                if (distance > w.total || !w.room(length)) break;
                unsigned char* to = &w.buf[w.pos];
                const unsigned char* from = to - distance;
                if (distance >= length) {
                    std::memcpy(to, from, length);
                } else {
                    for (size_t i = 0; i < length; ++i)
                        to[i] = from[i];
                }
                w.pos += length;
                w.total += length;
            }
            // 286 and 287 mean nothing: passed over.
        }
        if (!ended) break;
        if (last) result = 1;
    }
    // Bytes are handed on in pieces: a refusal may only show at this last one.
    if (!w.flush()) result = 0;
    return result;
}

// ---- The raw image -----------------------------------------------------------------------------------

namespace {

// Adam7: the first column and row of each pass and the steps between them.
const uint32_t kPassX[8] = {0, 0, 4, 0, 2, 0, 1, 0}, kPassY[8] = {0, 0, 0, 4, 0, 2, 0, 1};
const uint32_t kPassDX[8] = {1, 8, 8, 4, 4, 2, 2, 1}, kPassDY[8] = {1, 8, 8, 8, 4, 4, 2, 2};

uint32_t passSize(uint32_t full, uint32_t start, uint32_t step) {
    return full > start ? (full - start + step - 1) / step : 0;
}

} // namespace

RawPngDecoder::~RawPngDecoder() {
    delete[] result;
}

unsigned char* RawPngDecoder::takeResult() {
    unsigned char* r = result;
    result = nullptr;
    return r;
}

int RawPngDecoder::PrepareOutput() {
    int type = header.colorType, depth = header.bitDepth;
    bool supported = (type == 0 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                     (type == 2 && (depth == 8 || depth == 16)) ||
                     (type == 3 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                     (type == 4 && depth == 8) || (type == 6 && depth == 8);
    if (!supported) {
        puts("Unsupported colorType-bitDepth combination.");
        return 0;
    }
    if (header.interlaceMethod > 1) {
        puts("Unsupported interlace method.");
        return 0;
    }
    // A palette image without a palette has no colours to show.
    if (type == 3 && palette.entries == 0) return 0;
    if (!CPicture::sizeAllowed(header.width, header.height)) return 0;
    width = int(header.width);
    height = int(header.height);
    channels_ = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
    bitsPerPixel_ = channels_ * depth;
    filterBytes_ = bitsPerPixel_ >= 8 ? size_t(bitsPerPixel_ / 8) : 1;
    size_t maxRow = (size_t(width) * size_t(bitsPerPixel_) + 7) / 8;
    delete[] result;
    result = new (std::nothrow) unsigned char[size_t(width) * size_t(height) * 4]();
    if (!result) return 0;
    try {
        current_.assign(filterBytes_ + maxRow, 0);
        previous_.assign(filterBytes_ + maxRow, 0);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    pass_ = header.interlaceMethod == 1 ? 1 : 0;
    done_ = false;
    startPass();
    return 1;
}

// Begins the current pass, skipping passes without pixels (their rows are not in the data).
void RawPngDecoder::startPass() {
    for (;;) {
        passWidth_ = passSize(uint32_t(width), kPassX[pass_], kPassDX[pass_]);
        passHeight_ = passSize(uint32_t(height), kPassY[pass_], kPassDY[pass_]);
        if (passWidth_ > 0 && passHeight_ > 0) break;
        if (pass_ == 0 || pass_ == 7) {
            done_ = true;
            return;
        }
        ++pass_;
    }
    row_ = 0;
    rowBytes_ = (size_t(passWidth_) * size_t(bitsPerPixel_) + 7) / 8;
    column_ = 0;
    awaitingFilter_ = true;
    std::fill(previous_.begin(), previous_.end(), 0); // the row above the first is zeros
}

int RawPngDecoder::OutputBytes(const unsigned char* bytes, size_t count) {
    while (count > 0) {
        if (done_) return 0;
        if (awaitingFilter_) {
            filterType_ = *bytes++;
            --count;
            if (filterType_ > 4) { // not a PNG filter: the rest can't be trusted
                done_ = true;
                return 0;
            }
            awaitingFilter_ = false;
            continue;
        }
        size_t n = rowBytes_ - column_ < count ? rowBytes_ - column_ : count;
        std::memcpy(&current_[filterBytes_ + column_], bytes, n);
        column_ += n;
        bytes += n;
        count -= n;
        if (column_ == rowBytes_) finishRow(rowBytes_);
    }
    return 1;
}

int RawPngDecoder::EndOutput() {
    // A row cut short by the end of the data still shows its complete pixels.
    if (!done_ && !awaitingFilter_ && column_ > 0) finishRow(column_);
    return 1;
}

namespace {

// Undoes a row's filter in place. cur[-bpp..-1] and up[-bpp..-1] are zeros. The pixel size is a
// template argument so each channel's chain of dependencies compiles into straight code.
template <size_t bpp> void unfilter(int type, unsigned char* cur, const unsigned char* up, size_t bytes) {
    const unsigned char* left = cur - bpp; // left[i] is the same channel one pixel before cur[i]
    const unsigned char* upLeft = up - bpp;
    switch (type) {
    case 1:
        for (size_t i = 0; i < bytes; ++i)
            cur[i] = (unsigned char)(cur[i] + left[i]);
        break;
    case 2:
        for (size_t i = 0; i < bytes; ++i)
            cur[i] = (unsigned char)(cur[i] + up[i]);
        break;
    case 3:
        for (size_t i = 0; i < bytes; ++i)
            cur[i] = (unsigned char)(cur[i] + ((left[i] + up[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < bytes; ++i) {
            int a = left[i], b = up[i], c = upLeft[i];
            // Distances of the Paeth estimate a + b - c from a, b and c; ties go to a, then b.
            int pa = b - c, pb = a - c, pc = a + b - 2 * c;
            pa = pa < 0 ? -pa : pa;
            pb = pb < 0 ? -pb : pb;
            pc = pc < 0 ? -pc : pc;
            int pred = pb < pa ? b : a;
            int best = pb < pa ? pb : pa;
            pred = pc < best ? c : pred;
            cur[i] = (unsigned char)(cur[i] + pred);
        }
        break;
    default:
        break;
    }
}

} // namespace

// Undoes the row's filter over its first `bytes` bytes, writes the pixels they hold and moves on.
void RawPngDecoder::finishRow(size_t bytes) {
    unsigned char* cur = &current_[filterBytes_];
    const unsigned char* up = &previous_[filterBytes_];
    switch (filterBytes_) {
    case 1:
        unfilter<1>(filterType_, cur, up, bytes);
        break;
    case 2:
        unfilter<2>(filterType_, cur, up, bytes);
        break;
    case 3:
        unfilter<3>(filterType_, cur, up, bytes);
        break;
    case 4:
        unfilter<4>(filterType_, cur, up, bytes);
        break;
    default:
        unfilter<6>(filterType_, cur, up, bytes);
        break;
    }
    size_t pixels = bytes * 8 / size_t(bitsPerPixel_);
    writePixels(cur, pixels < passWidth_ ? pixels : passWidth_);
    if (bytes < rowBytes_) { // a partial row is the end
        done_ = true;
        return;
    }
    current_.swap(previous_);
    column_ = 0;
    awaitingFilter_ = true;
    if (++row_ < passHeight_) return;
    if (pass_ == 0 || pass_ == 7) {
        done_ = true;
        return;
    }
    ++pass_;
    startPass();
}

void RawPngDecoder::writePixels(const unsigned char* row, size_t count) {
    const uint32_t y = kPassY[pass_] + row_ * kPassDY[pass_];
    const uint32_t x0 = kPassX[pass_], dx = kPassDX[pass_];
    unsigned char* out = result + (size_t(y) * size_t(width) + x0) * 4;
    const size_t step = size_t(dx) * 4;
    const PngTransparency& t = transparency;
    const int depth = header.bitDepth;

    switch (header.colorType) {
    case 6:
        if (dx == 1) {
            std::memcpy(out, row, count * 4);
        } else {
            for (size_t i = 0; i < count; ++i, out += step, row += 4)
                std::memcpy(out, row, 4);
        }
        break;
    case 4:
        for (size_t i = 0; i < count; ++i, out += step, row += 2) {
            out[0] = out[1] = out[2] = row[0];
            out[3] = row[1];
        }
        break;
    case 2:
        if (depth == 8) {
            for (size_t i = 0; i < count; ++i, out += step, row += 3) {
                out[0] = row[0];
                out[1] = row[1];
                out[2] = row[2];
                out[3] = t.hasRGB && row[0] == t.red && row[1] == t.green && row[2] == t.blue ? 0 : 255;
            }
        } else {
            for (size_t i = 0; i < count; ++i, out += step, row += 6) {
                out[0] = row[0];
                out[1] = row[2];
                out[2] = row[4];
                out[3] =
                    t.hasRGB && be16(row) == t.red && be16(row + 2) == t.green && be16(row + 4) == t.blue ? 0 : 255;
            }
        }
        break;
    default: { // grey and palette: one sample of `depth` bits, most significant first
        const unsigned mask = (1u << depth) - 1;
        for (size_t i = 0; i < count; ++i, out += step) {
            size_t bit = i * size_t(depth);
            unsigned sample = (unsigned(row[bit >> 3]) >> (8 - depth - (bit & 7))) & mask;
            if (header.colorType == 0) {
                unsigned char g = (unsigned char)(sample * 255 / mask);
                out[0] = out[1] = out[2] = g;
                out[3] = t.hasGrey && sample == t.grey ? 0 : 255;
            } else if (int(sample) < palette.entries) {
                out[0] = palette.colours[sample][0];
                out[1] = palette.colours[sample][1];
                out[2] = palette.colours[sample][2];
                out[3] = t.alpha[sample];
            } // an index beyond the palette stays unwritten (zero)
        }
        break;
    }
    }
}
