// One running program for the end-to-end tests of the skins' controls: tarlume_probe started with a
// scratch home, the tracks this test makes and a skin, under an X server and a JACK server (4 inputs,
// 4 outputs) of its own; a JACK client of the test recording its four outputs (master 1/2, headphones
// 3/4) and playing into its inputs; the probe for what the DJ sees and the engine's facts; and the skin
// loaded by the skin engine to find where each control is.
#pragma once

#include "support/JackTap.h"
#include "support/ProbeClient.h"
#include "support/ProgramRun.h"
#include "support/SkinMap.h"
#include "support/SoundMeasure.h"
#include "support/XvfbServer.h"

#include <chrono>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using testsupport::Point;

// The tracks every run has in its music folder (made by the test, 16-bit stereo WAV at 44.1 kHz).
struct Tracks {
    // A 60 Hz bass pulsing on the beat, a steady tone, hats above 6 kHz on the eighth notes and noise at
    // 300-700 Hz that never repeats (kMarkerLow, kMarkerHigh).
    static constexpr double kBpm1 = 120, kTone1 = 1000; // deck 1's track
    static constexpr double kBpm2 = 125, kTone2 = 1500; // deck 2's track
    static constexpr double kSeconds = 100;             // the whole track fits the deck's sample buffer
    // Band limits (Hz) where each part of the tracks is measured.
    static constexpr double kBassLow = 40, kBassHigh = 90, kHatsLow = 6500, kHatsHigh = 15000;
    static constexpr double kMarkerLow = 300, kMarkerHigh = 700;
    static const char* const kDeck1;  // "deck1.wav"
    static const char* const kDeck2;  // "deck2.wav"
    static const char* const kQuiet;  // "quiet.wav": a 1 kHz tone 30 dB below full scale
    static const char* const kSecond; // "second.wav": deck 1's track again under another name
    // Deck 1's track has a cover, a picture of this colour beside it (deck1.bmp); second.wav has none.
    static constexpr unsigned int kCoverRgb = 0xE628C8;
    // The track a deck plays in the tests: deck 1's on decks 1 and 3, deck 2's on decks 2 and 4.
    static const char* forDeck(int deck) { return deck % 2 ? kDeck2 : kDeck1; }
    // Writes them into `folder`; false when one could not be written.
    static bool make(const std::string& folder);
};

// What the four outputs carried over a stretch of time.
struct Heard {
    std::vector<std::vector<float>> ch; // master left, right, headphones left, right
    bool empty() const { return ch.empty() || ch[0].empty(); }
    double masterDb() const { return empty() ? -200 : testsupport::levelDb(ch[0], ch[1]); }
    double phonesDb() const { return empty() ? -200 : testsupport::levelDb(ch[2], ch[3]); }
    testsupport::Spectrum master() const { return testsupport::Spectrum(mid(0), 44100); }
    double masterPeak() const { return empty() ? 0 : std::max(testsupport::peakOf(ch[0]), testsupport::peakOf(ch[1])); }
    std::vector<float> mid(int pair) const {
        return empty() ? std::vector<float>() : testsupport::mid(ch[size_t(pair)], ch[size_t(pair) + 1]);
    }
};

// A value as the skin binding serves it.
struct Value {
    bool ok = false;
    std::string text;
    double number = 0, min = 0, max = 0, relative = 0;
    bool lit = false;
};

// One object of the skin as a row drives it: where it is and the deck it acts on.
struct Control {
    std::string name;
    testsupport::PlacedObject placed;
    std::string value; // the name of the value it shows or sets, lower case
    int layer = 0;     // the window layer it is shown in
    int deck = 0;      // the deck it acts on (its own deck, else the layer's)
    bool valid() const { return placed.object != nullptr; }
    std::string specifier() const { return placed.object ? placed.object->valueSpecifier : std::string(); }
};

// One row of a browser list or the pop-up list, as the probe reports it.
struct ListRow {
    std::string text, file, right; // the left text, the file it stands for, the text at its right
    double top = 0, bottom = 0;    // list pixels, the scroll applied
    bool selected = false;
};
struct ListState {
    std::vector<ListRow> rows;
    bool header = false;
    double scroll = 0;
};

