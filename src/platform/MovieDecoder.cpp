#include "platform/MovieDecoder.h"

#include "platform/BoundedWork.h"
#include "platform/OpenGuard.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

struct MovieDecoder::Av {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr; // the held frame: decoded, not yet shown
    SwsContext* scaler = nullptr;
    int stream = -1;
    double timeBase = 0;                             // seconds per stream tick
    int64_t startTicks = 0;                          // the stream's first time stamp
    double frameMs = 40;                             // one frame's duration
    bool held = false;                               // `frame` holds a decoded frame
    double heldMs = 0;                               // its time
    double shownMs = -1;                             // the time of the frame shown last (-1: none)
    bool ended = false;                              // no more frames until the next seek
    bool draining = false;                           // the end of the file was sent to the decoder
    const BoundedWork::Progress* progress = nullptr; // while the probe runs
    std::vector<uint8_t> pixels = std::vector<uint8_t>(size_t(kWidth) * kHeight * 4);

    ~Av() {
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace

std::string MovieDecoder::probe(Av& av, const std::string& path, BoundedWork::Progress& progress) {
    av.format = avformat_alloc_context();
    if (!av.format) return "out of memory";
    // Reads stop once the caller no longer waits. The file's reader keeps its own copy of the callback for
    // the movie's life: it asks the Av, which forgets `progress` when the probe ends.
    av.progress = &progress;
    av.format->interrupt_callback.callback = [](void* p) {
        const BoundedWork::Progress* progress = static_cast<Av*>(p)->progress;
        return progress && progress->abandoned.load() ? 1 : 0;
    };
    av.format->interrupt_callback.opaque = &av;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    // "file:" keeps a name with a colon from being read as another protocol.
    int rc = avformat_open_input(&av.format, ("file:" + path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0) return avError(rc);
    rc = avformat_find_stream_info(av.format, nullptr);
    av.progress = nullptr; // it ends with this call
    if (rc < 0) return avError(rc);
    const AVCodec* codec = nullptr;
    av.stream = av_find_best_stream(av.format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (av.stream < 0 || !codec) return "no video stream";
    AVStream* stream = av.format->streams[av.stream];
    av.codec = avcodec_alloc_context3(codec);
    if (!av.codec || avcodec_parameters_to_context(av.codec, stream->codecpar) < 0) return "no decoder for its video";
    // One thread: the decoder's own worker threads synchronise in ways the thread checker cannot follow, and
    // each deck already decodes on a thread of its own.
    av.codec->thread_count = 1;
    if ((rc = avcodec_open2(av.codec, codec, nullptr)) < 0) return avError(rc);
    if (av.codec->width <= 0 || av.codec->height <= 0) return "no picture size";
    return "";
}

MovieDecoder::MovieDecoder() : thread_([this] { run(); }) {}

MovieDecoder::~MovieDecoder() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool MovieDecoder::open(const std::string& path, std::string* error) {
    close();
    auto fail = [&](const std::string& why) {
        if (error) *error = "the movie \"" + path + "\" does not open: " + why;
        return false;
    };
    // The probe runs on a thread of its own, given a second of its work: a movie with tens of thousands of tags
    // keeps FFmpeg busy for many seconds. Those FFmpeg parses in steps its interrupt does not reach are counted
    // before it sees the file.
    const OpenGuard::Refusal refusal = OpenGuard::check(path);
    if (!refusal.why.empty()) return fail(refusal.why);
    struct Attempt {
        std::unique_ptr<Av> av{new Av};
        std::string why;
    };
    auto attempt = std::make_shared<Attempt>();
    const BoundedWork::Outcome outcome = BoundedWork::run(
        [attempt, path](BoundedWork::Progress& progress) { attempt->why = probe(*attempt->av, path, progress); },
        std::chrono::seconds(1), std::chrono::seconds(10));
    if (outcome != BoundedWork::Outcome::Done) {
        const std::string why = "opening it took longer than 1000 ms (too many tags?)";
        // Not a wait for a slow disk: the file itself, which would take as long every time.
        if (outcome == BoundedWork::Outcome::TooMuchWork) OpenGuard::remember(path, why);
        return fail(why);
    }
    if (!attempt->why.empty()) return fail(attempt->why);
    std::unique_ptr<Av> av = std::move(attempt->av);
    AVStream* stream = av->format->streams[av->stream];
    av->packet = av_packet_alloc();
    av->frame = av_frame_alloc();
    if (!av->packet || !av->frame) return fail("out of memory");
    av->timeBase = av_q2d(stream->time_base);
    av->startTicks = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    const AVRational rate = av_guess_frame_rate(av->format, stream, nullptr);
    if (rate.num > 0 && rate.den > 0) av->frameMs = 1000.0 * rate.den / rate.num;

    double duration = 0;
    if (av->format->duration != AV_NOPTS_VALUE && av->format->duration > 0)
        duration = av->format->duration * 1000.0 / AV_TIME_BASE;
    else if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        duration = stream->duration * av->timeBase * 1000.0;
    if (!std::isfinite(duration) || duration < 0) duration = 0;

    std::lock_guard<std::mutex> avLock(avMutex_);
    av_ = std::move(av);
    if (!seekAndShow(0)) {
        av_.reset();
        return fail("no frame decodes");
    }
    std::lock_guard<std::mutex> lock(stateMutex_);
    open_ = true;
    durationMs_ = duration;
    baseMs_ = 0;
    playing_ = false;
    ++generation_;
    return true;
}

void MovieDecoder::close() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        open_ = false;
        playing_ = false;
        durationMs_ = baseMs_ = 0;
        fresh_ = false;
        ++generation_;
    }
    std::lock_guard<std::mutex> avLock(avMutex_);
    av_.reset();
}

bool MovieDecoder::isOpen() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return open_;
}

double MovieDecoder::durationMs() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return durationMs_;
}

