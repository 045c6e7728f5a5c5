// Watches one skin value and runs a script each time the value changes, `count` times
// (a negative count: until removed). Polled by the skin once per frame on the main thread.
#pragma once

#include <string>

class SkinInterface;

enum enTriggerType { TRIGGER_BOOL = 0, TRIGGER_STRING = 1, TRIGGER_DOUBLE = 2 };

class SkinScriptTrigger {
public:
    // Reads the watched value once as the baseline.
    SkinScriptTrigger(SkinInterface* iface, const std::string& name, int valueId, const std::string& spec, int deck,
                      enTriggerType kind, const std::string& scriptText, int count);
    virtual ~SkinScriptTrigger() = default;

    // One poll: on a change runs the script and counts down.
    void handleTrigger();

    SkinInterface* interface;
    bool lastBool = false;
    double lastDouble = 0.0;
    std::string lastString;
    std::string name;
    int count;
    int valueId;
    std::string specifier;
    int deck;
    std::string scriptName; // "script:" + the script text
    enTriggerType kind;
    // Removed while being polled: the skin deletes it after the poll.
    bool dead = false;
};
