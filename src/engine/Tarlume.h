// The DJ engine: one object (the global `tlm`) that owns the four decks, the master effects, the
// crossfader and the master and cue volumes, the sound devices and their mixer, the tag cache with
// the day's history playlist, the controllers and their configurations, the records of closed
// tracks and the log; it holds the skin. It reads "config.xml" when built and writes it when
// destroyed, and runs the per-frame update the shell calls after drawing each frame.
//
// Threads: everything here runs on the main thread unless said otherwise. The sound devices' audio
// threads read the decks, the master effects, the cue-before-effects flag and the recorders; the
// property that crosses is marked at each field.
#pragma once

#include "engine/EngineHooks.h"
#include "foundation/Picture.h"
#include "skin/SkinListBox.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class CID3v2Tag;
class EffectGroup;
class Skin;
class SkinListBox;
class SkinObject;
class SkinRect;
class TagCache;
class TagCacheDirectory;
class LinuxAudioDevice;
class TarlumeAudioDevice;
class TarlumePlayer;

// One configured controller: the device name it connects to and its controller file (a path, or a
// file name inside the application folder's "devices" folder).
struct tHIDConfig {
    std::string deviceName;
    std::string configName;
};

class Tarlume {
public:
    static constexpr int kDecks = 4;
    static constexpr int kBrowsers = 4;
    static constexpr int kInputSlots = 4;
    // Crossfader curve types 0 to 3 (see getCrossfaderVolume).
    static constexpr int kCrossfaderTypes = 4;
    // A frame gap longer than this (ms), or a clock that went back, counts as kDefaultFrameMs.
    static constexpr double kMaxFrameGapMs = 500.0;
    static constexpr double kDefaultFrameMs = 33.0;

    // Builds the engine: decks, master effects, folders (created with their parents), the tag cache
    // with the day's history list, then reads config.xml. Prints one line on standard error for each
    // folder that can't be created.
    Tarlume();
    // Writes config.xml, closes the decks' tracks (storing what they leave in the tag cache), writes back
    // the playlists changed in this run, closes the controllers, stops recording and the sound devices,
    // deletes the decks and the master effects, deletes the kept records and the tag cache, closes the log.
    virtual ~Tarlume();
    Tarlume(const Tarlume&) = delete;
    Tarlume& operator=(const Tarlume&) = delete;

    // ---- Crossfader and volumes -------------------------------------------------------------------
    // Present position (false) or glide target (true), 0 = fully left .. 1 = fully right.
    double getCrossfader(bool target);
    // Present position: re-applies every deck's volume. Both move the video crossfader too while it
    // follows. Values are clamped to 0..1.
    void setCrossfader(double value, bool target);
    double getCrossfaderVideo(bool target);
    void setCrossfaderVideo(double value, bool target);
    // Gain of crossfader side 1 (left) or any other positive side (right) at position x (clamped to
    // 0..1 first) for curve type 0..3; a negative type means the engine's own. Side 0 or less: 1.0.
    // Result in 0..1, never NaN.
    double getCrossfaderVolume(int side, double position, int type);
    // Curve type 0..3; false (unchanged) for any other.
    bool setCrossfaderType(int type);
    double getVolumeMaster();
    void setVolumeMaster(double value);
    double getVolumeCueMaster();
    void setVolumeCueMaster(double value);
    // The cue level remembered by deck 0.
    double getVolumeCue();
    // Raised to at least 0.05; every deck remembers it, decks whose cue is on take it.
    void setVolumeCue(double value);
    // Output rate in Hz. Any thread.
    double getSamplerate() const { return samplerate.load(std::memory_order_relaxed); }
    // When the rate differs, the engine and every deck take it; the master effects always do.
    void setSamplerate(double rate);
    // Re-applies every deck's volume (after a change of a gain input).
    void applyDeckVolumes();

    // ---- Recording --------------------------------------------------------------------------------
    // Records the master mix to a ".wav" or ".ogg" file (ending compared without case). A recording
    // that runs is stopped and finished first. Returns false, with a line on standard error and no
    // recorder installed, for any other ending, an unwritable path or no device carrying the master.
    bool startRecording(const std::string& path);
    // Detaches the recorders under the device locks, then finishes and deletes them outside.
    void stopRecording();
    bool isRecording();
    // Always "".
    std::string getRecordingStatus();
    // Sum of the smoothed loads of the connected devices (each a share of its block's duration).
    double getCPUUsage();

