// The playback interface of one deck. A player owns the track's decoder, three resamplers, a volume ramp and
// the track's analysis objects, and produces one stereo frame per call of `process`. The base class keeps the
// whole track in the buffer it is given; `FModPlayer` (every deck's player) keeps a ring window of it.
// Decks and the user interface read and write player values through the numeric `PLAYERPARAM` ids.
//
// Threads:
// - audio thread: `process`/`processBlock` (and the timecode path), which only try the state lock and play
//   silence for each frame that finds it held; it never blocks,
//   allocates or does I/O (unless loading inside the callback was asked for with parameter 34).
// - loading thread: `getSomeDataNow` and what it calls (decoding, seeking, analysis), always under the
//   decode lock, which it only tries.
// - main (or MIDI) thread: `init`, `close`, `setParameter`, `getParameter`. Changes to playback state travel
//   to the audio thread through a command mailbox and apply at its next frame; reads see the requested value
//   until then.
// Locks: the decode lock guards the decoder and the buffer's fill, the state lock the playback state; a path
// that takes both takes the decode lock first.
#pragma once

#include "analysis/TrackSamples.h"
#include "audio/player/PlayerCommands.h"
#include "audio/player/Relaxed.h"
#include "audio/vinyl/FinalScratch.h"
#include "foundation/PlatformIndependent.h"

#include <atomic>
#include <memory>
#include <string>

class AudioDecoder;
class GainAnalysis;
class Resample;
class VolumeRamp;
class WaveForm;
class fft;

enum PLAYERPARAM {
    PLAYERPARAM_PLAYING = 0,
    PLAYERPARAM_POSITION = 1,
    PLAYERPARAM_LENGTH = 2,
    PLAYERPARAM_OUTPUTRATE = 3,
    PLAYERPARAM_FILERATE = 4,
    PLAYERPARAM_SPEED = 5,
    PLAYERPARAM_BPMANALYSIS = 6,
    PLAYERPARAM_LOADED = 7,
    PLAYERPARAM_LOOPTRACK = 8,
    PLAYERPARAM_STRIPEPOS = 9,
    PLAYERPARAM_STRIPE = 10,
    PLAYERPARAM_STRIPES = 11,
    PLAYERPARAM_STRIPEMAX = 12,
    PLAYERPARAM_LOOPSTART = 13,
    PLAYERPARAM_LOOPWINDOW = 14,
    PLAYERPARAM_LOOPEND = 15,
    PLAYERPARAM_LOOP = 16,
    PLAYERPARAM_MONO = 17,
    PLAYERPARAM_DETAILEDSTRIPE = 18,
    PLAYERPARAM_DETAILEDSTRIPE2 = 19,
    PLAYERPARAM_DETAILEDSTRIPERATE = 20,
    PLAYERPARAM_DETAILEDSTRIPEMAX = 21,
    PLAYERPARAM_TIMECODEDRIFT = 23,
    PLAYERPARAM_MUTEDIRECTION = 24,
    PLAYERPARAM_REPLAYGAIN = 25,
    PLAYERPARAM_MAXPEAK = 26,
    PLAYERPARAM_FULLYLOADED = 27,
    PLAYERPARAM_LOADSTEP = 28,
    PLAYERPARAM_JITTERMEASURE = 29,
    PLAYERPARAM_JITTERTHRESHOLD = 30,
    PLAYERPARAM_CPUTARGET = 31,
    PLAYERPARAM_FORCEMONO = 32,
    PLAYERPARAM_ISSTREAMING = 33,
    PLAYERPARAM_LOADINGTHREAD = 34,
    PLAYERPARAM_VOLUMEFOLLOWSSPEED = 36,
    PLAYERPARAM_CLOSESTBEAT = 37,
    PLAYERPARAM_FIRSTBEAT = 38,
    PLAYERPARAM_SPEEDSMOOTHING = 39,
    PLAYERPARAM_DETAILEDSTRIPEAT0 = 40,
    PLAYERPARAM_DETAILEDSTRIPEAT1 = 41,
    PLAYERPARAM_DETAILEDSTRIPEAT2 = 42,
    PLAYERPARAM_SPEEDLOADING = 43,
    PLAYERPARAM_TEMPOSPEED = 44,
    PLAYERPARAM_SPLICE = 45,
    PLAYERPARAM_SPECTRUM1 = 46,
    PLAYERPARAM_SPECTRUM2 = 47,
    PLAYERPARAM_MIXBEHIND = 48,
    PLAYERPARAM_LIMITPOINT = 49,
    PLAYERPARAM_LIMITPOINT2 = 50,
    PLAYERPARAM_NBSTRIPES = 51,
    PLAYERPARAM_USERBEAT = 52
};

