// The controllers as the engine sees them: a factory the application registers with the engine,
// and the main-thread drain of queued MIDI input.
#pragma once

#include "engine/EngineHooks.h"

class HIDDevice;

class ControllerFactory : public EngineControllerFactory {
public:
    std::unique_ptr<EngineController> createController(SkinInterface* iface) override;
    std::string getMidiDevice(int n) override;
    bool devicesChanged() override;

private:
    unsigned seen_ = 0; // the MIDI system's count of listing changes, as last seen
};

// The one factory of the program.
ControllerFactory& controllerFactory();

// Main thread, between frames: hands every queued MIDI message to its controller. A controller
// deleted by an action of its own (a new configuration) is freed after its message, not inside it.
void drainControllerInput();
// Readable when MIDI input waits (an eventfd; the shell's loop may wait on it).
int controllerInputWakeFd();
