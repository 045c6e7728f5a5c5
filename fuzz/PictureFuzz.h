// What the picture fuzz targets share: a small size limit and the check of a loaded picture.
#pragma once

#include "foundation/Picture.h"

#include <cstdio>

// Large headers are refused the same way, only sooner; the decoders' messages are not the point.
inline void pictureFuzzSetUp() {
    CPicture::setMaxBytes(4 << 20);
    if (!freopen("/dev/null", "w", stdout)) return;
}

// A loaded picture has its pixels and row flags, and a mode no higher than the reader's.
// Every byte is read, so memory the reader left out shows under the sanitizers.
inline void pictureFuzzCheck(const CPicture& p, TRANSPARENCY_MODE highest) {
    if (!p.pixels || !p.rowFlags || p.width < 1 || p.height < 1 || p.transparencyMode > highest) __builtin_trap();
    unsigned sum = 0;
    for (size_t i = 0; i < p.byteSize(); ++i)
        sum += p.pixels[i];
    for (int y = 0; y < p.height; ++y)
        sum += p.rowFlags[y];
    if (sum == 0xFFFFFFFFu) __builtin_trap(); // keeps the reads
}
