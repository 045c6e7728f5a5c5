// The settings file "config.xml": routing, the decks' timecode-vinyl settings, the browser state,
// the general options, the skin's variables and tab order, and the controllers.
#include "engine/Tarlume.h"

#include "engine/TarlumeDeckAccess.h"
#include "foundation/modTools.h"
#include "skin/Skin.h"
#if __has_include("skin/SkinListBox.h")
#include "skin/SkinListBox.h"
#define TARLUME_HAVE_LIST_BOX 1
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace {

// "l/r" into a channel pair; false (pair untouched) unless the text has exactly two parts.
bool readPair(const std::string& text, int* pair) {
    if (text.empty()) return false;
    std::vector<std::string> parts = strsplit(text, "/");
    if (parts.size() != 2) return false;
    pair[0] = strToInt(parts[0]);
    pair[1] = strToInt(parts[1]);
    return true;
}

// Every value is escaped, so none can end its element or make another: a folder named
// "x</CURRENTFOLDER><SKIN>y</SKIN>" comes back as that folder and changes nothing else.
std::string line(const std::string& key, const std::string& value) {
    return "<" + key + ">" + escapeTagText(value) + "</" + key + ">\n";
}

// The decks keep their timecode gain and pitch variance as floats: a value beyond a float's range (or not a
// number) would be "inf" or "nan" there, so it is neither taken nor written; the default stands in.
bool fitsFloat(double value) {
    return std::fabs(value) <= std::numeric_limits<float>::max();
}

std::string finiteText(double value, double def) {
    return dblToStr(fitsFloat(value) ? value : def);
}

std::string pairText(const int* pair) {
    return intToStr(pair[0]) + "/" + intToStr(pair[1]);
}

// Column widths of a list the skin made this run, else those read at start, so a run whose skin
// made no list keeps them.
std::string listSettings(SkinListBox* list, const std::string& loaded) {
#ifdef TARLUME_HAVE_LIST_BOX
    if (list) return list->getSettingsXML();
#else
    (void)list;
#endif
    return loaded;
}

// Why a settings file read whole is not one this program wrote (a crash of another program, a full disk, a
// copy cut short, another file in its place); null when it looks whole.
const char* damage(const std::string& text) {
    if (text.empty()) return "it is empty";
    if (text.find('\0') != std::string::npos) return "it holds NUL bytes";
    const std::string root = "tarlumeconfig>";
    auto at = [&](size_t offset, const std::string& tag) {
        return std::equal(tag.begin(), tag.end(), text.begin() + offset,
                          [](char a, char b) { return a == char(tolower(b)); });
    };
    const size_t opening = strtolower(text.substr(0, 4096)).find("<" + root);
    if (opening == std::string::npos) return "it is not a settings file";
    const size_t last = text.find_last_not_of(" \t\r\n");
    const std::string closing = "</" + root;
    if (last + 1 < opening + closing.size() || !at(last + 1 - closing.size(), closing))
        return "it ends before its closing tag";
    return nullptr;
}

} // namespace

bool Tarlume::isSkinName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// config.xml.bad, else config.xml.bad2, .bad3 ...: each damaged file met is kept, none replaces another.
std::string Tarlume::damagedCopyPath() const {
    return unusedNumberedPath(getSettingsPath() + ".bad");
}

void Tarlume::loadSettings() {
    const std::string path = getSettingsPath();
    // A run killed while it wrote the settings left its temporary file behind.
    removeStaleReplacements(path);
    std::string text;
    const int error = readFileChecked(path, &text);
    if (error == ENOENT) return;
    if (error) {
        settingsUnreadable_ = true;
        fprintf(stderr,
                "Settings file %s could not be read (%s): starting with the defaults; the file is left as it is\n",
                path.c_str(), strerror(error));
        return;
    }
    if (const char* why = damage(text)) {
        damagedSettings_ = text;
        settingsDamaged_ = true;
        fprintf(stderr, "Settings file %s is damaged (%s): what could be read is used, and the file is kept as %s\n",
                path.c_str(), why, damagedCopyPath().c_str());
    }
    readSettingsText(text);
}

