// The MP3, WAV and AIFF readers over arbitrary files: header and frame parsing, reads to the end
// and seeks. The first byte picks the reader (and the MP3 full scan); the rest is the file.
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
        int result = kind / 2 == 0   ? d.openFileMP3(path, kind & 1)
                     : kind / 2 == 1 ? d.openFileWav(path)
                                     : d.openFileAiff(path);
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
    if (AudioDecoderFuzzAccess::open(d, data[0] % 6, path) != 0) return 0;
    if (d.getNbChannels() < 1 || d.getNbChannels() > 2 || !(d.getSamplerate() >= 1)) __builtin_trap();
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    std::vector<float> floats(AudioDecoder::maxReadBytes / 2);
    // Every read fits the block; decoding ends (an MP3 frame is at least 21 bytes of the file).
    for (size_t reads = 0;; ++reads) {
        int bytes = d.readData(block.data(), 0);
        if (bytes <= 0) break;
        if (bytes > AudioDecoder::maxReadBytes || reads > size) __builtin_trap();
    }
    unsigned length = d.getLength();
    for (unsigned target : {length / 2 + data[0], length - 1, 0u, length}) {
        d.seek(target);
        if (d.readData(block.data(), 0) > AudioDecoder::maxReadBytes) __builtin_trap();
    }
    d.seek(0);
    if (d.readData(floats.data(), 0) > AudioDecoder::maxReadBytes * 2) __builtin_trap();
    return 0;
}
