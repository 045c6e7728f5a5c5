// The GIF decoder and its conversion into a picture over arbitrary bytes.
#include "PictureFuzz.h"

#include "foundation/CGif.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pictureFuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPicture p;
    if (p.loadFromGIFMemory(data, size)) pictureFuzzCheck(p, TRANSPARENCY_ONOFF);
    CGif gif(data, size);
    if (gif.hasImage()) {
        size_t stride = (size_t(gif.bitsWidth) + 3) & ~size_t(3);
        if (gif.bits.size() != stride * size_t(gif.bitsHeight) || gif.images.size() != gif.frameControls.size())
            __builtin_trap();
    }
    return 0;
}
