// The settings file: what is read, what is written back, and that a failed write keeps the old file.
#include "EngineTestSupport.h"

#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "platform/AppPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::EngineHome;
using testsupport::TestSoundBackend;

namespace {
void writeConfig(const EngineHome& home, const std::string& text) {
    std::string folder = home.dataFolder();
    ASSERT_TRUE(AppPaths::makeFolders(folder));
    FILE* f = fopen((folder + "config.xml").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}
} // namespace

TEST(EngineSettings, RoundTripOfEveryKey) {
    EngineHome home;
    TestSoundBackend backend;
    {
        Tarlume e;
        e.useExternalMixer = true;
        for (int i = 0; i < 4; i++) {
            e.inputDevice[i] = 100 + i;
            e.outputDevice[i] = 200 + i;
            e.inputChannels[i][0] = i;
            e.inputChannels[i][1] = i + 4;
            e.outputChannels[i][0] = 2 * i;
            e.outputChannels[i][1] = 2 * i + 1;
            e.players[i]->timecodeType = i + 1;
            e.players[i]->relativeMode = i % 2 == 0;
            e.players[i]->superRelativeMode = i % 2 == 1;
            e.players[i]->vcGain = 1.5f + float(i);
            e.players[i]->vcPitchVariance = 0.001f * float(i + 1);
            e.fileListSettings[i] =
                "<COLUMNWIDTHS><COL><NB>0</NB><WIDTH>" + std::to_string(i) + "</WIDTH></COL></COLUMNWIDTHS>";
            e.playlistSettings[i] = "<COLUMNWIDTHS>pl" + std::to_string(i) + "</COLUMNWIDTHS>";
        }
        e.currentFolder[0] = "/music/house/";
        e.folderHistory[0] = {"/1/", "/2/", "/3/", "/4/", "/5/", "/6/", "/7/"};
        e.warnWhenLoadingTrack = false;
        e.columnMode = true;
        e.framesPerBuffer = 512;
        e.skinName = "mine";
        e.crossfaderType = 3;
        e.crossfaderSpeed = 0.333;
        e.skinVariables = "<VARIABLE><NAME>a</NAME><VALUE>1</VALUE></VARIABLE>";
        e.skinTabOrder = "<SKINNAME>mine</SKINNAME>";
        e.setHIDConfig("Pad", "pad.xml");
        e.setHIDConfig("Deck", "/x/deck.xml");
    }
    Tarlume e;
    EXPECT_TRUE(e.useExternalMixer);
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(e.inputDevice[i], 100 + i);
        EXPECT_EQ(e.outputDevice[i], 200 + i);
        EXPECT_EQ(e.inputChannels[i][1], i + 4);
        EXPECT_EQ(e.outputChannels[i][0], 2 * i);
        EXPECT_EQ(e.players[i]->timecodeType, i + 1);
        EXPECT_EQ(e.players[i]->relativeMode, i % 2 == 0);
        EXPECT_EQ(e.players[i]->superRelativeMode, i % 2 == 1);
        EXPECT_FLOAT_EQ(e.players[i]->vcGain, 1.5f + float(i));
        EXPECT_FLOAT_EQ(e.players[i]->vcPitchVariance, 0.001f * float(i + 1));
        EXPECT_EQ(e.playlistSettings[i], "<COLUMNWIDTHS>pl" + std::to_string(i) + "</COLUMNWIDTHS>");
    }
    EXPECT_EQ(e.fileListSettings[2], "<COLUMNWIDTHS><COL><NB>0</NB><WIDTH>2</WIDTH></COL></COLUMNWIDTHS>");
    EXPECT_EQ(e.currentFolder[0], "/music/house/");
    EXPECT_EQ(e.folderHistory[0], (std::vector<std::string>{"/4/", "/5/", "/6/", "/7/"})); // newest four
    EXPECT_FALSE(e.warnWhenLoadingTrack);
    EXPECT_TRUE(e.columnMode);
    EXPECT_EQ(e.framesPerBuffer, 512);
    EXPECT_EQ(e.skinName, "mine");
    EXPECT_EQ(e.crossfaderType, 3);
    EXPECT_DOUBLE_EQ(e.crossfaderSpeed, 0.33);
    EXPECT_EQ(e.skinVariables, "<VARIABLE><NAME>a</NAME><VALUE>1</VALUE></VARIABLE>"); // no skin: kept
    EXPECT_EQ(e.skinTabOrder, "<SKINNAME>mine</SKINNAME>");
    ASSERT_EQ(e.controllerConfigs.size(), 2u);
    EXPECT_EQ(e.controllerConfigs[1].configName, "/x/deck.xml");
    EXPECT_EQ(e.playlistPath[0], home.dataFolder() + "playlists/current.m3u"); // written, never read
}

