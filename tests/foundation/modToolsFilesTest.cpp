#include "support/TempDir.h"
#include "foundation/modTools.h"

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("files") {}
};

} // namespace

TEST(Files, ExistenceOpeningAndReading) {
    TempDir dir;
    std::string content("a\0b\xFFz", 5);
    std::string file = dir.write("f.bin", content);
    std::string empty = dir.write("empty", "");

    EXPECT_TRUE(FileExist(file));
    EXPECT_FALSE(FileExist(dir.path + "missing"));
    EXPECT_FALSE(FileExist(dir.path)); // a folder is not a file
    EXPECT_TRUE(DirExist(dir.path));
    EXPECT_TRUE(DirExist(file)); // any existing path
    EXPECT_FALSE(DirExist(dir.path + "missing"));

    uint64_t size = 99;
    FILE* f = fileOpen(file, "rb", &size);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(fgetc(f), 'a'); // position back at the start
    fclose(f);

    size = 99;
    f = fileOpen(empty, "rb", &size);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(size, 0u);
    fclose(f);

    EXPECT_EQ(fileOpen(dir.path, "rb", &size), nullptr);
    EXPECT_EQ(fileOpen(dir.path + "missing", "rb", nullptr), nullptr);
    std::string fifo = dir.path + "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(fileOpen(fifo, "rb", nullptr), nullptr); // refused, not blocked on

    EXPECT_EQ(readFileContents(file), content);
    EXPECT_EQ(readFileContents(empty), "");
    EXPECT_EQ(readFileContents(dir.path + "missing"), "");

    std::string sub = dir.path + "sub";
    EXPECT_TRUE(makeDirectory(sub));
    EXPECT_FALSE(makeDirectory(sub));                    // exists already
    EXPECT_FALSE(makeDirectory(dir.path + "no/parent")); // parents are not made
}

