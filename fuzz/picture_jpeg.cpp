// The JPEG reader and its memory source over arbitrary bytes.
#include "PictureFuzz.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pictureFuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPicture p;
    if (p.loadMemory("image/jpeg", data, size))
        pictureFuzzCheck(p, TRANSPARENCY_OPAQUE);
    else if (p.width != 0 || p.pixels)
        __builtin_trap(); // a failed load leaves the picture empty
    return 0;
}
