// The code tables: one per timecode type for the whole program, their files and their lookups.
#include "audio/vinyl/FinalScratch.h"
#include "foundation/modTools.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct CodeTable {
    std::vector<int32_t> a, b, time; // parallel; size = capacity
    std::atomic<int> count{0};       // records loaded
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

void publish(int type, CodeTable* table) {
    CodeTable* old = s_tables[type].exchange(table);
    if (!old) return;
    while (s_readers.load() != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    delete old;
}

// The lookups' order: unsigned words for type 0, (A, B) for the two-word types, signed words otherwise.
int compareRecord(int type, const CodeTable& t, int i, int32_t a, int32_t b) {
    if (type == 0) {
        const uint32_t x = uint32_t(t.a[size_t(i)]), y = uint32_t(a);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    if (type == 1 || type == 6) return FinalScratch::compareCodes(t.a[size_t(i)], t.b[size_t(i)], a, b);
    return t.a[size_t(i)] < a ? -1 : t.a[size_t(i)] > a ? 1 : 0;
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
        const int c = compareRecord(type, *t, mid, a, b);
        if (c == 0) {
            time = t->time[size_t(mid)];
            return true;
        }
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return false;
}

int32_t readLE32(const unsigned char* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

void reject(const std::string& path, const char* why) {
    printf("Timecode table %s not loaded: %s\n", path.c_str(), why);
}

// Reads and checks a table file. Header mismatches leave the type open for a later try; a missing file marks
// it loaded (empty), as there is nothing to read. Anything else malformed is reported and not loaded.
bool loadTable(int type, const std::string& path) {
    if (s_initialized[type].load()) return FinalScratch::getTableSize(type) > 0;
    uint64_t size = 0;
    FILE* f = fileOpen(path, "rb", &size);
    if (!f) {
        s_initialized[type].store(true);
        return false;
    }
    unsigned char header[16];
    if (size < sizeof header || fread(header, 1, sizeof header, f) != sizeof header) {
        fclose(f);
        reject(path, "the file is shorter than its header");
        return false;
    }
    const int32_t expectedVersion = type == 2 ? 457 : 456;
    if (readLE32(header) != 123 || readLE32(header + 4) != expectedVersion || readLE32(header + 8) != type) {
        fclose(f);
        reject(path, "wrong header");
        return false;
    }
    const int32_t n = readLE32(header + 12);
    const uint64_t recordBytes = (type == 1 || type == 6) ? 12 : 8;
    if (n < 0 || uint64_t(n) * recordBytes + sizeof header != size) {
        fclose(f);
        reject(path, "the record count does not match the file size");
        return false;
    }
    std::vector<unsigned char> data(size_t(uint64_t(n) * recordBytes));
    const bool read = data.empty() || fread(data.data(), 1, data.size(), f) == data.size();
    fclose(f);
    if (!read) {
        reject(path, "read error");
        return false;
    }
    auto* t = new CodeTable;
    t->a.resize(size_t(n));
    t->b.resize(size_t(n));
    t->time.resize(size_t(n));
    for (int32_t i = 0; i < n; ++i) {
        const unsigned char* p = data.data() + uint64_t(i) * recordBytes;
        t->a[size_t(i)] = readLE32(p);
        t->b[size_t(i)] = recordBytes == 12 ? readLE32(p + 4) : 0;
        t->time[size_t(i)] = readLE32(p + recordBytes - 4);
        if (i > 0 && compareRecord(type, *t, i - 1, t->a[size_t(i)], t->b[size_t(i)]) >= 0) {
            delete t;
            reject(path, "the codes are not in ascending order");
            return false;
        }
    }
    t->count.store(n, std::memory_order_release);
    publish(type, t);
    s_initialized[type].store(true);
    return n > 0;
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
    const size_t capacity = size_t(n > 0 ? n : 0);
    t->a.resize(capacity);
    t->b.resize(capacity);
    t->time.resize(capacity);
    publish(type, t);
}

void FinalScratch::addCode(int type, int index, int a, int b, int time) {
    if (!validType(type)) return;
    CodeTable* t = s_tables[type].load();
    if (!t || index < 0 || size_t(index) >= t->a.size()) return;
    // Type 0 keeps a and b as the low and high halves of one word; one-word types have no B.
    if (type == 0)
        t->a[size_t(index)] = int32_t((uint32_t(b) << 16) + uint32_t(a));
    else
        t->a[size_t(index)] = a;
    t->b[size_t(index)] = (type == 1 || type == 6) ? b : 0;
    t->time[size_t(index)] = time;
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