void Tarlume::readSettingsText(const std::string& text) {
    // Folded to lower case once: each key is one search of it, so a file of thousands of controller entries
    // reads in time that grows with its size, not with its square.
    std::string lower = strtolower(text);
    auto get = [&](const std::string& key, const std::string& def = "") {
        std::string value = getXMLElementCIFast(text, lower, strtolower(key));
        return value.empty() ? def : unescapeTagText(value);
    };

    for (int i = 0; i < kDecks; i++) {
        const std::string n = intToStr(i);
        std::string v = get("INPUTDEVICE" + n);
        if (!v.empty()) inputDevice[i] = strToInt(v);
        v = get("OUTPUTDEVICE" + n);
        if (!v.empty()) outputDevice[i] = strToInt(v);
        readPair(get("INPUTCHANNELS" + n), inputChannels[i]);
        readPair(get("OUTPUTCHANNELS" + n), outputChannels[i]);

        DeckSettings& s = deckSettings_[i];
        if (players[i]) deckAccess::getSettings(players[i], &s);
        v = get("DEFAULTVINYL" + n);
        if (!v.empty()) s.defaultVinyl = strToInt(v);
        v = get("VC_RELATIVEMODE" + n);
        if (!v.empty()) s.relativeMode = strToBool(v);
        v = get("VC_SUPERRELATIVE" + n);
        if (!v.empty()) s.superRelative = strToBool(v);
        double number = strToDbl(get("VC_PITCHVARIANCE" + n, "0.0003"));
        s.pitchVariance = fitsFloat(number) ? number : 0.0003;
        number = strToDbl(get("VC_GAIN" + n, "1"));
        s.gain = fitsFloat(number) ? number : 1.0;
        if (players[i]) deckAccess::setSettings(players[i], s);

        fileListSettings[i] = get("LBFILES" + n);
        playlistSettings[i] = get("LBPL" + n);
    }

    framesPerBuffer = std::clamp(strToInt(get("BUFFERSIZE", "0")), 0, 8192);
    std::string v = get("CURRENTFOLDER");
    if (!v.empty()) currentFolder[0] = v;
    warnWhenLoadingTrack = strToBool(get("WARNWHENLOADINGTRACK", "yes"));
    columnMode = strToBool(get("COLUMNMODE", "no"));
    for (int h = 0; h < 10; h++) {
        v = get("FOLDERHISTORY" + intToStr(h));
        if (!v.empty()) folderHistory[0].push_back(v);
    }
    skinName = get("SKIN", "kolt-1280");
    if (!isSkinName(skinName)) {
        fprintf(stderr, "Settings: skin \"%s\" ignored (a skin is named by a file of the skins folder)\n",
                skinName.c_str());
        skinName = "kolt-1280";
    }
    const int type = strToInt(get("CROSSFADERTYPE", "0"));
    if (!setCrossfaderType(type)) fprintf(stderr, "Settings: crossfader type %d ignored (types are 0 to 3)\n", type);
    const double speed = strToDbl(get("CROSSFADERSPEED", "1"));
    if (std::isfinite(speed)) crossfaderSpeed = speed;
    skinVariables = get("VARIABLES");
    skinTabOrder = get("SKINTABORDER");

    // Controller entries in file order; an empty one is skipped, and a device name met again replaces its
    // file (as setHIDConfig does), found through an index rather than by a search of the list per entry.
    std::unordered_map<std::string, size_t> byDevice;
    for (size_t c = 0; c < controllerConfigs.size(); ++c)
        byDevice.emplace(controllerConfigs[c].deviceName, c);
    for (size_t from = 0;;) {
        size_t end = std::string::npos;
        std::string record = getXMLElementCIFast(text, lower, "hidconfig", from, &end);
        if (end == std::string::npos) break;
        from = end;
        if (record.empty()) continue;
        const std::string device = unescapeTagText(getXMLPart(record, "devicename"));
        const std::string config = unescapeTagText(getXMLPart(record, "configname"));
        if (device.empty() && config.empty()) continue;
        auto [entry, added] = byDevice.emplace(device, controllerConfigs.size());
        if (added)
            controllerConfigs.push_back({device, config});
        else
            controllerConfigs[entry->second].configName = config;
    }

    if (strToBool(get("USEEXTERNALMIXER", "no"))) useExternalMixer = true;
}

