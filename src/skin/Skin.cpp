#include "skin/Skin.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "skin/SkinFont.h"
#include "skin/SkinImageRef.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "skin/scripts/SkinScript.h"
#include "skin/scripts/SkinScriptTrigger.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* const popupWindowDefinition =
    "<playlist-background-color><r>255</r><g>255</g><b>255</b></playlist-background-color>"
    "<playlist-side-color><r>220</r><g>220</g><b>220</b></playlist-side-color>"
    "<playlist-font-color><r>0</r><g>0</g><b>0</b></playlist-font-color>"
    "<OBJECT><TYPE>ListBox</TYPE><VALUE>popupmenu</VALUE><POSITION><LEFT>0</LEFT><TOP>0</TOP>"
    "<WIDTHPRCNT>100</WIDTHPRCNT><HEIGHTPRCNT>100</HEIGHTPRCNT></POSITION>"
    "<LEFT-ACTION>default</LEFT-ACTION><RIGHT-ACTION>default</RIGHT-ACTION></OBJECT>";

const char* const playlistResizeObject =
    "<OBJECT><TYPE>ResizeWindow</TYPE><POSITION><XPRCNT>100</XPRCNT><YPRCNT>100</YPRCNT><WIDTH>-15</WIDTH>"
    "<HEIGHT>-15</HEIGHT></POSITION><LEFT-ACTION>default</LEFT-ACTION></OBJECT>";
const char* const playlistMoveObject =
    "<OBJECT><TYPE>MoveWindow</TYPE><POSITION><X>0</X><Y>0</Y><WIDTHPRCNT>100</WIDTHPRCNT><HEIGHT>25</HEIGHT>"
    "</POSITION><LEFT-ACTION>default</LEFT-ACTION></OBJECT>";

// Every element of a name in `text`, in order.
std::vector<std::string> allElements(const std::string& text, std::string& lower, const std::string& tag) {
    std::vector<std::string> found;
    size_t from = 0;
    while (true) {
        size_t end = std::string::npos;
        std::string value = getXMLElementCIFast(text, lower, tag, from, &end);
        if (end == std::string::npos) break;
        found.push_back(value);
        from = end;
    }
    return found;
}

struct WorkerArgument {
    Skin* skin;
    int index;
};

void* windowWorker(void* argument) {
    WorkerArgument* work = static_cast<WorkerArgument*>(argument);
    work->skin->loadWindowThread(work->index);
    delete work;
    return nullptr;
}

} // namespace

Skin::Skin(SkinInterface* iface) : interface(iface) {
    InitializeCriticalSection(&cs_windowCreation);
    if (interface) interface->skin = this;
}

Skin::~Skin() {
    closeSkin();
    // Windows built outside a completed load (or a skin never loaded) still own their pieces.
    windows.clear();
    imageRefs.clear();
    pictures.clear();
    triggers.clear();
    scripts.clear();
    variables.clear();
    genreColors.clear();
    if (interface && interface->skin == this) interface->skin = nullptr;
    pthread_mutex_destroy(&cs_windowCreation);
}

std::string Skin::readContents(const std::string& path) {
    return readFileContents(path);
}

// ---- Loading ------------------------------------------------------------------------------------

std::string Skin::expandIncludes(std::string text) {
    std::string lower = strtolower(text);
    size_t end = std::string::npos;
    std::string include = getXMLElementCIFast(text, lower, "include", 0, &end);
    // Each expansion is counted and the text's size bounded, so a file that includes itself
    // (directly or through others) cannot expand for ever.
    for (int expansions = 0; end != std::string::npos && expansions < maxIncludes; ++expansions) {
        std::string name = strreplace(include, "\\", "/");
        std::string content = FileExist(folder + name) ? readContents(folder + name) : std::string();
        std::string element = "<include>" + strtolower(include) + "</include>";
        size_t at = lower.find(element);
        size_t from = end;
        if (at != std::string::npos) {
            if (text.size() - element.size() + content.size() > maxSkinTextSize) content.clear();
            text.replace(at, element.size(), content);
            // Lower-case only the spliced part, not the whole text again.
            lower.replace(at, element.size(), strtolower(content));
            // Text shorter than its element (a missing file) must not hide the includes after it.
            from = std::min(from, at + content.size());
        }
        end = std::string::npos;
        include = getXMLElementCIFast(text, lower, "include", from, &end);
    }
    return text;
}

