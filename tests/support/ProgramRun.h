// Running a program of the build as a user does, for the end-to-end tests: child processes started
// and stopped by their ids, shell commands with their output, waits with generous deadlines, and a
// session holding a JACK server and a scratch home of its own for the program.
#pragma once

#include "support/JackServer.h"
#include "support/SanitizerDefaults.h"
#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

// The build's folder (the programs and their data beside them).
inline std::string buildFolder() {
    return TARLUME_GENERATED_FIXTURES_DIR "/..";
}

inline bool haveProgram(const char* name) {
    return system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

// A shell command's standard output.
inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Asks `ready` every `stepMs` until it holds or `seconds` have passed; whether it held. The deadlines
// are generous: on a loaded machine the program, Xvfb and JACK answer many times slower than alone.
template <class Ready> bool waitFor(Ready ready, double seconds = 60, int stepMs = 100) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until) return false;
        sleepMs(stepMs);
    }
    return true;
}

// Starts a program with extra environment, its output going to `log`; its process id.
inline pid_t spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                   const std::string& log) {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // the program goes with the test, also when the test dies
        // A program that crashes leaves a core, from which the test tells where it was (see crashStack).
        struct rlimit core;
        if (getrlimit(RLIMIT_CORE, &core) == 0) {
            core.rlim_cur = core.rlim_max;
            setrlimit(RLIMIT_CORE, &core);
        }
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        if (FILE* f = fopen(log.c_str(), "w")) {
            dup2(fileno(f), 1);
            dup2(fileno(f), 2);
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Each thread's stack as the debugger reads it from `target`: "<program> <core>", or "<program> -p <pid>" for
// a program that still runs.
inline std::string threadStacks(const std::string& target) {
    return run("timeout -k 5 60 gdb -batch " + target + " -ex 'thread apply all bt' 2>&1 | grep -v '^\\[New LWP'");
}

// Where the threads of a spawned program that a signal ended were, read from the core the kernel wrote into its
// working folder (the program stands in its application folder, the one it lies in), as "core" or "core.<pid>" by
// the machine's core pattern; the core is removed. "" when there is none (another pattern, a sanitizer build).
inline std::string crashStack(const std::string& program, pid_t pid) {
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    for (const std::string& core : {folder + "core." + std::to_string(pid), folder + "core"}) {
        if (access(core.c_str(), R_OK) != 0) continue;
        const std::string where = threadStacks(program + " " + core);
        unlink(core.c_str());
        return where;
    }
    return "";
}

// Waits for a child to end; false when it did not within the time.
inline bool waitExit(pid_t pid, int ms, int* status) {
    for (int t = 0; t < ms; t += 50) {
        if (waitpid(pid, status, WNOHANG) == pid) return true;
        sleepMs(50);
    }
    return false;
}

// Asks a child to end, and kills it when it does not within 5 s.
inline void stopChild(pid_t& pid) {
    if (pid <= 0) return;
    int status;
    kill(pid, SIGTERM);
    if (!waitExit(pid, 5000, &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pid = -1;
}

inline void xdo(const std::string& args) {
    // Bounded: a --sync move to a place the pointer never reaches would wait for ever.
    run("timeout -k 5 30 xdotool " + args + " 2>/dev/null");
}

// A program of the build run with a JACK server and a scratch home of its own: $HOME with a Music
// folder, the user data folder, and the environment that sends the program's sound to that server.
struct ProgramSession {
    TempDir root;
    std::string home, data, music;
    std::unique_ptr<JackServer> jack;
    pid_t app = -1;
    std::map<std::string, std::string> env;

    explicit ProgramSession(const std::string& tag) : root(tag) {
        home = root.path + "home/";
        data = root.path + "data/";
        music = home + "Music/";
        run("mkdir -p " + music + " " + data + "tarlume");
        // A sanitizer build of the program reports what system libraries keep for the process's life (font,
        // GL, GTK and D-Bus caches) as leaks, and their own threads' hand-overs as races: only those are set
        // aside, as for the tests themselves. Other options the caller gave the sanitizers still apply.
        auto options = [&](const char* variable, const char* file, const char* suppressions) {
            const char* given = getenv(variable);
            return std::string(given ? given : "") + ":suppressions=" + root.write(file, suppressions);
        };
        env = {{"LSAN_OPTIONS", options("LSAN_OPTIONS", "lsan.supp", __lsan_default_suppressions())},
               {"TSAN_OPTIONS", options("TSAN_OPTIONS", "tsan.supp", __tsan_default_suppressions())},
               {"HOME", home},
               {"XDG_DATA_HOME", data},
               {"JACK_NO_START_SERVER", "1"},
               {"NO_AT_BRIDGE", "1"},
               {"GSETTINGS_BACKEND", "memory"}};
    }
    ~ProgramSession() {
        stopChild(app);
        jack.reset();
    }
    ProgramSession(const ProgramSession&) = delete;
    ProgramSession& operator=(const ProgramSession&) = delete;

    // A JACK server on the dummy backend with that many capture and playback channels, waiting up to
    // `waitSeconds` for a place among the servers JACK can run at once; real-time as JackServer says.
    bool startJack(int captures = 2, int playbacks = 2, double waitSeconds = 10, bool realTime = false) {
        jack = std::make_unique<JackServer>(44100, 256, captures, playbacks, realTime, waitSeconds);
        if (!jack->ready()) return false;
        env["JACK_DEFAULT_SERVER"] = jack->name();
        return true;
    }
    std::string jackEnv() const { return "JACK_DEFAULT_SERVER=" + jack->name() + " JACK_NO_START_SERVER=1 "; }
    // The user's settings file the program reads at start.
    std::string configPath() const { return data + "tarlume/config.xml"; }
    // Starts a program of the build (default: tarlume) and waits for its window; the window id, or ""
    // when none came.
    std::string startApp(const std::string& log, const std::string& program = "tarlume") {
        auto shown = [] {
            return run("timeout -k 5 30 xdotool search --onlyvisible --name '^tarlume$' 2>/dev/null | head -1");
        };
        // The X server drops the window of a program that ended a moment later: that one is not the new one's.
        waitFor([&] { return shown().empty(); });
        app = spawn({buildFolder() + "/" + program}, env, root.path + log);
        std::string id;
        waitFor([&] {
            id = shown();
            return !id.empty();
        });
        if (!id.empty()) id.pop_back();
        return id;
    }
    // Waits for the program to end; false when it did not within the time.
    bool waitForExit(int ms, int* status) {
        bool ended = waitExit(app, ms, status);
        if (ended) app = -1;
        return ended;
    }
};

} // namespace testsupport
