// The test's own JACK client beside a program under test: it records the program's output ports
// without a break into a ring of the last seconds, and plays a signal into the program's input ports.
// The program's ports are found by a pattern of its client name, so a renamed or reopened port is
// found again at the next connect().
#pragma once

#include "JackServer.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A signal played into the program: fills `frames` frames of each channel (full scale 1.0). Runs on
// JACK's thread: no locks, no waiting.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    virtual void render(float* left, float* right, int frames) = 0;
};

class JackTap {
public:
    static constexpr int kRecorded = 4; // master left, right, headphones left, right
    static constexpr int kPlayed = 2;

    // Opens a client on the named server with a ring of `seconds`; ok() tells whether it runs.
    explicit JackTap(const std::string& server, double seconds = 20) {
        client_ = JackServer::openClient("e2e-tap", server);
        if (!client_) return;
        rate_ = int(jack_get_sample_rate(client_));
        size_ = size_t(seconds * rate_);
        toldBy_ = std::make_unique<std::atomic<int>[]>(size_);
        for (int c = 0; c < kRecorded; ++c) {
            ring_[c].assign(size_, 0.0f);
            in_[c] = jack_port_register(client_, ("in_" + std::to_string(c + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsInput, 0);
        }
        for (int c = 0; c < kPlayed; ++c)
            out_[c] = jack_port_register(client_, ("out_" + std::to_string(c + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                         JackPortIsOutput, 0);
        jack_set_process_callback(client_, &JackTap::process, this);
        jack_set_xrun_callback(client_, &JackTap::xrun, this);
        if (jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~JackTap() {
        following_ = false;
        if (follower_.joinable()) follower_.join();
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    JackTap(const JackTap&) = delete;
    JackTap& operator=(const JackTap&) = delete;

    bool ok() const { return client_ != nullptr; }
    int rate() const { return rate_; }
    // Frames the server runs per cycle.
    int period() const { return client_ ? int(jack_get_buffer_size(client_)) : 0; }

    // The program's audio ports (outputs or inputs) whose full name matches `clientPattern` (a regular
    // expression of "client:port"), ordered by the number their name ends with.
    std::vector<std::string> programPorts(const std::string& clientPattern, bool outputs) const {
        std::vector<std::string> names;
        if (!client_) return names;
        if (const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                outputs ? JackPortIsOutput : JackPortIsInput)) {
            const std::regex pattern(clientPattern);
            for (const char** p = ports; *p; ++p)
                if (std::regex_search(*p, pattern)) names.emplace_back(*p);
            jack_free(ports);
        }
        std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return trailingNumber(a) < trailingNumber(b);
        });
        return names;
    }

    // Connects the program's first four outputs to the recorder and the recorder's outputs to the
    // program's first two inputs, where they are not connected yet; the outputs and inputs found.
    std::pair<int, int> connect(const std::string& clientPattern) {
        const std::vector<std::string> outs = programPorts(clientPattern, true),
                                       ins = programPorts(clientPattern, false);
        for (int c = 0; c < kRecorded && c < int(outs.size()); ++c)
            if (!joined(in_[c], outs[size_t(c)]))
                jack_connect(client_, outs[size_t(c)].c_str(), jack_port_name(in_[c]));
        for (int c = 0; c < kPlayed && c < int(ins.size()); ++c)
            if (!joined(out_[c], ins[size_t(c)]))
                jack_connect(client_, jack_port_name(out_[c]), ins[size_t(c)].c_str());
        return {int(std::min<size_t>(outs.size(), kRecorded)), int(std::min<size_t>(ins.size(), kPlayed))};
    }
    // Whether the program's first four outputs, as they are now, are each joined to the recorder.
    bool recording(const std::string& clientPattern) const {
        const std::vector<std::string> outs = programPorts(clientPattern, true);
        if (outs.size() < size_t(kRecorded)) return false;
        for (int c = 0; c < kRecorded; ++c)
            if (!joined(in_[c], outs[size_t(c)])) return false;
        return true;
    }
    // Keeps connecting (every 50 ms, from a thread of its own) to the program's ports matching the
    // pattern, so ports the program makes anew are connected as soon as they appear.
    void follow(const std::string& clientPattern) {
        if (follower_.joinable()) return;
        following_ = true;
        follower_ = std::thread([this, clientPattern] {
            while (following_) {
                connect(clientPattern);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    // Frames recorded so far: the recorder's clock.
    int64_t now() const { return written_.load(std::memory_order_acquire); }
    // The server's xruns told since the recorder's clock read `from`, and before it read `to` (up to now where `to`
    // is not recorded yet). In an xrun a busy machine's server ran a cycle without the program or the recorder: a
    // period of the sound is lost or repeated, which a measure of pitch or of a repeat would take for the program's
    // fault. Read from the count kept beside each recorded frame, so a stretch still in the ring is counted whole
    // however many the server told since (a storm tells one every cycle); one reaching before the ring (or into
    // the cycle the recorder is writing over it) counts every xrun since the recorder started.
    int xrunsSince(int64_t from, int64_t to = INT64_MAX) const {
        const int64_t written = now(), oldest = written - int64_t(size_) + period();
        auto toldBefore = [&](int64_t frame) {
            if (frame >= written) return xruns_.load(std::memory_order_acquire);
            if (frame < oldest) return 0;
            return toldBy_[size_t(frame % int64_t(size_))].load(std::memory_order_relaxed);
        };
        return std::max(0, toldBefore(to) - toldBefore(from));
    }
    // Waits until the recorder has recorded up to frame `frame` (at most the time to it plus 10 s); whether it has.
    bool reach(int64_t frame) const {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(10000 + (frame - now()) * 1000 / rate_);
        while (now() < frame && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return now() >= frame;
    }

    // The four recorded channels from frame `from` on, `frames` long; waits until they are recorded
    // (at most the span plus 10 s). Empty channels when the frames are no longer (or not yet) there.
    std::vector<std::vector<float>> take(int64_t from, int frames) const {
        std::vector<std::vector<float>> out(kRecorded);
        reach(from + frames);
        const int64_t written = now();
        if (written < from + frames || written - from > int64_t(size_)) return out;
        for (int c = 0; c < kRecorded; ++c) {
            out[size_t(c)].resize(size_t(frames));
            for (int i = 0; i < frames; ++i)
                out[size_t(c)][size_t(i)] = ring_[c][size_t((from + i) % int64_t(size_))];
        }
        return out;
    }
    // The next `seconds` of sound, recorded after waiting `settle` seconds from now.
    std::vector<std::vector<float>> listen(double seconds, double settle = 0.05) const {
        return take(now() + int64_t(settle * rate_), int(seconds * rate_));
    }

    // Plays `source` from the next block on (null: silence). The previous source is no longer used once
    // this returns.
    void play(SignalSource* source) {
        source_.store(source, std::memory_order_release);
        const int64_t cycle = cycles_.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (cycles_.load() < cycle + 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

private:
    // Whether a port of the recorder is joined to the named port. Read from the recorder's side: the program
    // may take its port away meanwhile (a device reopened), which a look-up by its name would report as an error.
    static bool joined(jack_port_t* own, const std::string& other) {
        const char** names = jack_port_get_connections(own);
        bool found = false;
        for (const char** n = names; n && *n; ++n)
            found = found || other == *n;
        if (names) jack_free(names);
        return found;
    }
    static long trailingNumber(const std::string& name) {
        size_t i = name.size();
        while (i > 0 && isdigit(static_cast<unsigned char>(name[i - 1])))
            --i;
        return i < name.size() ? std::stol(name.substr(i)) : -1;
    }
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackTap*>(arg);
        const int64_t start = self->written_.load(std::memory_order_relaxed);
        for (int c = 0; c < kRecorded; ++c) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(self->in_[c], frames));
            for (jack_nframes_t i = 0; i < frames; ++i)
                self->ring_[c][size_t((start + int64_t(i)) % int64_t(self->size_))] = in[i];
        }
        const int told = self->xruns_.load(std::memory_order_acquire);
        for (jack_nframes_t i = 0; i < frames; ++i)
            self->toldBy_[size_t((start + int64_t(i)) % int64_t(self->size_))].store(told, std::memory_order_relaxed);
        self->written_.store(start + frames, std::memory_order_release);
        auto* left = static_cast<float*>(jack_port_get_buffer(self->out_[0], frames));
        auto* right = static_cast<float*>(jack_port_get_buffer(self->out_[1], frames));
        if (SignalSource* source = self->source_.load(std::memory_order_acquire)) {
            source->render(left, right, int(frames));
        } else {
            std::memset(left, 0, frames * sizeof(float));
            std::memset(right, 0, frames * sizeof(float));
        }
        self->cycles_.fetch_add(1);
        return 0;
    }
    // JACK's notification thread.
    static int xrun(void* arg) {
        static_cast<JackTap*>(arg)->xruns_.fetch_add(1, std::memory_order_release);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* in_[kRecorded] = {};
    jack_port_t* out_[kPlayed] = {};
    int rate_ = 44100;
    size_t size_ = 0;
    std::vector<float> ring_[kRecorded];
    std::atomic<int64_t> written_{0};
    std::atomic<int64_t> cycles_{0};
    std::atomic<int> xruns_{0}; // told so far
    std::unique_ptr<std::atomic<int>[]> toldBy_; // xruns_ as each frame of the ring was recorded
    std::atomic<SignalSource*> source_{nullptr};
    std::atomic<bool> following_{false};
    std::thread follower_;
};

} // namespace testsupport