    // ---- Controllers ------------------------------------------------------------------------------
    void setHIDConfig(const std::string& deviceName, const std::string& configName);
    // Each non-null out-pointer is cleared, then set to the first configuration / connected
    // controller of that device name; true when either was found.
    bool getHIDConfig(const std::string& deviceName, tHIDConfig** config, EngineController** device);
    // Disconnects, then connects every configured controller whose file exists (needs a registered
    // controllerFactory; without one there are no controllers).
    void connectHIDs();
    void disconnectHIDs();
    // Name of the i-th file in the application folder's "devices" folder; "" past the end.
    std::string getControllerConfigName(int i);

    // ---- Per frame, folders, log -------------------------------------------------------------------
    // Frame time, crossfader glides, the decks' updates, the skin's triggers, the controllers.
    void update();
    // Appends the bytes to "log.txt" in the user data folder (created afresh at the first message).
    void log(const std::string& text);
    // The folder holding the executable, ending in "/"; made the working directory.
    std::string getCurDir();
    // The user's home folder (password entry, else HOME).
    std::string getUserFolder();
    std::string getMusicFolder();
    // The skin variable of that name; "" without a skin.
    std::string getVariable(const std::string& name);

    // ---- Settings (config.xml in the user data folder) --------------------------------------------
    // A file that can't be read, or is damaged (cut short, not a settings file), is told about in one line
    // on standard error; what can be read of a damaged one is used.
    void loadSettings();
    // The fields a settings file's text holds, read from it (what loadSettings does with the file's bytes).
    void readSettingsText(const std::string& text);
    // The text writeSettings writes.
    std::string settingsText();
    // Written atomically (a temporary file of its own, flushed, synced, renamed; through a symbolic link to
    // its target); on failure the old file stays and a line on standard error says why. A damaged file read
    // at start is kept as config.xml.bad first; one that could not be read at all is never replaced. False
    // when nothing was written.
    bool writeSettings();
    std::string getSettingsPath() const { return userDataFolder + "config.xml"; }
    // A skin is named by a file of the skins folder (the name without ".xml"): no path, no "." or "..".
    static bool isSkinName(const std::string& name);

    // ---- Sound devices ----------------------------------------------------------------------------
    // Rebuilds every device from the routing fields, opens them and attaches the inputs in use.
    // What could not be opened is in `audioError` ("" when every device opened).
    void initAudio();
    // Attaches the inputs the decks use (pass-through or timecode), detaches the others.
    void updateAudioInputs();
    // Disconnects every device, stops recording, then deletes them; when a stalled block may still be inside one,
    // every device, and the recording, stay until it has left (see releaseStalledDevices).
    void destroyAudio();
    // Every frame: a device whose stream ended by itself (a card unplugged, a JACK server stopped) goes on
    // a null device, one line on standard error says so, and it is opened again once it is back; a device
    // whose rate changed passes it on. Part of update().
    void watchAudio();
    // Holds every device's lock (their callbacks play silence meanwhile): for the rare main-thread
    // change the audio threads must not see half done, such as replacing a deck's player.
    void lockAudio();
    void unlockAudio();
    struct AudioLock {
        explicit AudioLock(Tarlume* engine) : e(engine) { e->lockAudio(); }
        ~AudioLock() { e->unlockAudio(); }
        AudioLock(const AudioLock&) = delete;
        AudioLock& operator=(const AudioLock&) = delete;
        Tarlume* e;
    };