double MovieDecoder::clockLocked() const {
    if (!playing_) return baseMs_;
    double t = baseMs_ + std::chrono::duration<double, std::milli>(Clock::now() - startedAt_).count();
    if (durationMs_ > 0) t = std::fmod(t, durationMs_);
    return t;
}

double MovieDecoder::timeMs() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return clockLocked();
}

bool MovieDecoder::isPlaying() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return playing_;
}

void MovieDecoder::setPlaying(bool play) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!open_ || play == playing_) return;
        if (play) {
            startedAt_ = Clock::now();
        } else {
            baseMs_ = clockLocked();
        }
        playing_ = play;
        ++generation_;
    }
    wake_.notify_all();
}

void MovieDecoder::scrub(double ms) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!open_) return;
        if (!(ms > 0)) ms = 0;
        if (durationMs_ > 0 && ms > durationMs_) ms = durationMs_;
        baseMs_ = ms;
        startedAt_ = Clock::now();
        ++generation_;
    }
    {
        std::lock_guard<std::mutex> avLock(avMutex_);
        if (av_) seekAndShow(ms);
    }
    wake_.notify_all();
}

bool MovieDecoder::takeNewestImage(std::vector<uint8_t>& pixels) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!fresh_) return false;
    pixels.swap(newest_);
    fresh_ = false;
    return true;
}

unsigned long MovieDecoder::imagesPublished() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return published_;
}

bool MovieDecoder::decodeNext() {
    Av& a = *av_;
    if (a.ended) return false;
    for (;;) {
        int rc = avcodec_receive_frame(a.codec, a.frame);
        if (rc == 0) {
            int64_t ts = a.frame->best_effort_timestamp;
            a.heldMs = ts != AV_NOPTS_VALUE
                           ? (ts - a.startTicks) * a.timeBase * 1000.0
                           : (a.held || a.shownMs >= 0 ? std::max(a.heldMs, a.shownMs) + a.frameMs : 0);
            a.held = true;
            return true;
        }
        if (rc == AVERROR_EOF || (rc != AVERROR(EAGAIN))) {
            a.ended = true;
            return false;
        }
        if (a.draining) {
            a.ended = true;
            return false;
        }
        rc = av_read_frame(a.format, a.packet);
        if (rc < 0) {
            a.draining = true;
            avcodec_send_packet(a.codec, nullptr);
            continue;
        }
        if (a.packet->stream_index == a.stream) avcodec_send_packet(a.codec, a.packet);
        av_packet_unref(a.packet);
    }
}

