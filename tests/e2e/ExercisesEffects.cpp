// The deck's effects: echo, flanger, crusher, gapper.
#include "Exercises.h"
#include "Steps.h"

#include <algorithm>
#include <cmath>

namespace e2e {

namespace {

using testsupport::Spectrum;

// The deck's tone level over 23 ms slices of the master: its range (highest - lowest, dB).
double toneSwing(const Heard& heard, int deck) {
    const std::vector<float> m = heard.mid(0);
    double low = 1e9, high = -1e9;
    for (size_t first = 0; first + 1024 <= m.size(); first += 512) {
        const Spectrum s(std::vector<float>(m.begin() + long(first), m.begin() + long(first) + 1024), 44100, 1024);
        const double level = s.bandDb(trackTone(deck) * 0.9, trackTone(deck) * 1.1);
        low = std::min(low, level);
        high = std::max(high, level);
    }
    return high - low;
}

// The master's level over 10 ms slices: its range (dB).
double levelSwing(const Heard& heard) {
    double low = 1e9, high = -1e9;
    for (size_t first = 0; first + 441 <= heard.ch[0].size(); first += 441) {
        const std::vector<float> l(heard.ch[0].begin() + long(first), heard.ch[0].begin() + long(first) + 441),
            r(heard.ch[1].begin() + long(first), heard.ch[1].begin() + long(first) + 441);
        const double level = testsupport::levelDb(l, r);
        low = std::min(low, level);
        high = std::max(high, level);
    }
    return high - low;
}

// Energy where the tracks have none (2 to 5 kHz): what a crusher adds.
double addedDb(const Heard& heard) {
    return testsupport::medianBandDb(heard.mid(0), 44100, 2000, 5000);
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
// stops dead. The length knob sets the echo time.
void echo(Rig& rig, const Control& c) {
    Control amount = effectKnob(rig, c, "echo_echo"), length = effectKnob(rig, c, "echo_length"),
            lamp = sibling(rig, c, "effectonoff", "echo");
    ASSERT_TRUE(amount.valid() && length.valid());
    if (c.specifier() == "echo_length") {
        turnKnob(rig, length, 0.1);
        EXPECT_NEAR(rig.value(length).number, 88.2 + 0.1 * (220500 - 88.2), 2500) << "the echo time in samples";
    } else {
        turnKnob(rig, length, 0.05);
    }
    playing(rig, c.deck, true);
    turnKnob(rig, amount, 0.7);
    if (lamp.valid()) {
        EXPECT_TRUE(rig.value(lamp).lit) << "the echo lamp is dark with the echo on";
    }
    testsupport::sleepMs(600);
    playing(rig, c.deck, false);
    const double ringing = bands(rig.listen(0.2, 0.1), c.deck).tone;
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
    if (c.specifier() == "flanger_speed") {
        turnKnob(rig, speed, 0.5);
        EXPECT_NEAR(rig.value(speed).number, 300 + 0.5 * (176400 - 300), 3000) << "the sweep time in samples";
    }
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

// The gapper: on at full depth with a short cycle the sound is cut in and out (its level swings by
// more than 20 dB over 10 ms slices); at no depth it stays.
void gapper(Rig& rig, const Control& c) {
    Control on = effectSwitch(rig, c, "gapper"), strength = effectKnob(rig, c, "gapper_strength"),
            length = effectKnob(rig, c, "gapper_length");
    ASSERT_TRUE(on.valid() && strength.valid() && length.valid());
    playing(rig, c.deck, true);
    turnKnob(rig, length, 0.1);
    turnKnob(rig, strength, 1);
    rig.click(on);
    EXPECT_TRUE(rig.value(on).lit);
    const double swing = levelSwing(rig.listen(1.0));
    measured("the level swings %.1f dB over 10 ms slices", swing);
    EXPECT_GT(swing, 20) << "the gapper cuts nothing";
    if (c.specifier() == "gapper_strength") {
        turnKnob(rig, strength, 0);
        EXPECT_LT(levelSwing(rig.listen(1.0)), 6) << "cuts at no depth";
    }
    if (c.specifier() == "gapper_length") {
        EXPECT_NEAR(rig.value(length).number, 5 + 0.1 * (88200 - 5), 1500) << "the cycle in samples";
    }
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

const Exercise kEcho{"amount (and time) up, stop the deck, right clicks",
                     "the lamp lights and the tone rings on after the stop; silent after the reset", echo};
const Exercise kFlanger{"on with full strength and a slow sweep; strength or speed turned",
                        "the tone swings > 6 dB (steady < 1.5 dB off or at no strength)", flanger};
const Exercise kCrusher{"on at 4 bits (or down-sampling), bits to 16, off",
                        "sound added at 2-5 kHz (> -45 dB); none at 16 bits or off (< -50 dB)", crusher};
const Exercise kGapper{"on at full depth and a short cycle; depth to 0", "the level swings > 20 dB; < 6 dB at no depth",
                       gapper};
const Exercise kTab{"click", "its tab shows (lit)", tab};

} // namespace e2e
