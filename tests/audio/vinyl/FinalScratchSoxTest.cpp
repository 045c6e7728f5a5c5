// Our own timecode recorded to a WAV file, changed by sox the ways a real record, cartridge and sound card
// change it, and decoded back.
#include "TimecodeSignal.h"
#include "audio/recorder/WavInFile.h"
#include "audio/recorder/WavOutFile.h"
#include "audio/vinyl/FinalScratch.h"

#include <cstdlib>
#include <unistd.h>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/MissingComponent.h"
#include "support/TempDir.h"

namespace {

constexpr double kSeconds = 2.0;
constexpr double kStartNullPass = 40000;

// Per process: the same tests may run at once from other build trees.
std::string temp(const std::string& name) {
    static const testsupport::TempDir scratch("sox"); // removed when the process ends, also after a failure
    return scratch.path + name + ".wav";
}

void writeTimecode(const std::string& path) {
    TimecodeSignalOptions o;
    o.type = TIMECODE_TARLUME;
    o.startNullPass = kStartNullPass;
    TimecodeSignal sig(o);
    WavOutFile out(path, 44100, 16, 2);
    std::vector<int16_t> block;
    for (int i = 0; i < int(44100 * kSeconds); ++i) {
        float l, r;
        sig.next(l, r);
        block.push_back(int16_t(l));
        block.push_back(int16_t(r));
    }
    out.write(block.data(), int(block.size() * 2));
    out.close();
}

struct Decoded {
    int rate = 0;
    int times = 0;
    int direction = 0;
    double minPitch = 1e9, maxPitch = -1e9;
    double maxTimeError = 0; // null passes, against the truth function
};

// Decodes a file; `truth` maps a frame of the file to the record position in null passes (null: not checked).
Decoded decodeFile(const std::string& path, double (*truth)(int64_t frame, int rate)) {
    Decoded d;
    WavInFile in(path.c_str());
    d.rate = in.getSampleRate();
    EXPECT_EQ(in.getNumChannels(), 2);
    FinalScratch fs(d.rate);
    fs.setParameter(20, TIMECODE_TARLUME);
    std::vector<int16_t> buf(4096);
    int64_t frame = 0;
    int got;
    while ((got = in.read(buf.data(), int(buf.size() * 2))) > 0) {
        for (int i = 0; i + 1 < got / 2; i += 2, ++frame) {
            fs.calculate(buf[size_t(i)], buf[size_t(i + 1)]);
            const bool newPitch = fs.isNewPitch(), newTime = fs.isNewTime();
            if (frame < d.rate * 0.3) continue;
            if (newPitch) {
                d.minPitch = std::min(d.minPitch, fs.getPitch());
                d.maxPitch = std::max(d.maxPitch, fs.getPitch());
            }
            if (newTime) {
                ++d.times;
                if (truth) {
                    const double expected = truth(frame, d.rate) * tcNullPassMs(TIMECODE_TARLUME) - 2000;
                    d.maxTimeError =
                        std::max(d.maxTimeError, std::fabs(fs.getTime() - expected) / tcNullPassMs(TIMECODE_TARLUME));
                }
            }
        }
    }
    d.direction = fs.getDirection();
    return d;
}

double forwardTruth(int64_t frame, int rate) {
    return kStartNullPass + 2.0 * tcCarrierHz(TIMECODE_TARLUME) * double(frame + 1) / rate;
}

double reversedTruth(int64_t frame, int rate) {
    return forwardTruth(int64_t(kSeconds * rate) - 2 - frame, rate);
}

bool haveSox() {
    return std::system("sox --version > /dev/null 2>&1") == 0;
}

} // namespace

TEST(FinalScratchSox, ChangedRecordingsStillDecode) {
    if (!haveSox()) TARLUME_MISSING_COMPONENT() << "sox is not installed";
    const std::string source = temp("source");
    writeTimecode(source);
    const std::string noise = temp("noise");
    // sox seeds its noise and its dither afresh on every run unless told -R: without it each run decoded
    // other recordings, and a rare one could miss a bound.
    // White noise 30 dB under the carrier (RMS about 7600 of 32768).
    ASSERT_EQ(std::system(("sox -R -n -r 44100 -c 2 -b 16 '" + noise + "' synth 2 whitenoise vol 0.0127").c_str()), 0);

    struct Case {
        const char* name;
        std::string effect; // sox effects, or "mix" to mix the noise in
        double pitch;       // expected speed ratio
        int direction;
        double (*truth)(int64_t, int);
    };
    const Case cases[] = {
        {"unchanged", "", 1.0, 1, forwardTruth},
        {"faster", "speed 1.08", 1.08, 1, nullptr},
        {"reversed", "reverse", -1.0, -1, reversedTruth},
        {"inverted", "vol -1", 1.0, 1, forwardTruth},
        {"swapped channels", "remix 2 1", -1.0, -1, nullptr},
        {"48 kHz", "rate 48k", 1.0, 1, forwardTruth},
        {"96 kHz", "rate 96k", 1.0, 1, forwardTruth},
        {"20 dB quieter", "gain -20", 1.0, 1, forwardTruth},
        {"10 dB louder, clipped", "gain 10", 1.0, 1, forwardTruth},
        {"high-passed", "highpass 300", 1.0, 1, forwardTruth},
        {"low-passed", "lowpass 5000", 1.0, 1, forwardTruth},
        {"noise at -30 dB", "mix", 1.0, 1, forwardTruth},
    };
    for (const Case& c : cases) {
        const std::string out = temp("out");
        std::string command;
        if (c.effect == "mix")
            command = "sox -R -m -v 1 '" + source + "' -v 1 '" + noise + "' '" + out + "'";
        else
            command = "sox -R '" + source + "' -b 16 '" + out + "' " + c.effect;
        ASSERT_EQ(std::system((command + " 2> /dev/null").c_str()), 0) << command;
        Decoded d;
        try {
            d = decodeFile(out, c.truth);
        } catch (const std::runtime_error& e) {
            FAIL() << c.name << ": " << e.what();
        }
        EXPECT_EQ(d.direction, c.direction) << c.name;
        EXPECT_LT(std::fabs(d.minPitch - c.pitch), 0.005 * std::fabs(c.pitch)) << c.name;
        EXPECT_LT(std::fabs(d.maxPitch - c.pitch), 0.005 * std::fabs(c.pitch)) << c.name;
        if (c.truth) {
            // About 150 codes a second.
            EXPECT_GT(d.times, 150) << c.name;
            EXPECT_LT(d.maxTimeError, 3.0) << c.name;
        } else if (c.direction == 1) {
            EXPECT_GT(d.times, 150) << c.name;
        }
        remove(out.c_str());
    }
    remove(source.c_str());
    remove(noise.c_str());
}
