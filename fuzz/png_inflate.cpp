// The PNG decoder's inflate alone over arbitrary zlib streams; the output checks every byte.
#include "foundation/PngDecoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

struct Sink : GenericPngDecoder {
    size_t total = 0;
    unsigned sum = 0;
    int OutputBytes(const unsigned char* bytes, size_t count) override {
        for (size_t i = 0; i < count; ++i)
            sum += bytes[i];
        total += count;
        return total < (size_t(64) << 20) ? 1 : 0; // bombs stop at 64 MiB
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!freopen("/dev/null", "w", stdout)) return 0; // the decoder's messages
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Sink sink;
    PngUncompressor(sink).Uncompress(size, data);
    return 0;
}
