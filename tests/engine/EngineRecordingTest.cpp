// Recording the master mix: the file endings, a recording started over a running one, paths that
// can't be written.
#include "EngineTestSupport.h"

#include "foundation/modTools.h"
#include "support/Wav.h"

#include <gtest/gtest.h>

using testsupport::Rig;

TEST(EngineRecording, RecordsTheMasterAndRestartsCleanly) {
    Rig rig;
    rig.passThrough(0);
    rig.build();
    std::vector<float> input(256 * 4, 0.25f);
    rig.settle(rig.card, {0.25f, 0.25f, 0, 0}, 4);

    const std::string first = rig.home.home.path + "first.WAV"; // the ending in any case
    ASSERT_TRUE(rig.engine->startRecording(first));
    EXPECT_TRUE(rig.engine->isRecording());
    EXPECT_EQ(rig.engine->getRecordingStatus(), "");
    for (int b = 0; b < 10; b++)
        rig.backend.pump(rig.card, 256, input);

    // A second start finishes the first file before the new one begins.
    const std::string second = rig.home.home.path + "second.ogg";
    ASSERT_TRUE(rig.engine->startRecording(second));
    const testsupport::Wav recorded(first);
    ASSERT_EQ(recorded.samples.size(), size_t(10 * 256 * 2));
    EXPECT_NEAR(recorded.samples[1000] * 32768, 8192, 2);
    for (int b = 0; b < 10; b++)
        rig.backend.pump(rig.card, 256, input);
    rig.engine->stopRecording();
    EXPECT_FALSE(rig.engine->isRecording());
    EXPECT_EQ(readFileContents(second).compare(0, 4, "OggS"), 0);
}

TEST(EngineRecording, RefusedStartsInstallNothing) {
    Rig rig;
    rig.build();
    for (const std::string& path : {std::string("a.w"), std::string("/tmp/mix.mp3"), std::string("/tmp/mix.flac"),
                                    std::string("/proc/no/such/folder/mix.wav")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(rig.engine->startRecording(path));
        EXPECT_FALSE(rig.engine->isRecording());
    }
    EXPECT_FALSE(FileExist("/tmp/mix.mp3"));

    // No device plays the master mix.
    rig.engine->outputChannels[0][0] = rig.engine->outputChannels[1][0] = -1;
    rig.build();
    EXPECT_FALSE(rig.engine->startRecording(rig.home.home.path + "x.wav"));
    EXPECT_FALSE(rig.engine->isRecording());
}
