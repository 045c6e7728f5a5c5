// The browser (lists, search, menus, dialogs), loading, the windows' buttons, recording and quitting.
#include "Exercises.h"
#include "Steps.h"

#include "support/Screenshot.h"
#include "support/Wav.h"

#include <algorithm>
#include <map>
#include <sys/stat.h>

namespace e2e {

namespace {

using testsupport::sleepMs;

std::string music(Rig& rig) {
    return rig.session().music;
}

// Shows the music folder in the browser (through the folder list, as a user would) when it shows another.
void backToMusic(Rig& rig) {
    if (rig.engine()["folder"] == music(rig)) return;
    Control folders = rig.find("folders", 0);
    const ListState tree = rig.list("folders");
    const std::optional<ListRow> r = Rig::row(tree, "Music");
    ASSERT_TRUE(r) << "the folder tree shows no Music folder";
    rig.click(rig.rowPoint(folders, *r));
    EXPECT_TRUE(rig.until([&] { return rig.engine()["folder"] == music(rig); }))
        << "cannot get back to the music folder";
}

// Waits until the file list shows a row with that text.
bool filesShow(Rig& rig, const std::string& text, double seconds = 20) {
    return rig.until([&] { return Rig::row(rig.list("files"), text).has_value(); }, seconds);
}

// The folder tree: a click on a folder shows its files and keeps the rest of the tree; a right click
// opens the folder menu, whose "Open with sub-folders" lists the sub-folders' files too.
void folders(Rig& rig, const Control& c) {
    backToMusic(rig);
    ListState before = rig.list("folders");
    ASSERT_FALSE(before.rows.empty());
    const std::optional<ListRow> crate = Rig::row(before, "Crate");
    ASSERT_TRUE(crate) << "the tree does not show the music folder's sub-folder";
    rig.click(rig.rowPoint(c, *crate));
    EXPECT_TRUE(rig.until([&] { return rig.engine()["folder"] == music(rig) + "Crate/"; }))
        << "the folder did not open";
    EXPECT_TRUE(filesShow(rig, "crate.wav")) << "the files of the folder are not listed";
    const ListState after = rig.list("folders");
    EXPECT_TRUE(Rig::row(after, before.rows.front().text))
        << "the tree lost its top entry \"" << before.rows.front().text << "\" (re-rooted)";
    const std::optional<ListRow> again = Rig::row(after, "Crate");
    ASSERT_TRUE(again);
    rig.click(rig.rowPoint(c, *again), 3);
    ASSERT_TRUE(rig.choosePopup("sub-folders")) << "no folder menu with \"Open with sub-folders\"";
    EXPECT_TRUE(filesShow(rig, "deep.wav")) << "the sub-folder's files are not listed";
    backToMusic(rig);
}

// The file list: a click selects a row and loads nothing; a row dragged onto a deck loads there.
void files(Rig& rig, const Control& c) {
    backToMusic(rig);
    ASSERT_TRUE(filesShow(rig, Tracks::kSecond));
    const std::string loaded = rig.deck(1)["file"];
    const std::optional<ListRow> second = Rig::row(rig.list("files"), Tracks::kSecond);
    ASSERT_TRUE(second);
    rig.click(rig.rowPoint(c, *second));
    const std::optional<ListRow> selected = Rig::row(rig.list("files"), Tracks::kSecond);
    EXPECT_TRUE(selected && selected->selected) << "the row is not selected";
    rig.doubleClick(rig.rowPoint(c, *second));
    EXPECT_EQ(rig.deck(1)["file"], loaded) << "a click or double click loaded a track";
    Control title = rig.find("trackinfotitle", 1);
    const Point from = rig.rowPoint(c, *second), to = rig.reach(title);
    rig.drag(from, to.x - from.x, to.y - from.y, 10);
    EXPECT_TRUE(rig.until([&] { return rig.deck(1)["file"] == rig.track(Tracks::kSecond); }))
        << "a row dragged onto deck 2 did not load";
    ASSERT_TRUE(rig.load(1, Tracks::kDeck2));
}

// The playlist: a file row dragged onto it is appended; a row of it dragged onto a deck loads there.
void playlist(Rig& rig, const Control& c) {
    backToMusic(rig);
    ASSERT_TRUE(filesShow(rig, Tracks::kSecond));
    const size_t before = rig.list("playlist").rows.size();
    Control filesList = rig.find("files", 0);
    const std::optional<ListRow> second = Rig::row(rig.list("files"), Tracks::kSecond);
    ASSERT_TRUE(second);
    const Point from = rig.rowPoint(filesList, *second), to = rig.reach(c);
    rig.drag(from, to.x - from.x, to.y - from.y, 10);
    EXPECT_TRUE(rig.until([&] { return rig.list("playlist").rows.size() == before + 1; }))
        << "the dragged row was not appended";
    const ListState list = rig.list("playlist");
    ASSERT_FALSE(list.rows.empty());
    Control title = rig.find("trackinfotitle", 1);
    const Point row = rig.rowPoint(c, list.rows.back()), deck = rig.reach(title);
    rig.drag(row, deck.x - row.x, deck.y - row.y, 10);
    EXPECT_TRUE(rig.until([&] { return rig.deck(1)["file"] == rig.track(Tracks::kSecond); }))
        << "a playlist row dragged onto deck 2 did not load";
    ASSERT_TRUE(rig.load(1, Tracks::kDeck2));
}

// The search field: from the third letter typed the file list shows the matches; cleared, the browser
// returns to the folder it showed.
void search(Rig& rig, const Control& c) {
    backToMusic(rig);
    rig.click(c);
    rig.type("deck");
    EXPECT_TRUE(rig.until([&] { return rig.engine()["folder"].rfind("search:", 0) == 0; })) << "no search";
    EXPECT_TRUE(filesShow(rig, "deck1")) << "the search does not find the track";
    EXPECT_FALSE(Rig::row(rig.list("files"), "quiet")) << "the search shows a track that does not match";
    rig.key("BackSpace BackSpace BackSpace BackSpace");
    EXPECT_TRUE(rig.until([&] { return rig.engine()["folder"] == music(rig); }))
        << "clearing the search does not return to the folder";
}

// LOAD: the track selected in the file list loads into the button's deck.
void load(Rig& rig, const Control& c) {
    backToMusic(rig);
    ASSERT_TRUE(filesShow(rig, Tracks::kSecond));
    Control filesList = rig.find("files", 0);
    const std::optional<ListRow> second = Rig::row(rig.list("files"), Tracks::kSecond);
    ASSERT_TRUE(second);
    rig.click(rig.rowPoint(filesList, *second));
    rig.click(c);
    EXPECT_TRUE(rig.until([&] { return rig.deck(c.deck)["file"] == rig.track(Tracks::kSecond); }))
        << "LOAD did not load the selected track; the deck holds " << rig.deck(c.deck)["file"];
    const std::optional<ListRow> still = Rig::row(rig.list("files"), Tracks::kSecond);
    EXPECT_TRUE(still && still->selected) << "the selection is gone";
    EXPECT_EQ(rig.engine()["folder"], music(rig)) << "LOAD changed the folder";
    ASSERT_TRUE(rig.load(c.deck, Tracks::forDeck(c.deck)));
}

// A deck's drop area: a file dropped anywhere on it (away from its controls) loads there.
void dropbox(Rig& rig, const Control& c) {
    const Point free = freePlace(rig, c);
    ASSERT_TRUE(free.valid()) << "no free place on the drop area";
    EXPECT_TRUE(rig.drop(free, {rig.track(Tracks::kSecond)}));
    EXPECT_TRUE(rig.until([&] { return rig.deck(c.deck)["file"] == rig.track(Tracks::kSecond); }))
        << "the drop did not load";
    constexpr int kText = 1;
    EXPECT_NE(c.placed.object->type, kText) << "the drop area is a text object: it shows its value";
    ASSERT_TRUE(rig.load(c.deck, Tracks::forDeck(c.deck)));
}

// Columns: the file list gets its header above the first row, and loses it again without a gap.
void columns(Rig& rig, const Control& c) {
    backToMusic(rig);
    ASSERT_TRUE(filesShow(rig, Tracks::kDeck1));
    rig.click(c);
    EXPECT_EQ(rig.engineFact("columnMode"), 1);
    EXPECT_TRUE(rig.value(c).lit);
    ListState on = rig.list("files");
    EXPECT_TRUE(on.header) << "no header";
    ASSERT_FALSE(on.rows.empty());
    EXPECT_GE(on.rows.front().top, 17) << "the header covers the first row";
    rig.click(c);
    EXPECT_EQ(rig.engineFact("columnMode"), 0);
    ListState off = rig.list("files");
    EXPECT_FALSE(off.header);
    ASSERT_FALSE(off.rows.empty());
    EXPECT_EQ(off.rows.front().top, 0) << "an empty strip above the first row";
}

// FOCUS: the keyboard's list moves on to the next list at each press, and comes round.
void focus(Rig& rig, const Control& c) {
    const std::string first = rig.engine()["activeList"];
    std::string seen = first;
    for (int i = 0; i < 4; ++i) {
        rig.click(c);
        const std::string now = rig.engine()["activeList"];
        EXPECT_NE(now, "none");
        seen += " " + now;
        if (now == first) break;
    }
    EXPECT_EQ(rig.engine()["activeList"], first) << "the lists visited: " << seen;
    EXPECT_NE(seen.find("files"), std::string::npos) << "the file list is never the keyboard's: " << seen;
}

// NEW CASE: asks for a name; the playlist of that name is made, and the window has the keys again (with no window
// manager, the box leaves them to nobody when it goes).
void newCase(Rig& rig, const Control& c) {
    rig.click(c);
    const std::string dialog = rig.otherWindow().id;
    ASSERT_FALSE(dialog.empty()) << "no dialog asks for the name";
    testsupport::xdo("windowfocus --sync " + dialog);
    sleepMs(300);
    rig.type("Set One");
    rig.key("Return");
    const std::string file = rig.session().data + "tarlume/playlists/Set One.m3u";
    EXPECT_TRUE(rig.until([&] {
        struct stat st;
        return stat(file.c_str(), &st) == 0;
    })) << "no playlist file "
        << file;
    rig.moveOff();
    EXPECT_TRUE(rig.until([&] { return rig.keyboardWindow() == rig.window(); }, 5)) << "the keys went with the box";
}

// A menu button (drives, cases, the main menu, a deck's menu): its pop-up list opens with rows;
// Escape closes it and the button is not lit. The keys reach the window again (Ctrl+Q among them): with no
// window manager to give them back, it takes them from its pop-up, and from nobody (or the root) at a click.
void menu(Rig& rig, const Control& c) {
    // Its look with the pointer away from it, on a label where a click does nothing.
    const Point away = freePlace(rig, rig.control("master label"));
    rig.move(away);
    const std::vector<unsigned char> unlit = rig.pixels(c);
    rig.click(c);
    ASSERT_FALSE(rig.otherWindow().id.empty()) << "no pop-up list";
    const ListState rows = rig.list("popup");
    EXPECT_FALSE(rows.rows.empty()) << "the pop-up list is empty";
    std::string labels;
    size_t longest = 0;
    for (const ListRow& r : rows.rows) {
        labels += "[" + r.text + "]";
        longest = std::max(longest, r.text.size());
    }
    // Wide enough for its longest label (at least 5.5 pixels a character of the list's 12-pixel font).
    EXPECT_GE(rig.otherWindow().width, int(5.5 * double(longest))) << "labels are cut: " << labels;
    if (c.value == "mainmenu") {
        EXPECT_NE(labels.find("Column mode"), std::string::npos) << labels;
        EXPECT_NE(labels.find("Warn when loading onto a playing deck"), std::string::npos) << labels;
        const double warn = rig.engineFact("warnOnLoad");
        ASSERT_TRUE(rig.choosePopup("Warn when loading"));
        EXPECT_NE(rig.engineFact("warnOnLoad"), warn) << "the option did not change";
        rig.click(c);
        ASSERT_TRUE(rig.choosePopup("Warn when loading"));
        EXPECT_EQ(rig.engineFact("warnOnLoad"), warn);
    } else if (c.value == "popupmenu") {
        EXPECT_NE(labels.find("Loop the whole track"), std::string::npos) << labels;
        ASSERT_TRUE(rig.choosePopup("Loop the whole track"));
        EXPECT_EQ(rig.deckFact(c.deck, "loopTrack"), 1) << "the whole track does not loop";
        rig.click(c);
        ASSERT_TRUE(rig.choosePopup("Play backwards"));
        playing(rig, c.deck, true);
        const double from = position(rig, c.deck);
        soundFor(rig, 0.6);
        EXPECT_LT(position(rig, c.deck), from - 300) << "the deck does not play backwards";
        rig.click(c);
        ASSERT_TRUE(rig.choosePopup("Play backwards"));
        playing(rig, c.deck, false);
        rig.click(c);
        ASSERT_TRUE(rig.choosePopup("Loop the whole track"));
        EXPECT_EQ(rig.deckFact(c.deck, "loopTrack"), 0);
    } else if (c.value == "selectdrive") {
        EXPECT_NE(labels.find("Home"), std::string::npos) << labels;
    }
    if (c.value != "mainmenu" && c.value != "popupmenu") {
        // Into the pop-up, as a user choosing, then Escape.
        const Rig::Window popup = rig.otherWindow(0.5);
        ASSERT_FALSE(popup.id.empty()) << "the pop-up closed by itself";
        testsupport::xdo("mousemove --sync " + std::to_string(popup.x + popup.width / 2) + " " +
                         std::to_string(popup.y + popup.height / 2));
        rig.key("Escape");
    }
    EXPECT_TRUE(rig.until([&] { return rig.otherWindow(0.1).id.empty(); }, 5)) << "the pop-up does not close";
    EXPECT_EQ(rig.keyboardWindow(), rig.window()) << "the keys went with the pop-up";
    rig.frames(3);
    EXPECT_TRUE(rig.pixels(c) == unlit) << "drawn lit after its pop-up closed, the pointer away from it";
    for (bool root : {false, true}) {
        rig.dropKeyboard(root);
        rig.click(away);
        EXPECT_EQ(rig.keyboardWindow(), rig.window())
            << "a click does not take the keys " << (root ? "the root window was left" : "nobody has");
    }
}

// The program's window as the X server shows it.
testsupport::Screenshot windowShot(Rig& rig) {
    testsupport::Screenshot shot;
    shot.read(rig.window(), rig.session().root.path + "window.ppm");
    return shot;
}

// Of rows [from, to) of two pictures of the window: the share of pixels that differ (1 when one lacks them).
double differingRows(const testsupport::Screenshot& a, const testsupport::Screenshot& b, int from, int to) {
    if (a.width != b.width || from >= to || a.height < to || b.height < to) return 1;
    const std::vector<unsigned char> p = a.area(0, from, a.width, to), q = b.area(0, from, b.width, to);
    size_t n = 0;
    for (size_t i = 0; i + 2 < p.size(); i += 3)
        n += p[i] != q[i] || p[i + 1] != q[i + 1] || p[i + 2] != q[i + 2];
    return double(n) / double(p.size() / 3);
}

// Of rows [from, to) of a picture: the share of pixels of its commonest colour (1 for rows left unpainted).
double oneColour(const testsupport::Screenshot& s, int from, int to) {
    const std::vector<unsigned char> p = s.area(0, from, s.width, to);
    std::map<unsigned, size_t> count;
    size_t most = 0;
    for (size_t i = 0; i + 2 < p.size(); i += 3)
        most = std::max(most, ++count[unsigned(p[i]) << 16 | unsigned(p[i + 1]) << 8 | p[i + 2]]);
    return p.empty() ? 1 : double(most) / double(p.size() / 3);
}

// A window button: swap shows deck 3 (4) in deck 1's (2's) place and back; OPTIONS (VIDEO) shows the
// options window (the video view) in the browser's place and back; the view's own CLOSE closes it. A view
// opened under the window grows it: the window is drawn whole at each size, the view in the rows it grew by
// (where its clicks are taken) and the skin whole again once it closes.
void windowButton(Rig& rig, const Control& c) {
    const std::string spec = c.specifier();
    const std::string view = spec.find("options") != std::string::npos ? "_options"
                             : spec.find("video") != std::string::npos ? "video"
                                                                       : "";
    const int layer = spec.find("right") != std::string::npos ? 3 : 2;
    auto shown = [&](const std::string& window, int l) {
        return rig.probe().facts("window\t" + window + "\t" + std::to_string(l))["visible"] == "1";
    };
    // kolt-1280 shows the views in the browser's place; kolt-mini opens them under its one window.
    const bool browser = rig.options().skin == "kolt-1280";
    if (!view.empty() && c.placed.window->name == view) {
        rig.click(c); // shows the view first (reach), then closes it
        EXPECT_FALSE(shown(view, 0)) << view << " does not close";
        if (browser) {
            EXPECT_TRUE(shown("main", 0)) << "the browser does not come back";
        }
        return;
    }
    const bool under = !view.empty() && !browser;
    const testsupport::Screenshot before = under ? windowShot(rig) : testsupport::Screenshot();
    if (under) {
        ASSERT_GT(before.height, 0) << "the window's picture cannot be read";
    }
    // The window's picture at the height it should have: rows [0, h) as before, the rows under them not one
    // colour; waited for, as a resize takes a few frames.
    double kept = 1, flat = 1;
    int height = 0;
    auto drawnWhole = [&](bool grown) {
        rig.until(
            [&] {
                const testsupport::Screenshot now = windowShot(rig);
                height = now.height;
                kept = differingRows(now, before, 0, before.height);
                flat = grown ? oneColour(now, before.height, now.height) : 0;
                return (grown ? height > before.height : height == before.height) && kept < 0.2 && flat < 0.95;
            },
            5);
        if (grown)
            measured(
                "with the view %d rows, %.1f %% of the skin's rows changed, %.1f %% of the rows under them one colour",
                height, 100 * kept, 100 * flat);
        else
            measured("after it %d rows, %.1f %% of the skin's rows changed", height, 100 * kept);
        EXPECT_TRUE(grown ? height > before.height : height == before.height)
            << "the window is " << height << " rows high, " << before.height << " before the view";
        EXPECT_LT(kept, 0.2) << "the skin's rows are not drawn as they were";
        EXPECT_LT(flat, 0.95) << "the rows the window grew by are left unpainted";
    };
    rig.click(c);
    if (under) drawnWhole(true);
    if (!view.empty()) {
        EXPECT_TRUE(shown(view, 0)) << view << " does not show";
        if (browser) {
            EXPECT_FALSE(shown("main", 0)) << "the browser still shows under " << view;
        }
    } else {
        EXPECT_TRUE(shown("player", layer)) << "deck " << layer + 1 << " does not show";
        EXPECT_FALSE(shown("player", layer - 2)) << "deck " << layer - 1 << " still shows";
        EXPECT_TRUE(rig.value(c).lit);
        EXPECT_EQ(rig.value("currentdeck", "", layer).text, std::to_string(layer + 1));
    }
    // A view in the browser's place hides the button that showed it: its own button closes it there.
    Control again = c;
    if (!view.empty() && browser) {
        rig.skin().forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
            if (w->name == view && rig.skin().valueName(o) == "executescript" && o->valueSpecifier == spec)
                again = rig.control(o->name);
        });
    }
    rig.click(again);
    if (under) drawnWhole(false);
    if (!view.empty()) {
        EXPECT_FALSE(shown(view, 0)) << view << " does not go";
        if (browser) {
            EXPECT_TRUE(shown("main", 0)) << "the browser does not come back";
        }
    } else {
        EXPECT_TRUE(shown("player", layer - 2)) << "deck " << layer - 1 << " does not come back";
        EXPECT_FALSE(rig.value(c).lit);
    }
}

