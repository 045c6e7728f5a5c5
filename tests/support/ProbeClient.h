// The end-to-end tests' side of the test build's probe (tests/probe): one query line out, one answer
// line back, over the Unix socket the program was started with. Answers arrive at the program's next
// frame, so an answer also tells that the frames before it have run. A program that gave no answer in
// time, or closed the socket, is asked no more: every later question fails at once.
#pragma once

#include "support/ProgramRun.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
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
                lost_.clear();
                fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
                return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            },
            seconds);
    }
    // The answer's fields after "ok"; empty, with error() set, for an error or no answer in 30 s. The first
    // question left unanswered calls `onSilent` (which may throw to end the caller's work).
    std::vector<std::string> ask(const std::string& query) {
        error_.clear();
        if (!lost_.empty()) return fail(lost_);
        const std::string line = query + "\n";
        // MSG_NOSIGNAL: a program that ended is told by the error, not by a SIGPIPE ending the test.
        if (fd_ < 0 || send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
            return lose("the probe is not connected (at " + query + ")");
        std::string answer;
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                answer = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                break;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) {
                lose("no answer in 30 s to " + query);
                if (onSilent) onSilent();
                return {};
            }
            char buf[65536];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return lose("the program closed the probe at " + query);
            buffer_.append(buf, size_t(n));
        }
        history_.push_back(query + " -> " + answer.substr(0, 300));
        if (history_.size() > 12) history_.pop_front();
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
    // Why the program is asked no more; empty while it answers.
    const std::string& lost() const { return lost_; }
    // The last questions and their answers.
    std::string history() const {
        std::string text;
        for (const std::string& h : history_)
            text += "  " + h + "\n";
        return text;
    }
    std::function<void()> onSilent;

private:
    std::vector<std::string> fail(const std::string& why) {
        error_ = why;
        return {};
    }
    std::vector<std::string> lose(const std::string& why) {
        lost_ = why;
        return fail(why);
    }
    void disconnect() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        buffer_.clear();
    }
    int fd_ = -1;
    std::string buffer_, error_, lost_;
    std::deque<std::string> history_;
};

} // namespace testsupport
