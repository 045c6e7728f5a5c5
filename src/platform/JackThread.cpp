#include "platform/JackThread.h"

#include <jack/thread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace JackThread {

namespace {

using Clock = std::chrono::steady_clock;

// What the main thread may wait for the server in all, given back at the pace of time: the waits of one device change,
// one options window, one quit, made one right after the other, come to a second at most, however the server answers
// meanwhile, while a server that answers at its usual pace is never cut short.
constexpr Clock::duration kAllowance = std::chrono::seconds(1);
constexpr int kRefusalsAsked = 5; // times a server that is there is asked again for a client it turned away

struct Job {
    std::function<void()> request, ifLate;
    bool done = false;    // ended while its caller waited
    bool givenUp = false; // nobody waits for it, and calls are not handed over until it ended
};

struct State {
    std::mutex mutex;
    std::condition_variable work, ended;
    std::deque<std::shared_ptr<Job>> queue;
    int pending = 0; // handed over and not ended
    int givenUp = 0; // of those, given up on (or holding)
    bool ending = false; // the program ends: the thread leaves once idle, and nothing more is run
    std::thread thread;
    Clock::duration allowance = kAllowance;
    Clock::time_point refilled = Clock::now();
    struct Opened {
        jack_client_t* jack;
        std::string name;
        unsigned born; // freeings() when it was opened
    };
    std::map<unsigned long, Opened> clients; // the program's own, by serial; JACK thread only, as the one below
    unsigned long serials = 0;
};

std::atomic<unsigned> freed{0};
std::atomic<bool> refusing{false};   // see cutOff()
std::atomic<bool> threadMade{false}; // something was handed over: the thread was made
using Said = void (*)(const char*);
std::atomic<Said> chained{nullptr}; // the error function other code installed, still told what libjack says
thread_local bool inQuiet = false;  // this thread is passing a message of libjack's on

// libjack says so, on the thread of the open that does it, before it frees the clients; and, until then, at each
// request it refuses.
void quiet(const char* message) {
    // Another error function that passes messages on, as this one does, to the one it replaced would pass each back
    // here, for ever.
    if (inQuiet) return;
    inQuiet = true;
    static const char kFreesAll[] = "Jack server was closed but clients are still allocated";
    static const char kRefusesAll[] = "Server is not running";
    if (std::strncmp(message, kFreesAll, sizeof kFreesAll - 1) == 0) freed.fetch_add(1);
    if (std::strncmp(message, kRefusesAll, sizeof kRefusesAll - 1) == 0) refusing.store(true);
    if (Said other = chained.load()) other(message);
    inQuiet = false;
}

// The threads libjack started, as they say they have started (see letThreadsStart). libjack makes every thread of
// the process's clients through the one creator of the process, set here before the first open: it runs on the thread
// that asks for the thread, and its trampoline on the new one.
struct Starts {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long made = 0, begun = 0;   // threads made, and those that began to run
    unsigned long awaited = 0, said = 0; // process threads made by activate(), and those that said they started
};
Starts& starts() {
    static Starts* s = new Starts; // never freed: libjack's threads may still start or end as the program ends
    return *s;
}
thread_local bool activating = false; // this thread is in activate(): the thread libjack makes now is a process thread
thread_local bool owesWord = false;   // this thread is a process thread of activate()'s that has not said it started

// A process thread that ends before it said it started (its start failed, or it was cancelled all the same) is
// not waited for.
struct Word {
    explicit Word(bool owed) { owesWord = owed; }
    ~Word() { saysStarted(nullptr); }
    static void saysStarted(void*) {
        if (!owesWord) return;
        owesWord = false;
        // libjack runs the process thread with asynchronous cancels: none may land while the lock is held.
        int cancelState = PTHREAD_CANCEL_ENABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
        {
            Starts& s = starts();
            std::lock_guard<std::mutex> guard(s.mutex);
            s.said++;
            s.changed.notify_all();
        }
        pthread_setcancelstate(cancelState, nullptr);
    }
};

struct Trampoline {
    void* (*routine)(void*);
    void* arg;
    bool owesWord;
};

void* begin(void* arg) {
    const Trampoline t = *static_cast<Trampoline*>(arg);
    delete static_cast<Trampoline*>(arg);
    {
        Starts& s = starts();
        std::lock_guard<std::mutex> guard(s.mutex);
        s.begun++;
        s.changed.notify_all();
    }
    Word word(t.owesWord);
    return t.routine(t.arg);
}

int create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* arg) {
    Starts& s = starts();
    auto* t = new Trampoline{routine, arg, activating};
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.made++;
        if (t->owesWord) s.awaited++;
    }
    const int result = pthread_create(thread, attributes, begin, t);
    if (result != 0) {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.made--;
        if (t->owesWord) s.awaited--;
        delete t;
    }
    return result;
}

