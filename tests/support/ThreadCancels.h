// Threads of the test program, libjack's own among them, ended by a cancel soon after their start. libjack ends its
// threads with an asynchronous cancel, which lands wherever the thread is: one that is still starting (taking
// real-time priority, saying it could not) can leave a lock of libjack's or the C library's held for good. Counted by
// taking pthread_create, pthread_cancel and jack_client_open over for the whole program and passing them on. A thread
// that one open starts and ends (an open that fails half way) is libjack's own business and not counted. The opens of
// each client name are counted too, and the closes of a client after libjack told it its server went away (closing such
// a client crashes libjack, though not every time), by taking jack_on_shutdown and jack_client_close over as well.
// Include this header in one source file of a test program only. Under a sanitizer, whose runtime takes the thread
// functions over itself, nothing is counted.
#pragma once

#include "support/Sanitized.h"

#include <jack/jack.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>

namespace testsupport {

struct ThreadCancels {
    using Clock = std::chrono::steady_clock;
    // As long as the program lets the threads libjack started last start (JackThread.cpp).
    static constexpr Clock::duration kYoung = std::chrono::milliseconds(200);
    static constexpr bool kCounted = !TARLUME_SANITIZED;

    // Threads cancelled younger than kYoung, since the program started.
    static unsigned young() {
        std::lock_guard<std::mutex> guard(mutex());
        return youngCount();
    }

    // Opens asked for a client of that name, and notices of a lost server its clients got, since the program started.
    static unsigned opens(const std::string& name) {
        std::lock_guard<std::mutex> guard(clientsMutex());
        return opened()[name];
    }
    static unsigned shutdowns(const std::string& name) {
        std::lock_guard<std::mutex> guard(clientsMutex());
        return shutDown()[name];
    }
    // Closes of a client whose server had gone, as libjack told it.
    static unsigned goneCloses() {
        std::lock_guard<std::mutex> guard(clientsMutex());
        return goneCloseCount();
    }

    struct Birth {
        Clock::time_point time;
        pthread_t creator;
        unsigned open; // the creator's open it was started in, 0 for none
    };
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::map<pthread_t, Birth>& births() {
        static std::map<pthread_t, Birth> b;
        return b;
    }
    static unsigned& youngCount() {
        static unsigned n = 0;
        return n;
    }
    // The open the calling thread is in (0: none), and the count of its opens.
    static unsigned& openNow() {
        static thread_local unsigned open = 0;
        return open;
    }
    static unsigned& opens() {
        static thread_local unsigned count = 0;
        return count;
    }
    static std::mutex& clientsMutex() {
        static std::mutex m;
        return m;
    }
    static std::map<std::string, unsigned>& opened() {
        static std::map<std::string, unsigned> n;
        return n;
    }
    static std::map<std::string, unsigned>& shutDown() {
        static std::map<std::string, unsigned> n;
        return n;
    }
    static std::set<jack_client_t*>& serverGone() {
        static std::set<jack_client_t*> s;
        return s;
    }
    static unsigned& goneCloseCount() {
        static unsigned n = 0;
        return n;
    }
};

} // namespace testsupport

#if !TARLUME_SANITIZED
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    using testsupport::ThreadCancels;
    // Held until the birth is written: a cancel of the new thread waits for it.
    std::lock_guard<std::mutex> guard(ThreadCancels::mutex());
    const ThreadCancels::Clock::time_point born = ThreadCancels::Clock::now();
    const int result = real(thread, attr, start, arg);
    if (result == 0) ThreadCancels::births()[*thread] = {born, pthread_self(), ThreadCancels::openNow()};
    return result;
}

extern "C" int pthread_cancel(pthread_t thread) {
    using Cancel = int (*)(pthread_t);
    static const auto real = reinterpret_cast<Cancel>(dlsym(RTLD_NEXT, "pthread_cancel"));
    using testsupport::ThreadCancels;
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::mutex());
        const auto birth = ThreadCancels::births().find(thread);
        const bool sameOpen = birth != ThreadCancels::births().end() && birth->second.open != 0 &&
                              pthread_equal(birth->second.creator, pthread_self()) &&
                              birth->second.open == ThreadCancels::openNow();
        if (birth != ThreadCancels::births().end() && !sameOpen &&
            ThreadCancels::Clock::now() - birth->second.time < ThreadCancels::kYoung)
            ThreadCancels::youngCount()++;
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
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex());
        ThreadCancels::opened()[name]++;
    }
    const unsigned outer = ThreadCancels::openNow();
    ThreadCancels::openNow() = ++ThreadCancels::opens();
    jack_client_t* client = server ? real(name, options, status, server) : real(name, options, status);
    ThreadCancels::openNow() = outer;
    if (client) { // the address of a client libjack freed may come back for this one
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex());
        ThreadCancels::serverGone().erase(client);
    }
    return client;
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
                std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex());
                ThreadCancels::serverGone().insert(t->client);
                ThreadCancels::shutDown()[t->name]++;
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
        std::lock_guard<std::mutex> guard(ThreadCancels::clientsMutex());
        if (ThreadCancels::serverGone().erase(client)) ThreadCancels::goneCloseCount()++;
    }
    return real(client);
}
#endif
