#include "Rig.h"

#include "support/Bmp.h"
#include "support/Screenshot.h"
#include "support/Wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/XdndSource.h" // last: Xlib's macros

namespace e2e {

using namespace testsupport;

const char* const Tracks::kDeck1 = "deck1.wav";
const char* const Tracks::kDeck2 = "deck2.wav";
const char* const Tracks::kQuiet = "quiet.wav";
const char* const Tracks::kSecond = "second.wav";

namespace {

// The program's JACK client.
const char* const kProgramPorts = "^tarlume:";

// Noise around 440 Hz (Tracks::kMarkerLow to kMarkerHigh) that never repeats, at an RMS of 0.02: the rest of
// a track repeats every beat, so only this band tells one beat from another. Six band-pass sections keep it
// 80 dB below full scale at the other deck's tone.
std::vector<double> markerNoise(size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> white(0, 1);
    const double w = 2 * M_PI * 440 / 44100, alpha = std::sin(w) / 2.4, a0 = 1 + alpha;
    const double b0 = alpha / a0, a1 = -2 * std::cos(w) / a0, a2 = (1 - alpha) / a0;
    double x1[6] = {}, x2[6] = {}, y1[6] = {}, y2[6] = {}, power = 0;
    std::vector<double> out(frames);
    for (size_t i = 0; i < frames; ++i) {
        double v = white(random);
        for (int s = 0; s < 6; ++s) {
            const double y = b0 * (v - x2[s]) - a1 * y1[s] - a2 * y2[s];
            x2[s] = x1[s], x1[s] = v, y2[s] = y1[s], y1[s] = y, v = y;
        }
        out[i] = v;
        power += v * v;
    }
    for (double& v : out)
        v *= 0.02 / std::sqrt(power / double(frames));
    return out;
}

std::vector<float> beatTrack(double bpm, double tone, double seconds) {
    const int rate = 44100;
    const size_t frames = size_t(seconds * rate);
    std::vector<float> out(frames * 2);
    const std::vector<double> marker = markerNoise(frames, unsigned(bpm));
    const double beat = 60.0 / bpm;
    const double hats[4] = {7200, 9100, 11300, 13700};
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double inBeat = std::fmod(t, beat), inEighth = std::fmod(t, beat / 2);
        // Accents on the beat and the eighth notes, shallow enough that any half second measures alike.
        const double bass = 0.3 * (0.75 + 0.25 * std::exp(-inBeat / 0.12)) * std::sin(2 * M_PI * 60 * t);
        double hat = 0;
        for (double f : hats)
            hat += std::sin(2 * M_PI * f * t + f);
        hat *= 0.04 * (0.85 + 0.15 * std::exp(-inEighth / 0.03));
        const float v = float(bass + 0.2 * std::sin(2 * M_PI * tone * t) + hat + marker[i]);
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

std::vector<float> toneTrack(double hz, double amplitude, double seconds) {
    const size_t frames = size_t(seconds * 44100);
    std::vector<float> out(frames * 2);
    for (size_t i = 0; i < frames; ++i)
        out[2 * i] = out[2 * i + 1] = float(amplitude * std::sin(2 * M_PI * hz * double(i) / 44100));
    return out;
}

} // namespace

bool Tracks::make(const std::string& folder) {
    // The deck tracks come with their replay gain, at the value the decks play at unity, and their
    // tempo: their level and tempo stay as they are from the load on, while the analysis runs (the
    // quiet track is analysed after its load).
    // A crate with a sub-folder holds the same track again under other names (hard links: no space).
    const std::vector<float> one = beatTrack(kBpm1, kTone1, kSeconds);
    std::ofstream cover(folder + "deck1.bmp", std::ios::binary);
    cover << bmpBytes(40, 40, [](int, int) { return kCoverRgb; });
    cover.close();
    return cover && writeWav(folder + kDeck1, one, WavTags{"Deck One", "Test Artist", -6, kBpm1}) &&
           writeWav(folder + kDeck2, beatTrack(kBpm2, kTone2, kSeconds),
                    WavTags{"Deck Two", "Test Artist", -6, kBpm2}) &&
           writeWav(folder + kQuiet, toneTrack(1000, std::pow(10, -30 / 20.0), 60), WavTags{"Quiet", "Test Artist"}) &&
           link((folder + kDeck1).c_str(), (folder + kSecond).c_str()) == 0 &&
           mkdir((folder + "Crate").c_str(), 0755) == 0 && mkdir((folder + "Crate/Deep").c_str(), 0755) == 0 &&
           link((folder + kDeck1).c_str(), (folder + "Crate/crate.wav").c_str()) == 0 &&
           link((folder + kDeck1).c_str(), (folder + "Crate/Deep/deep.wav").c_str()) == 0;
}

double number(const std::string& text) {
    return text.empty() ? 0 : strtod(text.c_str(), nullptr);
}

Rig::Rig(RigOptions options) : options_(std::move(options)) {}

Rig::~Rig() {
    tap_.reset();
    session_.reset(); // the program and the JACK server end before the X server
    x_.reset();
}

bool Rig::start(std::string* why, bool* missing) {
    *missing = false;
    setenv("NO_AT_BRIDGE", "1", 1);
    for (const char* p : {"Xvfb", "jackd", "xdotool", "import"})
        if (!haveProgram(p)) {
            *missing = true;
            *why = std::string(p) + " is not installed";
            return false;
        }
    const std::string program = buildFolder() + "/tarlume_probe";
    if (access(program.c_str(), X_OK) != 0) return *why = "build/tarlume_probe is missing", false;
    x_ = std::make_unique<XvfbServer>();
    if (x_->display().empty()) return *missing = true, *why = "Xvfb could not start", false;
    map_ = std::make_unique<SkinMap>(buildFolder() + "/skins/" + options_.skin + ".xml");
    if (map_->width < 1) return *why = "the skin " + options_.skin + " did not load", false;
    session_ = std::make_unique<ProgramSession>("e2e");
    // The tests of several areas run side by side: JACK runs a few servers at once, the others wait. Real-time,
    // as a DJ's server runs: without, a loaded machine held the server's and the program's audio threads back
    // past their 5.8 ms periods again and again (xruns in three captures running, and the graph at a fraction of
    // real time while the program started), which the rows' measures of pitch, loops and routing can't tell
    // from the program's faults. Their threads take little time, so they starve nothing else.
    if (!session_->startJack(4, 4, 600, true)) return *why = "the JACK server did not start", false;
    if (!Tracks::make(session_->music)) return *why = "the tracks could not be written", false;
    std::ofstream config(session_->configPath());
    // The browser opens on the music folder, as a DJ who browsed there before finds it.
    config << "<TARLUMECONFIG>\n<CURRENTFOLDER>" << session_->music << "</CURRENTFOLDER>\n<FOLDERHISTORY0>"
           << session_->music << "</FOLDERHISTORY0>\n<SKIN>" << options_.skin
           << "</SKIN>\n<WARNWHENLOADINGTRACK>no</WARNWHENLOADINGTRACK>\n";
    if (options_.inputs)
        config << "<INPUTCHANNELS0>0/1</INPUTCHANNELS0>\n<INPUTCHANNELS1>2/3</INPUTCHANNELS1>\n"
               << "<DEFAULTVINYL0>2</DEFAULTVINYL0>\n<DEFAULTVINYL1>2</DEFAULTVINYL1>\n";
    config << options_.settings << "</TARLUMECONFIG>\n";
    config.close();
    const std::string socket = session_->root.path + "probe.sock";
    session_->env["TARLUME_PROBE"] = socket;
    window_ = session_->startApp("app.log", "tarlume_probe");
    if (window_.empty()) return *why = "no window:\n" + log(), false;
    if (!probe_.connect(socket)) return *why = "the probe does not answer:\n" + log(), false;
    // A program that stops answering ends the area at once, saying where it stands.
    probe_.onSilent = [this] { throw std::runtime_error(probe_.lost() + "\n" + programState()); };
    // A JACK server on a loaded machine was seen to turn clients away for good (the test's own, or the
    // program's): the server alone is started anew, up to three times, and the program, which looks for its
    // device every second, takes it again by itself. A server that ran far slower than real time is started anew
    // with the program: one program was seen not to take the new server in 90 s (what held it is not known), and
    // this start is for measuring the controls, not that recovery, which the engine's own tests measure.
    bool slow = false;
    for (restarts_ = 0;; ++restarts_) {
        if (restarts_ > 0) {
            fprintf(stderr, "%s\nstarting the JACK server anew%s\n", why->c_str(), slow ? ", and the program" : "");
            tap_.reset();
            if (slow) stopChild(session_->app);
            if (!session_->jack->restart()) return *why = "the JACK server did not start again", false;
            if (slow) {
                window_ = session_->startApp("app.log", "tarlume_probe");
                if (window_.empty()) return *why = "no window after the new start:\n" + log(), false;
                if (!probe_.connect(socket))
                    return *why = "the probe does not answer after the new start:\n" + log(), false;
            }
        }
        slow = false;
        // A server just started was seen to turn the test's client away once: it is asked again for a while
        // before the server is taken for one that turns every client away.
        waitFor([&] { return (tap_ = std::make_unique<JackTap>(session_->jack->name()))->ok(); }, 10, 500);
        if (!tap_->ok())
            *why = "the test's JACK client could not start";
        else if (waitFor([&] { return tap_->connect(kProgramPorts), tap_->recording(kProgramPorts); }, 30)) {
            // The program's start (its window, the skin drawn by software GL, five other areas starting beside it)
            // holds its process thread back: on a loaded machine the graph ran at a fraction of real time for a
            // second or two after it. A server was also seen running its cycles far slower than real time for a
            // minute or for good after such a start (a few periods a second), which no row's margin survives: a
            // minute without one second at a quarter of the pace is that.
            int64_t ran = 0;
            if (waitFor(
                    [&] {
                        const int64_t from = tap_->now();
                        std::this_thread::sleep_for(std::chrono::seconds(1));
                        return (ran = tap_->now() - from) > tap_->rate() / 4;
                    },
                    60, 0))
                break;
            slow = true;
            *why = "the JACK server ran no second at a quarter of real time in a minute (the last: " +
                   std::to_string(ran) + " frames):\n" + log();
        } else {
            std::string ports;
            for (const std::string& port : tap_->programPorts(".", true))
                ports += " " + port;
            *why = "the program has no four JACK outputs (the server's outputs:" + ports + "):\n" + programState();
        }
        if (restarts_ == 3) return false;
    }
    // The first frames size the window to the skin.
    int ww = 0, wh = 0;
    waitFor([&] {
        std::string geometry = run("timeout -k 5 30 xdotool getwindowgeometry --shell " + window_);
        sscanf(geometry.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &wx_, &wy_, &ww, &wh);
        return ww == int(map_->width) && wh == std::min(int(map_->height), 1000);
    });
    xdo("windowfocus --sync " + window_);
    tap_->follow(kProgramPorts);
    startPorts_ = outputPorts();
    return true;
}

std::string Rig::log() const {
    return session_ ? readFile(session_->root.path + "app.log") : std::string();
}

std::string Rig::programState() {
    std::string state = "The probe's last questions and answers:\n" + probe_.history();
    const pid_t pid = session_ ? session_->app : -1;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        session_->app = -1;
        state += WIFSIGNALED(status) ? "The program was ended by signal " + std::to_string(WTERMSIG(status))
                                     : "The program ended with status " + std::to_string(WEXITSTATUS(status));
        state += ".\n";
        if (WCOREDUMP(status) && haveProgram("gdb")) state += "Where its threads were:\n" + crashStack(buildFolder() + "/tarlume_probe", pid);
    } else if (pid > 0) {
        const std::string id = std::to_string(pid);
        if (haveProgram("gdb")) {
            // The program named by its process: the file may have been built anew since it started.
            state += "Where its threads are:\n" + threadStacks("/proc/" + id + "/exe -p " + id);
        } else {
            // Without a debugger: each thread's name, state and the kernel function it sleeps in.
            state += "Its threads (name, state, waiting in):\n" +
                     run("cd /proc/" + id + "/task && for t in *; do echo \"  $t $(cat $t/comm) " +
                         "$(cut -d' ' -f3 $t/stat) $(cat $t/wchan)\"; done 2>&1");
        }
    }
    return state + "The program's output:\n" + log();
}

// ---- The skin ----------------------------------------------------------------------------------

Control Rig::control(const std::string& name, int deck) {
    Control c;
    c.name = name;
    c.placed = map_->object(name);
    if (!c.placed.object) return c;
    c.value = map_->valueName(c.placed.object);
    const int player = c.placed.object->player;
    // An object of a window shown on one layer only is on that layer; one of a deck window on the deck's.
    c.layer = 0;
    if (c.placed.window->layerState(deck) && c.placed.window->layerState(deck)->visible) c.layer = deck;
    c.deck = player >= 0 && player <= 3 ? player : c.layer;
    return c;
}

Control Rig::find(const std::string& value, int deck, const std::optional<std::string>& specifier, int type) {
    Control found;
    map_->forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
        if (found.valid() || map_->valueName(o) != value || (type && o->type != type)) return;
        if (specifier && o->valueSpecifier != *specifier) return;
        // An object of no deck of its own belongs to the layers its window shows; a window shown later (a
        // view in another's place) shows layer 0.
        const bool own = o->player == deck;
        const bool auto_ = o->player < 0 || o->player > 3;
        bool anyShown = false;
        for (int l = 0; l < 4; ++l)
            anyShown = anyShown || (w->layerState(l) && w->layerState(l)->visible);
        const bool layerShown = anyShown ? w->layerState(deck) && w->layerState(deck)->visible : deck == 0;
        if (!own && !(auto_ && layerShown)) return;
        found = control(o->name, deck);
    });
    return found;
}

