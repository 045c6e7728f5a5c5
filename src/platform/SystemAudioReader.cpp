#include "platform/SystemAudioReader.h"

#include "platform/BoundedWork.h"
#include "platform/OpenGuard.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/intreadwrite.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numeric>
#include <sys/stat.h>
#include <time.h>
#include <vector>

namespace {

// The container formats the reader may open: audio files only. Playlist and list demuxers (hls,
// concat, ...) and picture-sequence demuxers, which fetch URLs or open other files, are not among them.
const char* const audioDemuxers = "aac,ac3,aiff,amr,ape,asf,au,caf,dsf,dts,eac3,flac,loas,matroska,mov,mp3,mpc,mpc8,"
                                  "ogg,shn,tak,tta,voc,w64,wav,wv,xwma";

// Demuxers of bare elementary streams.
const char* const rawDemuxers = "aac,ac3,dts,eac3,loas,mp3";

// Audio decoded and thrown away before a seek target, seconds: AAC needs about 0.1 s to settle
// after a jump.
constexpr double seekPreroll = 0.1;
// Decoding errors in one call after which the rest of a file is given up.
constexpr int maxErrors = 1000;

// The most work an open may take. FFmpeg stores every tag in a list it searches on each insert, so a file
// with tens of thousands of tags takes seconds to open; past this the file is refused, so no file holds
// the thread that asked for it (the loading thread, when a deck loads) for longer. The open runs on a
// thread of its own, which stops at its next read once the caller has gone on (the tags FFmpeg parses in
// one step its interrupt does not reach are counted before, see OpenGuard.h). The bound counts the opening
// thread's processor time: on a busy machine (analysis, a build) an ordinary file waits for the processor
// far longer than it works, and must not be refused for that.
constexpr std::chrono::milliseconds openDeadline{1000};
// The wall-clock time an open may take, waits included (a stalled network folder).
constexpr std::chrono::milliseconds openWallDeadline{10000};

// The calling thread's processor time so far.
std::chrono::nanoseconds threadCpuTime() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

void quietLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

} // namespace

struct SystemAudioReader::Impl {
    AVFormatContext* format = nullptr;
    // While an open runs: when it must be done, in the opening thread's processor time and on the wall
    // clock. FFmpeg asks between its reads (interrupted()), on the thread that opens.
    std::chrono::nanoseconds deadline = std::chrono::nanoseconds::max();
    std::chrono::steady_clock::time_point wallDeadline = std::chrono::steady_clock::time_point::max();
    bool timedOut = false;
    bool tooMuchWork = false; // its processor time ran out (a file that is slow to open every time)
    // While an open runs on its thread: the caller's side of it (set when the caller no longer waits).
    BoundedWork::Progress* progress = nullptr;
    bool pastWorkDeadline() const { return threadCpuTime() > deadline; }
    bool pastDeadline() const {
        return pastWorkDeadline() || std::chrono::steady_clock::now() > wallDeadline ||
               (progress && progress->abandoned.load());
    }
    const AVCodec* decoder = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    AVAudioFifo* fifo = nullptr; // converted 16-bit frames waiting to be read
    int stream = -1;
    AVRational timeBase{1, 1};

    int rate = 0;            // Hz of the delivered audio
    int outChannels = 0;     // 1 or 2
    uint64_t length = 0;     // frames
    int64_t startPts = 0;    // time stamp of the first decoded sample, stream time base
    bool started = false;    // the first frame was decoded
    bool exactTimes = false; // time stamps are at least as fine as samples
    // Codecs whose every decoded frame starts on a multiple of a fixed frame length (WMA), with time
    // stamps coarser than a sample: the frames seen so far give that length (the greatest common
    // divisor of their sizes), and a frame's rounded time stamp is moved onto its exact start.
    bool onLattice = false;
    int64_t latticeStep = 0; // frames