// RECORD: asks for the file through the save dialog; records while lit; stopped, the file holds the
// mix at the master's level. The dialog cancelled records nothing. Whichever way the dialog goes, the window has
// the keys again (with no window manager, the dialog leaves them to nobody).
void record(Rig& rig, const Control& c) {
    const std::string mix = rig.session().root.path + "mix.wav";
    Control status = rig.find("record_quick", 0);
    playing(rig, 0, true);
    const double master = rig.listen().masterDb();
    auto askedForTheFile = [&] {
        rig.click(c);
        std::string dialog;
        testsupport::waitFor([&] {
            dialog = testsupport::run(
                "timeout -k 5 30 xdotool search --onlyvisible --name 'Select name for new mix' 2>/dev/null | head -1");
            return !dialog.empty();
        });
        if (!dialog.empty()) {
            dialog.pop_back();
            testsupport::xdo("windowfocus --sync " + dialog);
            sleepMs(300);
        }
        return !dialog.empty();
    };
    auto keysBack = [&] {
        rig.moveOff();
        return rig.until([&] { return rig.keyboardWindow() == rig.window(); }, 5);
    };
    ASSERT_TRUE(askedForTheFile()) << "no save dialog";
    rig.key("Escape");
    EXPECT_TRUE(keysBack()) << "the keys went with the cancelled save dialog";
    EXPECT_EQ(rig.engineFact("recording"), 0) << "the cancelled dialog records";
    ASSERT_TRUE(askedForTheFile()) << "no save dialog the second time";
    testsupport::xdo("key --clearmodifiers ctrl+a");
    testsupport::xdo("type --delay 5 '" + mix + "'");
    testsupport::xdo("key Return");
    EXPECT_TRUE(rig.until([&] { return rig.engineFact("recording") > 0; })) << "the recording did not start";
    EXPECT_TRUE(keysBack()) << "the keys went with the save dialog";
    EXPECT_TRUE(rig.value(c).lit);
    soundFor(rig, 1.5);
    rig.click(c);
    EXPECT_TRUE(rig.until([&] { return rig.engineFact("recording") == 0; })) << "the recording did not stop";
    EXPECT_FALSE(rig.value(c).lit);
    testsupport::Wav file(mix);
    ASSERT_GT(file.samples.size(), 44100u * 2) << "the file holds less than a second";
    std::vector<float> l, r;
    for (size_t i = 0; i + 1 < file.samples.size(); i += 2) {
        l.push_back(float(file.samples[i]));
        r.push_back(float(file.samples[i + 1]));
    }
    EXPECT_NEAR(testsupport::levelDb(l, r), master, 1.5) << "the file's level is not the master's";
    playing(rig, 0, false);
}

