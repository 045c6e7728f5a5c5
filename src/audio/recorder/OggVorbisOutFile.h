// An Ogg Vorbis file encoded with variable bit rate (libvorbisenc, libogg), fed one stereo frame
// at a time. Used by the record thread under the recorder's lock. Failures are returned: after
// the first one nothing more is written and error() says what happened.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <ogg/ogg.h>
#include <vorbis/codec.h>

class OggVorbisOutFile {
public:
    OggVorbisOutFile() = default;
    // Finishes and closes the file when still open.
    ~OggVorbisOutFile();
    OggVorbisOutFile(const OggVorbisOutFile&) = delete;
    OggVorbisOutFile& operator=(const OggVorbisOutFile&) = delete;

    // Creates the file, sets up the encoder for 2 channels at `sampleRate` Hz with the VBR quality
    // on libvorbisenc's own scale (-0.1 .. 1.0), and writes the three header packets.
    bool open(const std::string& fileName, int sampleRate, float quality);
    // One frame on the 16-bit scale (full scale +/-32768). Encodes every 1024 frames.
    void encodePair(float left, float right);
    // Forces what was written to the disk (so a power loss keeps it).
    void syncToDisk();
    // Encodes the frames still staged, ends the stream and closes the file. False on any failure
    // during the recording. Calling it again does nothing and returns the same answer.
    bool close();

    bool isOpen() const { return m_file != nullptr; }
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }

private:
    static constexpr int kStageFrames = 1024;

    void submitStaged();
    void writePages();
    void writePage(const ogg_page& page);
    void fail(const std::string& message);

    std::string m_fileName;
    std::string m_error; // "" while all is well
    FILE* m_file = nullptr;
    bool m_encoderReady = false; // the five libvorbis/libogg states below are initialised

    vorbis_info m_info;
    vorbis_comment m_comment;
    vorbis_dsp_state m_dsp;
    vorbis_block m_block;
    ogg_stream_state m_stream;

    std::vector<float> m_stage; // interleaved frames, scaled to +/-1.0, waiting for a full block
    int m_stageFill = 0;        // floats in m_stage
    bool m_endOfStream = false; // the last page has been written
    int64_t m_pageGranule = 0;  // frames of audio in the pages written
    int64_t m_halfSecond = 0;   // frames
};
