// The skins the application ships (data/skins): each loads without one name it cannot resolve,
// writes no element the loader ignores, keeps its pictures' sizes in step with its objects, tiles
// its windows without overlap through every deck swap and the options window, and draws.
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "skin/Skin.h"
#include "skin/SkinColor.h"
#include "skin/SkinImageRef.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "support/HeadlessGL.h"
#include "support/SkinFrame.h"
#include "support/SkinMap.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include "support/MissingComponent.h"

namespace {

const std::string dataFolder = std::string(TARLUME_SOURCE_DIR) + "/data/";
const char* const shippedSkins[] = {"kolt-1280", "kolt-mini"};
constexpr int screenWidth = 1280, screenHeight = 720;

// Every element a skin file, the options window or the genre colours may hold: the tags the loader
// reads. A tag outside this list is ignored by the loader, so it is a mistake in the skin.
const std::set<std::string> knownTags = {
    // file and sections
    "skin", "info", "name", "minimalbuild", "general", "players", "show-background", "show-effects", "resolution-width",
    "resolution-height", "background", "elements", "picture", "element", "fonts", "font", "face", "size", "pointsize",
    "bold", "cleartype", "angle", "colors", "color", "r", "g", "b", "songcolors", "songcolor", "include", "folder",
    "genrecolors", "genre",
    // windows, tabs
    "playerwindow", "main", "fxwindow", "window", "playlist", "selected", "active", "mouseover", "drawmode",
    "startposition_1", "startposition_2", "startposition_3", "startposition_4", "presets", "preset", "tabs", "tab",
    "default", "window-background-color", "playlist-background-color", "playlist-background-color2",
    "playlist-side-color", "playlist-font-color", "playlist-selected-font-color", "playlist-selected-back-color",
    "playlist-scrollbar-color", "playlist-scrollbar-pressed-color", "playlist-font", "playlist-font-selected",
    "image-scrollbar-up", "image-scrollbar-up-selected", "image-scrollbar-down", "image-scrollbar-down-selected",
    // objects
    "object", "movetobottom", "loadpreset", "type", "value", "valuespecifier", "invert", "typevariable", "left-action",
    "center-action", "right-action", "doubleclick-action", "drawtype", "player", "position", "x", "y", "width",
    "height", "x2", "y2", "xprcnt", "yprcnt", "widthprcnt", "heightprcnt", "linkleft", "linkright", "linktop",
    "linkbottom", "color2", "color3", "color4", "tooltip", "additionalpic_1", "additionalpic_2", "additionalpic_3",
    "additionalpic_4", "ref", "file"};

std::string withoutComments(std::string text) {
    for (size_t at; (at = text.find("<!--")) != std::string::npos;) {
        size_t end = text.find("-->", at);
        text.erase(at, end == std::string::npos ? std::string::npos : end + 3 - at);
    }
    return text;
}

// The lower-cased opening tags of a text, in order.
std::vector<std::string> openingTags(const std::string& text) {
    std::vector<std::string> tags;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        size_t end = text.find('>', at);
        if (end == std::string::npos || text[at + 1] == '/') continue;
        tags.push_back(strtolower(text.substr(at + 1, end - at - 1)));
    }
    return tags;
}

// Mistakes in the text of a skin file that the loader passes over in silence: unknown or unclosed
// elements, and windows, tabs and objects whose first element is not their name (the loader takes
// the first name element anywhere inside, which may be a nested one).
std::vector<std::string> textMistakes(const std::string& file, bool isWindowFile) {
    std::string text = withoutComments(readFileContents(file));
    std::string lower = strtolower(text);
    std::vector<std::string> mistakes;
    std::map<std::string, int> opened;
    for (const std::string& tag : openingTags(text)) {
        if (!knownTags.count(tag)) mistakes.push_back("unknown element <" + tag + ">");
        ++opened[tag];
    }
    for (auto& [tag, count] : opened) {
        size_t closed = 0;
        for (size_t at = lower.find("</" + tag + ">"); at != std::string::npos;
             at = lower.find("</" + tag + ">", at + 1))
            ++closed;
        if (closed != size_t(count))
            mistakes.push_back("<" + tag + "> opened " + intToStr(count) + " times, closed " + intToStr(int(closed)));
    }
    auto nameFirst = [&](size_t contentStart) {
        size_t next = lower.find('<', contentStart);
        return next != std::string::npos && lower.compare(next, 6, "<name>") == 0;
    };
    for (const char* container : {"<object>", "<tab>", "<playerwindow>", "<window>", "<main>", "<fxwindow>"})
        for (size_t at = lower.find(container); at != std::string::npos; at = lower.find(container, at + 1))
            if (!nameFirst(at + strlen(container)))
                mistakes.push_back(std::string(container) + " at byte " + intToStr(int(at)) + " without <name> first");
    if (isWindowFile && !nameFirst(0)) mistakes.push_back("window file without <name> first");
    // Picture names: lower case, no extension (the loader adds it), as written in file elements.
    for (const char* tag : {"file", "background"}) {
        std::string open = std::string("<") + tag + ">";
        for (size_t at = lower.find(open); at != std::string::npos; at = lower.find(open, at + 1)) {
            size_t start = at + open.size(), end = lower.find('<', start);
            std::string name = text.substr(start, end - start);
            if (name != strtolower(name) || name.find('.', name.rfind('/') + 1) != std::string::npos)
                mistakes.push_back("picture name \"" + name + "\" not lower case or with an extension");
        }
    }
    return mistakes;
}

