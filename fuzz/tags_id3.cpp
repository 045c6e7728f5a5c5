// The ID3v2, ID3v1 and file-name readers over arbitrary bytes.
#include "TagFuzz.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryByteSource source(data, size);
    CID3v2Tag tag;
    if (!tag.readFromID3v2(source)) tag.readFromID3v1(source);
    tag.readFromFilename(std::string(reinterpret_cast<const char*>(data), size < 64 ? size : 64));
    exerciseTag(tag);
    return 0;
}
