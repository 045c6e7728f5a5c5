#include "foundation/modTools.h"

#include <climits>
#include <cmath>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

using Pieces = std::vector<std::string>;

TEST(Split, PlainSeparatorCases) {
    struct Case {
        std::string text, sep;
        Pieces expected;
    } cases[] = {
        {"", ",", {""}},
        {"a,", ",", {"a"}},
        {"a,,b", ",", {"a", "", "b"}},
        {",a", ",", {"", "a"}},
        {",", ",", {""}},
        {"abc", ",", {"abc"}},
        {"a--b", "--", {"a", "b"}},
        {"a-b", "--", {"a-b"}},
        // An empty separator must not loop for ever: the text is one piece.
        {"abc", "", {"abc"}},
    };
    for (const Case& c : cases) EXPECT_EQ(strsplit(c.text, c.sep), c.expected) << c.text << " / " << c.sep;
}

TEST(Split, QuotedStretchesKeepTheirSeparators) {
    EXPECT_EQ(strsplitquotes("a 'b c' d", " ", "'", false), (Pieces{"a", "b c", "d"}));
    // An unclosed quote: kept and split normally, or the rest becomes one quoted piece.
    EXPECT_EQ(strsplitquotes("a 'b c", " ", "'", false), (Pieces{"a", "'b", "c"}));
    EXPECT_EQ(strsplitquotes("a 'b c", " ", "'", true), (Pieces{"a", "b c"}));
    // An empty quoted stretch surrounded by separators is an empty piece.
    EXPECT_EQ(strsplitquotes("a '' b", " ", "'", false), (Pieces{"a", "", "b"}));
    EXPECT_EQ(strsplitquotes("x'y'z", " ", "'", false), (Pieces{"xyz"}));
    // The separator's marker written literally also comes out as the separator.
    EXPECT_EQ(strsplitquotes("a\\_\\b", " ", "'", false), (Pieces{"a b"}));
    EXPECT_EQ(strsplitquotes("a b", "", "'", false), (Pieces{"a b"}));
}

