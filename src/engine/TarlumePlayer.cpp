// The deck's data model, loading and closing, player values, volumes and track information.
#include "engine/TarlumePlayer.h"

#include "audio/effects/EffectGroup.h"
#include "audio/decoders/AudioDecoder.h"
#include "audio/player/FModPlayer.h"
#include "audio/player/TrackLoading.h"
#include "audio/vinyl/FinalScratch.h"
#include "dsp/VolumeRamp.h"
#include "foundation/modTools.h"
#include "library/tags/CID3v2Tag.h"
#include "engine/EngineClock.h"
#include "engine/Tarlume.h"
#include "engine/VideoPlayer.h"
#include "engine/VideoPlayerHelper.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinListItem.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

FModPlayer* (*TarlumePlayer::videoPlayerFactory)() = nullptr;

struct TarlumePlayer::PendingLoad {
    struct MovieDeleter {
        void operator()(VideoPlayerHelper* helper) const { vh_destroyVideoHelper(helper); }
    };
    std::string path;
    bool video = false;
    // Made by the loading thread; the main thread takes them once `done` is set.
    std::unique_ptr<AudioDecoder> decoder;
    std::unique_ptr<VideoPlayerHelper, MovieDeleter> movie;
    std::unique_ptr<CID3v2Tag> record;
    std::atomic<bool> done{false};
};

