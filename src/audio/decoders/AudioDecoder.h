// AudioDecoder: opens one audio file, its format chosen by the file name's extension, and delivers it
// as interleaved signed 16-bit frames of at most two channels, with its length, sample rate and
// sample-exact seeking. MP3, WAV, AIFF/AIFC, Ogg Vorbis and FLAC have readers of their own; every
// other file, and every file those readers refuse, goes to the system reader.
//
// Threads: a decoder has no lock. Its owner serialises every call (a player under its decode lock on
// the loading thread, the tag cache on its own threads); separate decoders may run on separate threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class AudioDecoder {
public:
    // Format tags (`type`). 1 and 2 are not used.
    enum { TYPE_NONE = -1, TYPE_MP3 = 0, TYPE_OGG = 3, TYPE_WAV = 4, TYPE_AIFF = 5, TYPE_FLAC = 6, TYPE_SYSTEM = 7 };

    // The most one readData call writes, in bytes (2,304 stereo frames): `out` must hold this much.
    static constexpr int maxReadBytes = 9216;
    // Channels delivered at most: wider files give their first two channels (own readers) or a
    // stereo down-mix (system reader).
    static constexpr int maxChannels = 2;

    AudioDecoder();
    virtual ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Closes any open file and opens `name`. `scan` nonzero makes the MP3 reader walk every frame for
    // an exact length (VBR files are walked anyway). The third argument is not used. 0 or -1.
    int openFile(const std::string& name, int scan = 0, int unused = 0);
    // Decodes the next block into `out` (maxReadBytes bytes) and returns its size in bytes
    // (frames x channels x 2); 0 or -1 at the end of the data or on failure. `frames` is not used:
    // each call returns what one read of the format yields.
    int readData(short* out, unsigned int frames);
    // As above with samples scaled to -1..1 (`out` holds maxReadBytes bytes, as for the 16-bit read);
    // the result is in bytes of floats (frames x channels x 4). WAV, AIFF and Ogg Vorbis only; -1 for
    // the others.
    int readData(float* out, unsigned int frames);
    // Moves to a frame: the next readData starts exactly there. At or past the end, reads return 0.
    void seek(unsigned int frame);
    void close();

    float getSamplerate() const { return samplerate; } // Hz
    unsigned int getLength() const { return length; }  // frames
    int getNbChannels() const { return channels; }     // 1 or 2 while open
    int getType() const { return type; }
    const std::string& getFileName() const { return fileName; }

    // Live decoders (the tag cache creates them on its own threads).
    static std::atomic<int> objectCount;

    // Per-format state, opaque outside the decoder's sources.
    struct Mp3State;
    struct PcmState;
    struct OggState;
    struct FlacState;
    struct SystemState;

private:
    int openFileMP3(const std::string& name, int scan);
    int readDataMP3(short* out);
    void seekMP3(unsigned int frame);
    void closeMP3();
    int getNextFrame(bool stay);
    bool feedFrameMP3(short* out, int* bytes);
    bool repositionMP3(size_t entry);

    int openFileWav(const std::string& name);
    int openFileAiff(const std::string& name);
    int readDataWav(short* out) { return readDataPcm(out); }
    int readDataAiff(short* out) { return readDataPcm(out); }
    void seekWav(unsigned int frame) { seekPcm(frame); }
    void seekAiff(unsigned int frame) { seekPcm(frame); }
    void closeWav() { closePcm(); }
    void closeAiff() { closePcm(); }
    template <typename Sample> int readDataPcm(Sample* out);
    void seekPcm(unsigned int frame);
    void closePcm();
    bool startPcm(uint64_t dataStart, uint64_t dataBytes, uint64_t frameLimit);

    int openFileOgg(const std::string& name);
    template <typename Sample> int readDataOgg(Sample* out);
    void seekOgg(unsigned int frame);
    void closeOgg();

    int openFileFlac(const std::string& name);
    int readDataFlac(short* out);
    void seekFlac(unsigned int frame);
    void closeFlac();
    int takePendingFlac(short* out);

    int openFileCoreAudio(std::string name);
    int readDataCoreAudio(short* out);
    void seekCoreAudio(unsigned int frame);
    void closeCoreAudio();

    void closeFormat();

    int type = TYPE_NONE;
    std::string fileName; // the last name given to openFile
    int channels = 0;     // delivered channels, 1 or 2
    int bits = 0;         // bits per sample in the file (WAV, AIFF, FLAC)
    unsigned int length = 0;
    float samplerate = 0;

    // Decoded frames a seek or a large FLAC block produced beyond what the caller took; the next
    // readData returns them first (16-bit interleaved, `channels` wide).
    std::unique_ptr<short[]> pending;
    size_t pendingCapacity = 0; // samples
    size_t pendingStart = 0;    // samples already handed out
    size_t pendingEnd = 0;      // samples held
    void storePending(const short* samples, size_t count);
    int takePending(short* out, size_t maxSamples);

    std::unique_ptr<Mp3State> mp3;
    std::unique_ptr<PcmState> pcm;
    std::unique_ptr<OggState> ogg;
    std::unique_ptr<FlacState> flac;
    std::unique_ptr<SystemState> sys;

    friend struct AudioDecoderFlacCallbacks;
    friend struct AudioDecoderFuzzAccess; // the parsers' fuzz target calls them without the system reader
};
