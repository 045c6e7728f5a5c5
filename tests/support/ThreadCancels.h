// Threads of the test program, libjack's own among them, ended by a cancel before they had started. libjack ends its
// threads with an asynchronous cancel, which lands wherever the thread is: one that is still starting (taking
// real-time priority, saying it could not) can leave a lock of libjack's or the C library's held for good. A thread
// has started as JACK tells it: a process thread once it ran its client's thread-init callback (one is set on every
// client activated), a client's notice thread once the open that made it returned (the server waits for its answer to
// a notice then). Counted by taking pthread_create, pthread_cancel, jack_client_open, jack_activate and
// jack_set_thread_init_callback over for the whole program and passing them on. A thread that one open starts and
// ends (an open that fails half way) is libjack's own business and not counted. A test may make process threads start
// or begin later (delayStarts, delayBegin), as on a machine too loaded to run them. Activations of a client whose
// activation failed (libjack gave its process thread up at the start, and starts another) are counted too. The opens of
// each client name are counted too, and the closes of a client after libjack told it its server went away (closing such
// a client crashes libjack, though not every time), by taking jack_on_shutdown and jack_client_close over as well.
// Include this header in one source file of a test program only. Under a sanitizer, whose runtime takes the thread
// functions over itself, nothing is counted.
#pragma once

#include "support/Sanitized.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <thread>

namespace testsupport {

struct ThreadCancels {
    static constexpr bool kCounted = !TARLUME_SANITIZED;

    // Threads cancelled before they had started, since the program started.
    static unsigned unstarted() {
        std::lock_guard<std::mutex> guard(mutex);
        return unstartedCount;
    }
    // Activations of a client whose last activation failed: libjack starts a second process thread on it then.
    static unsigned activatedAgain() {
        std::lock_guard<std::mutex> guard(clientsMutex);
        return activatedAgainCount;
    }
    // Process threads made from now on take `ms` longer to start, before their thread-init callback.
    static void delayStarts(int ms) { startDelayMs.store(ms); }
    // The next process thread of a client of that name begins `ms` late, before libjack's code runs in it.
    static void delayBegin(const std::string& client, int ms) {
        std::lock_guard<std::mutex> guard(clientsMutex);
        lateBegins[client] = ms;
    }

    // Opens asked for a client of that name, and notices of a lost server its clients got, since the program started.
    static unsigned opens(const std::string& name) {
        std::lock_guard<std::mutex> guard(clientsMutex);
        return opened[name];
    }
    static unsigned shutdowns(const std::string& name) {
        std::lock_guard<std::mutex> guard(clientsMutex);
        return shutDown[name];
    }
    // Closes of a client whose server had gone, as libjack told it.
    static unsigned goneCloses() {
        std::lock_guard<std::mutex> guard(clientsMutex);
        return goneCloseCount;
    }

    struct Birth {
        pthread_t creator;
        unsigned open;        // the creator's open it was started in, 0 for none
        bool started = false; // as JACK tells it
    };
    static inline std::mutex mutex;
    static inline std::map<pthread_t, Birth> births;
    static inline unsigned unstartedCount = 0;
    static inline std::atomic<int> startDelayMs{0};
    // The thread is in jack_activate: the thread libjack makes now is the client's process thread, which begins
    // lateBeginMs late.
    static inline thread_local bool activating = false;
    static inline thread_local int lateBeginMs = 0;
    static inline unsigned activatedAgainCount = 0;
    static inline std::set<jack_client_t*> failedActivation;
    static inline std::map<std::string, int> lateBegins;
    // This thread is a process thread that has not started.
    static inline thread_local bool starting = false;
    static void said(pthread_t thread) {
        std::lock_guard<std::mutex> guard(mutex);
        const auto birth = births.find(thread);
        if (birth != births.end()) birth->second.started = true;
    }
    // The thread-init callback the program set on a client, run after the test's own.
    struct InitCallback {
        JackThreadInitCallback callback = nullptr;
        void* arg = nullptr;
    };
    static inline std::map<jack_client_t*, InitCallback*> initCallbacks;
    static void initThread(void* arg) {
        // libjack runs the process thread with asynchronous cancels: none may land while a lock is held.
        int cancelState = PTHREAD_CANCEL_ENABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
        if (starting) {
            if (const int ms = startDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            starting = false;
            said(pthread_self());
        }
        pthread_setcancelstate(cancelState, nullptr);
        const auto* program = static_cast<const InitCallback*>(arg);
        if (program->callback) program->callback(program->arg);
    }
    // Held by libjack as the callback's argument for as long as the client is there: never freed.
    static InitCallback* initCallbackOf(jack_client_t* client) {
        std::lock_guard<std::mutex> guard(clientsMutex);
        InitCallback*& c = initCallbacks[client];
        if (!c) c = new InitCallback;
        return c;
    }
    // The open the calling thread is in (0: none), and the count of its opens.
    static inline thread_local unsigned openNow = 0;
    static inline thread_local unsigned openCount = 0;
    static inline std::mutex clientsMutex;
    static inline std::map<std::string, unsigned> opened;
    static inline std::map<std::string, unsigned> shutDown;
    static inline std::set<jack_client_t*> serverGone;
    static inline unsigned goneCloseCount = 0;
};

} // namespace testsupport

#if !TARLUME_SANITIZED
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    using testsupport::ThreadCancels;
    struct Start {
        void* (*routine)(void*);
        void* arg;
        bool process;
        int lateMs;
    };
    auto* begin = new Start{start, arg, ThreadCancels::activating, ThreadCancels::lateBeginMs};
    // Held until the birth is written: a cancel of the new thread waits for it.
    std::lock_guard<std::mutex> guard(ThreadCancels::mutex);
    const int result = real(
        thread, attr,
        [](void* a) {
            const Start s = *static_cast<Start*>(a);
            delete static_cast<Start*>(a);
            ThreadCancels::starting = s.process;
            if (s.lateMs) std::this_thread::sleep_for(std::chrono::milliseconds(s.lateMs));
            return s.routine(s.arg);
        },
        begin);
    if (result == 0)
        ThreadCancels::births[*thread] = {pthread_self(), ThreadCancels::openNow};
    else
        delete begin;
    return result;
}

