// Any controller file text: loaded as a file, then every message cut from the same bytes offered to
// it and one frame of feedback refreshed.
#include "controllers/HIDDevice.h"
#include "skin/SkinInterface.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SkinInterface iface;
    HIDDevice device(&iface);
    device.loadText(std::string(reinterpret_cast<const char*>(data), size), "fuzz");
    std::vector<std::vector<int>> messages;
    splitMidiPacket(data, size < 64 ? size : 64, messages);
    for (auto& m : messages)
        device.handleMessage(&m, -1.0);
    for (auto& d : device.displays)
        d->showText(std::string(reinterpret_cast<const char*>(data), size < 40 ? size : 40), 0);
    device.update();
    return 0;
}