// The recording status text: the engine's status (empty, as it gives none).
void recordStatus(Rig& rig, const Control& c) {
    EXPECT_EQ(rig.value(c).text, "");
}

// QUIT: the program ends at once with success and writes its settings: the folder chosen just before
// (the run started in another) is the one they keep.
void quit(Rig& rig, const Control& c) {
    backToMusic(rig);
    const std::optional<ListRow> crate = Rig::row(rig.list("folders"), "Crate");
    ASSERT_TRUE(crate) << "the tree does not show the music folder's sub-folder";
    rig.click(rig.rowPoint(rig.find("folders", 0), *crate));
    const std::string chosen = music(rig) + "Crate/";
    ASSERT_TRUE(rig.until([&] { return rig.engine()["folder"] == chosen; })) << "the folder did not open";
    rig.click(c);
    int status = -1;
    ASSERT_TRUE(rig.session().waitForExit(60000, &status)) << "the program did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rig.log();
    const std::string config = testsupport::readFile(rig.session().configPath());
    EXPECT_NE(config.find("<CURRENTFOLDER>" + chosen + "</CURRENTFOLDER>"), std::string::npos) << config;
}

} // namespace

const Exercise kFolders{"click a folder, right click it and choose \"Open with sub-folders\"",
                        "its files listed, the tree keeps its top; the sub-folder's files too", folders};
