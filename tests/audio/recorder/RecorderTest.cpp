#include "audio/recorder/OggVorbisOutFile.h"
#include "audio/recorder/RecordRing.h"
#include "audio/recorder/Recorder.h"
#include "audio/recorder/WavInFile.h"
#include "foundation/modTools.h"

#include "RecorderTestTools.h"

#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

using namespace rectest;

namespace {

// Frame i of a test signal whose every value is an exact 16-bit integer.
float rampLeft(uint64_t i) {
    return float(int(i % 30000) - 15000);
}
float rampRight(uint64_t i) {
    return -rampLeft(i);
}

void feedRamp(Recorder& recorder, uint64_t from, uint64_t count) {
    for (uint64_t i = from; i < from + count; ++i)
        recorder.process(rampLeft(i), rampRight(i));
}

// The samples of a WAV file, read through WavInFile.
std::vector<int16_t> wavSamples(const std::string& path) {
    WavInFile in(path.c_str());
    std::vector<int16_t> samples(size_t(in.getDataSizeInBytes() / 2));
    if (!samples.empty()) in.read(samples.data(), int(samples.size() * 2));
    return samples;
}

// Frames in [0, count) of the ramp that differ from the file's; -1 when all match.
int64_t firstRampMismatch(const std::vector<int16_t>& samples, uint64_t count) {
    if (samples.size() < 2 * count) return int64_t(samples.size() / 2);
    for (uint64_t i = 0; i < count; ++i)
        if (samples[2 * i] != int16_t(rampLeft(i)) || samples[2 * i + 1] != int16_t(rampRight(i))) return int64_t(i);
    return -1;
}

uint32_t headerDataSize(const std::string& path) {
    std::string bytes = readBytes(path);
    return bytes.size() >= 44 ? le32(bytes, 40) : 0;
}

// Started again as a child of KilledMidRecordingLeavesAPlayableWav: record the ramp at real-time
// pace, publishing the count of frames handed over, until killed. Runs before main.
int recordUntilKilledIfAsked() {
    const char* wav = getenv("TARLUME_RECORDER_CHILD_WAV");
    const char* progress = getenv("TARLUME_RECORDER_CHILD_PROGRESS");
    if (!wav || !progress) return 0;
    int fd = open(progress, O_RDWR);
    void* shared = fd >= 0 ? mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (shared == MAP_FAILED) _exit(2);
    uint64_t* fed = static_cast<uint64_t*>(shared);
    Recorder* recorder = new Recorder(Recorder::TYPE_WAV, 1.0f, 44100, wav);
    if (recorder->hasFailed()) _exit(3);
    for (uint64_t frame = 0;; frame += 441) {
        feedRamp(*recorder, frame, 441);
        __atomic_store_n(fed, frame + 441, __ATOMIC_RELEASE);
        usleep(10000);
    }
}
const int childHook = recordUntilKilledIfAsked();

} // namespace

TEST(RecordRing, WrapsAroundAndCountsWhatDoesNotFit) {
    RecordRing<short> ring;
    const short* data = nullptr;
    EXPECT_EQ(ring.readable(&data), 0u);
    const uint32_t capacity = RecordRing<short>::kEntries / 2 - 1; // frames: one slot tells full from empty
    for (uint32_t i = 0; i < capacity; ++i)
        ASSERT_TRUE(ring.push(short(i), short(-short(i))));
    EXPECT_FALSE(ring.push(1, 1));
    EXPECT_FALSE(ring.push(2, 2));
    EXPECT_EQ(ring.overruns(), 2u);
    ASSERT_EQ(ring.readable(&data), size_t(2 * capacity));
    EXPECT_EQ(data[2], short(1));
    ring.consume(1000); // 500 frames free again
    for (uint32_t i = 0; i < 500; ++i)
        ASSERT_TRUE(ring.push(7, 8));
    EXPECT_FALSE(ring.push(9, 9));
    // The unread frames were left alone; the new ones follow them across the end of the storage.
    size_t n = ring.readable(&data);
    EXPECT_EQ(n, size_t(RecordRing<short>::kEntries - 1000));
    EXPECT_EQ(data[0], short(500));
    ring.consume(n);
    n = ring.readable(&data);
    EXPECT_EQ(n, 998u);
    EXPECT_EQ(data[0], 7);
    EXPECT_EQ(data[997], 8);
    ring.consume(n);
    EXPECT_EQ(ring.readable(&data), 0u);
    EXPECT_EQ(ring.overruns(), 3u);
}

