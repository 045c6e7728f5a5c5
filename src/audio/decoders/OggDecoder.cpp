// Ogg Vorbis through libvorbisfile.
#include "audio/decoders/AudioDecoderFormats.h"

#include "foundation/modTools.h"

#include <algorithm>
#include <cmath>

namespace {

// Frames one read asks for: a full block of 16-bit stereo, and half of that as floats, so either
// fits the caller's maxReadBytes.
template <typename Sample> constexpr int framesPerOggRead = AudioDecoder::maxReadBytes / int(2 * sizeof(Sample));

size_t readFunc(void* to, size_t size, size_t count, void* source) {
    return fread(to, size, count, static_cast<FILE*>(source));
}
int seekFunc(void* source, ogg_int64_t offset, int whence) {
    return fseeko(static_cast<FILE*>(source), off_t(offset), whence);
}
long tellFunc(void* source) {
    return long(ftello(static_cast<FILE*>(source)));
}

// The same rounding and clipping as ov_read (to the nearest, halves to even, then clipped), so 16-bit output
// matches libvorbisfile's own; done without a library call per sample, so the loop compiles to vector code.
// Clipping first gives the same answers (NaN, whose rounding is out of range, clips to -32768 as there), and
// within the 16-bit range adding and taking away 1.5 x 2^23 rounds a float to the nearest integer.
inline void store(short* to, float v) {
    float x = v * 32768.f;
    if (!(x >= -32768.f)) x = -32768.f;
    if (x > 32767.f) x = 32767.f;
    const float roundingShift = 12582912.f;
    *to = short(int((x + roundingShift) - roundingShift));
}
inline void store(float* to, float v) {
    *to = v;
}

} // namespace

int AudioDecoder::openFileOgg(const std::string& name) {
    ogg.reset(new OggState);
    OggState& o = *ogg;
    o.file.reset(fileOpen(name, "rb"));
    if (!o.file) return -1;
    ov_callbacks callbacks = {readFunc, seekFunc, nullptr, tellFunc}; // the file is closed by us
    if (ov_open_callbacks(o.file.get(), &o.vf, nullptr, 0, callbacks) != 0) return -1;
    o.vfOpen = true;
    ogg_int64_t total = ov_pcm_total(&o.vf, -1);
    vorbis_info* info = ov_info(&o.vf, -1);
    if (total <= 0 || !info || info->channels < 1 || info->rate < 1) return -1;
    channels = std::min(info->channels, maxChannels);
    samplerate = float(info->rate);
    length = unsigned(std::min<ogg_int64_t>(total, UINT32_MAX));
    type = TYPE_OGG;
    return 0;
}

template <typename Sample> int AudioDecoder::readDataOgg(Sample* out) {
    OggState& o = *ogg;
    if (o.atEnd) return 0;
    float** pcm = nullptr;
    long frames = OV_HOLE;
    for (int tries = 0; tries < 8 && frames == OV_HOLE; ++tries) // a hole is a gap in the pages: read on
        frames = ov_read_float(&o.vf, &pcm, framesPerOggRead<Sample>, &o.bitstream);
    if (frames <= 0) return 0;
    // Chained streams may change the channel count from one link to the next.
    vorbis_info* info = ov_info(&o.vf, o.bitstream);
    int linkChannels = info && info->channels > 0 ? info->channels : channels;
    if (channels == 2 && linkChannels >= 2) {
        const float* left = pcm[0];
        const float* right = pcm[1];
        for (long i = 0; i < frames; ++i) {
            store(out + 2 * i, left[i]);
            store(out + 2 * i + 1, right[i]);
        }
    } else {
        for (long i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c)
                store(out + i * channels + c, pcm[std::min(c, linkChannels - 1)][i]);
    }
    return int(frames * channels * long(sizeof(Sample)));
}

template int AudioDecoder::readDataOgg<short>(short*);
template int AudioDecoder::readDataOgg<float>(float*);

void AudioDecoder::seekOgg(unsigned int frame) {
    OggState& o = *ogg;
    o.atEnd = frame >= length;
    if (!o.atEnd && ov_pcm_seek(&o.vf, frame) != 0) o.atEnd = true;
}

void AudioDecoder::closeOgg() {
    if (ogg->vfOpen) ov_clear(&ogg->vf);
    ogg.reset();
}