extern "C" int pthread_cancel(pthread_t thread) {
    using Cancel = int (*)(pthread_t);
    static const auto real = reinterpret_cast<Cancel>(dlsym(RTLD_NEXT, "pthread_cancel"));
    using testsupport::ThreadCancels;
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::mutex);
        const auto birth = ThreadCancels::births.find(thread);
        const bool sameOpen = birth != ThreadCancels::births.end() && birth->second.open != 0 &&
                              pthread_equal(birth->second.creator, pthread_self()) &&
                              birth->second.open == ThreadCancels::openNow;
        if (birth != ThreadCancels::births.end() && !sameOpen && !birth->second.started)
            ThreadCancels::unstartedCount++;
    }
    return real(thread);
}

// The program and the tests pass no optional argument but a server's name.
extern "C" jack_client_t* jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    using Open = jack_client_t* (*)(const char*, jack_options_t, jack_status_t*, ...);
    static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "jack_client_open"));
    using testsupport::ThreadCancels;
    if (options & (JackLoadName | JackLoadInit | JackSessionID)) abort();
    const char* server = nullptr;
    if (options & JackServerName) {
        va_list arguments;
        va_start(arguments, status);
        server = va_arg(arguments, const char*);
        va_end(arguments);
    }
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex);
        ThreadCancels::opened[name]++;
    }
    const unsigned outer = ThreadCancels::openNow;
    ThreadCancels::openNow = ++ThreadCancels::openCount;
    const unsigned open = ThreadCancels::openNow;
    jack_client_t* client = server ? real(name, options, status, server) : real(name, options, status);
    ThreadCancels::openNow = outer;
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::mutex);
        for (auto& [thread, birth] : ThreadCancels::births)
            if (pthread_equal(birth.creator, pthread_self()) && birth.open == open) birth.started = true;
    }
    if (client) { // the address of a client libjack freed may come back for this one
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex);
        ThreadCancels::serverGone.erase(client);
        ThreadCancels::initCallbacks.erase(client); // that of a freed client stays its libjack's argument
        ThreadCancels::failedActivation.erase(client);
    }
    return client;
}

extern "C" int jack_set_thread_init_callback(jack_client_t* client, JackThreadInitCallback callback, void* arg) {
    using SetInit = int (*)(jack_client_t*, JackThreadInitCallback, void*);
    static const auto real = reinterpret_cast<SetInit>(dlsym(RTLD_NEXT, "jack_set_thread_init_callback"));
    using testsupport::ThreadCancels;
    ThreadCancels::InitCallback* program = ThreadCancels::initCallbackOf(client);
    program->callback = callback;
    program->arg = arg;
    return real(client, &ThreadCancels::initThread, program);
}

extern "C" int jack_activate(jack_client_t* client) {
    using Activate = int (*)(jack_client_t*);
    static const auto real = reinterpret_cast<Activate>(dlsym(RTLD_NEXT, "jack_activate"));
    using testsupport::ThreadCancels;
    bool set;
    int lateMs = 0;
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex);
        set = ThreadCancels::initCallbacks.count(client) > 0;
        if (ThreadCancels::failedActivation.count(client)) ThreadCancels::activatedAgainCount++;
        const auto late = ThreadCancels::lateBegins.find(jack_get_client_name(client));
        if (late != ThreadCancels::lateBegins.end()) {
            lateMs = late->second;
            ThreadCancels::lateBegins.erase(late);
        }
    }
    if (!set) jack_set_thread_init_callback(client, nullptr, nullptr);
    ThreadCancels::activating = true;
    ThreadCancels::lateBeginMs = lateMs;
    const int result = real(client);
    ThreadCancels::activating = false;
    ThreadCancels::lateBeginMs = 0;
    std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex);
    if (result != 0)
        ThreadCancels::failedActivation.insert(client);
    else
        ThreadCancels::failedActivation.erase(client);
    return result;
}

extern "C" void jack_on_shutdown(jack_client_t* client, JackShutdownCallback callback, void* arg) {
    using OnShutdown = void (*)(jack_client_t*, JackShutdownCallback, void*);
    static const auto real = reinterpret_cast<OnShutdown>(dlsym(RTLD_NEXT, "jack_on_shutdown"));
    using testsupport::ThreadCancels;
    struct Told {
        jack_client_t* client;
        std::string name;
        JackShutdownCallback callback;
        void* arg;
    };
    // libjack keeps it as the callback's argument for as long as the client is there: never freed.
    auto* told = new Told{client, jack_get_client_name(client), callback, arg};
    real(
        client,
        [](void* argument) {
            auto* t = static_cast<Told*>(argument);
            {
                std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex);
                ThreadCancels::serverGone.insert(t->client);
                ThreadCancels::shutDown[t->name]++;
            }
            if (t->callback) t->callback(t->arg);
        },
        told);
}

extern "C" int jack_client_close(jack_client_t* client) {
    using Close = int (*)(jack_client_t*);
    static const auto real = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "jack_client_close"));
    using testsupport::ThreadCancels;
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex);
        if (ThreadCancels::serverGone.erase(client)) ThreadCancels::goneCloseCount++;
        ThreadCancels::failedActivation.erase(client);
    }
    return real(client);
}
#endif
