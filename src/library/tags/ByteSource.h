// Random-access byte input for the tag readers: a file or a block of memory, so that tests and
// fuzzers feed the same code the library scan runs on files. Every read is bounded by the source's
// size, so a length read from a file can be checked against what is left before anything is
// allocated from it.
#pragma once

#include "foundation/ByteOrder.h"

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

inline const uint8_t* bytesOf(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}
