#include "engine/Tarlume.h"

#include "audio/effects/EffectGroup.h"
#include "audio/recorder/Recorder.h"
#include "engine/EngineClock.h"
#include "engine/TarlumeAudioDevice.h"
#include "engine/TarlumeDeckAccess.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"
#include "platform/AppPaths.h"
#include "platform/BoundedWork.h"
#include "platform/JackThread.h"
#include "platform/MidiPorts.h"
#include "platform/SoundDevices.h"
#include "skin/Skin.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>
#include <unistd.h>

Tarlume* tlm = nullptr;

namespace {
double clamp01(double x) {
    return std::isnan(x) ? 0.0 : std::clamp(x, 0.0, 1.0);
}
} // namespace

Tarlume::Tarlume() {
    createDecks();
    masterEffects = std::make_unique<EffectGroup>(float(getSamplerate()));
    masterEffects->setEffectState(EFFECT_LIMITER, 1);
    masterEffects->setParameter(EFFECT_LIMITER, 9, 1.0);
    masterEffects->setParameter(EFFECT_LIMITER, 8, 1.0);

    applicationFolder = getCurDir();
    makeFolders();
    tagCache = new TagCache(userDataFolder + "tagcache.db");
    // Most MP3 and Ogg files carry no length tag; the loading thread reads it from the audio, so the
    // browser shows every track's real length instead of 00:00.
    tagCache->setComputeLengths(true);
    historyList = tagCache->getFolder(historyPath, false, true, false, false);

    const std::string home = getUserFolder() + "/";
    for (int i = 0; i < kBrowsers; i++) {
        currentFolder[i] = home;
        playlistPath[i] = playlistsFolder + "current.m3u";
    }
    loadSettings();
}

Tarlume::~Tarlume() {
    writeSettings();
    // The decks' tracks are closed (their cue points, loops and overviews stored, their history written) and
    // the playlists written before sound and MIDI close, so a close that never ends costs nothing the user
    // made. The loading threads stop first, so no list is half loaded when it is written.
    if (tagCache) tagCache->stopThreads();
    for (TarlumePlayer* deck : players)
        if (deck) deckAccess::closeTrack(deck);
    writePlaylists();
    closeDevicesForQuit();
    deleteDecks();
    masterEffects.reset();
    deleteKeptRecords();
    delete tagCache;
    tagCache = nullptr;
    historyList = nullptr;
    if (logFile) fclose(logFile);
    logFile = nullptr;
    if (tlm == this) tlm = nullptr;
}

