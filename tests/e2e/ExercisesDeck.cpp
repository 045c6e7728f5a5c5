// The deck's transport, hot cues, pitch and displays.
#include "Exercises.h"
#include "Steps.h"

#include "support/Screenshot.h"

#include <cmath>

namespace e2e {

namespace {

void play(Rig& rig, const Control& c) {
    playing(rig, c.deck, false);
    rig.click(c);
    ASSERT_TRUE(rig.until([&] { return rig.deckFact(c.deck, "playing") > 0; })) << "the deck did not start";
    EXPECT_TRUE(rig.value(c).lit) << "not lit while playing";
    const double heard = bands(rig.listen(), c.deck).tone;
    EXPECT_GT(heard, -20) << "the track is not heard";
    rig.click(c);
    ASSERT_TRUE(rig.until([&] { return rig.deckFact(c.deck, "playing") == 0; })) << "the deck did not stop";
    EXPECT_FALSE(rig.value(c).lit) << "lit while stopped";
    const double stopped = bands(rig.listen(), c.deck).tone;
    EXPECT_LT(stopped, kSilentDb) << "heard while stopped";
    measured("tone %.1f dBFS playing, %.0f dBFS stopped", heard, stopped);
}

void cue(Rig& rig, const Control& c) {
    // Playing: the cue button goes back to the cue point (the track's start) and stops there.
    playing(rig, c.deck, true);
    testsupport::sleepMs(1200);
    rig.click(c);
    ASSERT_TRUE(rig.until([&] { return rig.deckFact(c.deck, "playing") == 0; })) << "the deck plays on after CUE";
    EXPECT_LT(position(rig, c.deck), 50) << "not back at the cue point";
    EXPECT_TRUE(rig.value(c).lit) << "not lit on the cue point";
    // Held on the cue point it plays, and goes back when released.
    rig.press(rig.reach(c));
    EXPECT_GT(bands(rig.listen(0.4), c.deck).tone, -20) << "not heard while CUE is held";
    rig.release();
    EXPECT_TRUE(rig.until([&] { return rig.deckFact(c.deck, "playing") == 0; })) << "plays on after CUE is let go";
    EXPECT_LT(position(rig, c.deck), 50);
    EXPECT_LT(bands(rig.listen(), c.deck).tone, kSilentDb) << "heard after CUE is let go";
    // Stopped away from it: CUE sets the cue point there.
    playing(rig, c.deck, true);
    testsupport::sleepMs(800);
    playing(rig, c.deck, false);
    const double at = position(rig, c.deck);
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "cue"), at, 5) << "CUE on a stopped deck did not set the cue point there";
    EXPECT_TRUE(rig.value(c).lit);
    // Back to the start for the next rows: the cue point at 0 again.
    rig.click(rig.reach(sibling(rig, c, "waveformcomplete"), 0.0f, 0.5f));
    rig.until([&] { return position(rig, c.deck) < 5; }, 3);
    rig.click(c);
}

// Hot cue n (the control's specifier): REC first stores the position and makes it the main cue; a
// press on a stopped deck jumps there and plays; DEL first empties it.
void hotCue(Rig& rig, const Control& c) {
    const int slot = atoi(c.specifier().c_str());
    const std::string key = "cue" + std::to_string(slot);
    playing(rig, c.deck, true);
    testsupport::sleepMs(300 * slot);
    playing(rig, c.deck, false);
    const double at = position(rig, c.deck);
    EXPECT_FALSE(rig.value(c).lit) << "an empty hot cue is lit";
    pressValue(rig, c, "cuerec");
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, key), at, 5) << "REC then the hot cue did not store the position";
    EXPECT_NEAR(rig.deckFact(c.deck, "cue"), at, 5) << "the stored hot cue is not the main cue";
    EXPECT_TRUE(rig.value(c).lit) << "a stored hot cue is not lit";
    // Away from it, stopped: the hot cue jumps back and plays.
    playing(rig, c.deck, true);
    testsupport::sleepMs(700);
    playing(rig, c.deck, false);
    rig.click(c);
    EXPECT_TRUE(rig.until([&] { return rig.deckFact(c.deck, "playing") > 0; })) << "the hot cue did not start the deck";
    const double jumped = position(rig, c.deck);
    EXPECT_TRUE(jumped >= at && jumped < at + 1000) << "the hot cue did not jump to its place: " << jumped;
    playing(rig, c.deck, false);
    pressValue(rig, c, "cuedel");
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, key), 0) << "DEL then the hot cue did not empty it";
    EXPECT_FALSE(rig.value(c).lit);
}

