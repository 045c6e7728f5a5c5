// One deck of the engine: the track's player, the sample buffer it decodes into, the deck's main and cue
// gains, its effect chain and its timecode decoder. It loads and closes tracks, keeps the track's tag record
// while the track is on the deck (cue points, loops, replay gain and tempo read at load, cue points and loops
// written back at close), sets the play speed (pitch, timed pitch modes, brake and start-up, jog, key lock,
// tempo match), follows a timecode record, and runs the cue button and the loops.
//
// Units: deck times and positions are milliseconds (ms); the player works in frames of the file's rate
// (`getSamplerate()`); pitch is a speed ratio (1 = normal speed, negative backwards).
//
// Threads: every operation runs on the main thread (skin events, controller input, the engine's per-frame
// update). The sound devices' audio threads read `player`, `timecode`, the ramps, the effect chain and the
// input flags; those are either made once in the constructor or published atomically, and a player is only
// replaced or deleted while no audio thread can be inside it (see `swapPlayer`).
#pragma once

#include "audio/player/Player.h"
#include "audio/player/Relaxed.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CID3v2Tag;
class EffectGroup;
class FinalScratch;
class FModPlayer;
class Tarlume;
class TarlumeVideoRenderer;
class VolumeRamp;

// The side of the crossfader a deck is on.
enum enCrossfaderSide { CROSSFADER_NONE = 0, CROSSFADER_LEFT = 1, CROSSFADER_RIGHT = 2 };

// Timed pitch modes; 0 is the rest state.
enum enPitchMode {
    PITCHMODE_NORMAL = 0,
    PITCHMODE_BEND = 1,    // a percent bend, fading out over b ms when b > 0
    PITCHMODE_FOLLOW = 2,  // the pitch follows a position target moved by the jog wheel
    PITCHMODE_BRAKE = 3,   // slows to a stop over a ms, then stops playing
    PITCHMODE_STARTUP = 4, // speeds up from 0 over a ms
    PITCHMODE_REVERSE = 5, // a - the saved pitch
};

// A pointer shared with the audio threads: published with release and read with acquire, so a reader that
// sees it also sees the object it points to fully built. Reads like a plain pointer.
template <typename T> class DeckPointer {
public:
    DeckPointer(T* p = nullptr) : m_p(p) {}
    DeckPointer(const DeckPointer&) = delete;
    DeckPointer& operator=(const DeckPointer&) = delete;
    DeckPointer& operator=(T* p) {
        m_p.store(p, std::memory_order_release);
        return *this;
    }
    operator T*() const { return get(); }
    T* operator->() const { return get(); }
    T* get() const { return m_p.load(std::memory_order_acquire); }

private:
    std::atomic<T*> m_p;
};

class TarlumePlayer {
public:
    static constexpr int kSlots = 100;                      // memory cue points and stored loops
    static constexpr int kReachableLoops = 20;              // stored loops a user can reach (1 .. 20)
    static constexpr int kBufferBytes = 20971520;           // the deck's sample buffer, 20 MiB
    static constexpr int kBufferSamples = kBufferBytes / 2; // 16-bit samples
    static constexpr double kMinLoopFrames = 40;            // no loop is shorter
    static constexpr int kJogEntries = 60;                  // jog history
    static constexpr double kCalibrationMs = 9000;          // one calibration run
    static constexpr double kCalibrationSettleMs = 1000;    // the deck's speed settles after a step of the gain
    static constexpr float kTimecodeQualityMax = 150;       // codes per second shown as full quality
    static constexpr unsigned kETCOCue = 0xE0, kETCOLoopIn = 0xE1, kETCOLoopOut = 0xE2;
    static constexpr double kDefaultBpm = 50.0; // a deck's tempo before any track gave one

    TarlumePlayer(Tarlume* engine, int deckIndex);
    virtual ~TarlumePlayer();
    TarlumePlayer(const TarlumePlayer&) = delete;
    TarlumePlayer& operator=(const TarlumePlayer&) = delete;

