#include "platform/MidiPortsJack.h"

#include "platform/JackFirstBytes.h"
#include "platform/JackThread.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

using JackThread::Reply;

constexpr const char* kClientName = "tarlume-midi";
constexpr size_t kMaxPorts = 64; // in use on the client at once: six controllers use a dozen
// A server gone is looked for again soon (one started again is up a quarter of a second later), then every second.
constexpr double kFirstRetryMs = 100, kRetryMs = 1000;
// How often the server's graph is read again while it answers: what its notices missed (a port re-made within a
// moment, a notice that came before its graph changed, a client not active yet) is seen within this time.
constexpr double kLookMs = 500;

// One port as its owner and the process thread see it. Its JACK port is made and taken away on the JACK thread; the
// process thread reads it while its slot on the client holds it.
struct PortCore {
    PortCore(bool isOutput, std::string base, std::string to)
        : output(isOutput), name(std::move(base)), endpoint(std::move(to)) {}
    virtual ~PortCore() = default;
    // Process thread: one cycle.
    virtual void cycle(jack_client_t* client, jack_nframes_t frames) = 0;
    // JACK thread, before the process thread is handed the core: its port was made on a client.
    virtual void madeAnew() {}

    const bool output;
    const std::string name;     // asked for; suffixed on the client where another port of it has that name
    const std::string endpoint; // the other program's port it is joined to, by full name; empty for none
    std::atomic<jack_port_t*> port{nullptr};
    std::string madeAs; // JACK thread: its name on the client
};

// Hands notes, controls and system exclusive messages (not timing or active sensing) to its receiver. A system
// exclusive message may come in parts: they are joined in a buffer of the port's own, never allocated on the process
// thread; one longer than the buffer is dropped.
struct InputCore : PortCore {
    InputCore(std::string base, std::string to, MidiReceive r, void* f)
        : PortCore(false, std::move(base), std::move(to)), receive(r), ref(f) {}
    void cycle(jack_client_t*, jack_nframes_t frames) override {
        inside.store(true);
        void* buffer = gone.load() ? nullptr : jack_port_get_buffer(port.load(), frames);
        const uint32_t count = buffer ? jack_midi_get_event_count(buffer) : 0;
        for (uint32_t i = 0; i < count; i++) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0 && event.size > 0) take(event.buffer, event.size);
        }
        inside.store(false);
    }
    void madeAnew() override { inSysex = false; }
    void take(const uint8_t* bytes, size_t size) {
        const uint8_t status = bytes[0];
        if (status == 0xF1 || status == 0xF8 || status == 0xFE) return;
        if (status == 0xF0) {
            sysexSize = 0;
            inSysex = true;
        } else if (inSysex && status >= 0x80 && status != 0xF7 && status < 0xF8) {
            inSysex = false; // broken off by another message
        }
        if (!inSysex || status >= 0xF8) {
            receive(ref, bytes, size, MidiText::nowMs());
            return;
        }
        if (sysexSize + size <= sysex.size()) std::copy(bytes, bytes + size, sysex.data() + sysexSize);
        sysexSize += size; // past the buffer: dropped at its end
        if (bytes[size - 1] != 0xF7) return;
        inSysex = false;
        if (sysexSize <= sysex.size()) receive(ref, sysex.data(), sysexSize, MidiText::nowMs());
    }
    // The owner's: nothing is handed on once this returns (a cycle that began before is waited for: it only queues).
    void leave() {
        gone.store(true);
        while (inside.load())
            std::this_thread::yield();
    }

    const MidiReceive receive;
    void* const ref;
    std::atomic<bool> gone{false}, inside{false};
    std::array<uint8_t, 1024> sysex{}; // process thread only, as the two below
    size_t sysexSize = 0;
    bool inSysex = false;
};

