// A streaming player over a short track, driven by arbitrary parameter writes and reads (as skins, scripts and
// controller files may send them), playback, load steps and track changes. Every output frame must stay
// finite and within range, and nothing may read or write outside the player's buffers.
//
// Input: records of 10 bytes: operation, id, value (float), second value (float).
#include "analysis/WaveForm.h"
#include "audio/player/FModPlayer.h"
#include "audio/recorder/WavOutFile.h"
#include "support/TempDir.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string& trackPath() {
    static std::string path = [] {
        // Removed with its folder when the fuzzer ends.
        static const testsupport::TempDir folder("fuzz-player");
        std::string p = folder.path + "track.wav";
        std::vector<short> frames(2 * 30000);
        for (size_t i = 0; i < frames.size(); ++i)
            frames[i] = short(int(i * 37) % 20000 - 10000);
        WavOutFile out(p, 44100, 16, 2);
        out.write(frames.data(), int(frames.size() * sizeof(short)));
        out.close();
        return p;
    }();
    return path;
}

float readFloat(const uint8_t* p) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
}

// A float from the input as an int (0 for what no int holds), and as a frame below `limit`.
int toInt(float v) {
    return std::isfinite(v) && std::fabs(v) < 2e9f ? int(v) : 0;
}
unsigned toFrame(float v, double limit) {
    return std::isfinite(v) ? unsigned(std::fmod(std::fabs(double(v)), limit)) : 0;
}

void check(float l, float r) {
    if (!std::isfinite(l) || !std::isfinite(r) || std::fabs(l) > 1e6f || std::fabs(r) > 1e6f) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Loading runs inside process, on this thread: no loading thread, so every run is repeatable.
    Player::sml_separateLoadingThread = false;
    static std::vector<short> ring(2 * 40000);
    FModPlayer p;
    p.init(ring.data(), 40000, 0, trackPath(), 0, 0); // the resamplers' smallest tables: quick to build
    float l, r;
    int frames = 0; // processed so far: a few seconds' worth at most, so each input runs quickly
    // The limit points are a whole-track analysis: a few per input find what many would, and 200 of them
    // took most of a minute under the sanitizers.
    int limitRuns = 0;
    for (size_t at = 0; at + 10 <= size && at < 10 * 200; at += 10) {
        const int op = data[at] % 8, id = data[at + 1];
        const float v = readFloat(data + at + 2), w = readFloat(data + at + 6);
        switch (op) {
        case 0:
        case 1: {
            // Switching the loading thread on would make the run unrepeatable.
            const int param = id % 60;
            if (param != PLAYERPARAM_LOADINGTHREAD && param != PLAYERPARAM_SPEEDLOADING) p.setParameter(param, v, w);
            break;
        }
        case 2: {
            const double x = p.getParameter(id % 60, toInt(v));
            if (std::isnan(x)) __builtin_trap();
            break;
        }
        case 3:
            for (int i = 0; i < id * 4 && frames < 100000; ++i, ++frames) {
                p.process(&l, &r);
                check(l, r);
            }
            break;
        case 4:
            p.getSomeDataNow(id % 4);
            break;
        case 5: {
            const int frames = int(toFrame(v, 40001.0));
            p.init(ring.data(), frames, id % 16 ? 0 : id % 40, id % 3 ? trackPath() : std::string(), 0, 0);
            break;
        }
        case 6: {
            WaveForm* wf = p.getWaveForm();
            const unsigned position = toFrame(v, 4294967295.0);
            wf->addBeat(position, w, double(w) * 3, v, id & 1, id & 2);
            double a, b, c, d;
            wf->getClosestBeat(position, id & 4, &a, &b, &c, &d);
            wf->getMusicState(int(position % 100000) - 10);
            wf->getDetailedStripeInterp(v, id % 4);
            if ((id & 8) && limitRuns < 4) {
                wf->calculateLimPoints(double(w));
                ++limitRuns;
            }
            if (id & 16) wf->setLength(double(w));
            break;
        }
        default:
            p.close();
            break;
        }
    }
    for (int i = 0; i < 256; ++i) {
        p.process(&l, &r);
        check(l, r);
    }
    return 0;
}
