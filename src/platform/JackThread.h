// The one thread that calls into libjack for the program: the sound's client and ports, MIDI's client and ports,
// the listings, and PortAudio's start and end (its JACK host API opens a client of its own). Only the process callbacks
// run elsewhere, on libjack's own threads.
//
// libjack makes a client's open and close, and each port and connection request, wait for the server's answer, and
// one request a stopped server (SIGSTOP, a debugger) holds makes every later one wait behind it. So the requests are
// made here, one after the other in the order they were handed over, and this is the only place that waits for the
// server. The main thread hands a request over and waits for its end for at most about a second in all (an allowance
// it spends by waiting and gets back as time passes), then goes on without it; once it gave up on a request it waits
// for none until that one has ended. A request the main thread does not wait for (a close) is handed over and left.
#pragma once

#include <jack/jack.h>

#include <functional>
#include <string>
#include <vector>

namespace JackThread {

enum class Reply {
    InTime,  // the request ran to its end while the caller waited
    Late,    // the caller stopped waiting: it runs to its end all the same
    NotAsked // not handed over: a request given up on before has not ended, or the allowance is spent
};

// Runs `request` on the JACK thread after everything handed over before it, and waits for it within the allowance.
// A request that may be given up on owns what it uses (captured by value or shared). `ifLate`, when given, runs on the
// JACK thread right after a request that was given up on, for what the caller will no longer take (ports it made).
Reply call(std::function<void()> request, std::function<void()> ifLate = nullptr);
// Hands `request` over and returns at once. `holds`: it may wait long for something else than the server (a block
// stalled in a process callback); calls return NotAsked until it has ended, as after a request given up on.
void post(std::function<void()> request, bool holds = false);
// Waits until everything handed over has ended, for at most a second; false when it did not. For the quit: where
// nothing was ever handed over, the JACK thread is not made.
bool drain();
// How many times libjack freed every client of the process (see alive()), from any thread: a client opened while it
// read another number is gone. libjack says so through its one error function of the process, which other code
// (PortAudio's start) may replace: the program's is put back at each open and after such code (hearAgain).
unsigned freeings();

// How many times a JACK server of the name the program's clients reach (JACK_DEFAULT_SERVER, else "default") made its
// socket since the program started, as the file system tells: a server that starts is looked for at once, not at the
// next of looks a second apart. Main thread.
unsigned serverArrivals();

// ---- On the JACK thread only ----

// libjack ends a client's threads with an asynchronous cancel, which lands wherever the thread is: one cancelled while
// it starts (taking real-time priority, saying it could not) can leave a lock of libjack's or the C library's held for
// good, and every later open, or the program's exit, then waits for ever. A thread starts at each open (the client's
// notices) and each activation (its process thread), and ends at a deactivation or a close, or at the first open after
// any client of the process lost its server (libjack frees every client then, see alive()). So nothing is opened,
// deactivated or closed until every thread libjack started has said it has started (letThreadsStart).

// A client of the program's, as openClient made it: libjack's pointer, and a serial no other client of the process
// ever had. The pointer of a client libjack freed may come back for the next one it opens: the serial is what tells
// the two apart.
struct Client {
    jack_client_t* jack = nullptr;
    unsigned long serial = 0;
    explicit operator bool() const { return jack != nullptr; }
};

// Opens a client of the program's (never starting a server). A server that is there was seen to turn a client away
// now and then on a loaded machine, just after another client of the program closed, and to let it in a moment later:
// it is asked again then. `status` gets the server's last answer. The client is one of the program's (see mine()) until
// closeClient.
Client openClient(const std::string& name, jack_status_t* status = nullptr);
// Activates a client of the process (the program's, or another's such as a test's), its process thread told to say
// when it has started; false when the server refused.
bool activate(jack_client_t* client);
// Deactivates it once every thread libjack started has started: libjack ends the process thread here.
void deactivate(jack_client_t* client);
// Other code opened or activated a client of the process (PortAudio's start): libjack's messages are heard again (see
// freeings()).
void hearAgain();
// Waits until every thread libjack started has started: before other code closes or opens a client of the process
// (PortAudio's start and end). A process thread of a client activated here says so through JACK's thread-init
// callback; a client's notice thread has said so by the end of its open (the server waits for its answer to a notice
// then); another's thread by running at all.
void letThreadsStart();
// Closes it; one whose server went away (`serverGone`), or that libjack freed (see alive()), is only forgotten:
// closing it crashes libjack.
void closeClient(const Client& client, bool serverGone = false);
// Whether the client, opened by openClient and not closed, is still there. At the first open after any client of
// the process lost its server, libjack closes and frees every client the process still has, also those of a server
// that runs on (their shutdown callbacks do not run then): each is gone from then on, as if its server had gone.
bool alive(const Client& client);
// Whether libjack refuses every request of the program's clients: once any client of the process lost its server it
// does so, for clients of a server that runs on too, until the next open, which frees them all (see alive()).
bool cutOff();
// Whether the port, by its full name "client:port", is one of the program's own clients'.
bool mine(const std::string& portName);
// The full names of the ports of `type` with `flags` (JackPortIsOutput ...), in the server's order, but the program's.
std::vector<std::string> portsOf(jack_client_t* client, const char* type, unsigned long flags);

} // namespace JackThread
