#include "shell/HostBridge.h"

#include "controllers/ControllerHub.h"
#include "engine/EngineHooks.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/AppPaths.h"
#include "platform/GL.h"
#include "platform/GLRetainedFrame.h"
#include "skin/Skin.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "shell/TarlumeForMac.h"
#include "skin/SkinWindow.h"
#include "ui/TarlumeSkinInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

// The engine itself is the engine library's global `tlm`.
TarlumeSkinInterface* interface = nullptr;
float boundWidth = 0, boundHeight = 0;
float screenHeight = 0;
float lastX = 0, lastY = 0; // skin coordinates
SkinListBox* lb = nullptr;
std::string applicationFolderOverride;
std::unique_ptr<CPicture> ghost; // the dragged row's picture
std::string ghostPath;
std::string shownGhost; // the ghost each frame draws ("": none), at shownGhostX, shownGhostY
float shownGhostX = 0, shownGhostY = 0;
CPicture screenTarget; // the main view as a drawing target: its size, no pixels of its own

// What the engine asks of the shell, answered through the bridge.
class BridgeShell : public EngineShell {
public:
    void startFileDrag(const std::string& path, void*) override { ::startFileDrag(path.c_str()); }
    void showDialog(const std::string& message) override {
        if (!interface) return;
        interface->inputKind = 1;
        interface->inputDefaultText.clear();
        interface->inputPrompt = message;
        interface->inputRequested = true;
    }
    // The settings and playlists are written: the program ends without waiting for a server that stopped
    // answering (nothing after the engine's end needs doing for a user).
    void devicesDidNotClose() override {
        fflush(nullptr);
        _exit(0);
    }
} bridgeShell;

Skin* skinOf() {
    return tlm ? tlm->skin : nullptr;
}

Skin* loadedSkin() {
    Skin* s = skinOf();
    return s && s->loaded ? s : nullptr;
}

// A layer is drawn and hit only while visible and not hidden.
SkinWindowStateInfo* drawableLayer(SkinWindow* w, int layer) {
    SkinWindowStateInfo* st = w->layerState(layer);
    return st && st->visible && !st->hidden ? st : nullptr;
}

// Left and top edges inclusive, right and bottom exclusive.
bool insideLayer(const SkinWindow* w, const SkinWindowStateInfo* st, float x, float y) {
    return x >= st->x && x < st->x + w->width && y >= st->y && y < st->y + w->height;
}

// Calls visit(window, layer, state) for every drawable layer of every window, in the skin's order.
template <typename Visit> void forEachDrawableLayer(Skin* skin, Visit visit) {
    // Handlers may show or hide windows, but never add or remove them while events run.
    for (size_t i = 0; i < skin->windows.size(); ++i) {
        SkinWindow* w = skin->windows[i].get();
        for (int layer = 0; layer < 4; ++layer)
            if (SkinWindowStateInfo* st = drawableLayer(w, layer)) visit(w, layer, st);
    }
}

} // namespace

// ---- Life cycle ---------------------------------------------------------------------------------

void setApplicationFolder(const std::string& folder) {
    applicationFolderOverride = folder;
    if (!applicationFolderOverride.empty() && applicationFolderOverride.back() != '/') applicationFolderOverride += '/';
}

std::string setCurDir() {
    std::string dir = applicationFolderOverride.empty() ? AppPaths::applicationFolder() : applicationFolderOverride;
    if (access(dir.c_str(), W_OK) == 0) {
        if (chdir(dir.c_str()) == 0) return dir;
    }
    std::string data = AppPaths::userDataFolder();
    if (AppPaths::makeFolders(data) && chdir(data.c_str()) == 0) return dir;
    if (chdir(dir.c_str()) != 0) {
        // Nowhere to stand: relative paths stay where the program was started.
    }
    return dir;
}

