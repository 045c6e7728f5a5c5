// The code tables: their file format, loading of good and malformed files, the lookups and the generated
// tables of the public record formats.
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"
#include "foundation/modTools.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/MissingComponent.h"
#include "support/TempDir.h"

namespace {

// Per process: the same tests may run at once from other build trees.
std::string tempPath(const char* name) {
    static const testsupport::TempDir scratch("tables"); // removed when the process ends, also after a failure
    return scratch.path + name;
}

void putLE32(std::vector<unsigned char>& out, int32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(uint32_t(v) >> (8 * i)));
}

// A table file image: header words, then flat 32-bit record fields.
std::vector<unsigned char> image(int magic, int version, int type, int n, const std::vector<int32_t>& fields) {
    std::vector<unsigned char> out;
    for (int v : {magic, version, type, n})
        putLE32(out, v);
    for (int32_t f : fields)
        putLE32(out, f);
    return out;
}

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

void install(int type, const std::vector<TimecodeRecord>& records) {
    FinalScratch::initCodes(type, int(records.size()));
    for (size_t i = 0; i < records.size(); ++i)
        FinalScratch::addCode(type, int(i), records[i].a, records[i].b, records[i].time);
}

} // namespace

TEST(TimecodeTableFile, MalformedImagesAreRejectedWithNothingLoaded) {
    const std::vector<int32_t> twoRecords = {5, 100, 9, 200};
    struct Case {
        const char* what;
        int type;
        std::vector<unsigned char> bytes;
    };
    std::vector<unsigned char> truncated = image(123, 457, 2, 2, twoRecords);
    truncated.resize(truncated.size() - 3);
    std::vector<unsigned char> oversized = image(123, 457, 2, 2, twoRecords);
    oversized.push_back(0);
    const Case cases[] = {
        {"empty", 2, {}},
        {"shorter than the header", 2, {123, 0, 0, 0, 201, 1}},
        {"wrong magic", 2, image(124, 457, 2, 2, twoRecords)},
        {"type 2 with the other types' version", 2, image(123, 456, 2, 2, twoRecords)},
        {"type 6 with type 2's version", 6, image(123, 457, 6, 1, {1, 2, 3})},
        {"another type's table", 2, image(123, 457, 6, 2, twoRecords)},
        {"negative count", 2, image(123, 457, 2, -1, twoRecords)},
        {"huge count", 2, image(123, 457, 2, 0x7fffffff, twoRecords)},
        {"count beyond the records", 2, image(123, 457, 2, 3, twoRecords)},
        {"truncated record", 2, truncated},
        {"bytes after the records", 2, oversized},
        {"descending codes", 2, image(123, 457, 2, 2, {9, 100, 5, 200})},
        {"a code twice", 2, image(123, 457, 2, 2, {9, 100, 9, 200})},
        {"type 0 out of unsigned order", 0, image(123, 456, 0, 2, {-1, 100, 5, 200})},
        {"type 6 out of (A, B) order", 6, image(123, 456, 6, 2, {4, 7, 100, 4, 6, 200})},
    };
    for (const Case& c : cases) {
        std::vector<TimecodeRecord> records = {{1, 1, 1}};
        std::string why;
        EXPECT_FALSE(readTimecodeTable(c.type, c.bytes.data(), c.bytes.size(), records, why)) << c.what;
        EXPECT_TRUE(records.empty()) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
    }
    // The unsigned order of type 0 and the (A, B) order of type 6 are accepted as such.
    std::vector<TimecodeRecord> records;
    std::string why;
    auto ok0 = image(123, 456, 0, 2, {5, 100, -1, 200});
    EXPECT_TRUE(readTimecodeTable(0, ok0.data(), ok0.size(), records, why));
    auto ok6 = image(123, 456, 6, 2, {4, 6, 100, 4, 7, 200});
    ASSERT_TRUE(readTimecodeTable(6, ok6.data(), ok6.size(), records, why));
    EXPECT_EQ(records[1].b, 7);
    EXPECT_EQ(records[1].time, 200);
}

