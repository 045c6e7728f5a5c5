#include "audio/vinyl/TimecodeCodes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

// Public facts about the control records (register length, carrier, seed, taps, pressed and safe cycles).
const TimecodeLfsr kSeratoSideA = {"serato_2a", 20, 1000.0, 0x59017, 0x361e4, 712000, 707000};
const TimecodeLfsr kSeratoSideB = {"serato_2b", 20, 1000.0, 0x8f3c6, 0x4f0d8, 922000, 917000};
const TimecodeLfsr kTraktorSideA = {"traktor_a", 23, 2000.0, 0x134503, 0x041040, 1500000, 1480000};
const TimecodeLfsr kTraktorSideB = {"traktor_b", 23, 2000.0, 0x32066c, 0x041040, 2110000, 2090000};
const TimecodeLfsr kMixvibesV2 = {"mixvibes_v2", 20, 1300.0, 0x22c90, 0x00008, 950000, 923000};

namespace {

uint32_t parity(uint32_t x) {
    return uint32_t(__builtin_popcount(x) & 1);
}

int codeBits(int type) {
    return type == 2 ? kSeratoCodeBits : type == 6 ? kTraktorCodeBits : kMixvibesCodeBits;
}

bool recordLess(int type, const TimecodeRecord& x, const TimecodeRecord& y) {
    return compareTableCode(type, x, y.a, y.b) < 0;
}

int32_t getLE32(const unsigned char* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

size_t recordBytes(int type) {
    return (type == 1 || type == 6) ? 12 : 8;
}

bool writeAll(FILE* f, const void* data, size_t bytes) {
    return bytes == 0 || fwrite(data, 1, bytes, f) == bytes;
}

void putLE32(unsigned char* p, int32_t v) {
    const uint32_t u = uint32_t(v);
    p[0] = uint8_t(u);
    p[1] = uint8_t(u >> 8);
    p[2] = uint8_t(u >> 16);
    p[3] = uint8_t(u >> 24);
}

} // namespace

uint32_t lfsrForward(uint32_t state, const TimecodeLfsr& f) {
    return (state >> 1) | (parity(state & (f.taps | 1u)) << (f.bits - 1));
}

uint32_t lfsrBackward(uint32_t state, const TimecodeLfsr& f) {
    const uint32_t mask = (1u << f.bits) - 1u;
    return ((state << 1) & mask) | parity(state & ((f.taps >> 1) | (1u << (f.bits - 1))));
}

std::vector<uint8_t> lfsrBits(const TimecodeLfsr& f, int count) {
    std::vector<uint8_t> bits(size_t(std::max(count, 0)));
    uint32_t state = f.seed;
    for (auto& b : bits) {
        b = uint8_t(state >> (f.bits - 1));
        state = lfsrForward(state, f);
    }
    return bits;
}

bool windowCode(int type, const std::vector<uint8_t>& bits, int n, int32_t& a, int32_t& b) {
    const int len = codeBits(type);
    if (n < 0 || size_t(n) + size_t(len) > bits.size()) return false;
    uint32_t wa = 0, wb = 0;
    for (int i = 0; i < len; ++i) {
        const uint32_t bit = bits[size_t(n + i)];
        if (i < 31)
            wa |= bit << i;
        else
            wb |= bit << (i - 31);
    }
    a = int32_t(wa);
    b = int32_t(wb);
    return true;
}

void appendSideRecords(int type, const TimecodeLfsr& side, int32_t timeOffset, double timePerCycle,
                       std::vector<TimecodeRecord>& out) {
    const std::vector<uint8_t> bits = lfsrBits(side, side.cycles);
    out.reserve(out.size() + size_t(side.cycles));
    int32_t a, b;
    for (int n = 0; windowCode(type, bits, n, a, b); ++n)
        out.push_back({a, b, timeOffset + int32_t(std::lround(n * timePerCycle))});
}

void sortTableRecords(int type, std::vector<TimecodeRecord>& records) {
    std::sort(records.begin(), records.end(),
              [type](const TimecodeRecord& x, const TimecodeRecord& y) { return recordLess(type, x, y); });
    // A code printed twice (on both sides) would give one of two times: keep neither. Code 0 means "none".
    size_t out = 0;
    for (size_t i = 0; i < records.size();) {
        size_t j = i + 1;
        while (j < records.size() && !recordLess(type, records[i], records[j]))
            ++j;
        const bool zero = records[i].a == 0 && (records[i].b == 0 || type == 0 || type == 2 || type == 5);
        if (j == i + 1 && !zero) records[out++] = records[i];
        i = j;
    }
    records.resize(out);
}

namespace {
// Both sides of a record: side B's times lie 20 minutes above side A's.
std::vector<TimecodeRecord> buildTwoSides(int type, const TimecodeLfsr& a, const TimecodeLfsr& b) {
    std::vector<TimecodeRecord> r;
    const int32_t lead = int32_t(kRecordLeadMs * 48.0);
    appendSideRecords(type, a, lead, 48.0 * 1000.0 / a.carrierHz, r);
    appendSideRecords(type, b, lead + kSideBTimeOffset, 48.0 * 1000.0 / b.carrierHz, r);
    sortTableRecords(type, r);
    return r;
}
} // namespace

std::vector<TimecodeRecord> buildSeratoTable() {
    return buildTwoSides(2, kSeratoSideA, kSeratoSideB);
}

std::vector<TimecodeRecord> buildTraktorTable() {
    return buildTwoSides(6, kTraktorSideA, kTraktorSideB);
}

bool writeTimecodeTable(const std::string& path, int type, const std::vector<TimecodeRecord>& records) {
    const std::string temp = path + ".part";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) return false;
    unsigned char header[16];
    putLE32(header, 123);
    putLE32(header + 4, type == 2 ? 457 : 456);
    putLE32(header + 8, type);
    putLE32(header + 12, int32_t(records.size()));
    bool ok = writeAll(f, header, sizeof header);
    const size_t bytes = recordBytes(type);
    std::vector<unsigned char> block;
    block.reserve(bytes * 65536);
    for (size_t i = 0; ok && i < records.size(); ++i) {
        unsigned char rec[12];
        const TimecodeRecord& r = records[i];
        // Type 0 stores two 16-bit halves, low half first: the same bytes as one little-endian word.
        if (bytes == 8) {
            putLE32(rec, r.a);
            putLE32(rec + 4, r.time);
        } else {
            putLE32(rec, r.a);
            putLE32(rec + 4, r.b);
            putLE32(rec + 8, r.time);
        }
        block.insert(block.end(), rec, rec + bytes);
        if (block.size() >= bytes * 65536 || i + 1 == records.size()) {
            ok = writeAll(f, block.data(), block.size());
            block.clear();
        }
    }
    ok = fclose(f) == 0 && ok;
    if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) remove(temp.c_str());
    return ok;
}

