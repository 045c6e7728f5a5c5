// The code tables: one per timecode type for the whole program, their files and their lookups.
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"
#include "foundation/modTools.h"

#include <chrono>
#include <thread>
#include <vector>

namespace {

struct CodeTable {
    std::vector<TimecodeRecord> records; // size = capacity, ascending in the lookups' order
    std::atomic<int> count{0};           // records loaded
};

std::atomic<CodeTable*> s_tables[FinalScratch::kTypes];
std::atomic<bool> s_initialized[FinalScratch::kTypes];
// Lookups in progress on any thread. A replaced table is freed only after this has been seen at 0 once the
// new one was published (sequentially consistent on both sides).
std::atomic<int> s_readers{0};

// Holds off the freeing of the table it reads.
class TableReader {
public:
    explicit TableReader(int type) {
        s_readers.fetch_add(1);
        m_table = s_tables[type].load();
    }
    ~TableReader() { s_readers.fetch_sub(1); }
    const CodeTable* table() const { return m_table; }

private:
    const CodeTable* m_table;
};

bool validType(int type) {
    return type >= 0 && type < FinalScratch::kTypes;
}

// Main thread. Waits (briefly: a lookup takes well under a microsecond) until no lookup can still hold the
// replaced table.
void publish(int type, CodeTable* table) {
    CodeTable* old = s_tables[type].exchange(table);
    if (!old) return;
    while (s_readers.load() != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    delete old;
}

// Exact binary search; false when the code is absent, the table too small or the code "none".
bool findTime(int type, int32_t a, int32_t b, int32_t& time) {
    const bool twoWords = type == 1 || type == 6;
    if (a == 0 && (!twoWords || b == 0)) return false;
    TableReader reader(type);
    const CodeTable* t = reader.table();
    if (!t) return false;
    const int n = t->count.load(std::memory_order_acquire);
    if (n < 2) return false;
    int lo = 0, hi = n - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const int c = compareTableCode(type, t->records[size_t(mid)], a, b);
        if (c == 0) {
            time = t->records[size_t(mid)].time;
            return true;
        }
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return false;
}

// A missing file marks the type loaded (empty), as there is nothing to read; a malformed one is reported and
// leaves the type open for a later try.
bool loadTable(int type, const std::string& path) {
    if (s_initialized[type].load()) return FinalScratch::getTableSize(type) > 0;
    uint64_t size = 0;
    FILE* f = fileOpen(path, "rb", &size);
    if (!f) {
        s_initialized[type].store(true);
        return false;
    }
    std::string why;
    std::vector<unsigned char> data;
    if (size > (uint64_t(1) << 31)) {
        why = "the file is too large";
    } else {
        data.resize(size_t(size));
        if (!data.empty() && fread(data.data(), 1, data.size(), f) != data.size()) why = "read error";
    }
    fclose(f);
    auto* t = new CodeTable;
    if (why.empty() && readTimecodeTable(type, data.data(), data.size(), t->records, why)) {
        t->count.store(int(t->records.size()), std::memory_order_release);
        publish(type, t);
        s_initialized[type].store(true);
        return !t->records.empty();
    }
    delete t;
    fprintf(stderr, "Timecode table %s not loaded: %s\n", path.c_str(), why.c_str());
    return false;
}

} // namespace

bool FinalScratch::initFinalScratch(const std::string& path) {
    return loadTable(0, path);
}

bool FinalScratch::initVDJ(const std::string& path) {
    return loadTable(1, path);
}

bool FinalScratch::initSSL(const std::string& path) {
    return loadTable(2, path);
}

bool FinalScratch::initTS(const std::string& path) {
    return loadTable(6, path);
}

void FinalScratch::initCodes(int type, int n) {
    if (!validType(type)) return;
    auto* t = new CodeTable;
    t->records.resize(size_t(n > 0 ? n : 0), TimecodeRecord{0, 0, 0});
    publish(type, t);
}

void FinalScratch::addCode(int type, int index, int a, int b, int time) {
    if (!validType(type)) return;
    CodeTable* t = s_tables[type].load();
    if (!t || index < 0 || size_t(index) >= t->records.size()) return;
    TimecodeRecord& r = t->records[size_t(index)];
    // Type 0 keeps a and b as the low and high halves of one word; one-word types have no B.
    r.a = type == 0 ? int32_t((uint32_t(b) << 16) + uint32_t(a)) : a;
    r.b = (type == 1 || type == 6) ? b : 0;
    r.time = time;
    t->count.store(index + 1, std::memory_order_release);
}

int FinalScratch::getTimeFromCode(unsigned int code) {
    int32_t time = 0;
    return findTime(0, int32_t(code), 0, time) ? time : 0;
}

int FinalScratch::getTimeFromVDJCode(int a, int b) {
    int32_t time = 0;
    return findTime(1, a, b, time) ? time : 0;
}

int FinalScratch::getTimeFromSSLCode(int code) {
    int32_t time = 0;
    return findTime(2, code, 0, time) ? time : 0;
}

int FinalScratch::getTimeFromMVCode(int code) {
    int32_t time = 0;
    return findTime(5, code, 0, time) ? time : 0;
}

int FinalScratch::getTimeFromTSCode(int a, int b) {
    int32_t time = 0;
    return findTime(6, a, b, time) ? time : 0;
}

int FinalScratch::compareCodes(int a1, int b1, int a2, int b2) {
    if (a1 != a2) return a1 > a2 ? 1 : -1;
    if (b1 != b2) return b1 > b2 ? 1 : -1;
    return 0;
}

const char* FinalScratch::getTableFileName(int type) {
    switch (type) {
    case 0:
        return "finalscratch_binary.dat";
    case 1:
        return "virtualdj_binary.dat";
    case 2:
        return "ssl_binary.dat";
    case 6:
        return "traktorscratch_binary.dat";
    default:
        return nullptr;
    }
}

int FinalScratch::getTableSize(int type) {
    if (!validType(type)) return 0;
    TableReader reader(type);
    return reader.table() ? reader.table()->count.load(std::memory_order_acquire) : 0;
}

// The decoder's own lookup: distinguishes "absent" from a time of 0.
bool FinalScratch::lookUp(const Code& code, int type, double& time) {
    int32_t t = 0;
    bool found = false;
    switch (type) {
    case 0:
        found = findTime(0, int32_t(uint32_t(code.w[1]) << 16 | (uint32_t(code.w[0]) & 0xffffu)), 0, t);
        break;
    case 1:
    case 6:
        found = findTime(type, code.w[0], code.w[1], t);
        break;
    case 2:
    case 5:
        found = findTime(type, code.w[0], 0, t);
        break;
    default:
        break;
    }
    time = t;
    return found;
}