struct RigOptions {
    std::string skin = "kolt-1280";
    // The input channels of deck 1 and 2 named in the settings (for timecode and line input).
    bool inputs = false;
    // More settings the program starts with (elements of config.xml).
    std::string settings;
};

class Rig {
public:
    explicit Rig(RigOptions options);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Starts everything; false with the reason when something could not start (`missing` is set when a
    // component is not installed, so the caller can skip outside CI).
    bool start(std::string* why, bool* missing);

    // ---- The skin ----
    testsupport::SkinMap& skin() { return *map_; }
    // The object of that name on the layer it is shown in for `deck` (deck 1 = 0); an empty control
    // when the skin has no such object.
    Control control(const std::string& name, int deck = 0);
    // Where to press a control: shows its tab first when it sits in one; skin pixels.
    Point reach(const Control& c, float fx = 0.5f, float fy = 0.5f);
    // The first object doing `value` for a deck (with that specifier when one is given, "" for none, and
    // of that object type when one is given).
    Control find(const std::string& value, int deck, const std::optional<std::string>& specifier = std::nullopt,
                 int type = 0);
    // Shows the deck window's layer of `deck` where it shares its place with another deck's (decks 3 and 4
    // of kolt-1280), by the button whose script shows it; control() and find() follow. Whether it shows.
    bool showDeck(int deck);

    // ---- Driving, as a user does (skin pixels) ----
    void click(Point p, int button = 1);
    void doubleClick(Point p);
    // Press, then move in `steps` steps by (dx, dy) in all, then release.
    void drag(Point from, int dx, int dy, int steps = 8);
    void press(Point p);
    void move(Point p) { moveTo(p); }
    // Moves the pointer off the window (left of it: the window is centred on a wider screen), where a key
    // reaches the program only when its window holds the keyboard.
    void moveOff() { moveTo(Point{-60, 10}); }
    void release();
    void key(const std::string& keys);
    void type(const std::string& text);
    bool drop(Point p, const std::vector<std::string>& files);
    // Presses and releases a control (left button).
    void click(const Control& c) { click(reach(c)); }

    // ---- What the program shows and does ----
    testsupport::ProbeClient& probe() { return probe_; }
    std::map<std::string, std::string> deck(int n);
    double deckFact(int n, const std::string& key);
    std::map<std::string, std::string> engine();
    double engineFact(const std::string& key);
    Value value(const std::string& name, const std::string& specifier, int deck, const std::string& window = "");
    Value value(const Control& c);
    // Browser 0's list ("folders", "files", "playlist"), the pop-up list ("popup"), the controllers' or the open
    // preferences window's controllers ("preferences", their names only).
    ListState list(const std::string& name);
    // Where to press a row of a list object (skin pixels); invalid when the row is not in view.
    Point rowPoint(const Control& list, const ListRow& row, float fx = 0.2f);
    // The first row whose text (or file) contains `text`; null when none.
    static std::optional<ListRow> row(const ListState& list, const std::string& text);
    // The program's other window named "tarlume" (a pop-up list or a dialog) once it shows, waiting up
    // to `seconds`; an empty id when none came. Pop-up lists are override-redirect windows, which
    // xdotool's search does not report: the X server's window tree is read instead.
    struct Window {
        std::string id; // decimal, as xdotool takes it
        int x = 0, y = 0, width = 0, height = 0;
    };
    Window otherWindow(double seconds = 10);
    // Chooses the row of the shown pop-up list whose text contains `label`; false when none.
    bool choosePopup(const std::string& label);
    // Asks a window of the program to close, as a window manager's close button does.
    void closeWindow(const std::string& id);
    // The window the X server sends the keys to (decimal), "" when nobody has them.
    std::string keyboardWindow();
    // Gives the keys to nobody, as a window that held them leaves them when it goes: to no window, or to the root
    // window (which hands them to the window under the pointer), as a window that took them reverting to its
    // parent leaves them.
    void dropKeyboard(bool toRoot = false);
    // Waits for `n` frames of the program.
    void frames(int n = 2);
    // Waits (up to `seconds`) for a condition read through the probe; whether it held. A program that
    // answers no more is not waited for.
    template <class Ready> bool until(Ready ready, double seconds = 10) {
        const auto t = std::chrono::steady_clock::now();
        bool held = false;
        testsupport::waitFor([&] { return (held = ready()) || !probe_.lost().empty(); }, seconds, 20);
        trace("until", t);
        return held;
    }
    void trace(const char* what, std::chrono::steady_clock::time_point since) const;

    // The window's pixels (R, G, B rows) over a control's place, as drawn now; empty when unreadable.
    std::vector<unsigned char> pixels(const Control& c);

    // ---- Sound ----
    testsupport::JackTap& tap() { return *tap_; }
    // The outputs over `seconds`, recorded after waiting `settle` seconds (ramps and the block in flight).
    // Taken again (settling again) while the server reports an xrun from the call to the capture's end, at
    // least kRetakes times and for up to kRetakeSeconds; kOnce takes it as it comes, for a sound that does not
    // wait (a decaying tail). A loaded machine's server was seen to report xruns in every capture for over a
    // minute, and a period lost can splatter a deck's tone into the band of the other's (-44 dBFS heard where
    // the crossfader had silenced that deck).
    enum Take { kSteady, kOnce };
    static constexpr int kRetakes = 6;
    static constexpr double kRetakeSeconds = 20;
    Heard listen(double seconds = 0.5, double settle = 0.15, Take take = kSteady);
    // Captures taken again for an xrun since the last call.
    int takeRetaken() { return std::exchange(retaken_, 0); }
    void retaken() { ++retaken_; }
    // Whether a sound was spoilt since the last call: the server reported xruns over its capture and over every
    // one taken again for it (or over the only one, for kOnce). A lost period moves or splatters the sound, so
    // what a row then asserts of it tells nothing of the program.
    bool takeSpoilt() { return std::exchange(spoilt_, false); }
    void spoilt() { spoilt_ = true; }
    // Waits (up to `seconds`) until the recorder records the program's outputs as they are now: a device the
    // program opens anew makes its ports anew, and the recorder joins them within moments; whether it does.
    bool recording(double seconds = 10);
    // The program's output port names now, and as they were when it started.
    std::vector<std::string> outputPorts();
    const std::vector<std::string>& startPorts() const { return startPorts_; }

    // ---- Tracks ----
    std::string track(const std::string& name) const { return session_->music + name; }
    // Drops a file on a deck and waits until it is loaded and analysed (its replay gain applied);
    // whether it was.
    bool load(int deck, const std::string& file);
    // Plays a deck from its start at full volume on neither crossfader side, or stops it, through the
    // probe-free controls of the skin (play button, volume fader).
    bool play(int deck, bool on);

    testsupport::ProgramSession& session() { return *session_; }
    const RigOptions& options() const { return options_; }
    // How many times the JACK server was started anew before the program was heard.
    int restarts() const { return restarts_; }
    std::string log() const;
    // What can be told of a program that stopped answering: the probe's last exchanges, whether it ended
    // (and how) or where its threads wait, and its output.
    std::string programState();
    std::string window() const { return window_; }

private:
    std::string at(Point p) const;
    // Moves the pointer there (xdotool's --sync waits for a move, so a move to where the pointer
    // already is must not wait).
    void moveTo(Point p);
    Point pointer_;
    RigOptions options_;
    std::unique_ptr<testsupport::XvfbServer> x_;
    std::unique_ptr<testsupport::ProgramSession> session_;
    std::unique_ptr<testsupport::SkinMap> map_;
    std::unique_ptr<testsupport::JackTap> tap_;
    testsupport::ProbeClient probe_;
    std::string window_;
    int wx_ = 0, wy_ = 0;
    std::vector<std::string> startPorts_;
    int restarts_ = 0;
    int retaken_ = 0;
    bool spoilt_ = false;
};

// Tolerant number reading of a probe fact ("" reads 0).
double number(const std::string& text);

} // namespace e2e