void Tarlume::closeDevicesForQuit() {
    // The decks go next: a block given up on, still inside a device, reads them until it has left.
    // What a JACK server is asked at the close is asked of the JACK thread, which is waited for last, as long as a
    // frame may wait for it: true when everything closed. The program's clients close there too, so that a server
    // that answers lets go of them now, not once it finds them dead after the program has gone.
    auto closeAll = [this] {
        disconnectHIDs();
        MidiPorts::get().closeForQuit();
        destroyAudio();
        while (!releaseStalledDevices())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        SoundDevices::closeClientsForQuit();
        return JackThread::drain();
    };
    if (!shell) {
        closeAll();
        return;
    }
    // A sound or MIDI server that stopped answering (the program was stopped while on JACK, or held in a
    // debugger) can hold a close for good: the shell is told after a while and ends the program, everything
    // the user made being saved by then.
    auto closed = std::make_shared<std::atomic<bool>>(false);
    auto allClosed = std::make_shared<std::atomic<bool>>(false);
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = BoundedWork::run(
        [closeAll, closed, allClosed](BoundedWork::Progress&) {
            allClosed->store(closeAll());
            closed->store(true);
        },
        std::chrono::hours(1), deviceCloseLimit);
    if (outcome == BoundedWork::Outcome::Done && allClosed->load()) return;
    fprintf(stderr,
            "Sound and MIDI did not close within %.1f s (their server does not answer): quitting without them\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    shell->devicesDidNotClose();
    // A shell that goes on: what the close still uses stays until it ends.
    while (!closed->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Tarlume::createDecks() {
    for (int i = 0; i < kDecks; i++)
        players[i] = deckAccess::create(this, i);
    // Deck 0 on the left of the crossfader, deck 1 on the right, decks 2 and 3 on neither.
    if (players[0]) deckAccess::setCrossfaderSide(players[0], 1);
    if (players[1]) deckAccess::setCrossfaderSide(players[1], 2);
}

void Tarlume::deleteDecks() {
    for (TarlumePlayer*& deck : players) {
        deckAccess::destroy(deck);
        deck = nullptr;
    }
}

void Tarlume::makeFolders() {
    userDataFolder = AppPaths::userDataFolder();
    playlistsFolder = userDataFolder + "playlists/";
    const std::string historyFolder = playlistsFolder + "logs/";
    for (const std::string& folder : {userDataFolder, playlistsFolder, historyFolder})
        if (!AppPaths::makeFolders(folder))
            fprintf(stderr, "Folder %s could not be created: settings and playlists will not be kept\n",
                    folder.c_str());
    const std::string current = playlistsFolder + "current.m3u";
    if (!DirExist(current))
        if (FILE* f = fopen(current.c_str(), "ab")) fclose(f);

    char name[81] = "";
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(name, sizeof name, "%y-%m-%d.m3u", &local);
    historyPath = historyFolder + name;
}

void Tarlume::deleteKeptRecords() {
    for (size_t i = 0; i < keptRecords.size(); i++) {
        CID3v2Tag* record = keptRecords[i];
        if (!record) continue;
        for (size_t j = i + 1; j < keptRecords.size(); j++)
            if (keptRecords[j] == record) keptRecords[j] = nullptr;
        delete record;
    }
    keptRecords.clear();
    playedRecords.clear();
}

// ---- Crossfader and volumes --------------------------------------------------------------------------

double Tarlume::getCrossfader(bool target) {
    return target ? crossfaderTarget : crossfader;
}

void Tarlume::setCrossfader(double value, bool target) {
    if (std::isnan(value)) return;
    value = clamp01(value);
    if (target) {
        crossfaderTarget = value;
        if (crossfaderVideoLinked) crossfaderVideoTarget = value;
        return;
    }
    crossfader = value;
    if (crossfaderVideoLinked) crossfaderVideo = value;
    applyDeckVolumes();
}

double Tarlume::getCrossfaderVideo(bool target) {
    return target ? crossfaderVideoTarget : crossfaderVideo;
}

void Tarlume::setCrossfaderVideo(double value, bool target) {
    if (std::isnan(value)) return;
    (target ? crossfaderVideoTarget : crossfaderVideo) = clamp01(value);
}

double Tarlume::getCrossfaderVolume(int side, double x, int type) {
    if (type < 0) type = crossfaderType;
    if (side <= 0) return 1.0;
    x = clamp01(x); // outside 0..1 the square roots of type 3 are NaN
    const bool left = side == 1;
    const double m = 10.0 * crossfaderSteepness + 1.0;
    double v;
    switch (type) {
    case 0:
        v = left ? (2.0 - 2.0 * x) : 2.0 * x;
        break;
    case 1:
        v = left ? (1.0 - x) : x;
        break;
    case 2:
        v = left ? (1.5 - 1.5 * x) : 1.5 * x;
        break;
    case 3:
        v = left ? std::sqrt(1.0 - x) : std::sqrt(x);
        break;
    default:
        return 0.0;
    }
    v *= m;
    return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
}

bool Tarlume::setCrossfaderType(int type) {
    if (type < 0 || type >= kCrossfaderTypes) return false;
    crossfaderType = type;
    applyDeckVolumes();
    return true;
}

double Tarlume::getVolumeMaster() {
    return volumeMaster;
}

void Tarlume::setVolumeMaster(double value) {
    if (std::isnan(value)) return;
    volumeMaster = value;
    applyDeckVolumes();
}

double Tarlume::getVolumeCueMaster() {
    return volumeCueMaster;
}

void Tarlume::setVolumeCueMaster(double value) {
    if (std::isnan(value)) return;
    volumeCueMaster = value;
    applyDeckVolumes();
}

double Tarlume::getVolumeCue() {
    return players[0] ? deckAccess::rememberedCueVolume(players[0]) : 1.0;
}

void Tarlume::setVolumeCue(double value) {
    if (std::isnan(value)) return;
    value = std::max(value, 0.05);
    for (TarlumePlayer* deck : players)
        if (deck) deckAccess::setCueLevel(deck, value);
}

void Tarlume::applyDeckVolumes() {
    for (TarlumePlayer* deck : players)
        if (deck) deckAccess::reapplyVolume(deck);
}

void Tarlume::setSamplerate(double rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return;
    if (rate != getSamplerate()) {
        samplerate.store(rate, std::memory_order_relaxed);
        for (TarlumePlayer* deck : players)
            if (deck) deckAccess::setOutputSamplerate(deck, rate);
    }
    if (masterEffects) masterEffects->setSamplerate(rate);
}

// ---- Recording -------------------------------------------------------------------------------------------

TarlumeAudioDevice* Tarlume::masterDevice() {
    for (auto& device : soundDevices)
        if (device->master) return device.get();
    return nullptr;
}

bool Tarlume::startRecording(const std::string& path) {
    auto refuse = [&](const std::string& why) {
        fprintf(stderr, "Recording to \"%s\" not started: %s\n", path.c_str(), why.c_str());
        return false;
    };
    if (path.size() < 4) return refuse("the file name needs the ending .wav or .ogg");
    const std::string ending = strtolower(path.substr(path.size() - 4));
    int type;
    float quality;
    if (ending == ".wav") {
        type = Recorder::TYPE_WAV;
        quality = 1.0f;
    } else if (ending == ".ogg") {
        type = Recorder::TYPE_OGG;
        quality = 5.0f;
    } else {
        return refuse("only .wav and .ogg recordings can be made");
    }
    if (isRecording()) stopRecording();
    TarlumeAudioDevice* device = masterDevice();
    if (!device) return refuse("no sound device plays the master mix");
    auto recorder = std::make_unique<Recorder>(type, quality, int(getSamplerate()), path);
    if (recorder->hasFailed()) return refuse(recorder->getError());
    // The recorder is complete before the audio thread can see it (the swap takes the device lock).
    delete device->swapRecorder(recorder.release());
    return true;
}

void Tarlume::stopRecording() {
    for (auto& device : soundDevices) {
        if (!device->master) continue;
        // Detached under the lock; finished (drained, header written, closed) outside it, so the audio
        // never waits for the file.
        Recorder* recorder = device->swapRecorder(nullptr);
        delete recorder;
    }
}

bool Tarlume::isRecording() {
    TarlumeAudioDevice* device = masterDevice();
    return device && device->getRecorder();
}

std::string Tarlume::getRecordingStatus() {
    return "";
}

double Tarlume::getCPUUsage() {
    double sum = 0.0;
    for (auto& device : soundDevices)
        if (device->isConnected()) sum += device->getCPULoad();
    return sum;
}

// ---- Controllers -----------------------------------------------------------------------------------------

void Tarlume::setHIDConfig(const std::string& deviceName, const std::string& configName) {
    bool found = false;
    for (tHIDConfig& config : controllerConfigs)
        if (config.deviceName == deviceName) {
            config.configName = configName;
            found = true;
        }
    if (!found) controllerConfigs.push_back({deviceName, configName});
}

bool Tarlume::getHIDConfig(const std::string& deviceName, tHIDConfig** config, EngineController** device) {
    if (config) *config = nullptr;
    if (device) *device = nullptr;
    tHIDConfig* foundConfig = nullptr;
    EngineController* foundDevice = nullptr;
    for (tHIDConfig& c : controllerConfigs)
        if (c.deviceName == deviceName) {
            foundConfig = &c;
            break;
        }
    for (auto& controller : controllers)
        if (controller->isConnected() && controller->getDeviceName() == deviceName) {
            foundDevice = controller.get();
            break;
        }
    if (config) *config = foundConfig;
    if (device) *device = foundDevice;
    return foundConfig || foundDevice;
}

void Tarlume::connectHIDs() {
    disconnectHIDs();
    if (!controllerFactory) {
        refreshControllerLists();
        return;
    }
    for (const tHIDConfig& config : controllerConfigs) {
        std::string path = config.configName;
        if (!FileExist(path)) path = applicationFolder + "devices/" + config.configName;
        if (!FileExist(path)) continue;
        std::unique_ptr<EngineController> controller =
            controllerFactory->createController(skin ? skin->interface : nullptr);
        if (!controller) continue;
        controller->loadDevice(path);
        controller->connect(HIDTYPE_MIDI, config.deviceName);
        if (controller->isConnected() || controller->awaitsDevices()) controllers.push_back(std::move(controller));
    }
    refreshControllerLists();
}

void Tarlume::disconnectHIDs() {
    for (auto& controller : controllers)
        controller->disconnect();
    controllers.clear();
}

std::string Tarlume::getControllerConfigName(int i) {
    const std::string folder = applicationFolder + "devices/";
    if (i < 0 || !tagCache || !DirExist(folder)) return "";
    TagCacheDirectory* list = tagCache->getFolder(folder, true, true, false, false);
    return list ? list->getFile(i) : "";
}

// ---- Per frame, folders, log -------------------------------------------------------------------------------

void Tarlume::update() {
    const double now = EngineClock::now();
    double dt = now - lastUpdateTime;
    // The first frame, a stall and a clock that went back all count as one ordinary frame.
    if (lastUpdateTime <= 0.0 || !(dt >= 0.0) || dt > kMaxFrameGapMs) dt = kDefaultFrameMs;
    lastUpdateTime = now;
    watchAudio();

    auto glide = [&](double position, double target) {
        if (!(crossfaderSpeed > 0.0) || !std::isfinite(crossfaderSpeed)) return target;
        const double step = dt / (crossfaderSpeed * 1000.0);
        if (std::fabs(target - position) >= step) return position + (target > position ? step : -step);
        return target;
    };
    if (crossfaderTarget != crossfader) setCrossfader(glide(crossfader, crossfaderTarget), false);
    if (!crossfaderVideoLinked && crossfaderVideoTarget != crossfaderVideo)
        crossfaderVideo = glide(crossfaderVideo, crossfaderVideoTarget);

    for (TarlumePlayer* deck : players)
        if (deck) deckAccess::update(deck);
    if (skin) skin->handleTriggers();
    for (auto& controller : controllers)
        controller->update();
    if (controllerFactory && controllerFactory->devicesChanged()) {
        // What was configured before the devices could be listed joins them now.
        for (auto& controller : controllers)
            if (controller->awaitsDevices()) controller->connect(HIDTYPE_MIDI, controller->getDeviceName());
        refreshControllerLists();
        controllerDeviceChanges++;
    }
    updateBrowserLoading();
}

void Tarlume::log(const std::string& text) {
    if (!logFile) logFile = fopen((userDataFolder + "log.txt").c_str(), "wb");
    if (!logFile) return;
    fwrite(text.data(), 1, text.size(), logFile);
    fflush(logFile);
}

std::string Tarlume::getCurDir() {
    std::string folder = AppPaths::applicationFolder();
    if (folder.empty()) return "";
    if (chdir(folder.c_str()) != 0) return "";
    return folder;
}

std::string Tarlume::getUserFolder() {
    return AppPaths::homeFolder();
}

std::string Tarlume::getMusicFolder() {
    return AppPaths::homeFolder();
}

std::string Tarlume::getVariable(const std::string& name) {
    return skin ? skin->getVariable(name) : "";
}