TEST(TimecodeTableFile, LoaderRetriesAfterABadFileAndKeepsTheFirstGoodOne) {
    // Start from no tables, whatever tests ran before in this process.
    FinalScratch::initCodes(1, 0);
    FinalScratch::initCodes(2, 0);
    const std::string path = tempPath("ssl_binary.dat");
    // A type-2 file with the version word of the other types, then a truncated one: rejected, not kept.
    writeFile(path, image(123, 456, 2, 2, {5, 100, 9, 200}));
    EXPECT_FALSE(FinalScratch::initSSL(path));
    EXPECT_EQ(FinalScratch::getTableSize(2), 0);
    auto truncated = image(123, 457, 2, 2, {5, 100, 9, 200});
    truncated.resize(20);
    writeFile(path, truncated);
    EXPECT_FALSE(FinalScratch::initSSL(path));
    EXPECT_EQ(FinalScratch::getTimeFromSSLCode(5), 0);
    // The next attempt reads the file again.
    writeFile(path, image(123, 457, 2, 2, {5, 100, 9, 200}));
    EXPECT_TRUE(FinalScratch::initSSL(path));
    EXPECT_EQ(FinalScratch::getTimeFromSSLCode(9), 200);
    // Loaded once per run: a later file is not read.
    writeFile(path, image(123, 457, 2, 2, {5, 300, 9, 400}));
    EXPECT_TRUE(FinalScratch::initSSL(path));
    EXPECT_EQ(FinalScratch::getTimeFromSSLCode(9), 200);
    remove(path.c_str());

    // A missing file counts as loaded, empty.
    const std::string missing = tempPath("no_such_virtualdj_binary.dat");
    EXPECT_FALSE(FinalScratch::initVDJ(missing));
    writeFile(missing, image(123, 456, 1, 2, {1, 1, 10, 1, 2, 20}));
    EXPECT_FALSE(FinalScratch::initVDJ(missing));
    EXPECT_EQ(FinalScratch::getTableSize(1), 0);
    remove(missing.c_str());
}

TEST(TimecodeTableLookup, WordsHalvesAndSmallTables) {
    // Type 0 stores its two 16-bit halves as one word, high half second.
    FinalScratch::initCodes(0, 2);
    FinalScratch::addCode(0, 0, 1, 2, 777);
    FinalScratch::addCode(0, 1, 0xffff, 0xffff, 888);
    EXPECT_EQ(FinalScratch::getTimeFromCode(131073), 777);
    EXPECT_EQ(FinalScratch::getTimeFromCode(0xffffffffu), 888);
    EXPECT_EQ(FinalScratch::getTimeFromCode(131074), 0);

    // One record is not searched; code 0 means "none"; indexes outside the capacity are ignored.
    FinalScratch::initCodes(5, 4);
    FinalScratch::addCode(5, 0, 7, 0, 70);
    EXPECT_EQ(FinalScratch::getTimeFromMVCode(7), 0);
    FinalScratch::addCode(5, 1, 9, 0, 90);
    FinalScratch::addCode(5, 4, 11, 0, 110);
    FinalScratch::addCode(5, -1, 11, 0, 110);
    EXPECT_EQ(FinalScratch::getTimeFromMVCode(7), 70);
    EXPECT_EQ(FinalScratch::getTimeFromMVCode(9), 90);
    EXPECT_EQ(FinalScratch::getTimeFromMVCode(11), 0);
    EXPECT_EQ(FinalScratch::getTableSize(5), 2);
    FinalScratch::initCodes(5, 0);
    EXPECT_EQ(FinalScratch::getTimeFromMVCode(7), 0);
    FinalScratch::initCodes(5, -5);
    EXPECT_EQ(FinalScratch::getTableSize(5), 0);

    // Two-word types compare A, then B.
    install(1, {{0, 5, 10}, {3, -2, 20}, {3, 4, 30}, {8, 0, 40}});
    EXPECT_EQ(FinalScratch::getTimeFromVDJCode(0, 5), 10);
    EXPECT_EQ(FinalScratch::getTimeFromVDJCode(3, -2), 20);
    EXPECT_EQ(FinalScratch::getTimeFromVDJCode(3, 4), 30);
    EXPECT_EQ(FinalScratch::getTimeFromVDJCode(8, 0), 40);
    EXPECT_EQ(FinalScratch::getTimeFromVDJCode(3, 0), 0);
    EXPECT_EQ(FinalScratch::getTimeFromVDJCode(0, 0), 0);
    EXPECT_EQ(FinalScratch::compareCodes(3, 4, 3, 4), 0);
    EXPECT_EQ(FinalScratch::compareCodes(3, 5, 3, 4), 1);
    EXPECT_EQ(FinalScratch::compareCodes(2, 9, 3, 0), -1);

    EXPECT_STREQ(FinalScratch::getTableFileName(6), "traktorscratch_binary.dat");
    EXPECT_STREQ(FinalScratch::getTableFileName(2), "ssl_binary.dat");
    EXPECT_EQ(FinalScratch::getTableFileName(4), nullptr);
}

