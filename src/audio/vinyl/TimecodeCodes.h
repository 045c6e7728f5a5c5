// The code sequences printed on timecode records and the table records built from them. One convention serves
// the table generator, the decoder and the test-signal generator alike:
//
// - Phase. The right channel is cos(phi) and the left sin(phi): forwards the right channel leads by 90 degrees.
//   A null pass (one code unit) is half a carrier cycle. The right channel's peak m lies at phi = m * pi (a
//   maximum for even m), the left channel's peak m at phi = m * pi + pi / 2. Record positions are counted in
//   null passes from phi = 0.
// - Bits. A large peak is a 1, a small one a 0; a half-cycle keeps one amplitude from zero crossing to zero
//   crossing. For the LFSR formats, cycle n (phi from 2 pi n to 2 pi (n + 1)) carries the top bit of the state
//   stepped n times from the seed, on both minima for type 2 and on all four peaks for types 5 and 6.
// - Code words. Bit 0 of a word is the earliest bit in record order, and the time of a table record is the
//   time of the cycle where its window starts (null pass 2n), so the decoder adds the null passes counted
//   from that cycle. Type 2: one word of kSeratoCodeBits bits. Types 5 and 6: a window of kTraktorCodeBits
//   bits split into A (bits 0 .. 30) and B (the rest).
// - Times are in 1/48 ms and include the record's lead (3900 ms for types 2 and 6); side B adds 57600000.
// - Our own type 4 needs no table: frame k (16 null passes from phi = 16 pi k) carries code word k. Each
//   channel starts the frame with the sync peaks 1, 1, 1, 0 (max, min, max, min); the left channel's other 12
//   peaks carry bits 18 .. 7 of the word, most significant first, the right channel's next 7 peaks bits 6 .. 0
//   and its last 5 peaks the parity bits of tlmParity.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A linear feedback shift register sequence pressed on one side of a record.
struct TimecodeLfsr {
    const char* name;
    int bits;         // register length
    double carrierHz; // cycles per second at nominal speed (one bit per cycle)
    uint32_t seed;    // state at cycle 0
    uint32_t taps;    // feedback taps
    int cycles;       // pressed cycles (no state repeats among them)
    int safe;         // last cycle before the run-out
};

extern const TimecodeLfsr kSeratoSideA, kSeratoSideB, kTraktorSideA, kTraktorSideB, kMixvibesV2;

constexpr int kSeratoCodeBits = 29;            // type-2 window
constexpr int kTraktorCodeBits = 46;           // type-6 window: 31 bits of A, 15 of B
constexpr int kMixvibesCodeBits = 31;          // type-5 window
constexpr int32_t kSideBTimeOffset = 57600000; // 20 minutes in 1/48 ms
constexpr double kRecordLeadMs = 3900.0;       // types 2 and 6

// The state after one step forwards or backwards.
uint32_t lfsrForward(uint32_t state, const TimecodeLfsr& f);
uint32_t lfsrBackward(uint32_t state, const TimecodeLfsr& f);
// The bits of cycles 0 .. count-1 (1 = large peak).
std::vector<uint8_t> lfsrBits(const TimecodeLfsr& f, int count);

// A table record as stored in a table file: code words A and B (B unused by one-word types) and the time.
struct TimecodeRecord {
    int32_t a;
    int32_t b;
    int32_t time;
};

// The code words of the window starting at bit n of `bits` (types 2, 5 and 6); false when it runs past the end.
bool windowCode(int type, const std::vector<uint8_t>& bits, int n, int32_t& a, int32_t& b);
// Appends one record per window of the side, with time = timeOffset + cycle * timePerCycle (1/48 ms units).
void appendSideRecords(int type, const TimecodeLfsr& side, int32_t timeOffset, double timePerCycle,
                       std::vector<TimecodeRecord>& out);
// Sorts as the lookups of `type` expect and removes every code that occurs more than once.
void sortTableRecords(int type, std::vector<TimecodeRecord>& records);
// The full tables of types 2 (both sides of the control record) and 6 (both sides).
std::vector<TimecodeRecord> buildSeratoTable();
std::vector<TimecodeRecord> buildTraktorTable();
// Writes a table file (header, then the records) to a temporary file renamed over `path`.
bool writeTimecodeTable(const std::string& path, int type, const std::vector<TimecodeRecord>& records);
// Reads a table file of `type` held in memory. Checks the header, the record count against the size, and that
// the codes ascend strictly in the lookups' order; on failure `records` is empty and `why` says what was wrong.
bool readTimecodeTable(int type, const unsigned char* data, size_t size, std::vector<TimecodeRecord>& records,
                       std::string& why);
// The lookups' order: -1, 0 or 1 comparing a record's code with (a, b).
int compareTableCode(int type, const TimecodeRecord& r, int32_t a, int32_t b);

// Our own type-4 frame: the 5 parity bits that follow the word's low bits on the right channel, first in
// record order at bit 0. Together with the word they form a shortened Hamming code (any one or two wrong
// bits are noticed); each is inverted, so a word of zeros still has large parity peaks.
uint32_t tlmParity(uint32_t word);
// The 16 bits of each channel for frame word `word`, in record order (index 0 = the frame's first peak).
void tlmFrameBits(uint32_t word, uint8_t left[16], uint8_t right[16]);
constexpr int kTlmWordBits = 19;