TEST(Recorder, WavOfOneSecondHasExactSizesAndRoundedSamples) {
    TempDir dir;
    std::string path = dir.path + "one.wav";
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        int16_t out;
    } rounding[] = {{40000.0f, 32767}, {-40000.0f, -32767}, {-0.6f, -1},  {0.4f, 0},      {0.0f, 0},         {1.6f, 2},
                    {-1.6f, -2},       {32767.4f, 32767},   {inf, 32767}, {-inf, -32767}, {std::nanf(""), 0}};
    const size_t specials = sizeof rounding / sizeof rounding[0];
    {
        Recorder recorder(Recorder::TYPE_WAV, 1.0f, 44100, path);
        ASSERT_FALSE(recorder.hasFailed()) << recorder.getError();
        for (size_t i = 0; i < 44100; ++i) {
            if (i < specials)
                recorder.process(rounding[i].in, -rounding[i].in);
            else
                recorder.process(rampLeft(i), rampRight(i));
        }
    }
    std::string file = readBytes(path);
    ASSERT_EQ(file.size(), 176444u);
    unsigned char header[WavOutFile::kHeaderBytes];
    WavOutFile::fillHeader(header, 44100, 16, 2, 176400);
    EXPECT_EQ(file.substr(0, 44), std::string(reinterpret_cast<char*>(header), 44));
    EXPECT_EQ(le32(file, 4), 176436u);
    EXPECT_EQ(le32(file, 40), 176400u);
    for (size_t i = 0; i < specials; ++i) {
        EXPECT_EQ(le16(file, 44 + 4 * i), rounding[i].out) << rounding[i].in;
        EXPECT_EQ(le16(file, 46 + 4 * i), int16_t(-rounding[i].out)) << -rounding[i].in;
    }
    for (size_t i = specials; i < 44100; ++i)
        ASSERT_EQ(le16(file, 44 + 4 * i), int16_t(rampLeft(i))) << "frame " << i;
}

TEST(Recorder, ShortFramesAndDefaultNamesAndTheTypeThatWritesNothing) {
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    {
        Recorder wav(Recorder::TYPE_WAV, 1.0f, 22050);
        Recorder none(Recorder::TYPE_NONE, 160.0f, 44100);
        wav.processNow(5, 6); // straight to the file
        for (int i = 0; i < 1000; ++i) {
            wav.process(short(i), short(-i));
            none.process(float(i), float(-i));
            none.process(short(i), short(-i));
        }
        EXPECT_FALSE(wav.hasFailed());
        EXPECT_FALSE(none.hasFailed());
        EXPECT_EQ(none.getError(), "");
        EXPECT_EQ(none.getParameter(3), 0.0);
    }
    {
        Recorder ogg(Recorder::TYPE_OGG, 5.0f, 44100);
        EXPECT_FALSE(ogg.hasFailed()) << ogg.getError();
    }
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(countFiles(dir.path), 2); // working00.wav and working00.ogg; the type that writes nothing made none
    EXPECT_FALSE(FileExist(dir.path + "working00.mp3"));
    std::vector<int16_t> samples = wavSamples(dir.path + "working00.wav");
    ASSERT_EQ(samples.size(), 2002u);
    EXPECT_EQ(samples[0], 5);
    EXPECT_EQ(samples[1], 6);
    EXPECT_EQ(samples[2 + 2 * 999], 999);
    EXPECT_EQ(samples[3 + 2 * 999], -999);
    WavInFile in((dir.path + "working00.wav").c_str());
    EXPECT_EQ(in.getSampleRate(), 22050);
}

