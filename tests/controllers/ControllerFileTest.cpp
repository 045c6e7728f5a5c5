#include "ControllerTestSupport.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

using namespace ctltest;

namespace {

struct Loaded {
    RecordingInterface iface;
    HIDDevice device{&iface};
    explicit Loaded(const std::string& text) { device.loadText(text, "mem"); }
    HIDTab* tab(size_t group = 0, size_t t = 0) { return device.groups.at(group)->tabs.at(t).get(); }
};

} // namespace

TEST(ControllerFile, ControlPatterns) {
    struct Case {
        const char* pattern;
        std::vector<int> expected;
    } cases[] = {
        {"90 3C 7F", {144, 60, 127}},
        {"90  3C 7F", {144, 60, 127}}, // the empty token between two spaces is skipped
        {"90 3C 7F\n", {144, 60}},     // a line break glued to a token spoils it
        {"9P 3C VV", {-249, 60, -1}},
        {"XP", {-240}},                                 // no mapping with shortcut P: the channel token stays
        {"b0 10 VV", {176, 16, -1}},                    // lower-case hex digits read as hex
        {"vv VS VT VH VL VN", {0, -2, -3, -4, -5, -8}}, // keywords are case-exact
        {"", {}},
        {"F0 0 001 F7", {240, 247}},
    };
    Loaded l("");
    std::string empty;
    HIDObject o(&empty, nullptr, &l.device);
    for (const Case& c : cases)
        EXPECT_EQ(codes(o, c.pattern), c.expected) << c.pattern;
}

TEST(ControllerFile, TopLevelFieldsAndItsTraps) {
    struct Case {
        const char* text;
        const char* name;
        enHIDType type;
    } cases[] = {
        {"<name>Pad</name><type>midi</type>", "Pad", HIDTYPE_MIDI},
        {"<NAME>Pad</Name><TYPE>MIDI</TYPE>", "Pad", HIDTYPE_NONE}, // tag case is free, the value's not
        {"<tabs><tab><name>decks</name></tab></tabs><name>Pad</name>", "decks", HIDTYPE_NONE},
        {"<name>Pad", "", HIDTYPE_NONE},
    };
    for (const Case& c : cases) {
        Loaded l(c.text);
        EXPECT_EQ(l.device.name, c.name) << c.text;
        EXPECT_EQ(l.device.type, c.type) << c.text;
        ASSERT_FALSE(l.device.groups.empty());
        EXPECT_EQ(l.device.groups[0]->tabs.size(), 1u);
    }
}

TEST(ControllerFile, ControlFields) {
    Loaded l("<input><condition><type>button</type><value>1000</value></condition><type>slider</type>"
             "<value>volume_player</value></input>"
             "<input><type>jogwheel</type><value>pitch</value><scale>5</scale><typevariable>2</typevariable>"
             "<player>%deck%</player><invert>yes</invert><action>oncondition</action></input>");
    auto& inputs = l.tab()->inputs;
    ASSERT_EQ(inputs.size(), 2u);
    // A condition written before the control's own type lends it its type text.
    EXPECT_EQ(inputs[0]->kind, OBJECT_BUTTON);
    EXPECT_EQ(inputs[0]->conditionKind, 0);
    EXPECT_EQ(inputs[0]->conditionTime, 1000);
    EXPECT_EQ(inputs[1]->scale, 2);
    EXPECT_TRUE(inputs[1]->playerFromVariable);
    EXPECT_EQ(inputs[1]->playerName, "deck");
    EXPECT_TRUE(inputs[1]->invert);
    EXPECT_EQ(inputs[1]->action, 2);
}