    // ---- Loading and closing ----
    // Loads a file. With the loading warning on, `force` false and the deck playing, it only asks the user
    // (a Yes/No dialog) and keeps the path as the pending load, which `loadPendingSong` (the dialog's answer)
    // then loads; loadSong("", true) does the same. Returns false when it only asked.
    bool loadSong(const char* path, bool force);
    // The file is opened and its tags read on the loading thread: the deck holds a silent player and no tag
    // record until finishLoad, which the frame update calls, takes what that thread made and does the rest.
    // True when no load waits for its file (any more).
    // Meanwhile the deck stands stopped at the start of the track to come, and what a DJ does is kept for that
    // track, never given to the silent player (which the audio thread runs): whether it is to play (PLAY, a
    // second PLAY taking it back, CUE held, a hot cue's start), the hot cue to recall from the track's own
    // cue points, the pitch. Positions and loops, which need the track's length and tempo, are ignored.
    bool finishLoad();
    bool isLoading() const;
    // Loads the path kept by a refused load, with force; false when none is pending.
    bool loadPendingSong();
    const std::string& getPendingLoadPath() const { return pendingLoadPath; }
    // Writes cue points, loops and the waveform back, adds the track to the history when it played over
    // 30 s, and hands the tag record to the engine's kept records. Only with a tag record.
    void closeSong();
    // The deck plays audio input `input` (0 .. 3) instead of a file.
    void loadInputPassthrough(int input);

    // ---- Player values ----
    // The player's values; while a track loads, playing and the position are the deck's (see finishLoad).
    double getParam(PLAYERPARAM id, int index = 0);
    void setParam(PLAYERPARAM id, double value, double second = 0);
    double getLength();           // ms
    double getPosition();         // ms
    void setPosition(double ms);  // seeks
    double getSamplerate();       // the file's rate, 44100 when the player reports less than 5000 Hz
    double msToFrames(double ms); // at getSamplerate()
    double framesToMs(double frames);

    // ---- Volumes ----
    double getVolume() const { return volume; }
    double getVolumeCue() const { return cueVolume; }
    double getPanLR() const { return pan; }
    enCrossfaderSide getCrossfaderSide() const { return crossfaderSide; }
    // Main gain = v x master volume x crossfader gain; cue gain = max(cue master x main gain, cue volume).
    void setVolume(double v);
    // A negative v toggles the cue between off and the remembered cue volume.
    void setVolumeCue(double v);
    void setPanLR(double p);
    void setCrossfaderSide(enCrossfaderSide s);
    void setOutputSamplerate(double rate); // Hz: player, effect chain and ramps

    // The template with its "%[Field]" tokens filled from the tag record; "" without one. For a file no audio
    // could be read from, "%[Artist]" says so (kUnreadableText) beside the title taken from its name.
    std::string getTrackInfo(const std::string& templ);
    static constexpr const char* kUnreadableText = "Could not read the file";
    // The loaded file gave no audio (it did not open, or held none).
    bool isUnreadable() const;

    // ---- Pitch, tempo, jog ----
    void setPitch(double p, bool setSlider);
    void setPitchInternal(double p, bool unused, double rampMs);
    double getPitch(bool target);
    void setPitchTo(double v) { pitchTo = v; }
    double getPitchTo() const { return pitchTo; }
    void setPitchMode(enPitchMode m, double a, double b, double c);
    void updatePitch(double dtMs);
    void playPause();
    void switchPitchRange(bool down);
    void touchJogWheel(bool released);
    double updateJogWheelSpeed(double delta);
    double getBPM(bool withPitch, bool useDetected, bool forceDetected);
    // The deck knows a tempo: from the tag, set by hand, or found by the analysis (a detection not yet sure
    // enough to be taken counts when `detectedCounts`). A movie, a file that gave no audio, or a track whose
    // analysis has found nothing yet has none, whatever `bpm` still holds.
    bool hasTempo(bool detectedCounts);
    void bpmIncrease(double delta, bool halveOrDouble);
    void matchBPM(TarlumePlayer* other);
    void updateTempoControl();
    // The track's gain (+6 dB) as the limiter's amplification, held so that the peak (0 .. 1 of full scale)
    // stays within full scale; it reaches the sound over `glideMs` (0: at once).
    void setReplayGain(float gainDb, float peak, double glideMs = 0);
    static constexpr double kReplayGainGlideMs = 2000; // a gain found while the track plays

    // ---- Timecode vinyl ----
    void setVinylControl(bool on, int input);
    void setVCGain(float g);
    void setVCPitchVariance(float v);
    void setVCSpeedMultiplier(double m);
    void vcCallibrate();
    // The decoder mode the relative-mode option asks for: relative (1) when on; when off absolute (0) if a
    // table is loaded for the type or the type carries its own position, else relative.
    int timecodeModeFor(bool tableLoaded) const;

    // Per-frame work (the engine calls it every frame).
    void update();

    // ---- Cue and loops ----
    void cueSong();
    void cueSong_Up();
    void retrieveCuePoint(int n);
    bool loopIsStarted();
    void loopStart();
    void loopStop();
    void loopSetIn();
    void loopSetOut(bool unused, bool exitIfLooping);
    void loopSetLength(double beats);
    void loopLengthMultiply(double factor);
    double loopGetLength();
    double loopGetLengthMs();
    double loopGetStartMs();
    void loopDoMove(double amount, bool inBeats);
    void loopDoMoveLength(double amount, bool inBeats, bool relative);
    void loopMoveDynamic(bool on, double speed);
    void storeLoop(int n);
    void retrieveLoop(int n, bool unused);

