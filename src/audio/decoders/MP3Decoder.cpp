// The MP3 reader: locates and indexes layer III frames itself and feeds them one by one to mpg123,
// so that any sample frame can be reached exactly by restarting a few frames before it.
#include "audio/decoders/AudioDecoderFormats.h"
#include "audio/decoders/ByteOrder.h"

#include "foundation/modTools.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Sampling frequencies by rate index + 3 x (lsf + mpeg25), Hz.
const int sampleRates[9] = {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};
// Layer III bit rates by bit-rate index (15 is forbidden), kbit/s: MPEG-1, then MPEG-2 and 2.5.
const int bitRates[2][15] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
                             {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};

// Sync, version, layer and rate index: the fields every frame of one stream shares.
constexpr uint32_t streamMask = 0xFFFE0C00;
// Bytes kept in the window ahead of the current frame before it is refilled: more than a frame
// (1,441 bytes at most) and its successor's header.
constexpr size_t lookahead = 4096;
// Frames decoded and discarded before a seek target, so mpg123 rebuilds its bit reservoir.
constexpr unsigned primingFrames = 8;
// The first frame is looked for in the first window only, this far from its end at most.
constexpr size_t firstScanMargin = 460;

struct Header {
    uint32_t bits = 0;
    int lsf = 0; // 0 MPEG-1, 1 MPEG-2 and 2.5
    bool mono = false;
    bool crc = false;
    int rate = 0;    // Hz
    int bitrate = 0; // kbit/s, 0 for free format
    int size = 0;    // bytes, 0 for free format
    int minSize = 0; // header, side information and CRC, bytes
    int samples = 0; // per channel
};

// Only MPEG-1, 2 and 2.5 layer III; reserved versions, bit-rate index 15 and rate index 3 are refused.
bool parseHeader(uint32_t h, Header* out) {
    if ((h & 0xFFE00000) != 0xFFE00000) return false;
    int version = (h >> 19) & 3; // 0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
    int layer = (h >> 17) & 3;   // 1 layer III
    int bitrateIndex = (h >> 12) & 15;
    int rateIndex = (h >> 10) & 3;
    if (version == 1 || layer != 1 || bitrateIndex == 15 || rateIndex == 3) return false;
    Header hd;
    hd.bits = h;
    hd.lsf = version == 3 ? 0 : 1;
    int mpeg25 = version == 0 ? 1 : 0;
    hd.mono = ((h >> 6) & 3) == 3;
    hd.crc = ((h >> 16) & 1) == 0;
    hd.rate = sampleRates[rateIndex + 3 * (hd.lsf + mpeg25)];
    hd.bitrate = bitRates[hd.lsf][bitrateIndex];
    hd.samples = 1152 >> hd.lsf;
    hd.minSize = 4 + (hd.lsf ? (hd.mono ? 9 : 17) : (hd.mono ? 17 : 32)) + (hd.crc ? 2 : 0);
    if (hd.bitrate) {
        hd.size = int((h >> 9) & 1) + hd.bitrate * 144000 / (hd.rate << hd.lsf);
        hd.size = std::max(hd.size, hd.minSize);
    }
    *out = hd;
    return true;
}

// A header at window offset p that belongs with `reference` (any valid header when it is 0).
bool headerAt(const unsigned char* window, size_t valid, size_t p, uint32_t reference, Header* hd) {
    if (p + 4 > valid) return false;
    uint32_t h = FetchLong(window + p);
    if (reference && (h & streamMask) != (reference & streamMask)) return false;
    return parseHeader(h, hd);
}

// Free format: the distance to the next header of the same stream and channel mode, 0 if none is
// within the window.
int detect_frame_size(const unsigned char* window, size_t valid, size_t p, const Header& hd) {
    for (size_t q = p + size_t(hd.minSize); q + 4 <= valid; ++q) {
        Header next;
        if (headerAt(window, valid, q, hd.bits, &next) && next.mono == hd.mono) return int(q - p);
    }
    return 0;
}

// The frame size of a header at p (free format measured), 0 when there is no usable frame.
int frameSizeAt(const unsigned char* window, size_t valid, size_t p, uint32_t reference, Header* hd) {
    if (!headerAt(window, valid, p, reference, hd)) return 0;
    if (hd->size) return hd->size;
    return hd->size = detect_frame_size(window, valid, p, *hd);
}

} // namespace

// Refills the window from the file, keeping the bytes from the current frame on.
static void refillWindow(AudioDecoder::Mp3State& s) {
    if (s.offset > 0) {
        std::memmove(s.window, s.window + s.offset, s.valid - s.offset);
        s.valid -= s.offset;
        s.offset = 0;
    }
    while (!s.fileEnd && s.valid < s.windowSize) {
        size_t got = fread(s.window + s.valid, 1, s.windowSize - s.valid, s.file.get());
        s.valid += got;
        s.windowEnd += got;
        if (got == 0 || s.windowEnd >= s.fileSize) s.fileEnd = true;
    }
}