namespace {

constexpr double kMinRate = 5000;    // a player reporting less has no real rate yet
constexpr int kForceLoadValue = 124; // the user interface's "forceloadsong" value

bool isVideoExtension(const std::string& ext) {
    static const char* const kVideo[] = {".avi", ".mov", ".mp4", ".mkv", ".wmv", ".mpg", ".vob", "mpeg",
                                         ".ifo", "divx", "xvid", ".d2v", ".ogm", ".asf", ".avs"};
    for (const char* v : kVideo)
        if (ext == v) return true;
    return false;
}

// An event time as the tag stores it: whole milliseconds within 0 .. 2^32 - 1.
uint32_t etcoTime(double ms) {
    if (!(ms > 0)) return 0;
    if (ms >= 4294967295.0) return 4294967295u;
    return uint32_t(ms);
}

struct Event {
    uint8_t type;
    uint32_t time;
};

// The events of an ETCO frame body (format byte first); a trailing partial group is no event.
std::vector<Event> parseEvents(const std::string& data) {
    std::vector<Event> events;
    for (size_t offset = 1; offset + 5 <= data.size(); offset += 5) {
        const auto* e = reinterpret_cast<const uint8_t*>(data.data()) + offset;
        events.push_back({e[0], uint32_t(e[1]) << 24 | uint32_t(e[2]) << 16 | uint32_t(e[3]) << 8 | uint32_t(e[4])});
    }
    return events;
}

void appendEvent(std::string& data, const Event& e) {
    data += char(e.type);
    for (int shift = 24; shift >= 0; shift -= 8)
        data += char((e.time >> shift) & 0xFF);
}

// The entries of one type, in the record's order.
std::vector<uint32_t> entriesOf(const std::vector<Event>& events, uint8_t type) {
    std::vector<uint32_t> out;
    for (const Event& e : events)
        if (e.type == type) out.push_back(e.time);
    return out;
}

// Orders the DJ's changes to memory slots on all decks.
uint64_t nextSlotChange() {
    static std::atomic<uint64_t> count{0};
    return count.fetch_add(1, std::memory_order_relaxed) + 1;
}

// A slot's value as a record keeps it: an empty slot is 0 (a loop's in and out both).
double cueValue(double ms) {
    return ms > 0 ? ms : 0;
}
bool loopUsed(double in, double out) {
    return in >= 0 && in < out;
}

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Construction

TarlumePlayer::TarlumePlayer(Tarlume* engine_, int deckIndex_) : engine(engine_), deckIndex(deckIndex_) {
    const double rate = engineSamplerate();
    mainRamp = new VolumeRamp(rate);
    cueRamp = new VolumeRamp(rate);
    effects = new EffectGroup(float(rate));
    effects->setEffectState(EFFECT_EQ, 1);
    effects->setEffectState(EFFECT_ECHO, 1); // the looper of an input deck, silent until it loops
    effects->setEffectState(EFFECT_LIMITER, 1);
    effects->setParameter(EFFECT_LIMITER, 9, 1.0);
    effects->setParameter(EFFECT_LIMITER, 8, 0.0);
    setVolume(1.0);
    setVolumeCue(0.0);
    mainRamp->setPan(0.5);
    cueRamp->setPan(0.5);
}

TarlumePlayer::~TarlumePlayer() {
    pendingLoad.reset();
    trackLoaded = false;
    if (tag) closeSong();
    swapPlayer(nullptr);
    releaseVideo();
    delete[] buffer;
    delete mainRamp;
    delete cueRamp;
    delete effects;
    delete timecode.get();
}

void TarlumePlayer::swapPlayer(Player* next) {
    Player* old = player.get();
    if (old == next) return;
    // Every device's audio thread holds its lock for a whole block and reads the player only inside it:
    // once all locks are ours, no thread is inside the old player, and none can reach it afterwards.
    engineLockAudio();
    player = next;
    engineUnlockAudio();
    delete old;
}

// ---------------------------------------------------------------------------------------------------------
// Loading and closing

bool TarlumePlayer::loadSong(const char* pathArg, bool force) {
    std::string path = pathArg ? pathArg : "";
    if (path.empty()) {
        // The confirmation of a refused load names no file: it loads the one the deck kept.
        if (!force || pendingLoadPath.empty()) return false;
        path = pendingLoadPath;
    }
    // A deck still opening its track is silent, whatever its lamp shows of a PLAY kept for the track: there is
    // nothing on air to ask about, and the PLAY is kept for the track that replaces it, as the lamp still shows.
    const bool loading = isLoading();
    const bool keptPlay = loading && loadPlays;
    if (!force && engineWarnOnLoad() && !loading && getParam(PLAYERPARAM_PLAYING) > 0.5) {
        // The path stays here; the dialog carries no text made from it, so no file name can break its command.
        pendingLoadPath = path;
        engineShowLoadWarning();
        return false;
    }
    pendingLoadPath.clear();
    if (tag) closeSong();
    unreadableReported = false;

    const std::string ext = path.size() >= 4 ? strtolower(path.substr(path.size() - 4)) : std::string();
    bool video = videoPlayerFactory && isVideoExtension(ext);
    if (video && (isVideo != 1 || !player)) {
        FModPlayer* made = videoPlayerFactory();
        video = made != nullptr; // a video player that can't be made leaves the file to the audio player
        if (video) {
            swapPlayer(made);
            isVideo = 1;
        }
    }
    if (!video && (isVideo != 0 || !player)) {
        swapPlayer(new FModPlayer());
        isVideo = 0;
    }

    if (!buffer) {
        buffer = new short[kBufferSamples]();
        bufferSamples = kBufferSamples;
    }
    inputPassthrough = false;
    loopInMark = -1.0;

    // The previous track stops now; the new one plays once its file is open.
    auto* fmod = static_cast<FModPlayer*>(player.get());
    fmod->setParameter(PLAYERPARAM_OUTPUTRATE, engineSamplerate());
    fmod->init(buffer, bufferSamples / 2, 13, "", 0, 0);
    trackLoaded = false;
    // The new track starts at normal speed, at its start, which is its cue point until it is there: the pitch,
    // its slider and the key lock follow, so the deck shows the speed it will play at.
    setPitch(1.0, true);
    cuePoint = 0;
    loadPlays = keptPlay;
    loadCueSlot = 0; // a point of the track given up, not of this one

    // Opening the file and reading its tags may take long (a slow disk, a file of 50,000 tags): the loading
    // thread does both, and the frame update finishes the load when they are done. The job holds all it
    // makes, so a load given up meanwhile (another load, the deck deleted) only drops it.
    auto load = std::make_shared<PendingLoad>();
    load->path = path;
    load->video = video;
    TrackLoading::post([load] {
        if (load->video) {
            load->movie.reset(vh_createVideoHelper(nullptr));
            vh_loadMovieFromPath(load->movie.get(), load->path);
        } else {
            load->decoder = std::make_unique<AudioDecoder>();
            load->decoder->openFile(load->path);
        }
        load->record = std::make_unique<CID3v2Tag>();
        load->record->readFromFile(load->path);
        load->done.store(true, std::memory_order_release);
    });
    pendingLoad = load;
    finishLoad(); // with the loading thread off, the job ran already
    return true;
}

bool TarlumePlayer::finishLoad() {
    if (!pendingLoad) return true;
    if (!pendingLoad->done.load(std::memory_order_acquire)) return false;
    const std::shared_ptr<PendingLoad> load = std::move(pendingLoad);
    const std::string& path = load->path;
    auto* fmod = static_cast<FModPlayer*>(player.get());
    if (load->video) {
        if (auto* video = dynamic_cast<VideoPlayer*>(fmod)) video->adoptMovie(load->movie.release());
    } else {
        fmod->init(buffer, bufferSamples / 2, 13, path, std::move(load->decoder));
    }
    // The player opens every track at normal speed; the deck's pitch is normal too, or as set since the load.
    setPitchInternal(pitch, false, 0);

    // The record: one kept from an earlier load of the same file, or the one another deck shows, brings its cue
    // points and loops; every deck showing a file holds its one record. The file's tag is read all the same:
    // a kept record gives its cover back to memory, and takes it from the new read again.
    if (CID3v2Tag* kept = engineFindKeptRecord(path)) {
        tag = kept;
        if (load->record) tag->restoreEmptiedFrames(*load->record);
    } else {
        tag = load->record.release();
        // What the decks kept of the file in an earlier run (cue points, loops, replay gain).
        engineRestoreDeckFrames(tag);
    }

    // Tempo: only a finite, positive TBPM counts ("nan", "inf", 0 or below leave the analysis to it).
    const std::string* tbpm = tag->getFrame("TBPM");
    const double tagBpm = tbpm && !tbpm->empty() ? tag->getBPM() : 0.0;
    if (tagBpm > 0 && std::isfinite(tagBpm)) {
        bpm = tagBpm;
        bpmConfidence = 100;
    } else {
        bpmConfidence = 0;
        // No analysis will replace the previous track's tempo for a file that gave no audio, or for a movie:
        // the deck starts from its own.
        if (load->video || fmod->isUnreadable()) bpm = kDefaultBpm;
    }

    readMemoryLists(tag, loaded);
    std::copy(std::begin(loaded.cues), std::end(loaded.cues), cuePoints);
    std::copy(std::begin(loaded.loopIns), std::end(loaded.loopIns), loopIns);
    std::copy(std::begin(loaded.loopOuts), std::end(loaded.loopOuts), loopOuts);
    std::fill(std::begin(cueChanged), std::end(cueChanged), 0);
    std::fill(std::begin(loopChanged), std::end(loopChanged), 0);

    started = false;
    startFound = endFound = false;
    musicEnd = getLength();
    cuePoint = 0;
    replayGainDb = 1.0;

    float peak = 0, radioGain = 0, audiophileGain = 0;
    tag->getReplayGain(&peak, &radioGain, &audiophileGain);
    if (peak == 0 || radioGain == 0) {
        effects->setParameter(EFFECT_LIMITER, 0, 1.0);
        setParam(PLAYERPARAM_REPLAYGAIN, 1); // analysis on: the frame update applies its result
        replayGainApplied = false;
    } else {
        setReplayGain(radioGain, peak);
    }

    setParam(PLAYERPARAM_BPMANALYSIS, 1);
    setParam(PLAYERPARAM_SPECTRUM1, engineSpectrum(0) ? 1 : 0);
    setParam(PLAYERPARAM_SPECTRUM2, engineSpectrum(1) ? 1 : 0);

    const int stripes = int(getParam(PLAYERPARAM_NBSTRIPES));
    double maxHeight = 0;
    int incomplete = 0;
    const std::string wave = engineGetWaveForm(path, stripes, &maxHeight, &incomplete);
    const int n = std::min<int>(stripes, int(wave.size()));
    for (int s = 0; s < n; ++s)
        setParam(PLAYERPARAM_STRIPE, uint8_t(wave[size_t(s)]) * maxHeight / 255.0, s);

    trackLoaded = true;
    active = true;
    // What was asked while the file opened (a click right after LOAD, a controller's or a script's load and
    // play): the hot cue of this track, then the start, as PLAY starts a track, or, for CUE still held, until
    // it is let go.
    if (loadCueSlot > 0) retrieveCuePoint(loadCueSlot);
    if (loadPlays) {
        if (cueHeld && !playPressedWhileCueHeld)
            setParam(PLAYERPARAM_PLAYING, 1);
        else
            togglePlay();
    }
    return true;
}

bool TarlumePlayer::isLoading() const {
    return pendingLoad != nullptr;
}

bool TarlumePlayer::loadPendingSong() {
    if (pendingLoadPath.empty()) return false;
    return loadSong("", true);
}

void TarlumePlayer::readMemoryLists(CID3v2Tag* record, MemoryLists& lists) {
    lists = MemoryLists();
    for (int i = 0; i < kSlots; ++i) {
        const double t = record->getFromETCO(kETCOCue, unsigned(i));
        if (t < 0) break;
        lists.cues[i] = t;
    }
    for (int i = 0; i < kSlots; ++i) {
        const double in = record->getFromETCO(kETCOLoopIn, unsigned(i));
        const double out = record->getFromETCO(kETCOLoopOut, unsigned(i));
        if (in < 0 || out < 0) break;
        lists.loopIns[i] = in < out ? in : 0;
        lists.loopOuts[i] = in < out ? out : 0;
    }
}

void TarlumePlayer::writeBackMemoryLists() {
    // What the record holds now: another deck showing the track may have written into it since this load.
    MemoryLists lists;
    readMemoryLists(tag, lists);
    const std::vector<TarlumePlayer*> sharing = engineDecksSharing(tag);
    for (int s = 0; s < kSlots; ++s) {
        const double cue = cueValue(cuePoints[s]);
        if (cueChanged[s] || cue != loaded.cues[s]) {
            lists.cues[s] = cue;
            // A deck still showing the track that changed the slot before this one gives way: its close then
            // keeps what is written here.
            for (TarlumePlayer* other : sharing)
                if (other->cueChanged[s] < cueChanged[s]) {
                    other->loaded.cues[s] = cueValue(other->cuePoints[s]);
                    other->cueChanged[s] = 0;
                }
        }
        const bool used = loopUsed(loopIns[s], loopOuts[s]);
        const double in = used ? loopIns[s] : 0, out = used ? loopOuts[s] : 0;
        if (loopChanged[s] || in != loaded.loopIns[s] || out != loaded.loopOuts[s]) {
            lists.loopIns[s] = in;
            lists.loopOuts[s] = out;
            for (TarlumePlayer* other : sharing)
                if (other->loopChanged[s] < loopChanged[s]) {
                    const bool its = loopUsed(other->loopIns[s], other->loopOuts[s]);
                    other->loaded.loopIns[s] = its ? other->loopIns[s] : 0;
                    other->loaded.loopOuts[s] = its ? other->loopOuts[s] : 0;
                    other->loopChanged[s] = 0;
                }
        }
    }
    rewriteEvents(false, lists, !sharing.empty());
    rewriteEvents(true, lists, !sharing.empty());
}

// Writes one memory list back into the record's ETCO frame when it differs from what the record holds.
// The first kSlots entries of each type stand for the slots; entries beyond them are kept as they are.
void TarlumePlayer::rewriteEvents(bool loops, const MemoryLists& lists, bool keepPlaces) {
    const std::string* raw = tag->getFrame("ETCO", true);
    const std::string data = raw ? *raw : std::string();
    if (data.size() >= 1 && data[0] == 1) return; // time stamps in MPEG frames: not ours to edit
    const std::vector<Event> events = parseEvents(data);

    auto used = [&](int s) { return loops ? loopUsed(lists.loopIns[s], lists.loopOuts[s]) : lists.cues[s] > 0; };
    int places = 0; // slots written, the empty ones among them as time 0
    for (int s = 0; s < kSlots; ++s)
        if (keepPlaces && used(s)) places = s + 1;
    std::vector<Event> wanted; // the slots' events, in slot order
    for (int s = 0; s < kSlots; ++s) {
        if (!used(s) && s >= places) continue;
        if (loops) {
            wanted.push_back({uint8_t(kETCOLoopIn), used(s) ? etcoTime(lists.loopIns[s]) : 0});
            wanted.push_back({uint8_t(kETCOLoopOut), used(s) ? etcoTime(lists.loopOuts[s]) : 0});
        } else {
            wanted.push_back({uint8_t(kETCOCue), used(s) ? etcoTime(lists.cues[s]) : 0});
        }
    }

    // Change: the k-th wanted entry of a type differs from entry k of the record, or the record holds more
    // slot entries than are wanted.
    const uint8_t types[2] = {uint8_t(loops ? kETCOLoopIn : kETCOCue), uint8_t(kETCOLoopOut)};
    bool changed = false;
    for (int t = 0; t < (loops ? 2 : 1); ++t) {
        const std::vector<uint32_t> have = entriesOf(events, types[t]);
        const std::vector<uint32_t> want = entriesOf(wanted, types[t]);
        const size_t slotEntries = std::min<size_t>(have.size(), kSlots);
        if (want.size() != slotEntries) changed = true;
        for (size_t k = 0; !changed && k < want.size(); ++k)
            if (want[k] != have[k]) changed = true;
    }
    if (!changed) return;

    // Other types keep their place; then the slots in slot order (a loop's in before its out, so every
    // in pairs with its own out when read back); then the entries beyond the slots.
    std::string out(1, data.empty() ? char(2) : data[0]);
    std::vector<Event> excess;
    int seen[256] = {};
    for (const Event& e : events) {
        const bool ours = e.type == types[0] || (loops && e.type == types[1]);
        if (!ours)
            appendEvent(out, e);
        else if (seen[e.type]++ >= kSlots)
            excess.push_back(e);
    }
    for (const Event& e : wanted)
        appendEvent(out, e);
    for (const Event& e : excess)
        appendEvent(out, e);
    if (out.size() < 6)
        tag->setFrame("ETCO", nullptr, 0);
    else
        tag->setFrame("ETCO", out, 0);
}

void TarlumePlayer::closeSong() {
    if (!tag) return;
    writeBackMemoryLists();
    storeInCache();

    CID3v2Tag* record = tag;
    tag = nullptr;
    const bool played = started && now() / 1000.0 - firstPlayTime > 30.0;
    if (played) enginePlayed(record);
    engineKeepRecord(record);
}

void TarlumePlayer::storeInCache() {
    int stripes = 0;
    std::string bytes; // no overview without a track's length
    if (player && getParam(PLAYERPARAM_LENGTH) > 0) {
        stripes = int(getParam(PLAYERPARAM_NBSTRIPES));
        bytes.reserve(size_t(std::max(0, stripes)));
        for (int i = 0; i < stripes; ++i) {
            // 254 steps above an offset of 1, clamped, so a stripe above full height no longer wraps to a small byte.
            const double v = getParam(PLAYERPARAM_STRIPE, i);
            const double b = std::isfinite(v) ? std::floor(v * 254 + 1) : 1;
            bytes += char(uint8_t(std::clamp(b, 1.0, 255.0)));
        }
    }
    engineStoreRecord(stripes, bytes, getParam(PLAYERPARAM_STRIPEMAX));
}

bool TarlumePlayer::isUnreadable() const {
    Player* p = player.get();
    return tag && !inputPassthrough && p && p->isUnreadable();
}

// One line on stderr for a file that gave no audio, with what the file system says of it.
void TarlumePlayer::reportUnreadable() {
    // A movie's open said on stderr already why it does not open.
    if (unreadableReported || !isUnreadable() || isVideo == 1) return;
    unreadableReported = true;
    const std::string path = tag->getPath();
    std::string why = "no audio could be read from it";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0)
        why = strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "it is a folder";
    else if (st.st_size == 0)
        why = "the file is empty";
    fprintf(stderr, "Could not read \"%s\": %s\n", path.c_str(), why.c_str());
}