// The skin interface of the application as far as loading needs it: its two object types and its
// action, and an id for every value name (the user interface's tests hold the names to its
// vocabulary). Texts and numbers for drawing a deck that plays.
class ShippedSkinInterface : public testsupport::NamingInterface {
public:
    int getType(const std::string& name) override {
        std::string lower = strtolower(name);
        if (lower == "special") return 15;
        if (lower == "playlist") return OBJECT_PLAYLIST;
        return SkinInterface::getType(name);
    }
    int getAction(const std::string& name) override {
        return strtolower(name) == "bend" ? 3 : SkinInterface::getAction(name);
    }
    std::string getValueStr(int id, std::string* spec, int deck) override {
        static const std::map<std::string, std::string> shown = {{"trackinfotitle", "Night Drive (Extended Mix)"},
                                                                 {"trackinfoartist", "The Harbour Lights"},
                                                                 {"timeelapsed", "01:42.3"},
                                                                 {"timeremaining", "-04:18.9"},
                                                                 {"bpmdetection", "124.0 (93%)"},
                                                                 {"pitch", "+1.25%"},
                                                                 {"pitchrange", "8%"},
                                                                 {"looplength_movebeats", "4.0"},
                                                                 {"record_quick", "Not recording"},
                                                                 {"vinylcontrol", "SSL REL"}};
        auto found = shown.find(nameOf(id));
        if (found != shown.end()) return deck == 1 && found->first == "trackinfotitle" ? "Second Wind" : found->second;
        return SkinInterface::getValueStr(id, spec, deck);
    }
    double getValueDbl(int id, std::string* spec, int deck) override {
        std::string name = nameOf(id);
        if (name == "effect") return spec && spec->find("kill") == std::string::npos ? 0.5 : 0.0;
        if (name == "volume_player" || name == "volume_master") return 0.8;
        if (name == "vu_player" || name == "vu_master") return 0.6;
        if (name == "crossfader" || name == "pitchto" || name == "volume_cuemaster") return 0.5;
        if (name == "pause") return deck == 0 ? 1 : 0;
        return SkinInterface::getValueDbl(id, spec, deck);
    }
};

struct LoadedSkin {
    ShippedSkinInterface iface;
    Skin skin{&iface};
    std::vector<std::string> unresolved;
    std::mutex unresolvedLock;

    explicit LoadedSkin(const std::string& name) {
        skin.onUnresolved = [this](const std::string& what, const std::string& text) {
            std::lock_guard<std::mutex> lock(unresolvedLock);
            unresolved.push_back(what + " \"" + text + "\"");
        };
        skin.loadSkin(dataFolder + "skins/" + name + ".xml");
    }

