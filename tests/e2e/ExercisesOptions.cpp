// The options window, the same for every skin: sound routing heard at the outputs, the other options by
// what they show and keep.
#include "Exercises.h"
#include "Steps.h"

#include "support/ProgramRun.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

namespace e2e {

// Settings that tell the decks apart in the window's texts (with the inputs of deck 1 and 2 named, timecode
// records of type 2 on both): output 3 on channels 3/4, deck 3's record of type 6, deck 2 in relative mode.
const char* const kOptionSettings = "<OUTPUTCHANNELS2>2/3</OUTPUTCHANNELS2>\n"
                                    "<DEFAULTVINYL2>6</DEFAULTVINYL2>\n"
                                    "<VC_RELATIVEMODE1>yes</VC_RELATIVEMODE1>\n";

namespace {

// What the window's texts show for those settings, deck by deck.
struct Shown {
    const char* option;
    const char* decks[4];
};
const Shown kShown[] = {
    {"OutputDevice",
     {"Default Output Device", "Default Output Device", "Default Output Device", "Default Output Device"}},
    {"OutputChannels", {"1/2", "3/4", "3/4", "0/0"}},
    {"InputDevice", {"Default Input Device", "Default Input Device", "Default Input Device", "Default Input Device"}},
    {"InputChannels", {"1/2", "3/4", "0/0", "0/0"}},
    {"DefaultVinylType", {"Serato Scratch Live", "Serato Scratch Live", "Traktor Scratch", "Final Scratch"}},
    {"vc_relativemode", {"Absolute mode", "Relative mode", "Absolute mode", "Absolute mode"}},
    {"ExternalMixer", {"Internal Mixer"}},
};

std::string settingsFile(Rig& rig) {
    return testsupport::readFile(rig.session().configPath());
}

// The text beside an option's button, showing the option for the same deck; invalid when there is none.
Control textBeside(Rig& rig, const Control& button) {
    return rig.find("option", button.deck, button.specifier(), OBJECT_TEXT);
}

// An option's text: the setting of its deck.
void optionText(Rig& rig, const Control& c) {
    std::string expected = c.specifier() == "Skin" ? rig.options().skin : "";
    for (const Shown& s : kShown)
        if (c.specifier() == s.option) expected = s.decks[c.deck];
    EXPECT_EQ(rig.value(c).text, expected);
}

// An option's button: its pop-up lists the choices (or it switches the option). Chosen, the text beside it
// shows the choice, a switch lights or goes dark, and the settings file is written anew; then back as it was,
// where the pop-up lists what it was.
void option(Rig& rig, const Control& c) {
    const Control text = textBeside(rig, c);
    const bool lit = rig.value(c).lit;
    const std::string before = text.valid() ? rig.value(text).text : lit ? "on" : "off";
    const std::string settings = settingsFile(rig);
    rig.click(c);
    const bool popup = rig.value(c).lit == lit;
    std::vector<std::string> choices;
    if (popup) {
        ASSERT_FALSE(rig.otherWindow().id.empty()) << "neither a switch nor a pop-up of choices";
        for (const ListRow& r : rig.list("popup").rows)
            choices.push_back(r.text);
        const auto other = std::find_if(choices.begin(), choices.end(), [&](auto& s) { return s != before; });
        ASSERT_NE(other, choices.end()) << "nothing else to choose";
        ASSERT_TRUE(rig.choosePopup(*other));
        if (text.valid()) {
            EXPECT_EQ(rig.value(text).text, *other);
        }
    } else if (text.valid()) {
        EXPECT_NE(rig.value(text).text, before);
    }
    const std::string after = text.valid() ? rig.value(text).text : rig.value(c).lit ? "on" : "off";
    measured("\"%s\" -> \"%s\"", before.c_str(), after.c_str());
    EXPECT_TRUE(rig.until([&] { return settingsFile(rig) != settings; }, 5)) << "the settings are not written";
    if (!popup) {
        rig.click(c);
        EXPECT_EQ(rig.value(c).lit, lit) << "a second press does not switch back";
    } else if (std::count(choices.begin(), choices.end(), before)) {
        rig.click(c);
        ASSERT_TRUE(rig.choosePopup(before));
        EXPECT_EQ(rig.value(text).text, before);
    }
}

// The output pair that carries deck 1's tone and the one that carries deck 2's (-1: neither), heard. A choice
// of channels opens the device anew, with new ports: heard once the recorder has joined them.
void expectPairs(Rig& rig, int one, int two) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(rig.recording()) << "the recorder does not record the program's outputs:\n" << rig.log();
    measured("recorded after %.2f s", std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count());
    // A device opened anew was seen to carry the other pair's mix for a few milliseconds (37 dB down over the
    // capture) when its first blocks came after the settle: captures go on (up to 10 s) until one hears the pairs
    // as chosen, and the last is judged.
    double level[2][2]; // by pair and deck
    auto asChosen = [&] {
        const Heard heard = rig.listen(0.5, 0.4);
        bool as = true;
        for (int pair : {0, 1})
            for (int deck : {0, 1}) {
                level[pair][deck] = bands(heard, deck, pair == 1).tone;
                as = as && (pair == (deck == 0 ? one : two) ? level[pair][deck] > -30 : level[pair][deck] < kSilentDb);
            }
        return as;
    };
    rig.until(asChosen, 10);
    measured("decks 1/2 on 1/2 %.0f/%.0f, on 3/4 %.0f/%.0f dBFS", level[0][0], level[0][1], level[1][0], level[1][1]);
    for (int pair : {0, 1})
        for (int deck : {0, 1})
            if (pair == (deck == 0 ? one : two)) {
                EXPECT_GT(level[pair][deck], -30) << "deck " << deck + 1 << " is not heard on pair " << pair + 1;
            } else
                EXPECT_LT(level[pair][deck], kSilentDb) << "deck " << deck + 1 << " is heard on pair " << pair + 1;
}

// The channel pair of the master (output 1, deck 1 playing) or the headphones (output 2, deck 2 cued, its fader
// down), heard. Moved onto the other's pair, that pair carries the master alone (one pair takes one mix) and
// the freed one is silent; the other moved onto the freed pair, the two have swapped; both back.
void outputPair(Rig& rig, const Control& c) {
    const int own = c.deck, other = 1 - own;
    const Control buttons[2] = {rig.find("option", 0, "OutputChannels", OBJECT_BUTTON),
                                rig.find("option", 1, "OutputChannels", OBJECT_BUTTON)};
    const char* const pairs[2] = {"1/2", "3/4"};
    auto choose = [&](int output, int pair) {
        rig.click(buttons[output]);
        ASSERT_TRUE(rig.choosePopup(pairs[pair])) << "no pair " << pairs[pair] << " to choose";
    };
    const Control cue = rig.find("volume_cue", 1), fader = rig.find("volume_player", 1);
    playing(rig, 0, true);
    playing(rig, 1, true);
    rig.click(cue);
    moveSlider(rig, fader, 0);
    expectPairs(rig, 0, 1);
    choose(own, other);
    EXPECT_EQ(rig.value(textBeside(rig, c)).text, pairs[other]);
    expectPairs(rig, other, -1);
    choose(other, own);
    expectPairs(rig, 1, 0);
    choose(0, 0);
    choose(1, 1);
    expectPairs(rig, 0, 1);
    rig.click(cue);
    rightClick(rig, fader);
    playing(rig, 0, false);
    playing(rig, 1, false);
}

// The output mode, heard: mixed inside, both decks play on the master's pair; for an external mixer (lit) each
// deck has its own output's pair. Pressed again: mixed inside.
void externalMixer(Rig& rig, const Control& c) {
    playing(rig, 0, true);
    playing(rig, 1, true);
    for (bool external : {false, true, false}) {
        if (external != rig.value(c).lit) rig.click(c);
        EXPECT_EQ(rig.value(c).lit, external);
        EXPECT_EQ(rig.value(textBeside(rig, c)).text, external ? "External Mixer" : "Internal Mixer");
        expectPairs(rig, 0, external ? 1 : 0);
    }
    playing(rig, 0, false);
    playing(rig, 1, false);
}

// A deck's timecode gain or pitch variance: a press sets it there; a right click puts it back where the deck
// started it.
void optionSlider(Rig& rig, const Control& c) {
    const double before = rig.value(c).number;
    for (double at : {0.25, 0.75})
        EXPECT_NEAR(moveSlider(rig, c, at), at, 0.03);
    rightClick(rig, c);
    measured("%g, back to %g", before, rig.value(c).number);
    EXPECT_FLOAT_EQ(rig.value(c).number, before) << "a right click does not put it back";
}

// Calibrate: the deck follows its timecode input (switched on for it) and measures it.
void calibrate(Rig& rig, const Control& c) {
    rig.click(c);
    EXPECT_EQ(rig.deckFact(c.deck, "vinyl"), 1) << "the deck does not follow its timecode";
    EXPECT_EQ(rig.deckFact(c.deck, "calibrating"), 1) << "no calibration runs";
}

// PREFERENCES: the preferences window opens; it closes by its Close button and as a window does. Ctrl+, opens it
// again with the pointer off the window: each time it shows, it has the keys, though the window took them back after
// the click in it before; each time it goes, the window has the keys again (with no window manager, it leaves them
// to the root window, which gives them only to the window under the pointer).
void preferences(Rig& rig, const Control& c) {
    auto shown = [] {
        std::string id = testsupport::run(
            "timeout -k 5 30 xdotool search --onlyvisible --name '^Preferences$' 2>/dev/null | head -1");
        if (!id.empty()) id.pop_back();
        return id;
    };
    auto keysBack = [&] {
        rig.moveOff();
        return rig.until([&] { return rig.keyboardWindow() == rig.window(); }, 5);
    };
    std::string window;
    auto hasTheKeys = [&] { return rig.until([&] { return rig.keyboardWindow() == window; }, 5); };
    rig.click(c);
    ASSERT_TRUE(rig.until([&] { return !(window = shown()).empty(); })) << "no preferences window";
    EXPECT_TRUE(hasTheKeys()) << "the preferences window has not the keys";
    // A controller that comes while the window is open shows in its table, and goes from it when it goes.
    auto listsPad = [&] {
        for (const ListRow& r : rig.list("preferences").rows)
            if (r.text.find("e2e-pad") != std::string::npos) return true;
        return false;
    };
    const std::string pad =
        testsupport::run(rig.session().jackEnv() + "jack_midiseq e2e-pad 48000 0 60 100 >/dev/null 2>&1 & echo $!");
    EXPECT_TRUE(rig.until(listsPad, 20)) << "a controller that came is not in the open preferences' table";
    if (atoi(pad.c_str()) > 0) kill(atoi(pad.c_str()), SIGTERM);
    EXPECT_TRUE(rig.until([&] { return !listsPad(); }, 20)) << "a controller that went stays in the table";
    // The Close button sits in the window's bottom right corner, inside its 8-pixel border.
    int x = 0, y = 0, w = 0, h = 0;
    sscanf(testsupport::run("timeout -k 5 30 xdotool getwindowgeometry --shell " + window).c_str(),
           "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &x, &y, &w, &h);
    testsupport::xdo("mousemove --sync " + std::to_string(x + w - 24) + " " + std::to_string(y + h - 20) + " click 1");
    EXPECT_TRUE(rig.until([&] { return shown().empty(); })) << "its Close button does not close it";
    EXPECT_TRUE(keysBack()) << "the keys went with the preferences window";
    rig.key("ctrl+comma");
    ASSERT_TRUE(rig.until([&] { return !(window = shown()).empty(); })) << "Ctrl+, does not open it";
    EXPECT_TRUE(hasTheKeys()) << "the preferences window shown again has not the keys";
    rig.closeWindow(window);
    EXPECT_TRUE(rig.until([&] { return shown().empty(); })) << "the preferences window does not close";
    EXPECT_TRUE(keysBack()) << "the keys went with the preferences window closed as a window";
}

// The controllers: a click on one (the keyboard is always there) offers its configurations, "None" first;
// chosen, its row shows it and the settings keep it; then none again.
void controllers(Rig& rig, const Control& c) {
    ASSERT_FALSE(rig.list("controllers").rows.empty()) << "no controller listed";
    const ListRow keyboard = rig.list("controllers").rows.front();
    auto shown = [&] { return rig.list("controllers").rows.front().right; };
    rig.click(rig.rowPoint(c, keyboard));
    ASSERT_FALSE(rig.otherWindow().id.empty()) << "no configurations offered";
    const std::string chosen = rig.list("popup").rows.back().text;
    ASSERT_TRUE(rig.choosePopup(chosen));
    EXPECT_TRUE(rig.until([&] { return shown().find(chosen) == 0; })) << shown();
    EXPECT_NE(settingsFile(rig).find(chosen), std::string::npos) << "the settings do not keep it";
    measured("\"%s\" -> \"%s\"", keyboard.right.c_str(), shown().c_str());
    rig.click(rig.rowPoint(c, keyboard));
    ASSERT_TRUE(rig.choosePopup("None"));
    EXPECT_TRUE(rig.until([&] { return shown() == keyboard.right; }));
}

} // namespace

const Exercise kOptionText{"read", "its deck's setting as the settings file gave it", optionText};
const Exercise kOption{"click, choose another row of its pop-up (or switch), and back",
                       "the text beside it shows the choice, the switch is lit or dark; the settings are written",
                       option};
const Exercise kOutputPair{"move it onto the other output's pair, that one onto the freed pair, and back",
                           "heard: one pair takes the master alone; the master and headphones swap pairs; back",
                           outputPair};
const Exercise kExternalMixer{"click twice, decks 1 and 2 playing",
                              "heard: both on 1/2; lit, deck 1 on 1/2 and deck 2 on 3/4; both on 1/2", externalMixer};
const Exercise kOptionSlider{"press at 1/4 and 3/4, right click", "the deck's setting there; back where it started",
                             optionSlider};
const Exercise kOptionCalibrate{"click", "the deck follows its timecode and calibrates", calibrate};
const Exercise kPreferences{
    "click, its Close button; Ctrl+, off the window, close the window",
    "the preferences window opens with the keys, lists a controller that comes and goes, and closes; the "
    "window has the keys again",
    preferences};
const Exercise kControllers{"click the keyboard's row, choose a configuration, then none",
                            "its row and the settings show the configuration; then none", controllers};

} // namespace e2e