// Sends go into a ring of the port's own that the process thread empties in order into the port's buffer, as much as
// a cycle's buffer holds, leaving the rest for the next cycle. A port joined to a destination holds its first bytes
// until the connection carries them (JackFirstBytes); while there is no server, sends wait in the ring. The port's
// epoch changes when it is joined anew, or when cycles come back after a server ran none for long (stopped, held in a
// debugger) while sends waited: its owner then sends its whole state (joins()). Each send carries the epoch its owner
// had last seen, and one of an earlier epoch is dropped: what was sent before the owner knew of the change, however
// close to it, would reach the controller a second time. Bytes of a state long gone, replayed in a burst, would show
// it on the controller, and a ring filled by a long wait would drop the newest.
struct OutputCore : PortCore {
    OutputCore(std::string base, std::string to, bool hold)
        : PortCore(true, std::move(base), std::move(to)), holdUntilConnected(hold) {}
    void cycle(jack_client_t* client, jack_nframes_t frames) override {
        jack_port_t* p = port.load();
        void* buffer = jack_port_get_buffer(p, frames);
        if (!buffer) return;
        jack_midi_clear_buffer(buffer);
        size_t from = tail.load(std::memory_order_relaxed);
        const unsigned joinsNow = joins.load(std::memory_order_acquire);
        if (joinsNow != joinsTaken) {
            joinsTaken = joinsNow;
            firstBytes = JackFirstBytes(); // the new connection carries bytes a few cycles from now
        }
        const jack_time_t now = jack_get_time();
        // Nothing waited through the stall: what was sent before it went out, and the owner has nothing to send anew.
        if (lastCycle != 0 && now - lastCycle > kStall && from != head.load(std::memory_order_acquire))
            renewals.fetch_add(1, std::memory_order_release);
        lastCycle = now;
        const size_t to = head.load(std::memory_order_acquire);
        // The sends of an earlier epoch are those first in the ring: an owner's epoch only grows.
        const unsigned current = epoch();
        Header header;
        while (from != to) {
            copyOut(from, reinterpret_cast<uint8_t*>(&header), kHeader);
            if (int(header.epoch - current) >= 0) break;
            from += kHeader + header.length;
        }
        tail.store(from, std::memory_order_release);
        if (holdUntilConnected && !firstBytes.mayWrite(client, p, frames, from != to)) return;
        bool wrote = false;
        while (from != to) {
            copyOut(from, reinterpret_cast<uint8_t*>(&header), kHeader);
            const uint32_t length = header.length;
            if (length > jack_midi_max_event_size(buffer)) {
                if (wrote) break;         // the next cycle's buffer
                from += kHeader + length; // more than a whole cycle's buffer holds: never fits
                continue;
            }
            jack_midi_data_t* into = jack_midi_event_reserve(buffer, 0, length);
            if (!into) break;
            copyOut(from + kHeader, into, length);
            from += kHeader + length;
            wrote = true;
        }
        tail.store(from, std::memory_order_release);
    }
    void madeAnew() override {
        firstBytes = JackFirstBytes();
        lastCycle = 0;
    }
    // JACK thread: joined to its destination anew.
    void joined() { joins.fetch_add(1, std::memory_order_release); }
    unsigned epoch() const { return joins.load(std::memory_order_acquire) + renewals.load(std::memory_order_acquire); }
    // The sender's, sending as of `seen`. False when the ring has no room (a server that runs no cycle for long).
    bool send(const uint8_t* bytes, size_t size, unsigned seen) {
        const size_t at = head.load(std::memory_order_relaxed);
        if (!bytes || size == 0 || size + kHeader > kRing - (at - tail.load(std::memory_order_acquire))) return false;
        const Header header{uint32_t(size), seen};
        copyIn(at, reinterpret_cast<const uint8_t*>(&header), kHeader);
        copyIn(at + kHeader, bytes, size);
        head.store(at + kHeader + size, std::memory_order_release);
        return true;
    }
    bool holding() const { return head.load(std::memory_order_relaxed) != tail.load(std::memory_order_acquire); }
    void copyIn(size_t at, const uint8_t* bytes, size_t size) {
        for (size_t i = 0; i < size; i++)
            ring[(at + i) & (kRing - 1)] = bytes[i];
    }
    void copyOut(size_t at, uint8_t* bytes, size_t size) const {
        for (size_t i = 0; i < size; i++)
            bytes[i] = ring[(at + i) & (kRing - 1)];
    }

