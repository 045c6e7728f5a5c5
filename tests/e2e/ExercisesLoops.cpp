// Loops: beat loops, loop in and out, moves, halving and doubling, stored loops. Every loop is heard:
// the tracks carry noise that never repeats (Tracks::kMarkerLow to kMarkerHigh; the rest of a track
// repeats every beat), so while a loop plays the master sounds in that band as it did one loop length
// earlier, and unlike half a loop length earlier.
#include "Exercises.h"
#include "Steps.h"

#include "dsp/fftsg.h"

#include <algorithm>
#include <cmath>

namespace e2e {

namespace {

constexpr double kFramesPerMs = 44.1;
constexpr int kWindow = 16384; // frames compared (0.37 s)
// How far the earlier sound may lie from its place: a few of the blocks (256 frames) a loaded machine's
// JACK server runs without the program, and a share of the time between for the long loops.
constexpr int kSlack = 1024;
constexpr double kDrift = 0.004;
constexpr double kSettleMs = 100; // from a press returning to its sound at the outputs
// An xrun is told after its cycle, by a server thread of its own that a loaded machine may hold a while: the
// xruns of a stretch are counted once the recorder has run this far past its end.
constexpr int kToldLate = 8192;

double beatMs(Rig& rig, int deck) {
    return 60000 / rig.deckFact(deck, "bpm");
}

constexpr int kPad = 2048; // the band's edges ring over the padding

// Tap frame `ms` from now.
int64_t inMs(Rig& rig, double ms) {
    return rig.tap().now() + std::llround(ms * kFramesPerMs);
}

// How far the earlier sound is looked for around its place, allowing for `lost` cycles the server reported as
// xruns (each may put the program's sound a period later against the recorder's clock): at most 64, and at most
// a quarter of the lag, so that a lag and its double never meet.
int slackFor(Rig& rig, double lagMs, int lost) {
    const int extra = std::min(lost, 64) * rig.tap().period();
    return kSlack + int(lagMs * kFramesPerMs * kDrift) + std::min(extra, int(lagMs * kFramesPerMs / 4));
}

// The first tap frame alike() reads.
int64_t firstFrame(Rig& rig, int64_t from, double lagMs, int lost = 0) {
    return from - std::llround(lagMs * kFramesPerMs) - slackFor(rig, lagMs, lost) - kPad;
}

// How alike the master sounds in the marker band over the `window` frames from tap frame `from` and `lagMs`
// earlier: 1 the same sound at the same level, near 0 another part of the track or silence, -1 when the
// recorder could not take the stretch. The window is compared in `pieces` pieces, each at its best place within
// the slack, and the lower middle of their figures counts, so that a block the program missed inside the window
// does not count either. Where the sound must be found alike (`lostCount`), the slack allows for the xruns told
// over the stretch; where it must not be, a wider search would only find more by chance.
// The figures of the pieces go to `each` where asked for.
double alike(Rig& rig, int64_t from, double lagMs, int pieces = 1, int window = kWindow, bool lostCount = false,
             std::vector<double>* each = nullptr) {
    const int piece = window / pieces;
    int lost = 0, slack = 0;
    int64_t first = 0;
    std::vector<std::vector<float>> ch;
    for (;;) {
        slack = slackFor(rig, lagMs, lost);
        first = firstFrame(rig, from, lagMs, lost);
        const int64_t end = from + window + kPad;
        ch = rig.tap().take(first, int(end - first));
        if (ch[0].empty()) return -1;
        // Taken again from further back while the stretch saw more xruns than its slack allows for.
        if (!lostCount) break;
        rig.tap().reach(end + kToldLate);
        const int told = rig.tap().xrunsSince(first, end + kToldLate);
        if (told <= lost || slackFor(rig, lagMs, told) == slack) break;
        lost = told;
    }
    // The band alone: the rest of the spectrum cleared.
    int n = 2;
    while (n < int(ch[0].size()))
        n *= 2;
    std::vector<double> x(size_t(n), 0.0), table(size_t(n / 2));
    for (size_t i = 0; i < ch[0].size(); ++i)
        x[i] = double(ch[0][i]) + ch[1][i];
    int ip[2] = {0, 0};
    rdft(n, 1, x.data(), ip, table.data());
    for (int k = 0; k < n / 2; ++k)
        if (k * 1000 * kFramesPerMs / n < Tracks::kMarkerLow || k * 1000 * kFramesPerMs / n > Tracks::kMarkerHigh)
            x[size_t(2 * k)] = x[size_t(2 * k + 1)] = 0;
    rdft(n, -1, x.data(), ip, table.data());
    const double *now = &x[size_t(from - first)], *before = &x[kPad];
    std::vector<double> figures;
    for (int start = 0; start + piece <= window; start += piece) {
        double energy = 0, sliding = 0, best = 0;
        for (int i = start; i < start + piece; ++i)
            energy += now[i] * now[i], sliding += before[i] * before[i];
        for (int at = start; at <= start + 2 * slack; ++at) {
            double product = 0;
            for (int i = 0; i < piece; ++i)
                product += now[start + i] * before[at + i];
            best = std::max(best, 2 * product / (energy + sliding + 1e-20));
            sliding += before[at + piece] * before[at + piece] - before[at] * before[at];
        }
        figures.push_back(best);
    }
    if (each) *each = figures;
    std::sort(figures.begin(), figures.end());
    return figures[(figures.size() - 1) / 2];
}

// Whether xruns spoilt the comparison of a loop of `lagMs` heard from tap frame `from` with the sound a loop
// before: told over either stretch, or told between them more often than the slack allows for (each moves the
// sound by a period; an xrun storm moved a 16 s loop out of reach). Read once they had time to be told (a server
// that ran no cycle meanwhile tells none); `told` is set to those from the first stretch to the second's end,
// the count a judged capture shows.
bool xrunsSpoilt(Rig& rig, int64_t from, double lagMs, int* told) {
    const int64_t lag = std::llround(lagMs * kFramesPerMs), reach = slackFor(rig, lagMs, 64) + kPad;
    const int64_t end = from + 2 * kWindow + kPad + kToldLate;
    if (!rig.tap().reach(end)) return true;
    *told = rig.tap().xrunsSince(from - lag - reach, end);
    if (rig.tap().xrunsSince(from - lag - reach, end - lag + reach) + rig.tap().xrunsSince(from - kPad, end) > 0)
        return true;
    return *told > 0 && slackFor(rig, lagMs, *told) == slackFor(rig, lagMs, *told - 1);
}

// The running loop heard from tap frame `from` on (a loop made of what just played counts the play
// before it as its first turn): the deck plays on, its sound repeats at the loop's length and not at half
// of it, which a loop twice as long, a stopped deck or one that plays past the loop would not do.
// It is judged over twice the window in eight pieces: a block the server ran without the program spoils the
// piece it falls in and the one a loop later (two of four pieces of one window, for a quarter-beat loop or two
// blocks lost), and a loaded machine loses several. A capture whose stretches saw the server report an xrun is
// taken again further on (a few times), the loop still running.
void expectLoopHeard(Rig& rig, int deck, int64_t from, const char* what) {
    const auto d = rig.deck(deck);
    ASSERT_EQ(d.at("looping"), "1") << what << ": no loop runs";
    const double length = number(d.at("loopLength"));
    // Not before the loop ran: a press the program took late must not put the loop's start in the window.
    from = std::max(from, inMs(rig, kSettleMs));
    double whole = 0, half = 0;
    bool spoilt = false;
    int told = 0;
    std::vector<double> pieces;
    for (int tries = 0;; ++tries) {
        whole = alike(rig, from, length, 8, 2 * kWindow, true, &pieces);
        half = alike(rig, from, length / 2);
        spoilt = whole >= 0 && xrunsSpoilt(rig, from, length, &told);
        if (!spoilt || tries == Rig::kRetakes) break;
        rig.retaken();
        from = inMs(rig, 0);
    }
    if (spoilt) rig.spoilt();
    measured("loop %.1f ms heard: %.2f alike a loop before, %.2f half a loop before", length, whole, half);
    std::string each;
    for (const double p : pieces)
        each += " " + std::to_string(p).substr(0, 4);
    EXPECT_GT(whole, 0.8) << what << ": the sound does not come round at the loop's length (" << length << " ms)"
                          << (whole < 0 ? ": the recorder took nothing, the JACK server ran no cycle" : "")
                          << "; the pieces in time order:" << each
                          << "; xruns told from a loop before to the end of the capture: " << told;
    EXPECT_LT(half, 0.6) << what << ": the sound comes round at half the loop's length";
}

void stopLoop(Rig& rig, int deck) {
    // The loop button without a length stops any loop.
    if (rig.deckFact(deck, "looping") > 0) rig.click(rig.find("loop", deck, std::string()));
}

// Presses a button that loops what just played once the deck has played that long from where it stands:
// the play before the press is the loop's first turn.
void loopWhatPlayed(Rig& rig, const Control& button, double lengthMs) {
    playing(rig, button.deck, true);
    testsupport::sleepMs(int(lengthMs + 250));
    rig.click(button);
}

// A beat loop button, or the loop button without a length (the deck's loop length, 4 beats at first):
// loops that many beats of what just played, lit, heard, its length shown; pressed again it stops.
void loopButton(Rig& rig, const Control& c) {
    const double beats = c.specifier().empty() ? rig.deckFact(c.deck, "loopBeats") : atof(c.specifier().c_str());
    EXPECT_FALSE(rig.value(c).lit) << "lit before its loop";
    loopWhatPlayed(rig, c, beats * beatMs(rig, c.deck));
    expectLoopHeard(rig, c.deck, inMs(rig, kSettleMs), "the loop button");
    EXPECT_NEAR(rig.deckFact(c.deck, "loopBeats"), beats, 0.01) << "the loop's length in beats";
    EXPECT_NEAR(rig.deckFact(c.deck, "loopLength"), beats * beatMs(rig, c.deck), 3) << "the loop's length in ms";
    EXPECT_TRUE(rig.value(c).lit) << "not lit while its loop plays";
    char text[32];
    snprintf(text, sizeof text, beats < 1 ? "%g" : "%.1f", beats); // a quarter reads 0.25
    EXPECT_EQ(rig.value("looplength_movebeats", "", c.deck).text, text) << "the loop length text";
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, "looping"), 0) << "a second press does not stop the loop";
    EXPECT_FALSE(rig.value(c).lit);
    playing(rig, c.deck, false);
}

