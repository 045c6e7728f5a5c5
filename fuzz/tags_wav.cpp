// The RIFF WAVE reader over arbitrary bytes.
#include "TagFuzz.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryByteSource source(data, size);
    CID3v2Tag tag;
    tag.readFromWAV(source);
    exerciseTag(tag);
    return 0;
}