    // ---- Memory slots, numbered 1 .. 100 wherever they are addressed ----
    // The array index of slot n, -1 outside 1 .. 100.
    static int slotIndex(int n);
    double getCuePoint(int n) const; // ms, 0 = empty (and for slots outside 1 .. 100)
    void setCuePoint(int n, double ms);
    // Stores the position into slot n and into the main cue point; clears cueStoreArmed.
    void storeCuePoint(int n);
    double getLoopIn(int n) const;
    double getLoopOut(int n) const;
    void setLoop(int n, double inMs, double outMs);
    // A slot holds a loop when 0 <= in < out.
    bool isLoopSlotUsed(int n) const;

    // Draws the deck's video into a rectangle with an opacity (video decks only).
    void draw(void* context, int x, int y, int width, int height, float opacity);

    // Makes the player for video files; null (the default) plays them with the audio player.
    static FModPlayer* (*videoPlayerFactory)();

    // ---- Fields (the user interface reads and writes several directly) ----
    Tarlume* engine;
    int deckIndex;
    DeckPointer<Player> player; // read by the audio threads
    int isVideo = -1;           // 1 video player, 0 audio player, -1 before the first load
    TarlumeVideoRenderer* videoRenderer = nullptr;
    short* buffer = nullptr; // kBufferSamples 16-bit samples, made at the first load
    int bufferSamples = 0;
    CID3v2Tag* tag = nullptr;       // record of the loaded track
    VolumeRamp* mainRamp = nullptr; // into the master bus
    VolumeRamp* cueRamp = nullptr;  // into the cue bus
    EffectGroup* effects = nullptr;
    DeckPointer<FinalScratch> timecode; // made at the first setVinylControl(true)

    double volume = 1.0;
    double cueVolume = 0.0; // 0 = cue off
    double rememberedCueVolume = 1.0;
    double pan = 0.5;
    enCrossfaderSide crossfaderSide = CROSSFADER_NONE;
    double pitch = 1.0;    // current speed ratio
    double pitchTo = 1.0;  // pitch slider
    double lastUpdate = 0; // ms
    double bpm = kDefaultBpm;
    int bpmConfidence = 0; // 0 .. 100; 100 from the tag or set by hand
    double loopBeats = 4.0;
    double loopMoveSpeed = 0, loopMoveStart = 0; // dynamic loop move: speed, start time (ms)
    double replayGainDb = 1.0;
    bool replayGainApplied = true;
    bool started = false;
    bool cueHeld = false, playPressedWhileCueHeld = false;
    double firstPlayTime = 0; // seconds, when the track was first started after loading
    Relaxed<bool> trackLoaded{false};
    // A track or an input has been on the deck at least once: the mixer renders it from then on.
    Relaxed<bool> active{false};
    bool startFound = true;
    bool endFound = true;
    double musicEnd = 0; // ms, the track's length at load
    double cuePoint = 0; // ms
    double cuePoints[kSlots] = {};
    bool cueStoreArmed = false, cueDeleteArmed = false;
    double loopIns[kSlots] = {}, loopOuts[kSlots] = {}; // ms
    double pitchRange = 8.0;                            // percent
    Relaxed<int> inputIndex{-1};
    Relaxed<bool> inputPassthrough{false};
    Relaxed<bool> vinylControl{false};
    bool jogTouched = false;
    double jogTimes[kJogEntries] = {}, jogDeltas[kJogEntries] = {};
    int jogIndex = 0;
    double jogSpeedRaw = 0, jogSpeed = 0;
    bool tempoControl = false; // key lock
    double tempoControlTempo = 1.0, tempoControlAmount = 1.0;
    bool tempoControlSuspended = false, tempoControlForBend = false;
    enPitchMode pitchMode = PITCHMODE_NORMAL;
    double pitchModeA = 0, pitchModeB = 0, pitchModeC = 0;
    double pitchModeStamp = 0, pitchModeStart = 0; // ms
    double savedPitch = 1.0;
    double followStartPos = 0, followOffset = 0; // ms
    double startupTime = 0, brakeTime = 0;       // ms, 0 = off
    double loopInMark = -1.0;                    // ms, -1 = none

