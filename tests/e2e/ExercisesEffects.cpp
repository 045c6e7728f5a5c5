// The deck's effects: echo, flanger, crusher, gapper.
#include "Exercises.h"
#include "Steps.h"

#include <algorithm>
#include <cmath>

namespace e2e {

namespace {

using testsupport::Spectrum;

constexpr int kStep = 256; // frames from one slice of a level curve to the next

// The deck's tone level (dB) over 23 ms slices of the master, one every kStep frames.
std::vector<double> toneLevels(const Heard& heard, int deck) {
    const std::vector<float> m = heard.mid(0);
    std::vector<double> levels;
    for (size_t first = 0; first + 1024 <= m.size(); first += kStep) {
        const Spectrum s(std::vector<float>(m.begin() + long(first), m.begin() + long(first) + 1024), 44100, 1024);
        levels.push_back(s.bandDb(trackTone(deck) * 0.9, trackTone(deck) * 1.1));
    }
    return levels;
}

// The deck's tone level's range (highest - lowest, dB).
double toneSwing(const Heard& heard, int deck) {
    const std::vector<double> levels = toneLevels(heard, deck);
    return levels.empty()
               ? 0
               : *std::max_element(levels.begin(), levels.end()) - *std::min_element(levels.begin(), levels.end());
}

// The mean time from one fall of the deck's tone by more than 3 dB to the next (s), each fall taken where the level
// falls fastest: 0 when fewer than two falls were heard.
double fallSpacing(const Heard& heard, int deck) {
    const std::vector<double> levels = toneLevels(heard, deck);
    const size_t span = 1024 / kStep; // a slice's frames: a step in the sound is a fall over this many levels
    std::vector<size_t> falls;
    for (size_t i = 0; i + span < levels.size();) {
        if (levels[i + span] - levels[i] > -3) {
            ++i;
            continue;
        }
        size_t steepest = i;
        for (; i + span < levels.size() && levels[i + span] - levels[i] <= -3; ++i)
            if (levels[i + span] - levels[i] < levels[steepest + span] - levels[steepest]) steepest = i;
        falls.push_back(steepest);
    }
    return falls.size() < 2 ? 0 : double(falls.back() - falls.front()) / double(falls.size() - 1) * kStep / 44100;
}

// After how long the deck's tone level repeats itself (s): the first peak of its autocorrelation between
// `shortest` and `longest` seconds that is nearly as high as the highest there (two turns match as well as
// one).
double repeatSeconds(const Heard& heard, int deck, double shortest, double longest) {
    std::vector<double> a;
    for (double db : toneLevels(heard, deck))
        a.push_back(std::pow(10, db / 20));
    double mean = 0;
    for (double v : a)
        mean += v / double(a.size());
    for (double& v : a)
        v -= mean;
    const double step = double(kStep) / 44100;
    const long lo = std::max(1L, std::lround(shortest / step)),
               hi = std::min(std::lround(longest / step), long(a.size()) - 2);
    if (hi <= lo) return 0;
    std::vector<double> r(size_t(hi) + 2);
    for (long k = lo - 1; k <= hi + 1; ++k) {
        for (size_t i = 0; i + size_t(k) < a.size(); ++i)
            r[size_t(k)] += a[i] * a[i + size_t(k)];
        r[size_t(k)] /= double(a.size() - size_t(k));
    }
    long best = lo;
    for (long k = lo; k <= hi; ++k)
        if (r[size_t(k)] > r[size_t(best)]) best = k;
    for (long k = lo; k <= hi; ++k)
        if (r[size_t(k)] >= 0.9 * r[size_t(best)] && r[size_t(k)] >= r[size_t(k) - 1] &&
            r[size_t(k)] >= r[size_t(k) + 1]) {
            best = k;
            break;
        }
    return double(best) * step;
}

// Energy where the tracks have none (2 to 5 kHz): what a crusher adds.
double addedDb(const Heard& heard) {
    return testsupport::medianBandDb(heard.mid(0), 44100, 2000, 5000);
}

// A knob that sets after how long the deck's tone repeats, at two places: the knob holds each, and the tone
// repeats after `frames` times its number of frames.
void expectRepeats(Rig& rig, const Control& c, const Control& knob, std::initializer_list<double> places, double frames,
                   const char* what) {
    for (double at : places) {
        EXPECT_NEAR(turnKnob(rig, knob, at), at, 0.02) << "the knob does not hold its place";
        const double set = frames * rig.value(knob).number / 44100;
        const Heard sound = rig.listen(2.5 * set + 0.3);
        const double heard = repeatSeconds(sound, c.deck, 0.05, 1.6 * set);
        measured("%s %.3f s, heard %.3f s (the tone swinging %.0f dB)", what, set, heard, toneSwing(sound, c.deck));
        EXPECT_NEAR(heard, set, 0.08 * set) << what;
    }
}

Control effectSwitch(Rig& rig, const Control& c, const char* effect) {
    return c.value == "effectonoff" ? c : sibling(rig, c, "effectonoff", effect);
}
Control effectKnob(Rig& rig, const Control& c, const char* parameter) {
    return c.specifier() == parameter ? c : sibling(rig, c, "effect", parameter);
}

// Switches an effect off and puts its two knobs back, the deck stopped: the next row finds all as it was.
void restore(Rig& rig, const Control& c, const Control& on, const Control& one, const Control& two) {
    rig.click(on);
    EXPECT_FALSE(rig.value(on).lit) << "lit after it was switched off";
    rightClick(rig, one);
    rightClick(rig, two);
    playing(rig, c.deck, false);
}

// The echo: with its amount up the lamp lights and the deck rings on after it stops; at zero it
// stops dead. The length knob sets the echo time: once the deck stops, its echo falls a step every echo time.
void echo(Rig& rig, const Control& c) {
    Control amount = effectKnob(rig, c, "echo_echo"), length = effectKnob(rig, c, "echo_length"),
            lamp = sibling(rig, c, "effectonoff", "echo");
    ASSERT_TRUE(amount.valid() && length.valid());
    if (c.specifier() == "echo_length")
        for (double at : {0.1, 0.2}) {
            EXPECT_NEAR(turnKnob(rig, length, at), at, 0.02) << "the knob does not hold its place";
            const double set = rig.value(length).number / 44100;
            double heard = 0;
            // The deck plays for three echo times, so the echo stands at its full level (a fourth repeat would add
            // less than 1 dB), then stops, whenever the click lands: from then on the sound is its last echo time
            // again and again at the echo's amount, a fall of some 6 dB every echo time. A take the server lost
            // cycles in (in that last echo time or after it), where a gap would be taken for a fall, is played
            // again.
            for (int tries = 0;; ++tries) {
                turnKnob(rig, amount, 0.5);
                playing(rig, c.deck, true);
                soundFor(rig, 3 * set + 0.1);
                const int64_t from = rig.tap().now();
                playing(rig, c.deck, false);
                const int span = int(rig.tap().now() - from) + int(4 * 44100 * set);
                heard = fallSpacing(Heard{rig.tap().take(from, span)}, c.deck);
                rightClick(rig, amount);
                testsupport::sleepMs(int(1000 * set) + 300); // silence fills the echo's ring
                if (rig.tap().xrunsSince(from - int64_t(44100 * set), from + span) == 0) break;
                if (tries == Rig::kRetakes) {
                    rig.spoilt();
                    break;
                }
                rig.retaken();
            }
            measured("echo time %.3f s: falls every %.3f s", set, heard);
            EXPECT_NEAR(heard, set, 0.02 + 0.03 * set) << "the echo time";
        }
    turnKnob(rig, length, 0.05);
    playing(rig, c.deck, true);
    turnKnob(rig, amount, 0.7);
    if (lamp.valid()) {
        EXPECT_TRUE(rig.value(lamp).lit) << "the echo lamp is dark with the echo on";
    }
    testsupport::sleepMs(600);
    playing(rig, c.deck, false);
    const double ringing = bands(rig.listen(0.2, 0.1, Rig::kOnce), c.deck).tone;
    EXPECT_GT(ringing, -40) << "no echo after the deck stops";
    rightClick(rig, amount);
    rightClick(rig, length);
    if (lamp.valid()) {
        EXPECT_FALSE(rig.value(lamp).lit) << "the echo lamp stays lit";
    }
    testsupport::sleepMs(300);
    playing(rig, c.deck, true);
    playing(rig, c.deck, false);
    const double dead = bands(rig.listen(0.2, 0.1), c.deck).tone;
    EXPECT_LT(dead, kSilentDb) << "rings on with the echo off";
    measured("after the deck stops: %.1f dBFS with the echo, %.0f dBFS without", ringing, dead);
}

// The flanger: on at full strength and a slow sweep, the deck's tone swells and fades by more than
// 6 dB; off (or at no strength) it stays steady.
void flanger(Rig& rig, const Control& c) {
    Control on = effectSwitch(rig, c, "flanger"), strength = effectKnob(rig, c, "flanger_strength"),
            speed = effectKnob(rig, c, "flanger_speed");
    ASSERT_TRUE(on.valid() && strength.valid() && speed.valid());
    playing(rig, c.deck, true);
    turnKnob(rig, speed, 0.05);
    turnKnob(rig, strength, 1);
    const double still = toneSwing(rig.listen(1.0), c.deck);
    EXPECT_LT(still, 1.5) << "the tone swings with the flanger off";
    rig.click(on);
    EXPECT_TRUE(rig.value(on).lit);
    const double swept = toneSwing(rig.listen(1.5), c.deck);
    EXPECT_GT(swept, 6) << "the flanger does not sweep the tone";
    measured("the tone swings %.1f dB off, %.1f dB on", still, swept);
    if (c.specifier() == "flanger_strength") {
        turnKnob(rig, strength, 0);
        EXPECT_LT(toneSwing(rig.listen(1.0), c.deck), 1.5) << "the flanger sweeps at no strength";
    }
    // A sweep (the delay out and back) takes four times the knob's number of frames.
    if (c.specifier() == "flanger_speed") expectRepeats(rig, c, speed, {0.02, 0.05}, 4, "the sweep's time");
    restore(rig, c, on, strength, speed);
}

// The crusher: on at 4 bits it adds sound between 2 and 5 kHz, where the track has none (-45 dB or more
// against the tone's -14); at 16 bits nothing to speak of (below -50 dB); the down-sampling adds its
// images the same way.
void crusher(Rig& rig, const Control& c) {
    Control on = effectSwitch(rig, c, "bitcrusher"), bits = effectKnob(rig, c, "bitcrusher_bits"),
            down = effectKnob(rig, c, "bitcrusher_downsample");
    ASSERT_TRUE(on.valid() && bits.valid() && down.valid());
    playing(rig, c.deck, true);
    const double clean = addedDb(rig.listen());
    EXPECT_LT(clean, -50) << "the track has sound at 2-5 kHz";
    const bool downsampling = c.specifier() == "bitcrusher_downsample";
    turnKnob(rig, bits, downsampling ? 1.0 : 0.25);
    turnKnob(rig, down, downsampling ? 0.25 : 0.0);
    rig.click(on);
    EXPECT_TRUE(rig.value(on).lit);
    const double added = addedDb(rig.listen());
    EXPECT_GT(added, -45) << "nothing added";
    measured("2-5 kHz: %.0f dBFS off, %.1f dBFS on", clean, added);
    if (c.specifier() == "bitcrusher_bits") {
        turnKnob(rig, bits, 1);
        EXPECT_LT(addedDb(rig.listen()), -50) << "added at 16 bits";
    }
    rig.click(on);
    EXPECT_FALSE(rig.value(on).lit);
    EXPECT_LT(addedDb(rig.listen(0.5, 1.0)), -50) << "added with the crusher off";
    rightClick(rig, bits);
    rightClick(rig, down);
    playing(rig, c.deck, false);
}

// The gapper: on at full depth with a short cycle the deck's tone is cut in and out (its level swings by
// more than 20 dB); at no depth it stays.
void gapper(Rig& rig, const Control& c) {
    Control on = effectSwitch(rig, c, "gapper"), strength = effectKnob(rig, c, "gapper_strength"),
            length = effectKnob(rig, c, "gapper_length");
    ASSERT_TRUE(on.valid() && strength.valid() && length.valid());
    playing(rig, c.deck, true);
    turnKnob(rig, length, 0.1);
    turnKnob(rig, strength, 1);
    rig.click(on);
    EXPECT_TRUE(rig.value(on).lit);
    const double swing = toneSwing(rig.listen(1.0), c.deck);
    measured("the tone swings %.1f dB", swing);
    EXPECT_GT(swing, 20) << "the gapper cuts nothing";
    if (c.specifier() == "gapper_strength") {
        turnKnob(rig, strength, 0);
        EXPECT_LT(toneSwing(rig.listen(1.0), c.deck), 6) << "cuts at no depth";
    }
    if (c.specifier() == "gapper_length") expectRepeats(rig, c, length, {0.1, 0.2}, 1, "the gap's cycle");
    restore(rig, c, on, strength, length);
}

// A tab button: its tab shows (lit), the others hide.
void tab(Rig& rig, const Control& c) {
    rig.click(c);
    EXPECT_TRUE(rig.value(c).lit) << "its tab is not shown";
    const auto w = rig.probe().facts("window\t" + c.placed.window->name + "\t" + std::to_string(c.layer));
    EXPECT_NE(w.count("tabs") ? w.at("tabs").find(c.specifier()) : std::string::npos, std::string::npos);
    rig.click(rig.find("tabselect", c.deck, "eq"));
}

} // namespace

const Exercise kEcho{"amount up, stop the deck, right clicks (the time: the deck stopped at two settings)",
                     "the lamp lights and the tone rings on after the stop; silent after the reset (falls a step "
                     "every time set)",
                     echo};
const Exercise kFlanger{"on with full strength and a slow sweep; strength or speed turned",
                        "the tone swings > 6 dB (steady < 1.5 dB off or at no strength; repeats at the sweep's time)",
                        flanger};
const Exercise kCrusher{"on at 4 bits (or down-sampling), bits to 16, off",
                        "sound added at 2-5 kHz (> -45 dB); none at 16 bits or off (< -50 dB)", crusher};
const Exercise kGapper{"on at full depth and a short cycle; depth to 0 (or the cycle at two settings)",
                       "the tone swings > 20 dB; < 6 dB at no depth (cut at the cycle set)", gapper};
const Exercise kTab{"click", "its tab shows (lit)", tab};

} // namespace e2e
