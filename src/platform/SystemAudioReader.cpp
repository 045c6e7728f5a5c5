#include "platform/SystemAudioReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace {

// The container formats the reader may open: audio files only. Playlist and list demuxers (hls,
// concat, ...) and picture-sequence demuxers, which fetch URLs or open other files, are not among them.
const char* const audioDemuxers = "aac,ac3,aiff,amr,ape,asf,au,caf,dsf,dts,eac3,flac,loas,matroska,mov,mp3,mpc,mpc8,"
                                  "ogg,shn,tak,tta,voc,w64,wav,wv,xwma";

// Decoded audio decoded and thrown away before a seek target, seconds: AAC needs about 0.1 s to
// settle after a jump.
constexpr double seekPreroll = 0.1;
// Consecutive decoding errors after which the rest of a file is given up.
constexpr int maxErrors = 1000;

void quietLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

} // namespace

struct SystemAudioReader::Impl {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    AVAudioFifo* fifo = nullptr; // converted 16-bit frames waiting to be read
    int stream = -1;
    AVRational timeBase{1, 1};

    int rate = 0; // Hz of the delivered audio
    int outChannels = 0;
    uint64_t length = 0;     // frames
    int64_t startPts = 0;    // time stamp of the first decoded sample, in the stream's time base
    bool started = false;    // the first frame was decoded
    bool exactTimes = false; // time stamps are at least as fine as samples

    // The input the converter was set up for.
    int swrFormat = -1;
    int swrRate = 0;
    AVChannelLayout swrLayout{};
    std::vector<int16_t> converted;

    bool inputEnded = false;   // the demuxer is exhausted and the decoder was told so
    bool decoderEnded = false; // every decoded frame was taken
    uint64_t position = 0;     // frame index of the next frame read() hands out
    int64_t decodedEnd = 0;    // frame index just past the last frame put into the fifo
    bool discarding = false;   // after a seek: drop decoded frames before `position`

    ~Impl() { release(); }

    void release() {
        swr_free(&swr);
        if (fifo) av_audio_fifo_free(fifo);
        fifo = nullptr;
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        av_channel_layout_uninit(&swrLayout);
        swrFormat = -1;
    }

    bool openInput(const std::string& path) {
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        av_dict_set(&options, "format_whitelist", audioDemuxers, 0);
        // The "file:" prefix keeps a name with a colon from being taken for another protocol.
        std::string url = "file:" + path;
        int ret = avformat_open_input(&format, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (ret < 0) return false;
        if (avformat_find_stream_info(format, nullptr) < 0) return false;
        const AVCodec* decoder = nullptr;
        stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (stream < 0 || !decoder) return false;
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (int(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
        timeBase = format->streams[stream]->time_base;
        if (timeBase.num <= 0 || timeBase.den <= 0) return false;
        codec = avcodec_alloc_context3(decoder);
        if (!codec || avcodec_parameters_to_context(codec, format->streams[stream]->codecpar) < 0) return false;
        codec->thread_count = 1; // one decoding thread per reader: the caller's
        codec->pkt_timebase = timeBase;
        if (avcodec_open2(codec, decoder, nullptr) < 0) return false;
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        return packet && frame;
    }

    // Where the audio ends, in the stream's time base, by reading every packet's time stamps: for
    // streams whose header does not say.
    int64_t measureByPackets() {
        int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE, summed = 0;
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == stream) {
                summed += packet->duration;
                if (packet->pts != AV_NOPTS_VALUE) {
                    if (first == AV_NOPTS_VALUE || packet->pts < first) first = packet->pts;
                    end = std::max(end == AV_NOPTS_VALUE ? packet->pts : end, packet->pts + packet->duration);
                }
            }
            av_packet_unref(packet);
        }
        return end != AV_NOPTS_VALUE && end > first ? end : summed;
    }

    // Where the audio ends by the stream's own duration, else the container's, in the stream's
    // time base; AV_NOPTS_VALUE when neither says or both are only a guess from the bit rate.
    int64_t declaredEnd() const {
        if (format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return AV_NOPTS_VALUE;
        const AVStream* st = format->streams[stream];
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
            int64_t end = (st->start_time != AV_NOPTS_VALUE ? st->start_time : 0) + st->duration;
            // Ogg Opus granules count the pre-skip, which the decoder drops.
            if (st->codecpar->codec_id == AV_CODEC_ID_OPUS && strcmp(format->iformat->name, "ogg") == 0)
                end -= av_rescale_q(st->codecpar->initial_padding, AVRational{1, 48000}, timeBase);
            return end;
        }
        if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
            int64_t start = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
            return av_rescale_q(start + format->duration, AV_TIME_BASE_Q, timeBase);
        }
        return AV_NOPTS_VALUE;
    }

