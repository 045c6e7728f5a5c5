#include "ControllerTestSupport.h"

#include "audio/effects/EffectGroup.h"
#include "controllers/ControllerHub.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "skin/SkinListBox.h"
#include "support/DeckLoads.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Wav.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

#include <set>

using namespace ctltest;

namespace {

using Bytes = std::vector<std::vector<uint8_t>>;

struct Connected {
    FakeMidiPorts ports;
    RecordingInterface iface;
    HIDDevice device{&iface};
    explicit Connected(const std::string& controls) {
        ports.sourceModels = {"Other", "Pad", "Pad"};
        ports.destinationModels = {"Pad", "Pad"};
        device.loadText("<type>midi</type><descriptor><model>Pad</model></descriptor>" + controls, "mem");
        device.connect(HIDTYPE_MIDI, "Pad");
    }
    Bytes frame() {
        ports.sent.clear();
        device.update();
        return ports.sent;
    }
};

} // namespace

TEST(ControllerOutput, SplitterCutsPackets) {
    struct Case {
        std::vector<uint8_t> packet;
        std::vector<std::vector<int>> messages;
    } cases[] = {
        {{0xF0, 1, 2, 0xF7, 0x90, 0x3C, 0x7F}, {{0xF0, 1, 2, 0xF7}, {0x90, 0x3C, 0x7F}}},
        {{0xC0, 5, 0x90, 0x3C, 0x7F}, {{0xC0, 5, 0x90}, {0x3C, 0x7F}}},
        {{0xF0, 1}, {{0xF0, 1}}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<int>> out;
        splitMidiPacket(c.packet.data(), c.packet.size(), out);
        EXPECT_EQ(out, c.messages);
    }
}

TEST(ControllerOutput, ConnectsEveryMatchingSourceAndOneDestination) {
    Connected c("<output><value>deviceconnect</value><bytes_down>F0 01 F7</bytes_down>"
                "<bytes_up>F0 00 F7</bytes_up></output>"
                "<input><type>button</type><value>play</value><bytes_down>9P 3C 7F</bytes_down></input>");
    EXPECT_TRUE(c.device.isConnected());
    EXPECT_EQ(c.ports.open.size(), 2u);
    EXPECT_EQ(c.ports.sent, (Bytes{{0xF0, 1, 0xF7}}));
    EXPECT_EQ(c.device.deviceName, "Pad");

    // Input is queued by the MIDI thread and handled by the drain only.
    c.ports.receive(2, {0x91, 0x3C, 0x7F});
    EXPECT_TRUE(c.iface.calls.empty());
    c.device.drainInput();
    EXPECT_EQ(c.iface.calls, (std::vector<std::string>{"click 40  1 down", "click 40  1 up"}));

    // Disconnecting sends the release bytes and closes the ports.
    c.ports.sent.clear();
    c.device.disconnect();
    EXPECT_EQ(c.ports.sent, (Bytes{{0xF0, 0, 0xF7}}));
    EXPECT_TRUE(c.ports.open.empty());
    EXPECT_FALSE(c.device.isConnected());
}

TEST(ControllerOutput, Leds) {
    Connected c("<output><type>button</type><value>play</value><bytes_down>9P 20 7F</bytes_down>"
                "<bytes_up>8P 20 00</bytes_up></output>"
                "<output><type>button</type><value>loop</value><bytes_down>90 21 7F</bytes_down>"
                "<bytes_up>90 21 00</bytes_up><flash_length>500</flash_length><flash_ratio>0.5</flash_ratio></output>"
                "<output><type>button</type><value>cue</value><outputmode>switch</outputmode>"
                "<bytes_down>90 22 7F</bytes_down></output>");
    c.iface.getValue("play");
    c.iface.clock = 1000; // 1000 mod 500 = 0: the flashing LED is in its lit half
    // First frame: every normal LED goes out once (channel mode: one per deck), the switch LED stays.
    Bytes first = c.frame();
    EXPECT_EQ(first, (Bytes{{0x80, 0x20, 0}, {0x90, 0x21, 0x7F}, {0x81, 0x20, 0}, {0x82, 0x20, 0}, {0x83, 0x20, 0}}));
    c.iface.clock = 1250;
    EXPECT_EQ(c.frame(), (Bytes{{0x90, 0x21, 0}}));
    c.iface.clock = 1499;
    EXPECT_EQ(c.frame(), Bytes{});
    c.iface.lit[V_PLAY] = true;
    c.iface.lit[V_PLAY + 10] = true;
    EXPECT_EQ(
        c.frame(),
        (Bytes{{0x90, 0x20, 0x7F}, {0x90, 0x22, 0x7F}, {0x91, 0x20, 0x7F}, {0x92, 0x20, 0x7F}, {0x93, 0x20, 0x7F}}));
    c.iface.lit[V_PLAY + 10] = false;
    EXPECT_EQ(c.frame(), (Bytes{{0x90, 0x22, 0x7F}})); // switch mode: the press bytes again
}

TEST(ControllerOutput, TabLitLedAndValues) {
    Connected c("<output><type>knob</type><value>volume_player</value><bytes>B0 07 VV</bytes></output>"
                "<character-mapping><shortcut>n</shortcut><map><char>0</char><val>1</val></map>"
                "<map><char>50</char><val>2</val></map><map><char>100</char><val>3</val></map></character-mapping>"
                "<output><type>slider</type><value>crossfader</value><bytes>B0 09 Xn</bytes></output>"
                "<tabs><tab><name>a</name><output><type>button</type><value>tabselect</value>"
                "<valuespecifier>a</valuespecifier><bytes_down>90 30 7F</bytes_down><bytes_up>90 30 00</bytes_up>"
                "</output></tab><tab><name>b</name></tab></tabs>");
    struct Case {
        double value;
        Bytes expected;
    } cases[] = {
        {0.5, {{0xB0, 7, 63}, {0xB0, 9, 2}}},
        {0.49, {{0xB0, 7, 62}, {0xB0, 9, 1}}},
        {1.0, {{0xB0, 7, 127}, {0xB0, 9, 3}}},
        {7.0, {}}, // beyond the range: clamped, no change
    };
    Bytes first = c.frame();
    EXPECT_NE(std::find(first.begin(), first.end(), std::vector<uint8_t>{0x90, 0x30, 0x7F}), first.end());
    for (const Case& k : cases) {
        c.iface.values["41/0"] = k.value;
        c.iface.values["43/0"] = k.value;
        EXPECT_EQ(c.frame(), k.expected) << k.value;
    }
}

TEST(ControllerOutput, ScrollingTextSendsChangedSegmentsOnly) {
    std::string segments;
    for (int i = 0; i < 6; i++)
        segments +=
            "<segment><pos>" + std::to_string(i) + "</pos><bytes>BP 3" + std::to_string(i) + " Xa</bytes></segment>";
    std::string map = "<character-mapping><shortcut>a</shortcut><map><char> </char><val>32</val></map>";
    for (char ch = 'A'; ch <= 'H'; ch++)
        map += std::string("<map><char>") + ch + "</char><val>" + std::to_string(int(ch)) + "</val></map>";
    Connected c(map + "</character-mapping><character-display><name>d</name><allowscrolling>yes</allowscrolling>" +
                segments +
                "</character-display><output><type>text</type><value>trackinfo</value>"
                "<display>d</display></output>");
    HIDDisplay& d = *c.device.displays[0];
    auto shown = [&](double at, const std::string& text) {
        c.iface.clock = at;
        c.ports.sent.clear();
        d.showText(text, 0);
        return d.shownText[0];
    };
    // Eight characters on six: from 0, 1, 2 at 600 ms steps, held, back, whole text held, again.
    std::vector<std::string> timeline;
    for (int step = 0; step <= 13; step++)
        timeline.push_back(shown(1000 + step * 600.0, "ABCDEFGH"));
    EXPECT_EQ(timeline, (std::vector<std::string>{"ABCDEFGH", "BCDEFGH", "CDEFGH", "CDEFGH", "CDEFGH", "CDEFGH",
                                                  "BCDEFGH", "ABCDEFGH", "ABCDEFGH", "ABCDEFGH", "ABCDEFGH", "ABCDEFGH",
                                                  "ABCDEFGH", "ABCDEFGH"}));
    // A shorter text: the segments it no longer covers are blanked once, unchanged ones not resent.
    shown(20000, "ABC");
    EXPECT_EQ(c.ports.sent, (Bytes{{0xB0, 0x33, 32}, {0xB0, 0x34, 32}, {0xB0, 0x35, 32}}));
    shown(20100, "ABC");
    EXPECT_TRUE(c.ports.sent.empty());
    // A character the map lacks goes out as the map's space, never as a status byte.
    shown(20200, "ABZ");
    EXPECT_EQ(c.ports.sent, (Bytes{{0xB0, 0x32, 32}}));
}

TEST(ControllerOutput, JogRingLightsOnceAndOnlyWhereNotesExist) {
    Connected c("<output><type>jogwheel</type><value>pitch</value><bytes_down>90 50 7F</bytes_down>"
                "<bytes_up>90 50 00</bytes_up></output>");
    Bytes first = c.frame();
    EXPECT_EQ(first.size(), 48u); // notes 0x50 + 48 .. + 59 are past 127
    for (auto& m : first)
        EXPECT_LT(m[1], 0x80);
    EXPECT_EQ(first[0], (std::vector<uint8_t>{0x90, 0x50, 0x7F}));
    EXPECT_EQ(first[10], (std::vector<uint8_t>{0x90, 0x5A, 0}));
    EXPECT_TRUE(c.frame().empty());
    c.iface.values["42/0"] = 30; // a sixtieth of the turn further: only the changed lights
    Bytes moved = c.frame();
    EXPECT_FALSE(moved.empty());
    EXPECT_LT(moved.size(), 4u);
}

TEST(ControllerOutput, SendsNeverCarryStatusBytesInDataPositions) {
    Connected c("");
    struct Case {
        std::vector<int> codes;
        int player;
        Bytes expected;
    } cases[] = {
        {{-243, 0x10, 0x7F}, 2, {{0x32, 0x10, 0x7F}}}, // channel token
        {{0x90, -1, 0x7F}, 0, {}},                     // unresolved value token
        {{0x90, 0x10, 200}, 0, {{0x90, 0x10, 0x7F}}},  // a status byte where data belongs: clamped
        {{0xF0, 0xF7, 0x90, 0xF7}, 0, {{0xF0, 0x7F, 0x7F, 0xF7}}},
        {{}, 0, {}},
        {std::vector<int>(300, 0x11), 0, {std::vector<uint8_t>(300, 0x11)}}, // long messages go whole
    };
    for (const Case& k : cases) {
        c.ports.sent.clear();
        c.device.midiSendMessage(&k.codes, k.player);
        EXPECT_EQ(c.ports.sent, k.expected);
    }
}

// A controller's own button that makes the engine reconnect its controllers deletes the device
// whose message is being handled: it is freed after the message (AddressSanitizer checks).
TEST(ControllerOutput, ControllerDeletedByItsOwnButton) {
    FakeMidiPorts ports;
    ports.sourceModels = {"Pad"};
    RecordingInterface iface;
    testsupport::TempDir dir("midi");
    std::string file = dir.write("pad.xml", "<type>midi</type><descriptor><model>Pad</model></descriptor>"
                                            "<input><type>button</type><value>option</value>"
                                            "<valuespecifier>MidiConfig:Pad:=None</valuespecifier>"
                                            "<bytes_down>90 01 7F</bytes_down></input>"
                                            "<input><type>button</type><value>play</value>"
                                            "<bytes_down>90 01 7F</bytes_down></input>");
    std::unique_ptr<EngineController> controller = controllerFactory().createController(&iface);
    controller->loadDevice(file);
    controller->connect(HIDTYPE_MIDI, "Pad");
    ASSERT_TRUE(controller->isConnected());
    iface.onClick = [&](int id, const std::string&) {
        if (id == 60) controller.reset();
    };
    ports.receive(0, {0x90, 1, 0x7F, 0x90, 1, 0x7F});
    drainControllerInput();
    EXPECT_FALSE(controller);
    // The message ended with the control's own clicks: the next control and message did nothing.
    EXPECT_EQ(iface.calls,
              (std::vector<std::string>{"click 60 MidiConfig:Pad:=None 0 down", "click 60 MidiConfig:Pad:=None 0 up"}));
    EXPECT_TRUE(ports.open.empty());
}

// The engine connects the configured controller by the output's model name, finds it under that name,
// and reconnecting closes the old ports instead of leaving them delivering.
TEST(ControllerOutput, EngineReconnectsWithoutLeavingPortsOpen) {
    testsupport::TempDir home("midihome");
    setenv("HOME", home.path.c_str(), 1);
    setenv("XDG_DATA_HOME", (home.path + "data").c_str(), 1);
    FakeMidiPorts ports;
    ports.sourceModels = {"Pad", "Pad"};
    ports.destinationModels = {"Other", "Pad"};
    std::string file = home.write("pad.xml", "<type>midi</type><descriptor><model>Pad</model></descriptor>"
                                             "<output><value>deviceconnect</value><bytes_down>F0 01 F7</bytes_down>"
                                             "<bytes_up>F0 00 F7</bytes_up></output>"
                                             "<input><type>button</type><value>play</value>"
                                             "<bytes_down>90 01 7F</bytes_down></input>");
    {
        SkinInterface skinIface;
        SkinListBox skinList(&skinIface, nullptr, nullptr); // a skin's list of controllers, outliving the engine
        Tarlume engine;
        engine.controllerFactory = &controllerFactory();
        engine.setHIDConfig("Pad", file);
        engine.controllerLists.push_back(&skinList);
        // Configured while the devices could not be listed yet (no server has answered since the start): the
        // controller waits, also through a first listing without it (its program joins the server later), and joins
        // its devices once they are listed.
        ports.listedYet = false;
        engine.connectHIDs();
        ASSERT_EQ(engine.controllers.size(), 1u);
        EXPECT_FALSE(engine.controllers[0]->isConnected());
        const std::vector<std::string> sources = std::exchange(ports.sourceModels, {}),
                                       destinations = std::exchange(ports.destinationModels, {});
        ports.listedYet = true;
        ports.changes++;
        engine.update();
        EXPECT_FALSE(engine.controllers[0]->isConnected());
        ports.sourceModels = sources;
        ports.destinationModels = destinations;
        ports.changes++;
        engine.update();
        EXPECT_TRUE(engine.controllers[0]->isConnected());
        EXPECT_EQ(ports.open.size(), 2u);
        EXPECT_EQ(engine.controllerDeviceChanges, 2u) << "the lists of controllers were not told";
        EXPECT_EQ(skinList.getNbItems(), 3) << "the skin's list of controllers was not filled again";
        // A list filled row by row lists the sources once.
        ports.asked = 0;
        std::vector<std::string> rows;
        for (int n = 0; rows.empty() || !rows.back().empty(); n++)
            rows.push_back(controllerFactory().getMidiDevice(n));
        rows.pop_back();
        EXPECT_EQ(rows, (std::vector<std::string>{"Keyboard", "Pad", "Pad"}));
        EXPECT_EQ(ports.asked, 1);
        for (int round = 0; round < 3; round++) {
            engine.connectHIDs();
            ASSERT_EQ(engine.controllers.size(), 1u);
            EXPECT_EQ(ports.open.size(), 2u);
        }
        EngineController* device = nullptr;
        EXPECT_TRUE(engine.getHIDConfig("Pad", nullptr, &device));
        EXPECT_EQ(device, engine.controllers[0].get());
        // Without a skin the controller has no interface: input is matched and goes nowhere.
        ports.receive(0, {0x90, 1, 0x7F});
        drainControllerInput();
        engine.disconnectHIDs();
        EXPECT_TRUE(ports.open.empty());
    }
    unsetenv("XDG_DATA_HOME");
}

// The shipped two-deck controller on a real engine. Every control acts on the deck whose channel it comes on and
// every lamp can light; PLAY starts and stops each deck with its lamp; the faders' and knobs' values go back on
// every deck's channel.
TEST(ControllerOutput, TheShippedTwoDeckFileDrivesAndShowsEveryDeck) {
    testsupport::TempDir home("twodeck");
    testsupport::ScopedEnv xdg("XDG_DATA_HOME", home.path), homeEnv("HOME", home.path);
    const std::string track = home.path + "track.wav";
    ASSERT_TRUE(testsupport::writeWav(track, std::vector<float>(44100 * 2 * 10, 0.1f))); // 10 s
    Tarlume engine;
    TarlumeSkinInterface ui(&engine);
    FakeMidiPorts ports;
    ports.sourceModels = ports.destinationModels = {"TwoDeck"};
    HIDDevice device(&ui);
    device.loadDevice(std::string(TARLUME_SOURCE_DIR) + "/data/devices/TwoDeck.xml");
    device.connect(HIDTYPE_MIDI, "TwoDeck");
    ASSERT_TRUE(device.isConnected());
    HIDTab& tab = *device.groups.at(0)->tabs.at(0);
    auto send = [&](std::vector<uint8_t> m) {
        ports.receive(0, m);
        device.drainInput();
    };
    auto frame = [&] {
        ports.sent.clear();
        device.update();
        return ports.sent;
    };
    auto has = [](const Bytes& sent, std::vector<uint8_t> m) {
        return std::find(sent.begin(), sent.end(), m) != sent.end();
    };
    // A pattern's message on deck d's channel, its value bytes 0x50.
    auto message = [](const std::vector<int>& pattern, int d) {
        std::vector<uint8_t> m;
        for (int code : pattern)
            m.push_back(uint8_t(code >= 0 ? code : code <= HIDCODE_CHANNEL ? (HIDCODE_CHANNEL - code) * 16 + d : 0x50));
        return m;
    };

    // The first frame sends every value, for each deck on its own channel.
    Bytes first = frame();
    for (auto& control : tab.inputs) {
        const std::vector<int>& pattern = control->bytes[0][HIDPATTERN_VALUE];
        if ((control->kind != OBJECT_SLIDER && control->kind != OBJECT_KNOB) || pattern.empty() || pattern[0] >= 0)
            continue;
        for (int d = 0; d < 4; ++d) {
            const std::vector<uint8_t> m = message(pattern, d);
            EXPECT_TRUE(std::any_of(first.begin(), first.end(), [&](auto& s) { return s[0] == m[0] && s[1] == m[1]; }))
                << "no value " << control->value << " " << control->valueSpecifier << " for deck " << d + 1;
        }
    }
    engine.players[2]->setVolume(0.5);
    EXPECT_TRUE(has(frame(), {0xB2, 0x07, 63}));

    // PLAY, as a note on alone and with its note off.
    for (int d : {0, 1}) {
        ASSERT_TRUE(testsupport::loadSong(engine.players[d], track));
        engine.players[d]->setParam(PLAYERPARAM_BPMANALYSIS, 0); // the tempi below are set by hand
    }
    for (int d : {0, 1})
        for (bool noteOff : {false, true})
            for (bool starts : {true, false}) {
                SCOPED_TRACE("deck " + std::to_string(d + 1) + (noteOff ? " note on and off" : " note on"));
                send({uint8_t(0x90 + d), 0x0B, 0x7F});
                if (noteOff) send({uint8_t(0x80 + d), 0x0B, 0x00});
                EXPECT_EQ(engine.players[d]->getParam(PLAYERPARAM_PLAYING) > 0.5, starts);
                EXPECT_FALSE(engine.players[1 - d]->getParam(PLAYERPARAM_PLAYING) > 0.5);
                EXPECT_TRUE(has(frame(), starts ? std::vector<uint8_t>{uint8_t(0x90 + d), 0x0B, 0x7F}
                                                : std::vector<uint8_t>{uint8_t(0x80 + d), 0x0B, 0x00}));
            }

    // Every control, on deck 2's channel, changes what is heard of deck 2 or of the mix, from a playing deck
    // with memory cues and a tempo other than deck 1's; on the way every lamp lights.
    TarlumePlayer* p = engine.players[1];
    engine.players[0]->bpm = 120;
    p->bpm = 126;
    for (TarlumePlayer* deck : {engine.players[0], p})
        deck->bpmConfidence = 100;
    for (int slot = 0; slot < 4; ++slot)
        p->cuePoints[slot] = 1000.0 * (slot + 1);
    auto heard = [&] {
        char text[256];
        EffectGroup* chain = p->effects;
        snprintf(text, sizeof text, "%g %.1f %.6f %.6f %d %g %.4f %.4f %.4f %.4f %.4f %.4f",
                 p->getParam(PLAYERPARAM_PLAYING), p->getPosition(), p->getPitchTo(), p->getPitch(false),
                 int(p->pitchMode), p->getParam(PLAYERPARAM_LOOP), p->getVolume(),
                 chain->getParameter(EFFECT_EQ_KILLS, 0), chain->getParameter(EFFECT_EQ_KILLS, 3),
                 chain->getParameter(EFFECT_EQ_KILLS, 6), engine.getCrossfader(false), engine.getVolumeMaster());
        return std::string(text);
    };
    std::set<HIDObject*> lit;
    for (auto& control : tab.inputs) {
        p->setParam(PLAYERPARAM_PLAYING, 1);
        p->setPosition(5000);
        const std::string before = heard();
        for (int part : {HIDPATTERN_DOWN, HIDPATTERN_VALUE, HIDPATTERN_UP})
            if (!control->bytes[0][part].empty()) send(message(control->bytes[0][part], 1));
        EXPECT_NE(heard(), before) << "value " << control->value << " " << control->valueSpecifier << " did nothing";
        frame();
        for (auto& lamp : tab.outputs)
            if (lamp->kind == OBJECT_BUTTON && lamp->lastState[1] == 1) lit.insert(lamp.get());
    }
    for (auto& lamp : tab.outputs)
        EXPECT_TRUE(lamp->kind != OBJECT_BUTTON || lit.count(lamp.get()))
            << "the lamp of value " << lamp->value << " " << lamp->valueSpecifier << " never lit";
}