bool MovieDecoder::seekAndShow(double ms) {
    Av& a = *av_;
    AVFrame* best = av_frame_alloc();
    if (!best) return false;
    bool any = false;
    double bestMs = 0;
    // Time stamps of some containers are a little off the frame grid: half a frame either way counts.
    const double slack = a.frameMs * 0.5;
    // Some containers seek only roughly: when the first keyframe found lies past the time, seek from further back.
    for (double back : {0.0, 1000.0, 4000.0, 15000.0, -1.0}) {
        const double from = back < 0 ? 0.0 : std::max(0.0, ms - back);
        const int64_t target = a.startTicks + int64_t(from / 1000.0 / (a.timeBase > 0 ? a.timeBase : 1.0));
        if (back < 0 || avformat_seek_file(a.format, a.stream, INT64_MIN, target, target, 0) < 0)
            av_seek_frame(a.format, a.stream, a.startTicks, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(a.codec);
        a.held = a.ended = a.draining = false;
        a.shownMs = -1;
        // Frames before the first keyframe are not whole pictures.
        bool key = false;
        while (decodeNext()) {
            key = a.frame->key_frame || a.frame->pict_type == AV_PICTURE_TYPE_I;
            if (key) break;
            a.held = false;
        }
        if (!key) {
            if (back < 0) break;
            continue;
        }
        if (a.heldMs <= ms + slack || back < 0 || from <= 0) break;
    }
    // Decode forward to the last frame starting at or before `ms` (give or take the slack) (the first keyframe when
    // none does); only that one is converted. A later frame decoded on the way stays held as the next one to show.
    while (a.held || decodeNext()) {
        if (any && a.heldMs > ms + slack) break;
        av_frame_unref(best);
        av_frame_move_ref(best, a.frame);
        bestMs = a.heldMs;
        a.held = false;
        any = true;
        if (bestMs > ms + slack) break;
    }
    if (any) {
        show(best);
        a.shownMs = bestMs;
    }
    av_frame_free(&best);
    return any;
}

void MovieDecoder::show(AVFrame* frame) {
    Av& a = *av_;
    a.scaler = sws_getCachedContext(a.scaler, frame->width, frame->height, AVPixelFormat(frame->format), kWidth,
                                    kHeight, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!a.scaler) return;
    uint8_t* planes[4] = {a.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {kWidth * 4, 0, 0, 0};
    sws_scale(a.scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    std::lock_guard<std::mutex> lock(stateMutex_);
    newest_ = a.pixels;
    fresh_ = true;
    ++published_;
}

void MovieDecoder::run() {
    for (;;) {
        double now;
        unsigned long generation;
        {
            std::unique_lock<std::mutex> lock(stateMutex_);
            wake_.wait(lock, [this] { return stop_ || (open_ && playing_); });
            if (stop_) return;
            now = clockLocked();
            generation = generation_;
        }
        double waitMs = 0;
        {
            std::lock_guard<std::mutex> avLock(avMutex_);
            {
                std::lock_guard<std::mutex> lock(stateMutex_);
                if (generation != generation_) continue; // scrubbed, stopped or reopened meanwhile
            }
            if (!av_) continue;
            Av& a = *av_;
            if (a.shownMs >= 0 && now + a.frameMs < a.shownMs) {
                seekAndShow(now); // the clock wrapped to the start
            } else if (a.held || decodeNext()) {
                if (a.heldMs + a.frameMs <= now) {
                    a.held = false; // late: the next frame is due too, so this one is never converted
                    a.shownMs = a.heldMs;
                } else if (a.heldMs <= now + a.frameMs * 0.5) {
                    a.held = false;
                    a.shownMs = a.heldMs;
                    show(a.frame);
                } else {
                    waitMs = std::min(a.heldMs - now, 20.0);
                }
            } else {
                waitMs = 10; // the end: wait for the clock to wrap
            }
        }
        if (waitMs > 0) {
            std::unique_lock<std::mutex> lock(stateMutex_);
            const unsigned long seen = generation;
            wake_.wait_for(lock, std::chrono::duration<double, std::milli>(waitMs),
                           [&] { return stop_ || generation_ != seen; });
        }
    }
}
