#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

#include <gtest/gtest.h>

#include "library/tags/TagTestUtil.h"

using namespace tagtest;

namespace {

bool readV2(CID3v2Tag& tag, const std::string& file) {
    MemoryByteSource source(file);
    return tag.readFromID3v2(source);
}

std::string v1Tag(const std::string& title, const std::string& artist, const std::string& comment, int b125, int b126) {
    auto pad = [](std::string s, size_t n) {
        s.resize(n, '\0');
        return s;
    };
    std::string t = "TAG" + pad(title, 30) + pad(artist, 30) + pad("Album", 30) + "1999" + pad(comment, 28);
    return t + char(b125) + char(b126) + char(12);
}

} // namespace

TEST(ID3v2Reader, TextFramesInEveryEncoding) {
    std::string body = id3Frame("TIT2", bytes({0}) + "Title" + bytes({0}) + "junk") +
                       id3Frame("TPE1", bytes({1, 0xFF, 0xFE, 'A', 0, 0xE9, 0, 0, 0, 'x', 0})) +
                       id3Frame("TALB", bytes({3}) + "\xC3\xA9t\xC3\xA9") + id3Frame("TCON", "NoEncoding") +
                       id3Frame("TXXX", bytes({0}) + "Color" + bytes({0}) + "#123456") +
                       id3Frame("TKEY", bytes({2, 0, 'A', 0, 'm', 0, 0})) + std::string(20, '\0');
    CID3v2Tag tag;
    EXPECT_TRUE(readV2(tag, id3Tag(body)));
    EXPECT_EQ(tag.getVersion(), 3);
    EXPECT_EQ(tag.getTagSize(), body.size());
    expectFrames(tag, {"TIT2", "Title", "TPE1", "A\xC3\xA9", "TALB", "\xC3\xA9t\xC3\xA9", "TCON", "NoEncoding"});
    EXPECT_EQ(tag.getFrame(3u)->getAdditionalHeader(), std::string(1, '\0'));
    EXPECT_EQ(tag.getFrameTXXX("Color"), "#123456");
    EXPECT_EQ(tag.getFrameCopy("TKEY"), "Am");
    EXPECT_EQ(tag.getNbFrames(), 6u); // padding ended the walk
}

TEST(ID3v2Reader, RecordingTimeGivesTheYearOnlyWithoutAYearFrame) {
    struct Case {
        std::string frames, year;
    } cases[] = {
        {id3Frame("TDRC", bytes({3}) + "2004-05-17T10:00", 4), "2004"},
        {id3Frame("TDRC", bytes({2, 0, '1', 0, '9', 0, '9', 0, '8'}), 4), "1998"},
        {id3Frame("TYER", bytes({0}) + "1977", 4) + id3Frame("TDRC", bytes({3}) + "2004", 4), "1977"},
        {id3Frame("TDRC", bytes({3}) + "05/2004", 4), ""},
    };
    for (const Case& c : cases) {
        CID3v2Tag tag;
        readV2(tag, id3Tag(c.frames, 4));
        EXPECT_EQ(tag.getFrameCopy("TYER"), c.year) << c.frames;
    }
}

TEST(ID3v2Reader, HeaderChecks) {
    std::string frames = id3Frame("TIT2", bytes({0}) + "T") + id3Frame("TPE1", bytes({0}) + "A");
    struct Case {
        std::string file;
        bool valid;
    } cases[] = {
        {id3Tag(frames, 3, 0x00), true},
        {id3Tag(frames, 3, 0x10), true},
        {id3Tag(frames, 3, 0x40), false}, // extended header
        {id3Tag(frames, 3, 0x90), false},
        {id3Tag(frames, 2), false},
        {id3Tag(frames, 5), false},
        {"ID3" + bytes({3, 0, 0, 0x80, 0, 0, 10}) + frames, false}, // size byte not syncsafe
        {"ID3" + bytes({3, 0}), false},
        {"", false},
        {"XYZ" + bytes({3, 0, 0, 0, 0, 0, 30}) + frames, false},
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        EXPECT_EQ(readV2(tag, c.file), c.valid) << c.file.size();
        if (!c.valid) {
            EXPECT_EQ(tag.getNbFrames(), 0u);
        }
    }
    CID3v2Tag v4;
    EXPECT_TRUE(readV2(
        v4,
        id3Tag(id3Frame("TIT2", bytes({3}) + std::string(200, 'x'), 4) + id3Frame("TPE1", bytes({3}) + "A", 4), 4)));
    EXPECT_EQ(v4.getFrameCopy("TIT2").size(), 200u); // syncsafe frame size 200 = 01 48
}