    bool setupConverter(const AVFrame* f) {
        if (swr && f->format == swrFormat && f->sample_rate == swrRate &&
            av_channel_layout_compare(&f->ch_layout, &swrLayout) == 0)
            return true;
        swr_free(&swr);
        av_channel_layout_uninit(&swrLayout);
        AVChannelLayout in{};
        if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || !av_channel_layout_check(&f->ch_layout))
            av_channel_layout_default(&in, f->ch_layout.nb_channels);
        else if (av_channel_layout_copy(&in, &f->ch_layout) < 0)
            return false;
        AVChannelLayout out{};
        av_channel_layout_default(&out, outChannels);
        int ret = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, rate, &in, AVSampleFormat(f->format),
                                      f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (ret < 0 || swr_init(swr) < 0) {
            swr_free(&swr);
            return false;
        }
        swrFormat = f->format;
        swrRate = f->sample_rate;
        av_channel_layout_copy(&swrLayout, &f->ch_layout);
        return true;
    }

    // Where a decoded frame starts, in frames from the first sample.
    int64_t framePosition(const AVFrame* f) const {
        int64_t pts = f->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) return decodedEnd;
        return av_rescale_q(pts - startPts, timeBase, AVRational{1, rate});
    }

    // Converts one decoded frame into the fifo (after a seek, only its part from the target on).
    bool convertFrame(const AVFrame* f) {
        if (f->nb_samples <= 0 || f->sample_rate <= 0 || f->ch_layout.nb_channels <= 0) return true;
        if (!started) {
            // The first decoded frame tells the true rate (HE-AAC declares its core rate) and
            // where the first sample's time stamp lies.
            started = true;
            rate = f->sample_rate;
            startPts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : 0;
        }
        if (!setupConverter(f)) return false;
        int capacity = swr_get_out_samples(swr, f->nb_samples);
        if (capacity <= 0) return true;
        converted.resize(size_t(capacity) * size_t(outChannels));
        uint8_t* to = reinterpret_cast<uint8_t*>(converted.data());
        int got = swr_convert(swr, &to, capacity, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
        if (got <= 0) return got == 0;
        int64_t at = framePosition(f);
        int skip = 0;
        if (discarding) {
            if (at + got <= int64_t(position)) {
                decodedEnd = at + got;
                return true;
            }
            skip = int(std::max<int64_t>(0, int64_t(position) - at));
            discarding = false;
            at += skip;
        }
        decodedEnd = at + (got - skip);
        void* from = converted.data() + size_t(skip) * size_t(outChannels);
        return av_audio_fifo_write(fifo, &from, got - skip) == got - skip;
    }

    // Decodes until the fifo grew or the stream ended. False at the end.
    bool decodeMore() {
        int errors = 0;
        int before = av_audio_fifo_size(fifo);
        while (!decoderEnded) {
            int ret = avcodec_receive_frame(codec, frame);
            if (ret == 0) {
                bool ok = convertFrame(frame);
                av_frame_unref(frame);
                if (!ok) return false;
                if (av_audio_fifo_size(fifo) > before) return true;
                continue;
            }
            if (ret == AVERROR_EOF) {
                decoderEnded = true;
                break;
            }
            if (ret != AVERROR(EAGAIN) && ++errors > maxErrors) return false;
            if (inputEnded) {
                if (ret == AVERROR(EAGAIN)) decoderEnded = true; // nothing more will come
                continue;
            }
            ret = av_read_frame(format, packet);
            if (ret < 0) {
                avcodec_send_packet(codec, nullptr); // drain what the decoder holds
                inputEnded = true;
                continue;
            }
            if (packet->stream_index == stream) {
                if (avcodec_send_packet(codec, packet) < 0 && ++errors > maxErrors) {
                    av_packet_unref(packet);
                    return false;
                }
            }
            av_packet_unref(packet);
        }
        return av_audio_fifo_size(fifo) > before;
    }

    void restartDecoding() {
        avcodec_flush_buffers(codec);
        av_audio_fifo_reset(fifo);
        swr_free(&swr);
        swrFormat = -1;
        inputEnded = decoderEnded = false;
    }
};

