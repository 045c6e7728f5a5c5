// A JACK server of a test's own, on the dummy backend (no sound card needed): started under one of a few
// names kept for tests, ready once a client can connect, stopped by its process id.
//
// JACK keeps a machine-wide table of eight running servers in shared memory. A server that is killed
// (a test that times out or crashes takes its server with it) keeps its place there until a server of the
// same name starts, so servers named once each would fill the table for good after eight such deaths, and
// no JACK server could start on the machine again. Tests therefore share a pool of names: each is held,
// by a lock on a file, for as long as its server lives, and the kernel drops the lock of a test that died.
//
// Clients reach it with JACK_DEFAULT_SERVER=name() and JACK_NO_START_SERVER=1 in their environment
// (PortAudio's JACK host API reads them), or by opening a client with JackServerName.
// Needs libjack in the test program; jackd and jack_wait come from the jackd2 package.
#pragma once

#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

class JackServer {
public:
    // jackd on the PATH.
    static bool available() {
        const char* path = getenv("PATH");
        std::string dirs = path ? path : "/usr/bin:/bin";
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            if (access((dirs.substr(start, end - start) + "/jackd").c_str(), X_OK) == 0) return true;
            start = end + 1;
        }
        return false;
    }

    // Starts `jackd -r -n <unique> -d dummy -r <rate> -p <period> -C <captures> -P <playbacks>` and waits
    // (at most 10 s) until a client can connect. ready() tells whether it did. With `realTime` the server and
    // its clients' process threads run with real-time scheduling (-R instead of -r) where the system allows
    // it, as a DJ's server does; most tests go without, so that a busy machine can't starve the rest.
    // JACK keeps a small table of running servers: when other programs' servers fill it, a new one ends at
    // once. Such a server is started again, every half second for up to `waitSeconds`, until a place is free.
    explicit JackServer(int rate = 44100, int period = 256, int captures = 2, int playbacks = 2, bool realTime = false,
                        double waitSeconds = 10)
        : args_{rate, period, captures, playbacks}, realTime_(realTime), waitSeconds_(waitSeconds) {
        startWithRetries(false);
    }

    ~JackServer() {
        stop();
        releaseName();
    }

    // Names of the pool: at most this many test servers run at once, leaving places for a DJ's own.
    static constexpr int kNames = 6;

    // Stops the server as a user would (its clients are told it shuts down) and waits until it has ended.
    void stop() {
        ready_ = false;
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        // Up to 20 s on a loaded machine: a server killed before it has ended keeps its place in the machine's
        // table of servers (eight places, shared by every test that starts one) until one of its name starts again.
        for (int i = 0; i < 400; i++) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Starts a stopped server again under the same name; true once it is ready.
    bool restart() {
        stop();
        startWithRetries(true);
        return ready_;
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool ready() const { return ready_; }
    const std::string& name() const { return name_; }

    // A client of the test's own on `server`, null when none can be had. A loaded server was seen to turn a
    // client away for a moment just after another one closed: it is asked again then, for up to two seconds.
    static jack_client_t* openClient(const std::string& clientName, const std::string& server) {
        for (int refusals = 0;; refusals++) {
            jack_status_t st = jack_status_t(0);
            jack_client_t* client = jack_client_open(
                clientName.c_str(), jack_options_t(JackNoStartServer | JackServerName), &st, server.c_str());
            if (client || (st & JackServerFailed) || refusals == 40) return client;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    pid_t pid() const { return pid_; }

private:
    // Takes a free name of the pool, waiting up to `waitSeconds_` (at least ten minutes: an end-to-end test holds
    // its server for minutes, and the unit tests may run beside six of them) for one; false when none came free.
    bool takeName() {
        if (lock_ >= 0) return true;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(waitSeconds_, 600.0));
        const char* tmp = getenv("TMPDIR");
        const std::string folder = tmp && *tmp ? tmp : "/tmp";
        for (;;) {
            for (int i = 0; i < kNames; ++i) {
                const std::string suffix = std::to_string(getuid()) + "-" + std::to_string(i);
                int fd =
                    open((folder + "/tarlume-jack-" + suffix + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                if (fd < 0) continue;
                if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                    lock_ = fd;
                    name_ = "tarlume-test-" + suffix;
                    return true;
                }
                close(fd);
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    void releaseName() {
        if (lock_ >= 0) close(lock_);
        lock_ = -1;
    }
    void startWithRetries(bool sameName) {
        if (!sameName) releaseName();
        if (!takeName()) return;
        for (int attempt = 0; attempt < int(waitSeconds_ * 2) && !ready_; ++attempt) {
            if (attempt == 1)
                reclaimGoneServers(); // the first start ended at once: the table may be full of servers gone
            else if (attempt > 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (!start(args_[0], args_[1], args_[2], args_[3])) break; // not a start-up death: no retry
        }
    }
    // Places in JACK's table held by this user's servers whose process is gone (killed servers of other
    // names than the pool's, from programs or older tests) are freed as JACK frees them: a server started
    // under such a name takes the place over, and one that ends as asked gives it back.
    void reclaimGoneServers() {
        const std::string kept = name_;
        for (const std::string& gone : goneServers()) {
            name_ = gone;
            start(args_[0], args_[1], args_[2], args_[3]);
            stop();
        }
        name_ = kept;
    }
    // The names of this user's servers in the table (/dev/shm/jack-shm-registry: each place holds the
    // server's process id, then "jack-<uid>:<name>:") whose process is gone, the pool's own aside.
    static std::vector<std::string> goneServers() {
        std::vector<std::string> gone;
        FILE* f = fopen("/dev/shm/jack-shm-registry", "rb");
        if (!f) return gone;
        std::string bytes(16384, '\0');
        bytes.resize(fread(&bytes[0], 1, bytes.size(), f));
        fclose(f);
        const std::string prefix = "jack-" + std::to_string(getuid()) + ":";
        for (size_t at = bytes.find(prefix); at != std::string::npos; at = bytes.find(prefix, at + 1)) {
            const size_t from = at + prefix.size(), end = bytes.find(':', from);
            if (at < 4 || end == std::string::npos || end == from || end - from > 200) continue;
            const std::string name = bytes.substr(from, end - from);
            int32_t pid = 0;
            memcpy(&pid, &bytes[at - 4], sizeof pid);
            if (name.rfind("tarlume-test-", 0) == 0 || name.find('\0') != std::string::npos) continue;
            if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) gone.push_back(name);
        }
        return gone;
    }
    // One start: true when the server is ready, died at start or never let a client in within 10 s (each
    // worth another try: on a loaded machine a server that turned its first clients away was seen to turn
    // away every later one), false when another try cannot help (no process).
    bool start(int rate, int period, int captures, int playbacks) {
        std::vector<std::string> args = {"jackd", realTime_ ? "-R" : "-r",
                                         "-n",    name_,
                                         "-d",    "dummy",
                                         "-r",    std::to_string(rate),
                                         "-p",    std::to_string(period),
                                         "-C",    std::to_string(captures),
                                         "-P",    std::to_string(playbacks)};
        // The server gives its clients 5 s to answer (real-time, it would give them 0.5 s): on a loaded machine
        // (several programs starting under software GL) a client opening or answering a notification late was
        // turned away, and a program started then ran without sound for good.
        args.insert(args.begin() + 2, {"-t", "5000"});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        // A server that ends removes the JACK metadata store that every server and client of the user shares,
        // and a client that joins the store while another makes it anew can die of SIGBUS inside libjack: the
        // tests' servers leave it in place while another server runs (KeepJackMetadata.c), and one that starts
        // where there is no store makes it alone.
        std::vector<std::string> env;
        for (char** e = environ; *e; e++)
            if (strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
#ifdef TARLUME_KEEP_JACK_METADATA
        env.emplace_back(std::string("LD_PRELOAD=") + TARLUME_KEEP_JACK_METADATA);
#endif
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string store = "/dev/shm/jack_db-" + std::to_string(getuid());
        removeBrokenStore(store);
        int storeLock = -1;
        if (access((store + "/__db.001").c_str(), F_OK) != 0) {
            storeLock = open((store + ".tarlume-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (storeLock >= 0) flock(storeLock, LOCK_EX);
        }
        struct Unlock {
            int fd;
            ~Unlock() {
                if (fd >= 0) close(fd);
            }
        } unlock{storeLock};
        pid_ = fork();
        if (pid_ == 0) {
            // The server goes with the test, also when the test dies without stopping it.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            execvpe("jackd", argv.data(), envp.data());
            _exit(127);
        }
        if (pid_ <= 0) return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) { // died at start
                pid_ = -1;
                return true;
            }
            if (answers()) {
                ready_ = true;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
        return true;
    }

    // A process killed while it made the metadata store leaves a region file of no size, which every later server and
    // client maps and dies of SIGBUS on: one still empty a moment later is no store being made, and goes whole (those
    // that mapped it keep their mapping).
    static void removeBrokenStore(const std::string& store) {
        auto emptyRegion = [&] {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(store, error))
                if (entry.path().filename().string().rfind("__db.", 0) == 0 && entry.file_size(error) == 0 && !error)
                    return true;
            return false;
        };
        if (!emptyRegion()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::error_code error;
        if (emptyRegion()) std::filesystem::remove_all(store, error);
    }

    // Whether a client can join the server, asked from a process of its own: a test program whose own client a
    // server still starting turned away was seen to be turned away by every server after, for the rest of its run.
    bool answers() const {
        FILE* wait = popen(("jack_wait -c -n probe -s '" + name_ + "' 2>/dev/null").c_str(), "r");
        if (!wait) return false;
        char said[32] = "";
        const bool running = fgets(said, sizeof said, wait) && strncmp(said, "running", 7) == 0;
        pclose(wait);
        return running;
    }

    int args_[4];
    bool realTime_ = false;
    double waitSeconds_;
    std::string name_;
    int lock_ = -1;
    pid_t pid_ = -1;
    bool ready_ = false;
};

} // namespace testsupport
