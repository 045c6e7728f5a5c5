#include "platform/MovieDecoder.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/MissingComponent.h"
#include "support/MovieClips.h"
#include "support/TempDir.h"

namespace {

// The green byte at the image's centre (B G R A).
int centreGreen(const std::vector<uint8_t>& image) {
    const size_t at = (size_t(MovieDecoder::kHeight / 2) * MovieDecoder::kWidth + MovieDecoder::kWidth / 2) * 4;
    return image.size() > at ? image[at + 1] : -1;
}

class MovieDecoderFormats : public ::testing::TestWithParam<const char*> {};

// Every container opens with its duration, starts at 0 showing the first frame, and a paused scrub decodes
// forward from a keyframe to the frame of that time.
TEST_P(MovieDecoderFormats, OpensAndScrubsToTheFrameOfATime) {
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    testsupport::TempDir dir("movie");
    const std::string clip = dir.path + "count" + GetParam();
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 20));

    MovieDecoder movie;
    std::string error;
    ASSERT_TRUE(movie.open(clip, &error)) << error;
    // MPEG program streams give a duration estimated from their time stamps.
    EXPECT_NEAR(movie.durationMs(), 20000, std::string(GetParam()) == ".mpg" ? 1000 : 100);
    EXPECT_EQ(movie.timeMs(), 0);
    std::vector<uint8_t> image;
    ASSERT_TRUE(movie.takeNewestImage(image));
    ASSERT_EQ(image.size(), size_t(MovieDecoder::kWidth) * MovieDecoder::kHeight * 4);
    EXPECT_NEAR(centreGreen(image), 0, 6);
    EXPECT_FALSE(movie.takeNewestImage(image)); // taken once

    for (double ms : {10000.0, 7020.0, 15500.0, 3000.0}) {
        movie.scrub(ms);
        EXPECT_EQ(movie.timeMs(), ms);
        ASSERT_TRUE(movie.takeNewestImage(image)) << ms;
        EXPECT_NEAR(centreGreen(image), 12 * int(ms / 1000), 5) << ms;
    }
    EXPECT_FALSE(movie.isPlaying());
}

INSTANTIATE_TEST_SUITE_P(Containers, MovieDecoderFormats, ::testing::Values(".avi", ".mp4", ".mpg"));

TEST(MovieDecoder, AFileThatDoesNotOpenReadsZeroAndSaysWhy) {
    testsupport::TempDir dir("movie");
    for (const char* name : {"missing.avi", "script.avs", "title.ifo", "project.d2v"}) {
        const std::string path = std::string(name) == "missing.avi" ? dir.path + name : dir.write(name, "not a movie");
        MovieDecoder movie;
        std::string error;
        EXPECT_FALSE(movie.open(path, &error)) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
        EXPECT_FALSE(movie.isOpen());
        movie.setPlaying(true);
        movie.scrub(1000);
        EXPECT_FALSE(movie.isPlaying());
        EXPECT_EQ(movie.durationMs(), 0);
        EXPECT_EQ(movie.timeMs(), 0);
        std::vector<uint8_t> image;
        EXPECT_FALSE(movie.takeNewestImage(image));
    }
}

// Playing runs the clock at rate 1, wraps it at the end and keeps delivering frames; stopping freezes it.
TEST(MovieDecoder, PlaysLoopsAndStops) {
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    testsupport::TempDir dir("movie");
    const std::string clip = dir.path + "short.mp4";
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 2));
    MovieDecoder movie;
    ASSERT_TRUE(movie.open(clip));
    const double duration = movie.durationMs();
    ASSERT_NEAR(duration, 2000, 100);
    movie.scrub(duration - 200);
    const unsigned long before = movie.imagesPublished();
    movie.setPlaying(true);
    movie.setPlaying(true);
    EXPECT_TRUE(movie.isPlaying());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const double wrapped = movie.timeMs();
    EXPECT_GT(wrapped, 200); // about 400 ms after the wrap
    EXPECT_LT(wrapped, 1500);
    EXPECT_GT(movie.imagesPublished(), before + 3);
    std::vector<uint8_t> image;
    ASSERT_TRUE(movie.takeNewestImage(image));
    EXPECT_NEAR(centreGreen(image), 0, 5); // the first second again

    movie.setPlaying(false);
    const double stopped = movie.timeMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(movie.timeMs(), stopped);
    EXPECT_FALSE(movie.isPlaying());
}

// Destroying or reopening while the decode thread works stops it first (run under ThreadSanitizer too).
TEST(MovieDecoder, DestroyedOrReopenedWhilePlaying) {
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    testsupport::TempDir dir("movie");
    const std::string clip = dir.path + "count.avi";
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 3));
    for (int round = 0; round < 4; ++round) {
        MovieDecoder movie;
        ASSERT_TRUE(movie.open(clip));
        movie.setPlaying(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (round % 2) {
            ASSERT_TRUE(movie.open(clip));
            EXPECT_FALSE(movie.isPlaying());
            movie.setPlaying(true);
        }
        movie.scrub(1500);
    }
}

} // namespace
