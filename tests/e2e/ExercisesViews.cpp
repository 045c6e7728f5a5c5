// Views drawn by the application: the scrolling waveforms, the cover and the movies.
#include "Exercises.h"
#include "Steps.h"

#include "support/MissingComponent.h"
#include "support/MovieClips.h"
#include "support/Screenshot.h"

#include <cmath>
#include <cstdlib>

namespace e2e {

namespace {

size_t lit(const std::vector<unsigned char>& p) {
    size_t n = 0;
    for (size_t i = 0; i + 2 < p.size(); i += 3)
        if (p[i] > 40 || p[i + 1] > 40 || p[i + 2] > 40) ++n;
    return n;
}

// The share of pixels that differ between two pictures of the same place.
double differing(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size() || a.empty()) return 1;
    size_t n = 0;
    for (size_t i = 0; i + 2 < a.size(); i += 3)
        if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) ++n;
    return double(n) / double(a.size() / 3);
}

// A scrolling waveform: drawn, moving while the deck plays, still while it is stopped. A track loaded just
// before (the overview's row) may still be filling in its colours, and the speed trail fades over frames, which a
// loaded machine draws few of: the stopped view is watched until it holds still, for a while.
void waveform(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    const auto first = rig.pixels(c);
    testsupport::sleepMs(700);
    const auto later = rig.pixels(c);
    ASSERT_FALSE(first.empty());
    EXPECT_GT(lit(first), first.size() / 3 / 20) << "hardly anything drawn";
    const double moving = differing(first, later);
    playing(rig, c.deck, false);
    double still = 1;
    rig.until(
        [&] {
            const auto stopped = rig.pixels(c);
            testsupport::sleepMs(700);
            return (still = differing(stopped, rig.pixels(c))) < moving / 2;
        },
        15);
    EXPECT_GT(moving, 0.02) << "does not move while the deck plays";
    EXPECT_LT(still, moving / 2) << "moves as much with the decks stopped (" << still << " of the pixels against "
                                 << moving << ")";
}

// The cover: the picture beside the deck's track fills the object; a track without one leaves none of it.
void cover(Rig& rig, const Control& c) {
    auto share = [&] {
        rig.frames(3);
        const std::vector<unsigned char> p = rig.pixels(c);
        size_t n = 0;
        for (size_t i = 0; i + 2 < p.size(); i += 3)
            n += std::abs(p[i] - int(Tracks::kCoverRgb >> 16)) < 24 &&
                 std::abs(p[i + 1] - int(Tracks::kCoverRgb >> 8 & 0xFF)) < 24 &&
                 std::abs(p[i + 2] - int(Tracks::kCoverRgb & 0xFF)) < 24;
        return p.empty() ? 0 : double(n) / double(p.size() / 3);
    };
    const double shown = share();
    ASSERT_TRUE(rig.load(c.deck, Tracks::kSecond));
    const double none = share();
    ASSERT_TRUE(rig.load(c.deck, Tracks::kDeck1));
    measured("the cover's colour on %.0f %% of the pixels, %.0f %% without a cover", 100 * shown, 100 * none);
    EXPECT_GT(shown, 0.9) << "the track's cover is not shown";
    EXPECT_LT(none, 0.05) << "a cover is shown for a track without one";
}

} // namespace

namespace {

// The mean green of a picture's pixels.
double green(const std::vector<unsigned char>& p) {
    double sum = 0;
    for (size_t i = 1; i < p.size(); i += 3)
        sum += p[i];
    return p.empty() ? 0 : sum / double(p.size() / 3);
}

// A movie view: a clip whose green counts its seconds (from 100), dropped on the deck's side of the video view,
// shows there and moves on while the deck plays (the mix view shows it with the video fader on that
// deck's side, and not on the other side).
void videoView(Rig& rig, const Control& c) {
    const bool mix = c.value == "videomix";
    const int deck = mix ? 0 : c.deck;
    const std::string clip = rig.session().music + "clip.avi";
    if (!testsupport::haveFfmpeg()) TARLUME_MISSING_COMPONENT() << "ffmpeg is not installed";
    ASSERT_TRUE(testsupport::makeSecondsClip(clip, 12, 100));
    Control area = rig.find("dropbox", deck);
    ASSERT_TRUE(area.valid() && area.placed.window == c.placed.window) << "no drop area of the deck in the view";
    const double empty = green(rig.pixels(c));
    ASSERT_TRUE(rig.drop(freePlace(rig, area), {clip}));
    ASSERT_TRUE(rig.until([&] { return rig.deck(deck)["file"] == clip; }, 30)) << "the movie did not load";
    Control fader = rig.find("videocrossfader", 0);
    if (mix) moveSlider(rig, fader, deck == 0 ? 0 : 1);
    playing(rig, deck, true);
    testsupport::sleepMs(1300);
    const double first = green(rig.pixels(c));
    testsupport::sleepMs(1200);
    const double later = green(rig.pixels(c));
    EXPECT_GT(first, empty + 5) << "the movie is not shown";
    EXPECT_GT(later, first + 4) << "the movie does not move on";
    if (mix) {
        moveSlider(rig, fader, deck == 0 ? 1 : 0);
        testsupport::sleepMs(300);
        EXPECT_LT(green(rig.pixels(c)), empty + 2) << "the mix shows the movie from the other side";
        rightClick(rig, fader);
    }
    playing(rig, deck, false);
    ASSERT_TRUE(rig.load(deck, Tracks::forDeck(deck)));
}

// The video fader: sets the video crossfader alone, its ends and (right click) its middle.
void videoFader(Rig& rig, const Control& c) {
    for (double end : {0.0, 1.0}) {
        moveSlider(rig, c, end);
        EXPECT_NEAR(rig.engineFact("videoCrossfader"), end, 0.01);
        EXPECT_NEAR(rig.engineFact("crossfader"), 0.5, 1e-6) << "the video fader moved the crossfader";
    }
    rightClick(rig, c);
    EXPECT_NEAR(rig.engineFact("videoCrossfader"), 0.5, 1e-6);
}

} // namespace

const Exercise kVideoView{"drop a movie on the deck's side, play", "its frames show and move on (the mix: on its side)",
                          videoView};
const Exercise kVideoFader{"press at both ends, right click", "the video crossfader alone: 0, 1, 0.5", videoFader};

const Exercise kWaveform{"watch while playing and stopped", "drawn; moves while playing; still when stopped", waveform};
const Exercise kCover{"read with deck 1's track (a cover beside it) and a track without one",
                      "the cover's pixels fill it; then none of them", cover};

} // namespace e2e
