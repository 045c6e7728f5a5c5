// Routing, buffers and device lists of the mixer, on the test backend with decks playing their inputs.
#include "EngineTestSupport.h"

#include "audio/vinyl/FinalScratch.h"
#include "engine/EngineClock.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/TarlumePlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using testsupport::EngineHome;
using testsupport::level;
using testsupport::Rig;
using testsupport::TestSoundBackend;

TEST(EngineMixer, DefaultRoutingOneDeviceMasterAndCue) {
    Rig rig;
    rig.passThrough(0);
    rig.engine->players[0]->setVolumeCue(1.0);
    testing::internal::CaptureStdout();
    rig.build();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // opening a device says nothing
    ASSERT_EQ(rig.engine->soundDevices.size(), 1u);        // master, cue and input on one card, opened once
    TarlumeAudioDevice* d = rig.engine->soundDevices[0].get();
    EXPECT_TRUE(d->master);
    EXPECT_EQ(d->masterChannels[0], 0);
    EXPECT_EQ(d->cueChannels[0], 2);
    EXPECT_EQ(rig.engine->getSamplerate(), 48000.0); // the master device's rate

    std::vector<float> out = rig.settle(rig.card, {0.5f, 0.5f, 0, 0}, 4);
    // Input 0.5 arrives as 16384 on the 16-bit scale, unclipped.
    EXPECT_FLOAT_EQ(d->inputBuffers[0][0][10], 16384.0f);
    EXPECT_NEAR(level(out, 4, 0), 0.5, 0.02);
    EXPECT_NEAR(level(out, 4, 1), 0.5, 0.02);
    EXPECT_NEAR(level(out, 4, 2), 0.5, 0.02); // cue on
    EXPECT_NEAR(level(out, 4, 3), 0.5, 0.02);

    // The deck lets go of its input: the slot is off and the deck plays silence.
    rig.engine->players[0]->inputPassthrough = false;
    rig.engine->updateAudioInputs();
    EXPECT_EQ(d->inputChannels[0][0], -1);
    out = rig.settle(rig.card, {0.5f, 0.5f, 0, 0}, 4);
    EXPECT_NEAR(level(out, 4, 0), 0.0, 1e-6);
}

TEST(EngineMixer, CueOnTheMastersChannelsIsNotPlayed) {
    Rig rig;
    rig.engine->outputChannels[1][0] = 0;
    rig.engine->outputChannels[1][1] = 1;
    rig.passThrough(0);
    rig.engine->players[0]->setVolumeCue(1.0);
    rig.build();
    ASSERT_EQ(rig.engine->soundDevices.size(), 1u);
    EXPECT_EQ(rig.engine->soundDevices[0]->cueChannels[0], -1);
    std::vector<float> out = rig.settle(rig.card, {0.25f, 0.25f, 0, 0}, 4);
    EXPECT_NEAR(level(out, 4, 0), 0.25, 0.02); // the master alone, not doubled by the cue
    EXPECT_NEAR(level(out, 4, 2), 0.0, 1e-6);
}

TEST(EngineMixer, CueOnAnotherDevice) {
    Rig rig;
    const int phones = rig.backend.addDevice("Phones", 0, 2, 96000.0);
    rig.engine->outputDevice[1] = phones;
    rig.engine->outputChannels[1][0] = 0;
    rig.engine->outputChannels[1][1] = 1;
    rig.passThrough(0);
    rig.engine->players[0]->setVolumeCue(1.0);
    rig.build();
    ASSERT_EQ(rig.engine->soundDevices.size(), 2u);
    EXPECT_EQ(rig.backend.stream(phones)->rate, 48000.0); // every device at the master's rate
    std::vector<float> cue;
    std::vector<float> input(256 * 4, 0.5f);
    for (int b = 0; b < 12; b++) {
        rig.backend.pump(rig.card, 256, input);
        cue = rig.backend.pump(phones, 256);
    }
    EXPECT_NEAR(level(cue, 2, 0), 0.5, 0.02);

    // No master pair: the cue device builds the master bus itself, with every deck.
    rig.engine->outputChannels[0][0] = rig.engine->outputChannels[0][1] = -1;
    rig.build();
    ASSERT_EQ(rig.engine->soundDevices.size(), 2u); // the phones, and the card for the input
    TarlumeAudioDevice* d = rig.engine->soundDevices[0].get();
    EXPECT_TRUE(d->master);
    for (bool routed : d->deckRouted)
        EXPECT_TRUE(routed);
    EXPECT_EQ(d->masterChannels[0], -1);
}