bool Rig::showDeck(int deck) {
    SkinWindow* decks = nullptr; // the window of the decks' play buttons
    map_->forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
        if (!decks && map_->valueName(o) == "pause") decks = w;
    });
    auto shown = [&](int layer) {
        return probe_.facts("window\t" + decks->name + "\t" + std::to_string(layer))["visible"] == "1";
    };
    // Else the button whose script shows that layer.
    bool pressed = shown(deck);
    const std::string script = "showwindow," + decks->name + "|" + std::to_string(deck);
    map_->forEachObject([&](SkinWindow*, const std::string&, SkinObject* o) {
        if (pressed || map_->valueName(o) != "executescript" ||
            readFile(map_->skin.folder + o->valueSpecifier).find(script) == std::string::npos)
            return;
        pressed = true;
        click(control(o->name));
        until([&] { return shown(deck); });
    });
    for (int layer = 0; layer < 4; ++layer)
        decks->layerState(layer)->visible = shown(layer);
    return decks->layerState(deck)->visible;
}

Point Rig::reach(const Control& c, float fx, float fy) {
    if (!c.valid()) return Point{};
    // A window shown in another's place (the options, the video view) first, by the button whose script
    // toggles it.
    const std::string window = c.placed.window->name, layer = std::to_string(c.layer);
    if (probe_.facts("window\t" + window + "\t" + layer)["visible"] == "0") {
        const std::string script = (window[0] == '_' ? window.substr(1) : window) + ".tlmscript";
        Control button;
        map_->forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
            if (!button.valid() && w != c.placed.window && map_->valueName(o) == "executescript" &&
                o->valueSpecifier == script)
                button = control(o->name, c.layer);
        });
        if (button.valid()) {
            click(button.placed.at(button.layer));
            until([&] { return probe_.facts("window\t" + window + "\t" + layer)["visible"] == "1"; });
        }
    }
    if (!c.placed.tab.empty()) {
        // The tab's button: a "tabselect" object of the same window naming the tab.
        Control button;
        map_->forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
            if (!button.valid() && w == c.placed.window && map_->valueName(o) == "tabselect" &&
                o->valueSpecifier == c.placed.tab)
                button = control(o->name, c.layer);
        });
        const Value shown = value("tabselect", c.placed.tab, c.layer, c.placed.window->name);
        if (button.valid() && !shown.lit) {
            click(button.placed.at(button.layer));
            until([&] { return value("tabselect", c.placed.tab, c.layer, c.placed.window->name).lit; });
        }
    }
    return c.placed.at(c.layer, fx, fy);
}