// A file replaced whole: through a chain of links to its target (the links stay links, a dangling one gets
// its file), with the old permission bits, and by two processes at once without either failing (they once
// shared one temporary name). The escapes of tag-style values come back whole.
TEST(Files, ReplacedWholeThroughLinksAndByTwoWritersAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir.path + "real").c_str(), 0700), 0);
    std::string target = dir.write("real/config.xml", "old");
    chmod(target.c_str(), 0640);
    ASSERT_EQ(symlink("real/config.xml", (dir.path + "middle").c_str()), 0);
    ASSERT_EQ(symlink((dir.path + "middle").c_str(), (dir.path + "config.xml").c_str()), 0);
    std::string error;
    ASSERT_TRUE(replaceFileContents(dir.path + "config.xml", "new", &error)) << error;
    struct stat st;
    ASSERT_EQ(lstat((dir.path + "config.xml").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(readFileContents(target), "new");
    ASSERT_EQ(symlink("real/later.xml", (dir.path + "dangling").c_str()), 0);
    ASSERT_TRUE(replaceFileContents(dir.path + "dangling", "made", &error)) << error;
    EXPECT_EQ(readFileContents(dir.path + "real/later.xml"), "made");

    // The same file from two processes, many times each.
    const std::string shared = dir.path + "shared.xml";
    pid_t child = fork();
    if (child == 0) {
        int failed = 0;
        for (int i = 0; i < 300; ++i)
            failed += !replaceFileContents(shared, std::string(4096, 'c'));
        _exit(failed);
    }
    int failed = 0;
    for (int i = 0; i < 300; ++i)
        failed += !replaceFileContents(shared, std::string(4096, 'p'), &error);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(failed, 0) << error;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string last = readFileContents(shared);
    EXPECT_TRUE(last == std::string(4096, 'c') || last == std::string(4096, 'p'));
    int leftovers = 0;
    for (const char* name : {"real", "."})
        if (DIR* d = opendir((dir.path + name).c_str())) {
            while (dirent* e = readdir(d))
                leftovers += strstr(e->d_name, ".tmp") != nullptr;
            closedir(d);
        }
    EXPECT_EQ(leftovers, 0);

    const std::string value = "a</b><c>&amp;&&lt;";
    EXPECT_EQ(escapeTagText(value), "a&lt;/b&gt;&lt;c&gt;&amp;amp;&amp;&amp;lt;");
    EXPECT_EQ(unescapeTagText(escapeTagText(value)), value);
    EXPECT_EQ(unescapeTagText("R&B & co &gt"), "R&B & co &gt"); // not an entity: as written
}

TEST(Files, TimesAndPaths) {
    TempDir dir;
    std::string file = dir.write("t", "x");
    time_t m = 0, c = 0;
    EXPECT_TRUE(getFileTimes(file, &m, &c));
    EXPECT_GT(m, 1600000000);
    EXPECT_GT(c, 1600000000);
    EXPECT_EQ(getFileModifiedTime(file), m);

    time_t untouched = 12345;
    EXPECT_FALSE(getFileTimes(dir.path + "missing", &untouched, nullptr));
    EXPECT_EQ(untouched, 12345);
    EXPECT_EQ(getFileModifiedTime(dir.path + "missing"), 0);

    EXPECT_EQ(getFilePath("/x/y.mp3"), "/x/");
    EXPECT_EQ(getFileName("/x/y.mp3"), "y.mp3");
    EXPECT_EQ(getFileName("y.mp3"), "y.mp3");
    EXPECT_EQ(getFilePath("y.mp3"), "");
    EXPECT_EQ(getFileName("/x/"), "");
}

TEST(TagText, ElementsFoundByPosition) {
    std::string doc = "<a>x</a><a>y</a>";
    size_t end = 0;
    EXPECT_EQ(getXMLElement(doc, "a", false, 0, &end), "x");
    EXPECT_EQ(end, 8u);
    EXPECT_EQ(getXMLElement(doc, "a", false, end, &end), "y");
    EXPECT_EQ(end, 16u);
    EXPECT_EQ(getXMLElement(doc, "a", false, end, &end), "");
    EXPECT_EQ(end, 16u); // untouched when missing
    EXPECT_EQ(getXMLElement(doc, "a", false, 1000, &end), "");

    std::string nested = "<a><b>1</b></a>";
    EXPECT_EQ(getXMLElement(nested, "a"), "<b>1</b>");
    std::string self = "<a><a>1</a></a>";
    EXPECT_EQ(getXMLElement(self, "a"), "<a>1"); // the first closing tag ends it
    std::string attr = "<a x=1>v</a>";
    EXPECT_EQ(getXMLElement(attr, "a"), "");
    std::string entity = "<a>&amp;</a>";
    EXPECT_EQ(getXMLElement(entity, "a"), "&amp;");
    std::string unclosed = "<a>1<b>2</b>";
    EXPECT_EQ(getXMLElement(unclosed, "a"), "");
    EXPECT_EQ(getXMLElement(unclosed, "b"), "2");
}

TEST(TagText, CaseInsensitiveSearchesAndRemoval) {
    std::string doc = "<A>Text</a>";
    EXPECT_EQ(getXMLElement(doc, "a"), "");
    EXPECT_EQ(getXMLElementCI(doc, "a"), "Text");
    EXPECT_EQ(getXMLElementCI(doc, "A"), "Text");

    std::string cfg = "<X>1</X><Name>Deck</NAME><y>2</y>";
    size_t end = 0;
    EXPECT_EQ(getXMLElementCI(cfg, "name", true, 0, &end), "Deck");
    EXPECT_EQ(end, 25u); // relative to the document before the cut
    EXPECT_EQ(cfg, "<X>1</X><y>2</y>");

    std::string empty = "<a></a><b>v</b>";
    EXPECT_EQ(getXMLPart(empty, "a", "d", false), "d");
    EXPECT_EQ(getXMLPart(empty, "B", "d", false), "v");
    EXPECT_EQ(getXMLPart(empty, "a", "d", true), "d");
    EXPECT_EQ(empty, "<b>v</b>"); // removed although the default was returned
    EXPECT_EQ(getXMLPart(empty, "zz", "dflt"), "dflt");
}

TEST(TagText, FastSearchRefreshesItsCopyOnlyWhenTheLengthDiffers) {
    std::string doc = "<SKIN><Name>One</Name></SKIN>";
    std::string lower;
    size_t end = 0;
    EXPECT_EQ(getXMLElementCIFast(doc, lower, "name", 0, &end), "One");
    EXPECT_EQ(lower, strtolower(doc));
    EXPECT_EQ(end, 22u);

    // Same length: the stale copy is used as it stands.
    std::string stale = lower;
    doc.replace(doc.find("One"), 3, "Two");
    EXPECT_EQ(getXMLElementCIFast(doc, lower, "name"), "Two");
    lower = std::string(doc.size(), 'x');
    EXPECT_EQ(getXMLElementCIFast(doc, lower, "name"), "");

    // Different length: refreshed.
    doc += "<b>z</b>";
    EXPECT_EQ(getXMLElementCIFast(doc, lower, "b"), "z");
    EXPECT_EQ(lower, strtolower(doc));
    // The name is used as passed, not folded.
    EXPECT_EQ(getXMLElementCIFast(doc, lower, "NAME"), "");
}
