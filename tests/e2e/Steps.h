// The steps the exercises are made of: moving knobs and sliders as a user does, the decks' states the
// exercises start from, and the measures of the tracks' parts in what the outputs carried.
#pragma once

#include "Rig.h"

#include <gtest/gtest.h>

namespace e2e {

// Below this a band or an output counts as silent (dB against a full-scale sine).
constexpr double kSilentDb = -60;

// The steady tone of the track on a deck (0 or 1), Hz at normal speed.
double trackTone(int deck);
// Levels of the tracks' parts heard on the master (or the headphones): the bass, the tone of a deck's
// track at `speed`, the hats.
struct Bands {
    double bass = -200, tone = -200, hats = -200;
};
Bands bands(const Heard& heard, int deck, bool phones = false, double speed = 1.0);
// The frequency of deck's tone near its track's tone at speeds 0.8 to 1.2 (master), Hz.
double toneHz(const Heard& heard, int deck);

// What a row measured, for the table of controls a run prints (each row's figures after its time).
void measured(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The figures measured since the last call.
std::string takeMeasured();

// A deck with its track playing (or stopped), at unity pitch and full volume.
void playing(Rig& rig, int deck, bool on = true);
// The position a deck reports, ms.
double position(Rig& rig, int deck);
// Waits until the JACK server has run `seconds` of sound (the recorder's clock): a loaded machine's server may
// run slower than the wall clock, and a deck plays by the server's.
void soundFor(Rig& rig, double seconds);
// How fast a deck's position moves over the next `seconds`: 1.0 at normal speed. It is measured against
// the other deck of its pair (deck 1 for deck 2, and so on), which must be playing without key lock: both
// advance by the blocks the program renders, so the cycles a loaded machine's JACK server runs without the
// program count for neither (against the clock the pace would read up to 2 % slow). A line is fitted
// through the two positions, read together every frame.
double positionRate(Rig& rig, int deck, double seconds = 1.5);
// The deck whose position positionRate measures against.
int pacer(int deck);

// Turns a knob to a relative position by dragging it up or down from its centre, as a user does;
// returns the relative position the binding reports afterwards.
double turnKnob(Rig& rig, const Control& knob, double relative);
// Puts a slider to a relative position by pressing its track where its thumb would be there.
double moveSlider(Rig& rig, const Control& slider, double relative);
// The pitch fader of a control's deck.
Control pitchFader(Rig& rig, const Control& near);
// A point of a control's area (skin pixels) that no other object of its window covers; invalid when
// there is none.
Point freePlace(Rig& rig, const Control& c);
// A right click: the controls' reset.
void rightClick(Rig& rig, const Control& c);
// Presses a button of the same deck and window found by its value (and specifier).
void pressValue(Rig& rig, const Control& near, const std::string& value,
                const std::optional<std::string>& specifier = std::nullopt);
// The control doing `value` for the same deck as `near` (a deck's other button or fader), with that
// specifier when one is given ("" for none).
Control sibling(Rig& rig, const Control& near, const std::string& value,
                const std::optional<std::string>& specifier = std::nullopt);

// A number a text starts with, after skipping what is not a digit, sign or point.
double leadingNumber(const std::string& text);
// Seconds of a time text "[-][h:]mm:ss.d".
double timeText(const std::string& text);

} // namespace e2e