// REC and DEL arm the next hot cue press; each switches the other off.
void cueMode(Rig& rig, const Control& c) {
    const bool record = c.value == "cuerec";
    const std::string mine = record ? "cueRecord" : "cueDelete", other = record ? "cueDelete" : "cueRecord";
    pressValue(rig, c, record ? "cuedel" : "cuerec");
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, mine), 1) << "not armed";
    EXPECT_EQ(rig.deckFact(c.deck, other), 0) << "the other mode stays armed";
    EXPECT_TRUE(rig.value(c).lit);
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, mine), 0) << "a second press does not disarm";
    EXPECT_FALSE(rig.value(c).lit);
}

// The pitch fader: its ends play the track the pitch range faster and slower, and what the deck shows
// (pitch text, tempo) is what it plays; a right click returns it to zero. After a new load of a stopped
// deck, what is shown is still what plays.
void pitchFaderMoves(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    const double range = rig.deckFact(c.deck, "pitchRange");
    Control text = sibling(rig, c, "pitch");
    for (double end : {1.0, 0.0}) {
        moveSlider(rig, c, end);
        const double expected = 1 + (end > 0.5 ? range : -range) / 100;
        EXPECT_NEAR(rig.deckFact(c.deck, "speed"), expected, 0.002) << "fader at " << end;
        const double tone = toneHz(rig.listen(0.6), c.deck);
        measured("%s: tone %.1f Hz (x%.4f)", end > 0.5 ? "top" : "bottom", tone, tone / trackTone(c.deck));
        EXPECT_NEAR(tone / trackTone(c.deck), expected, 0.003) << "fader at " << end;
        if (text.valid()) {
            EXPECT_NEAR(leadingNumber(rig.value(text).text), (expected - 1) * 100, 0.01)
                << "the pitch text " << rig.value(text).text;
        }
    }
    rightClick(rig, c);
    EXPECT_NEAR(rig.deckFact(c.deck, "speed"), 1.0, 0.0005) << "a right click does not reset the pitch";
    // Half way up, then a new load on the stopped deck: shown and played agree.
    moveSlider(rig, c, 0.75);
    playing(rig, c.deck, false);
    ASSERT_TRUE(rig.load(c.deck, Tracks::forDeck(c.deck)));
    playing(rig, c.deck, true);
    const double speed = rig.deckFact(c.deck, "speed");
    EXPECT_NEAR(rig.value("pitch", "", c.deck).number, (speed - 1) * 100, 0.01)
        << "after a load the pitch shown differs";
    EXPECT_NEAR(rig.value(c).number, (speed - 1) * 100, 0.01) << "after a load the fader sits elsewhere";
    const double reloaded = toneHz(rig.listen(0.6), c.deck) / trackTone(c.deck);
    measured("after a load: shown %+.2f %%, played x%.4f", rig.value("pitch", "", c.deck).number, reloaded);
    EXPECT_NEAR(reloaded, speed, 0.003);
    rightClick(rig, c);
    playing(rig, c.deck, false);
}

// With key lock on, the sound and the position a deck reports come from a read head that runs at the
// tone's speed and is spliced back to the play position a few times a second (some 15 ms each time): its
// pace is measured over several splices.
constexpr double kSplicedSeconds = 3, kSplicedPace = 0.006;

