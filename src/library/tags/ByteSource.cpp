#include "library/tags/ByteSource.h"

#include <cstring>

#include "foundation/modTools.h"

bool ByteSource::readExact(uint64_t offset, uint64_t count, std::string& out) {
    out.clear();
    if (count > remaining(offset) || count > uint64_t(SIZE_MAX / 2)) return false;
    out.resize(size_t(count));
    if (count == 0) return true;
    if (readAt(offset, &out[0], size_t(count)) != count) {
        out.clear();
        return false;
    }
    return true;
}

FileByteSource::FileByteSource(const std::string& path) {
    file = fileOpen(path, "rb", &fileSize);
    if (!file) fileSize = 0;
}

FileByteSource::~FileByteSource() {
    if (file) fclose(file);
}

size_t FileByteSource::readAt(uint64_t offset, void* out, size_t count) {
    if (!file || offset >= fileSize || count == 0) return 0;
    if (count > fileSize - offset) count = size_t(fileSize - offset);
    if (offset != position) {
        if (offset > uint64_t(INT64_MAX) || fseeko(file, off_t(offset), SEEK_SET) != 0) return 0;
        position = offset;
    }
    size_t got = fread(out, 1, count, file);
    position += got;
    return got;
}

size_t MemoryByteSource::readAt(uint64_t offset, void* out, size_t want) {
    if (offset >= count || want == 0) return 0;
    if (want > count - offset) want = size_t(count - offset);
    memcpy(out, bytes + offset, want);
    return want;
}
