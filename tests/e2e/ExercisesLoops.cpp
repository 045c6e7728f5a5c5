// Loops: beat loops, loop in and out, moves, halving and doubling, stored loops.
#include "Exercises.h"
#include "Steps.h"

#include <algorithm>
#include <cmath>

namespace e2e {

namespace {

double beatMs(Rig& rig, int deck) {
    return 60000 / rig.deckFact(deck, "bpm");
}

// The position stays inside the running loop for a while (at least two turns of a short loop).
void expectLooping(Rig& rig, int deck, const char* what) {
    const auto d = rig.deck(deck);
    ASSERT_EQ(d.at("looping"), "1") << what << ": no loop runs";
    const double start = number(d.at("loopStart")), length = number(d.at("loopLength"));
    const double watch = std::min(2.5 * length, 1500.0);
    double lowest = 1e12, highest = -1;
    for (double waited = 0; waited < watch; waited += 60) {
        const double p = position(rig, deck);
        lowest = std::min(lowest, p);
        highest = std::max(highest, p);
        testsupport::sleepMs(60);
    }
    measured("loop %.0f-%.0f ms; the position stayed in %.0f-%.0f ms", start, start + length, lowest, highest);
    EXPECT_GE(lowest, start - 30) << what << ": the position left the loop backwards";
    EXPECT_LE(highest, start + length + 60) << what << ": the position ran out of the loop";
}

void stopLoop(Rig& rig, int deck) {
    // The loop button without a length stops any loop.
    if (rig.deckFact(deck, "looping") > 0) rig.click(rig.find("loop", deck, std::string()));
}

// A beat loop button: loops that many beats of what just played, lit; pressed again it stops.
void beatLoop(Rig& rig, const Control& c) {
    const double beats = atof(c.specifier().c_str());
    playing(rig, c.deck, true);
    testsupport::sleepMs(300);
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopBeats"), beats, 0.01) << "the loop's length in beats";
    EXPECT_NEAR(rig.deckFact(c.deck, "loopLength"), beats * beatMs(rig, c.deck), 3) << "the loop's length in ms";
    EXPECT_TRUE(rig.value(c).lit) << "not lit while its loop plays";
    if (beats > 2)
        measured("loop %.1f ms (%.0f beats of %.1f ms)", rig.deckFact(c.deck, "loopLength"), beats,
                 beatMs(rig, c.deck));
    if (beats <= 2) expectLooping(rig, c.deck, "the beat loop");
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, "looping"), 0) << "a second press does not stop the loop";
    EXPECT_FALSE(rig.value(c).lit);
    playing(rig, c.deck, false);
}

// The loop button without a length: starts a loop of the deck's loop length (4 beats by default),
// lit; again: stops.
void loopToggle(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    testsupport::sleepMs(300);
    EXPECT_FALSE(rig.value(c).lit);
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, "looping"), 1);
    EXPECT_TRUE(rig.value(c).lit);
    char beats[32];
    snprintf(beats, sizeof beats, "%.1f", rig.deckFact(c.deck, "loopBeats"));
    EXPECT_EQ(rig.value("looplength_movebeats", "", c.deck).text, beats) << "the loop length text";
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, "looping"), 0);
    EXPECT_FALSE(rig.value(c).lit);
    playing(rig, c.deck, false);
}

// Loop in marks the start (lit), loop out closes the loop there and it plays.
void loopInOut(Rig& rig, const Control& c) {
    playing(rig, c.deck, true);
    Control in = c.value == "loop_setin" ? c : sibling(rig, c, "loop_setin");
    Control out = c.value == "loop_setout" ? c : sibling(rig, c, "loop_setout");
    ASSERT_TRUE(in.valid() && out.valid());
    if (rig.deckFact(c.deck, "loopInMark") >= 0) rig.click(in); // a mark left: a press takes it away
    rig.click(in);
    const double mark = rig.deckFact(c.deck, "loopInMark");
    EXPECT_GE(mark, 0) << "no loop-in mark";
    EXPECT_TRUE(rig.value(in).lit) << "loop in is not lit while marked";
    testsupport::sleepMs(600);
    const double before = position(rig, c.deck);
    rig.click(out);
    const double after = position(rig, c.deck);
    const auto d = rig.deck(c.deck);
    EXPECT_NEAR(number(d.at("loopStart")), mark, 5)
        << "the loop does not start at the mark; pressed after " << before << ", looping " << d.at("looping");
    // The position read after the press may already have gone round the loop.
    const double end = number(d.at("loopStart")) + number(d.at("loopLength"));
    EXPECT_TRUE(end >= before - 5 && end <= before + 600)
        << "the loop does not end at the press: " << end << ", pressed after " << before << " (then " << after << ")";
    expectLooping(rig, c.deck, "loop in and out");
    stopLoop(rig, c.deck);
    playing(rig, c.deck, false);
}