    // Timecode settings and state.
    int timecodeType = 0; // enTimecodeType
    bool relativeMode = false, superRelativeMode = false;
    static constexpr float kVCGain = 1.0f, kVCPitchVariance = 0.0003f; // a new deck's, and a right click's
    float vcGain = kVCGain, vcPitchVariance = kVCPitchVariance;
    double vcSpeedMultiplier = 1.0;
    double resyncTime = 0;     // ms, 0 = none
    float timecodeQuality = 0; // codes per second
    float timecodeQualityCount = 0;
    double timecodeQualityTime = 0; // ms
    bool calibrating = false;
    double calibrationStart = 0; // ms
    double calibrationLevel = 0, calibrationJitter = 0;
    double calibrationSettle = 0; // ms: the jitter is measured afresh from then on (0 = measuring)

    // The path a refused load keeps until the user confirms it.
    std::string pendingLoadPath;
    // The present track's unreadable file has been reported on stderr.
    bool unreadableReported = false;

    // Codes per second between two readings of the decoder's code counter, which restarts at 0 after
    // 1,000,000: a count below the previous one has wrapped.
    static float codesPerSecond(double previousCount, double count, double elapsedMs);

    // A block of timecode input (the input device's audio thread): frame by frame the decoder reads it and,
    // unless a super-relative start waits to re-synchronise, the player follows the record.
    void processTimecodeBlock(const float* left, const float* right, int frames);
    Relaxed<bool> followTimecode{true};

protected:
    // The tempo detector's tempo (BPM) and confidence (0 .. 99) of the track; false without a player.
    virtual bool readDetector(double* tempo, double* confidence);

private:
    struct PendingLoad;
    std::shared_ptr<PendingLoad> pendingLoad; // a load whose file the loading thread opens
    // What the DJ asked of the track while its file opens: that it plays once there, and the cue point
    // (1 .. 100, 0 none) it starts from. Every load starts without.
    bool loadPlays = false;
    int loadCueSlot = 0;
    // The play button's toggle once the cue button is not in its way.
    void togglePlay();
    // Replaces the player while no audio thread is inside the old one, then deletes the old one.
    void swapPlayer(Player* next);
    double now() const; // ms, the engine's monotonic clock
    void releaseVideo();

    // What the deck asks of its engine; the defaults serve a deck without one (tests).
    double engineSamplerate() const;
    double engineMainGain() const; // master volume x this deck's crossfader gain
    double engineCueMaster() const;
    void engineUpdateInputs();
    bool engineWarnOnLoad() const;
    bool engineAutoCue() const;
    bool engineSpectrum(int i) const;
    std::string engineAppFolder() const;
    CID3v2Tag* engineFindKeptRecord(const std::string& path);
    void engineKeepRecord(CID3v2Tag* record); // hands the record over
    void enginePlayed(CID3v2Tag* record);
    void engineShowLoadWarning();
    void engineLockAudio();
    void engineUnlockAudio();
    std::string engineGetWaveForm(const std::string& path, int stripes, double* maxHeight, int* incomplete);
    void engineRestoreDeckFrames(CID3v2Tag* record);
    void engineStoreRecord(int stripes, const std::string& waveform, double maxHeight);
    // The other decks showing the record (the same track, on the same engine).
    std::vector<TarlumePlayer*> engineDecksSharing(const CID3v2Tag* record) const;

    // The memory lists as a record holds them (entry i of a type is slot i + 1; a loop slot whose in is not
    // below its out is empty).
    struct MemoryLists {
        double cues[kSlots] = {};
        double loopIns[kSlots] = {}, loopOuts[kSlots] = {}; // ms
    };
    static void readMemoryLists(CID3v2Tag* record, MemoryLists& lists);
    // Two decks may show one record: each writes back at close only the slots changed on it since its load,
    // over what the record holds by then, so what the other deck stored stays. Where both changed a slot the
    // later change holds: `loaded` is the lists at load, and a slot's change count orders the DJ's changes
    // on all decks (0: not changed here since the load).
    MemoryLists loaded;
    uint64_t cueChanged[kSlots] = {}, loopChanged[kSlots] = {};
    void writeBackMemoryLists();
    // Writes one memory list into the record's ETCO frame when it differs. With `keepPlaces` (another deck
    // still shows the record) empty slots before the last used one stay as time-0 entries, so the slot
    // numbers that deck holds still match the record's.
    void rewriteEvents(bool loops, const MemoryLists& lists, bool keepPlaces);
    // The record's cue points, loops and replay gain, and the overview, kept in the tag cache for the next run.
    void storeInCache();
    void reportUnreadable();
    void autoCue();
    void updateTimecode(double t);
    double beatFrames(); // frames per beat at the deck's tempo
    // Player loop edges, frames; a length below the minimum is refused.
    bool setLoopLength(double frames);
    void setInputLooperLength(double frames);
};