TEST(ID3v2Reader, UnsynchronisationKeepsAdjacentPairs) {
    // FF 00 FF 00 must become FF FF: each pair's zero goes, nothing else.
    std::string picture = bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x12, 0xFF, 0xFF, 0x00, 0x34});
    std::string apic = id3Frame("APIC", picture);
    std::string encoded;
    for (size_t i = 0; i < apic.size(); ++i) {
        encoded += apic[i];
        if (uint8_t(apic[i]) == 0xFF && (i + 1 == apic.size() || uint8_t(apic[i + 1]) >= 0xE0 || apic[i + 1] == 0))
            encoded += '\0';
    }
    CID3v2Tag tag;
    readV2(tag, id3Tag(encoded + std::string(4, '\0'), 3, 0x80));
    EXPECT_EQ(tag.getHeaderFlags(), 0x80);
    ASSERT_NE(tag.getFrame("APIC", true), nullptr);
    EXPECT_EQ(*tag.getFrame("APIC", true), picture);
    EXPECT_EQ(tag.getTagSize(), apic.size() + 4);
}

TEST(ID3v2Reader, MalformedFramesStopTheWalkAndKeepWhatWasRead) {
    std::string good = id3Frame("TIT2", bytes({0}) + "Kept");
    struct Case {
        const char* name;
        std::string body;
    } cases[] = {
        {"frame past the end", good + "TPE1" + be32(1000) + bytes({0, 0}) + "short"},
        {"size byte >= 0x80", good + "TPE1" + be32(0x80000001) + bytes({0, 0, 0})},
        {"header cut short", good + "TPE1" + bytes({0, 0})},
        {"zero-size frames", good + id3Frame("TPE1", "") + id3Frame("COMM", "") + id3Frame("APIC", "")},
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        EXPECT_FALSE(readV2(tag, id3Tag(c.body))) << c.name;
        EXPECT_EQ(tag.getFrameCopy("TIT2"), "Kept") << c.name;
    }
    // A tag whose size runs past the end of the file is read as far as the file goes.
    std::string full = id3Tag(good + id3Frame("TPE1", bytes({0}) + "A") + std::string(100, '\0'));
    CID3v2Tag truncated;
    EXPECT_TRUE(readV2(truncated, full.substr(0, full.size() - 90)));
    // A tag of 10 bytes or fewer holds no frame.
    CID3v2Tag tiny;
    EXPECT_FALSE(readV2(tiny, id3Tag(std::string("TIT2") + bytes({0, 0, 0, 0, 0, 0}))));
    EXPECT_EQ(tiny.getNbFrames(), 0u);
}

