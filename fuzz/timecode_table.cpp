// Timecode table files: the first byte picks the loader's type, the rest is the file. A table that is
// accepted must hold every record it announced, ascending, and each of its codes must be found with its time.
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const int kTypes[] = {0, 1, 2, 6};
    const int type = kTypes[data[0] % 4];
    std::vector<TimecodeRecord> records;
    std::string why;
    const bool ok = readTimecodeTable(type, data + 1, size - 1, records, why);
    if (!ok) {
        if (!records.empty() || why.empty()) __builtin_trap();
        return 0;
    }
    const size_t recordBytes = (type == 1 || type == 6) ? 12 : 8;
    if (16 + records.size() * recordBytes != size - 1) __builtin_trap();
    FinalScratch::initCodes(type, int(records.size()));
    for (size_t i = 0; i < records.size(); ++i) {
        const TimecodeRecord& r = records[i];
        if (i > 0 && compareTableCode(type, records[i - 1], r.a, r.b) >= 0) __builtin_trap();
        if (type == 0)
            FinalScratch::addCode(0, int(i), int(uint32_t(r.a) & 0xffffu), int(uint32_t(r.a) >> 16), r.time);
        else
            FinalScratch::addCode(type, int(i), r.a, r.b, r.time);
    }
    for (const TimecodeRecord& r : records) {
        int t = 0;
        switch (type) {
        case 0:
            t = FinalScratch::getTimeFromCode(uint32_t(r.a));
            break;
        case 1:
            t = FinalScratch::getTimeFromVDJCode(r.a, r.b);
            break;
        case 2:
            t = FinalScratch::getTimeFromSSLCode(r.a);
            break;
        default:
            t = FinalScratch::getTimeFromTSCode(r.a, r.b);
            break;
        }
        const bool none = r.a == 0 && (r.b == 0 || type == 0 || type == 2);
        if (records.size() >= 2 && !none && t != r.time) __builtin_trap();
    }
    return 0;
}