// Held at `speed` (the deck and the one it is paced against playing), the deck's position runs at that
// pace with its tone kept, as key lock keeps it; let go, it returns to normal speed.
void expectHeldPace(Rig& rig, const Control& c, double speed) {
    const double held = positionRate(rig, c.deck, kSplicedSeconds);
    EXPECT_NEAR(held, speed, kSplicedPace) << "the position's pace while held";
    const double tone = toneHz(rig.listen(0.6), c.deck) / trackTone(c.deck);
    EXPECT_NEAR(tone, 1.0, 0.003) << "the tone while held";
    rig.release();
    EXPECT_TRUE(rig.until([&] { return std::fabs(rig.deckFact(c.deck, "speed") - 1) < 0.0005; }))
        << "the speed does not return";
    const double after = positionRate(rig, c.deck);
    EXPECT_NEAR(after, 1.0, 0.003) << "the position's pace after";
    measured("held: speed %.4f, pace %.4f, tone x%.4f; after: pace %.4f", speed, held, tone, after);
    playing(rig, pacer(c.deck), false);
    playing(rig, c.deck, false);
}

// Bend: while held the deck runs 1.5 % ahead (behind).
void bend(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    playing(rig, pacer(c.deck), true);
    const double expected = c.value == "pitchbend_up" ? 1.015 : 0.985;
    rig.press(rig.reach(c));
    EXPECT_NEAR(rig.deckFact(c.deck, "speed"), expected, 0.001) << "while held";
    expectHeldPace(rig, c, expected);
}

// The platter: dragged up and held it runs the deck ahead.
void platter(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    playing(rig, pacer(c.deck), true);
    const Point centre = rig.reach(c);
    rig.press(centre);
    for (int step = 1; step <= 4; ++step) {
        rig.move(Point{centre.x, centre.y - 5 * step});
        rig.frames(1);
    }
    const double speed = rig.deckFact(c.deck, "speed");
    EXPECT_GT(speed, 1.005) << "a drag up does not speed the deck up";
    expectHeldPace(rig, c, speed);
}

void pitchRange(Rig& rig, const Control& c) {
    const double first = rig.deckFact(c.deck, "pitchRange");
    EXPECT_EQ(first, 8);
    Control fader = pitchFader(rig, c);
    for (double next : {16, 25, 50, 100, 8}) {
        rig.click(c);
        EXPECT_EQ(rig.deckFact(c.deck, "pitchRange"), next);
        if (fader.valid()) {
            EXPECT_EQ(rig.value(fader).max, next) << "the fader's range does not follow";
        }
    }
}

void pitchReset(Rig& rig, const Control& c) {
    Control fader = pitchFader(rig, c);
    ASSERT_TRUE(fader.valid());
    EXPECT_TRUE(rig.value(c).lit) << "not lit at zero";
    moveSlider(rig, fader, 0.9);
    EXPECT_FALSE(rig.value(c).lit) << "lit away from zero";
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "speed"), 1.0, 0.0005);
    EXPECT_NEAR(rig.value(fader).relative, 0.5, 0.01) << "the fader does not return to zero";
    EXPECT_TRUE(rig.value(c).lit);
}