void makeThreadsThroughCreate() {
    static std::once_flag once;
    std::call_once(once, [] { jack_set_thread_creator(create); });
}

// Puts the program's error function back where other code replaced it (PortAudio installs its own once it has opened
// its client), passing libjack's messages on to it.
void hear() {
    if (jack_error_callback == &quiet) return;
    chained.store(jack_error_callback);
    jack_set_error_function(quiet);
}

void run(State& s) {
    // The quit's signals go to the other threads: a request here is never broken off by one (libjack's own threads,
    // made here, keep this mask). And libjack writes its requests to the server's socket with plain writes: one written
    // in the moment between a server's death and the client's notice of it would end the program with SIGPIPE, where
    // it must only fail.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    // The one line a user needs about a missing server is the program's, not libjack's dozen.
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.work.wait(lock, [&] { return !s.queue.empty() || s.ending; });
            if (s.ending) return;
            job = std::move(s.queue.front());
            s.queue.pop_front();
        }
        job->request();
        job->request = nullptr; // what it held goes here, not under the lock
        bool late;
        {
            std::lock_guard<std::mutex> guard(s.mutex);
            late = job->givenUp;
            job->done = !late;
        }
        if (late && job->ifLate) job->ifLate();
        job->ifLate = nullptr;
        std::lock_guard<std::mutex> guard(s.mutex);
        if (late) s.givenUp--;
        s.pending--;
        s.ended.notify_all();
    }
}

void endAtExit();

State& state() {
    static State* s = [] {
        makeThreadsThroughCreate();
        auto* made = new State; // never freed: a request may be held at the program's end
        made->thread = std::thread([made] { run(*made); });
        threadMade.store(true);
        std::atexit(endAtExit);
        return made;
    }();
    return *s;
}

// At the program's end the thread leaves and is joined once what was handed over has ended, within the allowance: a
// thread still at work as the process ends may meet what the end takes down, and a leak checker that stops every
// thread at the end can crash on one that is running or leaving then. One that holds a request (a server that does
// not answer) is left where it is, and what is handed over after this stays queued, never run.
void endAtExit() {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const bool idle =
        s.givenUp == 0 && s.ended.wait_for(lock, kAllowance, [&] { return s.pending == 0 || s.givenUp > 0; }) &&
        s.pending == 0;
    s.ending = true;
    s.work.notify_one();
    lock.unlock();
    if (idle)
        s.thread.join();
    else
        s.thread.detach();
}

// Mutex held.
void handOver(State& s, const std::shared_ptr<Job>& job) {
    s.queue.push_back(job);
    s.pending++;
    if (job->givenUp) s.givenUp++;
    s.work.notify_one();
}

} // namespace

Reply call(std::function<void()> request, std::function<void()> ifLate) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const Clock::time_point start = Clock::now();
    s.allowance = std::min(kAllowance, s.allowance + (start - s.refilled));
    s.refilled = start;
    if (s.givenUp > 0 || s.ending || s.allowance <= Clock::duration::zero()) return Reply::NotAsked;
    auto job = std::make_shared<Job>();
    job->request = std::move(request);
    job->ifLate = std::move(ifLate);
    handOver(s, job);
    const bool inTime = s.ended.wait_for(lock, s.allowance, [&] { return job->done; });
    s.refilled = Clock::now();
    s.allowance -= s.refilled - start;
    if (inTime) return Reply::InTime;
    job->givenUp = true;
    s.givenUp++;
    return Reply::Late;
}