void Skin::readSections(std::string& text) {
    std::string lower = strtolower(text);
    auto section = [&](const char* tag) { return getXMLElementCIFast(text, lower, tag); };

    std::string info = section("info");
    skinName = getXMLPart(info, "name");
    minimalBuild = strToInt(getXMLPart(info, "minimalbuild", "1000"));

    std::string general = section("general");
    players = strToInt(getXMLPart(general, "players", "2"));
    showBackground = strToBool(getXMLPart(general, "show-background", "true"));
    showEffects = strToBool(getXMLPart(general, "show-effects", "true"));
    resolutionWidth = strToInt(getXMLPart(general, "resolution-width", "1024"));
    resolutionHeight = strToInt(getXMLPart(general, "resolution-height", "768"));
    std::string background = getXMLPart(general, "background");
    if (!background.empty()) backgroundPicture = loadPicture(background);

    std::string elements = section("elements");
    std::string elementsLower = strtolower(elements);
    CPicture* picture = loadPicture(getXMLElementCIFast(elements, elementsLower, "picture"));
    if (picture) {
        for (std::string& element : allElements(elements, elementsLower, "element"))
            imageRefs.emplace_back(new SkinImageRef(picture, &element));
    }

    std::string fontsText = section("fonts");
    std::string fontsLower = strtolower(fontsText);
    for (std::string& font : allElements(fontsText, fontsLower, "font"))
        fonts.emplace_back(new SkinFont(&font));

    std::string colorsText = section("colors");
    std::string colorsLower = strtolower(colorsText);
    for (std::string& color : allElements(colorsText, colorsLower, "color"))
        colors.emplace_back(new SkinColor(&color));

    std::string songText = section("songcolors");
    std::string songLower = strtolower(songText);
    for (std::string& color : allElements(songText, songLower, "songcolor"))
        songColors.emplace_back(new SkinColor(&color));
}

void Skin::queueWindows(std::string& text, std::deque<QueuedWindow> (&queues)[nbCores]) {
    std::string lower = strtolower(text);
    int next = 0, sequence = 0;
    auto queue = [&](std::string definition, const std::string& forcedName) {
        queues[next].push_back(QueuedWindow{std::move(definition), forcedName, sequence++});
        next = (next + 1) % nbCores;
    };
    size_t end = std::string::npos;
    std::string definition = getXMLElementCIFast(text, lower, "playerwindow", 0, &end);
    if (end != std::string::npos) queue(definition, "player");
    end = std::string::npos;
    definition = getXMLElementCIFast(text, lower, "main", 0, &end);
    if (end != std::string::npos) queue(definition, "main");
    end = std::string::npos;
    definition = getXMLElementCIFast(text, lower, "fxwindow", 0, &end);
    if (end != std::string::npos) queue(definition, "fx");
    for (std::string& window : allElements(text, lower, "window"))
        queue(std::move(window), "");
}

void Skin::appendWindow(SkinWindow* window) {
    CriticalSectionGuard guard(&cs_windowCreation);
    windows.emplace_back(window);
}

void Skin::startWorker(int index) {
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        ++runningWorkers;
    }
    WorkerArgument* argument = new WorkerArgument{this, index};
    THREAD_HANDLE handle = CreateThread(nullptr, 0, windowWorker, 0, 0, argument);
    if (handle) {
        CloseThreadHandle(handle);
    } else {
        delete argument;
        // No thread: the loader builds that queue itself.
        loadWindowThread(index);
    }
}

void Skin::loadWindowThread(int index) {
    while (true) {
        QueuedWindow entry;
        {
            CriticalSectionGuard guard(&cs_windowCreation);
            if (windowQueue[index].empty()) break;
            // The front entry is read under the lock: another worker may be taking the second one.
            entry = windowQueue[index].front();
        }

        SkinWindow* window = entry.forcedName.empty() ? new SkinWindow(this, &entry.definition)
                                                      : new SkinWindow(this, &entry.definition, entry.forcedName);
        window->sequence = entry.sequence;

        CriticalSectionGuard guard(&cs_windowCreation);
        windows.emplace_back(window);
        windowQueue[index].pop_front();
        if (windowQueue[index].empty()) {
            for (int q = 0; q < nbCores; ++q) {
                if (windowQueue[q].size() > 1) {
                    windowQueue[index].push_back(std::move(windowQueue[q][1]));
                    windowQueue[q].erase(windowQueue[q].begin() + 1);
                }
            }
        }
    }
    std::lock_guard<std::mutex> lock(workerMutex);
    --runningWorkers;
    workersDone.notify_all();
}

