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