// ---- Driving -----------------------------------------------------------------------------------

std::string Rig::at(Point p) const {
    return std::to_string(wx_ + p.x) + " " + std::to_string(wy_ + p.y);
}

void Rig::trace(const char* what, std::chrono::steady_clock::time_point since) const {
    static const bool on = getenv("TARLUME_E2E_TRACE") != nullptr;
    if (on)
        fprintf(stderr, "    %-8s %.3f s\n", what,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
}

void Rig::moveTo(Point p) {
    if (p.x == pointer_.x && p.y == pointer_.y) return;
    xdo("mousemove --sync " + at(p));
    pointer_ = p;
}

void Rig::click(Point p, int button) {
    if (!p.valid()) {
        ADD_FAILURE() << "a click at no place";
        return;
    }
    const auto t = std::chrono::steady_clock::now();
    moveTo(p);
    xdo("click " + std::to_string(button));
    frames();
    trace("click", t);
}

void Rig::doubleClick(Point p) {
    moveTo(p);
    xdo("click --repeat 2 --delay 60 1");
    frames();
}

void Rig::press(Point p) {
    moveTo(p);
    xdo("mousedown 1");
    frames();
}

void Rig::release() {
    xdo("mouseup 1");
    frames();
}

void Rig::drag(Point from, int dx, int dy, int steps) {
    press(from);
    for (int step = 1; step <= steps; ++step) {
        moveTo(Point{from.x + dx * step / steps, from.y + dy * step / steps});
        frames(1);
    }
    release();
}

void Rig::key(const std::string& keys) {
    xdo("key --clearmodifiers --delay 30 " + keys);
    frames();
}

void Rig::type(const std::string& text) {
    xdo("type --delay 40 '" + text + "'");
    frames();
}

bool Rig::drop(Point p, const std::vector<std::string>& files) {
    const bool done = xdndDrop(std::stoul(window_), wx_ + p.x, wy_ + p.y, files, 60000);
    pointer_ = p; // the drop warps the pointer there
    frames();
    return done;
}

// ---- State -------------------------------------------------------------------------------------

std::map<std::string, std::string> Rig::deck(int n) {
    const auto t = std::chrono::steady_clock::now();
    auto facts = probe_.facts("deck\t" + std::to_string(n));
    trace("deck", t);
    return facts;
}

double Rig::deckFact(int n, const std::string& key) {
    return number(deck(n)[key]);
}

std::map<std::string, std::string> Rig::engine() {
    return probe_.facts("engine");
}

double Rig::engineFact(const std::string& key) {
    return number(engine()[key]);
}

Value Rig::value(const std::string& name, const std::string& specifier, int deck, const std::string& window) {
    std::vector<std::string> f = probe_.ask("value\t" + name + "\t" + specifier + "\t" + std::to_string(deck) +
                                            (window.empty() ? "" : "\t" + window));
    Value v;
    if (f.size() < 6) return v;
    v.ok = true;
    v.text = f[0];
    v.number = number(f[1]);
    v.lit = f[2] == "1";
    v.min = number(f[3]);
    v.max = number(f[4]);
    v.relative = number(f[5]);
    return v;
}

Value Rig::value(const Control& c) {
    return value(c.value, c.specifier(), c.deck, c.placed.window ? c.placed.window->name : "");
}

ListState Rig::list(const std::string& name) {
    ListState state;
    const std::vector<std::string> f = probe_.ask("list\t" + name);
    if (f.empty()) return state;
    state.header = f[0].find("header=1") != std::string::npos;
    const size_t scroll = f[0].find("scroll=");
    if (scroll != std::string::npos) state.scroll = number(f[0].substr(scroll + 7));
    for (size_t i = 1; i < f.size(); ++i) {
        std::vector<std::string> parts;
        std::string part;
        for (char ch : f[i] + "\x1f")
            if (ch == '\x1f') {
                parts.push_back(part);
                part.clear();
            } else {
                part += ch;
            }
        if (parts.size() < 6) continue;
        state.rows.push_back(ListRow{parts[0], parts[4], parts[5], number(parts[1]) + state.scroll,
                                     number(parts[2]) + state.scroll, parts[3] == "1"});
    }
    return state;
}

Point Rig::rowPoint(const Control& list, const ListRow& row, float fx) {
    const SkinRect* r = list.placed.object->rect.get();
    if (row.top < 0 || row.bottom > r->height) return Point{};
    Point at = reach(list, fx, 0);
    return Point{at.x, at.y + int((row.top + row.bottom) / 2)};
}

std::optional<ListRow> Rig::row(const ListState& list, const std::string& text) {
    for (const ListRow& r : list.rows)
        if (r.text.find(text) != std::string::npos || r.file.find(text) != std::string::npos) return r;
    return std::nullopt;
}

Rig::Window Rig::otherWindow(double seconds) {
    Window found;
    const std::regex line("(0x[0-9a-f]+) \"tarlume\": .* ([0-9]+)x([0-9]+)[-+0-9]+ +\\+(-?[0-9]+)\\+(-?[0-9]+)");
    waitFor(
        [&] {
            std::istringstream tree(run("timeout -k 5 30 xwininfo -root -tree 2>/dev/null"));
            for (std::string l; std::getline(tree, l);) {
                std::smatch m;
                if (!std::regex_search(l, m, line)) continue;
                const std::string id = std::to_string(std::stoul(m[1].str(), nullptr, 16));
                if (id == window_) continue;
                found = Window{id, std::stoi(m[4].str()), std::stoi(m[5].str()), std::stoi(m[2].str()),
                               std::stoi(m[3].str())};
                return true;
            }
            return false;
        },
        seconds);
    return found;
}

bool Rig::choosePopup(const std::string& label) {
    // The pop-up's rows and their places come with its first frame; a click goes on once it has closed.
    Window popup;
    std::optional<ListRow> r;
    if (!waitFor(
            [&] {
                popup = otherWindow(0);
                r = row(list("popup"), label);
                return !popup.id.empty() && r && r->bottom > r->top;
            },
            30, 50))
        return false;
    // The pop-up's own place: not a place of the main window.
    xdo("mousemove --sync " + std::to_string(popup.x + 10) + " " +
        std::to_string(popup.y + int((r->top + r->bottom) / 2)) + " click 1");
    pointer_ = Point{};
    return until([&] { return otherWindow(0).id.empty(); }, 5);
}

void Rig::closeWindow(const std::string& id) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = ::Window(std::stoul(id));
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", 0);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", 0));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, e.xclient.window, 0, NoEventMask, &e);
    XCloseDisplay(d);
    frames();
}