TEST(ID3v2Reader, CommentFramesOfEveryShape) {
    struct Case {
        std::string content, header, data;
    } cases[] = {
        {bytes({0}), std::string("\0eng\0", 5), ""},
        {bytes({3, 'd'}),
         std::string("\x03"
                     "eng\0",
                     5),
         "d"},
        {bytes({0}) + "eng", std::string("\0eng\0", 5), "eng"},
        {bytes({0}) + "eng" + "desc" + bytes({0}) + "text" + bytes({0}), std::string("\0engdesc\0", 9), "text"},
        {bytes({0}) + "eng" + bytes({0}) + "text", std::string("\0eng\0", 5), "text"},
        {bytes({0}) + "eng" + "only" + bytes({0}), std::string("\0eng\0", 5), "only"},
        {bytes({3}) + "eng" + "x",
         std::string("\x03"
                     "eng\0",
                     5),
         "x"},
        {bytes({1}) + "eng" + bytes({0xFF, 0xFE, 'A', 0, 0, 0, 0xFF, 0xFE, 'h', 0, 'i', 0, 0, 0}),
         bytes({1}) + "eng" + bytes({0xFF, 0xFE, 'A', 0, 0, 0}), bytes({0xFF, 0xFE, 'h', 0, 'i', 0})},
        // An empty UTF-16 description before the text, as common writers store it.
        {bytes({1}) + "eng" + bytes({0, 0, 0xFF, 0xFE, 'h', 0, 0, 0}), bytes({1}) + "eng" + bytes({0, 0, 0, 0}),
         bytes({0xFF, 0xFE, 'h', 0})},
        {bytes({1}) + "eng" + bytes({0, 0xFF, 0xFE, 'h', 0, 0, 0}), bytes({1}) + "eng" + bytes({0, 0, 0}),
         bytes({0xFF, 0xFE, 'h', 0})},
        {bytes({1, 'e'}) + "ng" + bytes({0}), bytes({0}) + "eng" + bytes({0}), ""},
        {bytes({2}) + "eng" + bytes({'A', 0, 0, 0, 'h', 0}), bytes({2}) + "eng" + bytes({'A', 0, 0, 0}),
         bytes({'h', 0})},
        {bytes({2}) + "eng" + bytes({'h', 0}), bytes({2}) + "eng" + bytes({0, 0}), bytes({'h', 0})},
        {"Xengabc", std::string("\0eng\0", 5), "abc"},
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        readV2(tag, id3Tag(id3Frame("COMM", c.content)));
        ASSERT_EQ(tag.getNbFrames(), 1u) << c.content;
        EXPECT_EQ(tag.getFrame(0u)->getAdditionalHeader(), c.header) << c.content;
        EXPECT_EQ(tag.getFrame(0u)->getData(), c.data) << c.content;
    }
}

TEST(ID3v1Reader, FieldsTrackAndFallbacks) {
    std::string audio(500, 'a');
    CID3v2Tag tag;
    std::string plainFile = audio + v1Tag("Title ", "Artist", "Comment", 0, 7);
    MemoryByteSource plain(plainFile);
    EXPECT_TRUE(tag.readFromID3v1(plain));
    expectFrames(tag,
                 {"TIT2", "Title", "TPE1", "Artist", "TALB", "Album", "TYER", "1999", "COMM", "Comment", "TRCK", "7"});

    // The tag read at the buffer's first byte takes its track from its own byte 126 too.
    CID3v2Tag atZero;
    std::string shifted = audio + v1Tag("T", "A", "", 0, 9) + "z";
    MemoryByteSource shiftedSource(shifted);
    EXPECT_TRUE(atZero.readFromID3v1(shiftedSource));
    EXPECT_EQ(atZero.getFrameCopy("TRCK"), "9");

    // Existing frames win; a title "Track 05" gives the track.
    CID3v2Tag existing;
    existing.setFrame("TIT2", "Kept", 3);
    std::string v10File = audio + v1Tag("Other", "Artist", "A long comment that fills it", 'x', 'y');
    MemoryByteSource v10(v10File);
    EXPECT_TRUE(existing.readFromID3v1(v10));
    EXPECT_EQ(existing.getFrameCopy("TIT2"), "Kept");
    EXPECT_EQ(existing.getFrameCopy("TRCK"), "");
    CID3v2Tag named;
    std::string trackFile = audio + v1Tag("Track 05", "", "", 0, 0);
    MemoryByteSource trackTitle(trackFile);
    EXPECT_FALSE(named.readFromID3v1(trackTitle)); // no artist
    EXPECT_EQ(named.getFrameCopy("TRCK"), "05");

    for (const std::string& file :
         {std::string(128, 'x'), audio + "TAG" + std::string(94, 'x') + "APETAGEX" + std::string(24, '\0'),
          audio + std::string(129, 'q')}) {
        CID3v2Tag none;
        MemoryByteSource source(file);
        EXPECT_FALSE(none.readFromID3v1(source));
        EXPECT_EQ(none.getNbFrames(), 0u);
    }
}

