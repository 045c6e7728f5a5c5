#include "library/tags/CID3v2Tag.h"

#include <memory>

#include <gtest/gtest.h>

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "library/tags/TagTestUtil.h"

using namespace tagtest;

namespace {

std::string cover() {
    return readFileContents(std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/tags/cover.jpg");
}

std::unique_ptr<CPicture> pictureOf(CID3v2Tag& tag, int maxWidth, int maxHeight) {
    return std::unique_ptr<CPicture>(tag.getPicture(maxWidth, maxHeight, ""));
}

} // namespace

TEST(TagPicture, EmbeddedCoverScaledToFit) {
    std::string jpeg = cover();
    ASSERT_FALSE(jpeg.empty());
    // A UTF-16 description ending in an ASCII letter: "41 00|00 00" must not end one byte early.
    CID3v2Tag tag;
    tag.addFrame(new CID3Frame("APIC", bytes({1}) + "image/jpeg" + bytes({0, 3, 0xFF, 0xFE, 'A', 0, 0, 0}) + jpeg));
    auto full = pictureOf(tag, 0, 0);
    EXPECT_EQ(full->width, 400);
    EXPECT_EQ(full->height, 200);
    auto small = pictureOf(tag, 100, 100);
    EXPECT_EQ(small->width, 100);
    EXPECT_EQ(small->height, 50);
    auto fits = pictureOf(tag, 400, 200);
    EXPECT_EQ(fits->width, 400);
    auto thin = pictureOf(tag, 1000, 1);
    EXPECT_EQ(thin->width, 2);
    EXPECT_EQ(thin->height, 1);

    CID3v2Tag latin;
    latin.addFrame(new CID3Frame("APIC", bytes({0}) + "image/jpeg" + bytes({0, 3}) + "desc" + bytes({0}) + jpeg));
    EXPECT_EQ(pictureOf(latin, 0, 0)->width, 400);
}

TEST(TagPicture, SiblingFilesWhenNothingIsEmbedded) {
    TempDir dir;
    std::string jpeg = cover();
    std::string song = dir.write("song.mp3", "x");
    dir.write("song.JPEG", jpeg);
    struct Case {
        const char* name;
        std::string apic;
    } cases[] = {
        {"no frame", ""},
        {"MIME without terminator", bytes({0}) + "image/jpeg"},
        {"no picture-type byte", bytes({0}) + "image/jpeg" + bytes({0})},
        {"description without terminator", bytes({0}) + "image/jpeg" + bytes({0, 3}) + "desc"},
        {"UTF-16 description with an odd zero pair only", bytes({1}) + "image/jpeg" + bytes({0, 3, 'A', 0, 0})},
        {"undecodable bytes", bytes({0}) + "image/jpeg" + bytes({0, 3, 0}) + "not a jpeg"},
        {"foreign type", bytes({0}) + "image/tiff" + bytes({0, 3, 0}) + jpeg},
    };
    for (const auto& c : cases) {
        CID3v2Tag tag;
        tag.setPath(song);
        if (!c.apic.empty()) tag.addFrame(new CID3Frame("APIC", c.apic));
        auto picture = pictureOf(tag, 0, 0);
        EXPECT_EQ(picture->width, 400) << c.name;
    }
    CID3v2Tag none;
    none.setPath(dir.path + "other.mp3");
    EXPECT_EQ(pictureOf(none, 100, 100)->width, 0);
    CID3v2Tag shortPath;
    shortPath.setPath("ab");
    EXPECT_EQ(pictureOf(shortPath, 100, 100)->width, 0);
}

TEST(TagPicture, EmptiedLargeFramesComeBackFromANewReadOfTheFile) {
    const std::string jpeg = cover();
    ASSERT_FALSE(jpeg.empty());
    const std::string apic = bytes({0}) + "image/jpeg" + bytes({0, 3, 0}) + jpeg;
    auto fill = [&](CID3v2Tag& tag) {
        tag.addFrame(new CID3Frame("TIT2", "Title", bytes({3})));
        tag.addFrame(new CID3Frame("APIC", apic));
        tag.addFrame(new CID3Frame("ETCO", bytes({2, 0xE0, 0, 0, 5, 0xDC})));
        tag.addFrame(new CID3Frame("RGAD", std::string(8, '\1')));
        tag.addFrame(new CID3Frame("GEOB", "second"));
        tag.addFrame(new CID3Frame("APIC", "back cover"));
    };
    for (bool keepDeckFrames : {true, false}) {
        SCOPED_TRACE(keepDeckFrames);
        CID3v2Tag tag, fresh;
        fill(tag);
        fill(fresh);
        tag.emptyLargeFrames(keepDeckFrames);
        EXPECT_EQ(tag.getFrameCopy("TIT2"), "Title");
        EXPECT_EQ(tag.getFrame("ETCO", true)->empty(), !keepDeckFrames);
        EXPECT_EQ(tag.getFrame("RGAD", true)->empty(), !keepDeckFrames);
        for (const char* id : {"APIC", "GEOB"})
            EXPECT_TRUE(tag.getFrame(id, true)->empty()) << id;
        EXPECT_EQ(pictureOf(tag, 0, 0)->width, 0);
        EXPECT_EQ(tag.getNbFrames(), 6u); // every frame keeps its place

        tag.restoreEmptiedFrames(fresh);
        EXPECT_EQ(pictureOf(tag, 0, 0)->width, 400);
        EXPECT_EQ(*tag.getFrame("APIC", true, 1), "back cover");
        EXPECT_EQ(*tag.getFrame("GEOB", true), "second");
        EXPECT_EQ(tag.getFrame("ETCO", true)->size(), 6u);
        EXPECT_FALSE(tag.getFrame(5u)->isIncomplete());
    }
    // A file that lost its frames meanwhile leaves them empty.
    CID3v2Tag tag, bare;
    tag.addFrame(new CID3Frame("APIC", apic));
    tag.emptyLargeFrames(true);
    tag.restoreEmptiedFrames(bare);
    EXPECT_EQ(pictureOf(tag, 0, 0)->width, 0);
}
