// Ogg Vorbis and FLAC tag readers over crafted files.
#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"
#include "library/tags/VorbisComment.h"

#include <memory>

#include <gtest/gtest.h>

#include "library/tags/TagTestUtil.h"

using namespace tagtest;

namespace {

// One Ogg page holding `body` (at most 255 * 255 bytes).
std::string oggPage(const std::string& body, uint32_t sequence) {
    std::string table;
    size_t left = body.size();
    do {
        size_t lace = std::min<size_t>(left, 255);
        table += char(lace);
        left -= lace;
        if (lace < 255) break;
    } while (true);
    return "OggS" + bytes({0, 0}) + le64(0) + le32(1) + le32(sequence) + le32(0) + char(table.size()) + table + body;
}
// A packet split over pages of at most `perPage` bytes (segment lengths all 255 but the last).
std::string oggPages(const std::string& packet, size_t perPage, uint32_t firstSequence) {
    std::string out;
    for (size_t at = 0; at < packet.size(); at += perPage)
        out += oggPage(packet.substr(at, perPage), firstSequence++);
    return out;
}
std::string identification() {
    return bytes({1}) + "vorbis" + le32(0) + bytes({2}) + le32(44100) + le32(0) + le32(128000) + le32(0) +
           bytes({0xB8, 1});
}
std::string comments(const std::vector<std::string>& list, bool header = true) {
    std::string s = (header ? bytes({3}) + "vorbis" : "") + le32(6) + "vendor" + le32(uint32_t(list.size()));
    for (const auto& c : list)
        s += le32(uint32_t(c.size())) + c;
    return header ? s + bytes({1}) : s;
}
std::string ogg(const std::vector<std::string>& list, size_t perPage = 4000) {
    return oggPage(identification(), 0) + oggPages(comments(list), perPage, 1);
}

bool readOgg(CID3v2Tag& tag, const std::string& file) {
    MemoryByteSource source(file);
    return tag.readFromOggTag(source);
}

std::string flacBlock(int type, const std::string& body, bool last = false) {
    uint32_t n = uint32_t(body.size());
    return bytes({(last ? 0x80 : 0) | type, int(n >> 16), int((n >> 8) & 255), int(n & 255)}) + body;
}
std::string streamInfo(uint32_t rate, uint32_t samples) {
    return flacBlock(0, std::string(10, '\0') + be32(rate << 12 | 0x170) + be32(samples) + std::string(16, '\0'));
}
std::string pictureBlock(const std::string& mime, const std::string& data) {
    return be32(3) + be32(uint32_t(mime.size())) + mime + be32(4) + "desc" + std::string(16, '\0') +
           be32(uint32_t(data.size())) + data;
}
void readFlac(CID3v2Tag& tag, const std::string& file) {
    MemoryByteSource source(file);
    tag.readFromFLACTag(source);
}

} // namespace

TEST(OggReader, FieldsAndTheirRules) {
    CID3v2Tag tag;
    tag.setChanged(true);
    ASSERT_TRUE(readOgg(
        tag, ogg({"artist=A",        "ARTIST=B",     "Title=T",   "TRACKNUMBER=4", "DISCNUMBER=1", "VERSION=Dub",
                  "ALBUM=Al",        "COMMENT=Co",   "MOOD=Dark", "DATE=1999",     "GENRE=Ge",     "CONTACT=www.x",
                  "LENGTH=1234",     "BPM=127",      "KEY=Am",    "RATING=99",     "COLOR=#123",   "CUEPOINT0=1500",
                  "CUEPOINT1=30000", "CUEPOINT3=99", "noequals",  "=empty name"})));
    EXPECT_FALSE(tag.isChanged());
    struct {
        const char *id, *text;
    } expected[] = {{"TPE1", "A"},     {"TIT2", "T"},    {"TRCK", "4"},    {"TPOS", "1"},    {"TIT3", "Dub"},
                    {"TALB", "Al"},    {"COMM", "Co"},   {"TMOO", "Dark"}, {"TYER", "1999"}, {"TCON", "Ge"},
                    {"WOAF", "www.x"}, {"TLEN", "1234"}, {"TBPM", "127"},  {"TKEY", "Am"}};
    for (const auto& e : expected)
        EXPECT_EQ(tag.getFrameCopy(e.id), e.text) << e.id;
    EXPECT_EQ(tag.getFrame("TPE1", true, 0)->size(), 1u);
    EXPECT_EQ(tag.getFrame(0u)->getAdditionalHeader(), "\x03");
    EXPECT_EQ(tag.getRating(), 255);
    EXPECT_EQ(tag.getFrameTXXX("Color"), "#123");
    EXPECT_EQ(tag.getFromETCO(0xE0, 0), 1500.0);
    EXPECT_EQ(tag.getFromETCO(0xE0, 1), 30000.0);
    EXPECT_EQ(tag.getFromETCO(0xE0, 2), -1.0);

    tVorbisCommentPacket packet;
    packet.comments = {"Key=1", " key =2", "KEY=3"};
    EXPECT_EQ(vorbis_GetField(packet, " KEY "), "1");
    EXPECT_EQ(vorbis_GetField(packet, ""), "");
    EXPECT_EQ(vorbis_GetField(packet, "missing"), "");

    CID3v2Tag rated;
    readOgg(rated, ogg({"RATING=50"}));
    EXPECT_EQ(rated.getRating(), 128);
}