TEST(Recorder, OggKeepsEveryFrameWithTagSerialAndQuality) {
    TempDir dir;
    for (int frames : {1, 1023, 1024, 1500, 44100}) {
        SCOPED_TRACE(frames);
        std::string path = dir.path + "take" + std::to_string(frames) + ".ogg";
        {
            Recorder recorder(Recorder::TYPE_OGG, 5.0f, 44100, path);
            ASSERT_FALSE(recorder.hasFailed()) << recorder.getError();
            for (int i = 0; i < frames; ++i) {
                float s = 16384.0f * float(std::sin(2 * M_PI * 440.0 * i / 44100.0));
                recorder.process(s, -s);
            }
        }
        OggRead ogg = readOgg(path);
        ASSERT_TRUE(ogg.opened);
        EXPECT_EQ(ogg.rate, 44100);
        EXPECT_EQ(ogg.channels, 2);
        EXPECT_EQ(ogg.frames, frames); // the last, partial block is encoded too
        EXPECT_EQ(ogg.serial, 999);
        EXPECT_EQ(ogg.encoder, "Tarlume");
        EXPECT_NEAR(ogg.nominalBitrate, 160000, 10000); // quality 5 of 10
        ASSERT_EQ(ogg.left.size(), size_t(frames));
        if (frames == 44100) {
            // The decoded sine matches what went in: gain near 0.5, right the negative of left.
            double dot = 0, refPower = 0, err = 0;
            for (int i = 0; i < frames; ++i) {
                double ref = 0.5 * std::sin(2 * M_PI * 440.0 * i / 44100.0);
                dot += ogg.left[size_t(i)] * ref;
                refPower += ref * ref;
                err += std::pow(ogg.left[size_t(i)] - ref, 2) + std::pow(ogg.right[size_t(i)] + ref, 2);
            }
            EXPECT_NEAR(dot / refPower, 1.0, 0.02);
            EXPECT_LT(err / (2 * refPower), 1e-3); // better than 30 dB signal to error
        }
    }
}

// What a recording cut off at any moment keeps: the audio of the whole pages in the file (the last page's
// granule position). Pages follow at least every half second, also for silence at the lowest quality, whose
// packets are so small that 4 KB pages would hold many seconds.
TEST(Recorder, OggPagesReachTheFileEveryHalfSecond) {
    TempDir dir;
    const std::string path = dir.path + "cut.ogg";
    OggVorbisOutFile out;
    ASSERT_TRUE(out.open(path, 44100, -0.1f));
    int64_t fed = 0;
    for (int step = 0; step < 16; ++step) {
        for (int i = 0; i < 11025; ++i, ++fed)
            out.encodePair(0, 0);
        const std::string bytes = readBytes(path);
        int64_t kept = 0;
        for (size_t at = 0; at + 27 <= bytes.size();) {
            size_t body = 0, segments = uint8_t(bytes[at + 26]);
            for (size_t k = 0; k < segments && at + 27 + k < bytes.size(); ++k)
                body += uint8_t(bytes[at + 27 + k]);
            if (at + 27 + segments + body > bytes.size()) break;
            int64_t granule = int64_t(le32(bytes, at + 6)) | int64_t(le32(bytes, at + 10)) << 32;
            if (granule > 0) kept = granule;
            at += 27 + segments + body;
        }
        // Half a second, a staged block of 1024 frames and the encoder's look-ahead of one long block.
        EXPECT_GE(kept, fed - 22050 - 1024 - 2048) << fed;
    }
    EXPECT_TRUE(out.close());
}

