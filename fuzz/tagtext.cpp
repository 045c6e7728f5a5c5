// The tag-style text readers over arbitrary documents and names.
#include "foundation/modTools.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t nameLength = data[0] % 16;
    if (size < 1 + nameLength) return 0;
    std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    std::string doc(reinterpret_cast<const char*>(data + 1 + nameLength), size - 1 - nameLength);

    std::string lower;
    size_t from = 0, end = 0;
    for (int i = 0; i < 64; ++i) {
        std::string a = getXMLElementCIFast(doc, lower, strtolower(name), from, &end);
        std::string b = getXMLElementCI(doc, name, false, from, &end);
        if (a != b) __builtin_trap(); // the fast search must agree with the plain one
        if (end <= from) break;
        from = end;
    }
    std::string copy = doc;
    getXMLElement(copy, name, true, 0, &end);
    getXMLPart(copy, name, "default", true);
    strsplitquotes(doc, name, "'", true);
    strsplit(doc, name);
    return 0;
}