TEST(OggReader, ReplayGainDistrustsBadPeaks) {
    struct Case {
        std::vector<std::string> fields;
        float peak, gain, album;
    } cases[] = {
        {{"REPLAYGAIN_TRACK_GAIN=-3.20 dB", "REPLAYGAIN_TRACK_PEAK=0.9", "REPLAYGAIN_ALBUM_GAIN=+1.5 dB"},
         0.9f,
         -3.2f,
         1.5f},
        {{"REPLAYGAIN_TRACK_GAIN=+51 dB", "REPLAYGAIN_TRACK_PEAK=-1"}, 0, 0, 0},
        {{"REPLAYGAIN_TRACK_GAIN=+51 dB", "REPLAYGAIN_TRACK_PEAK=nan"}, 0, 0, 0},
        {{"REPLAYGAIN_TRACK_GAIN=+51 dB"}, 0, 0, 0},
        {{"REPLAYGAIN_TRACK_GAIN=1e999", "REPLAYGAIN_TRACK_PEAK=1e999"}, 0, 0, 0},
        {{"REPLAYGAIN_TRACK_PEAK=0.5"}, 0, 0, 0}, // no gain: no frame
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        readOgg(tag, ogg(c.fields));
        float peak = 9, gain = 9, album = 9;
        tag.getReplayGain(&peak, &gain, &album);
        EXPECT_FLOAT_EQ(peak, c.peak) << c.fields[0];
        EXPECT_FLOAT_EQ(gain, c.gain) << c.fields[0];
        EXPECT_FLOAT_EQ(album, c.album) << c.fields[0];
    }
}

