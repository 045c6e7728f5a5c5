// The tarlume program as a DJ uses it: started under an X server and a JACK server of the test's
// own, with its home and user data in a scratch folder holding a few tagged tracks, driven with
// xdotool. Where to click is read from the default skin itself, loaded here by the skin engine.
#include "XvfbServer.h"
#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "support/SanitizerDefaults.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "XdndSource.h" // last: Xlib's macros
#include "support/MissingComponent.h"

namespace {

const std::string buildDir = TARLUME_GENERATED_FIXTURES_DIR "/..";

bool haveProgram(const char* name) {
    return system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Asks `ready` every 100 ms until it holds or `seconds` have passed; whether it held. The deadlines are
// generous: on a loaded machine the program, Xvfb and JACK answer many times slower than alone.
template <class Ready> bool waitFor(Ready ready, double seconds = 60) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until) return false;
        sleepMs(100);
    }
    return true;
}

pid_t spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
            const std::string& log) {
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        FILE* f = fopen(log.c_str(), "w");
        if (f) {
            dup2(fileno(f), 1);
            dup2(fileno(f), 2);
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for a child to end; false when it did not within the time.
bool waitExit(pid_t pid, int ms, int* status) {
    for (int t = 0; t < ms; t += 50) {
        if (waitpid(pid, status, WNOHANG) == pid) return true;
        sleepMs(50);
    }
    return false;
}

// Asks a child to end (a JACK server killed outright leaves its entry in JACK's registry, which
// holds few), and kills it when it does not.
void stop(pid_t& pid) {
    if (pid <= 0) return;
    int status;
    kill(pid, SIGTERM);
    if (!waitExit(pid, 5000, &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pid = -1;
}

// Names every value so the skin's objects can be found by what they do. The skin's windows are loaded on
// threads of their own, each asking for its values' ids at once.
class NamingInterface : public SkinInterface {
public:
    int getValue(const std::string& name) override {
        int id = SkinInterface::getValue(name);
        std::lock_guard<std::mutex> hold(lock);
        if (id == 0) {
            auto found = ids.find(strtolower(name));
            if (found != ids.end()) return found->second;
            id = 1000 + int(ids.size());
            ids[strtolower(name)] = id;
        }
        names[id] = strtolower(name);
        return id;
    }
    std::string nameOf(int id) {
        std::lock_guard<std::mutex> hold(lock);
        auto found = names.find(id);
        return found == names.end() ? std::string() : found->second;
    }

private:
    std::mutex lock;
    std::map<std::string, int> ids;
    std::map<int, std::string> names;
};

struct Point {
    int x = -1, y = -1;
};

struct SkinMap {
    NamingInterface iface;
    Skin skin{&iface};
    float width = 0, height = 0;

    explicit SkinMap(const std::string& path) {
        skin.loadSkin(path);
        skin.getBounds(&width, &height);
    }
    // The object doing `value` in layer `layer`, in window pixels; `fx`, `fy` place the point
    // inside the object (0.5: its centre).
    Point find(const std::string& value, int layer, float fx = 0.5f, float fy = 0.5f, const char* window = nullptr) {
        for (auto& w : skin.windows) {
            if (window && strtolower(w->name) != window) continue;
            SkinWindowStateInfo* st = w->layerState(layer);
            if (!st || !st->visible || st->hidden) continue;
            for (auto& g : w->tabGroups)
                for (int t = 0; t < g->getNbTabs(); ++t) {
                    if (g->getCurTab(layer) != t) continue;
                    SkinTab* tab = g->getTab(t);
                    for (int i = 0; tab->getObj(i); ++i) {
                        SkinObject* o = tab->getObj(i);
                        if (iface.nameOf(o->value) != value) continue;
                        const SkinRect* r = o->rect.get();
                        return Point{int(st->x + r->left + r->width * fx), int(st->y + r->top + r->height * fy)};
                    }
                }
        }
        return Point{};
    }
};

// The window's pixels as R, G, B, read back from the X server.
struct Screenshot {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    bool read(const std::string& window, const std::string& file) {
        // ImageMagick's own program: an "import" earlier on the PATH may be something else.
        const char* import = access("/usr/bin/import-im6.q16", X_OK) == 0 ? "/usr/bin/import-im6.q16" : "import";
        run("timeout -k 5 60 " + std::string(import) + " -window " + window + " -depth 8 ppm:" + file + " 2>/dev/null");
        std::ifstream in(file, std::ios::binary);
        std::string magic;
        int maxValue = 0;
        in >> magic >> width >> height >> maxValue;
        in.get();
        if (magic != "P6" || width <= 0 || height <= 0 || maxValue != 255) return false;
        rgb.resize(size_t(width) * size_t(height) * 3);
        in.read(reinterpret_cast<char*>(rgb.data()), std::streamsize(rgb.size()));
        return bool(in);
    }
    // Share of pixels that are not black.
    double drawnShare() const {
        size_t lit = 0;
        for (size_t i = 0; i + 2 < rgb.size(); i += 3)
            if (rgb[i] > 8 || rgb[i + 1] > 8 || rgb[i + 2] > 8) ++lit;
        return rgb.empty() ? 0 : double(lit) / double(rgb.size() / 3);
    }
};

// A 16-bit, 32-bit or float WAV file's samples (full scale 1.0, interleaved); empty when unreadable.
struct Wav {
    int rate = 0, channels = 0;
    std::vector<double> samples;
    explicit Wav(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0) return;
        int bits = 16, format = 1;
        for (size_t pos = 12; pos + 8 <= bytes.size();) {
            std::string id = bytes.substr(pos, 4);
            uint32_t size;
            memcpy(&size, bytes.data() + pos + 4, 4);
            pos += 8;
            size = uint32_t(std::min<size_t>(size, bytes.size() - pos));
            if (id == "fmt " && size >= 16) {
                uint16_t f, c, b;
                uint32_t r;
                memcpy(&f, bytes.data() + pos, 2);
                memcpy(&c, bytes.data() + pos + 2, 2);
                memcpy(&r, bytes.data() + pos + 4, 4);
                memcpy(&b, bytes.data() + pos + 14, 2);
                format = f, channels = c, rate = int(r), bits = b;
            } else if (id == "data") {
                const char* d = bytes.data() + pos;
                for (size_t i = 0; i + size_t(bits / 8) <= size; i += size_t(bits / 8)) {
                    if (bits == 16) {
                        int16_t v;
                        memcpy(&v, d + i, 2);
                        samples.push_back(v / 32768.0);
                    } else if (bits == 32 && format == 3) {
                        float v;
                        memcpy(&v, d + i, 4);
                        samples.push_back(v);
                    } else if (bits == 32) {
                        int32_t v;
                        memcpy(&v, d + i, 4);
                        samples.push_back(v / 2147483648.0);
                    }
                }
                return;
            }
            pos += size + (size & 1);
        }
    }
    double level() const {
        double sum = 0;
        for (double v : samples)
            sum += v * v;
        return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
    }
    // The first channel's frequency from its rising zero crossings over the span where it sounds
    // (a deck may start a little after the capture), in Hz.
    double frequency() const {
        if (channels <= 0 || rate <= 0) return 0;
        size_t frames = samples.size() / size_t(channels), first = frames, last = 0;
        auto at = [&](size_t f) { return samples[f * size_t(channels)]; };
        for (size_t f = 0; f < frames; ++f)
            if (std::fabs(at(f)) > 0.02) {
                first = std::min(first, f);
                last = f;
            }
        if (first >= last) return 0;
        int crossings = 0;
        for (size_t f = first + 1; f <= last; ++f)
            if (at(f - 1) < 0 && at(f) >= 0) ++crossings;
        return crossings * double(rate) / double(last - first);
    }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Session {
    testsupport::TempDir root{"shell-e2e"};
    std::string home, data, music, jackName;
    pid_t jack = -1, app = -1;
    std::map<std::string, std::string> env;

    Session() {
        home = root.path + "home/";
        data = root.path + "data/";
        music = home + "Music/";
        run("mkdir -p " + music + " " + data + "tarlume");
        jackName = "tarlume-shell-" + std::to_string(getpid());
        // A sanitizer build of the program reports what system libraries keep for the process's life (font,
        // GL, GTK and D-Bus caches) as leaks, and their own threads' hand-overs as races: only those are set
        // aside, as for the tests themselves. Other options the caller gave the sanitizers still apply.
        auto options = [&](const char* variable, const char* file, const char* suppressions) {
            const char* given = getenv(variable);
            return std::string(given ? given : "") + ":suppressions=" + root.write(file, suppressions);
        };
        env = {{"LSAN_OPTIONS", options("LSAN_OPTIONS", "lsan.supp", __lsan_default_suppressions())},
               {"TSAN_OPTIONS", options("TSAN_OPTIONS", "tsan.supp", __tsan_default_suppressions())},
               {"HOME", home},
               {"XDG_DATA_HOME", data},
               {"JACK_DEFAULT_SERVER", jackName},
               {"JACK_NO_START_SERVER", "1"},
               {"NO_AT_BRIDGE", "1"},
               {"GSETTINGS_BACKEND", "memory"}};
    }
    ~Session() {
        stop(app);
        stop(jack);
    }
    // JACK keeps a small table of running servers: when other tests' servers fill it, this one
    // ends at once, and is started again when a place is free.
    bool startJack() {
        for (int attempt = 0; attempt < 30; ++attempt) {
            jack =
                spawn({"jackd", "-n", jackName, "-d", "dummy", "-r", "44100", "-p", "256"}, {}, root.path + "jack.log");
            for (int i = 0; i < 100; ++i) {
                int status;
                if (waitpid(jack, &status, WNOHANG) == jack) {
                    jack = -1;
                    break;
                }
                if (run("JACK_DEFAULT_SERVER=" + jackName +
                        " JACK_NO_START_SERVER=1 timeout -k 5 20 jack_lsp 2>/dev/null")
                        .find("system:playback_1") != std::string::npos)
                    return true;
                sleepMs(100);
            }
            if (jack > 0) return false; // running but never ready
            sleepMs(1000);
        }
        return false;
    }
    std::string jackEnv() const { return "JACK_DEFAULT_SERVER=" + jackName + " JACK_NO_START_SERVER=1 "; }
    // Starts the program and waits for its window; the window id, or "" when none came.
    std::string startApp(const std::string& log) {
        app = spawn({buildDir + "/tarlume"}, env, root.path + log);
        std::string id;
        waitFor([&] {
            id = run("timeout -k 5 30 xdotool search --onlyvisible --name '^tarlume$' 2>/dev/null | head -1");
            return !id.empty();
        });
        if (!id.empty()) id.pop_back();
        return id;
    }
};

void xdo(const std::string& args) {
    // Bounded: a --sync move to a place the pointer never reaches would wait for ever.
    run("timeout -k 5 30 xdotool " + args + " 2>/dev/null");
}

// Everything a run needs: the servers, the scratch home with two tagged tracks, where the default
// skin's controls are, and the program's window.
class ShellEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("NO_AT_BRIDGE", "1", 1);
        for (const char* p : {"Xvfb", "jackd", "xdotool", "import", "sox", "lame", "jack_rec"})
            if (!haveProgram(p)) {
                TARLUME_MISSING_COMPONENT() << p << " is not installed";
            }
        ASSERT_EQ(access((buildDir + "/tarlume").c_str(), X_OK), 0) << "build/tarlume is missing";
        ASSERT_EQ(access((buildDir + "/skins/kolt-1280.xml").c_str(), R_OK), 0) << "the default skin is missing";
        x = std::make_unique<testsupport::XvfbServer>();
        if (x->display().empty()) {
            TARLUME_MISSING_COMPONENT() << "Xvfb could not start";
        }
        s = std::make_unique<Session>();
        ASSERT_TRUE(s->startJack()) << readFile(s->root.path + "jack.log");
        for (int i = 1; i <= 2; ++i)
            run("sox -n -r 44100 -c 2 -b 16 " + s->root.path + "t.wav synth 20 sine " + std::to_string(330 * i) +
                " vol 0.5 2>/dev/null && lame --quiet --tt 'Tone " + std::to_string(i) + "' --ta 'Test Artist' " +
                s->root.path + "t.wav " + s->music + "tone" + std::to_string(i) + ".mp3");
        // The browser opens on the music folder, as a DJ who had browsed there before would find it.
        std::ofstream(s->data + "tarlume/config.xml")
            << "<TARLUMECONFIG>\n<CURRENTFOLDER>" << s->music << "</CURRENTFOLDER>\n</TARLUMECONFIG>\n";
        map = std::make_unique<SkinMap>(buildDir + "/skins/kolt-1280.xml");
        window = s->startApp("run1.log");
        ASSERT_FALSE(window.empty()) << readFile(s->root.path + "run1.log");
        // The first frames size the window to the skin and draw it.
        waitFor([&] {
            std::string geometry = run("timeout -k 5 30 xdotool getwindowgeometry --shell " + window);
            sscanf(geometry.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &wx, &wy, &ww, &wh);
            return ww == int(map->width) && wh == std::min(int(map->height), 1000);
        });
        waitFor([&] {
            Screenshot shot;
            return shot.read(window, s->root.path + "first.ppm") && shot.drawnShare() > 0.5;
        });
        xdo("windowfocus --sync " + window);
    }
    void TearDown() override {
        s.reset(); // the program and the JACK server end before the X server
        x.reset();
    }
    // The control doing `value` on deck 1's layer; fails the test when the skin has none.
    Point control(const std::string& value, float fx = 0.5f, float fy = 0.5f) {
        Point p = map->find(value, 0, fx, fy);
        EXPECT_GE(p.x, 0) << "the default skin has no " << value;
        return p;
    }
    std::string at(Point p) const { return std::to_string(wx + p.x) + " " + std::to_string(wy + p.y); }
    void click(Point p) { xdo("mousemove --sync " + at(p) + " click 1"); }
    void drag(Point from, int dx, int dy) {
        xdo("mousemove --sync " + at(from) + " mousedown 1");
        for (int step = 1; step <= 10; ++step) {
            xdo("mousemove --sync " + at(Point{from.x + dx * step / 10, from.y + dy * step / 10}));
            sleepMs(30);
        }
        xdo("mouseup 1");
    }
    // Drops two files on a deck as a file manager would (the first loads), presses its play
    // button and pushes its fader up.
    void loadAndPlay(int deck, const std::string& first, const std::string& second) {
        drop(deck, {s->music + first, s->music + second});
        click(map->find("pause", deck));
        drag(map->find("volume_player", deck, 0.5f, 0.9f), 0, -200);
    }
    void drop(int deck, const std::vector<std::string>& files) {
        Point title = map->find("trackinfotitle", deck);
        ASSERT_GE(title.x, 0) << "the default skin shows no title on deck " << deck + 1;
        const std::vector<unsigned char> empty = titlePixels(deck);
        ASSERT_TRUE(testsupport::xdndDrop(std::stoul(window), wx + title.x, wy + title.y, files, 60000))
            << "the window took no drop";
        EXPECT_TRUE(waitForTitle(deck, empty)) << "deck " << deck + 1 << " shows no title after the drop";
    }
    // The pixels of deck `deck`'s title; empty when the window could not be read.
    std::vector<unsigned char> titlePixels(int deck) {
        const Point from = map->find("trackinfotitle", deck, 0, 0), to = map->find("trackinfotitle", deck, 1, 1);
        Screenshot shot;
        std::vector<unsigned char> pixels;
        if (!shot.read(window, s->root.path + "title.ppm")) return pixels;
        for (int y = std::max(0, from.y); y < std::min(shot.height, to.y); ++y)
            for (int x = std::max(0, from.x); x < std::min(shot.width, to.x); ++x)
                for (int c = 0; c < 3; ++c)
                    pixels.push_back(shot.rgb[(size_t(y) * size_t(shot.width) + size_t(x)) * 3 + size_t(c)]);
        return pixels;
    }
    // A deck has loaded once its title shows: the pixels of the title's place differ from `before`.
    bool waitForTitle(int deck, const std::vector<unsigned char>& before) {
        return waitFor([&] {
            std::vector<unsigned char> now = titlePixels(deck);
            return !now.empty() && now != before;
        });
    }
    // Drags the browser's first track onto deck 1 inside the window, presses play and pushes the
    // fader up.
    void browseAndPlayDeck1() {
        Point row = control("files", 0.3f, 0.0f);
        row.y += 9;                                            // the first row's middle
        for (int i = 0; i < 120 && !browserShowsTracks(); ++i) // the library reads the folder first
            sleepMs(250);
        ASSERT_TRUE(browserShowsTracks()) << "the browser does not show the music folder's tracks";
        Point title = control("trackinfotitle");
        const std::vector<unsigned char> empty = titlePixels(0);
        drag(row, title.x - row.x, title.y - row.y);
        EXPECT_TRUE(waitForTitle(0, empty)) << "deck 1 shows no title after the drag";
        click(control("pause"));
        drag(control("volume_player", 0.5f, 0.9f), 0, -200);
    }
    // Light row text on the file list's first row.
    bool browserShowsTracks() {
        Screenshot shot;
        Point list = control("files", 0.0f, 0.0f);
        if (!shot.read(window, s->root.path + "browser.ppm")) return false;
        for (int y = list.y; y < list.y + 17 && y < shot.height; ++y)
            for (int x = list.x; x < list.x + 200 && x < shot.width; ++x) {
                const unsigned char* p = &shot.rgb[(size_t(y) * size_t(shot.width) + size_t(x)) * 3];
                if (p[0] > 150 && p[1] > 150 && p[2] > 150) return true;
            }
        return false;
    }
    // Two seconds of the master output's left channel at JACK.
    Wav heard() {
        std::string ports = run(s->jackEnv() + "timeout -k 5 20 jack_lsp 2>/dev/null");
        std::string out = ports.find("tarlume:out_0") != std::string::npos ? "tarlume:out_0" : "system:playback_1";
        std::string file = s->root.path + "heard.wav";
        unlink(file.c_str());
        run(s->jackEnv() + "timeout 60 jack_rec -f " + file + " -d 2 " + out + " >/dev/null 2>&1");
        return Wav(file);
    }
    // The master output once it plays a tone within `tolerance` of `hz` (the clicks and drags before are
    // taken in the program's own time), or the last two seconds heard when none came within the deadline.
    Wav heardOnce(double hz, double tolerance = 20) {
        Wav last = heard();
        waitFor([&] {
            if (last.level() > 0.05 && std::fabs(last.frequency() - hz) < tolerance) return true;
            last = heard();
            return false;
        });
        return last;
    }
    bool waitForExit(int ms, int* status) {
        bool ended = waitExit(s->app, ms, status);
        if (ended) s->app = -1;
        return ended;
    }

    std::unique_ptr<testsupport::XvfbServer> x;
    std::unique_ptr<Session> s;
    std::unique_ptr<SkinMap> map;
    std::string window;
    int wx = 0, wy = 0, ww = 0, wh = 0;
};

} // namespace

TEST_F(ShellEndToEnd, ADjLoadsTwoDecksFromTheBrowserAndAFileDropPlaysAndMixesThemAndTheSettingsComeBack) {
    EXPECT_EQ(ww, int(map->width));
    EXPECT_EQ(wh, std::min(int(map->height), 1000));
    Screenshot start;
    ASSERT_TRUE(start.read(window, s->root.path + "start.ppm"));
    EXPECT_GT(start.drawnShare(), 0.5) << "the window does not show the skin";

    // The browser opens on the music folder; its first track goes onto deck 1 by a drag.
    browseAndPlayDeck1();
    drag(control("crossfader"), -300, 0); // all the way to deck 1's side
    Wav deck1 = heardOnce(495, 185);
    EXPECT_GT(deck1.level(), 0.05) << "no sound of deck 1 reached the JACK ports";
    EXPECT_NEAR(deck1.frequency(), 495, 185) << "deck 1 plays neither track"; // 330 or 660 Hz

    // Two files dropped from a file manager on deck 2: the first loads. Deck 1 pauses and the
    // crossfader goes over to deck 2.
    loadAndPlay(1, "tone2.mp3", "tone1.mp3");
    click(control("pause"));
    drag(control("crossfader", 0.05f), 600, 0);
    Wav deck2 = heardOnce(660);
    EXPECT_GT(deck2.level(), 0.05) << "no sound of deck 2 reached the JACK ports";
    EXPECT_NEAR(deck2.frequency(), 660, 20) << "deck 2 does not play the first file dropped";

    Screenshot playing;
    ASSERT_TRUE(playing.read(window, s->root.path + "playing.ppm"));
    EXPECT_NE(playing.rgb, start.rgb) << "the window did not follow the deck and the crossfader";

    // Quit with the skin's button: the settings are written.
    click(control("quit"));
    int status = 0;
    ASSERT_TRUE(waitForExit(60000, &status)) << "the program did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(s->root.path + "run1.log");
    std::string config = readFile(s->data + "tarlume/config.xml");
    EXPECT_NE(config.find("<CURRENTFOLDER>" + s->music + "</CURRENTFOLDER>"), std::string::npos) << config;
    EXPECT_NE(config.find("<SKIN>kolt-1280</SKIN>"), std::string::npos) << config;

    // A second run comes back to the same folder and deck settings; SIGTERM writes them again.
    window = s->startApp("run2.log");
    ASSERT_FALSE(window.empty()) << readFile(s->root.path + "run2.log");
    // The settings are read once the browser shows the music folder again (the window can come first).
    EXPECT_TRUE(waitFor([&] { return browserShowsTracks(); })) << "the second run does not show the music folder";
    unlink((s->data + "tarlume/config.xml").c_str());
    kill(s->app, SIGTERM);
    ASSERT_TRUE(waitForExit(60000, &status)) << "SIGTERM did not end the program";
    std::string again = readFile(s->data + "tarlume/config.xml");
    auto deckLines = [](const std::string& text) {
        std::string lines;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);)
            if (l.find("CURRENTFOLDER") != std::string::npos || l.find("VC_") != std::string::npos ||
                l.find("DEFAULTVINYL") != std::string::npos || l.find("OUTPUTCHANNELS") != std::string::npos)
                lines += l + "\n";
        return lines;
    };
    EXPECT_FALSE(again.empty()) << "SIGTERM did not write config.xml";
    EXPECT_EQ(deckLines(again), deckLines(config));
}

