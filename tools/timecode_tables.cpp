// Writes the code tables of the timecode records whose code sequences are public: "ssl_binary.dat" (type 2,
// both sides of the control record) and "traktorscratch_binary.dat" (type 6, both sides), into the folder
// given on the command line (the application folder's "vinylcontrol").
//
// Conventions, shared with the decoder and the test-signal generator (audio/vinyl/TimecodeCodes.h):
// - Cycle n of a side carries the top bit of the LFSR state stepped n times from the seed, where one step is
//   next = (state >> 1) | parity(state & (taps | 1)) << (bits - 1): new bits enter at the top.
// - A code word is the window of bits starting at cycle n, bit 0 = cycle n (the earliest in record order):
//   29 bits for type 2; 46 bits for type 6, bits 0 .. 30 in A and bits 31 .. 45 in B.
// - Its time is the time of cycle n in 1/48 ms, plus the record's 3900 ms lead; side B adds 57600000.
// - Codes that occur on both sides are left out, so every code in a table names one place.
//
// File: little-endian int32 magic 123, version (457 for type 2, 456 otherwise), type, record count; then the
// records sorted ascending by code: (code, time) for type 2, (A, B, time) for type 6.
#include "audio/vinyl/TimecodeCodes.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <vinylcontrol folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    if (!writeTimecodeTable(folder + "ssl_binary.dat", 2, buildSeratoTable())) {
        fprintf(stderr, "%s: cannot write %sssl_binary.dat\n", argv[0], folder.c_str());
        return 1;
    }
    if (!writeTimecodeTable(folder + "traktorscratch_binary.dat", 6, buildTraktorTable())) {
        fprintf(stderr, "%s: cannot write %straktorscratch_binary.dat\n", argv[0], folder.c_str());
        return 1;
    }
    return 0;
}
