// The RIFF/WAVE parser and the PCM reader it shares with the AIFF parser.
#include "audio/decoders/AudioDecoderFormats.h"
#include "audio/decoders/ByteOrder.h"

#include "foundation/modTools.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// A read's file bytes are held in one buffer of at most this size; frames wider than that
// (thousands of channels) are refused.
constexpr size_t maxReadBuffer = 256 * 1024;
constexpr int framesPerPcmRead = 1024;

} // namespace

int AudioDecoder::openFileWav(const std::string& name) {
    pcm.reset(new PcmState);
    uint64_t size = 0;
    pcm->file.reset(fileOpen(name, "rb", &size));
    FILE* f = pcm->file.get();
    unsigned char head[16];
    if (!f || size < 12 || !readAt(f, 0, head, 12)) return -1;
    if (memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0) return -1;

    bool haveFormat = false;
    int tag = 0, fileChannels = 0, fileBits = 0;
    uint32_t rate = 0;
    uint64_t dataStart = 0, dataBytes = 0;
    uint64_t pos = 12; // the next chunk header
    for (;;) {
        if (pos + 8 > size || !readAt(f, pos, head, 8)) return -1; // no "data" chunk
        uint64_t chunkSize = fetchLongLE(head + 4);
        uint64_t left = size - (pos + 8);
        if (memcmp(head, "data", 4) == 0) {
            dataStart = pos + 8;
            dataBytes = chunkSize;
            break;
        }
        if (chunkSize == 0 || chunkSize > left) {
            // A damaged chunk size: look for "data" in the next 128 bytes instead of trusting it
            // (4 more are read for the size of a "data" found at their very end).
            constexpr size_t searched = 128 - 4;
            unsigned char probe[searched + 8];
            size_t got = size_t(std::min<uint64_t>(sizeof probe, left));
            if (!readAt(f, pos + 8, probe, got)) return -1;
            size_t k = 0;
            while (k < searched && k + 8 <= got && memcmp(probe + k, "data", 4) != 0)
                ++k;
            if (k >= searched || k + 8 > got) return -1;
            dataStart = pos + 8 + k + 8;
            dataBytes = fetchLongLE(probe + k + 4);
            break;
        }
        if (memcmp(head, "fmt ", 4) == 0) {
            if (chunkSize < 16 || !readAt(f, pos + 8, head, 16)) return -1;
            tag = fetchShortLE(head);
            fileChannels = fetchShortLE(head + 2);
            rate = fetchLongLE(head + 4);
            fileBits = fetchShortLE(head + 14);
            haveFormat = true;
        }
        pos += 8 + chunkSize + (chunkSize & 1); // chunks are padded to even sizes
    }
    // Anything else goes to the system reader: other encodings (extensible, ADPCM, mu-law, ...),
    // and headers that would divide by zero or describe no sound.
    if (!haveFormat || fileChannels < 1 || rate < 1 || fileBits < 8) return -1;
    if (tag == 1) {
        if (fileBits > 32) return -1;
    } else if (tag == 3) {
        if (fileBits != 32 && fileBits != 64) return -1;
        pcm->isFloat = true;
    } else {
        return -1;
    }
    pcm->fileChannels = fileChannels;
    pcm->sampleBytes = (fileBits + 7) / 8; // narrower samples sit left-justified in whole bytes
    // A size of 0 (a recording never finished) or one past the end plays to the end of the file.
    if (dataStart > size) return -1;
    if (dataBytes == 0 || dataBytes > size - dataStart) dataBytes = size - dataStart;
    if (!startPcm(dataStart, dataBytes, UINT64_MAX)) return -1;
    bits = fileBits;
    samplerate = float(rate);
    type = TYPE_WAV;
    return 0;
}

