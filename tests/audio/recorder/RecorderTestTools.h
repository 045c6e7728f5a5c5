// Shared by the recorder tests: scratch folders, file bytes, waiting for the record thread,
// and reading Ogg Vorbis files back through libvorbisfile.
#pragma once

#include "support/TempDir.h"
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <csignal>

namespace rectest {

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("rec") {}
};

std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);
uint32_t le32(const std::string& bytes, size_t at);
int16_t le16(const std::string& bytes, size_t at);
// Number of entries in a folder besides "." and "..".
int countFiles(const std::string& folder);

// Polls every 5 ms until `done` answers true or `ms` milliseconds have passed; its last answer.
bool waitFor(const std::function<bool()>& done, int ms = 5000);

// While alive: files this process writes stop at `bytes`, and a write past it fails with EFBIG
// instead of killing the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();

private:
    rlimit m_old;
    void (*m_oldHandler)(int);
};

struct OggRead {
    bool opened = false;
    long rate = 0;
    int channels = 0;
    int64_t frames = -1; // total PCM frames as the stream says
    long serial = -1;
    long nominalBitrate = 0;        // bits per second
    std::string encoder;            // the ENCODER comment
    std::vector<float> left, right; // decoded, -1..1
};
OggRead readOgg(const std::string& path);

} // namespace rectest
