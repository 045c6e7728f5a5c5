// A movie file played for drawing: opened from a local file, decoded on a thread of its own that converts
// each frame due to BGRA pixels of a fixed size into a "newest image" slot, timed by a clock that runs at
// rate 1 and wraps to the start at the end. The main thread plays, stops, scrubs and takes the newest image.
// Nothing here touches GL: the caller uploads the pixels on its own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVFrame;
namespace BoundedWork {
struct Progress;
}

class MovieDecoder {
public:
    static constexpr int kWidth = 720, kHeight = 480; // every frame is converted to this size

    MovieDecoder();
    // Stops and joins the decode thread before anything is freed.
    ~MovieDecoder();
    MovieDecoder(const MovieDecoder&) = delete;
    MovieDecoder& operator=(const MovieDecoder&) = delete;

    // Opens a local file (no other protocol) with a video stream, replacing the present movie, at time 0,
    // stopped, with its first frame as the newest image. False, with *error saying why, when it doesn't open:
    // then there is no movie (time and duration 0).
    bool open(const std::string& path, std::string* error = nullptr);
    void close();
    bool isOpen() const;

    // The duration in ms (0 when the file gives none).
    double durationMs() const;
    // The clock in ms: runs at rate 1 while playing and wraps to 0 at the duration.
    double timeMs() const;
    bool isPlaying() const;
    // Starts or stops the clock (does nothing without a movie or when already in that state).
    void setPlaying(bool play);
    // Moves the clock to `ms` (clamped to the movie) and makes the frame shown at that time the newest image
    // before returning, playing or not: seeks back to a keyframe and decodes forward.
    void scrub(double ms);

    // The newest image not yet taken (kWidth x kHeight, B G R A bytes, top row first) swapped into `pixels`;
    // false when none came since the last take.
    bool takeNewestImage(std::vector<uint8_t>& pixels);
    // Images published since open (tests).
    unsigned long imagesPublished() const;

private:
    struct Av; // the FFmpeg state, guarded by avMutex_
    // Opens the file into `av` up to an open video decoder; "" or why not (any thread, nothing shared).
    static std::string probe(Av& av, const std::string& path, BoundedWork::Progress& progress);
    using Clock = std::chrono::steady_clock;

    void run();
    double clockLocked() const; // stateMutex_ held
    // avMutex_ held: decode from a keyframe at or before `ms` up to the frame shown at `ms` and publish it.
    bool seekAndShow(double ms);
    // avMutex_ held: the next frame into the held frame; false at the end or on an error.
    bool decodeNext();
    // avMutex_ held: converts a frame into the newest-image slot.
    void show(AVFrame* frame);

    mutable std::mutex avMutex_;
    std::unique_ptr<Av> av_;

    mutable std::mutex stateMutex_;
    std::condition_variable wake_;
    bool stop_ = false, playing_ = false, open_ = false;
    double durationMs_ = 0, baseMs_ = 0;
    Clock::time_point startedAt_{};
    unsigned long generation_ = 0; // raised by every open, scrub and play, so the thread rereads its target

    std::vector<uint8_t> newest_; // under stateMutex_
    bool fresh_ = false;
    unsigned long published_ = 0;

    std::thread thread_;
};