void initTLM() {
    if (tlm) return;
    tlm = new Tarlume();
    if (!applicationFolderOverride.empty()) tlm->applicationFolder = applicationFolderOverride;
    tlm->shell = &bridgeShell;
    tlm->initAudio();
    std::string dir = setCurDir();
    if (!dir.empty() && dir.back() == '/') dir.pop_back();
    if (!tlm->skin) {
        interface = new TarlumeSkinInterface(tlm);
        Skin* skin = new Skin(interface);
        tlm->skin = skin;
        skin->initVariablesFromXML(tlm->skinVariables);
        // A missing skin (a folder not plugged in) gives the default skin and stays chosen; a broken one is
        // said, and forgotten so the next start does not meet it again.
        const std::string defaultSkin = "kolt-1280";
        const std::string path = dir + "/skins/" + tlm->skinName + ".xml";
        std::string refusal;
        bool loaded = tlm->skinName != defaultSkin && Tarlume::isSkinName(tlm->skinName) && FileExist(path) &&
                      skin->loadSkin(path, &refusal);
        if (!refusal.empty()) {
            fprintf(stderr, "Skin \"%s\" is not used (%s): the default skin is loaded instead\n", tlm->skinName.c_str(),
                    refusal.c_str());
            tlm->skinName = defaultSkin;
        } else if (!loaded && tlm->skinName != defaultSkin) {
            fprintf(stderr, "Skin \"%s\" is not found (%s): the default skin is loaded instead\n",
                    tlm->skinName.c_str(), path.c_str());
        }
        if (!loaded) skin->loadSkin(dir + "/skins/" + defaultSkin + ".xml");
        if (FileExist(dir + "/genrecolors.xml")) skin->readGenreColors(dir + "/genrecolors.xml");
        skin->getBounds(&boundWidth, &boundHeight);
        skin->initTabOrderFromXML(tlm->skinTabOrder);
    }
    tlm->controllerFactory = &controllerFactory();
    tlm->connectHIDs();
}

void destroyStuff() {
    if (!tlm) return;
    // The pop-up list belongs to the skin: forget it before the skin goes.
    lb = nullptr;
    ghost.reset();
    ghostPath.clear();
    shownGhost.clear();
    GLRetainedFrame::screen().invalidate();
    Skin* skin = tlm->skin;
    delete tlm; // writes the settings, reading the skin's variables and tab order
    tlm = nullptr;
    delete skin;
    delete interface;
    interface = nullptr;
    glDeletePendingTextures();
}

Tarlume* getEngine() {
    return tlm;
}

TarlumeSkinInterface* getSkinInterface() {
    if (!tlm) initTLM();
    return interface;
}

float getBoundWidth() {
    return boundWidth;
}

float getBoundHeight() {
    return boundHeight;
}

// ---- Frame --------------------------------------------------------------------------------------

void drawTLM(float width, float height, void* view, float* moveX, float* moveY) {
    screenHeight = height;
    screenTarget.width = int(width);
    screenTarget.height = int(height);
    if (!tlm) initTLM();
    tlm->view = view;
    // The frame is recorded, then only what changed is drawn, before the engine's update can let go of
    // anything the recording names.
    GLRetainedFrame& frame = GLRetainedFrame::screen();
    frame.begin(int(width), int(height));
    GLDrawList& list = frame.list();
    GLPrimitives* direct = interface ? interface->gl : nullptr;
    if (direct == GLPrimitives::immediate()) interface->gl = &list;
    if (Skin* skin = skinOf()) {
        forEachDrawableLayer(skin, [&](SkinWindow* w, int layer, SkinWindowStateInfo* st) {
            list.setOrigin(st->x, st->y);
            w->draw(layer);
            if (st->moveX != 0 || st->moveY != 0) {
                // Only the last pending move is reported; every one is taken.
                if (moveX) *moveX = st->moveX;
                if (moveY) *moveY = st->moveY;
                st->lastMouseX -= st->moveX;
                st->lastMouseY -= st->moveY;
                st->moveX = 0;
                st->moveY = 0;
            }
        });
    }
    list.setOrigin(0, 0);
    if (!shownGhost.empty()) {
        list.beginGroup(&ghost, nullptr, 0);
        drawDragGhost(shownGhost.c_str(), shownGhostX, shownGhostY);
    }
    if (interface) interface->gl = direct;
    frame.end();
    drainControllerInput();
    tlm->update();
    if (Skin* skin = skinOf()) skin->getBounds(&boundWidth, &boundHeight);
}