TEST(EngineSettings, OddFilesGiveDefaultsWhereTheyMustAndKeepTheRest) {
    EngineHome home;
    TestSoundBackend backend;
    writeConfig(home, "<TARLUMECONFIG>\n</TARLUMECONFIG>\n");
    {
        Tarlume e;
        EXPECT_FALSE(e.useExternalMixer);
        EXPECT_EQ(e.outputChannels[1][0], 2);
        EXPECT_EQ(e.skinName, "kolt-1280");
        EXPECT_TRUE(e.warnWhenLoadingTrack);
        EXPECT_EQ(e.crossfaderSpeed, 1.0);
        EXPECT_FLOAT_EQ(e.players[0]->vcGain, 1.0f);
        EXPECT_FLOAT_EQ(e.players[0]->vcPitchVariance, 0.0003f);
    }
    writeConfig(home, "<TARLUMECONFIG>\n<OUTPUTCHANNELS0>4/5/6</OUTPUTCHANNELS0>\n<skin>mine</SKIN>\n"
                      "<CROSSFADERTYPE>9</CROSSFADERTYPE>\n"
                      "<HIDCONFIG><DEVICENAME>A</DEVICENAME><CONFIGNAME>a.xml</CONFIGNAME></HIDCONFIG>\n"
                      "<HIDCONFIG></HIDCONFIG>\n"
                      "<HIDCONFIG><DEVICENAME>B</DEVICENAME><CONFIGNAME>b.xml</CONFIGNAME></HIDCONFIG>\n"
                      "<HIDCONFIG><DEVICENAME>C</DEVICENAME><CONFIGNAME>c.xml</CONFIGNAME></HIDCONFIG>\n"
                      "<HIDCONFIG><DEVICENAME>A</DEVICENAME><CONFIGNAME>a2.xml</CONFIGNAME></HIDCONFIG>\n"
                      "</TARLUMECONFIG>\n");
    Tarlume e;
    EXPECT_EQ(e.outputChannels[0][0], 0); // three parts: ignored
    EXPECT_EQ(e.outputChannels[0][1], 1);
    EXPECT_EQ(e.skinName, "mine");  // tags in any case
    EXPECT_EQ(e.crossfaderType, 0); // a type outside 0..3 is refused
    // The empty element is skipped, not the end; a device name again replaces its file.
    ASSERT_EQ(e.controllerConfigs.size(), 3u);
    EXPECT_EQ(e.controllerConfigs[0].configName, "a2.xml");
    EXPECT_EQ(e.controllerConfigs[2].deviceName, "C");

    // Only finite numbers: a gain beyond a float's range read or set comes back as the default, never "inf".
    writeConfig(home, "<TARLUMECONFIG>\n<VC_GAIN0>1e39</VC_GAIN0>\n<VC_PITCHVARIANCE1>-4e38</VC_PITCHVARIANCE1>\n"
                      "</TARLUMECONFIG>\n");
    {
        Tarlume odd;
        EXPECT_FLOAT_EQ(odd.players[0]->vcGain, 1.0f);
        EXPECT_FLOAT_EQ(odd.players[1]->vcPitchVariance, 0.0003f);
        odd.players[2]->vcGain = std::numeric_limits<float>::infinity();
        odd.crossfaderSpeed = std::numeric_limits<double>::quiet_NaN();
        ASSERT_TRUE(odd.writeSettings());
    }
    const std::string written = readFileContents(home.dataFolder() + "config.xml");
    EXPECT_EQ(written.find("inf"), std::string::npos) << written;
    EXPECT_EQ(written.find("nan"), std::string::npos) << written;
    EXPECT_NE(written.find("<VC_GAIN2>1</VC_GAIN2>"), std::string::npos) << written;
}

