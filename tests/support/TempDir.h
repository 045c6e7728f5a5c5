// A scratch folder for one test, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

// The folder scratch files go into: $TMPDIR when set (so a run can be checked for leftovers in a folder
// of its own), else /tmp. No trailing "/".
inline std::string tempRoot() {
    const char* base = std::getenv("TMPDIR");
    std::string root = base && *base ? base : "/tmp";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

struct TempDir {
    std::string path; // ends with "/"

    explicit TempDir(const std::string& tag = "test") {
        std::string tmpl = tempRoot() + "/tarlume-" + tag + "-XXXXXX";
        path = std::string(mkdtemp(tmpl.data())) + "/";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes a file of these bytes into the folder; its full path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path + name, std::ios::binary) << bytes;
        return path + name;
    }
};

} // namespace testsupport
