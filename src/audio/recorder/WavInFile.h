// Reads the samples of a PCM WAV file (plain or extensible format), as written by WavOutFile and
// by other programs. Any thread; one reader per object. Reports a file it can't use by throwing
// std::runtime_error from the constructor.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class WavInFile {
public:
    // Opens the file and reads its header up to the start of the samples. Throws when the file
    // can't be opened, isn't a well-formed WAV file, or holds anything but integer PCM.
    explicit WavInFile(const char* fileName);
    ~WavInFile();
    WavInFile(const WavInFile&) = delete;
    WavInFile& operator=(const WavInFile&) = delete;

    // Copies up to `bytes` sample bytes (never past the end of the data); returns the count read,
    // 0 at the end or on a read error.
    int read(void* buffer, int bytes);
    bool eof() const;
    void close();

    int getNumChannels() const { return m_channels; }
    int getNumBits() const { return m_bitsPerSample; }
    int getSampleRate() const { return m_sampleRate; } // Hz
    uint64_t getDataSizeInBytes() const { return m_dataBytes; }
    uint64_t getNumSamples() const { return m_dataBytes / m_blockAlign; } // frames
    // Bytes per frame.
    int getBytesPerSample() const { return static_cast<int>(int64_t(m_channels) * m_bitsPerSample / 8); }
    uint64_t getLengthMS() const;

private:
    FILE* m_file = nullptr;
    int m_channels = 0;
    int m_bitsPerSample = 0;
    int m_sampleRate = 0;     // Hz
    int m_blockAlign = 1;     // bytes per frame, never 0
    uint64_t m_dataBytes = 0; // the samples present in the file, at most what the header announces
    uint64_t m_dataRead = 0;  // bytes of the data handed out so far
};
