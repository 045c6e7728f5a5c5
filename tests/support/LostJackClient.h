// A client of the test's own whose connection to its server breaks, as by a server that turns a half-made client out.
// libjack then refuses every request of the process's clients, and the next open of the process frees them all, also
// those of a server that runs on (see JackThread::alive): freeEveryClient makes it happen.
#pragma once

#include "platform/JackThread.h"
#include "support/JackServer.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace testsupport {

// The process's sockets, by descriptor.
inline std::set<std::string> processSockets() {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0)
            found.insert(entry.path().filename().string());
    }
    return found;
}

// True once the client lost its server. It is never closed: libjack frees it at the process's next open, which must be
// made on the program's JACK thread (it would meet the program's requests on another).
inline bool loseJackClient(const std::string& server) {
    // The program's own sockets are made before the client's are told apart, and nothing of the program's is under way
    // as the server is held (see freeEveryClient), which would hold the JACK thread with it.
    for (int i = 0; i < 30 && !JackThread::drain(); i++) {
    }
    const std::set<std::string> before = processSockets();
    jack_client_t* lost = JackServer::openClient("lost", server);
    if (!lost) return false;
    static std::atomic<int> shutDowns{0};
    const int seen = shutDowns.load();
    jack_on_shutdown(
        lost, [](void*) { shutDowns.fetch_add(1); }, nullptr);
    if (!JackThread::activate(lost)) return false;
    for (const std::string& fd : processSockets())
        if (!before.count(fd)) shutdown(std::stoi(fd), SHUT_RD);
    for (int i = 0; i < 500 && shutDowns.load() == seen; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return shutDowns.load() != seen;
}

// True once libjack has freed every client of the process, the program's too, while `server` runs on, and the server
// has let go of them: a client of the test's own loses its server, and an open made on the program's JACK thread (for a
// server that is not there, so it ends as soon as the free has) frees them all. The test's own clients are left to
// libjack before. The server is held still through the free: libjack ends one client's threads and unmaps its memory
// after the other's, and a cycle the server ran meanwhile would have a thread not yet ended signal one already unmapped
// (libjack's SIGSEGV, 1 run in about 8 under ThreadSanitizer).
inline bool freeEveryClient(const JackServer& server) {
    if (!loseJackClient(server.name())) return false;
    const unsigned freeings = JackThread::freeings();
    if (kill(server.pid(), SIGSTOP) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // a cycle under way runs through the clients
    auto onJackThread = [](std::function<void()> request) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        JackThread::post([request, done] {
            request();
            done->store(true);
        });
        for (int i = 0; i < 3000 && !done->load(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done->load();
    };
    const bool freed = onJackThread([] {
        JackThread::letThreadsStart();
        jack_status_t status;
        if (jack_client_t* c = jack_client_open("tarlume-freeing", jack_options_t(JackNoStartServer | JackServerName),
                                                &status, "tarlume-no-such-server"))
            jack_client_close(c);
    });
    kill(server.pid(), SIGCONT);
    // The server closes the freed clients as it finds their sockets closed: until then it waits on them, now and then
    // for longer than a second, which the program's next client would take for a stall.
    auto letGo = std::make_shared<std::atomic<bool>>(false);
    const bool looked = onJackThread([name = server.name(), letGo] {
        jack_client_t* probe = JackServer::openClient("tarlume-probe", name);
        if (!probe) return;
        for (int i = 0; i < 500 && !letGo->load(); i++) {
            bool onlyTheSystem = true;
            if (const char** ports = jack_get_ports(probe, nullptr, nullptr, 0)) {
                for (const char** p = ports; *p; p++)
                    onlyTheSystem = onlyTheSystem && std::string(*p).rfind("system:", 0) == 0;
                jack_free(ports);
            }
            letGo->store(onlyTheSystem);
            if (!onlyTheSystem) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        JackThread::letThreadsStart();
        jack_client_close(probe);
    });
    return freed && looked && letGo->load() && JackThread::freeings() != freeings;
}

} // namespace testsupport
