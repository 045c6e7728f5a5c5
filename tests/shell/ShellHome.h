// The real engine behind the host bridge as the shell starts it: user data in a scratch folder, the
// shell's test skin as the application folder's default skin, and a headless framebuffer to draw in.
#pragma once

#include "shell/HostBridge.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace shelltest {

struct ShellHome {
    testsupport::TempDir app{"shell-app"}, data{"shell-data"};
    HeadlessGL gl;
    std::string oldCwd = std::filesystem::current_path();

    // `configuredSkin`, when given, is the skin the settings choose; `skinFile`, when given, its file.
    explicit ShellHome(const std::string& configuredSkin = "", const std::string* skinFile = nullptr) {
        std::filesystem::create_directories(app.path + "skins");
        std::filesystem::copy_file(TARLUME_SOURCE_DIR "/tests/shell/skin/testskin.xml",
                                   app.path + "skins/kolt-1280.xml");
        if (skinFile) app.write("skins/" + configuredSkin + ".xml", *skinFile);
        setenv("XDG_DATA_HOME", data.path.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        if (!configuredSkin.empty()) {
            std::filesystem::create_directories(data.path + "tarlume");
            data.write("tarlume/config.xml",
                       "<TARLUMECONFIG>\n<SKIN>" + configuredSkin + "</SKIN>\n</TARLUMECONFIG>\n");
        }
        setApplicationFolder(app.path);
        gl.open(1200, 500);
        initTLM();
    }
    ~ShellHome() {
        destroyStuff();
        setApplicationFolder("");
        unsetenv("XDG_DATA_HOME");
        std::filesystem::current_path(oldCwd);
    }
    ShellHome(const ShellHome&) = delete;
    ShellHome& operator=(const ShellHome&) = delete;
};

} // namespace shelltest