TEST(OggReader, CommentsOverPagesAndPictures) {
    // A comment of 70,000 bytes spread over three pages is read whole.
    std::string big = "TITLE=" + std::string(70000 - 6, 'x');
    CID3v2Tag tag;
    ASSERT_TRUE(readOgg(tag, ogg({big, "ARTIST=After"}, 30000)));
    EXPECT_EQ(tag.getFrameCopy("TIT2").size(), 70000u - 6);
    EXPECT_EQ(tag.getFrameCopy("TPE1"), "After");

    // A picture, in base64, as an APIC frame.
    std::string block = pictureBlock("image/jpeg", "JPEGBYTES");
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (size_t i = 0; i < block.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(block[i])) << 16;
        if (i + 1 < block.size()) v |= uint32_t(uint8_t(block[i + 1])) << 8;
        if (i + 2 < block.size()) v |= uint8_t(block[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            b64 += k <= (block.size() - i) ? alphabet[(v >> (18 - 6 * k)) & 63] : '=';
    }
    CID3v2Tag pictured;
    readOgg(pictured, ogg({"METADATA_BLOCK_PICTURE=" + b64}));
    ASSERT_NE(pictured.getFrame("APIC", true), nullptr);
    EXPECT_EQ(*pictured.getFrame("APIC", true), std::string("\x03image/jpeg\0\x03"
                                                            "desc\0JPEGBYTES",
                                                            27));

    // Picture blocks whose lengths do not fit give no frame; a data length is cut to what is there.
    EXPECT_EQ(vorbis_PictureToAPIC(be32(3) + be32(1000) + "image/jpeg"), "");
    EXPECT_EQ(vorbis_PictureToAPIC(be32(3) + be32(1) + "x" + be32(99) + "d"), "");
    EXPECT_EQ(vorbis_PictureToAPIC(be32(3) + be32(1) + "x" + be32(0) + std::string(10, '\0')), "");
    EXPECT_EQ(vorbis_PictureToAPIC(be32(3) + be32(1) + "x" + be32(0) + std::string(16, '\0') + be32(50) + "ab"),
              std::string("\x03x\0\x03\0ab", 7));
}

TEST(OggReader, MalformedPagesAndLengths) {
    std::string good = ogg({"TITLE=Kept", "ARTIST=Also"});
    struct Case {
        const char* name;
        std::string file;
        bool result;
        const char* title;
    } cases[] = {
        {"page cut short", good.substr(0, good.size() - 10), false, ""},
        {"no second page", oggPage(identification(), 0), false, ""},
        {"identification too short", oggPage(identification().substr(0, 20), 0) + oggPage(comments({}), 1), false, ""},
        {"not a comment packet", oggPage(identification(), 0) + oggPage(bytes({5}) + "vorbis", 1), false, ""},
        {"foreign capture", "OggX" + good.substr(4), false, ""},
        {"page version 1", good.substr(0, 4) + bytes({1}) + good.substr(5), false, ""},
        {"huge comment length",
         oggPage(identification(), 0) +
             oggPage(bytes({3}) + "vorbis" + le32(0) + le32(2) + le32(10) + "TITLE=Kept" + le32(0xFFFFFFF0) + "A=", 1),
         true, "Kept"},
        {"count beyond the data",
         oggPage(identification(), 0) +
             oggPage(bytes({3}) + "vorbis" + le32(0) + le32(1000000) + le32(10) + "TITLE=Kept", 1),
         true, "Kept"},
        {"vendor beyond the data", oggPage(identification(), 0) + oggPage(bytes({3}) + "vorbis" + le32(1000), 1), true,
         ""},
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        EXPECT_EQ(readOgg(tag, c.file), c.result) << c.name;
        EXPECT_EQ(tag.getFrameCopy("TIT2"), c.title) << c.name;
    }

    // A count of millions of empty comments over many pages keeps only the first ones, and what
    // the readable comments said.
    std::string empties = comments({"TITLE=Many"});
    empties.resize(empties.size() - 1); // no framing byte: the count below runs on
    empties.replace(11 + 6, 4, le32(4000000));
    empties += std::string(4 * 200000, '\0');
    CID3v2Tag crowded;
    EXPECT_TRUE(readOgg(crowded, oggPage(identification(), 0) + oggPages(empties, 60000, 1)));
    EXPECT_EQ(crowded.getFrameCopy("TIT2"), "Many");
    {
        std::string data = empties.substr(7);
        tVorbisCommentPacket packet;
        vorbis_ParseVorbisComment(data, packet, nullptr, nullptr, nullptr, true, true);
        EXPECT_EQ(packet.comments.size(), size_t(kMaxVorbisComments));
    }

    // Cue points: at most 1001 lookups, so a crafted packet cannot make them quadratic.
    std::vector<std::string> many;
    for (int n = 0; n < 1100; ++n)
        many.push_back("CUEPOINT" + std::to_string(n) + "=" + std::to_string(n * 10));
    many.push_back("CUEPOINT0=-5");
    CID3v2Tag cues;
    readOgg(cues, ogg(many));
    EXPECT_EQ(cues.getFromETCO(0xE0, 1000), 10000.0);
    EXPECT_EQ(cues.getFromETCO(0xE0, 1001), -1.0);
}

TEST(FLACReader, BlocksLengthCommentsAndPictures) {
    std::string comment = flacBlock(4, comments({"TITLE=Flac", "ARTIST=Someone"}, false));
    std::string picture = flacBlock(6, pictureBlock("image/png", "PNG"));
    CID3v2Tag tag;
    readFlac(tag, "fLaC" + streamInfo(44100, 441000) + picture + comment + flacBlock(1, "pad", true));
    expectFrames(tag, {"TLEN", "10000", "TIT2", "Flac", "TPE1", "Someone"});
    EXPECT_EQ(*tag.getFrame("APIC", true), std::string("\x03image/png\0\x03"
                                                       "desc\0PNG",
                                                       20));

    std::string emptyBlocks;
    for (int i = 0; i < 1200000; ++i)
        emptyBlocks += flacBlock(1, "");
    struct Case {
        const char* name;
        std::string file;
        const char *tlen, *title;
    } cases[] = {
        {"rate 0", "fLaC" + streamInfo(0, 1000) + comment, "", "Flac"},
        {"unknown total", "fLaC" + streamInfo(44100, 0) + comment, "", "Flac"},
        {"short STREAMINFO", "fLaC" + flacBlock(0, std::string(17, '\x7F')) + comment, "", "Flac"},
        {"not FLAC", "fLaX" + streamInfo(44100, 441000) + comment, "", ""},
        {"block past the end",
         "fLaC" + streamInfo(44100, 441000) + flacBlock(4, "").substr(0, 1) + "\xFF\xFF\xFF" +
             comments({"TITLE=Cut"}, false),
         "10000", "Cut"},
        {"last-block flag", "fLaC" + flacBlock(0, streamInfo(44100, 441000).substr(4), true) + comment, "10000", ""},
        // A comment running past its block does not read on into the next block.
        {"comment past its block",
         "fLaC" + flacBlock(4, le32(0) + le32(2) + le32(9) + "TITLE=Own" + le32(500) + "ARTIST=x") +
             flacBlock(4, comments({"GENRE=Next"}, false)),
         "", "Own"},
        // More blocks than the decoder walks (a million): not walked here either.
        {"a million empty blocks", "fLaC" + streamInfo(44100, 441000) + emptyBlocks + comment, "", ""},
    };
    TempDir dir; // each read from a file, as the library scan reads
    for (const auto& c : cases) {
        CID3v2Tag t;
        t.readFromFLACTag(dir.write(c.name, c.file));
        EXPECT_EQ(t.getFrameCopy("TLEN"), c.tlen) << c.name;
        EXPECT_EQ(t.getFrameCopy("TIT2"), c.title) << c.name;
    }
}