// A one-beat loop moved back or on by a beat.
void loopMove(Rig& rig, const Control& c) {
    const double beats = atof(c.specifier().c_str());
    playing(rig, c.deck, true);
    testsupport::sleepMs(1500);
    pressValue(rig, c, "loop", "1");
    const double before = rig.deckFact(c.deck, "loopStart");
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopStart") - before, beats * beatMs(rig, c.deck), 3);
    EXPECT_EQ(rig.deckFact(c.deck, "looping"), 1) << "the moved loop does not play";
    stopLoop(rig, c.deck);
    playing(rig, c.deck, false);
}

// Halving or doubling a two-beat loop.
void loopMultiply(Rig& rig, const Control& c) {
    const double factor = atof(c.specifier().c_str());
    playing(rig, c.deck, true);
    testsupport::sleepMs(1200);
    pressValue(rig, c, "loop", "2");
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopBeats"), 2 * factor, 0.01);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopLength"), 2 * factor * beatMs(rig, c.deck), 3);
    EXPECT_EQ(rig.value("looplength_movebeats", "", c.deck).text, factor > 1 ? "4.0" : "1.0");
    stopLoop(rig, c.deck);
    playing(rig, c.deck, false);
}

// A stored loop: REC then the button stores the running loop (lit); later the button brings it back
// and plays it; DEL then the button empties it.
void storedLoop(Rig& rig, const Control& c) {
    const int slot = atoi(c.specifier().c_str());
    const std::string in = "loopIn" + std::to_string(slot);
    playing(rig, c.deck, true);
    testsupport::sleepMs(1200);
    pressValue(rig, c, "loop", "1");
    const double start = rig.deckFact(c.deck, "loopStart");
    EXPECT_FALSE(rig.value(c).lit) << "an empty slot is lit";
    pressValue(rig, c, "cuerec");
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, in), start, 2) << "REC then the slot did not store the loop";
    EXPECT_TRUE(rig.value(c).lit);
    stopLoop(rig, c.deck);
    testsupport::sleepMs(800);
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, "looping"), 1) << "the stored loop does not play";
    EXPECT_NEAR(rig.deckFact(c.deck, "loopStart"), start, 2);
    expectLooping(rig, c.deck, "the stored loop");
    stopLoop(rig, c.deck);
    pressValue(rig, c, "cuedel");
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, in), 0) << "DEL then the slot did not empty it";
    EXPECT_FALSE(rig.value(c).lit);
    playing(rig, c.deck, false);
}

} // namespace

const Exercise kBeatLoop{"click while playing, click again",
                         "a loop of that many beats (ms from the tempo), lit, the position stays in it; stops",
                         beatLoop};
const Exercise kLoopToggle{"click twice while playing",
                           "a loop of the deck's loop length plays (lit, the text), then stops", loopToggle};
const Exercise kLoopInOut{"IN, 0.6 s later OUT", "IN lit; a 0.6 s loop from the mark plays", loopInOut};
const Exercise kLoopMove{"click with a one-beat loop", "the loop moves one beat back or on and plays", loopMove};
const Exercise kLoopMultiply{"click with a two-beat loop", "one or four beats (ms and text alike)", loopMultiply};
const Exercise kStoredLoop{"REC then click, click later, DEL then click",
                           "stores the loop (lit); brings it back playing; empties", storedLoop};

} // namespace e2e
