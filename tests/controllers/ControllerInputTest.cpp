#include "ControllerTestSupport.h"

#include <gtest/gtest.h>

using namespace ctltest;

namespace {

struct Pad {
    RecordingInterface iface;
    HIDDevice device{&iface};
    explicit Pad(const std::string& controls) { device.loadText("<name>T</name><type>midi</type>" + controls, "mem"); }
    std::vector<std::string> send(std::vector<int> message) {
        iface.calls.clear();
        device.handleMessage(&message, 7.0);
        return iface.calls;
    }
};

using Calls = std::vector<std::string>;

} // namespace

TEST(ControllerInput, ButtonsPressAndRelease) {
    struct Case {
        const char* control;
        std::vector<int> message;
        Calls expected;
    } cases[] = {
        // Only a press pattern: both clicks at the press, once (pass 0 for set 1).
        {"<bytes_down>90 3C 7F</bytes_down>", {0x90, 0x3C, 0x7F}, {"click 40  0 down", "click 40  0 up"}},
        // Only a release pattern, no channel: every pass of the default group clicks.
        {"<bytes_up>80 3C 00</bytes_up>",
         {0x80, 0x3C, 0},
         {"click 40  0 down", "click 40  0 up", "click 40  0 down", "click 40  0 up", "click 40  0 down",
          "click 40  0 up", "click 40  0 down", "click 40  0 up"}},
        // Both, acting on key up: nothing at the press...
        {"<bytes_down>90 3C 7F</bytes_down><bytes_up>80 3C 00</bytes_up><action>onkeyup</action>",
         {0x90, 0x3C, 0x7F},
         {}},
        // ... both at the release.
        {"<bytes_down>90 3C 7F</bytes_down><bytes_up>80 3C 00</bytes_up><bytes2_up>81 3C 00</bytes2_up>"
         "<action>onkeyup</action>",
         {0x80, 0x3C, 0},
         {"click 40  0 down", "click 40  0 up"}},
        // A channel token: note on channel 2 acts in pass 2 only, for deck 2 (set 1) ...
        {"<bytes_down>9P 3C 7F</bytes_down>", {0x92, 0x3C, 0x7F}, {"click 40  2 down", "click 40  2 up"}},
        // ... and deck 3 for set 2.
        {"<bytes2_down>9P 3D 7F</bytes2_down>", {0x92, 0x3D, 0x7F}, {"click 40  3 down", "click 40  3 up"}},
        // Player 3 with set 2 would be deck 4: dropped.
        {"<player>3</player><bytes2_down>90 3D 7F</bytes2_down>", {0x90, 0x3D, 0x7F}, {}},
        // A player past the map: no deck (not deck 0 through set 2's k + player).
        {"<player>16</player><bytes2_down>90 3D 7F</bytes2_down>", {0x90, 0x3D, 0x7F}, {}},
        // An offset pushing the channel past the map: no match.
        {"<playeroffset>2</playeroffset><bytes_down>9P 3C 7F</bytes_down>", {0x9F, 0x3C, 0x7F}, {}},
        // An empty message never matches an empty pattern.
        {"<bytes_down></bytes_down>", {}, {}},
    };
    for (const Case& c : cases) {
        Pad pad(std::string("<input><type>button</type><value>play</value>") + c.control + "</input>");
        EXPECT_EQ(pad.send(c.message), c.expected) << c.control;
    }
}

