// Multi-byte fields of audio file headers, read from bytes the caller has checked are there.
#pragma once

#include <cstdint>

// Big-endian 32 and 16 bits (AIFF fields, MPEG frame headers).
inline uint32_t FetchLong(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint16_t FetchShort(const unsigned char* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

// Little-endian 32 and 16 bits (RIFF fields).
inline uint32_t fetchLongLE(const unsigned char* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[0]);
}
inline uint16_t fetchShortLE(const unsigned char* p) {
    return uint16_t(p[1] << 8 | p[0]);
}

// The 80-bit IEEE extended number of an AIFF sample rate, as whole Hz rounded to nearest.
// 0 for values below 1, negative values, and values of 2^32 or more.
uint32_t ConvertFloat(const unsigned char* bytes);