TEST(Recorder, RefusedStartsReportFailureAndLeaveNoFile) {
    TempDir dir;
    struct Case {
        const char* name;
        int type;
        float quality;
        int rate;
        std::string path;
        std::string error; // its start, when known
    } cases[] = {
        {"wav in a missing folder", Recorder::TYPE_WAV, 1.0f, 44100, dir.path + "no/set.wav",
         "Error : Unable to open file \"" + dir.path + "no/set.wav\" for writing."},
        {"wav onto a folder", Recorder::TYPE_WAV, 1.0f, 44100, dir.path,
         "Error : Unable to open file \"" + dir.path + "\" for writing."},
        {"wav at 0 Hz", Recorder::TYPE_WAV, 1.0f, 0, dir.path + "zero.wav", "Error : Unable to record at 0 Hz."},
        {"ogg in a missing folder", Recorder::TYPE_OGG, 5.0f, 44100, dir.path + "no/set.ogg",
         "Error : Unable to open file \"" + dir.path + "no/set.ogg\" for writing."},
        {"ogg below the encoder's quality range", Recorder::TYPE_OGG, -2.0f, 44100, dir.path + "q.ogg",
         "Error : The Ogg Vorbis encoder refused"},
        {"ogg at 0 Hz", Recorder::TYPE_OGG, 5.0f, 0, dir.path + "zero.ogg", "Error : The Ogg Vorbis encoder refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder(c.type, c.quality, c.rate, c.path);
        EXPECT_TRUE(recorder.hasFailed());
        EXPECT_EQ(recorder.getError().substr(0, c.error.size()), c.error);
        recorder.process(1.0f, 2.0f); // ignored, and no ring fills up behind it
        recorder.processBuffer();
        EXPECT_EQ(recorder.getOverruns(), 0u);
    }
    EXPECT_EQ(countFiles(dir.path), 0);
}

TEST(Recorder, TwoRecordersAreDrainedAndDeletingOneKeepsTheOther) {
    TempDir dir;
    std::string pathA = dir.path + "a.wav", pathB = dir.path + "b.wav";
    Recorder* a = new Recorder(Recorder::TYPE_WAV, 1.0f, 44100, pathA);
    Recorder* b = new Recorder(Recorder::TYPE_WAV, 1.0f, 44100, pathB);
    feedRamp(*a, 0, 4410);
    feedRamp(*b, 0, 4410);
    // The record thread drains both, and each header follows its data.
    EXPECT_TRUE(waitFor([&] { return headerDataSize(pathA) == 17640 && headerDataSize(pathB) == 17640; }));
    delete a;
    feedRamp(*b, 4410, 4410);
    EXPECT_TRUE(waitFor([&] { return headerDataSize(pathB) == 35280; })) << "b is no longer drained";
    delete b;
    EXPECT_EQ(firstRampMismatch(wavSamples(pathA), 4410), -1);
    EXPECT_EQ(firstRampMismatch(wavSamples(pathB), 8820), -1);
}

TEST(Recorder, AllSlotsTakenRefusesTheNextRecorder) {
    TempDir dir;
    std::vector<std::unique_ptr<Recorder>> running;
    for (int i = 0; i < Recorder::kSlots; ++i) {
        running.emplace_back(new Recorder(Recorder::TYPE_NONE, 160.0f, 44100, dir.path + "x.mp3"));
        ASSERT_FALSE(running.back()->hasFailed());
    }
    {
        Recorder extra(Recorder::TYPE_WAV, 1.0f, 44100, dir.path + "extra.wav");
        EXPECT_TRUE(extra.hasFailed());
        EXPECT_EQ(extra.getError(), "Error : Unable to record: 10 recordings are running already.");
    }
    EXPECT_FALSE(FileExist(dir.path + "extra.wav"));
    running.erase(running.begin() + 3);
    Recorder again(Recorder::TYPE_WAV, 1.0f, 44100, dir.path + "again.wav");
    EXPECT_FALSE(again.hasFailed());
    feedRamp(again, 0, 100);
    EXPECT_TRUE(waitFor([&] { return headerDataSize(dir.path + "again.wav") == 400; }));
}

TEST(Recorder, OverrunsAreCountedAndTheRecordedFramesStayIntact) {
    TempDir dir;
    std::string path = dir.path + "late.wav";
    {
        Recorder recorder(Recorder::TYPE_WAV, 1.0f, 44100, path);
        ASSERT_EQ(recordThread_Stop(), 1); // a record thread that has fallen behind
        const uint64_t capacity = RecordRing<float>::kEntries / 2 - 1;
        feedRamp(recorder, 0, capacity + 100);
        EXPECT_EQ(recorder.getOverruns(), 100u);
        EXPECT_EQ(recordThread_Start(), 1);
        EXPECT_EQ(recordThread_Start(), 0); // one thread only
        EXPECT_TRUE(waitFor([&] { return headerDataSize(path) == 4 * capacity; }));
        feedRamp(recorder, capacity, 10); // room again: the ramp goes on where the file stopped
        EXPECT_EQ(recorder.getOverruns(), 100u);
    }
    EXPECT_EQ(firstRampMismatch(wavSamples(path), RecordRing<float>::kEntries / 2 - 1 + 10), -1);
}

TEST(Recorder, WriterAndRecordThreadTogetherLoseNothing) {
    TempDir dir;
    std::string pathWav = dir.path + "live.wav", pathOgg = dir.path + "live.ogg";
    const uint64_t frames = 3 * 44100;
    {
        Recorder wav(Recorder::TYPE_WAV, 1.0f, 44100, pathWav);
        Recorder ogg(Recorder::TYPE_OGG, 5.0f, 44100, pathOgg);
        // An audio thread handing over 256-frame blocks several times faster than real time.
        std::thread audio([&] {
            for (uint64_t i = 0; i < frames; i += 256) {
                feedRamp(wav, i, 256);
                feedRamp(ogg, i, 256);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        audio.join();
        EXPECT_EQ(wav.getOverruns(), 0u);
        EXPECT_EQ(ogg.getOverruns(), 0u);
    }
    const uint64_t fed = (frames + 255) / 256 * 256;
    std::vector<int16_t> samples = wavSamples(pathWav);
    EXPECT_EQ(samples.size(), 2 * fed);
    EXPECT_EQ(firstRampMismatch(samples, fed), -1);
    EXPECT_EQ(readOgg(pathOgg).frames, int64_t(fed));
}

TEST(Recorder, FullDiskStopsWritingWithAValidFile) {
    TempDir dir;
    std::string wavPath = dir.path + "full.wav", oggPath = dir.path + "full.ogg";
    const rlim_t limit = 64 * 1024;
    {
        FileSizeLimit small(limit);
        Recorder wav(Recorder::TYPE_WAV, 1.0f, 44100, wavPath);
        Recorder ogg(Recorder::TYPE_OGG, 5.0f, 44100, oggPath);
        ASSERT_FALSE(wav.hasFailed());
        ASSERT_FALSE(ogg.hasFailed());
        uint32_t noise = 1;
        for (uint64_t i = 0; i < 8 * 44100; ++i) { // 8 s: far more than either file may hold
            wav.process(rampLeft(i), rampRight(i));
            noise = noise * 1664525u + 1013904223u;
            ogg.process(float(int32_t(noise) >> 17), float(int32_t(noise << 7) >> 17));
        }
        EXPECT_TRUE(waitFor([&] { return wav.hasFailed() && ogg.hasFailed(); }));
        EXPECT_EQ(wav.getError(), "Error while writing to a wav file.");
        EXPECT_EQ(ogg.getError(), "Error while writing to an ogg file.");
        wav.process(1.0f, 1.0f); // still accepted, and dropped
    }
    std::string file = readBytes(wavPath);
    EXPECT_LE(file.size(), limit);
    EXPECT_GT(file.size(), limit - 4 * 4096 - 4);
    EXPECT_EQ(uint64_t(le32(file, 40)) + 44, file.size());
    EXPECT_EQ(le32(file, 4), le32(file, 40) + 36);
    EXPECT_EQ(firstRampMismatch(wavSamples(wavPath), (file.size() - 44) / 4), -1);

    EXPECT_LE(readBytes(oggPath).size(), limit);
    OggRead ogg = readOgg(oggPath);
    EXPECT_TRUE(ogg.opened);
    EXPECT_GT(ogg.left.size(), 0u); // what fitted is playable
}

TEST(Recorder, KilledMidRecordingLeavesAPlayableWav) {
    TempDir dir;
    std::string wavPath = dir.path + "set.wav", progressPath = dir.path + "progress";
    writeBytes(progressPath, std::string(sizeof(uint64_t), '\0'));
    int fd = open(progressPath.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* shared = mmap(nullptr, sizeof(uint64_t), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(shared, MAP_FAILED);
    const uint64_t* fed = static_cast<const uint64_t*>(shared);

    std::vector<std::string> envText = {"TARLUME_RECORDER_CHILD_WAV=" + wavPath,
                                        "TARLUME_RECORDER_CHILD_PROGRESS=" + progressPath};
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        env.push_back(*e);
    for (std::string& e : envText)
        env.push_back(&e[0]);
    env.push_back(nullptr);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, exe, nullptr, nullptr, argv, env.data()), 0);
    // Let it record a second or so, then kill it without warning.
    bool started = waitFor([&] { return __atomic_load_n(fed, __ATOMIC_ACQUIRE) >= 50000; }, 30000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(started) << "the recording child did not get going";
    uint64_t handedOver = __atomic_load_n(fed, __ATOMIC_ACQUIRE);
    munmap(shared, sizeof(uint64_t));

    std::string file = readBytes(wavPath);
    ASSERT_GE(file.size(), 44u);
    uint64_t dataBytes = le32(file, 40);
    EXPECT_EQ(le32(file, 4), dataBytes + 36);
    EXPECT_LE(dataBytes + 44, file.size());
    // All but the last moments: at most about two drain periods are missing.
    EXPECT_GE(dataBytes / 4 + 22050, handedOver);
    EXPECT_LE(dataBytes / 4, handedOver);
    EXPECT_EQ(firstRampMismatch(wavSamples(wavPath), dataBytes / 4), -1);
}
