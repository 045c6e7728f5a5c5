// Controller input matching and feedback: a message through 200 controls in two tab groups beside
// the same messages through a plain table of patterns; a frame of 200 outputs; and the time from a
// note sent by a controller on JACK to its action on the main thread.
#include "controllers/ControllerHub.h"
#include "controllers/ControllerTestSupport.h"
#include "controllers/JackMidiClient.h"
#include "platform/JackThread.h"
#include "support/JackServer.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace ctltest;

namespace {

// 100 controls in the default group and 100 in a second group of two tabs: notes, controls,
// channel tokens and values, alike a large controller's file.
std::string twoHundredControls() {
    std::string text = "<name>Bench</name><type>midi</type><descriptor><model>Bench</model></descriptor>";
    auto control = [](int n) {
        char buf[256];
        if (n % 2)
            snprintf(buf, sizeof buf,
                     "<input_output><type>button</type><value>play</value><bytes_down>9P %02X 7F</bytes_down>"
                     "<bytes_up>8P %02X 00</bytes_up></input_output>",
                     n % 128, n % 128);
        else
            snprintf(buf, sizeof buf,
                     "<input_output><type>slider</type><value>volume_player</value><bytes>BP %02X VV</bytes>"
                     "</input_output>",
                     n % 128);
        return std::string(buf);
    };
    for (int n = 0; n < 100; n++)
        text += control(n);
    text += "<tabs><tab><name>a</name>";
    for (int n = 100; n < 200; n++)
        text += control(n);
    text += "</tab><tab><name>b</name></tab></tabs>";
    return text;
}

std::vector<std::vector<int>> someMessages() {
    std::vector<std::vector<int>> list;
    for (int n = 0; n < 64; n++)
        list.push_back({(n % 2 ? 0x90 : 0xB0) + n % 4, (n * 7) % 128, 100});
    return list;
}

// A recording interface that records nothing: only the matching is measured.
struct QuietInterface : RecordingInterface {
    void handleMouseClickSimple(int, const std::string&, int, bool) override {}
    void setValueDblRelative(int, std::string*, int, double) override {}
};

void BM_HandleMessage200Controls(benchmark::State& state) {
    QuietInterface iface;
    HIDDevice device(&iface);
    device.loadText(twoHundredControls(), "bench");
    auto messages = someMessages();
    size_t i = 0;
    for (auto _ : state) {
        device.handleMessage(&messages[i++ % messages.size()], -1.0);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleMessage200Controls);

// Reference: the same messages compared with 200 plain 3-byte patterns, 4 passes.
void BM_PlainPatternTable(benchmark::State& state) {
    std::vector<std::array<int, 3>> table;
    for (int n = 0; n < 200; n++)
        table.push_back({n % 2 ? 0x90 : 0xB0, n % 128, -1});
    auto messages = someMessages();
    size_t i = 0;
    int hits = 0;
    for (auto _ : state) {
        const auto& m = messages[i++ % messages.size()];
        for (int p = 0; p < 4; p++)
            for (const auto& t : table)
                if (m.size() == 3 && t[0] == (m[0] & 0xF0) && (m[0] & 15) == p && t[1] == m[1]) hits++;
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainPatternTable);

void BM_Update200Outputs(benchmark::State& state) {
    FakeMidiPorts ports;
    ports.sourceModels = {"Bench"};
    ports.destinationModels = {"Bench"};
    RecordingInterface iface;
    HIDDevice device(&iface);
    device.loadText(twoHundredControls(), "bench");
    device.connect(HIDTYPE_MIDI, "Bench");
    device.update();
    for (auto _ : state) {
        device.update(); // steady values: reads only, nothing sent
        ports.sent.clear();
    }
}
BENCHMARK(BM_Update200Outputs)->Unit(benchmark::kMicrosecond);

// Reference for the frame: one bool read per output, pass and player.
void BM_PlainReads200(benchmark::State& state) {
    RecordingInterface iface;
    std::string spec;
    for (auto _ : state) {
        int on = 0;
        for (int n = 0; n < 200 * 4; n++)
            on += iface.getValueBool(V_PLAY, &spec, n % 4, nullptr);
        benchmark::DoNotOptimize(on);
    }
}
BENCHMARK(BM_PlainReads200)->Unit(benchmark::kMicrosecond);

// A note from a controller client on a JACK dummy server (256 frames at 44.1 kHz, a 5.8 ms cycle)
// to the click seen by the main thread draining as fast as it can. Reference: the JACK cycle itself.
void BM_JackInputToAction(benchmark::State& state) {
    if (!testsupport::JackServer::available()) {
        state.SkipWithError("jackd is not installed");
        return;
    }
    testsupport::JackServer server;
    setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    JackMidiClient pad("BenchPad");
    testsupport::TempDir dir("midibench");
    std::string file = dir.write("pad.xml", "<type>midi</type><descriptor><model>BenchPad</model></descriptor>"
                                            "<input><type>button</type><value>play</value>"
                                            "<bytes_down>90 0B 7F</bytes_down></input>");
    RecordingInterface iface;
    auto controller = controllerFactory().createController(&iface);
    controller->loadDevice(file);
    controller->connect(HIDTYPE_MIDI, "BenchPad");
    // The controller's ports are made at the next frame, and the pad's first note waits until its connection
    // carries it: one note is let through before the measured ones.
    bool joined = false;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         server.ready() && pad.ok() && controller->isConnected() && !joined && std::chrono::steady_clock::now() < until;) {
        iface.calls.clear();
        pad.send({0x90, 0x0B, 0x7F});
        for (int frame = 0; frame < 30 && iface.calls.empty(); frame++) {
            controllerFactory().devicesChanged();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            drainControllerInput();
        }
        joined = !iface.calls.empty();
    }
    if (!joined) {
        state.SkipWithError("no JACK controller");
        return;
    }
    for (auto _ : state) {
        iface.calls.clear();
        auto start = std::chrono::steady_clock::now();
        pad.send({0x90, 0x0B, 0x7F});
        while (iface.calls.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(1))
            drainControllerInput();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["jack_cycle_ms"] = 256 / 44.1;
    controller.reset();
    MidiPorts::get().closeForQuit();
    JackThread::drain();
}
BENCHMARK(BM_JackInputToAction)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

} // namespace
