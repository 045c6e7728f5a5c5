// The PNG decoder, from the chunks to the picture, over arbitrary bytes.
#include "PictureFuzz.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pictureFuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPicture p;
    if (p.loadFromPNGMemory(data, size)) pictureFuzzCheck(p, TRANSPARENCY_ALPHA);
    return 0;
}
