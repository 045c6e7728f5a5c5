// PNG decoding into a picture.
#include "foundation/Picture.h"

bool CPicture::loadFromPNGMemory(const unsigned char*, size_t) {
    close();
    return false;
}