TEST(EngineMixer, ExternalMixerSumsDecksOnSharedChannels) {
    Rig rig;
    rig.engine->useExternalMixer = true;
    rig.engine->outputChannels[1][0] = 0;
    rig.engine->outputChannels[1][1] = 1;
    rig.passThrough(0);
    rig.passThrough(1);
    rig.build();
    ASSERT_EQ(rig.engine->soundDevices.size(), 1u);
    EXPECT_FALSE(rig.engine->soundDevices[0]->master);
    std::vector<float> out = rig.settle(rig.card, {0.2f, 0.2f, 0.1f, 0.1f}, 4);
    EXPECT_NEAR(level(out, 4, 0), 0.3, 0.02);
    EXPECT_NEAR(level(out, 4, 1), 0.3, 0.02);
}

TEST(EngineMixer, BlocksOfAnySizeAndChannelsBeyondTheDevice) {
    Rig rig;
    rig.backend.widths[rig.card] = {1, 1, 2}; // mono, mono, stereo buffers
    rig.passThrough(0);
    rig.engine->players[0]->setVolumeCue(1.0);
    rig.build();
    // Larger than the buffers: processed in pieces, nothing written past them (ASan watches).
    std::vector<float> input(size_t(20000) * 4, 0.5f);
    std::vector<float> out;
    for (int b = 0; b < 2; b++)
        out = rig.backend.pump(rig.card, 20000, input);
    ASSERT_EQ(out.size(), size_t(20000) * 4);
    for (int f : {0, 8191, 8192, 19999})
        for (int c = 0; c < 4; c++)
            EXPECT_NEAR(out[size_t(f * 4 + c)], 0.5, 0.02) << f << " " << c;
    EXPECT_NEAR(level(rig.backend.pump(rig.card, 1, input), 4, 0), 0.5, 0.02);
    EXPECT_TRUE(rig.backend.pump(rig.card, 0, input).empty());

    // Channels 64 and beyond, on a device of four: skipped, on output and input.
    rig.engine->outputChannels[0][0] = 64;
    rig.engine->outputChannels[0][1] = 65;
    rig.build();
    out = rig.settle(rig.card, {0.5f, 0.5f, 0.5f, 0.5f}, 4);
    EXPECT_NEAR(level(out, 4, 0), 0.0, 1e-6);
    EXPECT_NEAR(level(out, 4, 2), 0.5, 0.02); // the cue still plays
    rig.engine->inputChannels[0][0] = 70;
    rig.build();
    out = rig.settle(rig.card, {0.5f, 0.5f, 0.5f, 0.5f}, 4);
    EXPECT_NEAR(level(out, 4, 2), 0.0, 1e-6);
}

TEST(EngineMixer, DeviceNamesAndChannels) {
    EngineHome home;
    TestSoundBackend backend;
    const int in = backend.addDevice("Microphone only", 2, 0);
    const int out = backend.addDevice("A rather long card name", 0, 6);
    backend.addDevice("Silent", 0, 0);
    char name[8];
    unsigned long id = 99;
    ASSERT_TRUE(LinuxAudioDevice::getDeviceName(0, name, 7, false, &id));
    EXPECT_STREQ(name, "Default");
    EXPECT_EQ(id, 0u);
    ASSERT_TRUE(LinuxAudioDevice::getDeviceName(1, name, 7, false, &id)); // the microphone is skipped
    EXPECT_STREQ(name, "A rathe");
    EXPECT_EQ(id, (unsigned long)out);
    EXPECT_FALSE(LinuxAudioDevice::getDeviceName(2, name, 7, false, &id)); // "Silent" has no channels
    ASSERT_TRUE(LinuxAudioDevice::getDeviceName(1, name, 7, true, &id));
    EXPECT_EQ(id, (unsigned long)in);
    EXPECT_EQ(LinuxAudioDevice::getNbChannels((unsigned long)out, false), 6);
    EXPECT_EQ(LinuxAudioDevice::getNbChannels(0, true), 2); // the default input
    EXPECT_EQ(LinuxAudioDevice::getNbChannels(12345, false), 0);
    EXPECT_NE(SoundDevices::stableId("ALSA", "hw:0"), SoundDevices::stableId("JACK", "hw:0"));
    EXPECT_EQ(SoundDevices::stableId("ALSA", "hw:0"), SoundDevices::stableId("ALSA", "hw:0"));
}

TEST(EngineMixer, UnknownDeviceFallsBackToTheDefaultAndKeepsItsId) {
    Rig rig;
    rig.engine->outputDevice[0] = 4242; // a card from another machine
    testing::internal::CaptureStderr();
    rig.build();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Sound device chosen in the settings (4242) is not present: using the default output device\n");
    ASSERT_EQ(rig.engine->soundDevices.size(), 1u);
    ASSERT_TRUE(rig.engine->soundDevices[0]->isConnected());
    EXPECT_NE(rig.backend.stream(rig.card), nullptr);
    EXPECT_EQ(rig.engine->outputDevice[0], 4242);

    // One listed in this run, chosen and gone since, is said by its name.
    const int usb = rig.backend.addDevice("USB card", 0, 2);
    ASSERT_TRUE(LinuxAudioDevice::getDeviceName(2, nullptr, 0, false, nullptr));
    rig.engine->outputDevice[0] = usb;
    rig.backend.devices.pop_back();
    testing::internal::CaptureStderr();
    rig.build();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Sound device \"USB card\" is not present: using the default output device\n");
}

