// The Ogg Vorbis comment and FLAC readers over arbitrary bytes (each rejects the other's files).
#include "TagFuzz.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryByteSource source(data, size);
    CID3v2Tag tag;
    tag.readFromOggTag(source);
    tag.readFromFLACTag(source);
    exerciseTag(tag);
    return 0;
}