std::string Rig::keyboardWindow() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return "";
    ::Window focus = 0; // None: Xlib's name is undefined here
    int revertTo = 0;
    XGetInputFocus(d, &focus, &revertTo);
    XCloseDisplay(d);
    return focus == 0 ? "" : std::to_string(focus);
}

void Rig::dropKeyboard(bool toRoot) {
    if (Display* d = XOpenDisplay(nullptr)) {
        XSetInputFocus(d, toRoot ? DefaultRootWindow(d) : 0, 0, CurrentTime); // reverting to None
        XCloseDisplay(d);
    }
}

void Rig::frames(int n) {
    const std::vector<std::string> first = probe_.ask("frame");
    if (first.empty()) return;
    const long start = atol(first[0].c_str());
    waitFor(
        [&] {
            const std::vector<std::string> f = probe_.ask("frame");
            return f.empty() || atol(f[0].c_str()) >= start + n;
        },
        10, 5);
}

std::vector<unsigned char> Rig::pixels(const Control& c) {
    Screenshot shot;
    if (!shot.read(window_, session_->root.path + "shot.ppm")) return {};
    const Point from = reach(c, 0, 0), to = reach(c, 1, 1);
    return shot.area(from.x, from.y, to.x, to.y);
}

// ---- Sound -------------------------------------------------------------------------------------