class Player : public TrackSamples {
public:
    // Playback states (`state`).
    enum { STATE_STOPPED = 0, STATE_PLAYING = 1, STATE_STUTTER_AHEAD = 2, STATE_STUTTER_BEHIND = 3 };

    // Frames decoded ahead of the play position below which a player needs data urgently.
    static constexpr int kUrgentFrames = 240000;
    static constexpr int kFadeFrames = 50; // start and stop fades

    Player();
    // A derived class must call unregisterFromLoading() first thing in its own destructor, so the loading
    // thread never reaches a half-destroyed player.
    virtual ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Key lock (audio thread).
    virtual double findBestSwitchPosition(bool force);
    virtual double findBestSwitchTarget();
    // Moves the play position, applying loops and the track's end (audio thread, or under the state lock).
    virtual void setPosition(double frame);
    // The buffer position of a file frame (fractional), -1 when it is not held (audio thread).
    virtual double getBufferPosition(double frame) { return frame; }
    // The buffer slot of a file frame, -1 when not held; no side effects (any thread).
    virtual int getBufferPositionNoAction(int frame) { return frame; }
    // One decoded block (at most 9,216 bytes) into `out`; *bytes receives its size (loading thread).
    virtual void readDataFromFMod(short* out, unsigned int* bytes);
    virtual void readDataFromFMod(float* out, unsigned int* bytes);
    // Points the resamplers at the buffer as it now stands; applied by the audio thread at its next frame.
    virtual void updateResampler();
    virtual void processEnd(float* left, float* right);
    virtual void processStutter(float* left, float* right);

    // Opens a track (main thread). Returns the buffer bytes the track needs, or -1 when the file does not
    // open (the player then holds a silent one-frame track).
    virtual double init(const std::string& file, int zeroCrossings, int openArgument, int scan);
    virtual void close();
    // One output frame on the 16-bit scale (audio thread).
    virtual void process(float* left, float* right);
    // `frames` output frames into two arrays, the same as `process` frame by frame, but the state lock is tried
    // once per chunk of at most kFramesPerStateLock frames; a chunk whose lock another thread holds goes frame by
    // frame, as `process` does, silent only while the lock is held.
    // A chunk is short enough that a control thread waiting for the lock waits a few microseconds at most.
    void processBlock(float* left, float* right, int frames);
    static constexpr int kFramesPerStateLock = 256;
    // One load step (loading thread): 3 urgently needs data, 2 still loading, 1 analysed something, 0 idle.
    virtual int getSomeDataNow(int urgency);

    // Playback state changes applied directly: for the audio thread (timecode following) or a caller that
    // holds the state lock. Other threads use setParameter.
    virtual void setSpeed(double speed, int steps);
    virtual void setNextPosition(double frame);
    virtual void changePosition(double frame);
    virtual void setPlaying(int state);

    // Timecode following (audio thread, once per input frame of a vinyl deck, right after the decoder and
    // before `process`): the record's pitch and time drive speed and position.
    void updateFromFinalScratch(FinalScratch* decoder);
    // A block of timecode input: per frame the decoder reads it and the player follows, as the two calls above
    // frame by frame, with the state lock tried once per chunk of kFramesPerStateLock frames (a chunk whose
    // lock is held tries it again frame by frame; frames that find it held are decoded but not followed).
    void followFinalScratchBlock(FinalScratch* decoder, const float* left, const float* right, int frames);
    void updateFromTimeCode(double timeMs, double speed, VINYLCONTROL_MODE mode, bool newTime, int glideFrames);
    // The same over any decoder with FinalScratch's accessors (audio/player/PlayerTimecode.h).
    template <class Decoder> void updateFromDecoder(Decoder& decoder);
    template <class Decoder> void updateFromDecoderLocked(Decoder& decoder); // state lock held