const Exercise kFiles{"click and double click a row, drag it onto deck 2", "selected, nothing loaded; loads", files};
const Exercise kPlaylist{"drag a file row onto it, drag its row onto deck 2", "appended; loads", playlist};
const Exercise kSearch{"click, type \"deck\", delete it", "the matches (not the others); back to the folder", search};
const Exercise kLoad{"select a file row, click", "the deck loads it, the selection and the folder stay", load};
const Exercise kDropbox{"drop a file on a free place of it", "the deck loads it; no text shown", dropbox};
const Exercise kColumns{"click twice", "lit with a header above the first row; no gap after", columns};
const Exercise kFocus{"click until it comes round", "the keyboard's list moves through the lists", focus};
const Exercise kNewCase{"click, type a name, Return", "the playlist file is made", newCase};
const Exercise kMenu{"click, choose rows, Escape; click with the keys taken away",
                     "its pop-up rows (labels whole) act; closes; not lit; the window has the keys", menu};
const Exercise kWindowButton{"click twice", "the other deck (or the options) shows in its place, and back",
                             windowButton};
const Exercise kRecord{"click, cancel the save dialog; click, answer it, click",
                       "nothing recorded; records while lit; the file holds the mix; the keys come back", record};
const Exercise kRecordStatus{"read while recording and after", "the engine's status text (empty)", recordStatus};
const Exercise kQuit{"choose a folder, click", "the program ends with success; its settings keep the folder", quit};

} // namespace e2e
