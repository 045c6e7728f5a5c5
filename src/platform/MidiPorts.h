// MIDI sources and destinations of the system (the ALSA sequencer, else JACK), opened by index.
//
// An endpoint's model name is what controller files are matched against: the ALSA sequencer
// client name (for USB devices, the product name) or the JACK client name, i.e. the text before
// the first ':' of the port's full name.
//
// Threads: enumeration, opening, closing, sending and watch() happen on the main thread. An input's
// callback runs on the MIDI thread (RtMidi's ALSA thread, or JACK's real-time process thread): it
// must only queue the message, never allocate, lock or block. On JACK (platform/MidiPortsJack.h) a
// port outlives its server's stops and restarts, as a system's MIDI endpoint does: listing waits
// for the JACK thread within its allowance and gives the last listing that answered when the server
// does not answer; opening returns at once and the port is made and joined by the JACK thread. A
// JACK output holds what is sent until its connection carries bytes (a few cycles), then sends it
// in order from its process thread; closing it sends what it still holds first while the
// connection lasts (at most half a second). The program's own JACK ports are not listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct MidiEndpoint {
    int index = -1;    // position among the sources (or destinations) when listed
    std::string name;  // full port name, "Client:Port ..."
    std::string model; // the text before the first ':' of the name
};

// One whole message (a channel message, or a system exclusive message F0 .. F7); `time` in
// milliseconds of a monotonic clock. MIDI thread.
using MidiReceive = void (*)(void* ref, const uint8_t* bytes, size_t size, double time);

// An open input: after its destruction returns, its callback is never called again.
class MidiInputPort {
public:
    virtual ~MidiInputPort() = default;
};

// An open output.
class MidiOutputPort {
public:
    virtual ~MidiOutputPort() = default;
    // Sends the bytes as one message, whole whatever its length; false when nothing went out.
    virtual bool send(const uint8_t* bytes, size_t size) = 0;
    // Changes each time the output is joined to its destination anew (on JACK: the server restarted, the destination's
    // program made its port anew, or the server ran again after it ran nothing for long while sends waited). What was
    // sent before the owner read the changed count and still waited is dropped: the owner sends its whole state again.
    virtual unsigned joins() const { return 0; }
};

class MidiPorts {
public:
    virtual ~MidiPorts() = default;
    // Empty lists when there is no MIDI system.
    virtual std::vector<MidiEndpoint> sources() = 0;
    virtual std::vector<MidiEndpoint> destinations() = 0;
    // Null when the endpoint is gone or cannot be opened. The index is that of the last listing of its direction.
    virtual std::unique_ptr<MidiInputPort> openInput(int index, MidiReceive receive, void* ref) = 0;
    virtual std::unique_ptr<MidiOutputPort> openOutput(int index) = 0;
    // Ports of our own that other programs (and tests) connect to; null where unsupported.
    virtual std::unique_ptr<MidiInputPort> openVirtualInput(const std::string& name, MidiReceive receive, void* ref) {
        (void)name;
        (void)receive;
        (void)ref;
        return nullptr;
    }
    virtual std::unique_ptr<MidiOutputPort> openVirtualOutput(const std::string& name) {
        (void)name;
        return nullptr;
    }

    // Once a frame: the ports opened since are made, and what a server's end or stop took comes back once it
    // answers again. Returns a count that changes whenever the endpoints as listed changed (lists of them are
    // filled again then).
    virtual unsigned watch() { return 0; }
    // False while the endpoints could not be listed yet (no JACK server has answered since the program started):
    // they are listed once one does, and watch() tells.
    virtual bool listed() { return true; }
    // At the program's end, once its ports are closed: what the system holds goes while a JACK server answers, so
    // that the server lets go of it now, not once it finds it dead after the program has gone. JackThread::drain
    // waits for it. A later call opens anew.
    virtual void closeForQuit() {}

    // The ports in use: the one installed, else the system's (RtMidi, ALSA then JACK). Main thread.
    static MidiPorts& get();
    // Installs a backend (unit tests install a fake one); null goes back to the system's.
    static void install(MidiPorts* ports);
};
