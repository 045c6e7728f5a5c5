// When the first bytes of a JACK MIDI port may go out so that the destination gets them. A new connection is
// in the graph only from a cycle at whose start every client had finished the previous one: while a client is
// late the server runs the old graph again, though the cycles' frame times move on. And a destination that
// reads after the source's next cycle began finds the buffer cleared. Any bytes can be lost so in an overrun;
// the first ones, written while new clients and connections slow the graph, matter (a controller's connect
// message). So they wait for a cycle whose graph holds the connection, as the one before did, that began one
// period after that one (the process thread was not late), and whose process runs in its first half. A graph so
// loaded that the port's process never runs in a first half would hold them for good: after kMostHeldCycles cycles
// with the connection in the graph they go out in any case.
#pragma once

#include <jack/jack.h>

class JackFirstBytes {
public:
    // Process thread, once a cycle of `frames` frames, before writing to `port`: whether what it holds may be
    // written now. Once it was with something to write (`holding`), all later bytes go out as they come.
    bool mayWrite(jack_client_t* client, jack_port_t* port, jack_nframes_t frames, bool holding) {
        if (started_) return true;
        const jack_nframes_t start = jack_last_frame_time(client);
        const bool connected = jack_port_connected(port) > 0;
        if (connected && connectedCycles_ <= kMostHeldCycles) connectedCycles_++;
        const bool settled = connected && connectedBefore_ &&
                             (connectedCycles_ > kMostHeldCycles ||
                              (start - lastStart_ == frames && jack_frames_since_cycle_start(client) < frames / 2));
        connectedBefore_ = connected;
        lastStart_ = start;
        started_ = settled && holding;
        return settled;
    }

private:
    static constexpr int kMostHeldCycles = 32; // about 0.2 s at 256 frames and 44.1 kHz
    bool started_ = false;
    int connectedCycles_ = 0;
    bool connectedBefore_ = false;
    jack_nframes_t lastStart_ = 0;
};
