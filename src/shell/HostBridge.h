// The host bridge: free functions with plain arguments between the desktop shell and the engine.
// The shell never touches an engine or skin object; it starts the engine, draws a frame, hands
// over events, polls the skin's requests, answers them and shuts down through these. The bridge
// owns the one engine, the application's skin binding and the skin.
//
// Coordinates: the shell passes view coordinates, y growing upwards from the view's bottom; the
// bridge turns them into skin coordinates (origin top left, y downwards) against the height last
// given to drawTLM. loadSong takes skin coordinates.
//
// Everything here runs on the main thread, with the shell's GL context current where drawing or
// textures are involved (drawTLM, myLBDraw, destroyStuff).
#pragma once

#include <string>

class SkinListBox;
class SkinObject;
class Tarlume;
class TarlumeSkinInterface;

// ---- Life cycle ---------------------------------------------------------------------------------

// Creates the engine, opens the sound devices, creates the skin binding and the skin, loads the
// configured skin (the default skin when it is missing), the genre colours and the saved tab
// order, and opens the controllers. Does nothing while an engine exists.
void initTLM();
// The application folder (the folder holding the executable, or the one set below), ending in
// "/"; also made the working directory, or the user data folder when the application folder is
// not writable (files written relative to the working directory must land somewhere).
std::string setCurDir();
// The application folder from now on (tests; empty: the executable's folder again).
void setApplicationFolder(const std::string& folder);
// Deletes the engine (which writes the settings), then the skin; the pop-up list is forgotten.
// Call with the GL context current: the skin's textures are deleted.
void destroyStuff();
// The engine, null before initTLM and after destroyStuff.
Tarlume* getEngine();
// The skin binding, starting the engine first when none runs.
TarlumeSkinInterface* getSkinInterface();
// The skin's extent: right and bottom edges of all visible window layers (pixels).
float getBoundWidth();
float getBoundHeight();

// ---- Frame --------------------------------------------------------------------------------------

// Draws every visible window layer (and the dragged row's ghost), reports a pending window move (the
// caller sets *moveX and *moveY to 0 first), runs the engine's frame update and refreshes the bounds.
// `view` is the shell's handle of the main view, handed back for file drags. The frame is recorded
// and drawn through GLRetainedFrame::screen(): into a framebuffer the shell keeps (retained), only
// what changed since the last frame is drawn; GLRetainedFrame::screen().damage() says where.
void drawTLM(float width, float height, void* view, float* moveX, float* moveY);
// Shrinks the window "playlist" by the excess when the skin does not fit the screen.
void reducePlaylist(float excessWidth, float excessHeight, float skinWidth, float skinHeight);

// ---- Events -------------------------------------------------------------------------------------

// Buttons: 1 left, 2 right, 3 other, 4 double click. `event` is not used.
void doMouseClick(float x, float y, bool released, int button, void* event);
void doMouseMove(float x, float y, bool dragging, int button);
void doScrollWheel(float x, float y, float deltaX, float deltaY);
// keyCode: a Mac virtual key code; characters: UTF-8 (never null: "" for none).
void doKeyPress(int keyCode, const char* characters, bool released);
// A file dropped at (x, y) in skin coordinates: a layer of the window "player" loads it into its
// deck; any other window layer hit gets it as a drop.
void loadSong(const char* path, float x, float y);
// A list row dragged out: asks the shell to drag the file from the last mouse point.
void startFileDrag(const char* path);
// Implemented by the shell: starts dragging `path` from (x, y), skin coordinates.
void viewStartFileDrag(void* view, const char* path, float x, float y);
// Draws the dragged row's ghost, its file name on a small dark strip, near (x, y) in skin
// coordinates: ghostOffset pixels right of and below it, so the pointer's own place stays visible.
constexpr int ghostWidth = 160, ghostHeight = 15, ghostOffset = 8;
void drawDragGhost(const char* path, float x, float y);
// The ghost every frame draws over the skin from now on (the shell sets it while a row is dragged);
// a null path draws none.
void setDragGhost(const char* path, float x, float y);

// ---- Requests (polled once per frame in this order; each answers true once per request) ---------