// Locates the frame at or after the current offset. `expected`: the offset is where a frame must
// start (right after the previous one, or a table entry), so a header of this stream there is
// taken as it is; elsewhere a candidate counts only when the next frame's header follows it.
// Sets haveFrame and frameBytes; false at the end of the data (a truncated last frame included).
static bool locateFrame(AudioDecoder::Mp3State& s, bool expected) {
    s.haveFrame = false;
    for (;;) {
        if (s.valid - s.offset < lookahead && !s.fileEnd) refillWindow(s);
        if (s.offset + 4 > s.valid) return false;
        Header hd;
        // The stream is not free format (those are refused), so a header without a bit rate is damage:
        // mpg123, fed whole frames, could not decode it anyway.
        int size = headerAt(s.window, s.valid, s.offset, s.firstHeader, &hd) ? hd.size : 0;
        if (size > 0) {
            size_t end = s.offset + size_t(size);
            if (end > s.valid) {
                if (expected) return false; // the last frame is cut short: the data ends here
            } else {
                Header next;
                if (expected || headerAt(s.window, s.valid, end, hd.bits, &next) || (s.fileEnd && end == s.valid)) {
                    s.frameBytes = size;
                    s.haveFrame = true;
                    return true;
                }
            }
        }
        expected = false;
        ++s.offset;
    }
}

int AudioDecoder::getNextFrame(bool stay) {
    Mp3State& s = *mp3;
    if (!stay) {
        if (!s.haveFrame) return -1;
        s.offset += size_t(s.frameBytes);
    }
    if (!locateFrame(s, true)) return -1;
    if (!stay) {
        ++s.entry;
        uint64_t at = s.windowEnd - s.valid + s.offset;
        if (s.entry == s.table.size())
            s.table.push_back(at);
        else
            s.table[s.entry] = at;
    }
    return 0;
}

// Positions the window at a table entry and restarts mpg123 there.
bool AudioDecoder::repositionMP3(size_t entry) {
    Mp3State& s = *mp3;
    s.haveFrame = false;
    if (entry >= s.table.size() || fseeko(s.file.get(), off_t(s.table[entry]), SEEK_SET) != 0) return false;
    s.valid = s.offset = 0;
    s.windowEnd = s.table[entry];
    s.fileEnd = s.windowEnd >= s.fileSize;
    s.entry = entry;
    ResetMP3(s.handle);
    return getNextFrame(true) == 0;
}

// Decodes the current frame into `out` (maxReadBytes) and moves to the next one. False when no frame
// is left. A frame mpg123 rejects becomes silence of its length, so every later frame keeps its place.
bool AudioDecoder::feedFrameMP3(short* out, int* bytes) {
    Mp3State& s = *mp3;
    *bytes = 0;
    if (!s.haveFrame) return false;
    unsigned int done = 0;
    int ret = decodeMP3(s.handle, s.window + s.offset, s.frameBytes, out, maxReadBytes, &done);
    getNextFrame(false);
    if (ret != 0 && ret != MPG123_NEED_MORE) {
        ResetMP3(s.handle);
        done = unsigned(s.frameSamples * channels) * sizeof(short);
        std::memset(out, 0, done);
    }
    *bytes = int(done);
    return true;
}