    // Raw streams and streams without a declared length have no trustworthy time stamps after a
    // jump: their packets are stamped with the running sum of packet durations from the start.
    bool countedTimes = false;
    int64_t packetClock = 0;       // the next packet's stamp, stream time base
    int64_t skipUntil = INT64_MIN; // packets ending before this are passed over undecoded

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

    // Opens the file, finds its length and decodes its first frames; false when it can't be read.
    bool openAndMeasure(const std::string& path);

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

    // A fresh decoder: a flushed one (AAC's) does not start exactly as a new one does.
    bool openCodec() {
        avcodec_free_context(&codec);
        codec = avcodec_alloc_context3(decoder);
        if (!codec || avcodec_parameters_to_context(codec, format->streams[stream]->codecpar) < 0) return false;
        codec->thread_count = 1; // one decoding thread per reader: the caller's
        codec->pkt_timebase = timeBase;
        return avcodec_open2(codec, decoder, nullptr) >= 0;
    }

    static int interrupted(void* opaque) {
        Impl* self = static_cast<Impl*>(opaque);
        if (self->pastWorkDeadline()) self->tooMuchWork = true;
        if (self->pastDeadline()) self->timedOut = true;
        return self->timedOut ? 1 : 0;
    }

    bool openInput(const std::string& path) {
        format = avformat_alloc_context();
        if (!format) return false;
        format->interrupt_callback.callback = &Impl::interrupted;
        format->interrupt_callback.opaque = this;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        av_dict_set(&options, "format_whitelist", audioDemuxers, 0);
        // The "file:" prefix keeps a name with a colon from being taken for another protocol.
        std::string url = "file:" + path;
        int ret = avformat_open_input(&format, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (ret < 0) return false;
        if (avformat_find_stream_info(format, nullptr) < 0) return false;
        stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (stream < 0 || !decoder) return false;
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (int(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
        timeBase = format->streams[stream]->time_base;
        AVCodecID id = format->streams[stream]->codecpar->codec_id;
        onLattice = id == AV_CODEC_ID_WMAV1 || id == AV_CODEC_ID_WMAV2 || id == AV_CODEC_ID_WMAPRO ||
                    id == AV_CODEC_ID_WMALOSSLESS;
        if (timeBase.num <= 0 || timeBase.den <= 0 || !openCodec()) return false;
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        return packet && frame;
    }

    // The sum of every packet's duration less the padding the decoder drops at the end (LAME's
    // gapless information), stream time base: the length of a stream whose header does not say.
    int64_t measureByPackets() {
        int64_t summed = 0, endPadding = 0; // samples at the stream's declared rate
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == stream) {
                if (packet->duration > 0) summed += packet->duration;
                size_t size = 0;
                const uint8_t* skip = av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
                if (skip && size >= 8) endPadding += AV_RL32(skip + 4);
            }
            av_packet_unref(packet);
        }
        int declaredRate = format->streams[stream]->codecpar->sample_rate;
        if (declaredRate > 0) summed -= av_rescale_q(endPadding, AVRational{1, declaredRate}, timeBase);
        return summed;
    }

    // Where the audio ends by the stream's own duration, else the container's, stream time base;
    // AV_NOPTS_VALUE when neither says or both are only a guess from the bit rate.
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

    // Converts to 16 bits at the delivered rate with at most two channels; rebuilt whenever the
    // decoded format changes (chained streams may change it).
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
        int64_t at = av_rescale_q(pts - startPts, timeBase, AVRational{1, rate});
        // One tick of the time stamps, frames; a lattice far coarser than it gives the exact start.
        double tick = av_q2d(timeBase) * rate;
        if (onLattice && tick > 1.0 && latticeStep > 4 * tick + 4) {
            int64_t snapped = (at + (at >= 0 ? latticeStep / 2 : -latticeStep / 2)) / latticeStep * latticeStep;
            if (std::abs(double(snapped - at)) <= tick + 1) return snapped;
        }
        return at;
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
        if (onLattice) latticeStep = std::gcd(latticeStep, int64_t(f->nb_samples));
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

    // Reads the stream's next packet to be decoded into `packet`; false at the end of the input.
    bool readPacket() {
        for (;;) {
            if (av_read_frame(format, packet) < 0) return false;
            if (packet->stream_index == stream) {
                if (!countedTimes) return true;
                packet->pts = packet->dts = packetClock;
                packetClock += std::max<int64_t>(packet->duration, 0);
                if (packetClock > skipUntil) return true; // else before the pre-roll: not decoded
            }
            av_packet_unref(packet);
        }
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
            if (!readPacket()) {
                avcodec_send_packet(codec, nullptr); // drain what the decoder holds
                inputEnded = true;
                continue;
            }
            int sent = avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            if (sent < 0 && ++errors > maxErrors) return false;
        }
        return av_audio_fifo_size(fifo) > before;
    }