TEST(EngineSettings, AFailedWriteKeepsTheOldFile) {
    EngineHome home;
    TestSoundBackend backend;
    Tarlume e;
    e.skinName = "first";
    ASSERT_TRUE(e.writeSettings());
    const std::string path = e.getSettingsPath();
    const std::string saved = readFileContents(path);
    e.skinName = "second";

    // The temporary file can't be made (no file descriptor left).
    struct rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    struct rlimit none = files;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    const bool made = e.writeSettings();
    setrlimit(RLIMIT_NOFILE, &files);
    EXPECT_FALSE(made);
    EXPECT_EQ(readFileContents(path), saved);

    // A write that stops half-way (the file-size limit stands for a full disk).
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 64;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool written = e.writeSettings();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(readFileContents(path), saved);
    int leftovers = 0; // no temporary file stays behind
    for (const auto& entry : std::filesystem::directory_iterator(home.dataFolder()))
        leftovers += entry.path().filename().string().rfind("config.xml.", 0) == 0;
    EXPECT_EQ(leftovers, 0);

    ASSERT_TRUE(e.writeSettings());
    EXPECT_NE(readFileContents(path).find("<SKIN>second</SKIN>"), std::string::npos);

    // A run killed while it wrote left its temporary file: the next start removes it, but not one of a
    // process that still runs (it may be writing), one written in the last minute (another machine's, on a
    // shared folder), nor a file of another name.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string stale = path + ".tmp" + std::to_string(gone) + "-0", fresh = path + ".tmp" +
                                                                                    std::to_string(gone) + "-1";
    const std::string running = path + ".tmp" + std::to_string(getppid()) + "-3", other = path + ".tmp1-x";
    for (const std::string& file : {stale, fresh, running, other}) {
        ASSERT_TRUE(replaceFileContents(file, "<TARLUMECONFIG>"));
        if (file != fresh)
            std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) - std::chrono::minutes(2));
    }
    Tarlume next;
    EXPECT_FALSE(FileExist(stale));
    for (const std::string& file : {fresh, running, other})
        EXPECT_TRUE(FileExist(file)) << file;
}

// A file that can't be read is said once and never replaced; a damaged one is read as far as it goes, said
// once, and kept before the first write as config.xml.bad, or .bad2, .bad3 ... beside the ones kept before.
TEST(EngineSettings, ADamagedOrUnreadableFileIsToldAndKept) {
    EngineHome home;
    TestSoundBackend backend;
    std::string whole;
    {
        Tarlume e;
        e.useExternalMixer = true;
        e.skinName = "mine";
        ASSERT_TRUE(e.writeSettings());
        whole = readFileContents(e.getSettingsPath());
    }
    std::string random(3000, 0);
    for (size_t i = 0; i < random.size(); ++i)
        random[i] = char(((i * 2654435761u) >> 13) | 1);
    std::string zeroed = whole;
    std::fill(zeroed.begin() + 200, zeroed.begin() + 400, '\0');
    const struct {
        const char* name;
        std::string bytes;
        const char* why;
        bool externalMixerRead;
    } cases[] = {
        {"cut at 40 %", whole.substr(0, whole.size() * 2 / 5), "it ends before its closing tag", true},
        {"random bytes", random, "it is not a settings file", false},
        {"empty", "", "it is empty", false},
        {"zeroed block", zeroed, "it holds NUL bytes", true},
    };
    const std::string path = home.dataFolder() + "config.xml";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeConfig(home, c.bytes);
        const std::string kept = path + ".bad" + (&c == cases ? "" : std::to_string(&c - cases + 1));
        testing::internal::CaptureStderr();
        {
            Tarlume e;
            EXPECT_EQ(e.useExternalMixer, c.externalMixerRead);
            EXPECT_EQ(readFileContents(path), c.bytes); // nothing written before the first write
            ASSERT_TRUE(e.writeSettings());
            ASSERT_TRUE(e.writeSettings());
        }
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(c.why), std::string::npos) << said;
        EXPECT_NE(said.find("kept as " + kept + "\n"), std::string::npos) << said;
        ASSERT_TRUE(FileExist(kept));
        EXPECT_EQ(readFileContents(kept), c.bytes);
        EXPECT_NE(readFileContents(path).find("</TARLUMECONFIG>"), std::string::npos);
    }
    EXPECT_EQ(readFileContents(path + ".bad"), cases[0].bytes);

    // Unreadable: here a folder in its place (mode 000 does not keep root out).
    unlink(path.c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    testing::internal::CaptureStderr();
    {
        Tarlume e;
        EXPECT_FALSE(e.writeSettings());
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("could not be read"), std::string::npos) << said;
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_FALSE(FileExist(path + ".bad5"));
    rmdir(path.c_str());
}

