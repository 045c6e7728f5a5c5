// The per-format state of AudioDecoder, shared by its format sources only.
#pragma once

#include "audio/decoders/AudioDecoder.h"
#include "audio/decoders/mp3interface.h"

#include <cstdio>
#include <vector>

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <FLAC/stream_decoder.h>
#include <vorbis/vorbisfile.h>

class SystemAudioReader;

// Closes a FILE* when the owner goes away, so every failure path of an opener releases it.
struct FileCloser {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads exactly `bytes` bytes at a file offset.
inline bool readAt(FILE* f, uint64_t offset, unsigned char* to, size_t bytes) {
    return fseeko(f, off_t(offset), SEEK_SET) == 0 && fread(to, 1, bytes, f) == bytes;
}

struct AudioDecoder::Mp3State {
    static constexpr size_t windowSize = 65536;

    FilePtr file;
    uint64_t fileSize = 0; // bytes
    mpg123_handle* handle = nullptr;
    unsigned char window[windowSize]; // input window read from the file
    size_t valid = 0;                 // bytes of the window holding file data
    size_t offset = 0;                // the current frame's offset inside the window
    uint64_t windowEnd = 0;           // file offset just past the window's valid bytes
    bool fileEnd = false;             // the window holds the file's last byte

    uint64_t audioStart = 0;  // file offset of the first frame
    uint32_t firstHeader = 0; // header of the first frame: later frames must share its version and rate
    int frameBytes = 0;       // the current frame's size in bytes
    int frameSamples = 0;     // samples per channel of every frame (1152 or 576)
    int bitrate = 0;          // the first frame's bit rate, kbit/s
    bool haveFrame = false;   // the current frame is whole in the window and not yet fed

    // Seek table: the file offset of every frame met so far, in order; frame i starts at sample
    // frame i x frameSamples. It grows as needed, so every frame up to the furthest read is indexed.
    std::vector<uint64_t> table;
    size_t entry = 0; // index of the current frame
};

struct AudioDecoder::PcmState {
    FilePtr file;
    uint64_t dataStart = 0; // file offset of the first frame, bytes
    uint64_t dataEnd = 0;   // file offset just past the last whole frame, bytes
    uint64_t position = 0;  // file offset of the next frame to read, bytes
    int fileChannels = 0;   // channels stored in the file
    int sampleBytes = 0;    // bytes per stored sample
    bool isFloat = false;
    bool bigEndian = false;
    bool signed8 = false; // 8-bit samples are signed (AIFF) rather than offset by 128 (WAV)
    int framesPerRead = 0;
    std::vector<unsigned char> buffer; // one read's file bytes
};

struct AudioDecoder::OggState {
    FilePtr file;
    OggVorbis_File vf;
    bool vfOpen = false;
    int bitstream = 0;  // the logical stream of the last read (chained files may change it)
    bool atEnd = false; // a seek went to or past the end
};

struct AudioDecoder::FlacState {
    FLAC__StreamDecoder* decoder = nullptr;
    short* out = nullptr;       // the caller's block during a read; null during a seek
    int written = 0;            // frames written to `out` by the current read
    int fileChannels = 0;       // channels in the stream
    bool gotBlock = false;      // the write callback ran during the last process call
    bool atEnd = false;         // a seek went to or past the end
    uint64_t totalFrames = 0;   // the stream's own total, 64-bit
    bool errorReported = false; // the first stream error was printed
    std::vector<short> convert; // frames of a block beyond the current read, before they are stored
};

struct AudioDecoder::SystemState {
    std::unique_ptr<SystemAudioReader> reader;
};
