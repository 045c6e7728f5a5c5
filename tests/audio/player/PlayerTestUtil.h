// Helpers shared by the player tests: tracks held in memory, WAV files made on the spot, and a window on the
// player's audio-thread state.
#pragma once

#include "audio/decoders/DecoderTestUtil.h"
#include "audio/player/FModPlayer.h"
#include "audio/player/Player.h"
#include "audio/recorder/WavOutFile.h"
#include "dsp/Resample.h"
#include "dsp/VolumeRamp.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Reads and sets what the audio thread keeps to itself.
struct PlayerTestAccess {
    static int startFade(Player& p) { return p.m_startFade; }
    static int stopFade(Player& p) { return p.m_stopFade; }
    static int spliceCounter(Player& p) { return p.m_fadeCounter; }
    static int state(Player& p) { return p.m_state; }
    static double position(Player& p) { return p.m_position; }
    static double readHead(Player& p) { return p.m_readHead; }
    static double increment(Player& p) { return p.m_increment; }
    static double rampTarget(Player& p) { return p.m_ramp->getVolume(); }
    static int selectedResampler(Player& p) {
        for (int i = 0; i < 3; ++i)
            if (p.m_resampler == p.m_resamplers[i].get()) return i;
        return -1;
    }
    static void setLoadEstimate(Player& p, double v) { p.m_loadEstimate = v; }
    static int pendingSeek(Player& p) { return p.m_pendingSeek; }
    // The loading thread takes the request (and starts moving the decoder).
    static int takeSeek(Player& p) { return p.m_pendingSeek.exchange(-1); }
    static double glideLength(Player& p) { return p.m_glideLength; }
    static double processedCounter(Player& p) { return p.m_processedCounter; }
    static double decodedCounter(Player& p) { return p.m_decodedCounter; }
    static void setCounters(Player& p, double processed, double decoded) {
        p.m_processedCounter = processed;
        p.m_decodedCounter = decoded;
    }
    static unsigned writeIndex(Player& p) { return p.m_loadedFrames.load(); }
    static bool endOfFile(Player& p) { return p.m_endOfFile; }
    static void setPlayingNow(Player& p) { p.m_state = Player::STATE_PLAYING; }
    static void calculateNeed(FModPlayer& p) { p.calculateNeedMoreData(); }
    static CRITICAL_SECTION* stateLock(Player& p) { return &p.m_stateLock; }
};

namespace playertest {

const double kPi = 3.14159265358979323846;

using dectest::TempDir;

inline void writeWav(const std::string& path, int rate, int channels, const std::vector<short>& samples) {
    WavOutFile out(path, rate, 16, channels);
    out.write(samples.data(), int(samples.size() * sizeof(short)));
    out.close();
}

// The "counter" track: frame n holds n & 0x7FFF on the left and n >> 15 on the right, so any sample says
// which frame it came from.
inline std::vector<short> counterFrames(int frames) {
    std::vector<short> v(size_t(frames) * 2);
    for (int n = 0; n < frames; ++n) {
        v[size_t(2 * n)] = short(n & 0x7FFF);
        v[size_t(2 * n + 1)] = short(n >> 15);
    }
    return v;
}
inline long counterFrame(float left, float right) {
    return long(std::lround(right)) * 32768 + long(std::lround(left));
}

// A stereo sine of `hz` at `rate`, the same on both channels.
inline std::vector<short> sineFrames(double hz, int rate, int frames, double amplitude = 12000) {
    std::vector<short> v(size_t(frames) * 2);
    for (int n = 0; n < frames; ++n)
        v[size_t(2 * n)] = v[size_t(2 * n + 1)] = short(std::lround(amplitude * std::sin(2 * kPi * hz * n / rate)));
    return v;
}

// A whole-track player over samples held in memory (no decoder, no loading).
struct MemoryTrack {
    std::vector<short> samples;
    std::unique_ptr<Player> player;

    MemoryTrack(std::vector<short> stereo, int rate = 44100, int zeroCrossings = 13) : samples(std::move(stereo)) {
        player = std::make_unique<Player>();
        player->init("", zeroCrossings, 0, 0);
        const int frames = int(samples.size() / 2);
        player->updateBuffer(samples.data(), int(samples.size() * sizeof(short)));
        player->setParameter(PLAYERPARAM_LENGTH, frames);
        player->setParameter(PLAYERPARAM_LOADED, frames);
        if (rate != 44100) player->setParameter(PLAYERPARAM_FILERATE, rate);
    }
    Player& operator*() { return *player; }
    Player* operator->() { return player.get(); }
};

// Runs `frames` frames through process into interleaved stereo.
inline std::vector<float> run(Player& p, int frames) {
    std::vector<float> out(size_t(frames) * 2);
    for (int i = 0; i < frames; ++i)
        p.process(&out[size_t(2 * i)], &out[size_t(2 * i + 1)]);
    return out;
}

// Frequency of the strongest crossing rate: upward zero crossings per second of the left channel.
inline double crossingFrequency(const std::vector<float>& stereo, int rate, size_t firstFrame = 0) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = firstFrame + 1; i < stereo.size() / 2; ++i) {
        if (stereo[2 * (i - 1)] < 0 && stereo[2 * i] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * double(rate) / double(last - first) : 0;
}

// Keeps the loading thread out of a test: loading then runs inside process, deterministically.
struct NoLoadingThread {
    NoLoadingThread() { Player::sml_separateLoadingThread = false; }
    ~NoLoadingThread() { Player::sml_separateLoadingThread = true; }
};

} // namespace playertest
