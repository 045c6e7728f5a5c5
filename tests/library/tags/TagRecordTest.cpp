#include "library/tags/CID3v2Tag.h"

#include <cmath>

#include <gtest/gtest.h>

#include "library/tags/TagTestUtil.h"

using tagtest::bytes;

namespace {

std::string decode(int encoding, const std::string& data) {
    CID3Frame frame("TIT2", data, std::string(1, char(encoding)));
    return frame.getString();
}

} // namespace

TEST(TagRecord, GetStringDecodesEveryEncoding) {
    struct Case {
        int encoding;
        std::string data, text;
    } cases[] = {
        {0, "plain\xE9", "plain\xE9"},
        {3, "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {1, bytes({0xFF, 0xFE, 'A', 0, 0xE9, 0}), "A\xC3\xA9"},
        {1, bytes({0xFE, 0xFF, 0, 'A', 0, 'B'}), "AB"},
        {1, bytes({0xFE, 0xFF, 0x65, 0xE5}), "\xE6\x97\xA5"},  // big-endian beyond ISO-8859-1
        {1, bytes({'A', 0, 'B', 0, 'C', 0}), "ABC"},           // no mark, 2 of 6 bytes zero
        {1, bytes({'A', 0, 'B', 0}), bytes({'A', 0, 'B', 0})}, // 1 of 4: kept as it is
        {2, bytes({0, 'h', 0, 'i', '!'}), "hi"},               // big-endian; odd last byte ignored
        {2, bytes({0, 'B', 0, 'E', 0, ' ', 0, 0xC4, 0x65, 0xE5}), "BE \xC3\x84\xE6\x97\xA5"},
        {2, bytes({0xFF, 0xFE, 'a', 0}), "a"}, // a mark where none belongs is still honoured
        {2, bytes({0xFE, 0xFF, 0, 'b'}), "b"},
        {2, "x", "x"},
        {1, bytes({0xFF, 0xFE, 0x3D, 0xD8}), "\xEF\xBF\xBD"}, // unpaired surrogate
        {7, "raw", "raw"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.encoding, c.data), c.text) << c.encoding << " " << c.data;

    CID3Frame frame("TIT2", bytes({0xFF, 0xFE, 'a', 0}), std::string(1, '\1'));
    EXPECT_EQ(frame.getString(), "a");
    frame.setData(bytes({0xFF, 0xFE, 'b', 0})); // replacing the data drops the decoded text
    EXPECT_EQ(frame.getString(), "b");
}

TEST(TagRecord, SetFrameAddsReplacesAndRemovesTheFirstFrame) {
    CID3v2Tag tag;
    EXPECT_EQ(tag.getVersion(), 4);
    tag.setVersion(3);
    tag.setFrame("TPE1", "x", 3);
    ASSERT_EQ(tag.getNbFrames(), 1u);
    EXPECT_EQ(tag.getFrame(0u)->getAdditionalHeader(), "\x03");
    EXPECT_EQ(tag.getVersion(), 4);
    EXPECT_TRUE(tag.isChanged());

    tag.addFrame(new CID3Frame("TIT2", "one", std::string(1, '\0')));
    tag.addFrame(new CID3Frame("TIT2", "two", std::string(1, '\0')));
    tag.setChanged(false);
    tag.setFrame("TIT2", "one", 0); // same bytes: nothing changes
    EXPECT_FALSE(tag.isChanged());
    EXPECT_EQ(*tag.getFrame("TIT2", false, 1), "two");
    EXPECT_EQ(tag.getFrame("TIT2", false, 2), nullptr);
    EXPECT_EQ(tag.getFrame("", false, 0), nullptr);
    tag.setFrame("TIT2", "", 0); // removes the first only
    EXPECT_TRUE(tag.isChanged());
    EXPECT_EQ(tag.getFrameCopy("TIT2"), "two");
    tag.setFrame("TIT2", nullptr, 0);
    EXPECT_EQ(tag.getFrameCopy("TIT2"), "");
    tag.setFrame("", "ignored", 0);
    tag.setFrame("TCON", nullptr, 0);
    EXPECT_EQ(tag.getNbFrames(), 1u);

    // A UTF-16 frame keeps its encoding when replaced with UTF-8 text.
    tag.addFrame(new CID3Frame("TALB", bytes({0xFF, 0xFE, 'a', 0}), std::string(1, '\1')));
    tag.setFrame("TALB", "\xC3\xA9", 3);
    EXPECT_EQ(*tag.getFrame("TALB", true), bytes({0xFF, 0xFE, 0xE9, 0}));
    EXPECT_EQ(tag.getFrameCopy("TALB"), "\xC3\xA9");
    tag.addFrame(new CID3Frame("TKEY", "", std::string(1, '\2')));
    tag.setFrame("TKEY", "A\xC3\x84", 3); // stored big-endian, so it reads back as written
    EXPECT_EQ(*tag.getFrame("TKEY", true), bytes({0, 'A', 0, 0xC4}));
    EXPECT_EQ(tag.getFrameCopy("TKEY"), "A\xC3\x84");

    tag.addFrame(new CID3Frame("COMM", "old",
                               std::string("\x01"
                                           "deu",
                                           4)));
    tag.setFrame("COMM", "new", 3);
    EXPECT_EQ(tag.getFrame(tag.getNbFrames() - 1)->getAdditionalHeader(), std::string("\0eng\0", 5));
}

TEST(TagRecord, BPMFromTextIsBoundedAndFinite) {
    struct Case {
        const char* text;
        double bpm;
    } cases[] = {{"1280", 128.0}, {"12800", 128.0}, {"500", 500.0},  {"", 0.0},       {"abc", 0.0},
                 {"1e999", 0.0},  {"nan", 0.0},     {"-1e999", 0.0}, {"127.5", 127.5}};
    for (const auto& c : cases) {
        CID3v2Tag tag;
        tag.setFrame("TBPM", c.text, 0);
        EXPECT_DOUBLE_EQ(tag.getBPM(), c.bpm) << c.text;
    }
}

TEST(TagRecord, TXXXFramesByDescription) {
    CID3v2Tag tag;
    EXPECT_EQ(tag.getFrameTXXX("Color"), "");
    tag.addFrame(new CID3Frame("TXXX", "broken", std::string(1, '\0'))); // no description terminator
    tag.setFrameTXXX("Color", "#FF0000");
    EXPECT_EQ(tag.getFrameTXXX("Color"), "#FF0000");
    EXPECT_EQ(tag.getNbFrames(), 1u); // the broken one was dropped on the way
    tag.setFrameTXXX("Mood", "dark");
    tag.setChanged(false);
    tag.setFrameTXXX("Color", "#FF0000");
    EXPECT_FALSE(tag.isChanged());
    tag.setFrameTXXX("Color", "#00FF00");
    EXPECT_EQ(tag.getFrameTXXX("Color"), "#00FF00");
    EXPECT_EQ(tag.getFrameTXXX("Mood"), "dark");
    tag.setFrameTXXX("Color", "");
    EXPECT_EQ(tag.getFrameTXXX("Color"), "");
    EXPECT_EQ(tag.getNbFrames(), 1u);
    tag.setFrameTXXX("", "x");
    EXPECT_EQ(tag.getNbFrames(), 1u);

    // Without a zero byte the value follows the description and one separator.
    tag.addFrame(new CID3Frame("TXXX", "Key=Am", std::string(1, '\0')));
    EXPECT_EQ(tag.getFrameTXXX("Key"), "Am");
    // A UTF-16 frame: description and value each with their own byte-order mark.
    CID3v2Tag utf16;
    utf16.addFrame(new CID3Frame(
        "TXXX", bytes({0xFF, 0xFE, 'C', 0, 'o', 0, 'l', 0, 'o', 0, 'r', 0, 0, 0, 0xFF, 0xFE, '#', 0, '1', 0}),
        std::string(1, '\1')));
    EXPECT_EQ(utf16.getFrameTXXX("Color"), "#1");
}

TEST(TagRecord, ETCOEventsStayOrderedAndUnique) {
    CID3v2Tag tag;
    EXPECT_EQ(tag.getFromETCO(0xE0, 0), -1.0);
    tag.addToETCO(5000, 0xE0);
    tag.addToETCO(1000, 0xE1);
    tag.addToETCO(3000, 0xE0);
    auto entry = [](int type, uint32_t t) { return std::string(1, char(type)) + tagtest::be32(t); };
    EXPECT_EQ(*tag.getFrame("ETCO", true), "\x02" + entry(0xE1, 1000) + entry(0xE0, 3000) + entry(0xE0, 5000));
    tag.addToETCO(3000, 0xE2); // a time already present
    EXPECT_EQ(tag.getFrame("ETCO", true)->size(), 16u);
    EXPECT_EQ(tag.getFromETCO(0xE0, 1), 5000.0);
    EXPECT_EQ(tag.getFromETCO(0xE0, 2), -1.0);
    EXPECT_EQ(tag.getFromETCO(0xE1, 0), 1000.0);
    tag.removeFromETCO(3000, 0xE1);
    EXPECT_EQ(tag.getFrame("ETCO", true)->size(), 16u);
    tag.removeFromETCO(3000, 0xE0);
    EXPECT_EQ(tag.getFrame("ETCO", true)->size(), 11u);

    // A trailing partial group is dropped; the events before it stay.
    CID3v2Tag partial;
    partial.addFrame(new CID3Frame("ETCO", "\x02" + entry(0xE3, 100) + entry(0xE0, 200) + bytes({0xE0, 0, 0})));
    partial.addToETCO(300, 0xE0);
    EXPECT_EQ(*partial.getFrame("ETCO", true), "\x02" + entry(0xE3, 100) + entry(0xE0, 200) + entry(0xE0, 300));

    // Time stamps in MPEG frames are left alone.
    CID3v2Tag mpeg;
    mpeg.addFrame(new CID3Frame("ETCO", "\x01" + entry(0xE0, 7)));
    mpeg.addToETCO(9, 0xE0);
    mpeg.removeFromETCO(7, 0xE0);
    EXPECT_EQ(mpeg.getFrame("ETCO", true)->size(), 6u);
    EXPECT_EQ(mpeg.getFromETCO(0xE0, 0), -1.0);

    // A huge ETCO from outside is capped to whole events.
    CID3v2Tag huge;
    huge.addFrame(new CID3Frame("ETCO", "\x02" + std::string(200000, '\0')));
    EXPECT_EQ(huge.getFrame("ETCO", true)->size(), CID3v2Tag::kMaxETCOBytes);
}

TEST(TagRecord, ReplayGainRoundTripsAndDistrustsBadPeaks) {
    CID3v2Tag tag;
    float peak = 9, radio = 9, audiophile = 9;
    tag.getReplayGain(&peak, &radio, &audiophile);
    EXPECT_EQ(peak + radio + audiophile, 0.0f);

    tag.setReplayGainTag(0.5f, -6.5f, 0.0f);
    const std::string& d = *tag.getFrame("RGAD", true);
    ASSERT_EQ(d.size(), 8u);
    EXPECT_EQ(d.substr(4), bytes({0x2E, 0x41, 0x44, 0x00}));
    tag.getReplayGain(&peak, &radio, &audiophile);
    EXPECT_FLOAT_EQ(peak, 0.5f);
    EXPECT_FLOAT_EQ(radio, -6.5f);
    EXPECT_FLOAT_EQ(audiophile, 0.0f);

    for (float gain : {-60.0f, -51.0f, -0.1f, 3.2f, 51.0f, 60.0f}) {
        tag.setReplayGainTag(0.9f, gain, -gain);
        tag.getReplayGain(&peak, &radio, &audiophile);
        float expected = std::max(-51.0f, std::min(51.0f, gain));
        EXPECT_NEAR(radio, expected, 0.051f) << gain;
        EXPECT_NEAR(audiophile, -expected, 0.051f) << gain;
    }

    for (float bad : {-1.0f, 0.0f, NAN, INFINITY}) {
        tag.setReplayGainTag(bad, 51.0f, 0.0f);
        tag.getReplayGain(&peak, &radio, &audiophile);
        EXPECT_EQ(peak, 0.0f) << bad;
        EXPECT_EQ(radio, 0.0f) << bad;
    }
    tag.setReplayGainTag(0.5f, NAN, INFINITY); // non-finite gains store as 0 dB
    tag.getReplayGain(&peak, &radio, &audiophile);
    EXPECT_EQ(radio, 0.0f);
    EXPECT_EQ(audiophile, 0.0f);

    CID3v2Tag wrongSize;
    wrongSize.addFrame(new CID3Frame("RGAD", std::string(7, '\x3F')));
    wrongSize.getReplayGain(&peak, &radio, &audiophile);
    EXPECT_EQ(peak, 0.0f);
}

TEST(TagRecord, RatingInPopularimeter) {
    CID3v2Tag tag;
    EXPECT_EQ(tag.getRating(), 0);
    tag.setRating(300);
    EXPECT_EQ(*tag.getFrame("POPM", true), std::string("Tarlume\0\xFF\0\0\0\0", 13));
    EXPECT_EQ(tag.getRating(), 255);
    tag.setRating(-4);
    EXPECT_EQ(tag.getRating(), 0);

    CID3v2Tag foreign;
    foreign.addFrame(new CID3Frame("POPM", std::string("a@b\0\x10\0\0\0\x05", 9)));
    foreign.setRating(196);
    EXPECT_EQ(*foreign.getFrame("POPM", true), std::string("a@b\0\xC4\0\0\0\x05", 9)); // counter kept
    CID3v2Tag endsAtZero;
    endsAtZero.addFrame(new CID3Frame("POPM", std::string("a\0", 2)));
    EXPECT_EQ(endsAtZero.getRating(), 0);
    endsAtZero.setRating(7);
    EXPECT_EQ(*endsAtZero.getFrame("POPM", true), std::string("a\0\x07", 3));
}