void reducePlaylist(float excessWidth, float excessHeight, float skinWidth, float skinHeight) {
    Skin* skin = loadedSkin();
    SkinWindow* w = skin ? skin->getWindow("playlist") : nullptr;
    SkinWindowStateInfo* st = w ? w->layerState(0) : nullptr;
    if (!st || !st->visible) return;
    float reduceW = excessWidth, reduceH = excessHeight;
    if (skinWidth > 0 || skinHeight > 0) {
        if (st->x + w->width < skinWidth) reduceW = 0;
        if (st->y + w->height < skinHeight) reduceH = 0;
    }
    w->resize(w->width - reduceW, w->height - reduceH);
}

// ---- Events -------------------------------------------------------------------------------------

void doMouseClick(float x, float y, bool released, int button, void*) {
    float py = screenHeight - y;
    lastX = x;
    lastY = py;
    Skin* skin = loadedSkin();
    if (!skin) return;
    forEachDrawableLayer(skin, [&](SkinWindow* w, int layer, SkinWindowStateInfo* st) {
        if (!released) {
            if (!insideLayer(w, st, x, py)) return;
            // No early exit: overlapping layers all get the press, the last keeps the focus.
            skin->focusedWindow = w;
            skin->focusedLayer = layer;
            w->mouseDown(x - st->x, py - st->y, button, 0, layer);
        } else if (st->pressedObject || insideLayer(w, st, x, py)) {
            w->mouseUp(x - st->x, py - st->y, button, 0, layer);
        }
    });
}

void doMouseMove(float x, float y, bool, int button) {
    float py = screenHeight - y;
    lastX = x;
    lastY = py;
    Skin* skin = loadedSkin();
    if (!skin) return;
    // A layer the pointer has left still gets the move while it shows an object under the pointer, so
    // that object stops showing it (the pointer may jump there, or come back from the pop-up list).
    forEachDrawableLayer(skin, [&](SkinWindow* w, int layer, SkinWindowStateInfo* st) {
        if (st->pressedObject || insideLayer(w, st, x, py) || w->hoverShown(layer))
            w->mouseMove(x - st->x, py - st->y, button, 0, layer);
    });
}

void doScrollWheel(float x, float y, float deltaX, float deltaY) {
    float py = screenHeight - y;
    Skin* skin = loadedSkin();
    if (!skin) return;
    forEachDrawableLayer(skin, [&](SkinWindow* w, int layer, SkinWindowStateInfo* st) {
        if (insideLayer(w, st, x, py)) w->scrollWheel(x - st->x, py - st->y, deltaX, deltaY, layer);
    });
}

void doKeyPress(int keyCode, const char* characters, bool released) {
    Skin* skin = loadedSkin();
    if (!skin || !skin->focusedWindow) return;
    skin->focusedWindow->keyPress(keyCode, characters ? characters : "", released, skin->focusedLayer);
}

void loadSong(const char* path, float x, float y) {
    Skin* skin = loadedSkin();
    if (!skin || !path) return;
    std::string file = path;
    forEachDrawableLayer(skin, [&](SkinWindow* w, int layer, SkinWindowStateInfo* st) {
        if (!insideLayer(w, st, x, y)) return;
        if (strtolower(w->name) == "player") {
            if (TarlumePlayer* deck = tlm->players[layer]) deck->loadSong(file.c_str(), false);
        } else {
            w->handleFileDrop(x - st->x, y - st->y, layer, file);
        }
    });
}

void startFileDrag(const char* path) {
    if (tlm && tlm->view && path) viewStartFileDrag(tlm->view, path, lastX, lastY);
}