    virtual void setParameter(int id, double value, double value2 = 0);
    virtual double getParameter(int id, int index = 0);
    // Appends `frames` frames (buffer channels, interleaved) at the fill index (loading thread).
    virtual void callback(void* unused, void* data, unsigned int frames, int unused2);
    // Mixes `count` stereo frames into a fully loaded buffer around the play position.
    virtual void mixWithCurrent(short* frames, unsigned int count);
    virtual bool isStreaming() { return false; }
    // The stored sample of a file frame (channel ignored for a mono buffer); 0 where nothing is held.
    float getSample(unsigned int frame, int channel) override;
    double getFileRate() override { return m_fileRate; }

    // The left channel as getSample maps it, taken once so that the key-lock searches (tens of thousands of
    // reads at a switch) read memory directly instead of mapping every sample.
    struct SampleView {
        const short* buffer = nullptr;
        int channels = 2;
        long ring = 0;             // ring capacity in frames; 0 for a whole-track buffer
        long firstSlot = 0;        // buffer slot of frame `first`
        double first = 0, end = 0; // the frames held: first .. end - 1
        float left(double frame) const {
            if (!(frame >= first) || frame >= end) return 0.0f;
            long slot = firstSlot + (long(frame) - long(first));
            if (ring && slot >= ring) slot -= ring;
            return buffer[slot * channels];
        }
    };
    virtual SampleView sampleView();

    // The fill buffer of the whole-track player (main thread): `bytes` of 16-bit frames, owned by the caller.
    void updateBuffer(short* buffer, int bytes);
    void updateBufferFormat(int channels);
    int getLengthFromFile() { return -1; }
    static int getInitResult() { return initResult; }
    // A file was named at the last init and no audio could be read from it: it did not open, or its decoder
    // gave not one frame from its start (any thread).
    bool isUnreadable() const { return m_unreadable; }

    // The tempo detector's values: 0 tempo, 1 confidence (at most 99), 2 beat counter, 3 time of the last
    // counter step (ms), 5 comb on, 6 band lists on; others 0.
    double getBPMParameter(int id);
    void setBPMParameter(int id, double value, double value2);

    // Adapts loading inside the audio callback to a measured processor load (percent).
    void setCPU(double load, int framesPerCycle);
    void selectResampler();

    WaveForm* getWaveForm() { return m_waveForm.get(); }
    fft* getSpectrum() { return m_fft.get(); }
    bool getSpectrumFlag(int i) const { return i == 0 ? m_spectrum1 : m_spectrum2; }

    // Removes the player from the loading thread's registry, waiting for a running load step (idempotent).
    void unregisterFromLoading();

    // Live players.
    static std::atomic<int> objectCount;
    // Load without sleeping (parameter 43).
    static std::atomic<bool> speedLoading;
    // Loading runs on its own thread (parameter 34); off loads inside the audio callback.
    static std::atomic<bool> sml_separateLoadingThread;

protected:
    friend struct PlayerTestAccess;
    friend class TrackLoading;

    // The part of init shared with the streaming player; both locks held.
    int openTrack(const std::string& file, int zeroCrossings, int openArgument, int scan, bool forceMonoApplies);
    void registerForLoading();
    // Commands of the mailbox.
    // What a reader sees of a change still in the mailbox: the requested value while `pending` is above 0.
    struct Requested {
        std::atomic<int> pending{0};
        Relaxed<double> value{0.0};
    };
    void post(PlayerCommand::Type type, double a, double b, Requested* shadow);
    Requested* shadowOf(PlayerCommand::Type type);
    // State lock held. `force` applies a command that would rather wait (a key-lock change during a splice).
    void drainCommands(bool force = false);
    bool applyCommand(const PlayerCommand& c, bool force); // false: not yet (kept for the next frame)
    void startJitterMeasure(bool on);
    bool setTempoSpeed(double tempo, bool force);
    void spliceTo(double frame);
    void keyLockStep(float* left, float* right);
    void processLocked(float* left, float* right); // one frame of `process`, state lock held
    void takeNextPosition();                       // a jump that waited for the stutter's wrap
    // The buffer position of a file frame without side effects, -1 when it is not held.
    virtual double peekBufferPosition(double frame);
    // Frames the tempo and ReplayGain analysis has reached.
    unsigned analysedFrames() const { return m_nextAnalysisFrame; }
    double fetchTitleGain();
    void applyResamplerFormat();       // state lock held
    virtual void setResamplerFormat(); // the resamplers' view of the buffer
    double readResampled(Resample* rs, double bufferPosition, int channel);
    // Both channels at a buffer position, read at `step` file frames per output frame: band-limited to the
    // output's half rate when that is faster than the file (step above 1), else the plain read.
    void readFrame(Resample* rs, double bufferPosition, double step, float* left, float* right);
    void startSplice(double source);
    // Reads a splice source at `frame` (both channels) and moves it on; false where nothing is held.
    bool readFadeSource(double* frame, float* left, float* right);
    void setLoop(bool on);
    void rebaseLoopWindow();
    void countProcessedFrame();
    void loadInsideCallback();
    // Tempo, spectrum and ReplayGain analysis of up to 32 loaded frames; true when it analysed any.
    bool analyseSome(int urgency);
    // One frame for the tempo detector and, when a window completed, its bands for the frequency stripes.
    void analyseFrame(unsigned frame, float left, int position);
    // `count` frames from `frame` on for the ReplayGain measure, which is done once it reaches the length.
    void analyseGain(unsigned frame, const float* left, const float* right, unsigned count);