// The pop-up list's rectangle in skin coordinates.
bool needsToShowPopupMenu(float* x, float* y, float* width, float* height);
bool needsToHidePopupMenu();
// kind: 0 input box, 1 Yes/No alert.
bool needsToShowInputBox(std::string* defaultText, std::string* prompt, int* kind);
// The dialog's prompt and proposed file name.
bool needsToShowFileDialog(std::string* prompt, std::string* defaultName);
// A skin's "Preferences" option was pressed.
bool needsToShowPreferences();
// A quit request is waiting (does not clear it): the shell closes its pop-up first.
bool quitPending();
// On true the engine has been shut down (destroyStuff) before the answer.
bool needsToQuit();
// The user's answer: the input box's text, "Yes", or the chosen path. Cancel answers nothing.
void handleInputBox(const char* answer);

// ---- The pop-up list window (no-ops once the engine is shut down) --------------------------------

SkinObject* getPopupListBoxObject();
SkinListBox* getPopupLB();
void myLBDraw(float width, float height);
void myLBdoMouseClick(float x, float y, bool released, int button, void* event);
void myLBdoMouseMove(float x, float y, bool dragging, int button);

// ---- Settings the preferences window reads and writes (each starts the engine when none runs) ---

// Internal mixer = not the engine's external-mixer flag.
void setOutputModeInternalMixer(bool internal);
bool getOutputModeInternalMixer();
// Frames per device block; 0 = the device's own.
void setBufferSize(int frames);
int getBufferSize();
// Device ids and 0-based channel pairs (-1 unset) of the four deck inputs and the four outputs;
// slots outside 0..3 are ignored.
void setInputDeviceConfig(int slot, unsigned long device, int left, int right);
void getInputDeviceConfig(int slot, unsigned long* device, int* left, int* right);
void setOutputDeviceConfig(int deck, unsigned long device, int left, int right);
void getOutputDeviceConfig(int deck, unsigned long* device, int* left, int* right);
// A deck's default timecode record (enTimecodeType) and relative mode, saved as DEFAULTVINYL and
// VC_RELATIVEMODE; decks outside 0..3 are ignored.
void setDefaultVinylType(int deck, int type);
int getDefaultVinylType(int deck);
void setVinylDefaultMode(int deck, bool relative);
bool getVinylDefaultMode(int deck);
// Reopens every sound device from the settings above.
std::string applyAudioSettings();
// The index-th controller file of the application's "devices" folder ("" past the end), copied
// into the buffer and cut at a UTF-8 character boundary when it does not fit.
void getControllerConfigName(int index, char* buffer, unsigned long size);
void setControllerConfig(const char* device, const char* file);
// The index-th sound device of a direction: index 0 is the default device (id 0), then the devices
// with channels in that direction. False past the end.
bool getDeviceName(int index, std::string* name, bool input, unsigned long* deviceId);
// Channels of the device in that direction (id 0: the default device); 0 when unknown.
int getNbChannels(unsigned long deviceId, bool input);
// The index-th skin of the application's "skins" folder, in name order: its name (file name less
// ".xml", case kept) and whether it is the configured one (case ignored). False past the end.
bool getSkinName(int index, std::string* name, bool* isCurrent);
// The skin loaded at the next start; a name with a "/" (a path, not a skin of the folder) or an
// empty one is refused.
void setSkin(const char* name);
// The index-th controller (0 "Keyboard", then the MIDI sources): its name, its configuration
// file's name ("None" for none) and "Connected" or "Not Connected". False past the end.
bool getMidiDeviceName(int index, std::string* name, std::string* configFile, std::string* status);
// A count that moves whenever the MIDI devices as listed changed (a controller came or went, a server answers again):
// a controllers list shown elsewhere is filled again then.
unsigned midiDeviceChanges();
// The skin binding's options by name for a deck: a flag, a number, a press. A flag is set by
// pressing its option when it differs.
bool getOptionValue(const char* name, int deck);
void setOptionValue(const char* name, bool value, int deck);
double getOptionValueDbl(const char* name, int deck);
void setOptionValueDbl(const char* name, double value, int deck);
void clickOptionButton(const char* name, int deck);
// Writes the settings file now; false when it could not be written.
bool saveSettings();
// Copies text into a buffer of `size` bytes with its terminating zero, cut where a whole UTF-8
// character ends; the bytes copied.
size_t copyTextCut(const std::string& text, char* buffer, size_t size);
