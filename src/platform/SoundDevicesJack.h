// The JACK server named by JACK_DEFAULT_SERVER (else the default one) as a sound backend: one device, "system", with
// the server's physical ports as channels, reached by one client of the program's. Each stream's channel c is the port
// "out_c" or "in_c" of the client, joined to the c-th physical port. Never starts a server.
#pragma once

#include "platform/SoundDevices.h"

#include <memory>
#include <string>

class JackSoundBackend : public SoundBackend {
public:
    enum class Reach {
        There,  // a client of the server is open, its device listed
        None,   // no server is there
        Unknown // the server has not answered yet: looked at again at the next call
    };
    // Main thread: opens the program's client when it has none, or takes the one whose open ended since it was last
    // asked (an open is waited for within the JACK thread's allowance, then goes on by itself).
    virtual Reach reach() = 0;
    // The client goes (its close handed to the JACK thread; its streams keep it until they go): the next reach()
    // opens one anew. The device as last listed stays, for a server that does not answer then.
    virtual void letGo() = 0;
    // The quit: the client goes as by letGo, and so does the one an open the main thread stopped waiting for made or
    // is making (closed on the JACK thread once that open has ended).
    virtual void letGoForQuit() = 0;

    static std::unique_ptr<JackSoundBackend> make(const std::string& clientName = "tarlume");
};