TEST(FilenameReader, NamesSplitIntoFields) {
    struct Case {
        const char* name;
        const char *title, *artist, *album, *track;
    } cases[] = {
        {"/m/01 - Artist - Title.mp3", "Title", "Artist", "", "01"},
        {"/m/Artist - Album - 05 - Title.mp3", "Title", "Artist", "Album", "05"},
        {"/m/07 - Album - Artist - Title.mp3", "Title", "Artist", "Album", "07"},
        {"/m/Album - 3 - Artist - Title.mp3", "Title", "Artist", "Album", "3"},
        {"/m/A - B - C - Title.mp3", "Title", "A - B - C", "", ""},
        {"/m/Track07.wav", "Track07", "", "", "07"},
        {"/m/Title (Artist).mp3", "Title ", "Artist", "", ""},
        {"/m/Title [Artist] Mix.mp3", "Title Mix", "Artist", "", ""},
        {"/m/my_song.flac", "my song", "", "", ""},
        {"/m/Artist-Title.ogg", "Title", "Artist", "", ""},
        {"/m/12-Title.ogg", "Title", "", "", "12"},
        {"/m/Artist  Title.wav", "Title", "Artist", "", ""},
        {"/m/A  B  C.wav", "A  B  C", "", "", ""},
        {"/m/Album - Artist - Title.mp3", "Title", "Artist", "Album", ""},
        {"/m/Artist - 02 - Title.mp3", "Title", "Artist", "", "02"},
        {"/m/a - b - c - d - e.mp3", "a - b - c - d - e", "", "", ""},
        {"noext", "noext", "", "", ""},
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        EXPECT_TRUE(tag.readFromFilename(c.name));
        EXPECT_EQ(tag.getFrameCopy("TIT2"), c.title) << c.name;
        EXPECT_EQ(tag.getFrameCopy("TPE1"), c.artist) << c.name;
        EXPECT_EQ(tag.getFrameCopy("TALB"), c.album) << c.name;
        EXPECT_EQ(tag.getFrameCopy("TRCK"), c.track) << c.name;
        EXPECT_EQ(tag.getPath(), c.name);
    }
}

TEST(ReadFromFile, DispatchAndFileNameFallback) {
    TempDir dir;
    std::string frames = id3Frame("TIT2", bytes({0}) + "Tagged") + id3Frame("TPE1", bytes({0}) + "Someone");
    std::string tagged = dir.write("01 - X - Y.MP3", id3Tag(frames) + std::string(300, 'a'));
    CID3v2Tag a;
    EXPECT_TRUE(a.readFromFile(tagged));
    EXPECT_EQ(a.getFrameCopy("TIT2"), "Tagged");
    EXPECT_EQ(a.getFrameCopy("TRCK"), ""); // no file-name frames after a good tag
    EXPECT_GT(a.getModificationTime(), 0);
    EXPECT_GT(a.getStatusChangeTime(), 0);
    EXPECT_EQ(a.getPath(), tagged);

    // Flags 0x40 reject the ID3v2 tag; the ID3v1 tag then serves.
    std::string v1 = "TAG" + std::string("V1 Title") + std::string(22, '\0') + "V1 Artist" + std::string(21, '\0') +
                     std::string(65, '\0');
    std::string rejected = dir.write("Name - Other.mp3", id3Tag(frames, 4, 0x40) + std::string(300, 'a') + v1);
    CID3v2Tag b;
    b.readFromFile(rejected);
    EXPECT_EQ(b.getFrameCopy("TIT2"), "V1 Title");
    EXPECT_EQ(b.getFrameCopy("TPE1"), "V1 Artist");

    // An ID3v2 tag without an artist keeps its frames; the file name adds the artist.
    std::string noArtist = dir.write("Name - Song.mp3", id3Tag(id3Frame("TIT2", bytes({0}) + "Song")) + "aaaa");
    CID3v2Tag c;
    c.readFromFile(noArtist);
    EXPECT_EQ(c.getFrameCopy("TIT2"), "Song");
    EXPECT_EQ(c.getFrameCopy("TPE1"), "Name");

    CID3v2Tag missing;
    EXPECT_TRUE(missing.readFromFile(dir.path + "Gone - Away.wav"));
    EXPECT_EQ(missing.getFrameCopy("TPE1"), "Gone");
    EXPECT_EQ(missing.getModificationTime(), 0);
}
