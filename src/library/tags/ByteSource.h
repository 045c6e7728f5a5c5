// Random-access byte input for the tag readers: a file or a block of memory, so that tests and
// fuzzers feed the same code the library scan runs on files. Every read is bounded by the source's
// size, so a length read from a file can be checked against what is left before anything is
// allocated from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Total size in bytes.
    virtual uint64_t size() const = 0;
    // Copies up to `count` bytes from `offset` into `out`; returns the number of bytes copied
    // (less than asked only at the end of the source or on a read error).
    virtual size_t readAt(uint64_t offset, void* out, size_t count) = 0;

    // Bytes left from `offset` (0 past the end).
    uint64_t remaining(uint64_t offset) const { return offset < size() ? size() - offset : 0; }
    // Exactly `count` bytes from `offset` into `out`; false (out emptied) when fewer remain.
    bool readExact(uint64_t offset, uint64_t count, std::string& out);
};

// A regular file opened for reading; size() is 0 and every read fails when it could not be opened.
class FileByteSource : public ByteSource {
public:
    explicit FileByteSource(const std::string& path);
    ~FileByteSource() override;
    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;

    bool isOpen() const { return file != nullptr; }
    uint64_t size() const override { return fileSize; }
    size_t readAt(uint64_t offset, void* out, size_t count) override;

private:
    FILE* file = nullptr;
    uint64_t fileSize = 0;
    uint64_t position = 0; // where the next fread starts, to skip needless seeks
};

// Bytes held by the caller, who keeps them alive for the source's life.
class MemoryByteSource : public ByteSource {
public:
    MemoryByteSource(const void* bytes, size_t count) : bytes(static_cast<const uint8_t*>(bytes)), count(count) {}
    explicit MemoryByteSource(const std::string& bytes) : MemoryByteSource(bytes.data(), bytes.size()) {}
    explicit MemoryByteSource(std::string&&) = delete; // would outlive the bytes

    uint64_t size() const override { return count; }
    size_t readAt(uint64_t offset, void* out, size_t want) override;

private:
    const uint8_t* bytes;
    size_t count;
};

// Unsigned integers at a byte offset of a buffer; the caller checks the bounds.
inline uint32_t readBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint32_t readBE24(const uint8_t* p) {
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]);
}
inline uint16_t readBE16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t readLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint16_t readLE16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint64_t readLE64(const uint8_t* p) {
    return uint64_t(readLE32(p)) | (uint64_t(readLE32(p + 4)) << 32);
}
inline const uint8_t* bytesOf(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}
