// Multi-byte fields of audio file headers, read from bytes the caller has checked are there.
#pragma once

#include "foundation/ByteOrder.h"

#include <cstdint>

// Big-endian 32 and 16 bits (AIFF fields, MPEG frame headers).
inline uint32_t FetchLong(const unsigned char* p) { return readBE32(p); }
inline uint16_t FetchShort(const unsigned char* p) { return readBE16(p); }

// Little-endian 32 and 16 bits (RIFF fields).
inline uint32_t fetchLongLE(const unsigned char* p) { return readLE32(p); }
inline uint16_t fetchShortLE(const unsigned char* p) { return readLE16(p); }

// The 80-bit IEEE extended number of an AIFF sample rate, as whole Hz rounded to nearest.
// 0 for values below 1, negative values, and values of 2^32 or more.
uint32_t ConvertFloat(const unsigned char* bytes);
