#include "audio/decoders/mp3interface.h"

#include <cstddef>

namespace {
// One MPEG-1 layer III stereo frame at 16 bits, bytes.
constexpr int frameOutBytes = 4608;
} // namespace

mpg123_handle* InitMP3(int* err, long rate, int channels) {
    int e = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &e);
    if (handle) {
        // Read-ahead would hold each fed frame back until the next one arrives, the info frame
        // would be swallowed and gapless trimming would shift the output: all three would put
        // the output off the frame index the seeks rely on.
        long flags = MPG123_NO_READAHEAD | MPG123_IGNORE_INFOFRAME | MPG123_QUIET |
                     (channels == 1 ? MPG123_MONO_MIX : MPG123_FORCE_STEREO);
        e = mpg123_param(handle, MPG123_FLAGS, flags, 0);
        if (e == MPG123_OK) e = mpg123_format_none(handle);
        if (e == MPG123_OK)
            e = mpg123_format(handle, rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16);
        if (e == MPG123_OK) e = mpg123_open_feed(handle);
        if (e != MPG123_OK) {
            mpg123_delete(handle);
            handle = nullptr;
        }
    }
    if (err) *err = e;
    return handle;
}

int ResetMP3(mpg123_handle* handle) {
    mpg123_close(handle);
    return mpg123_open_feed(handle);
}

void ExitMP3(mpg123_handle* handle) {
    if (!handle) return;
    mpg123_close(handle);
    mpg123_delete(handle);
}

int decodeMP3(mpg123_handle* handle, const void* in, int inSize, void* out, int outSize, unsigned int* done) {
    *done = 0;
    if (outSize < frameOutBytes) return -1;
    unsigned char* to = static_cast<unsigned char*>(out);
    size_t got = 0;
    int ret = mpg123_decode(handle, static_cast<const unsigned char*>(in), size_t(inSize > 0 ? inSize : 0), to,
                            size_t(outSize), &got);
    size_t total = got;
    // A format message or a full buffer leaves decoded samples behind: collect them without new input.
    for (int i = 0; i < 4 && (ret == MPG123_NEW_FORMAT || ret == MPG123_NO_SPACE) && total < size_t(outSize); ++i) {
        ret = mpg123_decode(handle, nullptr, 0, to + total, size_t(outSize) - total, &got);
        total += got;
    }
    *done = unsigned(total);
    if (ret == MPG123_NEED_MORE || ret == MPG123_NEW_FORMAT || ret == MPG123_NO_SPACE || ret == MPG123_OK)
        return total > 0 || ret == MPG123_OK ? 0 : MPG123_NEED_MORE;
    return ret;
}