int AudioDecoder::openFileMP3(const std::string& name, int scan) {
    mp3.reset(new Mp3State);
    Mp3State& s = *mp3;
    s.file.reset(fileOpen(name, "rb", &s.fileSize));
    unsigned char head[20];
    // Under 200 bytes a file holds no more than a couple of the smallest frames: not a track.
    if (!s.file || s.fileSize < 200 || !readAt(s.file.get(), 0, head, 20)) return -1;
    uint64_t start = 0;
    if (memcmp(head, "ID3", 3) == 0 && (head[3] == 3 || head[3] == 4)) {
        start = 10 + (uint64_t(head[6] & 0x7F) << 21 | uint64_t(head[7] & 0x7F) << 14 | uint64_t(head[8] & 0x7F) << 7 |
                      uint64_t(head[9] & 0x7F));
        if (start >= s.fileSize) start = 0; // a tag size beyond the file: look for frames from the start
    }
    if (fseeko(s.file.get(), off_t(start), SEEK_SET) != 0) return -1;
    s.windowEnd = start;
    refillWindow(s);

    // The first frame: a header whose successor is a header of the same stream.
    size_t limit = std::min(s.valid, s.windowSize - firstScanMargin);
    Header hd;
    size_t p = 0;
    for (; p + 4 <= limit; ++p) {
        int size = frameSizeAt(s.window, s.valid, p, 0, &hd);
        if (size <= 0) continue;
        Header next;
        size_t end = p + size_t(size);
        if (headerAt(s.window, s.valid, end, hd.bits, &next) || (s.fileEnd && end == s.valid)) break;
    }
    if (p + 4 > limit || hd.bitrate == 0) return -1; // none, or free format: the system reader's
    s.offset = p;
    s.audioStart = s.windowEnd - s.valid + p;
    s.firstHeader = hd.bits;
    s.frameBytes = hd.size;
    s.frameSamples = hd.samples;
    s.bitrate = hd.bitrate;
    s.haveFrame = true;
    s.table.reserve(size_t(std::min<uint64_t>(s.fileSize / 200, 1 << 20)));
    s.table.push_back(s.audioStart);
    s.entry = 0;
    channels = hd.mono ? 1 : 2;
    samplerate = float(hd.rate);

    // A VBR header means the bit rate of this frame says nothing of the others: walk them all. "Info" is the
    // same header written for a constant bit rate, and its frame need not have the stream's bit rate either
    // (FFmpeg writes it at 64 kbit/s before 128 kbit/s audio, which made the estimate twice the length).
    size_t xing = 4 + size_t(hd.minSize - 4 - (hd.crc ? 2 : 0));
    for (size_t at : {p + xing, p + xing + 2}) {
        if (at + 4 <= s.valid && (memcmp(s.window + at, "Xing", 4) == 0 || memcmp(s.window + at, "Info", 4) == 0))
            scan = 1;
    }
    if (p + 40 <= s.valid && memcmp(s.window + p + 36, "VBRI", 4) == 0) scan = 1;

    double estimate = double(s.frameSamples) * (double(hd.rate) * double(s.fileSize - s.audioStart) + 0.5) /
                      (double(s.frameSamples) * 125.0 * double(hd.bitrate));
    length = unsigned(std::clamp(estimate, 0.0, double(UINT32_MAX)));

    int err = 0;
    s.handle = InitMP3(&err, hd.rate, channels);
    if (!s.handle) return -1;
    if (scan) {
        while (getNextFrame(false) == 0) {
        }
        length = unsigned(std::min<uint64_t>(uint64_t(s.table.size()) * uint64_t(s.frameSamples), UINT32_MAX));
        if (!repositionMP3(0)) return -1;
    }
    if (length == 0) return -1;
    type = TYPE_MP3;
    return 0;
}

int AudioDecoder::readDataMP3(short* out) {
    int bytes = takePending(out, maxReadBytes / sizeof(short));
    if (bytes) return bytes;
    // Every whole frame gives output; the bound only guards against a decoder that never does.
    for (int tries = 0; tries < 64; ++tries) {
        if (!feedFrameMP3(out, &bytes)) return 0;
        if (bytes) return bytes;
    }
    return -1;
}

void AudioDecoder::seekMP3(unsigned int frame) {
    Mp3State& s = *mp3;
    pendingStart = pendingEnd = 0;
    size_t target = frame / unsigned(s.frameSamples); // the frame holding the target sample
    if (target >= s.table.size()) {
        // Index forward from the furthest frame met so far.
        if (s.entry + 1 != s.table.size() || !s.haveFrame) {
            if (!repositionMP3(s.table.size() - 1)) return;
        }
        while (s.table.size() <= target && getNextFrame(false) == 0) {
        }
        if (s.table.size() <= target) {
            s.haveFrame = false; // past the last frame: reads return the end
            return;
        }
    }
    // mpg123's synthesis rotates through 16 buffer slots, 36 (MPEG-1) or 18 (MPEG-2) steps a frame:
    // starting on a multiple of 8 frames puts the rotation where a straight decode has it, so
    // the rounding, and with it every sample, comes out the same.
    size_t first = target >= primingFrames ? (target - primingFrames) & ~size_t(7) : 0;
    if (!repositionMP3(first)) return;
    short scratch[maxReadBytes / sizeof(short)];
    int bytes = 0;
    while (s.entry < target)
        if (!feedFrameMP3(scratch, &bytes)) return;
    size_t skip = size_t(frame - target * unsigned(s.frameSamples)) * size_t(channels);
    if (skip == 0) return;
    if (!feedFrameMP3(scratch, &bytes)) return;
    size_t got = size_t(bytes) / sizeof(short);
    if (got > skip) storePending(scratch + skip, got - skip);
}

void AudioDecoder::closeMP3() {
    if (mp3->handle) ExitMP3(mp3->handle);
    mp3.reset();
}
