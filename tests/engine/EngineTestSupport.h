// An engine in a scratch home: HOME and XDG_DATA_HOME point into a temporary folder for the life of
// the fixture, and a test sound backend with one card stands in for the system's devices.
#pragma once

#include "engine/Tarlume.h"
#include "support/TempDir.h"
#include "support/TestSoundBackend.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace testsupport {

// Sets an environment variable for the scope, restoring the old value after.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    const char* name_;
    bool had_;
    std::string old_;
};

struct EngineHome {
    TempDir home{"engine"};
    ScopedEnv homeEnv{"HOME", home.path};
    ScopedEnv xdgEnv{"XDG_DATA_HOME", home.path + "data"};
    std::string dataFolder() const { return home.path + "data/tarlume/"; }
};

} // namespace testsupport