// ---- Requests -----------------------------------------------------------------------------------

namespace {

// A request the interface raised for the shell, taken once: true when it was raised, and cleared.
bool takeRequest(bool& requested) {
    if (!requested) return false;
    requested = false;
    return true;
}

} // namespace

bool needsToShowPopupMenu(float* x, float* y, float* width, float* height) {
    if (!interface || !takeRequest(interface->showPopupRequested)) return false;
    if (x) *x = interface->popupX;
    if (y) *y = interface->popupY;
    if (width) *width = interface->popupWidth;
    if (height) *height = interface->popupHeight;
    return true;
}

bool needsToHidePopupMenu() {
    return interface && takeRequest(interface->hidePopupRequested);
}

bool needsToShowInputBox(std::string* defaultText, std::string* prompt, int* kind) {
    if (!tlm || !interface || !takeRequest(interface->inputRequested)) return false;
    if (defaultText) *defaultText = interface->inputDefaultText;
    if (prompt) *prompt = interface->inputPrompt;
    if (kind) *kind = interface->inputKind;
    return true;
}

bool needsToShowFileDialog(std::string* prompt, std::string* defaultName) {
    if (!tlm || !interface || !takeRequest(interface->fileDialogRequested)) return false;
    if (prompt) *prompt = interface->inputPrompt;
    if (defaultName) *defaultName = interface->inputDefaultText;
    return true;
}

bool needsToShowPreferences() {
    return interface && takeRequest(interface->preferencesRequested);
}

bool quitPending() {
    return tlm && interface && interface->quitRequested;
}

bool needsToQuit() {
    if (!quitPending()) return false;
    interface->quitRequested = false;
    destroyStuff();
    return true;
}

void handleInputBox(const char* answer) {
    if (tlm && interface && answer) interface->handleInputBox(std::string(answer));
}

// ---- The pop-up list window ---------------------------------------------------------------------

SkinObject* getPopupListBoxObject() {
    // Never starts an engine: after shut-down the pop-up has nothing left to show.
    Skin* skin = loadedSkin();
    SkinWindow* w = skin ? skin->getWindow("_popupwindow") : nullptr;
    if (!w || w->tabGroups.empty()) return nullptr;
    SkinTab* tab = w->tabGroups[0]->getTab(0);
    return tab ? tab->getObj(0) : nullptr;
}

SkinListBox* getPopupLB() {
    if (!lb && interface) lb = interface->getListBox(getPopupListBoxObject());
    return loadedSkin() ? lb : nullptr;
}

void myLBDraw(float width, float height) {
    SkinObject* o = getPopupListBoxObject();
    SkinListBox* list = getPopupLB();
    if (!o || !o->window || !list) return;
    o->window->resize(width, height);
    list->resize(o->rect.get());
    o->window->draw(0);
}

void myLBdoMouseClick(float x, float y, bool released, int button, void*) {
    SkinObject* o = getPopupListBoxObject();
    SkinListBox* list = getPopupLB();
    if (!o || !list) return;
    list->handleMouseClick(x, o->rect->height - y, button, 0, released);
}

void myLBdoMouseMove(float x, float y, bool, int button) {
    SkinObject* o = getPopupListBoxObject();
    SkinListBox* list = getPopupLB();
    if (!o || !list) return;
    list->handleMouseMove(x, o->rect->height - y, button, 0);
}

// ---- The dragged row ----------------------------------------------------------------------------

void setDragGhost(const char* path, float x, float y) {
    shownGhost = path ? path : "";
    shownGhostX = x;
    shownGhostY = y;
}

