// A 16-bit (or other PCM) WAV file written from the front: a 44-byte header, then the samples.
// Used by the record thread; reports failures by throwing std::runtime_error, which the recorder
// catches. The header's sizes can be brought up to date at any time, so a file cut short by a
// crash still says how much audio it holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class WavOutFile {
public:
    static constexpr int kHeaderBytes = 44;

    // Opens the file (created or truncated) and writes the header with both sizes 0.
    // Throws when the file cannot be opened or the header cannot be written.
    WavOutFile(const std::string& fileName, int sampleRate, int bitsPerSample, int channels);
    // Closes the file; a failure here is swallowed (call close() to hear of it).
    ~WavOutFile();
    WavOutFile(const WavOutFile&) = delete;
    WavOutFile& operator=(const WavOutFile&) = delete;

    // Appends sample bytes. On a short write (disk full, file size limit) the whole frames that
    // did reach the file are counted, the rest is cut off, and it throws.
    void write(const void* buffer, int bytes);
    // Rewrites the header with the sizes of what has been written so far.
    void updateHeader();
    // Asks the system to put what was written on the disk (so a power loss keeps it).
    void syncToDisk();
    // Final header, then the file is closed (even when the header fails, which throws).
    // Calling it again does nothing.
    void close();

    bool isOpen() const { return m_file != nullptr; }
    uint64_t getDataSizeInBytes() const { return m_dataBytes; }

    // The header for `dataBytes` of samples. Sizes past what 32 bits hold stay at 0xFFFFFFFF.
    static void fillHeader(unsigned char header[kHeaderBytes], int sampleRate, int bitsPerSample, int channels,
                           uint64_t dataBytes);

private:
    [[noreturn]] void throwWriteError();

    FILE* m_file = nullptr;
    std::string m_fileName;
    int m_sampleRate;    // Hz
    int m_bitsPerSample; // bits per sample of one channel
    int m_channels;
    uint64_t m_dataBytes = 0; // sample bytes in the file behind the header
};
