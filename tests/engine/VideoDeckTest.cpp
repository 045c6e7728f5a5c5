// Video decks: a deck playing a movie through its video player, the bridge under it, and the drawing.
#include <cmath>
#include <limits>

#include "TarlumePlayerTestSupport.h"
#include "support/DeckLoads.h"
#include "engine/TarlumeVideoRenderer.h"
#include "engine/VideoPlayer.h"
#include "engine/VideoPlayerHelper.h"
#include "platform/GL.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "support/HeadlessGL.h"
#include "support/MissingComponent.h"
#include "support/MovieClips.h"
#include "support/TempDir.h"

using decktest::Rig;

namespace {

FModPlayer* makeVideoPlayer() {
    return new VideoPlayer();
}

// A rig whose decks play video files as movies, with a scratch folder for the clips.
struct VideoRig : Rig {
    testsupport::TempDir dir{"video"};
    VideoRig() { TarlumePlayer::videoPlayerFactory = makeVideoPlayer; }
    ~VideoRig() { TarlumePlayer::videoPlayerFactory = makeVideoPlayer; }
    VideoPlayer* video(int i = 0) { return dynamic_cast<VideoPlayer*>(deck(i)->player.get()); }
};

} // namespace

// Positions are ms x 44.1: 0 after a load, 441000 scrubs to 10 s; the deck reads the movie's length.
TEST(VideoDeck, PositionsAreMillisecondsTimes441) {
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    VideoRig rig;
    const std::string clip = rig.dir.path + "count.avi";
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 20));
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, clip.c_str(), true));
    ASSERT_EQ(d->isVideo, 1);
    ASSERT_TRUE(rig.video());
    EXPECT_FALSE(d->isUnreadable()); // an open movie is no failed load
    EXPECT_EQ(d->getParam(PLAYERPARAM_POSITION), 0);
    EXPECT_NEAR(d->getParam(PLAYERPARAM_LENGTH), 20000 * 44.1, 100 * 44.1);
    d->setParam(PLAYERPARAM_POSITION, 441000);
    EXPECT_NEAR(d->getParam(PLAYERPARAM_POSITION), 441000, 1);
    rig.video()->changePosition(44100);
    EXPECT_NEAR(d->getParam(PLAYERPARAM_POSITION), 44100, 1);

    // Playing runs the movie (the decks' mixer hears silence); a deck destroyed while playing joins its thread.
    d->setParam(PLAYERPARAM_PLAYING, 1);
    EXPECT_EQ(d->getParam(PLAYERPARAM_PLAYING), 1);
    EXPECT_TRUE(decktest::waitUntil([&] { return d->getParam(PLAYERPARAM_POSITION) > 44100 + 441; }, 5000));
}

// A loop is kept by drawing: past its end a drawn frame goes back to its start; with the loop off nothing jumps.
TEST(VideoDeck, ALoopJumpsBackWhenDrawn) {
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    VideoRig rig;
    const std::string clip = rig.dir.path + "count.mp4";
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 4));
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, clip.c_str(), true));
    d->setParam(PLAYERPARAM_LOOPSTART, 44100);
    d->setParam(PLAYERPARAM_LOOPEND, 88200);
    for (bool loop : {false, true}) {
        d->setParam(PLAYERPARAM_LOOP, loop ? 1 : 0);
        d->setParam(PLAYERPARAM_POSITION, 90000);
        d->draw(nullptr, 0, 0, 64, 48, 1.0f); // no GL context: the picture is not drawn, the loop is kept
        EXPECT_NEAR(d->getParam(PLAYERPARAM_POSITION), loop ? 44100 : 90000, 1) << loop;
    }
}

