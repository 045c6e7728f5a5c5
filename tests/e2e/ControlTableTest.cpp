// Every object of the shipped skins that has a value (a constant label aside), the options window's among
// them, has its row in the table of the end-to-end tests, and every row names an object of its skin: a
// control added to a skin comes with its row.
#include "ControlTable.h"

#include "support/SkinMap.h"

#include <gtest/gtest.h>

#include <set>

using namespace e2e;

TEST(ControlTable, EveryValuedObjectOfBothSkinsHasARow) {
    ASSERT_EQ(controlTables().size(), 2u);
    for (const SkinTable& table : controlTables()) {
        testsupport::SkinMap skin(std::string(TARLUME_SOURCE_DIR) + "/data/skins/" + table.skin + ".xml");
        ASSERT_GT(skin.width, 0) << table.skin << " did not load";
        std::set<std::string> rows, objects;
        for (const Row& row : table.rows) {
            EXPECT_TRUE(rows.insert(row.object).second) << table.skin << ": two rows for \"" << row.object << "\"";
            EXPECT_NE(row.exercise, nullptr) << table.skin << ": \"" << row.object << "\" says nothing";
            for (int deck : row.also)
                EXPECT_TRUE(objectOn(row, deck) == row.object || rows.insert(objectOn(row, deck)).second)
                    << table.skin << ": two rows for " << objectOn(row, deck);
        }
        skin.forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
            // The pop-up list of every menu, which the menus' rows choose from.
            if (w->name == "_popupwindow") return;
            const std::string value = skin.valueName(o);
            if (value.empty() || value == "constant") return;
            objects.insert(o->name);
            EXPECT_TRUE(rows.count(o->name))
                << table.skin << ": \"" << o->name << "\" (" << value << ") has no row in the control table";
        });
        for (const std::string& row : rows)
            EXPECT_TRUE(objects.count(row)) << table.skin << ": the row \"" << row << "\" names no valued object";
    }
}