    // Frames decoded and thrown away before a seek target: the codec's own pre-roll (Opus) or 0.1 s.
    int64_t prerollFrames() const {
        const AVCodecParameters* par = format->streams[stream]->codecpar;
        int64_t own =
            par->seek_preroll > 0 && par->sample_rate > 0 ? av_rescale(par->seek_preroll, rate, par->sample_rate) : 0;
        return std::max(own, int64_t(std::ceil(seekPreroll * rate)));
    }

    bool restartDecoding() {
        av_audio_fifo_reset(fifo);
        swr_free(&swr);
        swrFormat = -1;
        inputEnded = decoderEnded = false;
        return openCodec();
    }

    // Raw streams: back to the start, then through the packets without decoding them up to the
    // pre-roll. The count is the same as a straight read's, so is the frame.
    bool seekCounted(uint64_t frame) {
        const AVStream* st = format->streams[stream];
        int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        if (avformat_seek_file(format, stream, INT64_MIN, start, start, 0) < 0 || !restartDecoding()) return false;
        packetClock = 0;
        int64_t from = int64_t(frame) - prerollFrames();
        skipUntil = av_rescale_q(from, AVRational{1, rate}, timeBase);
        position = frame;
        decodedEnd = 0;
        discarding = true;
        decodeMore();
        return true;
    }

