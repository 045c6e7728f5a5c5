#include "audio/decoders/AudioDecoder.h"
#include "audio/decoders/AudioDecoderFormats.h"
#include "platform/SystemAudioReader.h"

#include "foundation/modTools.h"

#include <algorithm>
#include <cstring>

std::atomic<int> AudioDecoder::objectCount{0};

AudioDecoder::AudioDecoder() {
    objectCount.fetch_add(1, std::memory_order_relaxed);
}

AudioDecoder::~AudioDecoder() {
    close();
    objectCount.fetch_sub(1, std::memory_order_relaxed);
}

int AudioDecoder::openFile(const std::string& name, int scan, int) {
    close();
    fileName = name;
    std::string tail = name.size() > 3 ? strtolower(name.substr(name.size() - 4)) : "";
    int result = -1;
    if (tail == ".mp3")
        result = openFileMP3(name, scan);
    else if (tail == ".ogg")
        result = openFileOgg(name);
    else if (tail == ".wav" || tail == "wave")
        result = openFileWav(name);
    else if (tail == ".aif" || tail == "aiff")
        result = openFileAiff(name);
    else if (tail == "flac")
        result = openFileFlac(name);
    if (result < 0) {
        close();
        fileName = name;
        result = openFileCoreAudio(name);
    }
    if (result < 0) {
        close();
        fileName = name;
        return -1;
    }
    return 0;
}

int AudioDecoder::readData(short* out, unsigned int) {
    if (!out) return -1;
    switch (type) {
    case TYPE_MP3:
        return readDataMP3(out);
    case TYPE_OGG:
        return readDataOgg(out);
    case TYPE_WAV:
        return readDataWav(out);
    case TYPE_AIFF:
        return readDataAiff(out);
    case TYPE_FLAC:
        return readDataFlac(out);
    case TYPE_SYSTEM:
        return readDataCoreAudio(out);
    default:
        return -1;
    }
}

int AudioDecoder::readData(float* out, unsigned int) {
    if (!out) return -1;
    switch (type) {
    case TYPE_OGG:
        return readDataOgg(out);
    case TYPE_WAV:
    case TYPE_AIFF:
        return readDataPcm(out);
    default:
        return -1; // MP3, FLAC and the system reader deliver 16-bit frames only
    }
}

void AudioDecoder::seek(unsigned int frame) {
    switch (type) {
    case TYPE_MP3:
        seekMP3(frame);
        break;
    case TYPE_OGG:
        seekOgg(frame);
        break;
    case TYPE_WAV:
        seekWav(frame);
        break;
    case TYPE_AIFF:
        seekAiff(frame);
        break;
    case TYPE_FLAC:
        seekFlac(frame);
        break;
    case TYPE_SYSTEM:
        seekCoreAudio(frame);
        break;
    default:
        break;
    }
}

void AudioDecoder::close() {
    closeFormat();
    type = TYPE_NONE;
    channels = 0;
    bits = 0;
    length = 0;
    samplerate = 0;
    pending.reset();
    pendingCapacity = pendingStart = pendingEnd = 0;
}

// Releases whatever any opener left behind, whether or not it finished.
void AudioDecoder::closeFormat() {
    if (mp3) closeMP3();
    if (pcm) closePcm();
    if (ogg) closeOgg();
    if (flac) closeFlac();
    if (sys) closeCoreAudio();
}

void AudioDecoder::storePending(const short* samples, size_t count) {
    size_t held = pendingEnd - pendingStart;
    if (held + count > pendingCapacity) {
        size_t capacity = std::max(held + count, pendingCapacity * 2);
        std::unique_ptr<short[]> grown(new short[capacity]);
        if (held) std::memcpy(grown.get(), pending.get() + pendingStart, held * sizeof(short));
        pending = std::move(grown);
        pendingCapacity = capacity;
    } else if (pendingStart && held) {
        std::memmove(pending.get(), pending.get() + pendingStart, held * sizeof(short));
    }
    pendingStart = 0;
    pendingEnd = held;
    if (count) std::memcpy(pending.get() + pendingEnd, samples, count * sizeof(short));
    pendingEnd += count;
}

int AudioDecoder::takePending(short* out, size_t maxSamples) {
    size_t held = pendingEnd - pendingStart;
    if (!held) return 0;
    size_t n = std::min(held, maxSamples);
    if (channels > 0) n -= n % size_t(channels); // whole frames only
    std::memcpy(out, pending.get() + pendingStart, n * sizeof(short));
    pendingStart += n;
    if (pendingStart == pendingEnd) pendingStart = pendingEnd = 0;
    return int(n * sizeof(short));
}
