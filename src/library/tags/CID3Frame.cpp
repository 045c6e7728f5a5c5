#include "library/tags/CID3Frame.h"

#include <vector>

#include "foundation/modTools.h"

namespace {

// UTF-16 code units from bytes, `count` units from `bytes`; little- or big-endian.
std::string utf16ToUtf8(const std::string& bytes, size_t start, size_t count, bool bigEndian) {
    std::vector<uint16_t> units(count);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + start;
    for (size_t i = 0; i < count; ++i)
        units[i] = bigEndian ? uint16_t((p[2 * i] << 8) | p[2 * i + 1]) : uint16_t(p[2 * i] | (p[2 * i + 1] << 8));
    return strFromUtf16(units.data(), count);
}

} // namespace

const std::string& CID3Frame::getString() {
    int encoding = additionalHeader.empty() ? 0 : uint8_t(additionalHeader[0]);
    if (encoding != 1 && encoding != 2) return data;
    if (!textCache.empty()) return textCache;
    size_t n = data.size();
    if (n < 2) return data;
    auto b0 = uint8_t(data[0]), b1 = uint8_t(data[1]);
    if (encoding == 2) {
        // Big-endian UTF-16 without a mark, as ID3v2.4 defines it; a mark some writers add anyway is
        // honoured and left out of the text.
        if (b0 == 0xFF && b1 == 0xFE)
            textCache = utf16ToUtf8(data, 2, n / 2 - 1, false);
        else if (b0 == 0xFE && b1 == 0xFF)
            textCache = utf16ToUtf8(data, 2, n / 2 - 1, true);
        else
            textCache = utf16ToUtf8(data, 0, n / 2, true);
        return textCache;
    }
    if (b0 == 0xFF && b1 == 0xFE) {
        textCache = utf16ToUtf8(data, 2, n / 2 - 1, false);
    } else if (b0 == 0xFE && b1 == 0xFF) {
        // Big-endian with its mark: decoded as such, so text beyond ISO-8859-1 survives.
        textCache = utf16ToUtf8(data, 2, n / 2 - 1, true);
    } else {
        // No mark: take it for little-endian UTF-16 when enough high bytes are zero.
        size_t zeros = 0;
        for (size_t i = 1; i + 1 < n; i += 2)
            if (data[i] == 0) ++zeros;
        if (float(zeros) / float(n) > 0.3f)
            textCache = utf16ToUtf8(data, 0, n / 2, false);
        else
            return data;
    }
    return textCache;
}