bool AudioDecoder::startPcm(uint64_t dataStart, uint64_t dataBytes, uint64_t frameLimit) {
    PcmState& p = *pcm;
    size_t frameBytes = size_t(p.fileChannels) * size_t(p.sampleBytes);
    if (frameBytes == 0 || frameBytes > maxReadBuffer) return false;
    uint64_t frames = std::min<uint64_t>(dataBytes / frameBytes, frameLimit);
    frames = std::min<uint64_t>(frames, UINT32_MAX);
    if (frames == 0) return false;
    p.dataStart = p.position = dataStart;
    p.dataEnd = dataStart + frames * frameBytes;
    p.framesPerRead = int(std::min<size_t>(framesPerPcmRead, maxReadBuffer / frameBytes));
    p.buffer.resize(size_t(p.framesPerRead) * frameBytes);
    if (fseeko(p.file.get(), off_t(dataStart), SEEK_SET) != 0) return false;
    channels = std::min(p.fileChannels, maxChannels);
    length = unsigned(frames);
    return true;
}

namespace {

// One stored integer sample, left-justified to 32 bits.
inline int32_t intSample(const unsigned char* s, int bytes, bool bigEndian, bool signed8) {
    uint32_t v = 0;
    if (bigEndian)
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | s[i];
    else
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | s[i];
    v <<= 8 * (4 - bytes);
    if (bytes == 1 && !signed8) v ^= 0x80000000u; // WAV's 8-bit samples are unsigned
    return int32_t(v);
}

inline double floatSample(const unsigned char* s, int bytes, bool bigEndian) {
    unsigned char b[8];
    for (int i = 0; i < bytes; ++i)
        b[i] = bigEndian ? s[bytes - 1 - i] : s[i];
    double v;
    if (bytes == 4) {
        float f;
        memcpy(&f, b, 4);
        v = f;
    } else {
        memcpy(&v, b, 8);
    }
    if (std::isnan(v)) return 0;
    return std::clamp(v, -1.0, 1.0); // out-of-range samples clip rather than wrap
}

inline void store(short* to, int32_t v) {
    *to = short(v >> 16);
}
inline void store(float* to, int32_t v) {
    *to = float(v) * (1.0f / 2147483648.0f);
}
inline void store(short* to, double v) {
    *to = short(v * 32767.0); // truncated toward zero; v is within -1..1
}
inline void store(float* to, double v) {
    *to = float(v);
}

} // namespace

template <typename Sample> int AudioDecoder::readDataPcm(Sample* out) {
    PcmState& p = *pcm;
    size_t frameBytes = size_t(p.fileChannels) * size_t(p.sampleBytes);
    uint64_t frames = std::min<uint64_t>(p.framesPerRead, (p.dataEnd - p.position) / frameBytes);
    if (frames == 0) return 0;
    size_t got = fread(p.buffer.data(), 1, size_t(frames) * frameBytes, p.file.get()) / frameBytes;
    if (got < frames) fseeko(p.file.get(), off_t(p.position + got * frameBytes), SEEK_SET); // keep frames aligned
    p.position += got * frameBytes;
    for (size_t i = 0; i < got; ++i) {
        const unsigned char* frame = p.buffer.data() + i * frameBytes;
        for (int c = 0; c < channels; ++c) {
            const unsigned char* s = frame + c * p.sampleBytes;
            Sample* to = out + i * size_t(channels) + size_t(c);
            if (p.isFloat)
                store(to, floatSample(s, p.sampleBytes, p.bigEndian));
            else
                store(to, intSample(s, p.sampleBytes, p.bigEndian, p.signed8));
        }
    }
    return int(got * size_t(channels) * sizeof(Sample));
}

template int AudioDecoder::readDataPcm<short>(short*);
template int AudioDecoder::readDataPcm<float>(float*);

void AudioDecoder::seekPcm(unsigned int frame) {
    PcmState& p = *pcm;
    uint64_t frameBytes = uint64_t(p.fileChannels) * uint64_t(p.sampleBytes);
    p.position = std::min(p.dataEnd, p.dataStart + uint64_t(frame) * frameBytes);
    fseeko(p.file.get(), off_t(p.position), SEEK_SET);
}

void AudioDecoder::closePcm() {
    pcm.reset();
}