void drawDragGhost(const char* path, float x, float y) {
    Skin* skin = loadedSkin();
    if (!skin || !interface || !path) return;
    if (!ghost || ghostPath != path) {
        ghost = std::make_unique<CPicture>();
        if (!ghost->create(ghostWidth, ghostHeight)) return;
        for (int i = 0; i < ghostWidth * ghostHeight; ++i) {
            unsigned char* p = ghost->pixels + i * 4;
            p[0] = p[1] = p[2] = 0x30;
            p[3] = 0xFF;
        }
        ghostPath = path;
        std::string name = ghostPath.substr(ghostPath.rfind('/') + 1);
        interface->drawTextOnPic(ghost.get(), &name, 3, 1, ghostWidth - 6, ghostHeight - 2, 0x00FFFFFF,
                                 skin->getFontHandle("default"), nullptr, TEXTDRAW_SHORTEN, TEXTALIGN_LEFT);
    }
    CPicture::bitbltGL(&screenTarget, int(x) + ghostOffset, int(y) + ghostOffset, ghostWidth, ghostHeight, ghost.get(),
                       0, 0);
}

// ---- Settings the preferences window reads and writes ---------------------------------------------

namespace {
Tarlume* engine() {
    if (!tlm) initTLM();
    return tlm;
}
bool validSlot(int i) {
    return i >= 0 && i < Tarlume::kDecks;
}
} // namespace

size_t copyTextCut(const std::string& text, char* buffer, size_t size) {
    if (!buffer || size == 0) return 0;
    size_t n = std::min(text.size(), size - 1);
    // Never end inside a UTF-8 sequence: step back over continuation bytes to a lead byte whose
    // sequence fits whole.
    if (n < text.size()) {
        size_t lead = n;
        while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80)
            --lead;
        n = lead;
    }
    memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return n;
}

void setOutputModeInternalMixer(bool internal) {
    engine()->useExternalMixer = !internal;
}
bool getOutputModeInternalMixer() {
    return !engine()->useExternalMixer;
}
void setBufferSize(int frames) {
    engine()->framesPerBuffer = frames < 0 ? 0 : frames;
}
int getBufferSize() {
    return engine()->framesPerBuffer;
}
namespace {
// One input slot's or deck output's device and channel pair, inside the engine's arrays.
void storeDeviceConfig(int* devices, int (*channels)[2], int slot, unsigned long device, int left, int right) {
    if (!validSlot(slot)) return;
    devices[slot] = int(device);
    channels[slot][0] = left;
    channels[slot][1] = right;
}
void readDeviceConfig(const int* devices, const int (*channels)[2], int slot, unsigned long* device, int* left,
                      int* right) {
    if (!validSlot(slot)) return;
    if (device) *device = static_cast<unsigned long>(devices[slot]);
    if (left) *left = channels[slot][0];
    if (right) *right = channels[slot][1];
}
} // namespace

void setInputDeviceConfig(int slot, unsigned long device, int left, int right) {
    Tarlume* e = engine();
    storeDeviceConfig(e->inputDevice, e->inputChannels, slot, device, left, right);
}
void getInputDeviceConfig(int slot, unsigned long* device, int* left, int* right) {
    Tarlume* e = engine();
    readDeviceConfig(e->inputDevice, e->inputChannels, slot, device, left, right);
}
void setOutputDeviceConfig(int deck, unsigned long device, int left, int right) {
    Tarlume* e = engine();
    storeDeviceConfig(e->outputDevice, e->outputChannels, deck, device, left, right);
}
void getOutputDeviceConfig(int deck, unsigned long* device, int* left, int* right) {
    Tarlume* e = engine();
    readDeviceConfig(e->outputDevice, e->outputChannels, deck, device, left, right);
}
std::string applyAudioSettings() {
    engine()->initAudio();
    return engine()->audioError;
}
void getControllerConfigName(int index, char* buffer, unsigned long size) {
    copyTextCut(engine()->getControllerConfigName(index), buffer, size);
}
void setControllerConfig(const char* device, const char* file) {
    Tarlume* e = engine();
    if (!device || !file) return;
    e->setHIDConfig(device, file);
    e->connectHIDs();
}

