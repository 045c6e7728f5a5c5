#include "audio/recorder/WavOutFile.h"

#include "foundation/modTools.h"

#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace {

void putLE(unsigned char* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

} // namespace

void WavOutFile::fillHeader(unsigned char header[kHeaderBytes], int sampleRate, int bitsPerSample, int channels,
                            uint64_t dataBytes) {
    const uint64_t kMax32 = 0xFFFFFFFFu;
    uint64_t blockAlign = static_cast<uint64_t>(channels) * static_cast<uint64_t>(bitsPerSample) / 8;
    memcpy(header, "RIFF", 4);
    putLE(header + 4, dataBytes + 36 < kMax32 ? dataBytes + 36 : kMax32, 4);
    memcpy(header + 8, "WAVE", 4);
    memcpy(header + 12, "fmt ", 4);
    putLE(header + 16, 16, 4);
    putLE(header + 20, 1, 2); // PCM
    putLE(header + 22, static_cast<uint64_t>(channels), 2);
    putLE(header + 24, static_cast<uint64_t>(sampleRate), 4);
    putLE(header + 28, static_cast<uint64_t>(sampleRate) * blockAlign, 4);
    putLE(header + 32, blockAlign, 2);
    putLE(header + 34, static_cast<uint64_t>(bitsPerSample), 2);
    memcpy(header + 36, "data", 4);
    putLE(header + 40, dataBytes < kMax32 ? dataBytes : kMax32, 4);
}

WavOutFile::WavOutFile(const std::string& fileName, int sampleRate, int bitsPerSample, int channels)
    : m_fileName(fileName), m_sampleRate(sampleRate), m_bitsPerSample(bitsPerSample), m_channels(channels) {
    m_file = fileOpen(fileName, "wb");
    if (!m_file) throw std::runtime_error("Error : Unable to open file \"" + fileName + "\" for writing.");
    // Unbuffered: every write reaches the system at once and its result tells exactly what was kept.
    setvbuf(m_file, nullptr, _IONBF, 0);
    unsigned char header[kHeaderBytes];
    fillHeader(header, m_sampleRate, m_bitsPerSample, m_channels, 0);
    if (fwrite(header, 1, kHeaderBytes, m_file) != size_t(kHeaderBytes)) {
        fclose(m_file); // no destructor runs for a constructor that throws
        m_file = nullptr;
        throwWriteError();
    }
}

WavOutFile::~WavOutFile() {
    try {
        close();
    } catch (const std::exception&) {
    }
}

void WavOutFile::throwWriteError() {
    throw std::runtime_error("Error while writing to a wav file.");
}

void WavOutFile::write(const void* buffer, int bytes) {
    if (!m_file) throwWriteError();
    if (bytes <= 0) return;
    size_t written = fwrite(buffer, 1, static_cast<size_t>(bytes), m_file);
    if (written == static_cast<size_t>(bytes)) {
        m_dataBytes += written;
        return;
    }
    // Keep whole frames only, and cut the file there so nothing half-written trails the data.
    size_t blockAlign =
        static_cast<size_t>(m_channels > 0 && m_bitsPerSample >= 8 ? m_channels * m_bitsPerSample / 8 : 1);
    m_dataBytes += written - written % blockAlign;
    clearerr(m_file);
    if (ftruncate(fileno(m_file), static_cast<off_t>(kHeaderBytes + m_dataBytes)) == 0) fseeko(m_file, 0, SEEK_END);
    throwWriteError();
}

void WavOutFile::updateHeader() {
    if (!m_file) throwWriteError();
    unsigned char header[kHeaderBytes];
    fillHeader(header, m_sampleRate, m_bitsPerSample, m_channels, m_dataBytes);
    bool ok = fseeko(m_file, 0, SEEK_SET) == 0 && fwrite(header, 1, kHeaderBytes, m_file) == size_t(kHeaderBytes);
    ok = fseeko(m_file, 0, SEEK_END) == 0 && ok;
    if (!ok) throwWriteError();
}

void WavOutFile::syncToDisk() {
    if (!m_file || fdatasync(fileno(m_file)) != 0) throwWriteError();
}

void WavOutFile::close() {
    if (!m_file) return;
    bool ok = true;
    try {
        updateHeader();
    } catch (const std::runtime_error&) {
        ok = false;
    }
    ok = fclose(m_file) == 0 && ok;
    m_file = nullptr;
    if (!ok) throwWriteError();
}
