// The shipped skins speak the user interface's language: every type, value and action they name
// is one it knows, every specifier is one the value understands, and every script line of their
// scripts and menus presses a value that exists.
#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

namespace {

const std::string dataFolder = std::string(TARLUME_SOURCE_DIR) + "/data/";
const char* const shippedSkins[] = {"kolt-1280", "kolt-mini"};

// Option names, letter case as the options compare them.
const std::set<std::string> optionNames = {"Skin",
                                           "OutputDevice",
                                           "OutputChannels",
                                           "InputDevice",
                                           "InputChannels",
                                           "DefaultVinylType",
                                           "ExternalMixer",
                                           "vc_relativemode",
                                           "Callibrate",
                                           "Preferences",
                                           "column mode",
                                           "vc_gain",
                                           "vc_pitchvariance",
                                           "warn when loading new track"};
const std::set<std::string> keyboardCommands = {"pitch_up",         "pitch_down",           "loop_setout",
                                                "loop_setin",       "fade_right_full",      "fade_left_full",
                                                "fade_center",      "pl_active_scrolldown", "pl_active_scrollup",
                                                "pl_active_switch", "pl_active_load",       "pl_active_select"};

// A whole decimal number, a sign allowed.
bool isNumber(const std::string& text) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

bool isSlot(const std::string& text, int last) {
    return isNumber(text) && strToInt(text) >= 1 && strToInt(text) <= last && text.find('.') == std::string::npos;
}

// What is wrong with an object's specifier for its value; empty when nothing is.
std::string specifierMistake(Skin& skin, SkinWindow* window, SkinObject* o) {
    const std::string& spec = o->valueSpecifier;
    auto fileExists = [&](const std::string& name) {
        return FileExist(skin.folder + name) || FileExist(dataFolder + "support/" + name);
    };
    bool ok = true;
    switch (o->value) {
    case VALUE_CONSTANT:
        return "";
    case VALUE_EFFECT:
    case VALUE_EFFECTBPM:
    case VALUE_EFFECTBPMALIGNED:
        ok = TarlumeSkinInterface::findEffectParam(&spec) ||
             (o->value == VALUE_EFFECT && (spec == "eq_low_kill" || spec == "eq_mid_kill" || spec == "eq_high_kill"));
        break;
    case VALUE_EFFECTONOFF:
        ok = TarlumeSkinInterface::effectOfName(&spec) != TarlumeSkinInterface::EFFECTNAME_NONE;
        break;
    case VALUE_OPTION:
        ok = optionNames.count(spec) > 0;
        break;
    case VALUE_KEYBOARD:
        ok = keyboardCommands.count(strsplit(spec, " ").empty() ? spec : strsplit(spec, " ")[0]) > 0;
        break;
    case VALUE_CROSSFADERSELECTION:
        ok = spec == "left" || spec == "right" || spec == "none" || spec == "left_exclusive" ||
             spec == "right_exclusive";
        break;
    case VALUE_CUEPOINT:
    case VALUE_CUEPOINTSET:
        ok = isSlot(spec, 100);
        break;
    case VALUE_LOOP_STORE:
    case VALUE_LOOP_RETRIEVE:
    case VALUE_LOOP_RETRIEVEACTIVE:
        ok = isSlot(spec, 100);
        break;
    case VALUE_LOOP:
        ok = spec.empty() || (isNumber(spec) && strToDbl(spec) > 0);
        break;
    case VALUE_LOOPLENGTH_MULTIPLY:
    case VALUE_LOOP_MOVEBEATS:
        ok = isNumber(spec) && strToDbl(spec) != 0;
        break;
    case VALUE_VU_PLAYER:
    case VALUE_VU_MASTER:
        ok = spec.empty() || spec == "1" || spec == "2";
        break;
    case VALUE_CLIPPING:
    case VALUE_LIMITER_CURRENT:
        ok = spec.empty() || spec == "pl" || isNumber(spec);
        break;
    case VALUE_CROSSFADERTYPE:
        ok = isNumber(spec) && strToInt(spec) >= 0;
        break;
    case VALUE_DISC:
    case VALUE_WAVEFORMLOCAL:
        ok = spec.empty() || spec == "33";
        break;
    case VALUE_BOTHWAVEFORMS: {
        std::vector<std::string> items = strsplit(spec, "|");
        ok = spec.empty() || items.size() >= 2;
        for (size_t i = 0; ok && i < 2 && i < items.size(); ++i)
            ok = items[i] == "auto" || items[i] == "xfade" || items[i] == "0" || isSlot(items[i], 3);
        break;
    }
    case VALUE_TABSELECT: {
        std::string wanted = strtolower(spec);
        ok = false;
        for (auto& group : window->tabGroups)
            for (auto& tab : group->tabs)
                ok = ok || strtolower(tab->name) == wanted;
        break;
    }
    case VALUE_SHOWWINDOW:
        ok = skin.getWindow(strsplit(spec, "|")[0]) != nullptr;
        break;
    case VALUE_EXECUTESCRIPT:
        ok = FileExist(skin.folder + spec);
        break;
    case VALUE_POPUPMENU:
        ok = fileExists(spec + ".lst");
        break;
    default:
        ok = spec.empty(); // a value that reads no specifier should not be given one
        break;
    }
    return ok ? "" : "specifier \"" + spec + "\" of value " + intToStr(o->value);
}

// The script lines of a script file or menu file ("label" lines of menus left out).
std::vector<std::string> scriptLines(const std::string& path, bool menu) {
    std::vector<std::string> lines = strsplit(readFileContents(path), "\n"), script;
    for (size_t i = menu ? 1 : 0; i < lines.size(); i += menu ? 2 : 1)
        if (!strtrim(lines[i]).empty()) script.push_back(strtrim(lines[i]));
    return script;
}

// What a script line names that the interface does not know.
std::string scriptLineMistake(TarlumeSkinInterface& ui, Skin& skin, const std::string& line) {
    std::string unquoted = strreplace(line, "\"", "");
    std::vector<std::string> words = strsplit(unquoted, " ");
    // Conditions ("if name,spec", "ifnot name,spec") stand before the command.
    while (words.size() >= 3 && (strtolower(words[0]) == "if" || strtolower(words[0]) == "ifnot")) {
        std::string name = strsplit(words[1], ",")[0];
        if (ui.getValue(name) == 0) return "unknown value \"" + name + "\" in: " + line;
        words.erase(words.begin(), words.begin() + 2);
    }
    if (words.size() < 2) return "";
    std::string command = strtolower(words[0]);
    if (command == "click" || command == "clickdown" || command == "clickup" || command == "status") {
        std::string name = strsplit(words[1], ",")[0];
        if (ui.getValue(name) == 0) return "unknown value \"" + name + "\" in: " + line;
    } else if (command == "setabs" || command == "setrel") {
        std::vector<std::string> value = strsplit(words[1], ",");
        int id = ui.getValue(value[0]);
        if (id == 0) return "unknown value \"" + value[0] + "\" in: " + line;
        if (id == VALUE_EFFECT && (value.size() < 2 || !TarlumeSkinInterface::findEffectParam(&value[1])))
            return "unknown effect parameter in: " + line;
    } else if (command == "executescript") {
        if (!FileExist(skin.folder + words[1])) return "no script \"" + words[1] + "\" in: " + line;
    } else {
        return "unexpected command in: " + line;
    }
    return "";
}

} // namespace

