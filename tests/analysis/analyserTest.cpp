#include "analysis/bpm_detection.h"
#include "analysis/fft.h"
#include "analysis/bandReduction.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const double kPi = 3.14159265358979323846;

// The band whose running maximum is the largest.
int loudestBand(int nbBands) {
    int best = 0;
    for (int b = 1; b < nbBands; ++b)
        if (vis_GetSpectrumMaximum(b, nbBands) > vis_GetSpectrumMaximum(best, nbBands)) best = b;
    return best;
}

// Keeps values read from another thread alive.
void keep(double a, double b, double c) {
    volatile double sink = a + b + c;
    (void)sink;
}

} // namespace

TEST(SpectrumBands, TablesCoverTheirBins) {
    int sum16 = 0, sum32 = 0;
    for (int b = 0; b < 16; ++b)
        sum16 += vis_GetSpectrumCount(b, 16);
    for (int b = 0; b < 32; ++b)
        sum32 += vis_GetSpectrumCount(b, 32);
    EXPECT_EQ(sum16, 309);
    EXPECT_EQ(sum32, 287);
    EXPECT_EQ(vis_GetSpectrumCount(16, 16), 0);
    EXPECT_EQ(vis_GetSpectrumCount(-1, 32), 0);
    EXPECT_EQ(vis_GetSpectrumCount(3, 24), 0);
}

TEST(SpectrumBands, ValuesAreRelativeToAgeingProgramWideMaxima) {
    vis_ResetSpectrumMaxima();
    std::vector<float> spectrum(512, 0.0f);
    float out[32];
    // Band 0 sums bins 1 and 2: a value of 70000 sets the maximum.
    spectrum[1] = 70000.0f * 70000.0f;
    vis_SimplifySpectrum(spectrum.data(), out, 16);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 0.0f);
    // Above 65000 the maximum first drops to 64000, so the same value still reports 1.0 and is the maximum again.
    vis_SimplifySpectrum(spectrum.data(), out, 16);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_NEAR(vis_GetSpectrumMaximum(0, 16), 70000, 0.01);
    // Half the value: half the (slightly aged) maximum.
    spectrum[1] = 35000.0f * 35000.0f;
    vis_SimplifySpectrum(spectrum.data(), out, 16);
    EXPECT_NEAR(out[0], 35000.0 / 64000.0, 1e-6);
    // Silence gives 0 and the maxima keep ageing.
    std::fill(spectrum.begin(), spectrum.end(), 0.0f);
    const double before = vis_GetSpectrumMaximum(0, 16);
    vis_SimplifySpectrum(spectrum.data(), out, 16);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_NEAR(vis_GetSpectrumMaximum(0, 16), before * 0.9995, 1e-6);
    // Band counts other than 16 and 32 write nothing.
    out[0] = -3;
    vis_SimplifySpectrum(spectrum.data(), out, 8);
    vis_SimplifySpectrum(spectrum.data(), out, 24);
    EXPECT_EQ(out[0], -3.0f);
}

TEST(SpectrumAnalyser, FramesComeEvery512SamplesIntoARingOf16) {
    fft analyser(44100);
    float bands[64];
    EXPECT_EQ(analyser.getFFT_Data(bands, bands, 0, 16), -1.0); // nothing yet
    int firstFrame = 0, frames = 0;
    for (int i = 1; i <= 20 * 512; ++i) {
        if (analyser.addSample(1000.0f * float(std::sin(i * 0.3)))) {
            if (!firstFrame) firstFrame = i;
            ++frames;
            EXPECT_EQ(i % 512, 0) << i;
        }
    }
    EXPECT_EQ(firstFrame, 512); // the second window started half way through its zeroed buffer
    EXPECT_EQ(frames, 20);
    // The newest frame, once; the same frame again answers -1.
    EXPECT_NEAR(analyser.getFFT_Data(bands, bands, 0, 16), 20 * 512 / 44.1, 1e-9);
    EXPECT_EQ(analyser.getFFT_Data(bands, bands, 0, 16), -1.0);
    // A delay reaching before every frame takes the oldest slot: frame 5, the first 4 were overwritten.
    EXPECT_NEAR(analyser.getFFT_Data(bands, bands, 1e9, 16), 5 * 512 / 44.1, 1e-9);
    // A short delay: the first frame at or after the target, searching the oldest and then back from the newest.
    EXPECT_NEAR(analyser.getFFT_Data(bands, bands, 30, 16), 20 * 512 / 44.1, 1e-9);
}