    struct Placed {
        std::string name;
        int layer;
        float x, y, w, h;
    };
    std::vector<Placed> visibleLayers() const {
        std::vector<Placed> shown;
        for (auto& window : skin.windows)
            for (int layer = 0; layer < 4; ++layer) {
                SkinWindowStateInfo* s = window->layerStates[layer].get();
                if (s->visible && !s->hidden)
                    shown.push_back({window->name, layer, s->x, s->y, window->width, window->height});
            }
        return shown;
    }
    // What is wrong with the visible layers' places: overlaps, or reaching past the screen.
    std::vector<std::string> tilingMistakes() const {
        std::vector<std::string> mistakes;
        std::vector<Placed> shown = visibleLayers();
        for (size_t i = 0; i < shown.size(); ++i) {
            const Placed& a = shown[i];
            if (a.x < 0 || a.y < 0 || a.x + a.w > screenWidth || a.y + a.h > screenHeight)
                mistakes.push_back(a.name + "|" + intToStr(a.layer) + " reaches past the screen");
            for (size_t j = i + 1; j < shown.size(); ++j) {
                const Placed& b = shown[j];
                if (a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h)
                    mistakes.push_back(a.name + "|" + intToStr(a.layer) + " overlaps " + b.name + "|" +
                                       intToStr(b.layer));
            }
        }
        return mistakes;
    }
    bool shown(const std::string& window, int layer) const {
        SkinWindow* w = skin.getWindow(window);
        return w && w->layerStates[layer]->visible;
    }
    // A left click on the named object of a window layer, as the host delivers it.
    bool click(const std::string& window, const std::string& object, int layer = 0) {
        SkinWindow* w = skin.getWindow(window);
        SkinObject* o = w ? w->getObject(object) : nullptr;
        if (!o) return false;
        float x = o->rect->left + o->rect->width / 2, y = o->rect->top + o->rect->height / 2;
        w->mouseDown(x, y, 1, 0, layer);
        w->mouseUp(x, y, 1, 0, layer);
        return true;
    }
};

template <typename Visit> void forEachObject(Skin& skin, Visit visit) {
    for (auto& window : skin.windows)
        for (auto& group : window->tabGroups)
            for (auto& tab : group->tabs)
                for (auto& object : tab->objects)
                    visit(window.get(), object.get());
}

} // namespace

TEST(ShippedSkin, TextsHoldOnlyElementsTheLoaderReads) {
    for (const char* name : shippedSkins) {
        SCOPED_TRACE(name);
        std::vector<std::string> mistakes = textMistakes(dataFolder + "skins/" + name + ".xml", false);
        EXPECT_TRUE(mistakes.empty()) << testing::PrintToString(mistakes);
    }
    std::vector<std::string> mistakes = textMistakes(dataFolder + "support/optionswindow.xml", true);
    EXPECT_TRUE(mistakes.empty()) << testing::PrintToString(mistakes);
    mistakes = textMistakes(dataFolder + "genrecolors.xml", false);
    EXPECT_TRUE(mistakes.empty()) << testing::PrintToString(mistakes);
}

TEST(ShippedSkin, LoadsWithEveryNameResolvedAndPicturesFittingTheirObjects) {
    for (const char* name : shippedSkins) {
        SCOPED_TRACE(name);
        LoadedSkin loaded(name);
        EXPECT_TRUE(loaded.skin.loaded);
        EXPECT_EQ(loaded.skin.skinName, name);
        EXPECT_TRUE(loaded.unresolved.empty()) << testing::PrintToString(loaded.unresolved);
        ASSERT_NE(loaded.skin.getWindow("_options"), nullptr);
        ASSERT_NE(loaded.skin.getWindow("main"), nullptr);

        int objects = 0;
        forEachObject(loaded.skin, [&](SkinWindow* window, SkinObject* o) {
            if (window->name == "_popupwindow") return;
            ++objects;
            SCOPED_TRACE(window->name + ": " + o->name);
            SkinRect* r = o->rect.get();
            EXPECT_FALSE(o->name.empty());
            EXPECT_TRUE(r->left >= 0 && r->top >= 0 && r->right <= window->width && r->bottom <= window->height)
                << "outside its window";
            auto size = [](const std::unique_ptr<SkinImageRef>& pic) {
                return pic ? std::make_pair(int(pic->rect->width), int(pic->rect->height)) : std::make_pair(-1, -1);
            };
            int w = int(r->width), h = int(r->height);
            std::pair<int, int> pic1 = size(o->additionalPics[0]);
            if (o->type == OBJECT_BUTTON && o->drawType == 4) { // four frames side by side
                EXPECT_EQ(pic1, std::make_pair(4 * w, h));
            }
            const bool noPictures = std::all_of(std::begin(o->additionalPics), std::end(o->additionalPics),
                                                [](const std::unique_ptr<SkinImageRef>& pic) { return !pic; });
            if (o->type == OBJECT_BUTTON && o->drawType == 0 && !noPictures) { // a picture shown as it is
                EXPECT_EQ(size(o->additionalPics[2]), std::make_pair(w, h));
            } // (without any, a place that draws nothing: a drop place)
            if ((o->type == OBJECT_KNOB || o->type == 15) && o->drawType == 3) { // frames stacked
                EXPECT_EQ(pic1.first, w);
                EXPECT_TRUE(h > 0 && pic1.second % h == 0 && pic1.second / h >= 16) << pic1.second;
            }
            if (o->type == OBJECT_SLIDER && (o->drawType == 21 || o->drawType == 6)) { // track or meter
                EXPECT_EQ(pic1, std::make_pair(w, h));
            }
            if (o->type == OBJECT_SLIDER && o->drawType == 21) { // the thumb fits across the track
                std::pair<int, int> thumb = size(o->additionalPics[1]);
                EXPECT_TRUE(thumb.first > 0 && thumb.first <= w && thumb.second > 0 && thumb.second <= h);
            }
        });
        EXPECT_GT(objects, 80);
    }
    // Genre colours: a few, none black (0 is "no colour").
    SkinInterface iface;
    Skin skin(&iface);
    skin.readGenreColors(dataFolder + "genrecolors.xml");
    ASSERT_GE(skin.genreColors.size(), 3u);
    for (auto& genre : skin.genreColors)
        EXPECT_NE(genre->value, 0u) << genre->name;
}

