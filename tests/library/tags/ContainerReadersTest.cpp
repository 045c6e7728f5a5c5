// RIFF, ASF and MP4 tag readers over crafted files.
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

#include <cmath>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "library/tags/TagTestUtil.h"

using namespace tagtest;

namespace {

using testsupport::chunk, testsupport::riff;
std::string fmt(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t avg = 0) {
    return chunk("fmt ", le16(1) + le16(channels) + le32(rate) + le32(avg) + le16(channels * bits / 8) + le16(bits));
}
std::string acid(float tempo) {
    uint32_t bits;
    memcpy(&bits, &tempo, 4);
    return chunk("acid", std::string(20, '\0') + le32(bits));
}

template <typename Reader> CID3v2Tag* read(const std::string& file, Reader reader, bool* result = nullptr) {
    auto* tag = new CID3v2Tag;
    MemoryByteSource source(file);
    bool r = (tag->*reader)(source);
    if (result) *result = r;
    return tag;
}
CID3v2Tag* wav(const std::string& file, bool* result = nullptr) {
    return read(file, static_cast<bool (CID3v2Tag::*)(ByteSource&)>(&CID3v2Tag::readFromWAV), result);
}
CID3v2Tag* wma(const std::string& file, bool* result = nullptr) {
    return read(file, static_cast<bool (CID3v2Tag::*)(ByteSource&)>(&CID3v2Tag::readFromWMA), result);
}
CID3v2Tag* m4a(const std::string& file, bool* result = nullptr) {
    return read(file, static_cast<bool (CID3v2Tag::*)(ByteSource&)>(&CID3v2Tag::readFromM4ATag), result);
}

// ---- ASF ----
const std::string kHeaderGuid =
    bytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
const std::string kContentGuid =
    bytes({0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
const std::string kExtendedGuid =
    bytes({0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11, 0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50});
const std::string kStreamGuid =
    bytes({0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11, 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65});

std::string utf16(const std::string& ascii, bool terminate = true) {
    std::string s;
    for (char c : ascii)
        s += std::string(1, c) + '\0';
    return terminate ? s + std::string(2, '\0') : s;
}
std::string asfObject(const std::string& guid, const std::string& body) {
    return guid + le64(24 + body.size()) + body;
}
std::string asf(const std::vector<std::string>& objects, uint32_t count = 0) {
    std::string all;
    for (const auto& o : objects)
        all += o;
    return kHeaderGuid + le64(30 + all.size()) + le32(count ? count : uint32_t(objects.size())) + bytes({1, 2}) + all;
}
std::string contentDescription(const std::string& title, const std::string& author, const std::string& description) {
    std::string t = title.empty() ? "" : utf16(title), a = author.empty() ? "" : utf16(author),
                d = description.empty() ? "" : utf16(description);
    return asfObject(kContentGuid, le16(uint16_t(t.size())) + le16(uint16_t(a.size())) + le16(0) +
                                       le16(uint16_t(d.size())) + le16(0) + t + a + d);
}
std::string attribute(const std::string& name, const std::string& text) {
    std::string n = utf16(name), v = utf16(text);
    return le16(uint16_t(n.size())) + n + le16(0) + le16(uint16_t(v.size())) + v;
}
std::string dword(const std::string& name, uint32_t value) {
    std::string n = utf16(name);
    return le16(uint16_t(n.size())) + n + le16(3) + le16(4) + le32(value);
}
std::string extended(const std::vector<std::string>& attributes) {
    std::string all;
    for (const auto& a : attributes)
        all += a;
    return asfObject(kExtendedGuid, le16(uint16_t(attributes.size())) + all);
}

// ---- MP4 ----
std::string box(const std::string& type, const std::string& content) {
    return be32(uint32_t(8 + content.size())) + type + content;
}
std::string item(const std::string& name, const std::string& payload, uint32_t type = 1) {
    return box(name, box("data", be32(type) + be32(0) + payload));
}
std::string mp4(const std::string& items, const std::string& before = box("ftyp", "M4A mp42isom")) {
    return before + box("free", "") +
           box("moov", box("mvhd", std::string(20, '\0')) +
                           box("udta", box("meta", std::string(4, '\0') + box("hdlr", std::string(25, '\0')) +
                                                       box("ilst", items))));
}

} // namespace

TEST(WAVReader, LengthTempoAndReplayGain) {
    // 1,764,044 bytes of 16-bit stereo at 44100 Hz: the whole file counts, 10000 ms.
    std::string head = fmt(2, 44100, 16);
    std::string file = riff(head + chunk("data", std::string(1764044 - 12 - head.size() - 8, '\0')));
    ASSERT_EQ(file.size(), 1764044u);
    std::unique_ptr<CID3v2Tag> t(wav(file));
    EXPECT_EQ(t->getFrameCopy("TLEN"), "10000");

    struct Case {
        std::string chunks;
        const char *tlen, *bpm;
    } cases[] = {
        {fmt(2, 0, 16), "", ""}, // a rate of 0 gives no length
        {fmt(0, 44100, 0, 8000) + chunk("data", std::string(7956, '\0')), "1000", ""},
        {fmt(0, 44100, 0, 0), "", ""},
        {chunk("fmt ", std::string(14, '\x10')), "", ""}, // shorter than 16 bytes
        {acid(128.0f), "", "128.00"},
        {acid(300.0f), "", ""},
        {acid(50.0f), "", ""},
        {acid(NAN), "", ""},
        {chunk("acid", std::string(23, 'x')), "", ""},
    };
    for (const auto& c : cases) {
        std::unique_ptr<CID3v2Tag> tag(wav(riff(c.chunks)));
        EXPECT_EQ(tag->getFrameCopy("TLEN"), c.tlen) << c.chunks.size();
        EXPECT_EQ(tag->getFrameCopy("TBPM"), c.bpm) << c.chunks.size();
    }

    std::unique_ptr<CID3v2Tag> rg(wav(riff(chunk("rgad", bytes({0, 0, 0, 0x3F, 0x2E, 0x41, 0x44, 0})))));
    float peak, gain, album;
    rg->getReplayGain(&peak, &gain, &album);
    EXPECT_FLOAT_EQ(peak, 0.5f);
    EXPECT_FLOAT_EQ(gain, -6.5f);
    std::unique_ptr<CID3v2Tag> rg7(wav(riff(chunk("rgad", std::string(7, 'x')))));
    EXPECT_EQ(rg7->getFrame("RGAD", true), nullptr);
}

TEST(WAVReader, InfoTexts) {
    std::string info = "INFO" + chunk("IART", std::string("Abc\0\0", 5)) + // odd size 5 consumes 6 bytes
                       chunk("INAM", std::string(" Name \0junk", 11)) + chunk("ISRC", "http://x.org") +
                       chunk("ICMT", "") + chunk("IGNR", "Dub") + chunk("IXXX", "ignored");
    std::unique_ptr<CID3v2Tag> t(wav(riff(chunk("LIST", info))));
    expectFrames(*t, {"TPE1", "Abc", "TIT2", "Name", "WOAF", "http://x.org", "TCON", "Dub"});
    EXPECT_EQ(t->getFrame("COMM", true), nullptr);

    // The product names the album.
    std::unique_ptr<CID3v2Tag> album(
        wav(riff(chunk("LIST", "INFO" + chunk("IPRD", " Album \0") + chunk("INAM", "T")))));
    EXPECT_EQ(album->getFrameCopy("TALB"), "Album");

    std::unique_ptr<CID3v2Tag> code(wav(riff(chunk("LIST", "INFO" + chunk("ISRC", "USABC1234567")))));
    EXPECT_EQ(code->getFrame("WOAF", true), nullptr);
    std::unique_ptr<CID3v2Tag> other(wav(riff(chunk("LIST", "adtl" + chunk("INAM", "x")))));
    EXPECT_EQ(other->getNbFrames(), 0u);

    // A text whose size runs past its list stops at the list's end.
    std::string list = chunk("LIST", "INFO" + std::string("INAM") + le32(1000) + "Short");
    std::unique_ptr<CID3v2Tag> past(wav(riff(list + chunk("IART", "not a text"))));
    EXPECT_EQ(past->getFrameCopy("TIT2"), "Short");
}

TEST(WAVReader, MalformedFilesEndTheWalk) {
    bool result = true;
    std::unique_ptr<CID3v2Tag> a(wav("RIFX" + le32(100) + "WAVE", &result));
    EXPECT_FALSE(result);
    std::unique_ptr<CID3v2Tag> b(wav("RIFF" + le32(100) + "AVI ", &result));
    EXPECT_FALSE(result);
    std::unique_ptr<CID3v2Tag> c(wav("RIFF" + le32(16) + "junk", &result));
    EXPECT_TRUE(result);
    std::unique_ptr<CID3v2Tag> d(wav("RIF", &result));
    EXPECT_FALSE(result);

    // A chunk size that would wrap a 32-bit offset back onto itself ends the walk.
    std::string looping = riff(acid(120.0f) + "junk" + le32(0xFFFFFFF8) + std::string(16, 'z'));
    std::unique_ptr<CID3v2Tag> e(wav(looping, &result));
    EXPECT_TRUE(result);
    EXPECT_EQ(e->getFrameCopy("TBPM"), "120.00");
    std::unique_ptr<CID3v2Tag> f(wav(riff(chunk("LIST", "INFO" + std::string("INAM") + le32(0xFFFFFFFF)))));
    EXPECT_EQ(f->getNbFrames(), 0u);
    std::unique_ptr<CID3v2Tag> g(wav(riff("LIST" + le32(0xFFFFFFF0) + "INFO" + chunk("INAM", "Cut"))));
    EXPECT_EQ(g->getFrameCopy("TIT2"), "Cut");
}

TEST(WMAReader, DescriptionsNumbersAndReplayGain) {
    std::string stream = asfObject(kStreamGuid, std::string(54, '\0') + le16(0x161) + le16(2) + le32(44100) +
                                                    le32(16000) + std::string(10, '\0'));
    std::string file = asf(
        {contentDescription("Title", "Author", "Desc"), stream,
         extended({attribute("WM/AlbumTitle", " Album "), dword("WM/TRACK", 0), dword("WM/BPM", 128),
                   attribute("WM/Genre", "Techno"), attribute("WM/Year", "2001"), attribute("WM/Title", "Later Title"),
                   attribute("WM/Author", ""), dword("WM/Other", 7), attribute("WM/ReplayGain_Track_Gain", "+4.5 dB"),
                   attribute("WM/ReplayGain_Track_Peak", "0.8")})});
    bool result = false;
    std::unique_ptr<CID3v2Tag> t(wma(file, &result));
    EXPECT_TRUE(result);
    EXPECT_EQ(t->getFrameCopy("TIT2"), "Later Title"); // a later attribute wins
    EXPECT_EQ(t->getFrameCopy("TPE1"), "Author");      // an empty one removes nothing
    EXPECT_EQ(t->getFrameCopy("COMM"), "Desc");
    EXPECT_EQ(t->getFrameCopy("TALB"), "Album");
    EXPECT_EQ(t->getFrameCopy("TRCK"), "1"); // 0-based track
    expectFrames(*t, {"TBPM", "128", "TCON", "Techno", "TYER", "2001"});
    EXPECT_EQ(t->getFrameCopy("TLEN"), std::to_string(int(float(file.size()) / 16.0f)));
    float peak, gain, album;
    t->getReplayGain(&peak, &gain, &album);
    EXPECT_FLOAT_EQ(peak, 0.8f);
    EXPECT_FLOAT_EQ(gain, 4.5f);

    // Today's 1-based track number counts only when the old attribute is absent, whatever the order.
    std::unique_ptr<CID3v2Tag> number(wma(asf({extended({dword("WM/TrackNumber", 7)})})));
    EXPECT_EQ(number->getFrameCopy("TRCK"), "7");
    std::unique_ptr<CID3v2Tag> text(wma(asf({extended({attribute("WM/TrackNumber", "3/12")})})));
    EXPECT_EQ(text->getFrameCopy("TRCK"), "3/12");
    std::unique_ptr<CID3v2Tag> both(wma(asf({extended({attribute("WM/TrackNumber", "9"), dword("WM/Track", 4)})})));
    EXPECT_EQ(both->getFrameCopy("TRCK"), "5");

    std::unique_ptr<CID3v2Tag> notAsf(wma(std::string(40, '\0'), &result));
    EXPECT_FALSE(result);
}

TEST(WMAReader, MalformedObjectsEndTheWalkKeepingWhatWasRead) {
    std::string before = contentDescription("Kept", "", "");
    struct Case {
        const char* name;
        std::string file;
    } cases[] = {
        {"object of 300000 bytes", asf({before, asfObject(kContentGuid, std::string(300000 - 24, '\0'))})},
        {"object below 24 bytes", asf({before, kContentGuid + le64(10) + std::string(40, '\0')})},
        {"object past the end", asf({before, kContentGuid + le64(5000) + std::string(40, '\0')})},
        {"count past the objects", asf({before}, 1000000)},
        {"description lengths past the object",
         asf({before, asfObject(kContentGuid, le16(900) + le16(0) + le16(0) + le16(0) + le16(0) + "ab")})},
        {"attribute name past the object", asf({before, asfObject(kExtendedGuid, le16(3) + le16(500) + "a")})},
        {"attribute value past the object",
         asf({before, asfObject(kExtendedGuid, le16(1) + le16(2) + "a" + std::string(1, '\0') + le16(0) + le16(99))})},
        {"DWORD of 2 bytes",
         asf({before, asfObject(kExtendedGuid, le16(1) + le16(4) + utf16("x", false) + le16(3) + le16(2) + "ab")})},
        {"odd UTF-16 length", asf({before, extended({le16(3) + "a\0b" + le16(0) + le16(3) + "c\0d"})})},
    };
    for (const auto& c : cases) {
        std::unique_ptr<CID3v2Tag> t(wma(c.file));
        EXPECT_EQ(t->getFrameCopy("TIT2"), "Kept") << c.name;
    }
    // A header cut short in the middle of an object.
    std::string full = asf({before, extended({attribute("WM/Genre", "Lost")})});
    std::unique_ptr<CID3v2Tag> cut(wma(full.substr(0, full.size() - 5)));
    EXPECT_EQ(cut->getFrameCopy("TIT2"), "Kept");
    EXPECT_EQ(cut->getFrameCopy("TCON"), "");
}

TEST(M4AReader, ItemsAndTheirRules) {
    std::string items = item("\xA9nam", "Name") +
                        item("\xA9"
                             "ART",
                             "Artist") +
                        item("\xA9wrt", "Writer") +
                        item("\xA9"
                             "alb",
                             "Album") +
                        item("\xA9gen", "Genre") + item("desc", "Description") + item("tmpo", bytes({0x01, 0x2C}), 21) +
                        item("trkn", bytes({0, 0, 0, 7, 0, 12, 0, 0}), 0) +
                        item("\xA9"
                             "day",
                             "2007-05-01") +
                        item("covr", "PNGDATA", 14);
    bool result = false;
    std::unique_ptr<CID3v2Tag> t(m4a(mp4(items), &result));
    EXPECT_TRUE(result);
    expectFrames(*t, {"TIT2", "Name", "TPE1", "Artist", "TCOM", "Writer", "TALB", "Album", "TCON", "Genre", "COMM",
                      "Description", "TBPM", "300", "TRCK", "7", "TYER", "2007"});
    EXPECT_EQ(*t->getFrame("APIC", true), std::string("\0image/png\0\x03"
                                                      "cover\0PNGDATA",
                                                      25));

    std::unique_ptr<CID3v2Tag> both(m4a(mp4(item("desc", "D") +
                                            item("\xA9"
                                                 "cmt",
                                                 "C") +
                                            item("\xA9"
                                                 "day",
                                                 "99"))));
    EXPECT_EQ(both->getFrameCopy("COMM"), "C");
    EXPECT_EQ(both->getFrame("TYER", true), nullptr);
}

TEST(M4AReader, MalformedBoxesStayInsideTheirParents) {
    std::string good = item("\xA9nam", "Kept");
    struct Case {
        const char* name;
        std::string file;
        const char* title;
    } cases[] = {
        {"mdat with a 64-bit size before moov", mp4(good, be32(1) + "mdat" + std::string(16, '\0')), ""},
        {"moov past the end", be32(1000) + "moov" + std::string(10, '\0'), ""},
        {"child size past the parent", mp4(be32(500) + "\xA9gen" + good), "Kept"},
        {"child size below 8", mp4(be32(3) + "xxxx" + good), "Kept"},
        {"item without data",
         mp4(box("\xA9"
                 "alb",
                 "") +
             good),
         "Kept"},
        {"data shorter than its header",
         mp4(box("\xA9"
                 "alb",
                 box("data", "abc")) +
             good),
         "Kept"},
        {"short tmpo and trkn", mp4(item("tmpo", "x") + item("trkn", "abc") + good), "Kept"},
        {"meta shorter than its version", box("moov", box("udta", box("meta", "ab"))), ""},
        {"no moov", box("ftyp", "M4A ") + box("mdat", "zz"), ""},
    };
    for (const auto& c : cases) {
        bool result = false;
        std::unique_ptr<CID3v2Tag> t(m4a(c.file, &result));
        EXPECT_TRUE(result) << c.name;
        EXPECT_EQ(t->getFrameCopy("TIT2"), c.title) << c.name;
        EXPECT_EQ(t->getFrame("TBPM", true), nullptr) << c.name;
        EXPECT_EQ(t->getFrame("TRCK", true), nullptr) << c.name;
    }
}