uint32_t tlmParity(uint32_t word) {
    // A shortened Hamming code: word bit k sits at the k-th position of 1 .. 24 that is not a power of two,
    // and parity bit i covers the positions with bit i set. Any one or two wrong bits break some parity.
    struct Masks {
        uint32_t m[5] = {};
        Masks() {
            int k = 0;
            for (int pos = 1; pos <= 24 && k < kTlmWordBits; ++pos) {
                if ((pos & (pos - 1)) == 0) continue;
                for (int i = 0; i < 5; ++i)
                    if (pos & (1 << i)) m[i] |= 1u << k;
                ++k;
            }
        }
    };
    static const Masks masks;
    uint32_t p = 0;
    for (int i = 0; i < 5; ++i)
        p |= (1u ^ parity(word & masks.m[i])) << i;
    return p;
}

void tlmFrameBits(uint32_t word, uint8_t left[16], uint8_t right[16]) {
    static const uint8_t sync[4] = {1, 1, 1, 0};
    const uint32_t p = tlmParity(word);
    for (int s = 0; s < 16; ++s) {
        if (s < 4) {
            left[s] = right[s] = sync[s];
            continue;
        }
        left[s] = uint8_t((word >> (18 - (s - 4))) & 1u);
        right[s] = s <= 10 ? uint8_t((word >> (6 - (s - 4))) & 1u) : uint8_t((p >> (s - 11)) & 1u);
    }
}

// The lookups' order: unsigned words for type 0, (A, B) for types 1 and 6, signed words otherwise.
int compareTableCode(int type, const TimecodeRecord& r, int32_t a, int32_t b) {
    if (type == 0) {
        const uint32_t x = uint32_t(r.a), y = uint32_t(a);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    if (r.a != a) return r.a < a ? -1 : 1;
    if (type == 1 || type == 6) return r.b < b ? -1 : r.b > b ? 1 : 0;
    return 0;
}

bool readTimecodeTable(int type, const unsigned char* data, size_t size, std::vector<TimecodeRecord>& records,
                       std::string& why) {
    records.clear();
    if (size < 16) {
        why = "the file is shorter than its header";
        return false;
    }
    if (getLE32(data) != 123 || getLE32(data + 4) != (type == 2 ? 457 : 456) || getLE32(data + 8) != type) {
        why = "wrong header";
        return false;
    }
    const int32_t n = getLE32(data + 12);
    const uint64_t bytes = recordBytes(type);
    if (n < 0 || uint64_t(n) * bytes + 16 != size) {
        why = "the record count does not match the file size";
        return false;
    }
    records.resize(size_t(n));
    for (int32_t i = 0; i < n; ++i) {
        const unsigned char* p = data + 16 + uint64_t(i) * bytes;
        TimecodeRecord& r = records[size_t(i)];
        r.a = getLE32(p);
        r.b = bytes == 12 ? getLE32(p + 4) : 0;
        r.time = getLE32(p + bytes - 4);
        if (i > 0 && !recordLess(type, records[size_t(i - 1)], r)) {
            records.clear();
            why = "the codes are not in ascending order";
            return false;
        }
    }
    return true;
}
