#include "audio/recorder/OggVorbisOutFile.h"

#include "foundation/modTools.h"

#include <cmath>
#include <unistd.h>
#include <vorbis/vorbisenc.h>

namespace {
const int kSerialNumber = 999;
const float kFrom16Bit = 3.0517578e-5f; // 1 / 32768
} // namespace

OggVorbisOutFile::~OggVorbisOutFile() {
    close();
}

void OggVorbisOutFile::fail(const std::string& message) {
    if (m_error.empty()) m_error = message;
}

bool OggVorbisOutFile::open(const std::string& fileName, int sampleRate, float quality) {
    if (m_file) return false;
    m_fileName = fileName;
    m_error.clear();
    m_endOfStream = false;
    // The encoder first: a set-up it refuses leaves the disk untouched.
    vorbis_info_init(&m_info);
    int result = sampleRate > 0 ? vorbis_encode_init_vbr(&m_info, 2, sampleRate, quality) : OV_EINVAL;
    if (result != 0) {
        vorbis_info_clear(&m_info);
        fail("Error : The Ogg Vorbis encoder refused " + intToStr(sampleRate) + " Hz at quality " + dblToStr(quality) +
             " (" + intToStr(result) + ").");
        return false;
    }
    m_file = fileOpen(fileName, "wb+");
    if (!m_file) {
        vorbis_info_clear(&m_info);
        fail("Error : Unable to open file \"" + fileName + "\" for writing.");
        return false;
    }
    setvbuf(m_file, nullptr, _IONBF, 0); // each write's result then tells what reached the file

    vorbis_comment_init(&m_comment);
    vorbis_comment_add_tag(&m_comment, "ENCODER", "Tarlume");
    vorbis_analysis_init(&m_dsp, &m_info);
    vorbis_block_init(&m_dsp, &m_block);
    ogg_stream_init(&m_stream, kSerialNumber);
    m_encoderReady = true;

    ogg_packet header, comment, codebooks;
    vorbis_analysis_headerout(&m_dsp, &m_comment, &header, &comment, &codebooks);
    ogg_stream_packetin(&m_stream, &header);
    ogg_stream_packetin(&m_stream, &comment);
    ogg_stream_packetin(&m_stream, &codebooks);
    // The headers get pages of their own, so the audio starts on a fresh page.
    ogg_page page;
    while (!failed() && ogg_stream_flush(&m_stream, &page) != 0)
        writePage(page);
    m_pageGranule = 0;
    m_halfSecond = sampleRate / 2;
    m_stage.assign(2070, 0.0f);
    m_stageFill = 0;
    if (failed()) {
        close();
        return false;
    }
    return true;
}

void OggVorbisOutFile::writePage(const ogg_page& page) {
    if (fwrite(page.header, 1, size_t(page.header_len), m_file) != size_t(page.header_len) ||
        fwrite(page.body, 1, size_t(page.body_len), m_file) != size_t(page.body_len))
        fail("Error while writing to an ogg file.");
}

void OggVorbisOutFile::encodePair(float left, float right) {
    if (!m_encoderReady || failed()) return;
    // A non-finite value would poison the encoder's analysis for the rest of the stream.
    m_stage[size_t(m_stageFill)] = std::isfinite(left) ? left * kFrom16Bit : 0.0f;
    m_stage[size_t(m_stageFill) + 1] = std::isfinite(right) ? right * kFrom16Bit : 0.0f;
    m_stageFill += 2;
    if (m_stageFill >= 2 * kStageFrames) submitStaged();
}

void OggVorbisOutFile::submitStaged() {
    int frames = m_stageFill / 2;
    m_stageFill = 0;
    if (frames == 0) return;
    float** channels = vorbis_analysis_buffer(&m_dsp, frames);
    for (int i = 0; i < frames; ++i) {
        channels[0][i] = m_stage[size_t(2 * i)];
        channels[1][i] = m_stage[size_t(2 * i + 1)];
    }
    vorbis_analysis_wrote(&m_dsp, frames);
    writePages();
}

void OggVorbisOutFile::writePages() {
    ogg_packet packet;
    ogg_page page;
    while (vorbis_analysis_blockout(&m_dsp, &m_block) == 1) {
        vorbis_analysis(&m_block, nullptr);
        vorbis_bitrate_addblock(&m_block);
        while (vorbis_bitrate_flushpacket(&m_dsp, &packet)) {
            ogg_stream_packetin(&m_stream, &packet);
            // libogg alone ends a page at about 4 KB, seconds of a quiet passage: a page is due after half a
            // second of audio at the latest, so a recording cut off (the program killed) loses no more.
            const bool due = packet.granulepos - m_pageGranule >= m_halfSecond;
            while (!m_endOfStream && !failed() &&
                   (due ? ogg_stream_flush(&m_stream, &page) : ogg_stream_pageout(&m_stream, &page)) != 0) {
                writePage(page);
                if (ogg_page_granulepos(&page) >= 0) m_pageGranule = ogg_page_granulepos(&page);
                if (ogg_page_eos(&page)) m_endOfStream = true;
            }
        }
    }
}

void OggVorbisOutFile::syncToDisk() {
    if (m_file && !failed() && fdatasync(fileno(m_file)) != 0) fail("Error while writing to an ogg file.");
}

bool OggVorbisOutFile::close() {
    if (m_encoderReady) {
        if (!failed()) {
            // The last, partial block is part of the set too.
            submitStaged();
            vorbis_analysis_wrote(&m_dsp, 0);
            writePages();
        }
        ogg_stream_clear(&m_stream);
        vorbis_block_clear(&m_block);
        vorbis_dsp_clear(&m_dsp);
        vorbis_comment_clear(&m_comment);
        vorbis_info_clear(&m_info);
        m_encoderReady = false;
    }
    if (m_file) {
        if (fclose(m_file) != 0) fail("Error while writing to an ogg file.");
        m_file = nullptr;
    }
    std::vector<float>().swap(m_stage);
    return !failed();
}