void post(std::function<void()> request, bool holds) {
    State& s = state();
    auto job = std::make_shared<Job>();
    job->request = std::move(request);
    job->givenUp = holds;
    std::lock_guard<std::mutex> guard(s.mutex);
    handOver(s, job);
}

bool drain() {
    // Nothing was handed over: no thread is made only to be waited for, which would still be starting as the program
    // ends.
    if (!threadMade.load()) return true;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.ended.wait_for(lock, kAllowance, [&] { return s.pending == 0 || s.ending; }) && s.pending == 0;
}

void hearAgain() {
    hear();
}

void letThreadsStart() {
    makeThreadsThroughCreate();
    Starts& s = starts();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait(lock, [&] { return s.begun == s.made && s.said == s.awaited; });
}

bool activate(jack_client_t* client) {
    makeThreadsThroughCreate();
    jack_set_thread_init_callback(client, &Word::saysStarted, nullptr);
    activating = true;
    const bool done = jack_activate(client) == 0;
    activating = false;
    return done;
}

void deactivate(jack_client_t* client) {
    letThreadsStart();
    jack_deactivate(client);
}

Client openClient(const std::string& name, jack_status_t* status) {
    letThreadsStart(); // this open may free every client of the process, ending their threads
    hear();
    jack_client_t* client = nullptr;
    for (int refusals = 0;; refusals++) {
        jack_status_t answer = jack_status_t(0);
        client = jack_client_open(name.c_str(), JackNoStartServer, &answer);
        if (status) *status = answer;
        if (client || (answer & JackServerFailed) || refusals == kRefusalsAsked) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Those libjack freed go.
    State& s = state();
    const unsigned now = freed.load();
    for (auto c = s.clients.begin(); c != s.clients.end();)
        c = c->second.born != now ? s.clients.erase(c) : std::next(c);
    if (!client) return {};
    refusing.store(false);
    const unsigned long serial = ++s.serials;
    s.clients[serial] = {client, jack_get_client_name(client), now};
    return {client, serial};
}

void closeClient(const Client& client, bool serverGone) {
    const bool there = alive(client);
    state().clients.erase(client.serial);
    if (!there || serverGone) return;
    letThreadsStart();
    jack_client_close(client.jack);
}

bool alive(const Client& client) {
    const auto& clients = state().clients;
    const auto c = clients.find(client.serial);
    return client && c != clients.end() && c->second.jack == client.jack && c->second.born == freed.load();
}

unsigned freeings() {
    return freed.load();
}

bool cutOff() {
    return refusing.load();
}

unsigned serverArrivals() {
    // libjack's server makes its request socket, named after the server and the user, in this folder.
    static const char kSockets[] = "/dev/shm";
    static const int watch = [] {
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd >= 0 && inotify_add_watch(fd, kSockets, IN_CREATE | IN_MOVED_TO) < 0) {
            close(fd);
            return -1;
        }
        return fd;
    }();
    static unsigned arrivals = 0;
    if (watch < 0) return arrivals;
    const char* server = getenv("JACK_DEFAULT_SERVER");
    const std::string socket =
        "jack_" + std::string(server && *server ? server : "default") + "_" + std::to_string(getuid()) + "_0";
    alignas(inotify_event) char events[4096];
    for (ssize_t length; (length = read(watch, events, sizeof events)) > 0;)
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0 && socket == event->name) arrivals++;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    return arrivals;
}

bool mine(const std::string& portName) {
    const std::string client = portName.substr(0, portName.find(':'));
    const auto& clients = state().clients;
    return std::any_of(clients.begin(), clients.end(), [&](const auto& c) { return c.second.name == client; });
}

std::vector<std::string> portsOf(jack_client_t* client, const char* type, unsigned long flags) {
    std::vector<std::string> names;
    if (const char** ports = jack_get_ports(client, nullptr, type, flags)) {
        for (const char** p = ports; *p; p++)
            if (!mine(*p)) names.emplace_back(*p);
        jack_free(ports);
    }
    return names;
}

} // namespace JackThread