// Key lock: with the fader at +8 % the tempo follows (the position runs 8 % faster) and the tone stays.
void keyLock(Rig& rig, const Control& c) {
    Control fader = pitchFader(rig, c);
    ASSERT_TRUE(fader.valid());
    playing(rig, c.deck, true);
    playing(rig, pacer(c.deck), true);
    rig.click(c);
    EXPECT_TRUE(rig.value(c).lit);
    moveSlider(rig, fader, 1.0);
    const double speed = rig.deckFact(c.deck, "speed");
    EXPECT_NEAR(speed, 1.08, 0.002) << "the fader does not set the tempo under key lock";
    const double locked = toneHz(rig.listen(1.0, 0.2), c.deck) / trackTone(c.deck);
    EXPECT_NEAR(locked, 1.0, 0.006) << "the key moves under key lock";
    const double pace = positionRate(rig, c.deck, kSplicedSeconds);
    EXPECT_NEAR(pace, 1.08, kSplicedPace) << "the track does not run faster under key lock";
    rig.click(c);
    EXPECT_FALSE(rig.value(c).lit);
    const double unlocked = toneHz(rig.listen(0.5), c.deck) / trackTone(c.deck);
    EXPECT_NEAR(unlocked, 1.08, 0.003) << "key lock off";
    measured("+8 %%, on: tone x%.4f, pace %.4f; off: tone x%.4f", locked, pace, unlocked);
    rightClick(rig, fader);
    playing(rig, pacer(c.deck), false);
    playing(rig, c.deck, false);
}

// Sync: the deck takes the other deck's tempo (120 against 125 BPM) and lights.
void sync(Rig& rig, const Control& c) {
    const int other = c.deck == 1 ? 0 : 1;
    playing(rig, c.deck, true);
    EXPECT_FALSE(rig.value(c).lit) << "lit while the tempos differ";
    rig.click(c);
    const double target = rig.deckFact(other, "bpm"), own = rig.deckFact(c.deck, "bpm");
    EXPECT_NEAR(own, target, 0.1) << "the tempo does not match";
    const double expected = (c.deck == 1 ? Tracks::kBpm1 / Tracks::kBpm2 : Tracks::kBpm2 / Tracks::kBpm1);
    const double tone = toneHz(rig.listen(0.6), c.deck) / trackTone(c.deck);
    measured("tempo %.2f BPM (the other deck %.2f); tone x%.4f (x%.4f expected)", own, target, tone, expected);
    EXPECT_NEAR(tone, expected, 0.004);
    EXPECT_TRUE(rig.value(c).lit);
    pressValue(rig, c, "pitchreset");
    playing(rig, c.deck, false);
}

// The whole-track view: after a load, stopped, it shows the whole track (its last tenth drawn); a
// click jumps there by whole two-beat steps from the position, falling short by less than two beats.
void overview(Rig& rig, const Control& c) {
    playing(rig, c.deck, false);
    ASSERT_TRUE(rig.load(c.deck, Tracks::forDeck(c.deck)));
    // The loading thread fills the view as it reads the file; a loaded machine gives it little time.
    size_t drawn = 0, size = 0;
    rig.until(
        [&] {
            testsupport::Screenshot shot;
            if (!shot.read(rig.window(), rig.session().root.path + "overview.ppm")) return false;
            const Point from = rig.reach(c, 0.9f, 0), to = rig.reach(c, 0.98f, 1);
            const std::vector<unsigned char> tail = shot.area(from.x, from.y, to.x, to.y);
            drawn = 0;
            size = tail.size() / 3;
            for (size_t i = 0; i + 2 < tail.size(); i += 3)
                if (tail[i] > 60 || tail[i + 1] > 60 || tail[i + 2] > 60) ++drawn;
            return drawn > size / 10;
        },
        90);
    EXPECT_GT(drawn, size / 10) << "the last tenth of the track is not drawn 90 s after the load";
    const double length = rig.deckFact(c.deck, "length"), beat = 60000 / rig.deckFact(c.deck, "bpm");
    for (float at : {0.5f, 0.01f}) {
        const double before = position(rig, c.deck), target = at * length;
        rig.click(rig.reach(c, at, 0.5f));
        const double now = position(rig, c.deck);
        EXPECT_NEAR(now, target, 2 * beat + 300) << "a click at " << at << " of the track";
        EXPECT_LE(std::fabs(now - before), std::fabs(target - before) + 300) << "overshot the click at " << at;
    }
}