SystemAudioReader::SystemAudioReader() {}

SystemAudioReader::~SystemAudioReader() {
    close();
}

void SystemAudioReader::close() {
    impl.reset();
}

bool SystemAudioReader::open(const std::string& path) {
    close();
    quietLogging();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false; // folders, pipes, devices
    std::unique_ptr<Impl> r(new Impl);
    if (!r->openInput(path)) return false;
    int64_t end = r->declaredEnd();
    if (end == AV_NOPTS_VALUE) {
        // Count the packets, then start again on a fresh input.
        end = r->measureByPackets();
        r->release();
        if (!r->openInput(path)) return false;
    }
    int fileChannels = r->codec->ch_layout.nb_channels;
    if (fileChannels < 1) return false;
    r->outChannels = std::min(fileChannels, 2);
    r->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, r->outChannels, 4096);
    if (!r->fifo || !r->decodeMore() || r->rate < 1) return false;
    // With time stamps finer than a sample, the length runs from the first decoded sample (after any
    // encoder delay the container trims) to the declared end, and reads stop there (AAC's end
    // padding is not audio). Coarser time stamps (ASF's milliseconds) only give an estimate: reads
    // then go on to the decoder's end.
    r->exactTimes = av_q2d(r->timeBase) * r->rate <= 1.0;
    int64_t frames = av_rescale_q(end - (r->exactTimes ? r->startPts : 0), r->timeBase, AVRational{1, r->rate});
    if (frames < 1) return false;
    r->length = uint64_t(std::min<int64_t>(frames, UINT32_MAX));
    impl = std::move(r);
    return true;
}

double SystemAudioReader::sampleRate() const {
    return impl ? impl->rate : 0;
}
int SystemAudioReader::channels() const {
    return impl ? impl->outChannels : 0;
}
uint64_t SystemAudioReader::lengthFrames() const {
    return impl ? impl->length : 0;
}

int SystemAudioReader::read(int16_t* out, int maxFrames) {
    if (!impl || !out || maxFrames <= 0) return 0;
    Impl& r = *impl;
    uint64_t left = r.exactTimes ? (r.position < r.length ? r.length - r.position : 0) : UINT64_MAX;
    int want = int(std::min<uint64_t>({uint64_t(maxFrames), uint64_t(maxFramesPerRead), left}));
    if (want == 0) return 0;
    while (av_audio_fifo_size(r.fifo) < want)
        if (!r.decodeMore()) break;
    void* to = out;
    int got = av_audio_fifo_read(r.fifo, &to, std::min(want, av_audio_fifo_size(r.fifo)));
    if (got <= 0) return 0;
    r.position += uint64_t(got);
    return got;
}

bool SystemAudioReader::seek(uint64_t frame) {
    if (!impl) return false;
    Impl& r = *impl;
    if (frame >= r.length) {
        r.restartDecoding();
        r.position = frame;
        r.decoderEnded = true; // reads return the end
        return true;
    }
    // Land before the target, then decode up to it. When the demuxer lands after its start (raw
    // streams seek by estimate), go further back, at last to the very start.
    double preroll = seekPreroll;
    bool moved = false;
    for (int attempt = 0; attempt < 4; ++attempt, preroll *= 8) {
        int64_t back = attempt == 3 ? int64_t(frame) : int64_t(std::ceil(preroll * r.rate));
        int64_t from = std::max<int64_t>(0, int64_t(frame) - back);
        int64_t ts = r.startPts + av_rescale_q(from, AVRational{1, r.rate}, r.timeBase);
        if (avformat_seek_file(r.format, r.stream, INT64_MIN, ts, ts, 0) < 0 &&
            avformat_seek_file(r.format, r.stream, INT64_MIN, ts, ts, AVSEEK_FLAG_ANY) < 0)
            continue;
        moved = true;
        r.restartDecoding();
        r.position = frame;
        r.decodedEnd = from;
        r.discarding = true;
        if (!r.decodeMore()) return true; // nothing from the target on: reads return the end
        // The first frame kept shows where the demuxer really landed.
        if (r.decodedEnd - av_audio_fifo_size(r.fifo) <= int64_t(frame)) return true;
    }
    return moved;
}
