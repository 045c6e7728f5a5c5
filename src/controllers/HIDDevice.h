// A controller (a MIDI control surface) described by a controller file: its tabs of controls, each
// mapping MIDI byte patterns to a value of the skin's vocabulary, its character tables and text
// displays, its MIDI ports and the feedback sent back every frame.
//
// Threads: everything here runs on the main thread. MIDI input only queues messages (on the MIDI
// thread, see MidiReadProc); drainInput() hands them to handleMessage between frames.
#pragma once

#include "engine/EngineHooks.h"
#include "platform/MidiPorts.h"

#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SkinInterface;
class HIDDevice;
class HIDDisplay;
class HIDCharacter;

// Byte pattern codes besides the fixed bytes 0..255.
enum {
    HIDCODE_VV = -1,       // value byte, 0..127 read as 0..1
    HIDCODE_VS = -2,       // signed value byte, centre 64
    HIDCODE_VT = -3,       // two's complement 7-bit value byte
    HIDCODE_VH = -4,       // high 7 bits of a 14-bit value
    HIDCODE_VL = -5,       // low 7 bits of a 14-bit value
    HIDCODE_CHAR1 = -6,    // a byte from a character mapping (a display's first)
    HIDCODE_CHAR2 = -7,    // a byte from a display's second character mapping
    HIDCODE_VN = -8,       // negated value byte
    HIDCODE_CHANNEL = -240 // -240 - x: status nibble x, the channel from the player
};

struct tHIDDescriptor {
    std::string manufacturer;
    std::string model;
    std::string inputEndpointName;
    std::string outputEndpointName;
};

// Pattern set k (0..3) holds these four patterns.
enum { HIDPATTERN_UP = 0, HIDPATTERN_DOWN = 1, HIDPATTERN_VALUE = 2, HIDPATTERN_LOW = 3 };

class HIDCharacter {
public:
    explicit HIDCharacter(std::string& text);
    virtual ~HIDCharacter() = default;
    // The value of the first entry whose character text equals s exactly; -1 when none.
    int getValue(const std::string& s) const;

    std::string name;
    std::string shortcut;
    std::vector<std::string> characters;
    std::vector<int> values;
};

class HIDDisplay {
public:
    HIDDisplay(HIDDevice* device, std::string& text);
    virtual ~HIDDisplay() = default;
    // Display patterns: "X" + c names a mapping by its whole shortcut (any case); up to two mappings.
    void hexToIntVector(std::string* text, std::vector<int>* codes);
    // Shows a text for player p (0 or 1), scrolling it when allowed and sending changed segments only.
    void showText(std::string text, int p);

    HIDDevice* device;
    std::vector<HIDCharacter*> mappings; // not owned; [0] serves -6, [1] serves -7
    std::string lastText[4];             // last full text received
    std::string shownText[4];            // text last shown
    double scrollPos[4] = {0, 0, 0, 0};  // characters
    double scrollTime[4] = {0, 0, 0, 0}; // ms of the last scroll step
    bool scrolling = false;
    int width = 0;
    std::string name;
    std::vector<int> segPos;
    std::vector<std::vector<int>> segBytes;
    std::vector<int> segLen;
};

class HIDObject {
public:
    HIDObject(std::string* text, SkinInterface* iface, HIDDevice* device);
    virtual ~HIDObject() = default;
    // Control patterns: "X" + c names the first mapping whose shortcut begins with c (exact case).
    void hexToIntVector(std::string* text, std::vector<int>* codes);

    // Input (handleMessage: pass p of 0..3; time in ms, or -1 when unknown).
    void handleMessage(const std::vector<int>* message, int p, double time);
    bool isConditionTrue(int player);
    bool hasTriggerActive() const;
    void handleTrigger();
    // Base player: the variable's value, else player + offset through the player map (raw: without).
    int getPlayer(bool raw);
    void setPlayerMap(const std::string& spec);

    // Output.
    void handleOutput(int p);
    void sendBytesDown();
    void sendBytesUp();

    HIDDevice* device;
    SkinInterface* iface;
    int kind = 0;
    int value = 0;
    std::string valueSpecifier;
    int player = 0;
    std::string playerName;
    bool playerFromVariable = false;
    int playerOffset = 0;
    bool invert = false;
    double scale = 0;
    double flashLength = 0;   // ms
    double flashRatio = 0;    // fraction of the period lit
    double flashOffset = 0;   // ms
    int conditionKind = 0;    // 1 hold longer than, 2 hold shorter than
    double conditionTime = 0; // ms
    int action = 0;           // 0 key down, 1 on key up, 2 on condition
    bool switchMode = false;
    HIDDisplay* display = nullptr;   // not owned
    HIDCharacter* mapping = nullptr; // not owned
    std::vector<int> bytes[4][4];    // [set][HIDPATTERN_*]

