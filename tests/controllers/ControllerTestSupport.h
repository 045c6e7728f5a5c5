// A skin interface that records what controllers do to it, on a clock the test drives, and MIDI
// ports in memory.
#pragma once

#include "controllers/HIDDevice.h"
#include "platform/MidiPorts.h"
#include "skin/SkinInterface.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ctltest {

// Value ids of the application the tests name (any id above the generic ones will do).
enum { V_PLAY = 40, V_VOLUME = 41, V_PITCH = 42, V_CROSSFADER = 43, V_TEXT = 44, V_ELAPSED = 45 };

struct RecordingInterface : SkinInterface {
    std::vector<std::string> calls;       // "click 40 spec 2 down", "set 41 0 0.5", "jog 42 1 3 2"
    std::map<std::string, double> values; // "id/deck" -> relative value read back
    std::map<int, bool> lit;              // by id
    std::map<int, std::string> texts;     // by id
    double clock = 1000;                  // ms
    std::function<void(int, const std::string&)> onClick;

    int getValue(const std::string& name) override {
        static const std::map<std::string, int> app = {{"play", V_PLAY},         {"volume_player", V_VOLUME},
                                                       {"pitch", V_PITCH},       {"crossfader", V_CROSSFADER},
                                                       {"trackinfo", V_TEXT},    {"timeelapsed", V_ELAPSED},
                                                       {"pitchto", V_PITCH},     {"cue", V_PLAY + 10},
                                                       {"disc", V_ELAPSED + 10}, {"option", 60}};
        auto it = app.find(strtolowerCopy(name));
        return it != app.end() ? it->second : SkinInterface::getValue(name);
    }
    static std::string strtolowerCopy(std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return s;
    }
    double getTime() override { return clock; }
    void handleMouseClickSimple(int id, const std::string& spec, int deck, bool released) override {
        calls.push_back("click " + std::to_string(id) + " " + spec + " " + std::to_string(deck) +
                        (released ? " up" : " down"));
        if (onClick) onClick(id, spec);
    }
    void setValueDblRelative(int id, std::string*, int deck, double r) override {
        char buf[96];
        snprintf(buf, sizeof buf, "set %d %d %.4g", id, deck, r);
        calls.push_back(buf);
        values[std::to_string(id) + "/" + std::to_string(deck)] = r;
    }
    double getValueDblRelative(int id, std::string*, int deck) override {
        auto it = values.find(std::to_string(id) + "/" + std::to_string(deck));
        return it != values.end() ? it->second : 0.0;
    }
    double getValueDbl(int id, std::string* spec, int deck) override { return getValueDblRelative(id, spec, deck); }
    bool getValueBool(int id, std::string*, int, SkinWindow*) override { return lit[id]; }
    std::string getValueStr(int id, std::string*, int) override { return texts[id]; }
    void handleJogWheel(int id, std::string*, int deck, double amount, double factor, double) override {
        char buf[96];
        snprintf(buf, sizeof buf, "jog %d %d %.4g %.4g", id, deck, amount, factor);
        calls.push_back(buf);
    }
};

// Endpoints and sends in memory; a test delivers input through the callbacks kept here.
struct FakeMidiPorts : MidiPorts {
    struct In : MidiInputPort {
        FakeMidiPorts* owner;
        int index;
        ~In() override { owner->closeInput(this); }
        In(FakeMidiPorts* o, int i) : owner(o), index(i) {}
    };
    struct Out : MidiOutputPort {
        FakeMidiPorts* owner;
        explicit Out(FakeMidiPorts* o) : owner(o) {}
        bool send(const uint8_t* bytes, size_t size) override {
            owner->sent.emplace_back(bytes, bytes + size);
            return true;
        }
    };
    struct Open {
        In* port;
        MidiReceive receive;
        void* ref;
    };
    std::vector<std::string> sourceModels, destinationModels;
    std::vector<Open> open;
    std::vector<std::vector<uint8_t>> sent;
    bool listedYet = true; // false: nothing could be listed yet (a server that has not answered)
    unsigned changes = 0;  // what watch() returns
    int asked = 0;         // sources listed

    FakeMidiPorts() { MidiPorts::install(this); }
    ~FakeMidiPorts() override { MidiPorts::install(nullptr); }
    std::vector<MidiEndpoint> sources() override {
        asked++;
        return listedYet ? list(sourceModels) : list({});
    }
    std::vector<MidiEndpoint> destinations() override { return listedYet ? list(destinationModels) : list({}); }
    bool listed() override { return listedYet; }
    unsigned watch() override { return changes; }
    static std::vector<MidiEndpoint> list(const std::vector<std::string>& models) {
        std::vector<MidiEndpoint> l;
        for (size_t i = 0; i < models.size(); i++)
            l.push_back({int(i), models[i] + ":port", models[i]});
        return l;
    }
    std::unique_ptr<MidiInputPort> openInput(int index, MidiReceive receive, void* ref) override {
        auto p = std::make_unique<In>(this, index);
        open.push_back({p.get(), receive, ref});
        return p;
    }
    std::unique_ptr<MidiOutputPort> openOutput(int) override { return std::make_unique<Out>(this); }
    void closeInput(In* p) {
        for (size_t i = 0; i < open.size(); i++)
            if (open[i].port == p) open.erase(open.begin() + long(i));
    }
    // Delivers bytes from source `index` as its MIDI thread would.
    void receive(int index, std::vector<uint8_t> bytes) {
        for (Open& o : open)
            if (o.port->index == index) o.receive(o.ref, bytes.data(), bytes.size(), 0);
    }
};

inline std::vector<int> codes(HIDObject& o, const std::string& pattern) {
    std::vector<int> out;
    std::string text = pattern;
    o.hexToIntVector(&text, &out);
    return out;
}

} // namespace ctltest