void TarlumePlayer::loadInputPassthrough(int input) {
    pendingLoad.reset(); // the input replaces a file still opening
    inputPassthrough = true;
    inputIndex = input;
    engineUpdateInputs();
    trackLoaded = true;
    active = true;
}

// ---------------------------------------------------------------------------------------------------------
// Player values

double TarlumePlayer::getParam(PLAYERPARAM id, int index) {
    if (isLoading()) {
        // Not the silent player's: the track to come stands at its start, playing once there when asked to.
        if (id == PLAYERPARAM_PLAYING) return loadPlays ? 1 : 0;
        if (id == PLAYERPARAM_POSITION) return 0;
    }
    Player* p = player.get();
    return p ? p->getParameter(id, index) : 0.0;
}

void TarlumePlayer::setParam(PLAYERPARAM id, double value, double second) {
    if (isLoading()) {
        switch (id) {
        case PLAYERPARAM_PLAYING:
            // Kept for the track: the silent player would play its one frame and stop, and the press be lost.
            loadPlays = value >= 1 && value < 2;
            return;
        case PLAYERPARAM_POSITION:
        case PLAYERPARAM_LOOPSTART:
        case PLAYERPARAM_LOOPEND:
        case PLAYERPARAM_LOOPWINDOW:
        case PLAYERPARAM_LOOP:
            return; // frames of a track whose length and rate are not known yet
        default:
            break;
        }
    }
    Player* p = player.get();
    if (p) p->setParameter(id, value, second);
}