void Skin::showAtStart() {
    for (auto& window : windows) {
        std::string lower = strtolower(window->name);
        if (lower == "main" || lower == "mixerwindow-1280" || lower == "playlist")
            window->layerStates[0]->visible = true;
        if (lower == "player") {
            int shown = std::min(players, 4);
            for (int layer = 0; layer < shown; ++layer)
                window->layerStates[layer]->visible = true;
        }
    }
}

void Skin::fixPlaylist() {
    for (auto& window : windows) {
        if (strtolower(window->name) != "playlist") continue;
        for (auto& group : window->tabGroups)
            for (auto& tab : group->tabs)
                for (auto& object : tab->objects) {
                    SkinObject* o = object.get();
                    if (o->type == OBJECT_PLAYLIST) {
                        if (o->value == VALUE_MOVEABLE) {
                            o->type = OBJECT_MOVEABLE;
                        } else if (o->value >= VALUE_PLAYLIST && o->value <= VALUE_FILES) {
                            o->type = OBJECT_LISTBOX;
                        } else if (o->value >= VALUE_ADDTOPLAYLISTMENU && o->value <= VALUE_SORTMENU) {
                            o->type = OBJECT_BUTTON;
                            o->drawType = 5;
                        }
                        o->actionLeft = ACTION_DEFAULT;
                        o->actionRight = ACTION_DEFAULT;
                        o->actionDoubleClick = ACTION_DEFAULT;
                    } else if (o->type == OBJECT_TEXT && o->value == 18) { // the application's search field
                        o->type = OBJECT_TEXTBOX;
                        o->drawType = 1;
                    } else if (o->type == OBJECT_BUTTON && o->drawType == -1) {
                        o->drawType = 5;
                    }
                }
    }
}

bool Skin::loadSkin(const std::string& path, std::string* refusal) {
    double start = timeGetExactTime();
    folder = (path.size() >= 4 ? path.substr(0, path.size() - 4) : std::string()) + "/";
    std::string text = readContents(path);
    {
        std::string lower = strtolower(text);
        size_t end = std::string::npos;
        std::string own = getXMLElementCIFast(text, lower, "folder", 0, &end);
        if (end != std::string::npos) folder = getFilePath(path) + own + "/";
    }
    text = expandIncludes(std::move(text));
    const bool read = !text.empty();
    text = getXMLElementCI(text, "skin");

    std::string lower = strtolower(text);
    size_t playlistEnd = std::string::npos;
    std::string playlistDefinition = getXMLElementCIFast(text, lower, "playlist", 0, &playlistEnd);
    queueWindows(text, windowQueue);
    int sequence = static_cast<int>(windowQueue[0].size() + windowQueue[1].size());
    if (refusal) {
        const char* why = !read          ? "it is empty or cannot be read"
                          : text.empty() ? "it holds no whole skin element: cut short, or not a skin file"
                          : sequence == 0 && playlistEnd == std::string::npos ? "it defines no window"
                                                                              : nullptr;
        if (why) {
            for (auto& queue : windowQueue)
                queue.clear();
            *refusal = why;
            return false;
        }
    }

    readSections(text);
    // Workers never create fonts: "default" exists before the first window is built.
    getFontHandle("default");
    text.clear();
    lower.clear();

    for (int worker = 0; worker < nbCores - 1; ++worker)
        startWorker(worker);
    if (playlistEnd != std::string::npos) {
        SkinWindow* playlist = new SkinWindow(this, &playlistDefinition, "playlist");
        playlist->sequence = sequence;
        appendWindow(playlist);
        SkinTab* first = playlist->tabGroups[0]->getTab(0);
        std::string resizeObject = playlistResizeObject, moveObject = playlistMoveObject;
        first->addObjectFromXML(&resizeObject);
        first->addObjectFromXML(&moveObject);
        playlist->resize(1024, 400);
    }
    ++sequence;
    startWorker(nbCores - 1);
    {
        std::unique_lock<std::mutex> lock(workerMutex);
        workersDone.wait(lock, [this] { return runningWorkers == 0; });
    }
    // Windows were appended as the threads finished them: put them back in file order.
    std::stable_sort(windows.begin(), windows.end(),
                     [](const std::unique_ptr<SkinWindow>& a, const std::unique_ptr<SkinWindow>& b) {
                         return a->sequence < b->sequence;
                     });

    std::string popupDefinition = popupWindowDefinition;
    SkinWindow* popup = new SkinWindow(this, &popupDefinition, "_popupwindow");
    popup->sequence = sequence++;
    appendWindow(popup);
    std::string pathFolder = getFilePath(path);
    if (!pathFolder.empty()) pathFolder.pop_back();
    std::string optionsPath = getFilePath(pathFolder) + "support/optionswindow.xml";
    if (FileExist(optionsPath)) {
        std::string optionsDefinition = readFileContents(optionsPath);
        SkinWindow* options = new SkinWindow(this, &optionsDefinition, "_options");
        options->sequence = sequence++;
        appendWindow(options);
    }

    showAtStart();
    fixPlaylist();
    for (size_t w = 0; w < windows.size(); ++w)
        for (auto& group : windows[w]->tabGroups)
            group->setDefaultTab(true);
    for (const char* startup : {"startup.djscript", "startup.tlmscript"})
        if (SkinScript* script = getScript(startup)) script->executeScript(false, 0, false, 0.0, 0);
    loaded = true;
    printf("%s ms to load skin\n", dblToStr(timeGetExactTime() - start, 2).c_str());
    return true;
}

