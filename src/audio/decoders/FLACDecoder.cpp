// FLAC through libFLAC's stream decoder.
#include "audio/decoders/AudioDecoderFormats.h"

#include "foundation/modTools.h"
#include "platform/OpenGuard.h"

#include <algorithm>

namespace {
// Frames one read hands out at most: a 4,096-frame block comes as 2,304 then 1,792.
constexpr unsigned framesPerFlacRead = 2304;
} // namespace

struct AudioDecoderFlacCallbacks {
    // Runs inside process_single, and inside seek_absolute with the block that holds the target
    // (from the target on). Blocks beyond what the current read takes wait in the pending block.
    static FLAC__StreamDecoderWriteStatus write_callback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                         const FLAC__int32* const buffer[], void* client) {
        AudioDecoder& d = *static_cast<AudioDecoder*>(client);
        AudioDecoder::FlacState& f = *d.flac;
        f.gotBlock = true;
        unsigned frames = frame->header.blocksize;
        int sourceChannels = int(frame->header.channels);
        int depth = int(frame->header.bits_per_sample);
        if (frames == 0 || sourceChannels < 1 || depth < 1 || depth > 32)
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        int ch = d.channels;
        auto sample = [&](unsigned i, int c) {
            FLAC__int32 v = buffer[std::min(c, sourceChannels - 1)][i];
            // Clipped: a damaged frame may decode beyond its depth, which must not wrap into noise.
            int64_t s = depth >= 16 ? int64_t(v) >> (depth - 16) : int64_t(v) * (1 << (16 - depth));
            return short(std::clamp<int64_t>(s, -32768, 32767));
        };
        unsigned direct = 0;
        if (f.out) {
            direct = std::min(frames, framesPerFlacRead);
            for (unsigned i = 0; i < direct; ++i)
                for (int c = 0; c < ch; ++c)
                    f.out[i * unsigned(ch) + unsigned(c)] = sample(i, c);
            f.written = int(direct);
        }
        if (direct < frames) {
            f.convert.resize(size_t(frames - direct) * size_t(ch));
            for (unsigned i = direct; i < frames; ++i)
                for (int c = 0; c < ch; ++c)
                    f.convert[(i - direct) * unsigned(ch) + unsigned(c)] = sample(i, c);
            d.storePending(f.convert.data(), f.convert.size());
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void metadata_callback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
        AudioDecoder& d = *static_cast<AudioDecoder*>(client);
        const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
        d.flac->totalFrames = info.total_samples;
        d.flac->fileChannels = int(info.channels);
        d.samplerate = float(info.sample_rate);
        d.bits = int(info.bits_per_sample);
    }

    // Decoding goes on after an error. Only a file's first error is reported: a damaged file can
    // have thousands, and the first says what is wrong.
    static void error_callback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* client) {
        AudioDecoder& d = *static_cast<AudioDecoder*>(client);
        if (d.flac->errorReported) return;
        d.flac->errorReported = true;
        fprintf(stderr, "Got error callback: %s\n", FLAC__StreamDecoderErrorStatusString[status]);
    }
};

int AudioDecoder::openFileFlac(const std::string& name) {
    // libFLAC walks every metadata block before the first frame: millions of empty ones keep it busy for seconds,
    // at every load. Such a file is refused, and remembered, as the system reader refuses it.
    if (OpenGuard::refused(name, OpenGuard::Reader::Own)) return -1;
    flac.reset(new FlacState);
    FlacState& f = *flac;
    f.decoder = FLAC__stream_decoder_new();
    if (!f.decoder) return -1;
    // The checksum is only known after a whole uninterrupted pass, and seeking switches it off.
    FLAC__stream_decoder_set_md5_checking(f.decoder, false);
    FILE* file = fileOpen(name, "rb");
    if (!file) return -1;
    if (FLAC__stream_decoder_init_FILE(
            f.decoder, file, AudioDecoderFlacCallbacks::write_callback, AudioDecoderFlacCallbacks::metadata_callback,
            AudioDecoderFlacCallbacks::error_callback, this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        fclose(file); // a decoder that never started does not own it
        return -1;
    }
    // Nothing is reported while the stream opens: a file that is no FLAC stream fails to open and the deck
    // that loads it says so in one line, and a lost sync before a stream that opens lost no audio.
    f.errorReported = true;
    if (!FLAC__stream_decoder_process_until_end_of_metadata(f.decoder)) return -1;
    // A stream written through a pipe may leave its total at 0: the system reader measures those.
    if (f.totalFrames == 0 || f.fileChannels < 1 || samplerate < 1) return -1;
    f.errorReported = false;
    channels = std::min(f.fileChannels, maxChannels);
    length = unsigned(std::min<uint64_t>(f.totalFrames, UINT32_MAX));
    type = TYPE_FLAC;
    return 0;
}

int AudioDecoder::readDataFlac(short* out) {
    FlacState& f = *flac;
    int bytes = takePending(out, size_t(framesPerFlacRead) * size_t(channels));
    if (bytes || f.atEnd) return bytes;
    f.out = out;
    f.written = 0;
    // A corrupt frame is reported and skipped without output: go on to the next one.
    for (;;) {
        f.gotBlock = false;
        bool ok = FLAC__stream_decoder_process_single(f.decoder);
        FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(f.decoder);
        if (f.gotBlock || !ok || state == FLAC__STREAM_DECODER_END_OF_STREAM || state >= FLAC__STREAM_DECODER_OGG_ERROR)
            break;
    }
    f.out = nullptr;
    return f.written * channels * int(sizeof(short));
}

void AudioDecoder::seekFlac(unsigned int frame) {
    FlacState& f = *flac;
    pendingStart = pendingEnd = 0;
    f.out = nullptr; // the block delivered inside the seek goes to the pending block
    f.atEnd = frame >= length;
    if (f.atEnd) return;
    if (!FLAC__stream_decoder_seek_absolute(f.decoder, frame)) {
        pendingStart = pendingEnd = 0;
        if (FLAC__stream_decoder_get_state(f.decoder) == FLAC__STREAM_DECODER_SEEK_ERROR)
            FLAC__stream_decoder_flush(f.decoder); // decoding cannot go on without it
    }
}

void AudioDecoder::closeFlac() {
    if (flac->decoder) FLAC__stream_decoder_delete(flac->decoder); // finishes and closes the file
    flac.reset();
}