    struct Header {
        uint32_t length;
        unsigned epoch; // the owner's when it sent
    };
    static constexpr size_t kRing = size_t(1) << 16; // bytes; a power of two
    static constexpr size_t kHeader = sizeof(Header);
    const bool holdUntilConnected;
    JackFirstBytes firstBytes; // process thread only (and the JACK thread before the port is handed to it)
    std::unique_ptr<uint8_t[]> ring{new uint8_t[kRing]};
    std::atomic<size_t> head{0};                   // written by the sender
    std::atomic<size_t> tail{0};                   // written by the process thread
    std::atomic<unsigned> joins{0};                // written by the JACK thread
    unsigned joinsTaken = 0;                       // process thread, as the one below
    jack_time_t lastCycle = 0;                     // microseconds of libjack's clock; 0 before the first
    std::atomic<unsigned> renewals{0};             // written by the process thread: cycles came back after a stall
    std::atomic<unsigned> seen{0};                 // the sender's: the epoch its owner last saw
    static constexpr jack_time_t kStall = 1000000; // microseconds without a cycle
};

// What the client's callbacks tell the ports' owner, from libjack's threads.
struct Signals {
    std::atomic<bool> away{false};         // no client: the server went away, or none let one in at the last try
    std::atomic<bool> graphChanged{false}; // a port or connection came or went in the server's graph
};

// One client of one server's run. Never freed: libjack keeps it as its callbacks' argument, also for a client it was
// not asked to close because its server went away.
struct Run {
    Run(JackThread::Client c, Signals& s) : opened(c), client(c.jack), signals(s) {
        jack_set_process_callback(client, &Run::process, this);
        jack_on_shutdown(client, &Run::shutdown, this);
        jack_set_port_registration_callback(client, &Run::portRegistered, this);
        jack_set_graph_order_callback(client, &Run::graphOrdered, this);
    }
    static int process(jack_nframes_t frames, void* arg) {
        auto* run = static_cast<Run*>(arg);
        // libjack ends the process thread of a client it deactivates with an asynchronous cancel: one that comes
        // while a cycle runs waits until it has finished.
        int cancelState = PTHREAD_CANCEL_ENABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
        run->inProcess.store(true);
        for (auto& slot : run->slots)
            if (PortCore* core = slot.load()) core->cycle(run->client, frames);
        run->inProcess.store(false);
        run->cycles.fetch_add(1, std::memory_order_release);
        pthread_setcancelstate(cancelState, nullptr);
        return 0;
    }
    static void shutdown(void* arg) {
        auto* run = static_cast<Run*>(arg);
        run->dead.store(true);
        run->signals.away.store(true);
    }
    static void portRegistered(jack_port_id_t, int, void* arg) {
        static_cast<Run*>(arg)->signals.graphChanged.store(true);
    }
    static int graphOrdered(void* arg) {
        static_cast<Run*>(arg)->signals.graphChanged.store(true);
        return 0;
    }
    // JACK thread: its server went away, or libjack freed the client or refuses its requests until the next open
    // frees it (see JackThread::alive, cutOff).
    bool gone() const { return dead.load() || !JackThread::alive(opened) || JackThread::cutOff(); }
    // JACK thread: waits, for a second at most, until a cycle that may have read a slot cleared before this call has
    // ended; false when it did not (a process thread held in a debugger).
    bool cycleEnded() const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (inProcess.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return !inProcess.load();
    }

    // A port its owner let go of, kept unjoined for the next port of its direction. A port is never taken away from
    // the active client: libjack walks the client's list of ports, unlocked, on its notice thread whenever the
    // server's graph changes, and taking one out of that list meanwhile can crash it.
    struct Spare {
        jack_port_t* port;
        bool output;
        std::string name;
    };

    const JackThread::Client opened;
    jack_client_t* const client;
    Signals& signals;
    std::atomic<bool> dead{false}, inProcess{false};
    std::atomic<unsigned> cycles{0}; // ended, written by the process thread
    std::atomic<PortCore*> slots[kMaxPorts] = {};
    std::vector<std::shared_ptr<PortCore>> made;      // JACK thread, as below: the cores with a port on the client
    std::vector<std::shared_ptr<PortCore>> refused;   // wanted, and refused a port on this client
    std::vector<std::shared_ptr<PortCore>> lingering; // let go of while a cycle that may use them did not end
    std::vector<Spare> spares;
    bool active = false;
    bool inactive = false; // its activation failed: it is closed and made anew
};

// The endpoints of the last listing that answered.
struct Listing {
    std::vector<std::string> sources, destinations; // full names, in the server's order
    bool operator!=(const Listing& other) const {
        return sources != other.sources || destinations != other.destinations;
    }
};