TEST(ControllerFile, SpecialOutputAndGroups) {
    Loaded l(
        "<output><value>deviceconnect</value><bytes_down>F0 01 F7</bytes_down></output>"
        "<output><value>deviceconnect</value><bytes_down>F0 02 F7</bytes_down></output>"
        "<input_output><type>button</type><value>play</value><bytes_down>90 01 7F</bytes_down></input_output>"
        "<tabs><tab><name>a</name><output><value>deviceconnect</value></output></tab><tab><name>b</name></tab></tabs>"
        "<tabs></tabs><tabs><tab><name>x</name></tab>");
    ASSERT_TRUE(l.device.specialOutput);
    EXPECT_EQ(l.device.specialOutput->bytes[0][HIDPATTERN_DOWN], (std::vector<int>{240, 2, 247}));
    // Two independent controls from one input_output; the special ones stay out of the tab.
    ASSERT_EQ(l.tab()->inputs.size(), 1u);
    ASSERT_EQ(l.tab()->outputs.size(), 1u);
    EXPECT_NE(l.tab()->inputs[0].get(), l.tab()->outputs[0].get());
    // The empty group is not made; the unterminated one ends the search.
    ASSERT_EQ(l.device.groups.size(), 2u);
    ASSERT_EQ(l.device.groups[1]->tabs.size(), 2u);
    EXPECT_EQ(l.tab(1, 0)->outputs.size(), 1u); // value 13 inside a group is an ordinary output
    EXPECT_EQ(l.device.groups[1]->getCurrentTab(3)->name, "a");
}

TEST(ControllerFile, DisplaysAndMappings) {
    Loaded l("<character-mapping><name>a</name><shortcut>a</shortcut><map><char>A</char><val>65</val></map>"
             "</character-mapping><character-mapping><shortcut>b</shortcut></character-mapping>"
             "<character-display><name>Main</name><allowscrolling>Yes</allowscrolling>"
             "<segment><pos>0</pos><len>2</len><bytes>B0 Xa Xb</bytes></segment>"
             "<segment><pos>4</pos><bytes>F0 XA F7</bytes></segment>"
             "<segment><pos>-1</pos><bytes>F0 XA F7</bytes></segment>"
             "<segment><pos>1</pos><len>0</len><bytes>F0 XA F7</bytes></segment></character-display>"
             "<output><type>text</type><display>main</display></output>");
    ASSERT_EQ(l.device.displays.size(), 1u);
    HIDDisplay& d = *l.device.displays[0];
    EXPECT_TRUE(d.scrolling);
    EXPECT_EQ(d.segBytes.size(), 2u); // negative position and zero length refused
    EXPECT_EQ(d.segBytes[0], (std::vector<int>{176, -6, -7}));
    EXPECT_EQ(d.segBytes[1], (std::vector<int>{240, -6, 247}));
    EXPECT_EQ(d.width, 5);
    EXPECT_EQ(l.device.mappings[0]->getValue("A"), 65);
    EXPECT_EQ(l.device.mappings[0]->getValue("B"), -1);
    EXPECT_EQ(l.tab()->outputs[0]->display, &d);
}

TEST(ControllerFile, MissingAndOwnFilesLoad) {
    RecordingInterface iface;
    HIDDevice missing(&iface);
    missing.loadDevice("/nonexistent/none.xml");
    EXPECT_EQ(missing.type, HIDTYPE_NONE);
    EXPECT_EQ(missing.groups.size(), 1u);

    // Our own files: every control names a kind and a value of the application's vocabulary.
    TarlumeSkinInterface app(nullptr);
    for (const char* file : {"TestPad.xml", "TwoDeck.xml"}) {
        HIDDevice d(&app);
        d.loadDevice(std::string(TARLUME_SOURCE_DIR) + "/data/devices/" + file);
        EXPECT_EQ(d.type, HIDTYPE_MIDI) << file;
        EXPECT_FALSE(d.descriptor.model.empty()) << file;
        size_t controls = 0;
        for (auto& g : d.groups)
            for (auto& t : g->tabs)
                for (auto* list : {&t->inputs, &t->outputs})
                    for (auto& o : *list) {
                        controls++;
                        EXPECT_NE(o->value, 0) << file << " " << o->valueSpecifier;
                        EXPECT_NE(o->kind, 0) << file << " " << o->valueSpecifier;
                    }
        EXPECT_GT(controls, 10u) << file;
    }
}
