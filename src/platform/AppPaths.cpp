#include "platform/AppPaths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppPaths {

std::string applicationFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string exe(buf, size_t(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "./" : exe.substr(0, slash + 1);
}

std::string homeFolder() {
    // $HOME first, as every Linux program takes it: a program started with another HOME keeps its files there.
    std::string home;
    if (const char* env = getenv("HOME")) home = env;
    if (home.empty())
        if (const passwd* pw = getpwuid(getuid()))
            if (pw->pw_dir) home = pw->pw_dir;
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

std::string userDataFolder() {
    const char* xdg = getenv("XDG_DATA_HOME");
    std::string base = (xdg && *xdg == '/') ? std::string(xdg) : homeFolder() + "/.local/share";
    if (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/tarlume/";
}

bool makeFolders(const std::string& path) {
    if (path.empty()) return false;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace AppPaths
