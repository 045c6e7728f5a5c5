// A controller of the tests' own on a JACK server: one client with a MIDI output port "out" (what
// the controller sends) and an input port "in" (what comes back), both on JACK's process thread.
#pragma once

#include "platform/JackFirstBytes.h"
#include "platform/JackThread.h"
#include "support/JackServer.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <csignal>
#include <pthread.h>
#include <string>
#include <vector>

namespace ctltest {

class JackMidiClient {
public:
    // Needs JACK_DEFAULT_SERVER set to the server's name.
    // In the program's process, it keeps the program's rules: nothing is opened or closed while threads libjack started
    // may still be starting (an open or close may end them), and the threads libjack makes for it take
    // SIGPIPE blocked, as those the program makes from its JACK thread: a reply written to a server that has just died
    // must fail, not end the test (see platform/JackThread.h).
    explicit JackMidiClient(const std::string& name) {
        sigset_t pipe, before;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &before);
        open(name);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    ~JackMidiClient() {
        if (!client_) return;
        JackThread::letThreadsStart();
        jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }
    // Its server was killed: the client is left to libjack, never closed (closing it crashes libjack now and then).
    void abandon() { client_ = nullptr; }

    // Goes out on the next cycle, the first messages once "out"'s connection carries them (as the program's do).
    void send(std::vector<uint8_t> message) {
        std::lock_guard<std::mutex> lock(mutex_);
        outgoing_.push_back(std::move(message));
    }
    std::vector<std::vector<uint8_t>> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    // Both its ports are connected (to the program's, in the tests), as the server's graph shows.
    bool joined() const { return jack_port_connected(in_) > 0 && jack_port_connected(out_) > 0; }
    // The MIDI ports of the server's graph whose full names match `pattern` (a regular expression) with `flags`.
    std::vector<std::string> ports(const char* pattern, unsigned long flags) const {
        std::vector<std::string> found;
        if (const char** names = jack_get_ports(client_, pattern, JACK_DEFAULT_MIDI_TYPE, flags)) {
            for (const char** n = names; *n; n++)
                found.emplace_back(*n);
            jack_free(names);
        }
        return found;
    }
    // Cycles the server found a client late in (an xrun): what the loop carried in them may be lost.
    unsigned xruns() const { return xruns_.load(); }
    void clearReceived() {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.clear();
    }

private:
    void open(const std::string& name) {
        JackThread::letThreadsStart();
        client_ = testsupport::JackServer::openClient(name, getenv("JACK_DEFAULT_SERVER"));
        if (!client_) return;
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &JackMidiClient::process, this);
        jack_set_xrun_callback(
            client_,
            [](void* self) {
                static_cast<JackMidiClient*>(self)->xruns_.fetch_add(1);
                return 0;
            },
            this);
        if (!out_ || !in_ || !JackThread::activate(client_)) {
            JackThread::letThreadsStart();
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    // A test's client may wait for its own lock here: it only ever holds it for a copy. libjack ends the thread with an
    // asynchronous cancel at the close, which must not land inside (as in the program's own callbacks).
    static int process(jack_nframes_t frames, void* self) {
        int cancelState = PTHREAD_CANCEL_ENABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
        cycle(frames, static_cast<JackMidiClient*>(self));
        pthread_setcancelstate(cancelState, nullptr);
        return 0;
    }
    static void cycle(jack_nframes_t frames, JackMidiClient* c) {
        void* out = jack_port_get_buffer(c->out_, frames);
        void* in = jack_port_get_buffer(c->in_, frames);
        jack_midi_clear_buffer(out);
        std::lock_guard<std::mutex> lock(c->mutex_);
        if (c->firstBytes_.mayWrite(c->client_, c->out_, frames, !c->outgoing_.empty())) {
            for (auto& m : c->outgoing_)
                jack_midi_event_write(out, 0, m.data(), m.size());
            c->outgoing_.clear();
        }
        jack_nframes_t n = jack_midi_get_event_count(in);
        for (jack_nframes_t i = 0; i < n; i++) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) == 0)
                c->received_.emplace_back(event.buffer, event.buffer + event.size);
        }
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> outgoing_;
    std::vector<std::vector<uint8_t>> received_;
    JackFirstBytes firstBytes_; // process thread only
    std::atomic<unsigned> xruns_{0};
};

} // namespace ctltest
