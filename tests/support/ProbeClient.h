// The end-to-end tests' side of the test build's probe (tests/probe): one query line out, one answer
// line back, over the Unix socket the program was started with. Answers arrive at the program's next
// frame, so an answer also tells that the frames before it have run.
#pragma once

#include "support/ProgramRun.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class ProbeClient {
public:
    ProbeClient() = default;
    ~ProbeClient() { disconnect(); }
    ProbeClient(const ProbeClient&) = delete;
    ProbeClient& operator=(const ProbeClient&) = delete;

    // Connects to the socket, waiting up to `seconds` for the program to listen.
    bool connect(const std::string& path, double seconds = 60) {
        return waitFor(
            [&] {
                disconnect();
                fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
                return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            },
            seconds);
    }
    // The answer's fields after "ok"; empty, with error() set, for an error or no answer in 30 s.
    std::vector<std::string> ask(const std::string& query) {
        error_.clear();
        const std::string line = query + "\n";
        if (fd_ < 0 || ::write(fd_, line.data(), line.size()) != ssize_t(line.size())) return fail("not connected");
        std::string answer;
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                answer = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                break;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) return fail("no answer to " + query);
            char buf[65536];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return fail("the program closed the probe");
            buffer_.append(buf, size_t(n));
        }
        std::vector<std::string> fields;
        std::istringstream in(answer);
        for (std::string f; std::getline(in, f, '\t');)
            fields.push_back(f);
        if (fields.empty() || fields[0] != "ok") return fail(answer);
        fields.erase(fields.begin());
        return fields;
    }
    // key=value fields of an answer as a map.
    std::map<std::string, std::string> facts(const std::string& query) {
        std::map<std::string, std::string> out;
        for (const std::string& f : ask(query)) {
            const size_t eq = f.find('=');
            if (eq != std::string::npos) out[f.substr(0, eq)] = f.substr(eq + 1);
        }
        return out;
    }
    const std::string& error() const { return error_; }

private:
    std::vector<std::string> fail(const std::string& why) {
        error_ = why;
        return {};
    }
    void disconnect() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        buffer_.clear();
    }
    int fd_ = -1;
    std::string buffer_, error_;
};

} // namespace testsupport
