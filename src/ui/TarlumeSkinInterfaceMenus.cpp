// Pop-up menus, options and dialogs: the menus some values open instead of acting at once, the
// program's settings the skin and the options window change by name, the file-name and case-name
// dialogs, and where a skin's own menu files are read from.
#include "ui/TarlumeSkinInterface.h"
#include "ui/TarlumeMenus.h"

#include "audio/vinyl/FinalScratch.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "platform/SoundDevices.h"
#include "skin/Skin.h"
#include "skin/SkinListBox.h"
#include "skin/SkinListItem.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- Engine-free pieces ---------------------------------------------------------------------------

namespace tarlumemenus {

bool isSafeMenuValue(const std::string& value) {
    return value.find_first_of("\n\r\"") == std::string::npos && value.find("\\n") == std::string::npos;
}

std::vector<std::pair<std::string, std::string>> menuItems(const std::string& text, const std::string& value) {
    std::string filled = value.empty() ? text : strreplace(text, "%value%", value);
    std::vector<std::pair<std::string, std::string>> items = SkinInterface::readMenuItems(filled);
    for (auto& item : items)
        if (!item.first.empty() && item.first.back() == '\r') item.first.pop_back();
    return items;
}

std::vector<std::string> volumeRoots(const std::string& user) {
    std::vector<std::string> roots;
    if (!user.empty() && user.find('/') == std::string::npos) {
        roots.push_back("/media/" + user + "/");
        roots.push_back("/run/media/" + user + "/");
    }
    roots.push_back("/mnt/");
    return roots;
}

std::vector<Place> listVolumes(const std::vector<std::string>& roots) {
    std::vector<Place> places;
    for (const std::string& root : roots) {
        DIR* dir = opendir(root.c_str());
        if (!dir) continue;
        std::string prefix = isRight(root, "/") ? root : root + "/";
        std::vector<std::string> names;
        while (struct dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            struct stat info;
            if (stat((prefix + entry->d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                names.push_back(entry->d_name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            places.push_back({name, prefix + name + "/"});
    }
    return places;
}

std::string currentUser() {
    if (const char* user = std::getenv("USER"))
        if (*user) return user;
    if (const passwd* pw = getpwuid(getuid()))
        if (pw->pw_name) return pw->pw_name;
    return "";
}

std::string recordingPath(const std::string& spec, const std::string& home) {
    std::string path = spec;
    if (!isLeft(path, "/")) path = (isRight(home, "/") ? home : home + "/") + path;
    if (!isRightCI(path, ".wav") && !isRightCI(path, ".ogg")) path += ".wav";
    return path;
}

bool parseChannelPair(const std::string& text, int channels, int pair[2]) {
    std::vector<std::string> parts = strsplit(text, "/");
    if (parts.size() < 2) return false;
    int found[2];
    for (int i = 0; i < 2; ++i) {
        std::string part = strtrim(parts[size_t(i)]);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) return false;
        found[i] = strToInt(part);
        if (found[i] < 1 || found[i] > channels) return false;
    }
    pair[0] = found[0] - 1;
    pair[1] = found[1] - 1;
    return true;
}

std::string channelPairLabel(int first, int second, int channels) {
    return intToStr(first + 1) + "/" + intToStr(second + 1) +
           (first < channels && second < channels ? "" : " (not on this device)");
}

std::string deviceLabel(int id, bool input) {
    if (id == 0) return input ? "Default Input Device" : "Default Output Device";
    SoundDeviceInfo info;
    return SoundDevices::findDevice(id, input, &info) ? info.name : "Missing device";
}

const std::vector<VinylType>& vinylTypes() {
    // The deck reads the same table files (FinalScratch::getTableFileName); the own timecode has
    // no table and is listed when its marker file is there.
    static const std::vector<VinylType> types = {
        {"Final Scratch", TIMECODE_FINALSCRATCH, FinalScratch::getTableFileName(TIMECODE_FINALSCRATCH)},
        {"Serato Scratch Live", TIMECODE_SERATO, FinalScratch::getTableFileName(TIMECODE_SERATO)},
        {"Traktor Scratch", TIMECODE_TRAKTOR, FinalScratch::getTableFileName(TIMECODE_TRAKTOR)},
        {"VirtualDJ", TIMECODE_VIRTUALDJ, FinalScratch::getTableFileName(TIMECODE_VIRTUALDJ)},
        {"tarlume", TIMECODE_TARLUME, "tarlumevc.dat"},
    };
    return types;
}

} // namespace tarlumemenus

using namespace tarlumemenus;

namespace {

bool isFolder(const std::string& path) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string withSlash(const std::string& path) {
    return isRight(path, "/") ? path : path + "/";
}

// The list of the "_popupwindow" window's first object; null when the skin has none.
SkinListBox* popupListOf(TarlumeSkinInterface& ui) {
    SkinWindow* window = ui.skin ? ui.skin->getWindow("_popupwindow") : nullptr;
    if (!window || window->tabGroups.empty() || window->tabGroups[0]->tabs.empty()) return nullptr;
    SkinTab* tab = window->tabGroups[0]->tabs[0].get();
    return tab->getNbObjs() > 0 ? ui.getListBox(tab->getObj(0)) : nullptr;
}

// Loads a folder's listing now (menus are filled at once).
TagCacheDirectory* listing(Tarlume* engine, const std::string& folder) {
    return engine->tagCache ? engine->tagCache->getFolder(folder, false, true, false, false) : nullptr;
}

CPicture* folderPicture(Tarlume* engine, int i) {
    SkinListBox* folders = engine->folderList[0];
    return folders && i < int(folders->pictures.size()) ? folders->pictures[size_t(i)] : nullptr;
}

// The device index of "OutputDevice:N" / "InputDevice:N" as the device id the engine keeps; false
// for a negative index or one past the devices found.
bool deviceIdAt(const std::string& index, bool input, int* id) {
    std::string number = strtrim(index);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long found = 0;
    if (!LinuxAudioDevice::getDeviceName(strToInt(number), nullptr, 0, input, &found)) return false;
    *id = int(found);
    return true;
}

} // namespace

// ---- Menu files ------------------------------------------------------------------------------------

void TarlumeSkinInterface::popupCustomMenu(const std::string& name, int deck, const std::string& value, float x,
                                           float y, bool) {
    if (!isValidDeck(deck) || !isSafeMenuValue(value)) return;
    SkinListBox* list = popupListOf(*this);
    if (!list) return;
    // The application's own support files win over the skin's, so every skin gets the same menus.
    std::string path = name;
    if (skin && FileExist(skin->folder + name + ".lst")) path = skin->folder + name + ".lst";
    if (engine && FileExist(engine->applicationFolder + "support/" + name + ".lst"))
        path = engine->applicationFolder + "support/" + name + ".lst";
    std::string text = FileExist(path) ? Skin::readContents(path) : std::string();
    float width = 0, height = 0;
    fillPopupList(menuItems(text, value), deck, &width, &height);
    showPopupMenu(x, y, width, height);
}

// ---- Dialog answers ----------------------------------------------------------------------------------

void TarlumeSkinInterface::handleInputBox(const std::string& answer) {
    // An answer without a request (a second OK) does nothing: it would run the command again.
    if (!pendingValueId) return;
    int id = pendingValueId, deck = pendingDeck;
    std::string command = strreplace(pendingCommand, "%value%", answer);
    pendingValueId = 0;
    pendingCommand.clear();
    if (id == VALUE_RECORD_QUICK) {
        // The save dialog and the replace question have asked: this path may be written over.
        if (engine && !command.empty() && isValidDeck(deck)) {
            std::string path = recordingPath(command, engine->getUserFolder());
            if (path != command && FileExist(path)) {
                showDialogBox(VALUE_RECORD_QUICK, path, deck, "\"" + path + "\" exists. Replace it?");
                return;
            }
            engine->startRecording(path);
        }
        return;
    }
    handleMouseClickSimple(id, command, deck, false);
    handleMouseClickSimple(id, command, deck, true);
}

// ---- Presses and releases ------------------------------------------------------------------------------

bool TarlumeSkinInterface::handleMenuClick(SkinObject* object, float x, float y, SkinWindow* window, int deck,
                                           bool released) {
    if (!object || !engine || !isValidDeck(deck)) return false;
    const std::string& spec = object->valueSpecifier;

    if (released) {
        if (object->value != VALUE_OPTION) return false;
        std::string option = strtolower(spec);
        if (option == "column mode") {
            engine->columnMode = !engine->columnMode;
            // The file lists show their column header in column mode.
            for (SkinListBox* list : engine->fileList)
                if (list) {
                    list->showHeader = engine->columnMode;
                    list->setDirty();
                }
        } else if (option == "warn when loading new track") {
            engine->warnWhenLoadingTrack = !engine->warnWhenLoadingTrack;
        } else {
            return false;
        }
        engine->writeSettings();
        return true;
    }

    // Menus open beside the click in the clicking window; without a window (controllers, scripts,
    // the options window's own presses) where the last "cases" menu opened.
    float menuX = float(casesPopupX), menuY = float(casesPopupY);
    if (window) {
        SkinWindowStateInfo* state = window->layerState(deck);
        menuX = x + state->x;
        menuY = y + state->y;
    }
    SkinListBox* popup = popupListOf(*this);
    std::string player = intToStr(deck);
    auto show = [&](float width) {
        showPopupMenu(menuX, menuY, width, popup->getTotalHeight());
        return true;
    };

    switch (object->value) {
    case VALUE_SELECTDRIVE: {
        if (!popup) return true;
        popup->clear();
        CPicture* closed = folderPicture(engine, 0);
        popup->addRow({"Home", "ChangeFolder", withSlash(engine->getUserFolder()), player})->picture = closed;
        for (const Place& volume : listVolumes(volumeRoots(currentUser())))
            popup->addRow({volume.name, "ChangeFolder", volume.path, player})->picture = closed;
        popup->addRow({"Other Directory...", "ExecuteScript", "script:", player});
        return show(popup->getMaxWidth());
    }
    case VALUE_MODEMENU: {
        if (!popup) return true;
        popup->clear();
        // A window with one tab group, or none at all, has no modes to list: the menu is empty.
        if (window && window->tabGroups.size() > 1) {
            SkinTabGroup* group = window->tabGroups[1].get();
            for (int i = 0; i < group->getNbTabs(); ++i) {
                const std::string& tab = group->getTab(i)->name;
                popup->addRow({tab, "TabSelect", window->name + ":" + tab, player});
            }
        }
        return show(popup->getMaxWidth());
    }
    case VALUE_CASES: {
        if (!popup) return true;
        std::string base = withSlash(engine->playlistsFolder);
        std::string folder = base;
        if (!spec.empty()) {
            if (isFolder(base + spec))
                folder = withSlash(base + spec);
            else if (isFolder(spec))
                folder = withSlash(spec);
        }
        popup->clear();
        if (TagCacheDirectory* list = listing(engine, folder)) {
            for (int i = 0; i < list->getNbFolders(); ++i) {
                std::string path = folder + list->getFolder(i);
                bool open = isLeft(engine->playlistPath[deck], path + "/");
                popup->addRow({list->getFolder(i), "Cases", path, player})->picture =
                    folderPicture(engine, open ? 1 : 0);
            }
            for (int i = 0; i < list->getNbFiles(); ++i) {
                std::string path = folder + list->getFile(i);
                SkinListItem* row = popup->addRow({list->getFile(i), "LoadPlaylist", path, player});
                if (strtolower(path) == strtolower(engine->playlistPath[deck])) popup->selectItem(row, true);
            }
        }
        popup->addRow({"Add case...", "CreateCase", spec.empty() ? std::string() : spec + "/", player});
        if (window) {
            casesPopupX = menuX;
            casesPopupY = menuY;
        }
        showPopupMenu(float(casesPopupX), float(casesPopupY), popup->getMaxWidth(), popup->getTotalHeight());
        return true;
    }
    case VALUE_RECORD_QUICK:
        if (engine->isRecording()) {
            engine->stopRecording();
        } else if (spec.empty()) {
            showFileDialog(VALUE_RECORD_QUICK, "%value%", deck, "Select name for new mix", "default.wav");
        } else {
            std::string path = recordingPath(spec, engine->getUserFolder());
            if (FileExist(path))
                showDialogBox(VALUE_RECORD_QUICK, path, deck, "\"" + path + "\" exists. Replace it?");
            else
                engine->startRecording(path);
        }
        return true;
    case VALUE_CREATECASE:
        if (!spec.empty() && !isRight(spec, "/"))
            engine->createPlaylist(spec, deck);
        else
            showInputBox(VALUE_CREATECASE, spec + "%value%", deck, "Enter the name for the new case", "");
        return true;
    case VALUE_OPTION:
        break;
    default:
        return false;
    }

    // "option" presses: the specifier names the setting, letter case included.
    TarlumePlayer* p = deckAt(deck);
    auto menuOf = [&](const std::vector<std::pair<std::string, std::string>>& rows) {
        if (!popup) return true;
        popup->clear();
        for (const auto& row : rows)
            popup->addRow({row.first, "Option", row.second, player});
        return show(popup->getMaxWidth());
    };
    auto settingsChanged = [&](bool devices) {
        // Devices are re-opened at once when the engine runs its sound; everything is kept.
        if (devices && !engine->soundDevices.empty()) engine->initAudio();
        engine->writeSettings();
        return true;
    };

    if (spec == "Preferences") {
        preferencesRequested = true;
        return true;
    }
    if (spec == "Callibrate") {
        handleMouseClickSimple(VALUE_VINYLCONTROL_CALLIBRATE, "", deck, false);
        handleMouseClickSimple(VALUE_VINYLCONTROL_CALLIBRATE, "", deck, true);
        return true;
    }
    if (spec == "DefaultVinylType") {
        std::vector<std::pair<std::string, std::string>> rows;
        for (const VinylType& type : vinylTypes())
            if (FileExist(engine->applicationFolder + "vinylcontrol/" + type.file))
                rows.emplace_back(type.name, std::string("DefaultVinylType:") + type.name);
        return menuOf(rows);
    }
    if (isLeft(spec, "DefaultVinylType:")) {
        std::string name = spec.substr(17);
        for (const VinylType& type : vinylTypes())
            if (name == type.name && p) {
                p->timecodeType = type.type;
                return settingsChanged(false);
            }
        return true;
    }
    for (bool input : {false, true}) {
        std::string device = input ? "InputDevice" : "OutputDevice";
        std::string channels = input ? "InputChannels" : "OutputChannels";
        int* deviceOf = input ? engine->inputDevice : engine->outputDevice;
        int(*pairOf)[2] = input ? engine->inputChannels : engine->outputChannels;
        if (spec == device) {
            // One row per device that has channels in this direction, the default device first.
            std::vector<std::pair<std::string, std::string>> rows;
            char name[256];
            unsigned long id = 0;
            for (int i = 0; LinuxAudioDevice::getDeviceName(i, name, sizeof(name) - 1, input, &id); ++i)
                rows.emplace_back(name, device + ":" + intToStr(i));
            return menuOf(rows);
        }
        if (isLeft(spec, device)) {
            int id = 0;
            if (spec.size() > device.size() + 1 && deviceIdAt(spec.substr(device.size() + 1), input, &id)) {
                deviceOf[deck] = id;
                return settingsChanged(true);
            }
            return true;
        }
        if (spec == channels) {
            // The pairs the deck's device has (the first eight at most).
            int count = LinuxAudioDevice::getNbChannels((unsigned long)deviceOf[deck], input);
            std::vector<std::pair<std::string, std::string>> rows;
            for (int a = 1; a + 1 <= count && a < 16; a += 2) {
                std::string pair = channelPairLabel(a - 1, a, count);
                rows.emplace_back(pair, channels + ":" + pair);
            }
            return menuOf(rows);
        }
        if (isLeft(spec, channels)) {
            int count = LinuxAudioDevice::getNbChannels((unsigned long)deviceOf[deck], input);
            if (spec.size() > channels.size() + 1 &&
                parseChannelPair(spec.substr(channels.size() + 1), count, pairOf[deck]))
                return settingsChanged(true);
            return true;
        }
    }
    if (spec == "ExternalMixer") {
        engine->useExternalMixer = !engine->useExternalMixer;
        return settingsChanged(true);
    }
    if (spec == "Skin") {
        std::vector<std::pair<std::string, std::string>> rows;
        if (TagCacheDirectory* list = listing(engine, engine->applicationFolder + "skins/"))
            for (int i = 0; i < list->getNbFiles(); ++i) {
                std::string file = list->getFile(i);
                if (file.size() <= 4 || !isRightCI(file, ".xml")) continue;
                std::string name = file.substr(0, file.size() - 4);
                rows.emplace_back(name, "Skin:" + name);
            }
        return menuOf(rows);
    }
    if (isLeft(spec, "Skin")) {
        // A name of the skins folder: a path could load any file as the next skin.
        std::string name = spec.size() > 5 ? spec.substr(5) : std::string();
        if (Tarlume::isSkinName(name)) {
            engine->skinName = name;
            settingsChanged(false);
        }
        return true;
    }
    if (isLeft(spec, "MidiConfig:")) {
        std::string rest = spec.substr(11);
        size_t split = rest.find(":=");
        if (split == std::string::npos) return true;
        std::string configuration = rest.substr(split + 2);
        if (configuration == "None") configuration.clear();
        engine->setHIDConfig(rest.substr(0, split), configuration);
        engine->connectHIDs();
        return settingsChanged(false);
    }
    if (spec == "vc_relativemode") {
        if (p) p->relativeMode = !p->relativeMode;
        return settingsChanged(false);
    }
    return true;
}