    // Land before the target by time stamp, then decode up to it. When the demuxer lands after
    // the target (an estimate), go further back, at last to the very start.
    bool seekByTime(uint64_t frame) {
        int64_t preroll = prerollFrames();
        bool moved = false;
        for (int attempt = 0; attempt < 4; ++attempt, preroll *= 8) {
            // Before the first sample too: a stream's first packets may carry the encoder delay
            // (AAC's priming), which the decoder needs to start cleanly.
            int64_t back = attempt == 3 ? INT32_MAX : preroll;
            int64_t from = int64_t(frame) - back;
            int64_t ts = startPts + av_rescale_q(from, AVRational{1, rate}, timeBase);
            if (avformat_seek_file(format, stream, INT64_MIN, ts, ts, 0) < 0 &&
                avformat_seek_file(format, stream, INT64_MIN, ts, ts, AVSEEK_FLAG_ANY) < 0)
                continue;
            if (!restartDecoding()) return false;
            moved = true;
            position = frame;
            decodedEnd = from;
            discarding = true;
            if (!decodeMore()) return true; // nothing from the target on: reads return the end
            // The first frame kept shows where the demuxer really landed.
            if (decodedEnd - av_audio_fifo_size(fifo) <= int64_t(frame)) return true;
        }
        return moved;
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
    if (OpenGuard::refused(path)) return false;
    struct Attempt {
        std::unique_ptr<Impl> reader{new Impl};
        bool opened = false, tooLong = false, tooMuchWork = false;
    };
    auto attempt = std::make_shared<Attempt>();
    const BoundedWork::Outcome outcome = BoundedWork::run(
        [attempt, path](BoundedWork::Progress& progress) {
            Impl& r = *attempt->reader;
            r.progress = &progress;
            r.deadline = threadCpuTime() + openDeadline;
            r.wallDeadline = std::chrono::steady_clock::now() + openWallDeadline;
            attempt->opened = r.openAndMeasure(path);
            // Also when FFmpeg finished a step it could not interrupt: the time is spent either way, and a
            // file this slow to open is slow to open every time.
            attempt->tooMuchWork = r.tooMuchWork || r.pastWorkDeadline();
            attempt->tooLong = r.timedOut || r.pastDeadline();
            r.progress = nullptr;
            r.deadline = std::chrono::nanoseconds::max(); // reads and seeks are not bounded
            r.wallDeadline = std::chrono::steady_clock::time_point::max();
        },
        openDeadline, openWallDeadline);
    if (outcome != BoundedWork::Outcome::Done || attempt->tooLong) {
        const std::string why =
            "opening it took longer than " + std::to_string(openDeadline.count()) + " ms (too many tags?)";
        fprintf(stderr, "tarlume: refused \"%s\": %s\n", path.c_str(), why.c_str());
        // Not a wait for a slow disk: the file itself, which would take as long every time.
        const bool done = outcome == BoundedWork::Outcome::Done; // else the attempt is no longer ours to read
        if (outcome == BoundedWork::Outcome::TooMuchWork || (done && attempt->tooMuchWork))
            OpenGuard::remember(path, why);
        return false;
    }
    if (!attempt->opened) return false;
    impl = std::move(attempt->reader);
    return true;
}

bool SystemAudioReader::Impl::openAndMeasure(const std::string& path) {
    if (!openInput(path)) return false;
    // Elementary streams without a container (ADTS, MPEG audio, AC-3, DTS) get their time stamps
    // from the demuxer's estimates, which a seek by time would trust: they are counted instead.
    bool raw = av_match_name(format->iformat->name, rawDemuxers);
    int64_t end = raw ? AV_NOPTS_VALUE : declaredEnd();
    if (end == AV_NOPTS_VALUE) {
        // Count the packets, then start again on a fresh input. The count takes time in proportion to the
        // length, as a read does: it is not held against the open's bound (whose time is kept for the rest).
        const auto before = threadCpuTime();
        const auto left = deadline - before;
        const auto wallLeft = wallDeadline - std::chrono::steady_clock::now();
        deadline = std::chrono::nanoseconds::max();
        wallDeadline = std::chrono::steady_clock::time_point::max();
        end = measureByPackets();
        if (progress) progress->excusedNs += (threadCpuTime() - before).count();
        deadline = threadCpuTime() + left;
        wallDeadline = std::chrono::steady_clock::now() + wallLeft;
        release();
        if (!openInput(path)) return false;
        countedTimes = true;
    }
    int fileChannels = codec->ch_layout.nb_channels;
    if (fileChannels < 1) return false;
    outChannels = std::min(fileChannels, 2);
    fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, outChannels, 4096);
    if (!fifo || !decodeMore() || rate < 1) return false;

    // With time stamps finer than a sample, the length runs from the first decoded sample (after any
    // encoder delay the container trims) to the declared end, and reads stop there (AAC's end
    // padding is not audio). Coarser time stamps (ASF's milliseconds) only give an estimate: reads
    // then go on to the decoder's end.
    exactTimes = av_q2d(timeBase) * rate <= 1.0;
    int64_t frames = av_rescale_q(end - (exactTimes ? startPts : 0), timeBase, AVRational{1, rate});
    if (frames < 1) return false;
    length = uint64_t(std::min<int64_t>(frames, UINT32_MAX));
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
        bool ok = r.restartDecoding();
        r.position = frame;
        r.decoderEnded = true; // reads return the end
        return ok;
    }
    return r.countedTimes ? r.seekCounted(frame) : r.seekByTime(frame);
}
