// The WAV reader over arbitrary files: header parsing, chunk walking and reads to the end of the data.
#include "audio/recorder/WavInFile.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader takes a path: one in-memory file, rewritten for every input.
    static int fd = memfd_create("wavinfile", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    try {
        WavInFile in(path.c_str());
        uint64_t total = 0;
        char buffer[333];
        int got;
        while ((got = in.read(buffer, sizeof buffer)) > 0)
            total += uint64_t(got);
        if (total != in.getDataSizeInBytes() || !in.eof()) __builtin_trap(); // all the data, never more
        if (total > size) __builtin_trap();
        (void)in.getLengthMS();
        (void)in.getNumSamples();
        (void)in.getBytesPerSample();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