TEST(Text, ReplaceTrimPadAndAffixes) {
    EXPECT_EQ(strreplace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(strreplace("a.b.c", ".", ".."), "a..b..c"); // replacements are not searched again
    EXPECT_EQ(strreplace("abc", "", "x"), "abc");
    EXPECT_EQ(strreplace("", "a", "x"), "");

    EXPECT_EQ(strtrim("\tx\t"), "\tx\t");
    EXPECT_EQ(strtrim("   "), "");
    EXPECT_EQ(strtrim(std::string(" \0a b\0 ", 7)), "a b");

    EXPECT_EQ(prePad("7", 2, "0"), "07");
    EXPECT_EQ(prePad("123", 2, "0"), "123");
    EXPECT_EQ(prePad("7", 3, "ab"), "abab7");

    EXPECT_TRUE(isLeft("abc", ""));
    EXPECT_FALSE(isLeft("ab", "abc"));
    EXPECT_TRUE(isRight("abc", "bc"));
    EXPECT_FALSE(isRight("c", "abc"));
    EXPECT_TRUE(isLeftCI("Hello", "hE"));
    EXPECT_TRUE(isRightCI("song.MP3", ".mp3"));
    EXPECT_EQ(strtolower("AbC\xC3\x84z"), "abc\xC3\x84z"); // UTF-8 bytes untouched

    EXPECT_EQ(strMerge("<", "x", ">"), "<x>");
    EXPECT_EQ(strMerge(nullptr, "x", nullptr), "x");
}

TEST(Text, BooleanAndNumericWords) {
    for (const char* t : {"1", "true", "TRUE", "ja", "Ja", "yes", "YES"}) EXPECT_TRUE(strToBool(t)) << t;
    for (const char* t : {"", "2", "on", " yes", "no", "0"}) EXPECT_FALSE(strToBool(t)) << t;
    EXPECT_EQ(boolToStr(true), "true");
    EXPECT_EQ(boolToStr(false), "false");

    for (const char* t : {"", "123", "1.2.3", "."}) EXPECT_TRUE(strIsNumeric(t)) << t;
    for (const char* t : {"-1", "1e5", " 1", "1a"}) EXPECT_FALSE(strIsNumeric(t)) << t;
}

TEST(Numbers, ParseAndPrint) {
    struct {
        const char* text;
        int value;
    } ints[] = {{"42", 42},       {"  -17xyz", -17},      {"+5", 5},         {"abc", 0},
                {"", 0},          {"99999999999", 0},     {"2147483647", 2147483647},
                {"2147483648", 0}, {"-2147483648", INT_MIN}, {"-", 0}, {"3.9", 3}};
    for (auto& c : ints) EXPECT_EQ(strToInt(c.text), c.value) << c.text;

    struct {
        const char* text;
        double value;
    } dbls[] = {{"3.5", 3.5}, {" -0.25abc", -0.25}, {"1e3", 1000.0}, {"2E-2x", 0.02}, {".5", 0.5},
                {"x1", 0.0},  {"", 0.0},           {"1e999", 0.0},  {"7e", 7.0},     {"-", 0.0}};
    for (auto& c : dbls) EXPECT_DOUBLE_EQ(strToDbl(c.text), c.value) << c.text;

    EXPECT_EQ(intToStr(-12), "-12");
    EXPECT_EQ(dblToStr(0.5), "0.5");
    EXPECT_EQ(dblToStr(1e7), "1e+07");
    EXPECT_EQ(dblToStr(123456.0), "123456");
    EXPECT_EQ(dblToStr(1.0 / 3.0), "0.333333");
    EXPECT_EQ(dblToStr(3.14159, 2), "3.14");
    EXPECT_EQ(dblToStr(3.14159, 0), "3");
    EXPECT_EQ(dblToStr(2.5, 3), "2.500");
    EXPECT_EQ(timetToStr(1700000000L), "1700000000");
}

TEST(Time, PlayTimeText) {
    struct {
        float seconds;
        int decimals;
        const char* text;
    } cases[] = {
        {75.5f, 1, "01:15.5"},  {5.25f, 2, "00:05.25"}, {3725.0f, 0, "01:02:05"}, {-75.5f, 1, "-01:15.5"},
        {0.0f, 0, "00:00"},     {0.0f, 1, "00:00.0"},   {360000.0f, 0, "100:00:00"},
        {59.96f, 1, "01:00.0"}, {179.97f, 1, "03:00.0"}, {3599.6f, 0, "01:00:00"}, // rounding carries
        {59.94f, 1, "00:59.9"},
        {-0.04f, 1, "00:00.0"}, {-0.1f, 1, "-00:00.1"},
        {std::numeric_limits<float>::quiet_NaN(), 0, "00:00"},
        {std::numeric_limits<float>::infinity(), 1, "00:00.0"},
        {-std::numeric_limits<float>::infinity(), 0, "00:00"},
        {1e30f, 0, "00:00"},
    };
    for (auto& c : cases) EXPECT_EQ(strFromTime(c.seconds, c.decimals), c.text) << c.seconds << "/" << c.decimals;
}

TEST(Time, ClocksAdvance) {
    double t0 = timeGetExactTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double t1 = timeGetExactTime();
    EXPECT_GE(t1 - t0, 15.0);
    EXPECT_LT(t1 - t0, 5000.0);
    long now = long(time(nullptr));
    long unix = strToInt(getUnixTime());
    EXPECT_LE(std::labs(unix - now), 2);
}

TEST(Utf, ConversionsReplaceInvalidInput) {
    const uint16_t hello[] = {'h', 0xE9, 0x20AC};
    EXPECT_EQ(strFromUtf16(hello, 3), "h\xC3\xA9\xE2\x82\xAC");
    const uint16_t pair[] = {0xD83D, 0xDE00}; // U+1F600, four bytes
    EXPECT_EQ(strFromUtf16(pair, 2), "\xF0\x9F\x98\x80");
    const uint16_t lone[] = {'a', 0xD800, 'b', 0xDC00};
    EXPECT_EQ(strFromUtf16(lone, 4), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    const uint16_t nonchar[] = {0xFFFE, 'x', 0xFFFF};
    EXPECT_EQ(strFromUtf16(nonchar, 3), "\xEF\xBF\xBDx\xEF\xBF\xBD");
    const uint16_t trailingHigh[] = {'x', 0xD83D};
    EXPECT_EQ(strFromUtf16(trailingHigh, 2), "x\xEF\xBF\xBD");
    EXPECT_EQ(strFromUtf16(nullptr, 5), "");

    EXPECT_EQ(strUtf16FromUtf8(""), u"");
    EXPECT_EQ(strUtf16FromUtf8("h\xC3\xA9"), u"h\u00e9");
    EXPECT_EQ(strUtf16FromUtf8("\xF0\x9F\x98\x80"), std::u16string({char16_t(0xD83D), char16_t(0xDE00)}));
    // Truncated and malformed sequences become U+FFFD; conversion goes on behind them.
    EXPECT_EQ(strUtf16FromUtf8("a\xE2\x82"), u"a\ufffd");
    EXPECT_EQ(strUtf16FromUtf8("\xFFz"), u"\ufffdz");
    EXPECT_EQ(strUtf16FromUtf8("\xED\xA0\x80q"), std::u16string(u"\ufffd") + u"q"); // encoded surrogate

    // Round trip of valid text.
    std::string text = "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9D\x84\x9E";
    std::u16string wide = strUtf16FromUtf8(text);
    EXPECT_EQ(strFromUtf16(reinterpret_cast<const uint16_t*>(wide.data()), wide.size()), text);
}

TEST(Colour, MixStaysInsideEachChannel) {
    EXPECT_EQ(getColorMix(0x000000, 0xFFFFFF, 0.0f), 0x000000u);
    EXPECT_EQ(getColorMix(0x000000, 0xFFFFFF, 1.0f), 0xFFFFFFu);
    EXPECT_EQ(getColorMix(0x0000FF, 0xFF0000, 0.5f), 0x7F007Fu);
    EXPECT_EQ(getColorMix(0xFF102030, 0x00102030, 0.5f), 0x00102030u); // top byte is 0
    // Weights outside 0..1 clamp per channel rather than spilling into the neighbour byte.
    EXPECT_EQ(getColorMix(0x000000, 0x0000FF, 2.0f), 0x0000FFu);
    EXPECT_EQ(getColorMix(0x0000FF, 0x000000, 2.0f), 0x000000u);
    EXPECT_EQ(getColorMix(0x123456, 0x654321, std::numeric_limits<float>::quiet_NaN()), 0u);
}