    // ---- Browser lists (the user interface's lists, kept here) -------------------------------------
    // The list for the object's value id, made at its first request; browser i outside 0..3 is 0.
    SkinListBox* getListBox(SkinObject* object, SkinRect* rect, int i);
    void updateFileList(int i);
    void updatePlaylist(int i);
    void updateFolderList(int i);
    void addTagToListbox(CID3v2Tag* tag, SkinListBox* list);
    void addFolderToLB(TagCacheDirectory* dir, SkinListBox* list, const std::string& currentPath, int level);
    void changeFolder(int i, std::string path);
    void addFileToPlaylist(int i, const std::string& path);
    void createPlaylist(std::string name, int i);
    // Writes back the m3u playlists loaded whole and changed in this run.
    void writePlaylists();
    void plSwitchActive();
    // With no list holding the keyboard, browser 0's file list takes it, else its folders, else its playlist.
    void plTakeFirstList();
    void plScrollUp();
    void plScrollDown();
    // Rebuilds every controller list (connection states and configurations change on reconnect).
    void refreshControllerLists();
    // Per frame: file and playlist lists showing their loading bar follow their library list's
    // progress and are refilled once it is loaded (a file list's folder tree with it).
    void updateBrowserLoading();
    static constexpr size_t kMaxFolderHistory = 100; // entries kept per browser, newest last

    // A deck's timecode-vinyl settings as the settings file keeps them.
    struct DeckSettings {
        int defaultVinyl = 0;
        bool relativeMode = false;
        bool superRelative = false;
        double gain = 1.0;
        double pitchVariance = 0.0003;
    };

    // ---- State (read and written directly by the user interface and the shell) -------------------
    std::atomic<double> samplerate{48000.0}; // Hz; read by audio threads
    double crossfader = 0.5;                 // 0 = fully left .. 1 = fully right
    double crossfaderTarget = 0.5;
    double crossfaderVideo = 0.5;
    double crossfaderVideoTarget = 0.5;
    double volumeMaster = 1.0;    // gain of the master bus
    double volumeCueMaster = 0.0; // share of a deck's main gain that also goes to the cue bus
    double lastUpdateTime = 0.0;  // ms (EngineClock) of the previous update; 0 before the first
    bool autoCue = true;
    double crossfaderSpeed = 1.0; // seconds for a glide across the whole travel; <= 0 is instant
    int crossfaderType = 0;       // 0..3
    double crossfaderSteepness = 0.0;
    std::atomic<bool> cueBeforeEffects{false}; // read by audio threads
    bool useExternalMixer = false;             // every deck to its own outputs
    double waveformZoom = 40.0;                // pixels per second of the scrolling waveforms
    bool spectrum1 = true, spectrum2 = true;   // analysis switches handed to each new player
    int timecodeLoopMode = 1;                  // how a loop starts on a deck under timecode control
    bool warnWhenLoadingTrack = true;
    bool crossfaderVideoLinked = true; // setting the crossfader sets the video crossfader too

