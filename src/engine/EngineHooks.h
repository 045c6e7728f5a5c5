// What the engine calls above itself. The engine library knows nothing of the user interface, the
// controllers or the shell; where it must reach them, it calls these interfaces, which the upper
// layers implement and register with the engine (Tarlume::controllerFactory, Tarlume::shell).
// Nothing is registered by default: the engine then constructs, runs, plays and shuts down without
// controllers and without a shell.
//
// Threads: every call below is made on the main thread.
#pragma once

#include <memory>
#include <string>

class SkinInterface;

// Kinds of controller connection; the engine only ever connects MIDI controllers.
enum enHIDType { HIDTYPE_NONE = 0, HIDTYPE_MIDI = 1 };

// One controller described by a controller file, as the engine drives it.
class EngineController {
public:
    virtual ~EngineController() = default;
    // Reads and parses the controller file at that path.
    virtual void loadDevice(const std::string& path) = 0;
    // Disconnects first when connected; connects when the file's type equals `type`, to the
    // endpoints named `deviceName`.
    virtual void connect(enHIDType type, const std::string& deviceName) = 0;
    virtual bool isConnected() = 0;
    // Not connected because the MIDI devices could not be listed yet (no server has answered since the program
    // started): connected again whenever they change (EngineControllerFactory::devicesChanged), until it is.
    virtual bool awaitsDevices() { return false; }
    // Marks the controller disconnected (sending its release bytes when it has an output).
    virtual void disconnect() = 0;
    // Once per frame, after the skin's triggers: pending hold-time triggers and output feedback.
    virtual void update() = 0;
    // The device name the controller was connected under (compared by Tarlume::getHIDConfig).
    virtual std::string getDeviceName() = 0;
    // Shows the controller's tab of that name for a deck, as the skin's "tabselect" does on screen.
    virtual void selectTab(const std::string& tab, int deck) {
        (void)tab;
        (void)deck;
    }
};

// Makes controllers bound to the skin's interface. Registered by the layer that owns controllers.
class EngineControllerFactory {
public:
    virtual ~EngineControllerFactory() = default;
    // A new, unconnected controller; `iface` may be null when no skin is loaded.
    virtual std::unique_ptr<EngineController> createController(SkinInterface* iface) = 0;
    // The n-th controller device: 0 is the computer keyboard, n >= 1 the n-th MIDI source; "" past
    // the last.
    virtual std::string getMidiDevice(int n) { return n == 0 ? "Keyboard" : ""; }
    // Once a frame: the MIDI ports follow their server (made, brought back after it went away or stopped answering);
    // true when the devices as listed changed since the last call, so that lists of them are filled again.
    virtual bool devicesChanged() { return false; }
};

// Services of the desktop shell the engine may ask for. Registered by the shell.
class EngineShell {
public:
    virtual ~EngineShell() = default;
    // Starts dragging a file (a row of a list) with the pointer; `view` is the engine's drawing view.
    virtual void startFileDrag(const std::string& path, void* view) = 0;
    // Shows a Yes/No question; the answer comes back through the skin interface's handleInputBox.
    virtual void showDialog(const std::string& message) = 0;
    // At the engine's end, sound or MIDI did not close in time (a server that stopped answering); the settings
    // and playlists are written by then. The program may end here without waiting for them; when this
    // returns, the engine waits for the close after all.
    virtual void devicesDidNotClose() {}
};