// The published facts of the record formats, typed in here on their own (not taken from the code's constants,
// which the signal generator, the tables and the decoder all share), with the published register step.
struct PublishedFormat {
    const TimecodeLfsr* code; // the code's description of the same side
    const char* name;
    int bits;
    double carrierHz;
    uint32_t seed, taps;
    int cycles, safe;
};
const PublishedFormat kPublished[] = {
    {&kSeratoSideA, "serato_2a", 20, 1000, 0x59017, 0x361e4, 712000, 707000},
    {&kSeratoSideB, "serato_2b", 20, 1000, 0x8f3c6, 0x4f0d8, 922000, 917000},
    {&kTraktorSideA, "traktor_a", 23, 2000, 0x134503, 0x041040, 1500000, 1480000},
    {&kTraktorSideB, "traktor_b", 23, 2000, 0x32066c, 0x041040, 2110000, 2090000},
    {&kMixvibesV2, "mixvibes_v2", 20, 1300, 0x22c90, 0x00008, 950000, 923000},
};

// next = (state >> 1) | (parity(state & (taps | 1)) << (bits - 1)); the record carries the top bit of each state.
std::vector<uint8_t> publishedBits(const PublishedFormat& f, int count) {
    std::vector<uint8_t> bits;
    uint32_t state = f.seed;
    for (int n = 0; n < count; ++n) {
        bits.push_back(uint8_t((state >> (f.bits - 1)) & 1u));
        state = (state >> 1) | (uint32_t(__builtin_parity(state & (f.taps | 1u))) << (f.bits - 1));
    }
    return bits;
}

TEST(TimecodeTableGeneration, FormatsMatchThePublishedFacts) {
    for (const PublishedFormat& f : kPublished) {
        SCOPED_TRACE(f.name);
        EXPECT_STREQ(f.code->name, f.name);
        EXPECT_EQ(f.code->bits, f.bits);
        EXPECT_EQ(f.code->carrierHz, f.carrierHz);
        EXPECT_EQ(f.code->seed, f.seed);
        EXPECT_EQ(f.code->taps, f.taps);
        EXPECT_EQ(f.code->cycles, f.cycles);
        EXPECT_EQ(f.code->safe, f.safe);
        EXPECT_EQ(lfsrBits(*f.code, 20000), publishedBits(f, 20000));
    }
}

// The public facts: the sequences do not repeat within a side and the backward step undoes the forward one.
TEST(TimecodeTableGeneration, SequencesFollowThePublicFacts) {
    for (const TimecodeLfsr* f : {&kSeratoSideA, &kSeratoSideB, &kTraktorSideA, &kTraktorSideB, &kMixvibesV2}) {
        uint32_t s = f->seed;
        for (int i = 0; i < 1000; ++i) {
            const uint32_t next = lfsrForward(s, *f);
            ASSERT_EQ(lfsrBackward(next, *f), s) << f->name;
            s = next;
        }
    }
    std::vector<uint8_t> seen(1u << kSeratoSideB.bits, 0);
    uint32_t s = kSeratoSideB.seed;
    int repeats = 0;
    for (int n = 0; n < kSeratoSideB.cycles; ++n, s = lfsrForward(s, kSeratoSideB))
        repeats += seen[s]++ != 0;
    EXPECT_EQ(repeats, 0);
}

