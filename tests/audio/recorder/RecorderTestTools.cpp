#include "RecorderTestTools.h"
#include "foundation/modTools.h"

#include <cstring>
#include <dirent.h>
#include <fstream>

#include <vorbis/vorbisfile.h>

namespace rectest {

std::string readBytes(const std::string& path) {
    return readFileContents(path);
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(at + size_t(i)));
    return v;
}

int16_t le16(const std::string& bytes, size_t at) {
    return static_cast<int16_t>(static_cast<unsigned char>(bytes.at(at)) |
                                (static_cast<unsigned char>(bytes.at(at + 1)) << 8));
}

int countFiles(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
    closedir(dir);
    return count;
}

bool waitFor(const std::function<bool()>& done, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_old);
    m_oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_old;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    signal(SIGXFSZ, m_oldHandler);
}

OggRead readOgg(const std::string& path) {
    OggRead result;
    OggVorbis_File vf;
    if (ov_fopen(path.c_str(), &vf) != 0) return result;
    result.opened = true;
    vorbis_info* info = ov_info(&vf, -1);
    result.rate = info->rate;
    result.channels = info->channels;
    result.nominalBitrate = info->bitrate_nominal;
    result.frames = ov_pcm_total(&vf, -1);
    result.serial = ov_serialnumber(&vf, -1);
    if (char* encoder = vorbis_comment_query(ov_comment(&vf, -1), "ENCODER", 0)) result.encoder = encoder;
    float** pcm = nullptr;
    int section = 0;
    long got;
    while ((got = ov_read_float(&vf, &pcm, 4096, &section)) > 0) {
        result.left.insert(result.left.end(), pcm[0], pcm[0] + got);
        result.right.insert(result.right.end(), pcm[info->channels > 1 ? 1 : 0], pcm[info->channels > 1 ? 1 : 0] + got);
    }
    ov_clear(&vf);
    return result;
}

} // namespace rectest