    // Routing. Device ids are stable sound-device ids (0 = the default device of the direction);
    // channels count from 0 within a device, -1 = none. Output deck 0 is the master pair and deck 1
    // the cue pair with the internal mixer; each deck its own pair with the external mixer.
    int outputDevice[kDecks] = {0, 0, 0, 0};
    int inputDevice[kInputSlots] = {0, 0, 0, 0};
    int outputChannels[kDecks][2] = {{0, 1}, {2, 3}, {-1, -1}, {-1, -1}};
    int inputChannels[kInputSlots][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    int framesPerBuffer = 0; // requested device block in frames; 0 = the device's own
    void* view = nullptr;    // the shell's drawing view, stored every frame

    TarlumePlayer* players[kDecks] = {nullptr, nullptr, nullptr, nullptr}; // owned
    std::unique_ptr<EffectGroup> masterEffects;
    std::vector<std::unique_ptr<TarlumeAudioDevice>> soundDevices;
    // Devices taken out of use while a block their stream gave up waiting for (stalled past the stop's wait) may
    // still be inside one of them: that block reads the decks and writes into the others' rings.
    std::vector<std::unique_ptr<TarlumeAudioDevice>> stalledDevices;
    std::string audioError; // the last initAudio's failures, one sentence each

    TagCache* tagCache = nullptr;             // owned
    TagCacheDirectory* historyList = nullptr; // the day's history playlist, owned by the tag cache
    std::vector<CID3v2Tag*> playedRecords;    // tracks played over 30 s, in order; not owned
    std::vector<CID3v2Tag*> keptRecords;      // owned; may hold a record twice, deleted once

    std::vector<std::unique_ptr<EngineController>> controllers; // connected ones
    std::vector<tHIDConfig> controllerConfigs;                  // at most one per device name
    EngineControllerFactory* controllerFactory = nullptr;       // registered by the controllers' layer
    EngineShell* shell = nullptr;                               // registered by the shell
    // How long the end waits for sound and MIDI to close when a shell is registered (see EngineShell).
    std::chrono::milliseconds deviceCloseLimit{3000};

    Skin* skin = nullptr; // held, not owned; set by the shell, deleted after the engine
    std::string skinName = "kolt-1280";
    std::string skinVariables; // VARIABLES read from the settings
    std::string skinTabOrder;  // SKINTABORDER read from the settings

    // Browsers 0..3 (list boxes are made when the skin asks and kept until the engine ends).
    SkinListBox* playlistList[kBrowsers] = {nullptr, nullptr, nullptr, nullptr};
    SkinListBox* folderList[kBrowsers] = {nullptr, nullptr, nullptr, nullptr};
    SkinListBox* fileList[kBrowsers] = {nullptr, nullptr, nullptr, nullptr};
    std::string playlistPath[kBrowsers];               // the browser's playlist file
    std::string currentFolder[kBrowsers];              // a folder ending in "/", or a "search:" / "recurse:" name
    std::vector<std::string> folderHistory[kBrowsers]; // newest last
    std::string folderTreeRoot[kBrowsers];             // the folder of the tree's first row; empty before the first
    TagCacheDirectory* playlistDirectory[kBrowsers] = {nullptr, nullptr, nullptr, nullptr};
    TagCacheDirectory* fileDirectory[kBrowsers] = {nullptr, nullptr, nullptr, nullptr};
    std::string fileListSettings[kBrowsers]; // LBFILESi column widths
    std::string playlistSettings[kBrowsers]; // LBPLi column widths
    bool columnMode = false;
    SkinListBox* popupList = nullptr;
    SkinListBox* activeList = nullptr;                   // the list keyboard scrolling moves (browser 0)
    std::vector<std::unique_ptr<SkinListBox>> listBoxes; // every list above, owned until the engine ends
    std::vector<std::unique_ptr<CPicture>> listPictures; // list icons copied from the "playlist" window
    std::vector<SkinListBox*> controllerLists;           // the "mididevices" lists (in their objects' states)
    unsigned controllerDeviceChanges = 0; // moves when the MIDI devices as listed changed: other lists follow it

    // Folders, each ending in "/".
    std::string applicationFolder; // holds skins, devices, vinylcontrol, support
    std::string userDataFolder;    // $XDG_DATA_HOME/tarlume
    std::string playlistsFolder;   // user data folder + "playlists/"
    std::string historyPath;       // the day's history playlist file

private:
    struct Browser; // the browser lists' helpers (TarlumeBrowser.cpp)
    friend struct Browser;
    void createDecks();
    void deleteDecks();
    void makeFolders();
    void deleteKeptRecords();
    // Disconnects the controllers and closes the sound devices; waits at most deviceCloseLimit when a shell
    // is registered, which is then told (EngineShell::devicesDidNotClose).
    void closeDevicesForQuit();
    // Deletes the stalled devices once no block is inside them; true when none is left.
    bool releaseStalledDevices();
    // The device of that id in use (for an input, one that captures already); null when none is.
    TarlumeAudioDevice* findDevice(int id, bool input);
    int resolveDeviceId(int id, bool input);
    TarlumeAudioDevice* masterDevice();

    FILE* logFile = nullptr;
    DeckSettings deckSettings_[kDecks]; // as read; written back for decks that don't exist
    // The settings file as read at start when it was damaged (it may be empty): the first write keeps it beside
    // the new one under a name no earlier damaged file has (damagedCopyPath).
    std::string damagedSettings_;
    bool settingsDamaged_ = false;
    std::string damagedCopyPath() const;
    // The settings file was there but could not be read at start: this run never replaces it.
    bool settingsUnreadable_ = false;
};

// The engine of the running program; set and cleared by the shell.
extern Tarlume* tlm;
