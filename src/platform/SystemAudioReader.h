// SystemAudioReader: the system's general audio file reader, for every format without a reader of
// the program's own (AAC/M4A, ALAC, WMA, Opus, uncommon WAV and AIFC encodings, ...). It stands on
// FFmpeg, limited to local files and to audio container formats, so a file holding a URL or a
// playlist can never make it reach the network or another file.
//
// Threads: one reader belongs to one thread at a time; it decodes on that thread. An open runs on a thread of
// its own, which the caller waits for at most a second of its work (see BoundedWork.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SystemAudioReader {
public:
    // Frames one read delivers at most.
    static constexpr int maxFramesPerRead = 2048;

    SystemAudioReader();
    ~SystemAudioReader();
    SystemAudioReader(const SystemAudioReader&) = delete;
    SystemAudioReader& operator=(const SystemAudioReader&) = delete;

    // Opens a regular file by path; false (and nothing held) when it is not a decodable audio file.
    bool open(const std::string& path);
    void close();

    double sampleRate() const;     // Hz, of the decoded audio (HE-AAC's full rate, not its core rate)
    int channels() const;          // delivered channels: 1, or 2 (wider files are mixed down to stereo)
    uint64_t lengthFrames() const; // frames; reads stop there

    // Decodes up to min(maxFrames, maxFramesPerRead) frames of 16-bit interleaved samples into `out`;
    // returns the frames written, 0 at the end (or on a failure that ends the data).
    int read(int16_t* out, int maxFrames);
    // Moves to a frame by seeking before it and decoding up to it, so the next read starts there.
    // False when the reader could not move (reads then go on from where they were).
    bool seek(uint64_t frame);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
