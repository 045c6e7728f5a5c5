// MIDI ports on a running JACK server, for a system without the ALSA sequencer: one client of the program's,
// "tarlume-midi", holds every input and output port the controllers open, each joined to the other program's port
// it was opened for.
//
// A port lives as long as its owner holds it, whatever the server does, as a MIDI endpoint of the system would: the
// client is made when first needed and kept, and it comes back with its ports when the server went away (stopped,
// killed) and another one answers. Each port is joined to its endpoint, by name, whenever that endpoint is there and
// the two are not connected, as the server's graph shows: read at the server's notices of ports and connections that
// come and go, and twice a second. A client whose server went away is forgotten, never closed (libjack crashes now
// and then closing it). Listing waits for the JACK thread within its allowance and, when the server does not answer,
// gives the endpoints of the last listing that answered. Making and joining ports is never waited for: the ports
// opened in a frame are made on the JACK thread at the next watch(). The client is activated once, when it has its
// first port, and ports are made and let go of on the active client, so that the others keep their connections.
#pragma once

#include "platform/MidiPorts.h"

#include <string>

// The one JACK MIDI system of the program. Main thread.
MidiPorts& jackMidiPorts();

namespace MidiText {
// The text before the first ':' of an endpoint's full name: the JACK or ALSA client's name.
std::string modelOf(const std::string& portName);
// Milliseconds of a monotonic clock: the time of a received message.
double nowMs();
} // namespace MidiText