TEST(ShippedSkinVocabulary, EveryNameAndSpecifierIsOneTheInterfaceKnows) {
    for (const char* name : shippedSkins) {
        SCOPED_TRACE(name);
        TarlumeSkinInterface ui(nullptr);
        Skin skin(&ui);
        std::vector<std::string> unresolved;
        std::mutex lock;
        skin.onUnresolved = [&](const std::string& what, const std::string& text) {
            std::lock_guard<std::mutex> guard(lock);
            unresolved.push_back(what + " \"" + text + "\"");
        };
        skin.loadSkin(dataFolder + "skins/" + name + ".xml");
        ASSERT_TRUE(skin.loaded);
        EXPECT_TRUE(unresolved.empty()) << testing::PrintToString(unresolved);

        std::vector<std::string> mistakes;
        int specials = 0;
        std::vector<SkinObject*> titles, dropboxes;
        for (auto& window : skin.windows) {
            if (window->name == "_popupwindow") continue;
            for (auto& group : window->tabGroups)
                for (auto& tab : group->tabs)
                    for (auto& object : tab->objects) {
                        SkinObject* o = object.get();
                        if (o->type == OBJECT_SPECIAL) ++specials;
                        // A deck's own window takes drops itself; elsewhere a dropbox must lie under its title.
                        if (window->name != "player" && o->value == VALUE_TRACKINFOTITLE) titles.push_back(o);
                        if (o->value == VALUE_DROPBOX) dropboxes.push_back(o);
                        // A drop place has no text: as a text object it would show a stray number.
                        if (o->value == VALUE_DROPBOX && o->type == OBJECT_TEXT)
                            mistakes.push_back(window->name + ": " + o->name + ": a dropbox drawn as text");
                        std::string mistake = specifierMistake(skin, window.get(), o);
                        if (!mistake.empty()) mistakes.push_back(window->name + ": " + o->name + ": " + mistake);
                    }
        }
        EXPECT_TRUE(mistakes.empty()) << testing::PrintToString(mistakes);
        EXPECT_GT(specials, 4);
        for (SkinObject* title : titles) {
            const float x = title->rect->left + 2, y = title->rect->top + 2;
            bool covered = false;
            for (SkinObject* box : dropboxes)
                covered |= box->player == title->player && inSquare(x, y, box->rect.get());
            EXPECT_TRUE(covered) << "a file dropped on deck " << title->player + 1 << "'s title loads nowhere";
        }

        // Scripts and menus of the skin's folder and of the support folder.
        std::vector<std::string> scriptMistakes;
        for (const auto& entry : std::filesystem::directory_iterator(skin.folder)) {
            std::string file = entry.path().filename().string();
            bool menu = isRight(file, ".lst");
            if (!menu && !isRight(file, ".tlmscript")) continue;
            for (const std::string& line : scriptLines(skin.folder + file, menu)) {
                std::string mistake = scriptLineMistake(ui, skin, line);
                if (!mistake.empty()) scriptMistakes.push_back(file + ": " + mistake);
            }
        }
        for (const char* menu : {"mainmenu.lst", "folder_rightclick.lst"})
            for (const std::string& line : scriptLines(dataFolder + "support/" + menu, true)) {
                std::string mistake = scriptLineMistake(ui, skin, line);
                if (!mistake.empty()) scriptMistakes.push_back(std::string(menu) + ": " + mistake);
            }
        EXPECT_TRUE(scriptMistakes.empty()) << testing::PrintToString(scriptMistakes);
    }
}
