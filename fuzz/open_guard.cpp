// The count of the tags FFmpeg files at once (ID3v2 tags at the start, Ogg streams' comment headers, FLAC comment
// blocks, Matroska's tags) over arbitrary files: every length, count and position in them comes from the file. The
// first byte sets the limit the count stops just past.
#include "platform/OpenGuard.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The count takes a path: one in-memory file, rewritten for every input.
    static int fd = memfd_create("open_guard", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data + 1, size - 1, 0) != ssize_t(size - 1)) return 0;
    const uint64_t limit = uint64_t(data[0]) * 40;
    if (OpenGuard::tagsFiledAtOnce(path, limit) > limit + 1) __builtin_trap();
    return 0;
}
