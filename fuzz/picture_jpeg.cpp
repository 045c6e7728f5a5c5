// The JPEG reader and its memory source over arbitrary bytes.
#include "foundation/Picture.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CPicture::setMaxBytes(4 << 20); // keeps each run short; larger headers are refused the same way
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPicture p;
    if (p.loadMemory("image/jpeg", data, size)) {
        if (!p.pixels || p.width < 1 || p.height < 1 || p.transparencyMode != TRANSPARENCY_OPAQUE) __builtin_trap();
        unsigned sum = 0;
        for (size_t i = 0; i < p.byteSize(); ++i)
            sum += p.pixels[i];
        (void)sum;
    } else if (p.width != 0 || p.pixels) {
        __builtin_trap();
    }
    return 0;
}