double TarlumePlayer::getSamplerate() {
    const double rate = getParam(PLAYERPARAM_FILERATE);
    return rate >= kMinRate ? rate : 44100.0;
}

double TarlumePlayer::msToFrames(double ms) {
    return ms * getSamplerate() / 1000.0;
}

double TarlumePlayer::framesToMs(double frames) {
    return frames / (getSamplerate() / 1000.0);
}

double TarlumePlayer::getLength() {
    return framesToMs(getParam(PLAYERPARAM_LENGTH));
}

double TarlumePlayer::getPosition() {
    return framesToMs(getParam(PLAYERPARAM_POSITION));
}

void TarlumePlayer::setPosition(double ms) {
    setParam(PLAYERPARAM_POSITION, msToFrames(ms));
}

// ---------------------------------------------------------------------------------------------------------
// Volumes

void TarlumePlayer::setVolume(double v) {
    if (!std::isfinite(v)) return;
    volume = v;
    const double main = v * engineMainGain();
    mainRamp->setVolume(main);
    cueRamp->setVolume(std::max(engineCueMaster() * main, cueVolume));
}

void TarlumePlayer::setVolumeCue(double v) {
    if (std::isnan(v) || v == HUGE_VAL) return; // any negative value toggles
    if (v < 0) v = cueVolume > 0 ? 0.0 : rememberedCueVolume > 0 ? rememberedCueVolume : 1.0;
    cueVolume = v;
    if (v > 0) rememberedCueVolume = v;
    setVolume(volume);
}