class JackMidiPorts : public MidiPorts {
public:
    std::vector<MidiEndpoint> sources() override { return endpoints(true); }
    std::vector<MidiEndpoint> destinations() override { return endpoints(false); }
    std::unique_ptr<MidiInputPort> openInput(int index, MidiReceive receive, void* ref) override {
        const std::string endpoint = shown(shownSources_, index);
        if (endpoint.empty() || !receive) return nullptr;
        return input("Input port", endpoint, receive, ref);
    }
    std::unique_ptr<MidiOutputPort> openOutput(int index) override {
        const std::string endpoint = shown(shownDestinations_, index);
        if (endpoint.empty()) return nullptr;
        return output("Output port", endpoint, true);
    }
    std::unique_ptr<MidiInputPort> openVirtualInput(const std::string& name, MidiReceive receive, void* ref) override {
        if (name.empty() || !receive) return nullptr;
        return input(name, "", receive, ref);
    }
    std::unique_ptr<MidiOutputPort> openVirtualOutput(const std::string& name) override {
        // Nobody is joined yet: what is sent goes out at once, as from any port of a program.
        if (name.empty()) return nullptr;
        return output(name, "", false);
    }

    void closeForQuit() override {
        JackThread::post([this] {
            if (!run_ || !run_->made.empty()) return;
            if (run_->gone()) {
                forget();
                return;
            }
            JackThread::closeClient(run_->opened); // no callback runs once this returns
            delete run_;
            run_ = nullptr;
        });
    }
    bool listed() override {
        std::lock_guard<std::mutex> guard(mutex_);
        return known_;
    }
    unsigned watch() override {
        const double now = MidiText::nowMs();
        const unsigned freeings = JackThread::freeings(); // the client may be among those libjack freed
        // Every flag is taken, whichever is set.
        const bool opened = std::exchange(opened_, false), owed = std::exchange(listingOwed_, false);
        const bool changed = signals_.graphChanged.exchange(false);
        const bool freed = std::exchange(freeingsSeen_, freeings) != freeings;
        bool due = opened || owed || changed || freed;
        const unsigned arrivals = JackThread::serverArrivals();
        const bool arrived = std::exchange(arrivals_, arrivals) != arrivals;
        if (!signals_.away.load()) {
            retryDelay_ = kFirstRetryMs;
            retryAt_ = 0;
            if (now >= lookAt_) {
                due = true;
                lookAt_ = now + kLookMs;
            }
        } else if (arrived || now >= retryAt_) {
            if (arrived) retryDelay_ = kFirstRetryMs; // a server just started: now, and soon again while it gets ready
            due = true;
            retryAt_ = now + retryDelay_;
            retryDelay_ = std::min(retryDelay_ * 2, kRetryMs);
        }
        if (due) settleSoon();
        std::lock_guard<std::mutex> guard(mutex_);
        return changes_;
    }

private:
    class Input : public MidiInputPort {
    public:
        Input(JackMidiPorts& owner, std::shared_ptr<InputCore> core) : owner_(owner), core_(std::move(core)) {}
        ~Input() override {
            core_->leave();
            owner_.release(core_);
        }

    private:
        JackMidiPorts& owner_;
        std::shared_ptr<InputCore> core_;
    };
    class Output : public MidiOutputPort {
    public:
        Output(JackMidiPorts& owner, std::shared_ptr<OutputCore> core) : owner_(owner), core_(std::move(core)) {}
        // What it still holds goes out before the port goes (a controller's goodbye).
        ~Output() override { owner_.release(core_); }
        // A port joined to nothing has no owner that sends anew: its sends are of the epoch of now.
        bool send(const uint8_t* bytes, size_t size) override {
            return core_->send(bytes, size, core_->endpoint.empty() ? core_->epoch() : core_->seen.load());
        }
        unsigned joins() const override {
            const unsigned now = core_->epoch();
            core_->seen.store(now);
            return now;
        }

    private:
        JackMidiPorts& owner_;
        std::shared_ptr<OutputCore> core_;
    };

    // ---- Main thread ----

