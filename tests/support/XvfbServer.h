// An X server of the test's own (Xvfb on a free display), started and stopped by its process id,
// for the tests that open windows and dialogs.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

class XvfbServer {
public:
    // Starts Xvfb and sets DISPLAY to it; display() is empty when it could not start.
    XvfbServer() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            // The server goes with the test, also when the test dies without stopping it; it keeps nothing
            // of the test's output open (a runner waiting for that output to end would wait for it).
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            close(fds[0]);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1000x24", "-nolisten", "tcp",
                   "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return;
        }
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (number.empty()) {
            stop();
            return;
        }
        display_ = ":" + number;
        if (const char* old = getenv("DISPLAY")) oldDisplay_ = old;
        setenv("DISPLAY", display_.c_str(), 1);
    }
    ~XvfbServer() {
        stop();
        if (!oldDisplay_.empty())
            setenv("DISPLAY", oldDisplay_.c_str(), 1);
        else
            unsetenv("DISPLAY");
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& display() const { return display_; }

private:
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    pid_t pid_ = -1;
    std::string display_, oldDisplay_;
};

} // namespace testsupport
