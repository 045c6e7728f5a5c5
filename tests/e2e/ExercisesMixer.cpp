// The equaliser, filter, gain, volumes, crossfader, headphones and the mixer's displays.
#include "Exercises.h"
#include "Steps.h"

#include <cmath>
#include <algorithm>
#include <ctime>

namespace e2e {

namespace {

// Which band an equaliser control works on: 0 low, 1 mid, 2 high.
int bandOf(const Control& c) {
    const std::string s = c.specifier();
    return s.find("low") != std::string::npos ? 0 : s.find("mid") != std::string::npos ? 1 : 2;
}
double bandLevel(const Bands& b, int band) {
    return band == 0 ? b.bass : band == 1 ? b.tone : b.hats;
}
const char* const kBandNames[3] = {"bass", "mid tone", "hats"};

// A band taken down: by at least 20 dB (the mid 12 dB), the others within 3 dB (a high cut takes some 4 dB
// off deck 2's tone at 1.5 kHz).
void expectCut(const Bands& before, const Bands& after, int band, int deck) {
    const double least = band == 1 ? 12 : 20;
    measured("bass %+.1f, tone %+.1f, hats %+.1f dB", after.bass - before.bass, after.tone - before.tone,
             after.hats - before.hats);
    for (int b = 0; b < 3; ++b) {
        const double change = bandLevel(after, b) - bandLevel(before, b);
        if (b == band) {
            EXPECT_LT(change, -least) << kBandNames[b] << " changed by " << change << " dB";
        } else
            EXPECT_NEAR(change, 0, b == 1 && band == 2 && trackTone(deck) > Tracks::kTone1 ? 4.5 : 3)
                << kBandNames[b] << " (not the band cut) changed by " << change << " dB";
    }
}

// An equaliser knob (to its minimum, its maximum, then a right click) or kill button (pressed twice): its
// band goes down and comes back; a knob's maximum raises it.
void eqBand(Rig& rig, const Control& c) {
    const int band = bandOf(c);
    const bool kill = c.specifier().find("kill") != std::string::npos;
    playing(rig, c.deck, true);
    const Bands before = bands(rig.listen(), c.deck);
    if (kill) {
        rig.click(c);
        EXPECT_TRUE(rig.value(c).lit) << "not lit while killing";
    } else {
        EXPECT_NEAR(turnKnob(rig, c, 0), 0, 0.01) << "the knob does not reach its minimum";
    }
    expectCut(before, bands(rig.listen(), c.deck), band, c.deck);
    if (kill) {
        rig.click(c);
        EXPECT_FALSE(rig.value(c).lit);
    } else {
        turnKnob(rig, c, 1);
        const double raised = bandLevel(bands(rig.listen(), c.deck), band) - bandLevel(before, band);
        measured("at the maximum %+.1f dB", raised);
        EXPECT_GT(raised, 2) << kBandNames[band] << " at the knob's maximum changed by " << raised << " dB";
        rightClick(rig, c);
        EXPECT_NEAR(rig.value(c).number, 0, 1e-6) << "a right click does not reset";
    }
    EXPECT_NEAR(bandLevel(bands(rig.listen(), c.deck), band), bandLevel(before, band), 0.5) << "not back";
    playing(rig, c.deck, false);
}

// The filter knob with the filter on: low pass to the left (the hats go), high pass to the right
// (the bass goes); the middle passes everything; a right click returns it there.
void filterKnob(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    const Bands before = bands(rig.listen(), c.deck);
    pressValue(rig, c, "effectonoff", "filter");
    turnKnob(rig, c, 0.1);
    Bands low = bands(rig.listen(), c.deck);
    EXPECT_LT(low.hats - before.hats, -20) << "low pass: the hats";
    EXPECT_NEAR(low.bass, before.bass, 3) << "low pass: the bass";
    turnKnob(rig, c, 0.9);
    Bands high = bands(rig.listen(), c.deck);
    measured("low pass: hats %+.1f, bass %+.1f dB; high pass: bass %+.1f, hats %+.1f dB", low.hats - before.hats,
             low.bass - before.bass, high.bass - before.bass, high.hats - before.hats);
    EXPECT_LT(high.bass - before.bass, -20) << "high pass: the bass";
    EXPECT_NEAR(high.hats, before.hats, 3) << "high pass: the hats";
    rightClick(rig, c);
    EXPECT_NEAR(rig.value(c).number, 0.5, 1e-6);
    pressValue(rig, c, "effectonoff", "filter");
    playing(rig, c.deck, false);
}

// The filter's switch: with the knob at low pass, on takes the hats away and off brings them back.
void filterOn(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    Control knob = sibling(rig, c, "effect", "filter_position");
    ASSERT_TRUE(knob.valid());
    turnKnob(rig, knob, 0.1);
    const Bands off = bands(rig.listen(), c.deck);
    rig.click(c);
    EXPECT_TRUE(rig.value(c).lit);
    const double on = bands(rig.listen(), c.deck).hats - off.hats;
    measured("on: hats %+.1f dB", on);
    EXPECT_LT(on, -20) << "on: the hats stay";
    rig.click(c);
    EXPECT_FALSE(rig.value(c).lit);
    EXPECT_NEAR(bands(rig.listen(), c.deck).hats, off.hats, 1) << "off: the hats do not return";
    rightClick(rig, knob);
    playing(rig, c.deck, false);
}

// Gain: unity in the middle, -6 dB at a quarter, louder above the middle; a right click: unity.
void gain(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    const double unity = bands(rig.listen(), c.deck).tone;
    turnKnob(rig, c, 0.25);
    EXPECT_NEAR(rig.value(c).number, 0.5, 0.02);
    const double quarter = bands(rig.listen(), c.deck).tone - unity;
    EXPECT_NEAR(quarter, -6, 1) << "at a quarter";
    turnKnob(rig, c, 0.6);
    const double above = bands(rig.listen(), c.deck).tone - unity;
    EXPECT_GT(above, 2) << "above the middle";
    measured("a quarter %+.1f dB, 0.6 %+.1f dB", quarter, above);
    rightClick(rig, c);
    EXPECT_NEAR(rig.value(c).number, 1, 1e-6);
    EXPECT_NEAR(bands(rig.listen(), c.deck).tone, unity, 0.5);
    playing(rig, c.deck, false);
}

// The replay gain of a track that has none, found by the analysis while it plays (a quiet tone, 30 dB
// below full scale): it reaches the sound as a fade (no 10 ms step above 1.5 dB), lifts the track, and
// never past full scale.
void replayGain(Rig& rig, int deck) {
    Control title = rig.find("trackinfotitle", deck);
    ASSERT_TRUE(rig.drop(rig.reach(title), {rig.track(Tracks::kQuiet)}));
    ASSERT_TRUE(rig.until([&] { return rig.deck(deck)["file"] == rig.track(Tracks::kQuiet); }));
    playing(rig, deck, true);
    int64_t applied = -1;
    rig.until(
        [&] {
            if (rig.deckFact(deck, "replayGainApplied") == 0) return false;
            applied = rig.tap().now();
            return true;
        },
        120);
    ASSERT_GE(applied, 0) << "no replay gain was found in two minutes";
    testsupport::sleepMs(3500);
    const auto ch = rig.tap().take(applied - 2 * 44100, 5 * 44100);
    ASSERT_FALSE(ch[0].empty());
    double previous = 0, largest = 0, first = 0, last = 0;
    for (size_t at = 0; at + 441 <= ch[0].size(); at += 441) {
        const std::vector<float> l(ch[0].begin() + long(at), ch[0].begin() + long(at) + 441),
            r(ch[1].begin() + long(at), ch[1].begin() + long(at) + 441);
        const double level = testsupport::levelDb(l, r);
        if (at == 0) first = level;
        if (at > 0) largest = std::max(largest, std::fabs(level - previous));
        previous = last = level;
    }
    const double peak = std::max(testsupport::peakOf(ch[0]), testsupport::peakOf(ch[1]));
    measured("replay gain: lift %+.1f dB, largest 10 ms step %.2f dB, peak %.2f", last - first, largest, peak);
    EXPECT_LT(largest, 1.5) << "the gain steps by " << largest << " dB in 10 ms";
    EXPECT_GT(last - first, 3) << "the gain did not lift the quiet track";
    EXPECT_LE(peak, 1.0) << "the gain lifts past full scale";
    playing(rig, deck, false);
    ASSERT_TRUE(rig.load(deck, Tracks::forDeck(deck)));
}

void gainAndReplayGain(Rig& rig, const Control& c) {
    gain(rig, c);
    replayGain(rig, c.deck);
}

// The deck's volume fader: silent at the bottom, -6 dB in the middle (a straight gain), a right click
// puts it back near the top.
void volume(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    const double full = bands(rig.listen(), c.deck).tone;
    moveSlider(rig, c, 0);
    const double bottom = bands(rig.listen(), c.deck).tone;
    EXPECT_LT(bottom, kSilentDb) << "heard at the bottom";
    moveSlider(rig, c, 0.5);
    const double middle = bands(rig.listen(), c.deck).tone - full;
    EXPECT_NEAR(middle, -6, 1) << "in the middle";
    measured("bottom %.0f dBFS, middle %+.1f dB", bottom, middle);
    rightClick(rig, c);
    EXPECT_NEAR(rig.value(c).number, 0.99, 1e-6);
    EXPECT_NEAR(bands(rig.listen(), c.deck).tone, full, 0.5);
    playing(rig, c.deck, false);
}

// The headphone button: the deck on outputs 3/4 at its full level, whatever the deck's volume and the
// master volume; off: nothing there (the cue/master blend at zero).
void headphones(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    EXPECT_LT(rig.listen().phonesDb(), kSilentDb) << "the headphones carry sound before the button";
    rig.click(c);
    EXPECT_TRUE(rig.value(c).lit);
    Heard on = rig.listen();
    EXPECT_NEAR(bands(on, c.deck, true).tone, bands(on, c.deck).tone, 1) << "not at the deck's level";
    Control fader = sibling(rig, c, "volume_player");
    moveSlider(rig, fader, 0);
    Heard quiet = rig.listen();
    EXPECT_LT(bands(quiet, c.deck).tone, kSilentDb);
    EXPECT_NEAR(bands(quiet, c.deck, true).tone, bands(on, c.deck, true).tone, 1) << "follows the deck's volume";
    measured("3/4 %+.1f dB against the master; volume down: master %.0f dBFS, 3/4 %+.1f dB",
             bands(on, c.deck, true).tone - bands(on, c.deck).tone, bands(quiet, c.deck).tone,
             bands(quiet, c.deck, true).tone - bands(on, c.deck, true).tone);
    rightClick(rig, fader);
    rig.click(c);
    EXPECT_FALSE(rig.value(c).lit);
    EXPECT_LT(rig.listen().phonesDb(), kSilentDb) << "the headphones carry sound after the button";
    playing(rig, c.deck, false);
}

// Moves the crossfader (found in the skin) to a relative position.
void crossfaderTo(Rig& rig, double relative) {
    Control x = rig.find("crossfader", 0);
    ASSERT_TRUE(x.valid());
    moveSlider(rig, x, relative);
}

// A crossfader side: on side a the deck is silent with the crossfader fully right, on side b fully
// left; through, it is heard at both ends.
void side(Rig& rig, const Control& c) {
    const std::string spec = c.specifier();
    playing(rig, c.deck, true);
    const double full = bands(rig.listen(), c.deck).tone;
    rig.click(c);
    EXPECT_TRUE(rig.value(c).lit);
    for (double at : {0.0, 1.0}) {
        crossfaderTo(rig, at);
        const bool silent = (spec == "left" && at == 1.0) || (spec == "right" && at == 0.0);
        const double level = bands(rig.listen(), c.deck).tone;
        measured("crossfader %.0f: %+.1f dB", at, level - full);
        if (silent) {
            EXPECT_LT(level, kSilentDb) << "crossfader at " << at;
        } else
            EXPECT_NEAR(level, full, 1) << "crossfader at " << at;
    }
    rightClick(rig, rig.find("crossfader", 0));
    pressValue(rig, c, "crossfaderselection", c.deck % 2 == 0 ? "left" : "right");
    playing(rig, c.deck, false);
}

// The crossfader with deck 1 left and deck 2 right: each end leaves one deck; the middle both (the
// default curve); a right click returns it to the middle.
void crossfader(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    playing(rig, 1, true);
    const Heard middle = rig.listen();
    const double one = bands(middle, 0).tone, two = bands(middle, 1).tone;
    moveSlider(rig, c, 0);
    Heard left = rig.listen();
    EXPECT_NEAR(bands(left, 0).tone, one, 1) << "deck 1 at the left end";
    EXPECT_LT(bands(left, 1).tone, kSilentDb) << "deck 2 at the left end";
    moveSlider(rig, c, 1);
    Heard right = rig.listen();
    EXPECT_LT(bands(right, 0).tone, kSilentDb) << "deck 1 at the right end";
    EXPECT_NEAR(bands(right, 1).tone, two, 1) << "deck 2 at the right end";
    measured("left: deck 1 %+.1f dB, deck 2 %.0f dBFS; right: deck 1 %.0f dBFS, deck 2 %+.1f dB",
             bands(left, 0).tone - one, bands(left, 1).tone, bands(right, 0).tone, bands(right, 1).tone - two);
    rightClick(rig, c);
    EXPECT_NEAR(rig.value(c).number, 0.5, 1e-6);
    playing(rig, 0, false);
    playing(rig, 1, false);
}

// A crossfader curve: the engine takes the curve type; deck 1 at three quarters to the right sounds at
// that curve's gain (cut 0.5, linear 0.25, medium 0.375, constant power 0.5).
void curve(Rig& rig, const Control& c) {
    const int type = atoi(c.specifier().c_str());
    const double gains[4] = {0.5, 0.25, 0.375, 0.5};
    playing(rig, 0, true);
    const double full = bands(rig.listen(), 0).tone;
    rig.click(c);
    EXPECT_EQ(rig.engineFact("crossfaderType"), type);
    crossfaderTo(rig, 0.75);
    const double at = bands(rig.listen(), 0).tone - full;
    measured("at 3/4 %+.1f dB", at);
    EXPECT_NEAR(at, 20 * std::log10(gains[type]), 1);
    rightClick(rig, rig.find("crossfader", 0));
    rig.click(rig.find("crossfadertype", 0, "0"));
    playing(rig, 0, false);
}

// The master volume: silent at the minimum, -6 dB in the middle, the headphones untouched; a right
// click: full.
void masterVolume(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    rig.click(rig.find("volume_cue", 0));
    const Heard before = rig.listen();
    turnKnob(rig, c, 0);
    Heard off = rig.listen();
    EXPECT_LT(off.masterDb(), kSilentDb) << "the master at the minimum";
    EXPECT_NEAR(off.phonesDb(), before.phonesDb(), 1) << "the headphones follow the master volume";
    turnKnob(rig, c, 0.5);
    const double middle = rig.listen().masterDb() - before.masterDb();
    measured("minimum: master %.0f dBFS, 3/4 %+.1f dB; middle %+.1f dB", off.masterDb(),
             off.phonesDb() - before.phonesDb(), middle);
    EXPECT_NEAR(middle, -6, 1);
    rightClick(rig, c);
    EXPECT_NEAR(rig.value(c).number, 1, 1e-6);
    EXPECT_NEAR(rig.listen().masterDb(), before.masterDb(), 0.5);
    rig.click(rig.find("volume_cue", 0));
    playing(rig, 0, false);
}

// The cue/master blend: a deck not cued reaches the headphones at the blend times its master level; a
// right click: back to zero, where the program starts it (the cued decks alone).
void cueMasterBlend(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    const double master = bands(rig.listen(), 0).tone;
    turnKnob(rig, c, 0);
    const double zero = rig.listen().phonesDb();
    EXPECT_LT(zero, kSilentDb) << "blend at zero";
    turnKnob(rig, c, 1);
    const double one = bands(rig.listen(), 0, true).tone - master;
    EXPECT_NEAR(one, 0, 1) << "blend at one";
    turnKnob(rig, c, 0.5);
    const double middle = bands(rig.listen(), 0, true).tone - master;
    EXPECT_NEAR(middle, -6, 1) << "blend in the middle";
    measured("3/4: 0: %.0f dBFS, 1: %+.1f dB, middle %+.1f dB", zero, one, middle);
    rightClick(rig, c);
    EXPECT_NEAR(rig.value(c).number, 0, 1e-6);
    EXPECT_LT(rig.listen().phonesDb(), kSilentDb) << "blend after a right click";
    playing(rig, 0, false);
}

// The headphone level: a cued deck on outputs 3/4 follows it (-6 dB in the middle, at least 20 dB down
// at the minimum), the master does not; a right click: full.
void phonesLevel(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    Control cue = rig.find("volume_cue", 0);
    rig.click(cue);
    turnKnob(rig, c, 1);
    const Heard full = rig.listen();
    turnKnob(rig, c, 0.5);
    const Heard half = rig.listen();
    EXPECT_NEAR(bands(half, 0, true).tone - bands(full, 0, true).tone, -6, 1) << "in the middle";
    EXPECT_NEAR(bands(half, 0).tone, bands(full, 0).tone, 0.5) << "the master follows the headphone level";
    turnKnob(rig, c, 0);
    const double minimum = bands(rig.listen(), 0, true).tone - bands(full, 0, true).tone;
    EXPECT_LT(minimum, -20) << "at the minimum";
    measured("3/4: middle %+.1f dB, minimum %+.1f dB; master %+.1f dB",
             bands(half, 0, true).tone - bands(full, 0, true).tone, minimum, bands(half, 0).tone - bands(full, 0).tone);
    rightClick(rig, c); // back to full, where the program starts it
    EXPECT_NEAR(rig.value(c).number, 1, 1e-6);
    EXPECT_NEAR(bands(rig.listen(), 0, true).tone, bands(full, 0, true).tone, 0.5) << "after a right click";
    rig.click(cue);
    playing(rig, 0, false);
}

// Cue before effects: with deck 1 cued and its filter at low pass, the headphones hear the hats only
// with the button lit; the master never does.
void cuePreEffects(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    const Bands clean = bands(rig.listen(), 0);
    Control cueButton = rig.find("volume_cue", 0), knob = rig.find("effect", 0, "filter_position");
    rig.click(cueButton);
    rig.click(rig.find("effectonoff", 0, "filter"));
    turnKnob(rig, knob, 0.1);
    EXPECT_LT(bands(rig.listen(), 0, true).hats - clean.hats, -20) << "after the effects: the hats";
    rig.click(c);
    EXPECT_TRUE(rig.value(c).lit);
    Heard pre = rig.listen();
    EXPECT_NEAR(bands(pre, 0, true).hats, clean.hats, 1) << "before the effects: the headphones";
    EXPECT_LT(bands(pre, 0).hats - clean.hats, -20) << "before the effects: the master";
    measured("hats: 3/4 %+.1f dB, master %+.1f dB", bands(pre, 0, true).hats - clean.hats,
             bands(pre, 0).hats - clean.hats);
    rig.click(c);
    EXPECT_FALSE(rig.value(c).lit);
    rightClick(rig, knob);
    rig.click(rig.find("effectonoff", 0, "filter"));
    rig.click(cueButton);
    playing(rig, 0, false);
}

// The crossfader link: lit while the video crossfader follows the crossfader.
void link(Rig& rig, const Control& c) {
    const bool first = rig.engineFact("linked") > 0;
    EXPECT_EQ(rig.value(c).lit, first);
    rig.click(c);
    EXPECT_NE(rig.engineFact("linked") > 0, first);
    EXPECT_NE(rig.value(c).lit, first);
    crossfaderTo(rig, 0.2);
    const double video = rig.engineFact("videoCrossfader");
    if (first) {
        EXPECT_NEAR(video, 0.5, 0.01) << "unlinked, the video crossfader follows";
    } else
        EXPECT_NEAR(video, 0.2, 0.02) << "linked, the video crossfader stays";
    rig.click(c);
    rightClick(rig, rig.find("crossfader", 0));
}

// The clip lamp: lit when the master clips, that is when a frame repeats the previous frame's level at the
// master's running peak. The master's limiter, which no control switches off, holds the master below full scale
// even with both decks at four times their gain, but at its ceiling it can make such frames or not, depending
// on where the samples fall: the lamp is not read there. It is dark at unity and once the gains are back (the
// peak then lies far above anything played); its lighting on a clipped master is left to
// SkinRead.LimiterAndClippingBySpecifier. The lamp shows the last block of 768 frames, which may still be one
// from before a change: each dark lamp is waited for.
void clip(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    playing(rig, 1, true);
    EXPECT_TRUE(rig.until([&] { return !rig.value(c).lit; }, 5)) << "lit at unity";
    Control one = rig.find("effect", 0, "amp_set"), two = rig.find("effect", 1, "amp_set");
    turnKnob(rig, one, 1);
    turnKnob(rig, two, 1);
    const double peak = rig.listen(1.0).masterPeak();
    measured("master peak %.5f", peak);
    EXPECT_LT(peak, 1.0) << "the master reaches full scale";
    rightClick(rig, one);
    rightClick(rig, two);
    EXPECT_TRUE(rig.until([&] { return !rig.value(c).lit; }, 5)) << "lit after the gains are back";
    playing(rig, 0, false);
    playing(rig, 1, false);
}

// The processor load: a share above 0 and below 1 while the decks play.
void cpu(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    EXPECT_TRUE(rig.until([&] { return rig.value(c).number > 0; }, 3));
    EXPECT_LT(rig.value(c).number, 1);
    playing(rig, 0, false);
}

// The waveform zoom: the slider sets the engine's zoom (its square), a right click the default (40).
void zoom(Rig& rig, const Control& c) {
    moveSlider(rig, c, 1);
    EXPECT_NEAR(rig.engineFact("zoom"), 400, 1);
    rightClick(rig, c);
    EXPECT_NEAR(rig.engineFact("zoom"), 40, 0.01);
}

// Texts of the clock and the session time.
void clockText(Rig& rig, const Control& c) {
    const std::string text = rig.value(c).text;
    if (c.value == "currenttime") {
        char now[8];
        const time_t t = time(nullptr);
        strftime(now, sizeof now, "%H:%M", localtime(&t));
        EXPECT_EQ(text, now);
    } else {
        const double first = timeText(text);
        testsupport::sleepMs(2100);
        EXPECT_GE(timeText(rig.value(c).text), first + 1) << "the session time does not run";
    }
}

} // namespace

const Exercise kEqKnob{"drag to the minimum and the maximum, right click",
                       "its band down >= 20 dB (mid >= 12) and the others within 3 dB; up; back to 0", eqBand};
const Exercise kKill{"click twice", "lit; its band down >= 20 dB (mid >= 12), the others within 3 dB; back", eqBand};
const Exercise kFilterKnob{"filter on, drag left and right, right click",
                           "low pass: hats -20 dB, bass kept; high pass: bass -20 dB, hats kept; middle", filterKnob};
const Exercise kFilterOn{"click twice with the knob at low pass", "lit and the hats -20 dB; then back", filterOn};
const Exercise kGain{"drag to a quarter and above the middle, right click", "-6 dB; louder; unity", gain};
const Exercise kGainAndReplayGain{
    "as GAIN; then a quiet track without replay gain, played until the analysis finds it",
    "as GAIN; the found gain lifts it by a fade (no 10 ms step > 1.5 dB), never past full "
    "scale",
    gainAndReplayGain};
const Exercise kVolume{"press at the bottom and the middle, right click", "silent; -6 dB; 0.99", volume};
const Exercise kHeadphones{"click, pull the deck's volume down, click",
                           "outputs 3/4 carry the deck at its level whatever its volume; then nothing", headphones};
const Exercise kSide{"click, crossfader to both ends", "silent at the far end only (none: never)", side};
const Exercise kCrossfader{"press at both ends, right click", "one deck left, the other right, both in the middle",
                           crossfader};
const Exercise kCurve{"click, crossfader at 3/4", "the curve's gain on deck 1 (-6, -12, -8.5, -6 dB)", curve};
const Exercise kMasterVolume{"drag to the minimum and the middle, right click",
                             "master silent, then -6 dB, the headphones untouched; full", masterVolume};
const Exercise kCueMasterBlend{"drag to 0 and 1, right click",
                               "an un-cued deck in the headphones: nothing, full, -6 dB", cueMasterBlend};
const Exercise kPhonesLevel{"drag to the maximum, the middle and the minimum with deck 1 cued",
                            "outputs 3/4: full, -6 dB, 20 dB down or more; the master untouched", phonesLevel};
const Exercise kCuePreEffects{"click with deck 1 cued and filtered",
                              "the headphones hear the deck before its filter, the master after", cuePreEffects};
const Exercise kLink{"click, move the crossfader", "lit while the video crossfader follows", link};
const Exercise kClip{"both decks' gains to the maximum and back",
                     "dark at unity; the limiter keeps the master below full scale (the lamp is not read there: at "
                     "the limiter's ceiling it lights or not by where the samples fall); dark again after (that it "
                     "lights on a clipped master: the unit test SkinRead.LimiterAndClippingBySpecifier)",
                     clip};
const Exercise kCpu{"read while playing", "a load between 0 and 1", cpu};
const Exercise kZoom{"press at the right end, right click", "zoom 400 (20 squared), then 40", zoom};
const Exercise kClockText{"read", "the local time; the session time runs", clockText};

} // namespace e2e