// The skin's quick-record button asks for the file through the save dialog (GTK, answered by
// typing a path as a DJ would); stopping leaves a file that holds the mix.
TEST_F(ShellEndToEnd, RecordsTheMixThroughTheSaveDialog) {
    // A drop on deck 2 first: the next drop lands where the pointer is then, not where it was.
    drop(1, {s->music + "tone2.mp3"});
    loadAndPlay(0, "tone1.mp3", "tone2.mp3");
    Point record = control("record_quick");
    std::string mix = s->root.path + "mix.wav";
    click(record);
    std::string dialog;
    waitFor([&] {
        dialog =
            run("timeout -k 5 30 xdotool search --onlyvisible --name 'Select name for new mix' 2>/dev/null | head -1");
        return !dialog.empty();
    });
    ASSERT_FALSE(dialog.empty()) << "no save dialog";
    dialog.pop_back();
    xdo("windowfocus --sync " + dialog);
    sleepMs(300);
    xdo("key --clearmodifiers ctrl+a");
    xdo("type --delay 5 '" + mix + "'");
    xdo("key Return");
    // A second of the mix (44.1 kHz stereo, at least 16-bit) is in the file before the recording stops.
    EXPECT_TRUE(waitFor([&] {
        struct stat st;
        return stat(mix.c_str(), &st) == 0 && st.st_size > 44100 * 4;
    })) << "the recording did not start";
    xdo("windowfocus --sync " + window);
    click(record); // stops
    // The file is complete once the recorder has let go of it.
    waitFor([&] { return Wav(mix).level() > 0.05; });
    EXPECT_GT(Wav(mix).level(), 0.05) << "the recording does not hold the mix";
}