TEST(VideoDeck, TheBridgeStartsOnceAndIgnoresTimesWithoutAMovie) {
    testsupport::TempDir dir("video");
    VideoPlayerHelper* h = vh_createVideoHelper(nullptr);
    // No movie: a time is a fraction of nothing (it used to divide by 0); playing does not start.
    for (double ms : {0.0, 5000.0, std::numeric_limits<double>::quiet_NaN()})
        vh_setTime(h, ms);
    vh_setPlaying(h, true);
    EXPECT_FALSE(vh_isPlaying(h));
    EXPECT_EQ(vh_getTime(h), 0);
    // A file no demuxer here reads (an index of a DVD, a script) leaves no movie.
    vh_loadMovieFromPath(h, dir.write("movie.d2v", "DGIndexProjectFile16\n"));
    EXPECT_EQ(vh_getLength(h), 0);
    EXPECT_EQ(vh_getTime(h), 0);
    vh_destroyVideoHelper(h);

    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    const std::string clip = dir.path + "count.mpg";
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 3));
    h = vh_createVideoHelper(nullptr);
    vh_loadMovieFromPath(h, clip);
    const double length = vh_getLength(h);
    ASSERT_GT(length, 1000);
    // Out-of-range and undefined times clamp to the movie.
    const struct {
        double ms, expected;
    } times[] = {{1e300, length}, {-50, 0}, {std::numeric_limits<double>::quiet_NaN(), 0}, {1000, 1000}};
    for (const auto& t : times) {
        vh_setTime(h, t.ms);
        EXPECT_NEAR(vh_getTime(h), t.expected, 0.01) << t.ms;
    }
    vh_setPlaying(h, true);
    vh_setPlaying(h, true); // a toggle twice would stop it again
    EXPECT_TRUE(vh_isPlaying(h));
    vh_setPlaying(h, false);
    EXPECT_FALSE(vh_isPlaying(h));
    vh_setPlaying(h, true);
    vh_destroyVideoHelper(h); // while playing
}

namespace {

struct Pixel {
    int b, g, r, a;
};
Pixel pixelAt(const std::vector<unsigned char>& image, int width, int x, int y) {
    const unsigned char* p = &image[(size_t(y) * width + x) * 4];
    return {p[0], p[1], p[2], p[3]};
}

} // namespace

// Drawn into a headless context: black fill only at alpha 1, nothing at alpha 0, the picture upright, and a
// paused scrub showing the frame of that time.
TEST(VideoDeck, DrawsUprightWithTheBlackFillOnlyAtFullOpacity) {
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    HeadlessGL gl;
    if (!gl.open(64, 48)) TARLUME_MISSING_COMPONENT() << gl.error();
    VideoRig rig;
    SkinInterface iface;
    Skin skin(&iface);
    rig.engine->skin = &skin;
    const std::string upright = rig.dir.path + "upright.mp4", count = rig.dir.path + "count.avi";
    ASSERT_TRUE(testsupport::makeOrientationClip(upright));
    ASSERT_TRUE(testsupport::makeSecondsClip(count, 12));
    const std::string broken = rig.dir.write("broken.avs", "not a script");
    TarlumePlayer* d = rig.deck();
    auto clearWhite = [] {
        glClearColor(1, 1, 1, 1);
        glClear(GL_COLOR_BUFFER_BIT);
    };

    // A movie that doesn't open: alpha 1 fills black, a fraction draws nothing.
    ASSERT_TRUE(testsupport::loadSong(d, broken.c_str(), true));
    ASSERT_EQ(d->isVideo, 1);
    for (float alpha : {1.0f, 0.5f, 0.0f}) {
        clearWhite();
        d->draw(nullptr, 8, 8, 16, 16, alpha);
        const std::vector<unsigned char> image = gl.readPixels();
        const Pixel in = pixelAt(image, 64, 12, 12), out = pixelAt(image, 64, 40, 12);
        EXPECT_EQ(in.g, alpha == 1.0f ? 0 : 255) << alpha;
        EXPECT_EQ(out.g, 255);
    }

    ASSERT_TRUE(testsupport::loadSong(d, upright.c_str(), true));
    clearWhite();
    d->draw(nullptr, 0, 0, 64, 48, 0.0f);
    EXPECT_EQ(pixelAt(gl.readPixels(), 64, 32, 24).g, 255); // alpha 0: nothing drawn
    for (int pass = 0; pass < 2; ++pass) {                  // the second draws the last image again
        clearWhite();
        d->draw(nullptr, 0, 0, 64, 48, 1.0f);
        const std::vector<unsigned char> image = gl.readPixels();
        const Pixel top = pixelAt(image, 64, 32, 6), bottom = pixelAt(image, 64, 32, 42);
        EXPECT_GT(top.r, 200) << pass;
        EXPECT_LT(top.b, 60) << pass;
        EXPECT_GT(bottom.b, 200) << pass;
        EXPECT_LT(bottom.r, 60) << pass;
    }

    // A paused scrub shows its frame at the next draw; a draw between two frames stays on the texture.
    ASSERT_TRUE(testsupport::loadSong(d, count.c_str(), true));
    for (double ms : {10000.0, 3000.0}) {
        d->setParam(PLAYERPARAM_POSITION, ms * 44.1);
        d->draw(nullptr, 0, 0, 64, 48, 0.5f);
        EXPECT_NEAR(pixelAt(gl.readPixels(), 64, 32, 24).g, 12 * int(ms / 1000), 5) << ms;
    }
    rig.engine->skin = nullptr;
}