void setDefaultVinylType(int deck, int type) {
    Tarlume* e = engine();
    if (validSlot(deck) && e->players[deck]) e->players[deck]->timecodeType = type;
}
int getDefaultVinylType(int deck) {
    Tarlume* e = engine();
    return validSlot(deck) && e->players[deck] ? e->players[deck]->timecodeType : 0;
}
void setVinylDefaultMode(int deck, bool relative) {
    Tarlume* e = engine();
    if (validSlot(deck) && e->players[deck]) e->players[deck]->relativeMode = relative;
}
bool getVinylDefaultMode(int deck) {
    Tarlume* e = engine();
    return validSlot(deck) && e->players[deck] && e->players[deck]->relativeMode;
}

bool getDeviceName(int index, std::string* name, bool input, unsigned long* deviceId) {
    char text[256];
    unsigned long id = 0;
    if (!LinuxAudioDevice::getDeviceName(index, text, sizeof(text) - 1, input, &id)) return false;
    if (name) *name = text;
    if (deviceId) *deviceId = id;
    return true;
}
int getNbChannels(unsigned long deviceId, bool input) {
    return LinuxAudioDevice::getNbChannels(deviceId, input);
}

bool getSkinName(int index, std::string* name, bool* isCurrent) {
    Tarlume* e = engine();
    std::vector<std::string> files;
    std::error_code error;
    // Stepped with an error code: a folder that can't be read ends the list instead of throwing.
    for (std::filesystem::directory_iterator it(e->applicationFolder + "skins", error), end; !error && it != end;
         it.increment(error)) {
        std::error_code kind;
        if (it->is_regular_file(kind)) files.push_back(it->path().filename().string());
    }
    std::sort(files.begin(), files.end());
    std::string found;
    bool current = false;
    if (!TarlumeForMac::skinEntry(files, index, e->skinName, &found, &current)) return false;
    if (name) *name = found;
    if (isCurrent) *isCurrent = current;
    return true;
}
void setSkin(const char* name) {
    Tarlume* e = engine();
    if (!name || !Tarlume::isSkinName(name)) return;
    e->skinName = name;
}

bool getMidiDeviceName(int index, std::string* name, std::string* configFile, std::string* status) {
    Tarlume* e = engine();
    if (index < 0) return false;
    std::string device =
        e->controllerFactory ? e->controllerFactory->getMidiDevice(index) : (index == 0 ? "Keyboard" : "");
    if (device.empty()) return false;
    tHIDConfig* config = nullptr;
    EngineController* controller = nullptr;
    e->getHIDConfig(device, &config, &controller);
    if (name) *name = device;
    if (configFile) *configFile = config && !config->configName.empty() ? getFileName(config->configName) : "None";
    if (status) *status = controller && controller->isConnected() ? "Connected" : "Not Connected";
    return true;
}

unsigned midiDeviceChanges() {
    return tlm ? tlm->controllerDeviceChanges : 0;
}

bool getOptionValue(const char* name, int deck) {
    TarlumeSkinInterface* ui = getSkinInterface();
    std::string spec = name ? name : "";
    return ui && ui->getValueBool(VALUE_OPTION, &spec, deck, nullptr);
}
void setOptionValue(const char* name, bool value, int deck) {
    if (getOptionValue(name, deck) != value) clickOptionButton(name, deck);
}
double getOptionValueDbl(const char* name, int deck) {
    TarlumeSkinInterface* ui = getSkinInterface();
    std::string spec = name ? name : "";
    return ui ? ui->getValueDbl(VALUE_OPTION, &spec, deck) : 0.0;
}
void setOptionValueDbl(const char* name, double value, int deck) {
    TarlumeSkinInterface* ui = getSkinInterface();
    std::string spec = name ? name : "";
    if (ui) ui->setValueDbl(VALUE_OPTION, &spec, deck, value);
}
void clickOptionButton(const char* name, int deck) {
    TarlumeSkinInterface* ui = getSkinInterface();
    if (!ui || !name) return;
    ui->handleMouseClickSimple(VALUE_OPTION, name, deck, false);
    ui->handleMouseClickSimple(VALUE_OPTION, name, deck, true);
}
bool saveSettings() {
    return engine()->writeSettings();
}
