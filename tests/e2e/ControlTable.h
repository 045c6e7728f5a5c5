// The table of the shipped skins' controls: one row per object of kolt-1280.xml and kolt-mini.xml that
// has a value (constant labels aside), saying how the end-to-end tests exercise it and what must change.
// What a row does is an exercise shared by every control that does the same in either skin; the rows
// only name the object, its deck and the test that runs it.
#pragma once

#include <string>
#include <vector>

namespace e2e {

class Rig;
struct Control;

struct Exercise {
    const char* how;      // what is done with the control
    const char* measured; // what must follow, and how it is measured
    void (*run)(Rig&, const Control&);
};

struct Row {
    const char* object; // the object's name in the skin file
    int deck;           // the deck whose layer it is exercised on (0 = deck 1)
    const char* group;  // the end-to-end test that runs it
    const Exercise* exercise;
    // The other decks it is exercised on after that one: the same object on their layers, or, in a skin
    // that lays the decks out object by object, the object named for that deck ("d1 x" for deck 2: "d2 x").
    std::vector<int> also = {};
};

// The object a row exercises on one of its decks.
std::string objectOn(const Row& row, int deck);

struct SkinTable {
    const char* skin; // the skin's file name without ".xml"
    std::vector<Row> rows;
};

const std::vector<SkinTable>& controlTables();

} // namespace e2e
