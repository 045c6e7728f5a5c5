// Two sound devices with their own timer threads, rates and block sizes (48000 Hz / 256 frames and
// 44100 Hz / 512 frames) hand the cue bus and an input to each other while the main thread switches the
// input on and off, records and moves the crossfader. Run under ThreadSanitizer in CI.
#include "EngineTestSupport.h"

#include "engine/LinuxAudioDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using testsupport::EngineHome;

TEST(EngineStress, TwoTimerDevicesWhileTheMainThreadReroutes) {
    EngineHome home;
    SoundDeviceInfo a, b;
    a.id = SoundDevices::stableId("Null", "A");
    a.name = "A";
    a.inputChannels = 0;
    a.outputChannels = 2;
    a.defaultSampleRate = 48000;
    b.id = SoundDevices::stableId("Null", "B");
    b.name = "B";
    b.inputChannels = 2;
    b.outputChannels = 2;
    b.defaultSampleRate = 44100;
    std::unique_ptr<SoundBackend> backend = SoundDevices::makeNullBackend({a, b});
    SoundDevices::setBackend(backend.get());
    {
        Tarlume engine;
        engine.inputDevice[2] = b.id;
        engine.inputChannels[2][0] = 0;
        engine.inputChannels[2][1] = 1;

        // The cue device first, at 44100 Hz in blocks of 512; then the master, which sets 48000 Hz.
        engine.setSamplerate(44100);
        auto cue = std::make_unique<LinuxAudioDevice>(&engine, (unsigned long)b.id, false, 512);
        cue->cueChannels[0] = 0;
        cue->cueChannels[1] = 1;
        auto master = std::make_unique<LinuxAudioDevice>(&engine, (unsigned long)a.id, false, 256);
        master->master = master->setsRate = true;
        for (bool& routed : master->deckRouted)
            routed = true;
        master->masterChannels[0] = 0;
        master->masterChannels[1] = 1;
        master->cueDevice = cue.get();
        ASSERT_TRUE(cue->connect());
        ASSERT_TRUE(master->connect());
        EXPECT_EQ(engine.getSamplerate(), 48000.0);
        engine.soundDevices.push_back(std::move(master));
        engine.soundDevices.push_back(std::move(cue));
        engine.players[2]->setVolumeCue(1.0);

        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        for (int i = 0; std::chrono::steady_clock::now() < end; i++) {
            if (i % 2 == 0) {
                engine.players[2]->loadInputPassthrough(2); // forwarded from B to A
            } else {
                engine.players[2]->inputPassthrough = false;
                engine.updateAudioInputs();
            }
            if (i % 10 == 0) engine.startRecording(home.home.path + "stress.wav");
            if (i % 10 == 5) engine.stopRecording();
            engine.setCrossfader((i % 20) / 20.0, false);
            engine.update();
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
        }
        EXPECT_GT(engine.getCPUUsage(), 0.0);
        engine.destroyAudio();
    }
    SoundDevices::setBackend(nullptr);
}