TEST(SpectrumAnalyser, CountsCopyOnlyWhatTheyAskFor) {
    fft analyser(44100);
    for (int i = 0; i < 2048; ++i)
        analyser.addSample(float(5000 * std::sin(i * 0.05)));
    struct Case {
        int count;
        int into16, into32;
    };
    const Case cases[] = {{0, 0, 0},   {8, 8, 0},   {16, 16, 0},  {20, 16, 0},
                          {32, 32, 0}, {40, 32, 0}, {48, 16, 32}, {99, 16, 32}};
    for (const Case& c : cases) {
        std::vector<float> a(64, -7.0f), b(64, -7.0f);
        analyser.addSample(1); // make a frame differ from the last one returned...
        for (int i = 0; i < 511; ++i)
            analyser.addSample(1);
        ASSERT_GT(analyser.getFFT_Data(a.data(), b.data(), 0, c.count), 0) << c.count;
        EXPECT_EQ(std::count(a.begin(), a.end(), -7.0f), 64 - c.into16) << c.count;
        EXPECT_EQ(std::count(b.begin(), b.end(), -7.0f), 64 - c.into32) << c.count;
    }
}

TEST(SpectrumAnalyser, CounterWrapsBeforeItsLimit) {
    fft analyser(44100);
    // Stamps follow the frame position passed in; the counter wraps to 0 when it would reach 2147483646.
    for (int i = 0; i < 2048; ++i)
        analyser.addSample(0, 1, 2147483645 - 2048 + i);
    float bands[16];
    EXPECT_GT(analyser.getFFT_Data(bands, nullptr, 0, 16), 2147483000 / 44.1);
    for (int i = 0; i < 600; ++i)
        analyser.addSample(0); // one more frame after the wrap
    double stamp = analyser.getFFT_Data(bands, nullptr, 0, 16);
    EXPECT_GE(stamp, 0.0);
    EXPECT_LT(stamp, 600 / 44.1);
}

TEST(SpectrumAnalyser, WindowSettingsAcceptOnlyWhatTheBufferHolds) {
    fft analyser(44100);
    EXPECT_EQ(analyser.getParameter(0), 1024);
    EXPECT_EQ(analyser.getParameter(1), 2);
    EXPECT_EQ(analyser.getParameter(2), 1);
    const double rejected[][2] = {{0, 4096}, {0, 1000}, {0, 512}, {0, -1}, {0, 1e300},  {1, 0},  {1, 17},
                                  {1, -5},   {2, 2},    {2, -1},  {3, 0},  {3, -44100}, {3, NAN}};
    for (const auto& r : rejected)
        analyser.setParameter(int(r[0]), r[1]);
    EXPECT_EQ(analyser.getParameter(0), 1024);
    EXPECT_EQ(analyser.getParameter(1), 2);
    EXPECT_EQ(analyser.getParameter(2), 1);
    EXPECT_EQ(analyser.getParameter(3), 44100);
    EXPECT_EQ(analyser.getParameter(99), 0);

    analyser.setParameter(0, 2048);
    analyser.setParameter(1, 16);
    analyser.setParameter(2, 0);
    analyser.setParameter(3, 48000);
    EXPECT_EQ(analyser.getParameter(0), 2048);
    EXPECT_EQ(analyser.getParameter(1), 16);
    EXPECT_EQ(analyser.getParameter(2), 0);
    EXPECT_EQ(analyser.getParameter(3), 48000);
    // 16 windows of 2048: one completes every 128 samples.
    int frames = 0;
    for (int i = 0; i < 4096; ++i)
        frames += analyser.addSample(float(i % 7));
    EXPECT_EQ(frames, 32);
}

