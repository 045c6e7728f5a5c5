// After a seek, the next reads equal the straight decode from that frame on.
#include "DecoderTestUtil.h"

#include <algorithm>
#include <cmath>

using namespace dectest;

namespace {

// Frames compared after each seek: more than one read of every format.
constexpr size_t compareFrames = 5000;

// Seek targets: the start, inside and at the edges of the first frames of every block size in use
// (MP3 1,152 and 576, AAC 1,024, FLAC 4,096 and its 2,304 split, Vorbis and Opus packets), the
// middle, the last frame and the very end; visited out of order, so every seek leaves the decoder
// somewhere else.
std::vector<size_t> targetsFor(size_t frames) {
    std::vector<size_t> t = {0, 1, 333, 575, 576, 577, 1151, 1152, 1153, 5 * 1152 + 333, 2304, 4095, 4096, 4097};
    for (size_t k = 2; k <= 9; ++k)
        t.push_back(k * 1152);
    for (size_t k = 2; k <= 9; ++k)
        t.push_back(k * 576 + 7);
    t.push_back(frames / 2 + 17);
    t.push_back(frames / 3);
    t.push_back(frames - 1152);
    t.push_back(frames - 1000);
    t.push_back(frames - 1);
    std::vector<size_t> order;
    for (size_t i = 0; i < t.size(); ++i)
        order.push_back(t[(i * 7) % t.size()]);
    order.push_back(0);
    return order;
}

struct SeekCase {
    const char* file;
    int maxError; // largest sample difference allowed, 0 for exact
    int maxShift; // frames the landing may be off by, 0 for exact
};

// Exact for every own reader and for the system reader, with two exceptions the codecs make: AAC
// with noise substitution draws fresh random noise after a jump (the position is still exact, the
// noise bands differ); FFmpeg's fixed-point MPEG audio decoder carries its rounding error from frame to frame, so layer
// II may differ by one step.
const SeekCase seekCases[] = {
    {"wav16.wav", 0, 0},     {"wav24.wav", 0, 0},    {"wav6ch.wav", 0, 0},     {"wavf32.wav", 0, 0},
    {"aiff16.aiff", 0, 0},   {"sowt.aiff", 0, 0},    {"aiff8.aif", 0, 0},      {"flac16.flac", 0, 0},
    {"flac24.flac", 0, 0},   {"flac6ch.flac", 0, 0}, {"flac8k.flac", 0, 0},    {"ogg2.ogg", 0, 0},
    {"ogg6ch.ogg", 0, 0},    {"chained.ogg", 0, 0},  {"cbr.mp3", 0, 0},        {"cbr_noinfo.mp3", 0, 0},
    {"vbr.mp3", 0, 0},       {"mono.mp3", 0, 0},     {"mpeg2.mp3", 0, 0},      {"mpeg25.mp3", 0, 0},
    {"cbr32.mp3", 0, 0},     {"tagged.mp3", 0, 0},   {"extensible.wav", 0, 0}, {"ulaw.wav", 0, 0},
    {"none.aiff", 0, 0},     {"alac.m4a", 0, 0},     {"flac_in.ogg", 0, 0},    {"total0.flac", 0, 0},
    {"aac_nopns.m4a", 0, 0}, {"aac6ch.m4a", 0, 0},   {"opus.opus", 0, 0},      {"opus_in.ogg", 0, 0},
    {"aac.m4a", 6000, 0},    {"adts.aac", 0, 0},     {"layer2.mp3", 1, 0},     {"id3v22.mp3", 0, 0},
    {"wma.wma", 0, 0}, // stamped in whole milliseconds, 44 frames apart
};

// The smallest shift (within maxShift) of the straight decode that the seek's output matches, and
// its largest difference there.
std::pair<int, int> bestMatch(const std::vector<short>& straight, const std::vector<short>& got, size_t target,
                              int channels, int maxShift) {
    std::pair<int, int> best{0, 1 << 30};
    for (int shift = -maxShift; shift <= maxShift; ++shift) {
        long start = long(target) + shift;
        if (start < 0) continue;
        int worst = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            size_t at = size_t(start) * size_t(channels) + i;
            int ref = at < straight.size() ? straight[at] : 1 << 20;
            worst = std::max(worst, std::abs(ref - got[i]));
            if (worst >= best.second) break;
        }
        if (worst < best.second) best = {shift, worst};
    }
    return best;
}

TEST(DecoderSeek, NextReadsEqualTheStraightDecode) {
    for (const SeekCase& c : seekCases) {
        SCOPED_TRACE(c.file);
        AudioDecoder straightDecoder;
        ASSERT_EQ(straightDecoder.openFile(fixture(c.file), 1), 0);
        int channels = straightDecoder.getNbChannels();
        std::vector<short> straight = decodeAll(straightDecoder);
        size_t frames = straight.size() / size_t(channels);
        ASSERT_GT(frames, 20000u);

        // Opened as a deck opens it, without the full scan: MP3 seeks index the frames on the way.
        AudioDecoder d;
        ASSERT_EQ(d.openFile(fixture(c.file), 0), 0);
        for (size_t target : targetsFor(frames)) {
            SCOPED_TRACE(target);
            d.seek(unsigned(target));
            size_t want = std::min(compareFrames, frames - target) * size_t(channels);
            std::vector<short> got = decodeAll(d, want);
            ASSERT_GE(got.size(), want);
            got.resize(want);
            if (c.maxError == 0 && c.maxShift == 0) {
                ASSERT_EQ(firstDifference(
                              got,
                              std::vector<short>(straight.begin() + long(target * size_t(channels)), straight.end()),
                              want),
                          -1);
            } else {
                auto [shift, error] = bestMatch(straight, got, target, channels, c.maxShift);
                ASSERT_LE(error, c.maxError) << "shift " << shift;
            }
        }
    }
}

TEST(DecoderSeek, AtOrPastTheEndReadsTheEnd) {
    for (const char* file : {"wav16.wav", "aiff16.aiff", "flac16.flac", "ogg2.ogg", "cbr.mp3", "aac.m4a"}) {
        SCOPED_TRACE(file);
        AudioDecoder d;
        ASSERT_EQ(d.openFile(fixture(file), 1), 0);
        std::vector<short> block(AudioDecoder::maxReadBytes / 2);
        for (unsigned target : {d.getLength(), d.getLength() + 1, 0xFFFFFFFFu}) {
            d.seek(target);
            EXPECT_LE(d.readData(block.data(), 0), 0) << target;
        }
        d.seek(0); // and back from there
        EXPECT_GT(d.readData(block.data(), 0), 0);
    }
}

TEST(DecoderSeek, FlacBlocksComeAsTwoReadsAfterSeeksToo) {
    AudioDecoder d;
    ASSERT_EQ(d.openFile(fixture("flac16.flac")), 0);
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    // 4,096-frame blocks: 2,304 frames, then the 1,792 left.
    EXPECT_EQ(d.readData(block.data(), 0), 2304 * 4);
    EXPECT_EQ(d.readData(block.data(), 0), 1792 * 4);
    EXPECT_EQ(d.readData(block.data(), 0), 2304 * 4);
    // A seek into a block delivers the rest of that block (from inside the seek) first.
    d.seek(4096 + 96);
    EXPECT_EQ(d.readData(block.data(), 0), 2304 * 4);
    EXPECT_EQ(d.readData(block.data(), 0), (4096 - 96 - 2304) * 4);
    EXPECT_EQ(d.readData(block.data(), 0), 2304 * 4);
}

} // namespace