TEST(ControllerInput, Values) {
    struct Case {
        const char* control;
        std::vector<std::vector<int>> messages;
        Calls expected; // of the last message
    } cases[] = {
        {"<type>slider</type><bytes>B0 07 VV</bytes><bytes2>B1 07 VV</bytes2>", {{0xB0, 7, 127}}, {"set 41 0 1"}},
        // A value byte with its top bit set is no MIDI data: the message does not match.
        {"<type>slider</type><bytes>B0 07 VV</bytes><bytes2>B1 07 VV</bytes2>", {{0xB0, 7, 0xFF}}, {}},
        {"<type>slider</type><invert>yes</invert><bytes>B0 07 VV</bytes><bytes2>B1 07 VV</bytes2>",
         {{0xB0, 7, 127}},
         {"set 41 0 0"}},
        // 14-bit: high then low; 127/127 + 127/16384 is clamped to 1.
        {"<type>slider</type><bytes>B0 08 VH</bytes><bytes_low>B0 28 VL</bytes_low><bytes2>B1 08 VH</bytes2>"
         "<bytes2_low>B1 28 VL</bytes2_low>",
         {{0xB0, 8, 127}, {0xB0, 0x28, 127}},
         {"set 41 0 1"}},
        {"<type>slider</type><bytes>B0 08 VH</bytes><bytes_low>B0 28 VL</bytes_low><bytes2>B1 08 VH</bytes2>"
         "<bytes2_low>B1 28 VL</bytes2_low>",
         {{0xB0, 8, 64}, {0xB0, 0x28, 64}},
         {"set 41 0 0.5078"}},
        // Relative slider: the first message only records, the next moves by last - v.
        {"<type>sliderrelative</type><bytes>B0 07 VV</bytes><bytes2>B1 07 VV</bytes2>",
         {{0xB0, 7, 127}, {0xB0, 7, 0}},
         {"set 41 0 1"}},
        {"<type>jogwheel</type><scale>3</scale><bytes>B0 10 VS</bytes><bytes2>B1 10 VS</bytes2>",
         {{0xB0, 0x10, 66}},
         {"jog 41 0 2 3"}},
        // Rotary, two's complement, scale 0 taken as 1: 127 is -1, divided by 64.
        {"<type>rotary</type><bytes>B0 11 VT</bytes><bytes2>B1 11 VT</bytes2>",
         {{0xB0, 0x11, 127}},
         {"set 41 0 -0.01562"}},
    };
    for (const Case& c : cases) {
        Pad pad(std::string("<input><value>volume_player</value>") + c.control + "</input>");
        Calls last;
        for (auto& m : c.messages)
            last = pad.send(m);
        EXPECT_EQ(last, c.expected) << c.control;
    }
}

TEST(ControllerInput, HoldConditionFiresOnTheFrameAfterItsTime) {
    Pad pad("<input><type>button</type><value>play</value><bytes_down>90 0E 7F</bytes_down>"
            "<bytes_up>80 0E 00</bytes_up><action>oncondition</action>"
            "<condition><type>keyholdtime_greater</type><value>1000</value></condition></input>");
    for (int i = 0; i < 3; i++) { // the list holds the control once however often it is pressed
        EXPECT_EQ(pad.send({0x90, 0x0E, 0x7F}), Calls{});
    }
    EXPECT_EQ(pad.device.pendingTriggers.size(), 1u);
    pad.iface.clock += 999;
    pad.device.update();
    EXPECT_TRUE(pad.iface.calls.empty());
    pad.iface.clock += 201;
    pad.device.update();
    EXPECT_EQ(pad.iface.calls, (Calls{"click 40  0 down", "click 40  0 up"}));
    EXPECT_TRUE(pad.device.pendingTriggers.empty());

    // Released early: nothing.
    pad.send({0x90, 0x0E, 0x7F});
    pad.iface.clock += 500;
    pad.send({0x80, 0x0E, 0});
    pad.iface.calls.clear();
    pad.iface.clock += 1000;
    pad.device.update();
    EXPECT_TRUE(pad.iface.calls.empty());
    EXPECT_TRUE(pad.device.pendingTriggers.empty());
}

TEST(ControllerInput, PlayerMapAndTabs) {
    Pad pad("<input><type>button</type><value>deviceplayermap</value><valuespecifier>0-1</valuespecifier>"
            "<bytes_down>90 0F 7F</bytes_down></input>"
            "<input><type>button</type><value>deviceplayermap</value><valuespecifier>0-16</valuespecifier>"
            "<bytes_down>90 10 7F</bytes_down></input>"
            "<tabs><tab><name>decks</name><input><type>button</type><value>tabselect</value>"
            "<valuespecifier>fx</valuespecifier><bytes_down>9P 40 7F</bytes_down></input></tab>"
            "<tab><name>fx</name><output><type>button</type><value>play</value></output></tab></tabs>");
    pad.send({0x90, 0x0F, 0x7F});
    EXPECT_EQ(pad.device.playerMap[0], 1);
    EXPECT_EQ(pad.device.playerMap[1], 0);
    pad.send({0x90, 0x0F, 0x7F});
    EXPECT_EQ(pad.device.playerMap[0], 0);
    EXPECT_EQ(pad.device.playerMap[1], 1);
    pad.send({0x90, 0x10, 0x7F}); // 16 is past the map
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(pad.device.playerMap[i], i);

    // A tab button on channel 1 switches deck 1's tab; the new tab's outputs are sent again.
    HIDTabGroup& group = *pad.device.groups[1];
    group.tabs[1]->outputs[0]->lastState[1] = 1;
    pad.send({0x91, 0x40, 0x7F});
    EXPECT_TRUE(pad.device.isActiveTab("fx", 1));
    EXPECT_TRUE(pad.device.isActiveTab("decks", 0));
    EXPECT_EQ(group.tabs[1]->outputs[0]->lastState[1], -1);
    EXPECT_FALSE(pad.device.selectTab("nowhere", 1));
    EXPECT_TRUE(pad.device.isActiveTab("fx", 1));
}