TEST(SpectrumAnalyser, WindowsFollowTheirFormulas) {
    // A constant c puts c/32767 x (sum of the window) into the DC term and c/32767 x (alternating sum) into
    // the Nyquist term; bin 0 of the power spectrum holds both.
    for (int type : {0, 1}) {
        for (int size : {1024, 2048}) {
            fft analyser(44100);
            analyser.setParameter(4, 0); // the detector would replace bin 0
            analyser.setWindowParams(1, size, type);
            for (int i = 0; i < size; ++i)
                analyser.addSample(1000.0f);
            double sum = 0, alternating = 0;
            for (int i = 0; i < size; ++i) {
                double w = type == 0
                               ? 0.355768 - 0.487396 * std::cos(2 * kPi * i / size) +
                                     0.144232 * std::cos(4 * kPi * i / size) - 0.012604 * std::cos(6 * kPi * i / size)
                               : 0.53836 - 0.46164 * std::cos(2 * kPi * i / (size - 1));
                sum += w;
                alternating += i % 2 ? -w : w;
            }
            const double dc = 1000 / 32767.0 * sum, nyquist = 1000 / 32767.0 * alternating;
            float power[512];
            analyser.getMostRecentData(power);
            EXPECT_NEAR(power[0], dc * dc + nyquist * nyquist, 1e-5 * dc * dc) << type << " " << size;
        }
    }
}

TEST(SpectrumAnalyser, SineLandsInItsBand) {
    struct Case {
        int bin, band16, band32;
    };
    // 16 bands start at bins 1, 3, 5, 8, 12, 17, 24, 33, 44, 58, 75, 96, 126, 161, 201, 251.
    const Case cases[] = {{6, 2, 5}, {50, 8, 17}, {110, 11, 23}, {280, 15, 31}};
    for (const Case& c : cases) {
        vis_ResetSpectrumMaxima();
        fft analyser(44100);
        for (int i = 0; i < 4096; ++i)
            analyser.addSample(float(10000 * std::sin(2 * kPi * c.bin * i / 1024.0)));
        EXPECT_EQ(loudestBand(16), c.band16) << "bin " << c.bin;
        EXPECT_EQ(loudestBand(32), c.band32) << "bin " << c.bin;
        float power[512];
        analyser.getMostRecentData(power);
        EXPECT_EQ(std::max_element(power + 1, power + 512) - power, c.bin);
    }
}

TEST(SpectrumAnalyser, SettingsAndReadersOnOtherThreadsWhileFeeding) {
    fft analyser(44100);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding; ++i)
            analyser.addSample(float(8000 * std::sin(i * 0.01)), 1, i % 1000000);
    });
    for (int k = 0; k < 200; ++k) {
        analyser.setParameter(3, k % 2 ? 44100 : 48000);
        analyser.setParameter(4, k % 3 ? 1 : 0);
        analyser.getBPMDetection()->setParameter(k % 2 ? 4 : 7, 85);
        keep(analyser.getBPM(), analyser.getNrOfBeats(), analyser.getBPMDetection()->getParameter(2));
        if (k % 50 == 0) analyser.setWindowParams(k % 100 ? 4 : 2, k % 100 ? 2048 : 1024, 1);
        if (k % 70 == 0) analyser.resetBPM();
    }
    feeding = false;
    feeder.join();
    EXPECT_EQ(analyser.getParameter(3), 44100); // the last rate set
}

TEST(SpectrumAnalyser, WindowSettingsFromTwoControlThreads) {
    // The main thread and a controller's thread each change one window setting and read the others back;
    // neither undoes the other's change.
    fft analyser(44100);
    std::thread controller([&] {
        for (int k = 0; k < 300; ++k) {
            analyser.setParameter(1, k % 2 ? 4 : 8);
            keep(analyser.getParameter(0), analyser.getParameter(2), 0);
        }
        analyser.setParameter(1, 4);
    });
    for (int k = 0; k < 300; ++k) {
        analyser.setParameter(0, k % 2 ? 1024 : 2048);
        analyser.setParameter(2, k % 2);
        keep(analyser.getParameter(1), 0, 0);
    }
    analyser.setParameter(0, 2048);
    controller.join();
    EXPECT_EQ(analyser.getParameter(0), 2048);
    EXPECT_EQ(analyser.getParameter(1), 4);
    EXPECT_EQ(analyser.getParameter(2), 1);
    int frames = 0;
    for (int i = 0; i < 4096; ++i)
        frames += analyser.addSample(float(i % 5));
    EXPECT_EQ(frames, 8); // four windows of 2048: one completes every 512 samples
}