    double lastValue[4] = {-1, -1, -1, -1};
    bool pressed[4] = {false, false, false, false};
    double pressTime[4] = {0, 0, 0, 0}; // ms
    bool triggerArmed[4] = {false, false, false, false};
    int high[4] = {0, 0, 0, 0};
    int low[4] = {0, 0, 0, 0};
    int lastState[4] = {-1, -1, -1, -1};
    std::vector<int> ring[4]; // 60 lights, made on first use

    // Set when the patterns change after the first message (the first bytes any pattern accepts).
    bool firstBytesKnown = false;

private:
    const std::bitset<256>& firstBytes();
    std::bitset<256> firstBytes_;
    bool match(const std::vector<int>& pattern, const std::vector<int>& message, int& expected, int& checkPlayer, int k,
               bool decode, double& v, int& h, int& l);
    void valueStep(int i, double v, double time);
    void click(int i, bool released);
    void drawRing(int q, int set, double position);
};

class HIDTab {
public:
    explicit HIDTab(SkinInterface* iface);
    HIDTab(std::string* text, SkinInterface* iface, HIDDevice* device);
    virtual ~HIDTab() = default;

    SkinInterface* iface;
    std::string name;
    std::vector<std::unique_ptr<HIDObject>> inputs;
    std::vector<std::unique_ptr<HIDObject>> outputs;
};

class HIDTabGroup {
public:
    explicit HIDTabGroup(SkinInterface* iface);
    HIDTabGroup(std::string* text, SkinInterface* iface, HIDDevice* device);
    virtual ~HIDTabGroup() = default;
    HIDTab* getCurrentTab(int player);
    void setCurrentTab(int player, int index);

    SkinInterface* iface;
    int currentTab[4] = {0, 0, 0, 0};
    std::vector<std::unique_ptr<HIDTab>> tabs;
};

struct HIDInputLink; // an open source and the queue its callback fills

class HIDDevice {
public:
    explicit HIDDevice(SkinInterface* iface);
    virtual ~HIDDevice();
    HIDDevice(const HIDDevice&) = delete;
    HIDDevice& operator=(const HIDDevice&) = delete;

    void loadDevice(const std::string& path);
    // Parses a controller file's text (path kept only as the device's file).
    void loadText(const std::string& text, const std::string& path);

    void handleMessage(const std::vector<int>* message, double time);
    bool selectTab(const std::string& name, int player);
    bool isActiveTab(const std::string& name, int player);

    void connect(enHIDType type, const std::string& name);
    void connect();
    void disconnect();
    bool isConnected() const { return connected; }
    // Not connected because the MIDI system could not list its endpoints yet (no JACK server has answered since the
    // program started): tried again whenever the devices as listed change, until its own are there.
    bool awaitsDevices() const { return awaitingDevices; }
    void update();
    void midiSendMessage(const std::vector<int>* codes, int player);
    // Hands queued input to handleMessage (main thread). Stops when the device is disconnected.
    void drainInput();

    // "Keyboard" for 0, the n-th MIDI source's model name for n >= 1, "" past the last. Row 0 lists the sources
    // anew; the rows after it read that listing (a list is filled from row 0 on).
    static std::string getMidiDevice(int index, int* type = nullptr, int* number = nullptr);

    // Milliseconds of the clock hold times, flashing and scrolling use.
    double now();

    std::vector<std::unique_ptr<HIDTabGroup>> groups; // default group first
    std::vector<HIDObject*> pendingTriggers;          // not owned
    std::unique_ptr<HIDObject> specialOutput;         // "deviceconnect"
    bool connected = false;
    bool inputFound = false;
    bool outputFound = false;
    std::string name;
    std::string path;
    std::string deviceName; // the output's model name given to connect
    enHIDType type = HIDTYPE_NONE;
    tHIDDescriptor descriptor;
    SkinInterface* iface;
    int playerMap[16];
    std::vector<std::unique_ptr<HIDCharacter>> mappings;
    std::vector<std::unique_ptr<HIDDisplay>> displays;

    std::vector<std::unique_ptr<HIDInputLink>> inputs;
    std::unique_ptr<MidiOutputPort> output;

private:
    void closePorts();
    // Forgets what the outputs and displays last sent, so that the next update sends it all.
    void forgetSent();
    unsigned portGeneration = 0; // changes whenever the ports close
    unsigned outputJoins = 0;    // the output's joins() when the whole state was last sent
    bool awaitingDevices = false;
};

// Splits received bytes into messages: a message is complete at F7 after F0, or at 3 bytes when
// it does not start with F0; what is left at the end goes out incomplete.
void splitMidiPacket(const uint8_t* bytes, size_t size, std::vector<std::vector<int>>& messages);
// The input callback: queues the bytes for the device's main-thread drain (MIDI thread).
void MidiReadProc(void* link, const uint8_t* bytes, size_t size, double time);