void TarlumePlayer::setPanLR(double p) {
    if (!std::isfinite(p)) return;
    pan = p;
    mainRamp->setPan(p);
    cueRamp->setPan(p);
}

void TarlumePlayer::setCrossfaderSide(enCrossfaderSide s) {
    crossfaderSide = s;
    setVolume(volume);
}

void TarlumePlayer::setOutputSamplerate(double rate) {
    setParam(PLAYERPARAM_OUTPUTRATE, rate);
    effects->setSamplerate(rate);
    mainRamp->setSamplerate(rate);
    cueRamp->setSamplerate(rate);
}

// ---------------------------------------------------------------------------------------------------------
// Memory slots

int TarlumePlayer::slotIndex(int n) {
    return n >= 1 && n <= kSlots ? n - 1 : -1;
}

double TarlumePlayer::getCuePoint(int n) const {
    const int i = slotIndex(n);
    return i < 0 ? 0.0 : cuePoints[i];
}

void TarlumePlayer::setCuePoint(int n, double ms) {
    const int i = slotIndex(n);
    if (i < 0 || !std::isfinite(ms)) return;
    cuePoints[i] = std::max(0.0, ms);
    cueChanged[i] = nextSlotChange();
}

void TarlumePlayer::storeCuePoint(int n) {
    const int i = slotIndex(n);
    if (i < 0) return;
    cuePoints[i] = getPosition();
    cueChanged[i] = nextSlotChange();
    cuePoint = cuePoints[i];
    cueStoreArmed = false;
}

