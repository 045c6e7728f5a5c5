// The system reader: every file the own readers do not take, through the platform's audio file reader.
#include "audio/decoders/AudioDecoderFormats.h"
#include "platform/SystemAudioReader.h"

#include <algorithm>

int AudioDecoder::openFileCoreAudio(std::string name) {
    sys.reset(new SystemState);
    sys->reader.reset(new SystemAudioReader);
    SystemAudioReader& r = *sys->reader;
    if (!r.open(name)) return -1;
    channels = r.channels();
    samplerate = float(r.sampleRate());
    length = unsigned(std::min<uint64_t>(r.lengthFrames(), UINT32_MAX));
    if (channels < 1 || channels > maxChannels || samplerate < 1 || length == 0) return -1;
    type = TYPE_SYSTEM;
    return 0;
}

int AudioDecoder::readDataCoreAudio(short* out) {
    int frames = sys->reader->read(out, SystemAudioReader::maxFramesPerRead);
    return frames > 0 ? frames * channels * int(sizeof(short)) : -1;
}

void AudioDecoder::seekCoreAudio(unsigned int frame) {
    sys->reader->seek(frame);
}

void AudioDecoder::closeCoreAudio() {
    sys.reset();
}
