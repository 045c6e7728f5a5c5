#include "platform/AppPaths.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(AppPaths, UserDataFolderFollowsXdgDataHome) {
    const char* old = getenv("XDG_DATA_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_DATA_HOME", "/tmp/xdg-test/", 1);
    EXPECT_EQ(AppPaths::userDataFolder(), "/tmp/xdg-test/tarlume/");
    setenv("XDG_DATA_HOME", "relative/path", 1); // not absolute: ignored, as the XDG rules say
    EXPECT_EQ(AppPaths::userDataFolder(), AppPaths::homeFolder() + "/.local/share/tarlume/");
    if (old)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

TEST(AppPaths, HomeIsHomeVariableBeforeThePasswordEntry) {
    const char* old = getenv("HOME");
    const std::string saved = old ? old : "";
    const passwd* pw = getpwuid(getuid());
    const std::string entry = pw && pw->pw_dir ? pw->pw_dir : "";
    setenv("HOME", "/tmp/another-home/", 1);
    EXPECT_EQ(AppPaths::homeFolder(), "/tmp/another-home");
    for (bool unset : {true, false}) {
        if (unset)
            unsetenv("HOME");
        else
            setenv("HOME", "", 1);
        EXPECT_EQ(AppPaths::homeFolder(), entry) << (unset ? "unset" : "empty");
    }
    if (old)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST(AppPaths, MakeFoldersCreatesParentsAndFolderOfExecutable) {
    testsupport::TempDir scratch("paths");
    const std::string base = scratch.path;
    EXPECT_TRUE(AppPaths::makeFolders(base + "/a/b/c/"));
    EXPECT_TRUE(AppPaths::makeFolders(base + "/a/b/c")); // exists already: still true
    struct stat st;
    EXPECT_EQ(stat((base + "/a/b/c").c_str(), &st), 0);
    EXPECT_FALSE(AppPaths::makeFolders("/proc/forbidden/x"));

    std::string app = AppPaths::applicationFolder();
    EXPECT_EQ(app.back(), '/');
    EXPECT_EQ(stat((app + "test_platform").c_str(), &st), 0);
}