void Skin::closeSkin() {
    if (!loaded) return;
    windows.clear();
    focusedWindow = nullptr;
    pictures.clear();
    picturePaths.clear();
    backgroundPicture = nullptr;
    colors.clear();
    songColors.clear();
    fonts.clear();
    imageRefs.clear();
    loaded = false;
}

// ---- Registry -------------------------------------------------------------------------------------

SkinWindow* Skin::getWindow(const std::string& name) const {
    for (auto& window : windows)
        if (window->name == name) return window.get();
    return nullptr;
}

void Skin::getBounds(float* width, float* height) const {
    float w = 0, h = 0;
    for (auto& window : windows)
        for (int layer = 0; layer < 4; ++layer) {
            SkinWindowStateInfo* state = window->layerStates[layer].get();
            if (!state->visible) continue;
            w = std::max(w, state->x + window->width);
            h = std::max(h, state->y + window->height);
        }
    *width = w;
    *height = h;
}

CPicture* Skin::loadPicture(const std::string& name) {
    if (name.empty()) return nullptr;
    std::string n = strreplace(name, "\\", "/");
    static const char* const extensions[] = {".png", ".jpg", ".gif", ".bmp"};
    std::string path;
    for (const std::string& base : {folder + n, "./skins/" + n}) {
        for (const char* extension : extensions)
            if (FileExist(base + extension)) {
                path = base + extension;
                break;
            }
        if (!path.empty()) break;
    }
    if (path.empty()) {
        reportUnresolved("picture", name);
        return nullptr;
    }

    {
        CriticalSectionGuard guard(&cs_windowCreation);
        for (size_t i = 0; i < picturePaths.size(); ++i)
            if (picturePaths[i] == path) return pictures[i].get();
    }

    // Decoded outside the lock; two threads may decode the same new file, both entries stay valid.
    auto picture = std::make_unique<CPicture>();
    picture->load(path);
    CriticalSectionGuard guard(&cs_windowCreation);
    pictures.push_back(std::move(picture));
    picturePaths.push_back(path);
    return pictures.back().get();
}