// Names are written escaped and read back whole: none can end its element or make another. Files written
// before held no escapes and read as they always did; a skin is only ever a name in the skins folder.
TEST(EngineSettings, NamesCannotRewriteOtherSettings) {
    EngineHome home;
    TestSoundBackend backend;
    const std::string folder =
        "/media/x</CURRENTFOLDER><SKIN>evil</SKIN><CROSSFADERTYPE>3</CROSSFADERTYPE>"
        "<HIDCONFIG><DEVICENAME>Evil</DEVICENAME><CONFIGNAME>e.xml</CONFIGNAME></HIDCONFIG> & co/";
    const std::string device = "Pad</DEVICENAME><CONFIGNAME>../../x.xml</CONFIGNAME></HIDCONFIG>&amp;";
    {
        Tarlume e;
        e.currentFolder[0] = folder;
        e.folderHistory[0] = {folder, "/R&B/"};
        e.skinName = "mine & yours";
        e.skinVariables = "<VARIABLE><NAME>a</NAME><VALUE>1 &lt; 2 </VARIABLES><SKIN>x</SKIN></VALUE></VARIABLE>";
        e.setHIDConfig(device, "pad <1>.xml");
    }
    {
        Tarlume e;
        EXPECT_EQ(e.currentFolder[0], folder);
        EXPECT_EQ(e.folderHistory[0], (std::vector<std::string>{folder, "/R&B/"}));
        EXPECT_EQ(e.skinName, "mine & yours");
        EXPECT_EQ(e.crossfaderType, 0);
        EXPECT_EQ(e.skinVariables,
                  "<VARIABLE><NAME>a</NAME><VALUE>1 &lt; 2 </VARIABLES><SKIN>x</SKIN></VALUE></VARIABLE>");
        ASSERT_EQ(e.controllerConfigs.size(), 1u);
        EXPECT_EQ(e.controllerConfigs[0].deviceName, device);
        EXPECT_EQ(e.controllerConfigs[0].configName, "pad <1>.xml");
    }

    for (const char* skin : {"../../etc/x", "a/b", "..", "."}) {
        SCOPED_TRACE(skin);
        writeConfig(home, std::string("<TARLUMECONFIG>\n<CURRENTFOLDER>/Drum & Bass/</CURRENTFOLDER>\n<SKIN>") + skin +
                              "</SKIN>\n<HIDCONFIG><DEVICENAME>A&B</DEVICENAME><CONFIGNAME>ab.xml</CONFIGNAME>"
                              "</HIDCONFIG>\n</TARLUMECONFIG>\n");
        Tarlume e;
        EXPECT_EQ(e.currentFolder[0], "/Drum & Bass/");
        EXPECT_EQ(e.skinName, "kolt-1280");
        ASSERT_EQ(e.controllerConfigs.size(), 1u);
        EXPECT_EQ(e.controllerConfigs[0].deviceName, "A&B");
    }
}