// The type-2 table holds both sides (side B above 20 minutes) less the codes found on both, and every one of
// its codes is found with its time while codes outside it are not.
TEST(TimecodeTableGeneration, EverySeratoCodeIsFound) {
    const std::vector<TimecodeRecord> serato = buildSeratoTable();
    const size_t windows = size_t(kSeratoSideA.cycles + kSeratoSideB.cycles - 2 * (kSeratoCodeBits - 1));
    EXPECT_LT(serato.size(), windows);
    EXPECT_GT(serato.size(), windows - 5000);
    int sideB = 0;
    for (const TimecodeRecord& r : serato)
        sideB += r.time > kSideBTimeOffset;
    EXPECT_GT(sideB, 900000);

    install(2, serato);
    size_t missed = 0;
    for (const TimecodeRecord& r : serato)
        missed += FinalScratch::getTimeFromSSLCode(r.a) != r.time;
    EXPECT_EQ(missed, 0u);
    size_t absentFound = 0, absent = 0;
    for (size_t i = 0; i + 1 < serato.size(); i += 997)
        if (serato[i].a + 1 != serato[i + 1].a) {
            ++absent;
            absentFound += FinalScratch::getTimeFromSSLCode(serato[i].a + 1) != 0;
        }
    EXPECT_GT(absent, 100u);
    EXPECT_EQ(absentFound, 0u);

    // Cycle 0 of side A: its window starts with the seed's top bit, and its time is the record's lead.
    const std::vector<uint8_t> bits = lfsrBits(kSeratoSideA, 64);
    int32_t a, b;
    ASSERT_TRUE(windowCode(2, bits, 0, a, b));
    EXPECT_EQ(uint32_t(a) & 1u, kSeratoSideA.seed >> 19);
    EXPECT_EQ(FinalScratch::getTimeFromSSLCode(a), 3900 * 48);
    ASSERT_TRUE(windowCode(2, bits, 10, a, b));
    EXPECT_EQ(FinalScratch::getTimeFromSSLCode(a), (3900 + 10) * 48);
    // Bits made by the published register step from the published seed are found at the cycle they are
    // pressed at: 1/48 ms units, one cycle of the 1000 Hz carrier apart.
    const PublishedFormat& sideA = kPublished[0];
    const std::vector<uint8_t> published = publishedBits(sideA, 200100);
    for (int n : {0, 1, 777, 200000}) {
        ASSERT_TRUE(windowCode(2, published, n, a, b));
        EXPECT_EQ(FinalScratch::getTimeFromSSLCode(a), int32_t(std::lround((3900 + n * 1000 / sideA.carrierHz) * 48)))
            << n;
    }

    // A written table reads back record for record.
    const std::string path = tempPath("written_table.dat");
    const std::vector<TimecodeRecord> small(serato.begin(), serato.begin() + 1000);
    ASSERT_TRUE(writeTimecodeTable(path, 2, small));
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> bytes(16 + 8 * small.size() + 1);
    bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
    fclose(f);
    remove(path.c_str());
    std::vector<TimecodeRecord> back;
    std::string why;
    ASSERT_TRUE(readTimecodeTable(2, bytes.data(), bytes.size(), back, why)) << why;
    ASSERT_EQ(back.size(), small.size());
    for (size_t i = 0; i < small.size(); ++i)
        ASSERT_TRUE(back[i].a == small[i].a && back[i].time == small[i].time);
}

// The Traktor table the build generated into the application folder loads through the deck's loader, and
// the codes of both sides are found with their times.
TEST(TimecodeTableGeneration, BuiltTraktorTableLoads) {
    const std::string folder = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/../vinylcontrol/";
    const std::string ts = folder + FinalScratch::getTableFileName(6);
    if (!FileExist(ts)) TARLUME_MISSING_COMPONENT() << "no generated tables in " << folder;
    EXPECT_TRUE(FinalScratch::initTS(ts));
    EXPECT_GT(FinalScratch::getTableSize(6), 3600000);
    int checked = 0, missed = 0;
    for (const TimecodeLfsr* side : {&kTraktorSideA, &kTraktorSideB}) {
        const std::vector<uint8_t> bits = lfsrBits(*side, side->cycles);
        const int32_t base = 3900 * 48 + (side == &kTraktorSideB ? kSideBTimeOffset : 0);
        int32_t a, b;
        for (int n = 0; windowCode(6, bits, n, a, b); n += 101, ++checked)
            missed += FinalScratch::getTimeFromTSCode(a, b) != base + 24 * n;
    }
    EXPECT_GT(checked, 30000);
    EXPECT_EQ(missed, 0);
}

// A table replaced while another thread looks codes up is never read after it was freed.
TEST(TimecodeTableLookup, ReplacingATableWhileItIsRead) {
    install(5, {{1, 0, 10}, {2, 0, 20}, {3, 0, 30}});
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const int t = FinalScratch::getTimeFromMVCode(2);
            if (t != 20 && t != 0) wrong.fetch_add(1);
            reads.fetch_add(1);
        }
    });
    while (reads.load() == 0) // the replacing starts once the reader reads
        std::this_thread::yield();
    const int before = reads.load();
    // At least 2000 replacements, and on until the reader has read among them (a busy machine may hold it off).
    for (int i = 0; i < 2000 || (reads.load() == before && i < 1000000); ++i)
        install(5, {{1, 0, 10}, {2, 0, 20}, {3, 0, 30}});
    const int during = reads.load() - before;
    stop.store(true);
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(during, 0);
    EXPECT_EQ(FinalScratch::getTimeFromMVCode(3), 30); // the last table stands whole
}