SkinImageRef* Skin::getImageRef(const std::string& description, int, int) {
    if (description.empty()) return nullptr;
    std::string text = description;
    std::string lower = strtolower(text);
    auto byName = [&](const std::string& name) -> SkinImageRef* {
        for (auto& ref : imageRefs)
            if (ref->name == name) {
                SkinImageRef* copy = new SkinImageRef(ref->picture, ref->rect.get());
                copy->name = ref->name;
                return copy;
            }
        reportUnresolved("image", name);
        return nullptr;
    };
    std::string name = getXMLElementCIFast(text, lower, "name");
    if (!name.empty()) return byName(name);
    std::string file = getXMLElementCIFast(text, lower, "file");
    if (!file.empty()) {
        CPicture* picture = loadPicture(file);
        if (!picture) return nullptr;
        SkinImageRef* ref = new SkinImageRef();
        ref->picture = picture;
        ref->rect->right = ref->rect->width = static_cast<float>(picture->width);
        ref->rect->bottom = ref->rect->height = static_cast<float>(picture->height);
        return ref;
    }
    return byName(description);
}

unsigned int Skin::getColor(const std::string& description) const {
    std::string text = description;
    std::string lower = strtolower(text);
    std::string r = getXMLElementCIFast(text, lower, "r");
    if (!r.empty())
        return SkinColor::fromChannels(strToInt(r), strToInt(getXMLElementCIFast(text, lower, "g")),
                                       strToInt(getXMLElementCIFast(text, lower, "b")));
    std::string name = strtolower(getXMLElementCIFast(text, lower, "name"));
    if (name.empty()) name = strtolower(strtrim(description));
    for (auto& color : colors)
        if (strtolower(color->name) == name) return color->value;
    const_cast<Skin*>(this)->reportUnresolved("colour", name);
    return 0;
}

SkinFont* Skin::getFontHandle(const std::string& name) {
    std::string n = name.empty() ? std::string("default") : strtolower(name);
    for (auto& font : fonts)
        if (strtolower(font->name) == n) return font.get();
    if (n != "default") reportUnresolved("font", name);
    for (auto& font : fonts)
        if (strtolower(font->name) == "default") return font.get();
    std::string definition = "<name>default</name>";
    CriticalSectionGuard guard(&cs_windowCreation);
    fonts.emplace_back(new SkinFont(&definition));
    return fonts.back().get();
}

void Skin::reportUnresolved(const std::string& what, const std::string& name) {
    std::lock_guard<std::mutex> lock(unresolvedMutex);
    if (onUnresolved) onUnresolved(what, name);
}

void Skin::readGenreColors(const std::string& path) {
    std::string text = readContents(path);
    std::string lower = strtolower(text);
    for (std::string& genre : allElements(text, lower, "genre"))
        genreColors.emplace_back(new SkinColor(&genre));
}

// ---- Scripts and triggers -----------------------------------------------------------------------

SkinScript* Skin::getScript(const std::string& name) {
    for (auto& script : scripts)
        if (script->name == name) return script.get();
    if (!name.empty() && FileExist(folder + name)) {
        scripts.emplace_back(new SkinScript(interface, folder + name, name));
        return scripts.back().get();
    }
    if (isLeft(name, "script:")) {
        scripts.emplace_back(new SkinScript(interface, name));
        return scripts.back().get();
    }
    return nullptr;
}

SkinScript* Skin::addScript(const std::string& name, const std::string& text) {
    for (auto& script : scripts)
        if (script->name == name) return script.get();
    SkinScript* script = new SkinScript(interface, name);
    script->initFromString(text);
    scripts.emplace_back(script);
    return script;
}

void Skin::stopScript(const std::string& name, int deck) {
    if (!isValidDeck(deck)) return;
    for (auto& script : scripts) {
        if (script->name != name) continue;
        if (script->resumeLine[deck] <= 0 && script->startCount[deck] <= 0) continue;
        if (script->resumeLine[deck] > 0) --script->startCount[deck];
        script->resumeLine[deck] = 0;
        script->resumeTime[deck] = 0;
        script->stopFlag[deck] = true;
    }
}

void Skin::addTrigger(SkinScriptTrigger* trigger) {
    triggers.emplace_back(trigger);
}

void Skin::removeTrigger(const std::string& name) {
    // While triggers are polled, the trigger being polled may be the one removed (its own
    // script removes or replaces it): it is only marked, and swept after the poll.
    for (auto& trigger : triggers)
        if (trigger->name == name) trigger->dead = true;
    if (pollingTriggers == 0) sweepTriggers();
}

