// Every format decodes to the same samples as a reference decode of the same file (ffmpeg's, or the
// codec library's own), with the right length, rate and channel count.
#include "DecoderTestUtil.h"

#include <mpg123.h>
#include <vorbis/vorbisfile.h>

using namespace dectest;

namespace {

struct Case {
    const char* file;
    int type;
    int channels;
    float rate;
    unsigned length; // getLength() after opening
    size_t frames;   // frames decoded to the end
    // Float samples made from the 16-bit source, which ffmpeg's reference gives back exactly: the
    // readers scale them by 32767 and truncate.
    bool fromFloat = false;
};

// The own parsers, and the system reader on lossless formats, and lossy ones whose samples ffmpeg
// defines: each decode equals ffmpeg's reference decode (the own parsers keep the first two
// channels of wider files, the system reader mixes them down).
const Case referenceCases[] = {
    {"wav8.wav", AudioDecoder::TYPE_WAV, 2, 44100, 132300, 132300},
    {"wav16.wav", AudioDecoder::TYPE_WAV, 2, 44100, 132300, 132300},
    {"wav24.wav", AudioDecoder::TYPE_WAV, 2, 44100, 132300, 132300},
    {"wav32.wav", AudioDecoder::TYPE_WAV, 2, 44100, 132300, 132300},
    {"wavf32.wav", AudioDecoder::TYPE_WAV, 2, 44100, 132300, 132300, true},
    {"wavf64.wav", AudioDecoder::TYPE_WAV, 2, 44100, 132300, 132300, true},
    {"wavmono.wav", AudioDecoder::TYPE_WAV, 1, 22050, 66150, 66150},
    {"wav6ch.wav", AudioDecoder::TYPE_WAV, 2, 44100, 88200, 88200},
    {"aiff16.aiff", AudioDecoder::TYPE_AIFF, 2, 44100, 132300, 132300},
    {"aiff8.aif", AudioDecoder::TYPE_AIFF, 2, 44100, 132300, 132300},
    {"aiff24.aiff", AudioDecoder::TYPE_AIFF, 2, 44100, 132300, 132300},
    {"aiff6ch.aiff", AudioDecoder::TYPE_AIFF, 2, 44100, 88200, 88200},
    {"sowt.aiff", AudioDecoder::TYPE_AIFF, 2, 44100, 132300, 132300},
    {"fl32.aiff", AudioDecoder::TYPE_AIFF, 2, 44100, 132300, 132300, true},
    {"flac16.flac", AudioDecoder::TYPE_FLAC, 2, 44100, 132300, 132300},
    {"flac24.flac", AudioDecoder::TYPE_FLAC, 2, 44100, 132300, 132300},
    {"flac6ch.flac", AudioDecoder::TYPE_FLAC, 2, 44100, 88200, 88200},
    {"flac8k.flac", AudioDecoder::TYPE_FLAC, 1, 22050, 66150, 66150},
    // A total of 0 in STREAMINFO: measured by the system reader.
    {"total0.flac", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    {"extensible.wav", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    {"ulaw.wav", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    {"none.aiff", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    {"alac.m4a", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    {"flac_in.ogg", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    // AAC's end padding (820 frames here) is cut at the container's length.
    {"aac.m4a", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
    {"aac6ch.m4a", AudioDecoder::TYPE_SYSTEM, 2, 44100, 88200, 88200},
    // Raw ADTS has no length: its packets are counted (131 x 1,024, the encoder delay included).
    {"adts.aac", AudioDecoder::TYPE_SYSTEM, 2, 44100, 134144, 134144},
    // Opus decodes at 48 kHz; the Ogg pre-skip is not part of the length.
    {"opus.opus", AudioDecoder::TYPE_SYSTEM, 2, 48000, 144000, 144000},
    {"opus_in.ogg", AudioDecoder::TYPE_SYSTEM, 2, 48000, 144000, 144000},
    // ASF declares its length in milliseconds: an estimate, and reads go on to the decoder's end.
    {"wma.wma", AudioDecoder::TYPE_SYSTEM, 2, 44100, 133094, 131072},
    // Layer II is not the MP3 reader's: the system reader counts its packets.
    {"layer2.mp3", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132480, 132480},
    // An MP3 whose first frame lies beyond the MP3 reader's first window: FFmpeg trims LAME's
    // encoder delay and padding.
    {"id3v22.mp3", AudioDecoder::TYPE_SYSTEM, 2, 44100, 132300, 132300},
};

TEST(DecoderRoundTrip, EveryFormatEqualsTheReferenceDecode) {
    for (const Case& c : referenceCases) {
        SCOPED_TRACE(c.file);
        AudioDecoder d;
        ASSERT_EQ(d.openFile(fixture(c.file)), 0);
        EXPECT_EQ(d.getType(), c.type);
        EXPECT_EQ(d.getNbChannels(), c.channels);
        EXPECT_EQ(d.getSamplerate(), c.rate);
        EXPECT_EQ(d.getLength(), c.length);
        std::vector<short> got = decodeAll(d);
        std::vector<short> ref = readRaw(fixture(std::string(c.file) + ".ref.raw"));
        if (c.fromFloat)
            for (short& s : ref)
                s = short(s * 32767 / 32768);
        EXPECT_EQ(got.size(), c.frames * size_t(c.channels));
        EXPECT_EQ(firstDifference(got, ref, std::min(got.size(), c.frames * size_t(c.channels))), -1);
        EXPECT_EQ(d.readData(std::vector<short>(4608).data(), 0) > 0, false) << "data after the end";
    }
}

// A direct libmpg123 decode of the whole file, set up as the MP3 reader sets it up.
std::vector<short> mpg123Reference(const std::string& path, long rate, int channels) {
    int err = 0;
    mpg123_handle* h = mpg123_new(nullptr, &err);
    mpg123_param(h, MPG123_FLAGS,
                 MPG123_NO_READAHEAD | MPG123_IGNORE_INFOFRAME | MPG123_QUIET |
                     (channels == 1 ? MPG123_MONO_MIX : MPG123_FORCE_STEREO),
                 0);
    mpg123_format_none(h);
    mpg123_format(h, rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16);
    mpg123_open_feed(h);
    std::string bytes = readBytes(path);
    mpg123_feed(h, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    std::vector<short> all;
    std::vector<short> block(8192);
    for (;;) {
        size_t done = 0;
        int ret = mpg123_read(h, reinterpret_cast<unsigned char*>(block.data()), block.size() * 2, &done);
        all.insert(all.end(), block.begin(), block.begin() + long(done / 2));
        if (ret != MPG123_OK && ret != MPG123_NEW_FORMAT) break;
    }
    mpg123_delete(h);
    return all;
}

struct Mp3Case {
    const char* file;
    int channels;
    float rate;
    int frameSamples;
};

const Mp3Case mp3Cases[] = {
    {"cbr.mp3", 2, 44100, 1152},   {"cbr_noinfo.mp3", 2, 44100, 1152}, {"vbr.mp3", 2, 44100, 1152},
    {"mono.mp3", 1, 44100, 1152},  {"mpeg2.mp3", 2, 22050, 576},       {"mpeg25.mp3", 2, 11025, 576},
    {"cbr32.mp3", 2, 44100, 1152}, {"tagged.mp3", 2, 44100, 1152},     {"ffmpeg.mp3", 2, 44100, 1152},
};

TEST(DecoderRoundTrip, Mp3EqualsLibmpg123AndCountsEveryFrame) {
    for (const Mp3Case& c : mp3Cases) {
        SCOPED_TRACE(c.file);
        std::vector<short> ref = mpg123Reference(fixture(c.file), long(c.rate), c.channels);
        ASSERT_GT(ref.size(), 0u);
        size_t refFrames = ref.size() / size_t(c.channels);
        EXPECT_EQ(refFrames % size_t(c.frameSamples), 0u) << "the info frame counts as one silent frame";
        AudioDecoder d;
        ASSERT_EQ(d.openFile(fixture(c.file), 1), 0);
        EXPECT_EQ(d.getType(), AudioDecoder::TYPE_MP3);
        EXPECT_EQ(d.getNbChannels(), c.channels);
        EXPECT_EQ(d.getSamplerate(), c.rate);
        EXPECT_EQ(d.getLength(), refFrames); // the full scan counts the frames
        std::vector<short> got = decodeAll(d);
        EXPECT_EQ(got.size(), ref.size());
        EXPECT_EQ(firstDifference(got, ref, ref.size()), -1);
    }
}

TEST(DecoderRoundTrip, Mp3LengthWithoutScanIsEstimatedUnlessVbr) {
    AudioDecoder d;
    // CBR: the estimate from the first frame's bit rate lies within a frame of the count.
    ASSERT_EQ(d.openFile(fixture("cbr_noinfo.mp3"), 0), 0);
    EXPECT_NEAR(double(d.getLength()), 133632.0, 1152.0);
    // A Xing header forces the full scan: the length is exact even with scan 0. So does an Info header, whose
    // frame FFmpeg writes at half the bit rate of the audio after it.
    for (const char* file : {"vbr.mp3", "ffmpeg.mp3"}) {
        ASSERT_EQ(d.openFile(fixture(file), 0), 0);
        EXPECT_EQ(d.getLength(), decodeAll(d).size() / 2) << file;
    }
}

// libvorbisfile's own 16-bit decode of the first two channels of each link.
std::vector<short> vorbisReference(const std::string& path, int channels) {
    OggVorbis_File vf;
    std::vector<short> all;
    if (ov_fopen(path.c_str(), &vf) != 0) return all;
    std::vector<char> block(65536);
    int bitstream = 0;
    for (;;) {
        long bytes = ov_read(&vf, block.data(), int(block.size()), 0, 2, 1, &bitstream);
        if (bytes == OV_HOLE) continue;
        if (bytes <= 0) break;
        int linkChannels = ov_info(&vf, bitstream)->channels;
        const short* s = reinterpret_cast<const short*>(block.data());
        for (long i = 0; i < bytes / 2 / linkChannels; ++i)
            for (int c = 0; c < channels; ++c)
                all.push_back(s[i * linkChannels + std::min(c, linkChannels - 1)]);
    }
    ov_clear(&vf);
    return all;
}

TEST(DecoderRoundTrip, OggEqualsVorbisfileAcrossChainedLinks) {
    struct {
        const char* file;
        int channels;
        unsigned length;
    } cases[] = {{"ogg2.ogg", 2, 132300},
                 {"ogg6ch.ogg", 2, 88200},
                 {"chained.ogg", 2, 132300 + 66150},
                 {"clip.ogg", 2, 44100}}; // clipped at both ends of the 16-bit range
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        AudioDecoder d;
        ASSERT_EQ(d.openFile(fixture(c.file)), 0);
        EXPECT_EQ(d.getType(), AudioDecoder::TYPE_OGG);
        EXPECT_EQ(d.getNbChannels(), c.channels);
        EXPECT_EQ(d.getSamplerate(), 44100.f);
        EXPECT_EQ(d.getLength(), c.length);
        std::vector<short> ref = vorbisReference(fixture(c.file), c.channels);
        std::vector<short> got = decodeAll(d);
        EXPECT_EQ(got.size(), size_t(c.length) * size_t(c.channels));
        EXPECT_EQ(got.size(), ref.size());
        EXPECT_EQ(firstDifference(got, ref, ref.size()), -1);
    }
}

TEST(DecoderRoundTrip, FloatReadsMatchTheShortReads) {
    for (const char* file : {"wav24.wav", "aiff16.aiff", "wavf32.wav", "ogg2.ogg", "ogg6ch.ogg"}) {
        SCOPED_TRACE(file);
        AudioDecoder s, f;
        ASSERT_EQ(s.openFile(fixture(file)), 0);
        ASSERT_EQ(f.openFile(fixture(file)), 0);
        std::vector<short> shorts = decodeAll(s);
        std::vector<float> floats;
        // The float read keeps the same bound in bytes as the 16-bit one.
        constexpr size_t room = AudioDecoder::maxReadBytes / sizeof(float);
        std::vector<float> block(room + 16, 7.0f);
        int bytes;
        while ((bytes = f.readData(block.data(), 0)) > 0) {
            ASSERT_LE(bytes, AudioDecoder::maxReadBytes);
            ASSERT_EQ(block[room], 7.0f) << "wrote past the block";
            floats.insert(floats.end(), block.begin(), block.begin() + bytes / 4);
        }
        ASSERT_EQ(floats.size(), shorts.size());
        bool floatFile = std::string(file) == "wavf32.wav";
        for (size_t i = 0; i < floats.size(); ++i) {
            if (floatFile)
                ASSERT_EQ(short(floats[i] * 32767.0), shorts[i]) << i;
            else
                ASSERT_LE(std::abs(floats[i] * 32768.f - shorts[i]), 1.0f) << i;
            ASSERT_LE(std::abs(floats[i]), 1.0f);
        }
    }
    AudioDecoder m;
    ASSERT_EQ(m.openFile(fixture("cbr.mp3")), 0);
    std::vector<float> block(AudioDecoder::maxReadBytes / 2);
    EXPECT_EQ(m.readData(block.data(), 0), -1); // 16-bit only
}

} // namespace