TEST(EngineMixer, RateChangeReachesEngineAndDecks) {
    Rig rig;
    rig.build();
    EXPECT_EQ(rig.engine->getSamplerate(), 48000.0);
    rig.engine->setSamplerate(44100.0);
    EXPECT_EQ(rig.engine->getSamplerate(), 44100.0);
    rig.engine->setSamplerate(0.0); // ignored
    rig.engine->setSamplerate(NAN);
    EXPECT_EQ(rig.engine->getSamplerate(), 44100.0);
}

TEST(EngineMixer, InputsOpenBesideTheOutputsWithoutReopeningThem) {
    for (bool namedAtStart : {true, false}) {
        SCOPED_TRACE(namedAtStart ? "input named in the settings" : "input named after opening");
        Rig rig;
        if (namedAtStart) rig.engine->inputChannels[0][0] = 0, rig.engine->inputChannels[0][1] = 1;
        rig.build();
        TestSoundBackend::Stream* output = rig.backend.stream(rig.card);
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(output->config.inputChannels, namedAtStart ? 4 : 0);
        rig.engine->inputChannels[0][0] = 0, rig.engine->inputChannels[0][1] = 1;
        rig.engine->players[0]->setVinylControl(true, 0);
        // The output stream plays on untouched; a capture of its own only when it has no inputs.
        ASSERT_EQ(std::count(rig.backend.streams.begin(), rig.backend.streams.end(), output), 1);
        EXPECT_TRUE(output->running);
        EXPECT_EQ(rig.backend.opened, namedAtStart ? 1 : 2);
        TestSoundBackend::Stream* capture = rig.backend.stream(rig.card);
        EXPECT_GT(capture->config.inputChannels, 0);
        EXPECT_EQ(capture->config.outputChannels, namedAtStart ? 4 : 0);
        EXPECT_TRUE(capture->running);
        rig.engine->players[0]->setVinylControl(false, 0);
        rig.engine->players[0]->setVinylControl(true, 0);
        EXPECT_EQ(rig.backend.opened, namedAtStart ? 1 : 2);
    }
}

TEST(EngineMixer, ALostDeviceGoesOnANullDeviceAndIsTakenBackWhenItReturns) {
    Rig rig;
    EngineClock::ManualScope clock(1000);
    rig.engine->inputChannels[0][0] = 0, rig.engine->inputChannels[0][1] = 1;
    rig.build();
    TarlumePlayer* deck = rig.engine->players[0];
    deck->timecodeType = TIMECODE_TARLUME;
    deck->setVinylControl(true, 0);
    auto* device = static_cast<LinuxAudioDevice*>(rig.engine->soundDevices[0].get());
    ASSERT_TRUE(rig.engine->startRecording(rig.home.home.path + "set.wav"));
    Recorder* recording = device->getRecorder();

    rig.backend.stream(rig.card)->alive = false; // the card is pulled out
    rig.backend.refuseDevice = rig.card;
    testing::internal::CaptureStderr();
    rig.engine->update();
    EngineClock::advance(150); // tried again at once: still away
    rig.engine->update();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Sound device \"Card\" stopped: playing on no device until it is back\n");
    EXPECT_TRUE(device->isLost());
    EXPECT_TRUE(device->isConnected());
    EXPECT_EQ(rig.backend.stream(rig.card), nullptr); // the lost stream is let go
    EXPECT_EQ(device->getRecorder(), recording);      // the set is still recorded
    EXPECT_EQ(rig.engine->getSamplerate(), 48000.0);

    rig.backend.refuseDevice = 0; // back, now at 44.1 kHz: taken at the next of the first looks, within the second
    rig.backend.devices[0].defaultSampleRate = 44100;
    testing::internal::CaptureStderr();
    EngineClock::advance(250);
    rig.engine->update();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Sound device \"Card\" is back\n");
    EXPECT_FALSE(device->isLost());
    TestSoundBackend::Stream* back = rig.backend.stream(rig.card);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->running);
    EXPECT_EQ(back->config.inputChannels, 4);
    EXPECT_EQ(rig.engine->getSamplerate(), 44100.0);
    EXPECT_DOUBLE_EQ(deck->timecode->getNullPassTimeSamples(), 16.96153846153846);

    back->rate = 96000; // the device changes its rate
    rig.engine->update();
    EXPECT_EQ(rig.engine->getSamplerate(), 96000.0);
    EXPECT_DOUBLE_EQ(deck->timecode->getNullPassTimeSamples(), 16.96153846153846 * 96000 / 44100);
    rig.engine->stopRecording();
}