// Texts of the loaded track: title and artist from its tags, times from the position, the tempo.
void trackText(Rig& rig, const Control& c) {
    const std::string text = rig.value(c).text;
    const auto d = rig.deck(c.deck);
    const double pos = number(d.at("position")) / 1000, length = number(d.at("length")) / 1000;
    if (c.value == "trackinfotitle") {
        EXPECT_EQ(text, c.deck == 0 ? "Deck One" : "Deck Two");
    } else if (c.value == "trackinfoartist")
        EXPECT_EQ(text, "Test Artist");
    else if (c.value == "timeelapsed")
        EXPECT_NEAR(timeText(text), pos, 0.15) << text;
    else if (c.value == "timeremaining")
        EXPECT_NEAR(timeText(text), -(length - pos), 0.15) << text;
    else if (c.value == "bpmdetection")
        // The detector's own reading, once it has heard enough of the track.
        EXPECT_TRUE(rig.until(
            [&] {
                return std::fabs(leadingNumber(rig.value(c).text) - (c.deck == 0 ? Tracks::kBpm1 : Tracks::kBpm2)) <
                       0.3;
            },
            60))
            << rig.value(c).text;
    else if (c.value == "pitch")
        EXPECT_EQ(text, "0.00%");
    else if (c.value == "pitchrange")
        EXPECT_EQ(text, "8%");
    else if (c.value == "looplength_movebeats")
        EXPECT_EQ(text, "4.0");
    else if (c.value == "currentdeck")
        EXPECT_EQ(text, std::to_string(c.layer + 1));
    else
        ADD_FAILURE() << "no text expected for " << c.value;
    // The seconds of a time never read 60.
    if (c.value == "timeelapsed" || c.value == "timeremaining") {
        const size_t colon = text.rfind(':');
        EXPECT_LT(strtod(text.c_str() + colon + 1, nullptr), 60) << text;
    }
}

// A meter: up while the deck plays, down when it stops.
void meter(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    EXPECT_TRUE(rig.until([&] { return rig.value(c).number > 0.1; }, 3)) << "the meter stays down while playing";
    playing(rig, c.deck, false);
    EXPECT_TRUE(rig.until([&] { return rig.value(c).number < 0.02; }, 3)) << "the meter stays up when stopped";
}

} // namespace

const Exercise kPlay{"click twice", "plays (lit, the track's tone on the master), then stops (silent)", play};
const Exercise kCue{"click while playing, hold on the cue point, click stopped elsewhere",
                    "back to the cue point and stopped; plays while held; sets the cue point", cue};
const Exercise kHotCue{"REC then click; click when stopped elsewhere; DEL then click",
                       "stores the position (lit, main cue); jumps back and plays; empties", hotCue};
const Exercise kCueMode{"click the other mode, then this one twice", "armed alone (lit), then disarmed", cueMode};
const Exercise kPitchFader{"press at both ends, right click, load anew at +4 %",
                           "speed and tone +/- the range, pitch text alike; zero; after the load shown = played",
                           pitchFaderMoves};
const Exercise kBend{"hold", "position runs 1.5 % ahead (behind), tone kept (key lock) while held; back after", bend};
const Exercise kPlatter{"drag up and hold", "position runs ahead, tone kept while held; back when let go", platter};
const Exercise kPitchRange{"click five times", "range 8, 16, 25, 50, 100, 8 %, the fader's range alike", pitchRange};
const Exercise kPitchReset{"move the fader, click", "speed 1, fader at zero, lit at zero only", pitchReset};
const Exercise kKeyLock{"click, fader to +8 %, click", "tempo +8 % with the tone kept; off: tone +8 %", keyLock};
const Exercise kSync{"click with the other deck at another tempo", "tempo and tone match the other deck, lit", sync};
const Exercise kOverview{"click at the middle and the start", "jumps there by two-beat steps", overview};
const Exercise kTrackText{"read", "shows the track's title, artist, times, tempo, pitch as the deck holds them",
                          trackText};
const Exercise kMeter{"play and stop the deck", "up while playing, down when stopped", meter};

} // namespace e2e