// Loop in marks the start (lit), loop out closes the loop there and it is heard.
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
    const int64_t read = rig.tap().now();
    const double before = position(rig, c.deck);
    rig.click(out);
    const auto d = rig.deck(c.deck);
    // The press lands between the two reads: on a loaded machine the click took over a second of sound to come.
    const double played = double(rig.tap().now() - read) / kFramesPerMs;
    EXPECT_NEAR(number(d.at("loopStart")), mark, 5)
        << "the loop does not start at the mark; pressed after " << before << ", looping " << d.at("looping");
    // The position read after the press may already have gone round the loop.
    const double end = number(d.at("loopStart")) + number(d.at("loopLength"));
    EXPECT_TRUE(end >= before - 5 && end <= before + played + 100)
        << "the loop does not end at the press: " << end << ", pressed after " << before << " and within " << played
        << " ms of sound";
    expectLoopHeard(rig, c.deck, rig.tap().now(), "loop in and out");
    stopLoop(rig, c.deck);
    playing(rig, c.deck, false);
}

// A one-beat loop moved back or on by a beat: it plays on, heard at its new place (unlike the loop before).
void loopMove(Rig& rig, const Control& c) {
    const double beats = atof(c.specifier().c_str());
    loopWhatPlayed(rig, sibling(rig, c, "loop", "1"), beatMs(rig, c.deck));
    const double before = rig.deckFact(c.deck, "loopStart"), length = rig.deckFact(c.deck, "loopLength");
    // A turn and a window of the loop before the move to hear it against.
    testsupport::sleepMs(int(length + (kWindow + 4 * kSlack) / kFramesPerMs + 2 * kSettleMs));
    const int64_t moved = rig.tap().now();
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopStart") - before, beats * beatMs(rig, c.deck), 3);
    // A turn of the moved loop after it came round (a loop moved on is reached by playing on).
    const int64_t heard = inMs(rig, 2 * length + kSettleMs);
    expectLoopHeard(rig, c.deck, heard, "the moved loop");
    // Against the same moment of a turn before the move.
    const double turns = std::ceil(double(heard - moved + kWindow + 2 * kSlack) / (length * kFramesPerMs));
    const double same = alike(rig, heard, turns * length);
    measured("%.2f alike the loop before the move", same);
    EXPECT_LT(same, 0.6) << "the moved loop sounds as the loop before it";
    stopLoop(rig, c.deck);
    playing(rig, c.deck, false);
}