    // The endpoints as listed now, or, while the server does not answer, as last listed.
    // A listing reads the server's graph as the client last got it: a server stopped with a client of the program's
    // in it is listed all the same. Only one that has not let a client in yet may leave the endpoints unknown.
    std::vector<MidiEndpoint> endpoints(bool sending) {
        const Reply reply = JackThread::call([this] { listNow(); });
        if (reply != Reply::InTime) {
            listingOwed_ = true;
            if (!listed() && !std::exchange(saidNoAnswer_, true))
                fprintf(stderr, "The JACK server does not answer: MIDI controllers on it are left out until it does\n");
        }
        if (reply == Reply::InTime && noServer_.load() && !reachedOnce_.load() && !std::exchange(saidNone_, true))
            fprintf(stderr, "No MIDI system (neither ALSA nor JACK): controllers are off until a JACK server runs\n");
        std::vector<std::string> names;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            names = sending ? listed_.sources : listed_.destinations;
        }
        (sending ? shownSources_ : shownDestinations_) = names;
        std::vector<MidiEndpoint> list;
        for (size_t i = 0; i < names.size(); i++)
            list.push_back({int(i), names[i], MidiText::modelOf(names[i])});
        return list;
    }
    // The endpoint of that index as the caller was last shown: what it opens is what it saw.
    static std::string shown(const std::vector<std::string>& names, int index) {
        return index >= 0 && size_t(index) < names.size() ? names[size_t(index)] : std::string();
    }
    std::unique_ptr<MidiInputPort> input(const std::string& name, const std::string& endpoint, MidiReceive receive,
                                         void* ref) {
        auto core = std::make_shared<InputCore>(name, endpoint, receive, ref);
        want(core);
        return std::make_unique<Input>(*this, core);
    }
    std::unique_ptr<MidiOutputPort> output(const std::string& name, const std::string& endpoint, bool hold) {
        auto core = std::make_shared<OutputCore>(name, endpoint, hold);
        want(core);
        return std::make_unique<Output>(*this, core);
    }
    // Made at the next watch, with every other port opened meanwhile: the controllers joined in one frame cost the
    // client one change.
    void want(const std::shared_ptr<PortCore>& core) {
        std::lock_guard<std::mutex> guard(mutex_);
        wanted_.push_back(core);
        opened_ = true;
    }
    // Taken away at once: a controller's goodbye goes out, also at the quit.
    void release(const std::shared_ptr<PortCore>& core) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            wanted_.erase(std::remove(wanted_.begin(), wanted_.end(), core), wanted_.end());
        }
        settleSoon();
    }
    // One settling handed over at a time: one that has not begun takes every change made meanwhile.
    void settleSoon() {
        if (settling_.exchange(true)) return;
        JackThread::post([this] {
            settling_.store(false);
            settle();
        });
    }

    // ---- JACK thread ----

    void listNow() {
        if (!run_ || run_->gone())
            settle();
        else
            list();
    }
    // Brings the client to the ports wanted now: a client made anew where the server went away, the ports made and
    // taken away, each joined to its endpoint where that is there; then the endpoints listed.
    void settle() {
        if (run_ && run_->gone()) forget();
        if (run_ && run_->inactive) {
            forget(false);
            settleSoon(); // the ports are made on the next client at once, not at the next look
            return;
        }
        if (!run_) {
            jack_status_t status = jack_status_t(0);
            const JackThread::Client client = JackThread::openClient(kClientName, &status);
            noServer_.store(!client && (status & JackServerFailed));
            signals_.away.store(!client);
            if (!client) return; // looked for again (watch)
            run_ = new Run(client, signals_);
            reachedOnce_.store(true);
        }
        std::vector<std::shared_ptr<PortCore>> wanted;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            wanted = wanted_;
        }
        // libjack makes a read of the graph wait a whole period while a change of the client's is not in it yet (one
        // per port made or joined, a second at 2048 frames for six controllers): the graph is read first, then
        // changed.
        list();
        std::vector<std::shared_ptr<PortCore>> joining = unjoined();
        changePorts(wanted, &joining);
        join(joining);
    }
    // The client of a server that went away (`serverGone`, left to libjack), or one that could not be activated
    // (closed): its ports are made on the next one.
    void forget(bool serverGone = true) {
        Run& run = *run_;
        run.cycleEnded(); // one that began before the server went ends within microseconds; none begins after
        for (auto& slot : run.slots)
            slot.store(nullptr);
        for (const auto& core : run.made)
            core->port.store(nullptr);
        run.made.clear();
        run.spares.clear();
        JackThread::closeClient(run.opened, serverGone);
        gone_.push_back(run_);
        run_ = nullptr;
    }
    // Ports are made and let go of on the active client: the connections of the others, and what they carry, are left
    // alone.
    // The ports made are added to `madeNow`, those let go of taken out of it.
    void changePorts(const std::vector<std::shared_ptr<PortCore>>& wanted,
                     std::vector<std::shared_ptr<PortCore>>* madeNow) {
        Run& run = *run_;
        auto in = [](const std::vector<std::shared_ptr<PortCore>>& list, const std::shared_ptr<PortCore>& core) {
            return std::find(list.begin(), list.end(), core) != list.end();
        };
        // A port refused is not asked for again on this client: it would be refused at every settling.
        run.refused.erase(std::remove_if(run.refused.begin(), run.refused.end(),
                                         [&](const std::shared_ptr<PortCore>& core) { return !in(wanted, core); }),
                          run.refused.end());
        std::vector<std::shared_ptr<PortCore>> going, coming;
        for (const auto& core : run.made)
            if (!in(wanted, core)) going.push_back(core);
        for (const auto& core : wanted)
            if (!in(run.made, core) && !in(run.refused, core)) coming.push_back(core);
        flush(going);
        for (const auto& core : going) {
            for (auto& slot : run.slots)
                if (slot.load() == core.get()) slot.store(nullptr);
            if (!run.cycleEnded()) run.lingering.push_back(core); // kept for the cycle that may still use it
            jack_port_t* port = core->port.exchange(nullptr);
            run.made.erase(std::find(run.made.begin(), run.made.end(), core));
            madeNow->erase(std::remove(madeNow->begin(), madeNow->end(), core), madeNow->end());
            jack_port_disconnect(run.client, port);
            run.spares.push_back({port, core->output, core->madeAs});
        }
        for (const auto& core : coming) {
            const char* shownName = core->endpoint.empty() ? core->name.c_str() : core->endpoint.c_str();
            auto slot = std::find_if(std::begin(run.slots), std::end(run.slots), [](auto& s) { return !s.load(); });
            if (slot == std::end(run.slots)) {
                fprintf(stderr,
                        "No room for a MIDI port for \"%s\" (the program holds %zu at most): it is left out until "
                        "chosen again\n",
                        shownName, kMaxPorts);
                run.refused.push_back(core);
                continue;
            }
            if (!makePort(run, *core)) {
                if (serverWent(run)) return; // made on the next client
                fprintf(stderr, "The JACK server refused a MIDI port for \"%s\": it is left out until chosen again\n",
                        shownName);
                run.refused.push_back(core);
                continue;
            }
            core->madeAnew();
            slot->store(core.get());
            run.made.push_back(core);
            madeNow->push_back(core);
        }
        // Activated once it has a port, and only while its server answers: libjack starts the process thread at the
        // activation, and the next open would end at once that of a client whose server went away. libjack gives up
        // on a process thread that has not begun within a second (a loaded machine): the client then stays inactive,
        // and a second activation would start a second process thread on it, so the client is made anew.
        if (!run.active && !run.made.empty() && !run.gone()) {
            run.active = JackThread::activate(run.client);
            run.inactive = !run.active;
        }
    }
    // The core's port: a spare of its direction, named anew where its name is not the one wanted, else a new one.
    static bool makePort(Run& run, PortCore& core) {
        auto spare = std::find_if(run.spares.begin(), run.spares.end(),
                                  [&](const Run::Spare& s) { return s.output == core.output && s.name == core.name; });
        if (spare == run.spares.end())
            spare = std::find_if(run.spares.begin(), run.spares.end(),
                                 [&](const Run::Spare& s) { return s.output == core.output; });
        if (spare != run.spares.end()) {
            const Run::Spare taken = *spare;
            run.spares.erase(spare);
            const std::string name = unusedName(run, core.name);
            const bool renamed = name != taken.name && jack_port_rename(run.client, taken.port, name.c_str()) == 0;
            core.port.store(taken.port);
            core.madeAs = renamed ? name : taken.name;
            return true;
        }
        const std::string name = unusedName(run, core.name);
        jack_port_t* port = jack_port_register(run.client, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                               core.output ? JackPortIsOutput : JackPortIsInput, 0);
        if (!port) return false;
        core.port.store(port);
        core.madeAs = name;
        return true;
    }
    // After a request failed: whether its server went away. The notice of that comes a moment after the answer.
    static bool serverWent(const Run& run) {
        for (int i = 0; i < 100 && !run.gone(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return run.gone();
    }
    // What the outputs going still hold goes out while their connections carry it, within half a second for a server
    // that runs no cycle. The last bytes written are read by the destination in that cycle, or in the next where the
    // two clients feed each other (JACK runs such a loop a cycle apart): the port stays until that one has ended too.
    void flush(const std::vector<std::shared_ptr<PortCore>>& going) {
        if (!run_->active || going.empty()) return;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        auto connected = [](const std::shared_ptr<PortCore>& core) {
            return core->output && jack_port_connected(core->port.load()) > 0;
        };
        auto holds = [&](const std::shared_ptr<PortCore>& core) {
            return connected(core) && static_cast<OutputCore&>(*core).holding();
        };
        while (std::any_of(going.begin(), going.end(), holds) && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (std::none_of(going.begin(), going.end(), connected)) return;
        const unsigned emptied = run_->cycles.load(std::memory_order_acquire);
        while (run_->cycles.load(std::memory_order_acquire) - emptied < 2 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // `base`, or with a suffix where another port of the client has that name.
    static std::string unusedName(const Run& run, const std::string& base) {
        std::string name = base;
        auto taken = [&] {
            return std::any_of(run.made.begin(), run.made.end(),
                               [&](const auto& core) { return core->madeAs == name; }) ||
                   std::any_of(run.spares.begin(), run.spares.end(), [&](const auto& s) { return s.name == name; });
        };
        for (int k = 2; taken(); k++)
            name = base + "." + std::to_string(k);
        return name;
    }
    // Each port is joined to its endpoint whenever that is there and the two are not connected, as read from the
    // server's graph: an endpoint whose program made it anew, however quickly, is a new port to join. An output
    // joined anew tells its owner, which sends its whole state.
    // Reads the graph: the ports made that are not connected to their endpoint. Ports made after it are not connected
    // to anything (a spare was disconnected when it was let go of).
    std::vector<std::shared_ptr<PortCore>> unjoined() const {
        std::vector<std::shared_ptr<PortCore>> found;
        for (const auto& core : run_->made)
            if (!core->endpoint.empty() && !jack_port_connected_to(core->port.load(), core->endpoint.c_str()))
                found.push_back(core);
        return found;
    }
    // Requests only, no read of the graph.
    void join(const std::vector<std::shared_ptr<PortCore>>& cores) {
        Run& run = *run_;
        if (!run.active) return;
        for (const auto& core : cores) {
            const char* endpoint = core->endpoint.c_str();
            jack_port_t* ours = core->port.load();
            if (core->endpoint.empty() || !jack_port_by_name(run.client, endpoint)) continue;
            const char* name = jack_port_name(ours);
            const int result =
                core->output ? jack_connect(run.client, name, endpoint) : jack_connect(run.client, endpoint, name);
            if (result == 0 && core->output) static_cast<OutputCore&>(*core).joined();
        }
    }
    void list() {
        Listing fresh;
        fresh.sources = JackThread::portsOf(run_->client, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
        fresh.destinations = JackThread::portsOf(run_->client, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
        std::lock_guard<std::mutex> guard(mutex_);
        if (fresh != listed_ || !known_) {
            listed_ = std::move(fresh);
            known_ = true;
            changes_++;
        }
    }

    std::mutex mutex_; // the four below, between the main thread and the JACK thread
    std::vector<std::shared_ptr<PortCore>> wanted_;
    Listing listed_;
    bool known_ = false; // a listing came back once
    unsigned changes_ = 0;
    Signals signals_;
    std::atomic<bool> settling_{false};
    std::atomic<bool> noServer_{false};    // the last try found no server
    std::atomic<bool> reachedOnce_{false}; // a server let a client in, once
    Run* run_ = nullptr;                   // JACK thread, as below
    std::vector<Run*> gone_;               // the runs whose server went away: kept for libjack's callbacks
    // Main thread.
    std::vector<std::string> shownSources_, shownDestinations_;
    bool opened_ = false, listingOwed_ = false, saidNoAnswer_ = false, saidNone_ = false;
    double retryAt_ = 0, retryDelay_ = kFirstRetryMs, lookAt_ = 0;
    unsigned freeingsSeen_ = 0;
    unsigned arrivals_ = 0; // of JACK servers, when last looked
};

} // namespace

MidiPorts& jackMidiPorts() {
    // Never freed: requests handed to the JACK thread may still use it when the program ends.
    static JackMidiPorts* ports = new JackMidiPorts;
    return *ports;
}
