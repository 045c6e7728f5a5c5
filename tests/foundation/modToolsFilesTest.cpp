#include "support/TempDir.h"
#include "foundation/modTools.h"

#include <fstream>
#include <sys/stat.h>
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