// Halving or doubling a two-beat loop: one or four beats (ms and text alike), heard once it came round.
void loopMultiply(Rig& rig, const Control& c) {
    const double factor = atof(c.specifier().c_str());
    loopWhatPlayed(rig, sibling(rig, c, "loop", "2"), 2 * beatMs(rig, c.deck));
    rig.click(c);
    const int64_t heard = inMs(rig, rig.deckFact(c.deck, "loopLength") + kSettleMs);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopBeats"), 2 * factor, 0.01);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopLength"), 2 * factor * beatMs(rig, c.deck), 3);
    EXPECT_EQ(rig.value("looplength_movebeats", "", c.deck).text, factor > 1 ? "4.0" : "1.0");
    expectLoopHeard(rig, c.deck, heard, factor > 1 ? "the doubled loop" : "the halved loop");
    stopLoop(rig, c.deck);
    playing(rig, c.deck, false);
}

// A stored loop: REC then the button stores the running loop (lit); later the button brings it back,
// heard; DEL then the button empties it.
void storedLoop(Rig& rig, const Control& c) {
    const int slot = atoi(c.specifier().c_str());
    const std::string in = "loopIn" + std::to_string(slot);
    loopWhatPlayed(rig, sibling(rig, c, "loop", "1"), beatMs(rig, c.deck));
    const double start = rig.deckFact(c.deck, "loopStart");
    EXPECT_FALSE(rig.value(c).lit) << "an empty slot is lit";
    pressValue(rig, c, "cuerec");
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, in), start, 2) << "REC then the slot did not store the loop";
    EXPECT_TRUE(rig.value(c).lit);
    stopLoop(rig, c.deck);
    testsupport::sleepMs(800);
    rig.click(c);
    EXPECT_NEAR(rig.deckFact(c.deck, "loopStart"), start, 2);
    // It plays from its start: heard once it came round.
    expectLoopHeard(rig, c.deck, inMs(rig, rig.deckFact(c.deck, "loopLength") + kSettleMs), "the stored loop");
    stopLoop(rig, c.deck);
    pressValue(rig, c, "cuedel");
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, in), 0) << "DEL then the slot did not empty it";
    EXPECT_FALSE(rig.value(c).lit);
    playing(rig, c.deck, false);
}

} // namespace

const Exercise kBeatLoop{"click after playing that long, click again",
                         "a loop of that many beats (ms from the tempo), lit, heard coming round; stops", loopButton};
const Exercise kLoopToggle{"click after playing the deck's loop length, click again",
                           "a loop of that length (4 beats) is heard (lit, the text), then stops", loopButton};
const Exercise kLoopInOut{"IN, 0.6 s later OUT", "IN lit; a 0.6 s loop from the mark is heard", loopInOut};
const Exercise kLoopMove{"click with a one-beat loop",
                         "the loop moves one beat back or on and is heard there, unlike before", loopMove};
const Exercise kLoopMultiply{"click with a two-beat loop", "one or four beats (ms and text alike), heard",
                             loopMultiply};
const Exercise kStoredLoop{"REC then click, click later, DEL then click",
                           "stores the loop (lit); brings it back, heard; empties", storedLoop};

} // namespace e2e