// Within a window, every object under the pointer gets the press: no two objects that act on a
// press may overlap in any combination of current tabs (pictures and texts laid over a control
// have no action, and are allowed).
TEST(ShippedSkin, ControlsDoNotOverlap) {
    for (const char* name : shippedSkins) {
        SCOPED_TRACE(name);
        LoadedSkin loaded(name);
        std::vector<std::string> overlaps;
        for (auto& window : loaded.skin.windows) {
            // The window's own objects, then each tab's: objects of two tabs of one group never show together.
            std::vector<std::vector<SkinObject*>> sets;
            std::vector<SkinObject*> own;
            for (auto& o : window->tabGroups[0]->tabs[0]->objects)
                own.push_back(o.get());
            sets.push_back(own);
            for (size_t g = 1; g < window->tabGroups.size(); ++g)
                for (auto& tab : window->tabGroups[g]->tabs) {
                    std::vector<SkinObject*> shown = own;
                    for (auto& o : tab->objects)
                        shown.push_back(o.get());
                    sets.push_back(shown);
                }
            for (const auto& shown : sets)
                for (size_t i = 0; i < shown.size(); ++i)
                    for (size_t j = i + 1; j < shown.size(); ++j) {
                        SkinObject *a = shown[i], *b = shown[j];
                        auto acts = [](SkinObject* o) { return o->actionLeft || o->actionRight || o->actionCenter; };
                        if (!acts(a) || !acts(b)) continue;
                        SkinRect *p = a->rect.get(), *q = b->rect.get();
                        if (p->left < q->right && q->left < p->right && p->top < q->bottom && q->top < p->bottom)
                            overlaps.push_back(window->name + ": " + a->name + " / " + b->name);
                    }
        }
        std::sort(overlaps.begin(), overlaps.end());
        overlaps.erase(std::unique(overlaps.begin(), overlaps.end()), overlaps.end());
        EXPECT_TRUE(overlaps.empty()) << testing::PrintToString(overlaps);
    }
}

