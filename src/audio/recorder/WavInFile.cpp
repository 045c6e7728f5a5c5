#include "audio/recorder/WavInFile.h"

#include "foundation/ByteOrder.h"
#include "foundation/modTools.h"

#include <cstring>
#include <stdexcept>

namespace {

bool isChunkId(const unsigned char* id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 32 || id[i] > 122) return false;
    return true;
}

// The tail of the PCM sub-format GUID (00000001-0000-0010-8000-00AA00389B71), after its first two bytes.
const unsigned char kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

const uint32_t kFormatPcm = 1;
const uint32_t kFormatExtensible = 0xFFFE;

} // namespace

WavInFile::WavInFile(const char* fileName) {
    std::string quoted = std::string("\"") + (fileName ? fileName : "") + "\"";
    uint64_t fileSize = 0;
    m_file = fileName ? fileOpen(fileName, "rb", &fileSize) : nullptr;
    if (!m_file) throw std::runtime_error("Error : Unable to open file " + quoted + " for reading.");

    auto fail = [&](const std::string& message) {
        fclose(m_file);
        m_file = nullptr;
        throw std::runtime_error(message);
    };
    const std::string corrupt = "File " + quoted + " is corrupt or not a WAV file";
    const std::string unsupported = "File " + quoted + " uses unsupported encoding.";

    unsigned char riff[12];
    if (fread(riff, 1, 12, m_file) != 12 || memcmp(riff, "RIFF", 4) != 0 || memcmp(riff + 8, "WAVE", 4) != 0)
        fail(corrupt);
    uint64_t position = 12; // bytes from the start of the file
    bool haveFormat = false;
    for (;;) {
        unsigned char chunk[8];
        if (fread(chunk, 1, 8, m_file) != 8 || !isChunkId(chunk)) fail(corrupt);
        position += 8;
        uint64_t size = readLE32(chunk + 4);
        uint64_t remaining = fileSize > position ? fileSize - position : 0;
        if (memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) fail(corrupt);
            // A writer that stopped early (or saturated its 32-bit size) leaves less or more than
            // announced: the data is what the file really holds.
            m_dataBytes = size == 0xFFFFFFFFu || size > remaining ? remaining : size;
            break;
        }
        if (size > remaining) fail(corrupt);
        if (memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char format[40];
            if (size < 16) fail(corrupt);
            size_t take = size < 40 ? static_cast<size_t>(size) : 40;
            if (fread(format, 1, take, m_file) != take) fail(corrupt);
            uint32_t tag = readLE16(format);
            if (tag == kFormatExtensible) {
                if (take < 40) fail(corrupt);
                if (readLE16(format + 24) != kFormatPcm || memcmp(format + 26, kPcmGuidTail, 14) != 0)
                    fail(unsupported);
            } else if (tag != kFormatPcm) {
                fail(unsupported);
            }
            m_channels = static_cast<int>(readLE16(format + 2));
            m_sampleRate = static_cast<int>(readLE32(format + 4) & 0x7FFFFFFF);
            m_blockAlign = static_cast<int>(readLE16(format + 12));
            m_bitsPerSample = static_cast<int>(readLE16(format + 14));
            if (m_channels == 0 || m_sampleRate == 0 || m_blockAlign == 0 || m_bitsPerSample == 0) fail(corrupt);
            haveFormat = true;
        }
        // Past the chunk and its pad byte (chunks start at even offsets).
        position += size + (size & 1);
        if (fseeko(m_file, static_cast<off_t>(position), SEEK_SET) != 0) fail(corrupt);
    }
}

WavInFile::~WavInFile() {
    close();
}

void WavInFile::close() {
    if (m_file) fclose(m_file);
    m_file = nullptr;
}

int WavInFile::read(void* buffer, int bytes) {
    if (!m_file || bytes <= 0) return 0;
    uint64_t left = m_dataBytes - m_dataRead;
    size_t want = static_cast<uint64_t>(bytes) < left ? static_cast<size_t>(bytes) : static_cast<size_t>(left);
    size_t got = fread(buffer, 1, want, m_file);
    m_dataRead += got;
    return static_cast<int>(got);
}

bool WavInFile::eof() const {
    return !m_file || m_dataRead >= m_dataBytes;
}

uint64_t WavInFile::getLengthMS() const {
    return getNumSamples() * 1000 / static_cast<uint64_t>(m_sampleRate);
}
