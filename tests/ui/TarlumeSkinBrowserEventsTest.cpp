// Events of the user interface that move the browser: the search field and loading from the
// active list.
#include "UiTestSupport.h"

#include "skin/SkinListBox.h"

using namespace uitest;

TEST(SkinBrowserEvents, SearchFieldSearchesFromTheThirdCharacter) {
    UiFixture f;
    TestObject box(VALUE_SEARCHFIELD, "", OBJECT_TEXTBOX);
    f.engine->changeFolder(0, f.data.path);
    auto type = [&](const char* characters, int key = 0) {
        f.ui->handleKeyPress(box.get(), key, characters, false, 0);
        f.ui->handleKeyPress(box.get(), key, characters, true, 0);
    };
    type("a");
    type("\xC3\xA9"); // two characters, three bytes
    EXPECT_EQ(f.engine->currentFolder[0], f.data.path);
    type("c");
    EXPECT_EQ(f.engine->currentFolder[0], "search:a\xC3\xA9"
                                          "c");
    type("", KEY_DELETE);
    EXPECT_EQ(f.engine->currentFolder[0], "search:a\xC3\xA9"
                                          "c");
    f.ui->handleKeyPress(box.get(), KEY_RETURN, "", false, 0);
    EXPECT_EQ(f.engine->currentFolder[0], "search:a\xC3\xA9");
    type("", KEY_DELETE);
    type("", KEY_DELETE);
    EXPECT_EQ(f.engine->currentFolder[0], f.data.path); // cleared: back where the searches began
}

TEST(SkinBrowserEvents, ActiveListRowWithAPathOpensItsFolder) {
    UiFixture f;
    SkinRect rect;
    rect.width = 200;
    rect.height = 100;
    SkinListBox folders(f.ui.get(), &rect, nullptr);
    folders.setColumns({"Text", "Path"});
    folders.selectItem(folders.addRow({"data", f.data.path}), false);
    f.engine->activeList = &folders;
    TestObject load(VALUE_KEYBOARD, "pl_active_select");
    press(*f.ui, load.get(), 1);
    EXPECT_EQ(f.engine->currentFolder[0], f.data.path);
    EXPECT_EQ(f.deck(1)->tag, nullptr);
    f.engine->activeList = nullptr;
}
