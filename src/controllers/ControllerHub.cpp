#include "controllers/ControllerHub.h"

#include "controllers/HIDDevice.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

std::vector<HIDDevice*> live;                      // every controller made by the factory
HIDDevice* draining = nullptr;                     // the one whose message is being handled
std::vector<std::unique_ptr<HIDDevice>> graveyard; // deleted while draining: freed after

// The engine's handle on one controller.
class Controller : public EngineController {
public:
    explicit Controller(SkinInterface* iface) : device_(std::make_unique<HIDDevice>(iface)) {
        live.push_back(device_.get());
    }
    ~Controller() override {
        device_->disconnect();
        live.erase(std::remove(live.begin(), live.end(), device_.get()), live.end());
        if (device_.get() == draining) graveyard.push_back(std::move(device_));
    }
    void loadDevice(const std::string& path) override { device_->loadDevice(path); }
    void connect(enHIDType type, const std::string& name) override { device_->connect(type, name); }
    bool isConnected() override { return device_->isConnected(); }
    bool awaitsDevices() override { return device_->awaitsDevices(); }
    void disconnect() override { device_->disconnect(); }
    void update() override { device_->update(); }
    std::string getDeviceName() override { return device_->deviceName; }
    void selectTab(const std::string& tab, int deck) override { device_->selectTab(tab, deck); }

private:
    std::unique_ptr<HIDDevice> device_;
};

} // namespace

std::unique_ptr<EngineController> ControllerFactory::createController(SkinInterface* iface) {
    return std::make_unique<Controller>(iface);
}

std::string ControllerFactory::getMidiDevice(int n) {
    return HIDDevice::getMidiDevice(n);
}

bool ControllerFactory::devicesChanged() {
    const unsigned changes = MidiPorts::get().watch();
    return std::exchange(seen_, changes) != changes;
}

ControllerFactory& controllerFactory() {
    static ControllerFactory factory;
    return factory;
}

void drainControllerInput() {
    // Devices may come and go while messages are handled: walk a copy, skipping the gone ones.
    std::vector<HIDDevice*> devices = live;
    for (HIDDevice* d : devices) {
        if (std::find(live.begin(), live.end(), d) == live.end()) continue;
        draining = d;
        d->drainInput();
        draining = nullptr;
        graveyard.clear();
    }
}
