// The BMP reader over arbitrary bytes.
#include "foundation/Picture.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CPicture::setMaxBytes(4 << 20); // large headers are refused the same way, only sooner
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPicture p;
    if (p.loadFromBMPMemory(data, size)) {
        if (!p.pixels || p.width < 1 || p.height < 1) __builtin_trap();
        // Touch every pixel: a reader that left memory unwritten shows up under MSan, a wrong
        // size under ASan.
        unsigned sum = 0;
        for (size_t i = 0; i < p.byteSize(); ++i)
            sum += p.pixels[i];
        if (p.transparencyMode > TRANSPARENCY_ALPHA) __builtin_trap();
        (void)sum;
    }
    return 0;
}