std::string Tarlume::settingsText() {
    std::string text = "<TARLUMECONFIG>\n";
    text += line("USEEXTERNALMIXER", boolToStr(useExternalMixer));
    for (int i = 0; i < kDecks; i++) {
        const std::string n = intToStr(i);
        DeckSettings s = deckSettings_[i];
        if (players[i]) deckAccess::getSettings(players[i], &s);
        text += line("INPUTDEVICE" + n, intToStr(inputDevice[i]));
        text += line("OUTPUTDEVICE" + n, intToStr(outputDevice[i]));
        text += line("INPUTCHANNELS" + n, pairText(inputChannels[i]));
        text += line("OUTPUTCHANNELS" + n, pairText(outputChannels[i]));
        text += line("DEFAULTVINYL" + n, intToStr(s.defaultVinyl));
        text += line("VC_RELATIVEMODE" + n, boolToStr(s.relativeMode));
        text += line("VC_GAIN" + n, finiteText(s.gain, 1.0));
        text += line("VC_PITCHVARIANCE" + n, finiteText(s.pitchVariance, 0.0003));
        text += line("VC_SUPERRELATIVE" + n, boolToStr(s.superRelative));
        const std::string files = listSettings(fileList[i], fileListSettings[i]);
        const std::string playlist = listSettings(playlistList[i], playlistSettings[i]);
        if (!files.empty()) text += line("LBFILES" + n, files);
        if (!playlist.empty()) text += line("LBPL" + n, playlist);
    }
    text += line("CURRENTFOLDER", currentFolder[0]);
    text += line("CURRENTPLAYLIST", playlistPath[0]);
    const std::vector<std::string>& history = folderHistory[0];
    for (int k = 0; k < 4 && k < int(history.size()); k++)
        text += line("FOLDERHISTORY" + intToStr(4 - k), history[history.size() - 1 - size_t(k)]);
    text += line("WARNWHENLOADINGTRACK", boolToStr(warnWhenLoadingTrack));
    text += line("COLUMNMODE", boolToStr(columnMode));
    text += line("BUFFERSIZE", intToStr(framesPerBuffer));
    text += line("SKIN", skinName);
    text += line("CROSSFADERTYPE", intToStr(crossfaderType));
    text += line("CROSSFADERSPEED", dblToStr(std::isfinite(crossfaderSpeed) ? crossfaderSpeed : 1.0, 2));
    // Without a loaded skin, the fragments read at start go back unchanged instead of being wiped.
    const bool liveSkin = skin && skin->loaded;
    text += line("VARIABLES", liveSkin ? skin->getVariablesXML() : skinVariables);
    text += line("SKINTABORDER", liveSkin ? skin->getTabOrderXML() : skinTabOrder);
    for (const tHIDConfig& c : controllerConfigs)
        text += "<HIDCONFIG><DEVICENAME>" + escapeTagText(c.deviceName) + "</DEVICENAME><CONFIGNAME>" +
                escapeTagText(c.configName) + "</CONFIGNAME></HIDCONFIG>\n";
    text += "</TARLUMECONFIG>\n";
    return text;
}

bool Tarlume::writeSettings() {
    const std::string path = getSettingsPath();
    if (settingsUnreadable_) return false; // told at start: the file that could not be read stays as it was
    const std::string text = settingsText();
    std::string error;
    if (settingsDamaged_) {
        if (!replaceFileContents(damagedCopyPath(), damagedSettings_, &error)) {
            fprintf(stderr, "Settings not saved (%s): the damaged %s is kept as it was\n", error.c_str(), path.c_str());
            return false;
        }
        damagedSettings_.clear();
        settingsDamaged_ = false;
    }
    if (!replaceFileContents(path, text, &error)) {
        fprintf(stderr, "Settings not saved (%s); %s is kept as it was\n", error.c_str(), path.c_str());
        return false;
    }
    return true;
}