    double loopStartValue() const { return m_loopStart; }
    double loopEndValue() const { return m_loopEnd; }

    // Splice (key-lock) state, audio thread.
    double m_spliceQuality = 0.1;
    double m_minSwitchDistance = 500; // frames
    double m_framesSinceSwitch = -1;
    bool m_needsTarget = false;
    double m_bestError = 0;
    Relaxed<double> m_smoothedError{0.0}; // 0.99/0.01

    // Decoding (decode lock).
    std::unique_ptr<AudioDecoder> m_decoder;
    // A decoder opened on another thread that the next open of a file takes instead of opening it (main thread).
    std::unique_ptr<AudioDecoder> m_openedDecoder;
    Relaxed<bool> m_fileOpen{false};
    int m_openResult = 0;
    Relaxed<bool> m_endOfFile{false};
    Relaxed<bool> m_decoding{false};
    CRITICAL_SECTION m_decodeLock;
    CRITICAL_SECTION m_stateLock;
    Relaxed<bool> m_closing{false};
    Relaxed<bool> m_loaded{false};
    Relaxed<bool> m_unreadable{false};
    Relaxed<int> m_pendingSeek{-1}; // file frame, -1 none

    // Loading inside the audio callback.
    int m_processCount = 0;
    Relaxed<double> m_cpuTarget{60};       // percent
    Relaxed<double> m_blocksPerCycle{1.0}; // 1 .. 1000
    int m_frameCounter = 0;
    Relaxed<int> m_framesPerCycle{256};
    Relaxed<bool> m_progress{false}, m_progressSinceDecay{false};

    // Resamplers (N, 3N/4, 3N/2 zero crossings) and the one selected (audio thread).
    std::unique_ptr<Resample> m_resamplers[3];
    Resample* m_resampler = nullptr;
    Relaxed<bool> m_resamplerDirty{true};
    std::unique_ptr<VolumeRamp> m_ramp;

    Relaxed<int> m_state{STATE_STOPPED};

    // The buffer (owned by the deck): 16-bit frames, capacity in frames.
    Relaxed<short*> m_buffer{nullptr};
    Relaxed<int> m_capacity{0};
    Relaxed<unsigned int> m_length{1}; // frames
    // Frames decoded (the ring's write index when streaming): stored with release after the frames are
    // written, so a reader that sees it also sees them.
    std::atomic<unsigned int> m_loadedFrames{0};

    // Positions (frames of the file), audio thread; other threads read them.
    Relaxed<double> m_position{0.0};
    Relaxed<double> m_readHead{0.0}; // key lock and stutter
    double m_switchPosition = -1;    // planned key-lock switch
    Relaxed<double> m_nextPosition{-1.0};
    Relaxed<double> m_increment{1.0}; // frames per output frame
    Relaxed<double> m_speed{1.0};
    Relaxed<bool> m_forceMono{false};
    short m_scratch[9216 / 2];

    // Speed glide (audio thread).
    double m_glideStart = 1, m_glideTarget = 1, m_glideLength = 0, m_glideDone = 0;

