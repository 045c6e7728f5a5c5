// The MP3, WAV, AIFF, FLAC and Ogg Vorbis readers over arbitrary files: header and frame parsing,
// reads to the end and seeks. The first byte picks the reader (and the MP3 full scan or float reads);
// the rest is the file.
#include "audio/decoders/AudioDecoder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// Opens with one reader only: a file it refuses must not reach the system reader here.
struct AudioDecoderFuzzAccess {
    static int open(AudioDecoder& d, int kind, const std::string& path) {
        d.close();
        int result = kind < 2    ? d.openFileMP3(path, kind & 1)
                     : kind < 4  ? d.openFileWav(path)
                     : kind < 6  ? d.openFileAiff(path)
                     : kind == 6 ? d.openFileFlac(path)
                                 : d.openFileOgg(path);
        if (result < 0) d.close();
        return result;
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The readers take a path: one in-memory file, rewritten for every input.
    static int fd = memfd_create("decoders", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data + 1, size - 1, 0) != ssize_t(size - 1)) return 0;
    AudioDecoder d;
    if (AudioDecoderFuzzAccess::open(d, data[0] % 8, path) != 0) return 0;
    if (d.getNbChannels() < 1 || d.getNbChannels() > 2 || !(d.getSamplerate() >= 1)) __builtin_trap();
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    std::vector<float> floats(AudioDecoder::maxReadBytes / sizeof(float));
    // Every read fits the block, and decoding ends: each read takes some of the file (a FLAC frame of
    // a few bytes may give 65,535 frames, 29 reads). With the first byte's bit 3 set the reads are
    // float ones (WAV, AIFF, Ogg Vorbis), bound by the same bytes.
    bool asFloats = data[0] & 8;
    for (size_t reads = 0;; ++reads) {
        int bytes = asFloats ? d.readData(floats.data(), 0) : d.readData(block.data(), 0);
        if (bytes <= 0) break;
        if (bytes > AudioDecoder::maxReadBytes || reads > 64 * size + 64) __builtin_trap();
    }
    unsigned length = d.getLength();
    for (unsigned target : {length / 2 + data[0], length - 1, 0u, length}) {
        d.seek(target);
        if (d.readData(block.data(), 0) > AudioDecoder::maxReadBytes) __builtin_trap();
    }
    d.seek(0);
    if (d.readData(floats.data(), 0) > AudioDecoder::maxReadBytes) __builtin_trap();
    return 0;
}