double TarlumePlayer::getLoopIn(int n) const {
    const int i = slotIndex(n);
    return i < 0 ? 0.0 : loopIns[i];
}

double TarlumePlayer::getLoopOut(int n) const {
    const int i = slotIndex(n);
    return i < 0 ? 0.0 : loopOuts[i];
}

void TarlumePlayer::setLoop(int n, double inMs, double outMs) {
    const int i = slotIndex(n);
    if (i < 0) return;
    const bool valid = std::isfinite(inMs) && std::isfinite(outMs) && inMs >= 0 && inMs < outMs;
    loopIns[i] = valid ? inMs : 0;
    loopOuts[i] = valid ? outMs : 0;
    loopChanged[i] = nextSlotChange();
}

bool TarlumePlayer::isLoopSlotUsed(int n) const {
    const int i = slotIndex(n);
    return i >= 0 && loopIns[i] >= 0 && loopIns[i] < loopOuts[i];
}

// ---------------------------------------------------------------------------------------------------------
// Track information

std::string TarlumePlayer::getTrackInfo(const std::string& templ) {
    if (!tag) return "";
    // One pass from left to right: a replacement is never scanned again, so a tag value holding a field name
    // stays text, and a template holding a field twice gets both.
    std::string out;
    out.reserve(templ.size() + 64);
    size_t pos = 0;
    while (pos < templ.size()) {
        const size_t open = templ.find("%[", pos);
        if (open == std::string::npos) break;
        const size_t close = templ.find(']', open + 2);
        if (close == std::string::npos) break;
        out.append(templ, pos, open - pos);
        const std::string field = templ.substr(open + 2, close - open - 2);
        std::string value;
        bool known = true;
        if (field == "Comments") {
            value = tag->getFrameCopy("COMM");
            std::replace(value.begin(), value.end(), '\n', ' ');
            std::replace(value.begin(), value.end(), '\r', ' ');
            while (value.find("  ") != std::string::npos)
                value = strreplace(value, "  ", " ");
            value = strtrim(value);
        } else if (field == "Album") {
            value = tag->getFrameCopy("TALB");
        } else if (field == "Title") {
            value = tag->getFrameCopy("TIT2");
        } else if (field == "Artist") {
            value = isUnreadable() ? kUnreadableText : tag->getFrameCopy("TPE1");
        } else if (field == "Genre") {
            value = tag->getFrameCopy("TCON");
        } else if (field == "Year") {
            value = tag->getFrameCopy("TYER");
        } else if (field == "Track") {
            value = tag->getFrameCopy("TRCK");
        } else if (field == "BPM" || field == "BPM0" || field == "BPM00") {
            if (hasTempo(false)) value = dblToStr(getBPM(false, true, false), int(field.size()) - 3);
        } else if (field == "samplerate") {
            value = dblToStr(getParam(PLAYERPARAM_FILERATE), 0);
        } else if (field == "FileNameOnly") {
            value = getFileName(tag->getPath());
        } else if (field == "kbps") {
            value = ""; // no bit rate is known here
        } else {
            known = false;
        }
        if (known) {
            out += value;
            pos = close + 1;
        } else {
            out += "%[";
            pos = open + 2;
        }
    }
    out.append(templ, pos, std::string::npos);
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Engine access: a deck without an engine (tests) plays at 44.1 kHz with unit gains and keeps nothing.

double TarlumePlayer::now() const {
    return EngineClock::now();
}

double TarlumePlayer::engineSamplerate() const {
    return engine ? engine->getSamplerate() : 44100.0;
}

double TarlumePlayer::engineMainGain() const {
    if (!engine) return 1.0;
    return engine->getVolumeMaster() * engine->getCrossfaderVolume(crossfaderSide, engine->getCrossfader(false), -1);
}

double TarlumePlayer::engineCueMaster() const {
    return engine ? engine->getVolumeCueMaster() : 0.0;
}

void TarlumePlayer::engineUpdateInputs() {
    if (engine) engine->updateAudioInputs();
}

bool TarlumePlayer::engineWarnOnLoad() const {
    return engine && engine->warnWhenLoadingTrack;
}

bool TarlumePlayer::engineAutoCue() const {
    return !engine || engine->autoCue;
}

bool TarlumePlayer::engineSpectrum(int i) const {
    if (!engine) return true;
    return i == 0 ? engine->spectrum1 : engine->spectrum2;
}

std::string TarlumePlayer::engineAppFolder() const {
    if (!engine || engine->applicationFolder.empty()) return ".";
    std::string folder = engine->applicationFolder;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

CID3v2Tag* TarlumePlayer::engineFindKeptRecord(const std::string& path) {
    if (!engine) return nullptr;
    for (CID3v2Tag* record : engine->keptRecords)
        if (record && record->getPath() == path) return record;
    for (TarlumePlayer* deck : engine->players)
        if (deck && deck != this && deck->tag && deck->tag->getPath() == path) return deck->tag;
    return nullptr;
}

std::vector<TarlumePlayer*> TarlumePlayer::engineDecksSharing(const CID3v2Tag* record) const {
    std::vector<TarlumePlayer*> decks;
    if (!engine || !record) return decks;
    for (TarlumePlayer* deck : engine->players)
        if (deck && deck != this && deck->tag == record) decks.push_back(deck);
    return decks;
}

void TarlumePlayer::engineKeepRecord(CID3v2Tag* record) {
    if (!engine) {
        delete record;
        return;
    }
    // A record taken back by a reload is listed already: listing it again at every close grew the list.
    auto& kept = engine->keptRecords;
    if (std::find(kept.begin(), kept.end(), record) == kept.end()) kept.push_back(record);
    // Kept for the whole run, a record keeps what the decks wrote into it and its texts, but not its cover
    // (a load of the file reads it again): hundreds of kilobytes a track over a night of loads. Not while
    // another deck shows the same record.
    for (TarlumePlayer* deck : engine->players)
        if (deck && deck->tag == record) return;
    record->emptyLargeFrames(true);
}

void TarlumePlayer::enginePlayed(CID3v2Tag* record) {
    if (!engine) return;
    if (engine->historyList) engine->historyList->addTag(record, true);
    engine->playedRecords.push_back(record);
    // Rows of the track in the browsers' playlist and file lists show the played-file picture.
    for (int b = 0; b < Tarlume::kBrowsers; ++b)
        for (SkinListBox* list : {engine->playlistList[b], engine->fileList[b]}) {
            if (!list) continue;
            CPicture* played = list->pictures.size() > 4 ? list->pictures[4] : nullptr;
            for (int r = 0; r < list->getNbItems(); ++r) {
                SkinListItem* row = list->getRow(unsigned(r));
                if (row && row->getColumnByName("FileName") == record->getPath()) row->picture = played;
            }
            list->setDirty();
        }
}

void TarlumePlayer::engineShowLoadWarning() {
    if (!engine || !engine->skin || !engine->skin->interface) return;
    // The answer presses "forceloadsong" with an empty specifier: the deck then loads the path it kept.
    engine->skin->interface->showDialogBox(kForceLoadValue, "", deckIndex,
                                           "A song is already playing, are you sure you want to load a new song?");
}

void TarlumePlayer::engineLockAudio() {
    if (engine) engine->lockAudio();
}

void TarlumePlayer::engineUnlockAudio() {
    if (engine) engine->unlockAudio();
}

std::string TarlumePlayer::engineGetWaveForm(const std::string& path, int stripes, double* maxHeight, int* incomplete) {
    if (!engine || !engine->tagCache) return "";
    return engine->tagCache->getWaveForm(path, stripes, maxHeight, incomplete);
}

void TarlumePlayer::engineRestoreDeckFrames(CID3v2Tag* record) {
    if (engine && engine->tagCache) engine->tagCache->restoreDeckFrames(record);
}

void TarlumePlayer::engineStoreRecord(int stripes, const std::string& waveform, double maxHeight) {
    if (engine && engine->tagCache) engine->tagCache->storeDeckRecord(tag, stripes, waveform, maxHeight);
}
