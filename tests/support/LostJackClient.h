// A client of the test's own whose connection to its server breaks, as by a server that turns a half-made client out.
// libjack then refuses every request of the process's clients, and the next open of the process frees them all, also
// those of a server that runs on (see JackThread::alive).
#pragma once

#include "platform/JackThread.h"
#include "support/JackServer.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <filesystem>
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
    JackThread::drain(); // the program's own sockets are made before the client's are told apart
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

} // namespace testsupport