void Skin::sweepTriggers() {
    triggers.erase(std::remove_if(triggers.begin(), triggers.end(),
                                  [](const std::unique_ptr<SkinScriptTrigger>& t) { return t->dead; }),
                   triggers.end());
}

int Skin::getNbTriggers() const {
    return static_cast<int>(triggers.size());
}

SkinScriptTrigger* Skin::getTrigger(int i) const {
    return i >= 0 && i < getNbTriggers() ? triggers[static_cast<size_t>(i)].get() : nullptr;
}

void Skin::handleTriggers() {
    double now = interface ? interface->getTime() : timeGetExactTime();
    // By index: a resumed script may create scripts (inline "script:" texts).
    for (size_t i = 0; i < scripts.size(); ++i) {
        SkinScript* script = scripts[i].get();
        for (int deck = 0; deck < 4; ++deck) {
            if (script->startCount[deck] > 0 && script->resumeTime[deck] > 0 && now > script->resumeTime[deck])
                script->executeScript(script->savedRelease[deck], script->savedDeck[deck], script->savedValueCall[deck],
                                      script->savedValue[deck], script->resumeLine[deck]);
        }
    }
    ++pollingTriggers;
    // The count is read afresh at every step: triggers added during the pass are polled too, up to
    // a bound; the others are polled at the next frame.
    size_t pollLimit = triggers.size() + maxAddedTriggerPolls;
    for (size_t i = 0; i < triggers.size() && i < pollLimit; ++i) {
        SkinScriptTrigger* trigger = triggers[i].get();
        if (trigger->dead) continue;
        trigger->handleTrigger();
        if (trigger->count == 0) trigger->dead = true;
    }
    --pollingTriggers;
    if (pollingTriggers == 0) sweepTriggers();
}

// ---- Variables and settings fragments --------------------------------------------------------------

std::string Skin::escapeText(const std::string& text) {
    return escapeTagText(text);
}

std::string Skin::unescapeText(const std::string& text) {
    return unescapeTagText(text);
}

std::string Skin::getVariable(const std::string& name) const {
    for (const tVariable& variable : variables)
        if (variable.name == name) return variable.value;
    return "";
}

void Skin::setVariable(const std::string& name, const std::string& value) {
    for (tVariable& variable : variables)
        if (variable.name == name) {
            variable.value = value;
            return;
        }
    variables.push_back(tVariable{name, value, false});
}

void Skin::setVariablePersistent(const std::string& name, bool persistent, const std::string& value) {
    for (tVariable& variable : variables)
        if (variable.name == name) {
            variable.persistent = persistent;
            return;
        }
    variables.push_back(tVariable{name, value, persistent});
}

std::string Skin::getVariablesXML() const {
    std::string xml;
    for (const tVariable& variable : variables)
        if (variable.persistent)
            xml += "<VARIABLE><NAME>" + escapeText(variable.name) + "</NAME><VALUE>" + escapeText(variable.value) +
                   "</VALUE></VARIABLE>";
    return xml;
}

void Skin::initVariablesFromXML(const std::string& text) {
    std::string lower = strtolower(text);
    for (std::string& variable : allElements(text, lower, "variable")) {
        std::string variableLower = strtolower(variable);
        setVariable(unescapeText(getXMLElementCIFast(variable, variableLower, "name")),
                    unescapeText(getXMLElementCIFast(variable, variableLower, "value")));
    }
}

std::string Skin::getTabOrderXML() const {
    std::string xml = "<SKINNAME>" + escapeText(skinName) + "</SKINNAME>";
    for (auto& window : windows)
        xml += "<" + window->name + "TABORDER>" + window->getTabOrderXML() + "</" + window->name + "TABORDER>";
    return xml;
}

void Skin::initTabOrderFromXML(const std::string& text) {
    std::string doc = text;
    std::string lower = strtolower(doc);
    if (unescapeText(getXMLElementCIFast(doc, lower, "skinname")) != skinName) return;
    for (auto& window : windows)
        window->initTabOrderFromXML(getXMLElementCIFast(doc, lower, strtolower(window->name) + "taborder"));
}
