// The GIF decoder and its conversion into a picture over arbitrary bytes.
#include "foundation/CGif.h"
#include "foundation/Picture.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CPicture::setMaxBytes(4 << 20); // large headers are refused the same way, only sooner
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPicture p;
    if (p.loadFromGIFMemory(data, size)) {
        if (!p.pixels || p.width < 1 || p.height < 1 || p.transparencyMode > TRANSPARENCY_ONOFF) __builtin_trap();
        unsigned sum = 0;
        for (size_t i = 0; i < p.byteSize(); ++i)
            sum += p.pixels[i];
        (void)sum;
    }
    CGif gif(data, size);
    if (gif.hasImage()) {
        size_t stride = (size_t(gif.bitsWidth) + 3) & ~size_t(3);
        if (gif.bits.size() != stride * size_t(gif.bitsHeight) || gif.images.size() != gif.frameControls.size())
            __builtin_trap();
    }
    return 0;
}