    // Rates and format.
    Relaxed<double> m_tempoSpeed{0.0}; // key-lock speed, 0 off
    Relaxed<int> m_outputRate{44100};  // Hz
    Relaxed<float> m_fileRate{44100};  // Hz
    Relaxed<bool> m_monoBuffer{false};
    Relaxed<bool> m_monoFile{false};
    Relaxed<int> m_channels{2}; // buffer channels
    int m_bytesPerSample = 2;

    // Loop and fades (audio thread, except the loop edges, which the main thread writes).
    Relaxed<bool> m_loopTrack{false};
    Relaxed<int> m_stopFade{0}; // samples left of the stop fade
    double m_stopPosition = 0;
    int m_startFade = 0;
    double m_fadeSource = 0;
    int m_fadeCounter = 0;
    int m_activeFadeLength = 128; // the fade length the running splice started with
    // A splice cut short by a newer one goes on fading out inside the newer one's source.
    double m_tailSource = 0;
    int m_tailCounter = 0, m_tailLength = 128;
    Relaxed<int> m_fadeLength{128}; // samples
    Relaxed<double> m_loopStart{-1.0}, m_loopEnd{-1.0};
    Relaxed<bool> m_loopOn{false};
    double m_windowStart = -1, m_windowEnd = -1;
    Relaxed<double> m_windowLength{-1.0}; // -1 none
    double m_returnPosition = -1;

    // Analysis (loading thread, except the flags).
    Relaxed<unsigned int> m_nextAnalysisFrame{0};
    unsigned int m_nextGainFrame = 0;
    Relaxed<bool> m_bpmAnalysis{false};
    Relaxed<bool> m_gainAnalysisOn{true};
    // Set (release) once the last frame was analysed: the reader then sees the whole histogram.
    std::atomic<bool> m_gainDone{false};
    unsigned int m_nextStripeFrame = 0;
    Relaxed<bool> m_stripesOn{true};
    Relaxed<int> m_muteDirection{0};
    Relaxed<bool> m_volumeFollowsSpeed{true};
    double m_titleGain = 0; // main thread
    Relaxed<bool> m_mixBehind{true};
    Relaxed<bool> m_spectrum1{false}, m_spectrum2{false};
    std::unique_ptr<WaveForm> m_waveForm;
    std::unique_ptr<fft> m_fft;           // spectrum and tempo (its detector feeds the waveform's grid)
    std::unique_ptr<GainAnalysis> m_gain; // ReplayGain of the present track

    // Timecode following state, kept for the timecode path (audio thread).
    double m_tcCorrection = 0, m_tcKeptSpeed = 0, m_tcSmoothedDrift = 0;
    Relaxed<double> m_tcLastDrift{0.0}; // ms
    double m_tcSmoothedSpeed = 0, m_tcOutputSpeed = 0, m_tcHistoryAverage = 0;
    int m_tcFramesSincePitch = 0, m_tcFramesSinceTime = 0, m_tcSlowFrames = 0, m_tcCalls = 0;
    double m_tcShortHistory[5] = {}, m_tcLongHistory[300] = {};
    int m_tcShortIndex = 0, m_tcLongIndex = 0, m_tcLongCount = 0;
    Relaxed<bool> m_jitterMeasure{false};
    Relaxed<double> m_jitterSum{0.0};
    Relaxed<int> m_jitterCount{0};
    double m_jitterMax = 0;
    int m_jitterSamples = 0;
    Relaxed<double> m_jitterThreshold{0.0035};
    Relaxed<int> m_speedSmoothing{2};
    bool m_tcPastEnd = false, m_tcResync = true;

    Relaxed<double> m_loadEstimate{35}; // percent

    // Fill-ratio counters: output frames played and frames decoded (decay x 0.9 every 8,192 frames).
    Relaxed<double> m_processedCounter{0.0};
    Relaxed<double> m_decodedCounter{0.0};
    Relaxed<bool> m_readSinceDecay{false};

    // The mailbox and its read-back of requested values.
    PlayerCommandQueue m_commands;
    Relaxed<unsigned int> m_generation{0};
    bool m_holding = false; // a command that could not apply yet waits at the head (state lock)
    PlayerCommand m_held;
    Requested m_requestedPosition, m_requestedState, m_requestedSpeed, m_requestedLoop, m_requestedTempo;

    int m_registrySlot = -1; // reserved at construction, published at the first init
    std::atomic<bool> m_registered{false};

    static int initResult;
};