TEST(ShippedSkin, WindowsTileThroughDeckSwapsAndTheOptions) {
    LoadedSkin kolt("kolt-1280");
    EXPECT_TRUE(kolt.tilingMistakes().empty()) << testing::PrintToString(kolt.tilingMistakes());
    EXPECT_EQ(kolt.visibleLayers().size(), 4u); // two decks, the mixer, the browser
    float width = 0, height = 0;
    kolt.skin.getBounds(&width, &height);
    EXPECT_EQ(width, float(screenWidth));
    EXPECT_EQ(height, float(screenHeight));

    // Deck 3 takes deck 1's place and gives it back; deck 4 likewise on the right.
    ASSERT_TRUE(kolt.click("mixerwindow-1280", "swap left"));
    EXPECT_FALSE(kolt.shown("player", 0));
    EXPECT_TRUE(kolt.shown("player", 2));
    std::string swapScript = "swapleft.tlmscript";
    EXPECT_TRUE(kolt.iface.getValueBool(VALUE_EXECUTESCRIPT, &swapScript, 0, nullptr)); // the button is lit
    EXPECT_TRUE(kolt.tilingMistakes().empty()) << testing::PrintToString(kolt.tilingMistakes());
    ASSERT_TRUE(kolt.click("mixerwindow-1280", "swap right"));
    EXPECT_TRUE(kolt.shown("player", 3));
    EXPECT_TRUE(kolt.tilingMistakes().empty()) << testing::PrintToString(kolt.tilingMistakes());
    ASSERT_TRUE(kolt.click("mixerwindow-1280", "swap left"));
    ASSERT_TRUE(kolt.click("mixerwindow-1280", "swap right"));
    EXPECT_TRUE(kolt.shown("player", 0) && kolt.shown("player", 1));
    EXPECT_FALSE(kolt.shown("player", 2) || kolt.shown("player", 3));

    // The options take the browser's place, and its CLOSE button gives it back.
    ASSERT_TRUE(kolt.click("mixerwindow-1280", "options"));
    EXPECT_TRUE(kolt.shown("_options", 0));
    EXPECT_FALSE(kolt.shown("main", 0));
    EXPECT_TRUE(kolt.tilingMistakes().empty()) << testing::PrintToString(kolt.tilingMistakes());
    ASSERT_TRUE(kolt.click("_options", "close"));
    EXPECT_FALSE(kolt.shown("_options", 0));
    EXPECT_TRUE(kolt.shown("main", 0));

    // The small skin: one window, the options under it.
    LoadedSkin mini("kolt-mini");
    EXPECT_EQ(mini.visibleLayers().size(), 1u);
    ASSERT_TRUE(mini.click("main", "options"));
    EXPECT_TRUE(mini.shown("_options", 0));
    EXPECT_TRUE(mini.tilingMistakes().empty()) << testing::PrintToString(mini.tilingMistakes());
}

// The default skin drawn as the application draws a frame: every visible layer at its place. The
// frame is not compared with a picture; its windows must show their own art, not the black of an
// empty screen. TARLUME_SKIN_SHOT=<file.ppm> keeps the frame for a look.
TEST(ShippedSkin, DefaultSkinDraws) {
    HeadlessGL gl;
    if (!gl.open(screenWidth, screenHeight)) {
        TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << gl.error();
    }
    LoadedSkin kolt("kolt-1280");
    kolt.iface.gl = GLPrimitives::immediate();
    testsupport::drawSkinFrame(kolt.skin);
    std::vector<unsigned char> pixels = gl.readPixels();
    testsupport::keepSkinShot(pixels, screenWidth, screenHeight);
    auto colour = [&](int x, int y) { return testsupport::pixelColour(pixels, screenWidth, x, y); };
    // Each window's area: no black left, and more than a flat fill.
    testsupport::expectDefaultSkinWindowsDrawn(pixels, screenWidth);
    // Deck 1 plays: its play button is lit green; deck 2's is not.
    auto greenish = [](unsigned c) { return ((c >> 8) & 0xFF) > 100 && ((c >> 8) & 0xFF) > (c >> 16) + 40; };
    EXPECT_TRUE(greenish(colour(55 + 8, 246 + 15)));
    EXPECT_FALSE(greenish(colour(760 + 55 + 8, 246 + 15)));
}

// The report the tests above rely on: every kind of name the loader cannot resolve is told once.
TEST(ShippedSkin, LoaderReportsWhatItCannotResolve) {
    testsupport::TempDir folder("skin-report");
    std::filesystem::create_directories(folder.path + "skins/broken");
    folder.write("skins/broken.xml",
                 "<skin><fonts><font><name>default</name></font></fonts>"
                 "<colors><color><name>known</name><r>1</r></color></colors>"
                 "<main><name>main</name><background>nowhere</background>"
                 "<object><name>a</name><type>buton</type><value>nosuchvalue</value><left-action>defualt</left-action>"
                 "<font>nosuchfont</font><color>nosuchcolour</color><color2>known</color2>"
                 "<position><x>0</x><y>0</y><width>10</width><height>10</height><linkleft>nobody</linkleft></position>"
                 "<additionalpic_1><file>missing</file></additionalpic_1>"
                 "<additionalpic_2><name>noelement</name></additionalpic_2></object></main></skin>");
    SkinInterface iface;
    Skin skin(&iface);
    std::multiset<std::string> told;
    skin.onUnresolved = [&](const std::string& what, const std::string& name) { told.insert(what + ":" + name); };
    skin.loadSkin(folder.path + "skins/broken.xml");
    EXPECT_EQ(told, (std::multiset<std::string>{"picture:nowhere", "type:buton", "value:nosuchvalue", "action:defualt",
                                                "font:nosuchfont", "colour:nosuchcolour", "link:nobody",
                                                "picture:missing", "image:noelement"}));
}