Heard Rig::listen(double seconds, double settle, Take take) {
    const auto t = std::chrono::steady_clock::now();
    Heard heard;
    for (int tries = 0;; ++tries) {
        const int64_t asked = tap_->now();
        heard = Heard{tap_->listen(seconds, settle)};
        const bool spoilt = !heard.empty() && tap_->xrunsSince(asked) > 0;
        if (!spoilt) break;
        if (take == kOnce || (tries >= kRetakes &&
                              std::chrono::steady_clock::now() - t > std::chrono::duration<double>(kRetakeSeconds))) {
            spoilt_ = true;
            break;
        }
        ++retaken_;
    }
    trace("listen", t);
    return heard;
}

bool Rig::recording(double seconds) {
    return waitFor([&] { return tap_->recording(kProgramPorts); }, seconds, 10);
}

std::vector<std::string> Rig::outputPorts() {
    return tap_->programPorts(kProgramPorts, true);
}

// ---- Tracks ------------------------------------------------------------------------------------

bool Rig::load(int deck, const std::string& file) {
    Control title = find("trackinfotitle", deck);
    if (!title.valid()) return false;
    const std::string path = track(file);
    if (!drop(title.placed.at(title.layer), {path})) return false;
    return until(
        [&] {
            std::map<std::string, std::string> d = this->deck(deck);
            return d["file"] == path && d["replayGainApplied"] == "1";
        },
        120);
}

bool Rig::play(int deck, bool on) {
    if ((deckFact(deck, "playing") > 0) == on) return true;
    Control button = find("pause", deck);
    if (!button.valid()) return false;
    click(button);
    return until([&] { return (deckFact(deck, "playing") > 0) == on; });
}

} // namespace e2e
