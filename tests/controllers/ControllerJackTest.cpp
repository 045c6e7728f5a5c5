// End to end on a JACK server of the test's own: a controller client sends notes and controls to
// the program's controller, and receives the LED and display bytes it sends back.
#include "ControllerTestSupport.h"
#include "JackMidiClient.h"
#include "controllers/ControllerHub.h"
#include "platform/JackThread.h"
#include "platform/SoundDevices.h"
#include "support/JackServer.h"
#include "support/LostJackClient.h"
#include "support/MissingComponent.h"
#include "support/Sanitized.h"
#include "support/TempDir.h"
#include "support/ThreadCancels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

using namespace ctltest;

namespace {

// Under a sanitizer our clients can't keep JACK's real-time pace and the server may drop bytes or a
// client: the whole road still runs (checked for memory and thread faults), and what comes back is compared
// only at full speed.
constexpr bool kRealTime = !TARLUME_SANITIZED;

// Runs frames as the main loop does (the controllers' input handed on, the ports opened since made, `controller`'s
// feedback sent) until `done`, or until the bound: at full speed nothing is dropped and the bound only ends a failing
// run (a busy machine may take seconds to open a JACK client, and the first bytes out wait for one); under a
// sanitizer input is sent again after two seconds.
template <class F> bool pumpUntil(F done, EngineController* controller = nullptr, int seconds = kRealTime ? 60 : 2) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        drainControllerInput();
        controllerFactory().devicesChanged();
        if (controller) controller->update();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Sends the messages from the pad, again every two seconds, until `done`, for a minute at most. A message can be lost
// on its way, the program's fault or not, where a client of the loop between the pad and the program runs late on a
// busy machine (JACK clears a port's buffer at the next cycle): what is asked is that the road comes back.
template <class F> bool sendUntil(JackMidiClient& pad, const std::vector<std::vector<uint8_t>>& messages, F done) {
    for (int attempt = 0; attempt < 30; attempt++) {
        for (const auto& message : messages)
            pad.send(message);
        if (pumpUntil(done, nullptr, 2)) return true;
    }
    return false;
}

// Standard error since it was captured, but the lines of libjack's metadata store (Berkeley DB), which every JACK
// client of the machine shares: one filled by clients of programs that ended without closing them says so at each open.
std::string saidByTheProgram() {
    std::istringstream captured(testing::internal::GetCapturedStderr());
    std::string said;
    for (std::string line; std::getline(captured, line);)
        if (line.rfind("BDB", 0) != 0) said += line + "\n";
    return said;
}

const char kPad[] = "<name>JackPad</name><type>midi</type><descriptor><model>JackPad</model></descriptor>"
                    "<character-mapping><shortcut>a</shortcut><map><char> </char><val>32</val></map>"
                    "<map><char>H</char><val>72</val></map><map><char>I</char><val>73</val></map></character-mapping>"
                    "<character-display><name>d</name><segment><pos>0</pos><bytes>F0 7D 00 Xa F7</bytes></segment>"
                    "<segment><pos>1</pos><bytes>F0 7D 01 Xa F7</bytes></segment></character-display>"
                    "<output><value>deviceconnect</value><bytes_down>F0 7D 7F F7</bytes_down>"
                    "<bytes_up>F0 7D 7E F7</bytes_up></output>"
                    "<input_output><type>button</type><value>play</value><bytes_down>9P 0B 7F</bytes_down>"
                    "<bytes_up>8P 0B 00</bytes_up></input_output>"
                    "<input><type>slider</type><value>volume_player</value><bytes>BP 07 VV</bytes></input>"
                    "<output><type>text</type><value>trackinfo</value><display>d</display></output>";
const std::vector<uint8_t> kHello{0xF0, 0x7D, 0x7F, 0xF7}, kBye{0xF0, 0x7D, 0x7E, 0xF7}, kPlayLit{0x90, 0x0B, 0x7F},
    kPlayDark{0x80, 0x0B, 0x00};

// The pad made on the JACK thread, as the program makes its own clients: an open after a client of the process lost
// its server frees every client of the process, which must not meet a request of the program's on another thread.
std::unique_ptr<JackMidiClient> padOnJackThread() {
    struct Made {
        std::unique_ptr<JackMidiClient> pad;
        std::atomic<bool> done{false};
    };
    auto made = std::make_shared<Made>();
    JackThread::post([made] {
        made->pad = std::make_unique<JackMidiClient>("JackPad");
        made->done.store(true);
    });
    for (int i = 0; i < 6000 && !made->done.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return made->done.load() ? std::move(made->pad) : nullptr;
}

size_t count(const std::vector<std::vector<uint8_t>>& received, const std::vector<uint8_t>& message) {
    return size_t(std::count(received.begin(), received.end(), message));
}

// Runs frames of `controller` until the pad was told `now`, and a second after (a state sent twice comes a frame
// later). What came is judged every run at full speed: the whole state once at most, the connect bytes with it. Whether
// it came at all is judged where no cycle since `xruns` (read before the frame that could send it first) was late: a
// late cycle loses what it carried, the program's fault or not.
void toldOnce(JackMidiClient& pad, EngineController& controller, const std::vector<uint8_t>& now, unsigned xruns,
              const char* what) {
    const bool came = pumpUntil([&] { return count(pad.received(), now) > 0; }, &controller, kRealTime ? 20 : 2);
    pumpUntil([] { return false; }, &controller, 1);
    const std::vector<std::vector<uint8_t>> received = pad.received();
    if (kRealTime && pad.xruns() == xruns) {
        EXPECT_TRUE(came) << what;
        EXPECT_EQ(count(received, kHello), 1u) << "the connect bytes did not come with the state";
    }
    // Under a sanitizer the server may put out the program's client, late for its cycles, and the client made anew is
    // rightly told the state again.
    if (kRealTime) {
        EXPECT_LE(count(received, kHello), 1u) << "the whole state was sent twice";
        EXPECT_LE(count(received, now), 1u) << "the whole state was sent twice";
    }
}

} // namespace

TEST(ControllerJack, NotesAndControlsReachTheInterfaceAndFeedbackComesBack) {
    if (!testsupport::JackServer::available()) TARLUME_MISSING_COMPONENT() << "jackd is not installed";
    // No playback port: the sound's look for a device starts PortAudio on it (below).
    testsupport::JackServer server(44100, 256, 2, 0);
    ASSERT_TRUE(server.ready());
    server.stop(); // started after the program
    setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);

    testsupport::TempDir dir("midi");
    std::string file = dir.write("pad.xml", kPad);
    RecordingInterface iface;
    std::unique_ptr<EngineController> controller = controllerFactory().createController(&iface);
    controller->loadDevice(file);
    // Before any server nothing can be listed: the controller waits for one, as the line says, and joins it.
    testing::internal::CaptureStderr();
    controller->connect(HIDTYPE_MIDI, "JackPad");
    EXPECT_FALSE(controller->isConnected());
    EXPECT_TRUE(controller->awaitsDevices());
    EXPECT_EQ(saidByTheProgram(),
              "No MIDI system (neither ALSA nor JACK): controllers are off until a JACK server runs\n");
    ASSERT_TRUE(server.restart());
    bool listed = false;
    for (int tries = 0; tries < 30 && !listed; tries++)
        listed = pumpUntil([] { return MidiPorts::get().listed(); });
    ASSERT_TRUE(listed);
    // The pad's program joins the server after the program's client did: the lists are told, and the controller
    // joins it.
    const unsigned changes = MidiPorts::get().watch();
    auto padClient = std::make_unique<JackMidiClient>("JackPad");
    JackMidiClient& pad = *padClient;
    ASSERT_TRUE(pad.ok());
    ASSERT_TRUE(pumpUntil([&] { return MidiPorts::get().watch() != changes; }));
    controller->connect(HIDTYPE_MIDI, "JackPad");
    ASSERT_TRUE(controller->isConnected());
    EXPECT_EQ(controller->getDeviceName(), "JackPad");

    // A client closed is never taken for the one opened after it at the same address (libjack's memory comes back).
    {
        auto sameAddress = std::make_shared<std::atomic<int>>(0);
        JackThread::post([sameAddress] {
            const JackThread::Client closed = JackThread::openClient("tarlume-again");
            JackThread::closeClient(closed);
            std::vector<JackThread::Client> opened;
            for (int i = 0; i < 10 && closed; i++) {
                opened.push_back(JackThread::openClient("tarlume-again"));
                if (opened.back().jack != closed.jack) continue;
                sameAddress->store(!JackThread::alive(closed) && JackThread::alive(opened.back()) ? 1 : -1);
                break;
            }
            for (const JackThread::Client& c : opened)
                JackThread::closeClient(c);
        });
        for (int i = 0; i < 30 && !JackThread::drain(); i++) { // opens on a loaded machine
        }
        // The allocators of the sanitizers hold freed memory back for a while: the address may not come back there.
        EXPECT_EQ(sameAddress->load(), kRealTime ? 1 : std::max(sameAddress->load(), 0))
            << "the client closed is taken for the new one at its address";
    }
    EXPECT_EQ(controllerFactory().getMidiDevice(0), "Keyboard");

    // In: a note on channel 2 and a control on channel 1.
    auto has = [](const std::vector<std::string>& calls, const std::string& call) {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    };
    bool arrived = sendUntil(pad, {{0x92, 0x0B, 0x7F}, {0xB1, 0x07, 0x7F}},
                             [&] { return has(iface.calls, "click 40  2 down") && has(iface.calls, "set 41 1 1"); });
    ASSERT_TRUE(arrived);
    for (const std::string& call : iface.calls)
        EXPECT_TRUE(call == "click 40  2 down" || call == "set 41 1 1") << call;

    // Out: the connect bytes, the LEDs of the first frame, then the deck-2 LED and the text.
    iface.lit[V_PLAY] = true;
    iface.texts[V_TEXT] = "HI";
    controller->update();
    auto got = [&](std::vector<uint8_t> m) {
        auto r = pad.received();
        return std::find(r.begin(), r.end(), m) != r.end();
    };
    // What the pad hears is judged over cycles without an xrun only: the program sends each byte once, and a cycle in
    // which a client of the loop ran late loses what it carried.
    unsigned xruns = pad.xruns();
    bool back = pumpUntil([&] { return got({0xF0, 0x7D, 0x01, 73, 0xF7}) || pad.xruns() != xruns; }, controller.get());
    if (kRealTime && pad.xruns() == xruns) {
        EXPECT_TRUE(back);
        EXPECT_TRUE(got(kHello));
        EXPECT_TRUE(got({0x92, 0x0B, 0x7F}));
        EXPECT_TRUE(got({0xF0, 0x7D, 0x00, 72, 0xF7}));
    }

    // The server stopped for a while (held in a debugger) with the lamp changed meanwhile: once it runs again the pad
    // is told the state of now, not the changes that waited.
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    // A cycle the server began before its stop still runs through the clients: the changes come after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const bool lit : {false, true, false}) {
        iface.lit[V_PLAY] = lit;
        controller->update();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    pad.clearReceived();
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    // The first cycles after the stop are late: the frame that tells the state comes after them, so that it is judged
    // in most runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    toldOnce(pad, *controller, kPlayDark, pad.xruns(), "the state was not told after the stop");
    // What waited through the stop (the lamp dark, lit, dark) is not replayed. The pad reads what the program wrote a
    // cycle before (JACK runs the loop between the two one cycle apart): the first cycle after the stop may still bring
    // a lamp sent before it, ahead of anything sent after.
    const std::vector<std::vector<uint8_t>> after = pad.received();
    EXPECT_EQ(std::count(std::find(after.begin(), after.end(), kPlayDark), after.end(), kPlayLit), 0)
        << "what waited through the stop was replayed";

    // Another's error function in libjack's place that passes each message on to the one it replaced, as the
    // program's does (a logging library's): libjack's messages reach both, once, not back and forth for ever.
    {
        static void (*replaced)(const char*) = nullptr;
        static std::atomic<int> logged{0};
        auto told = std::make_shared<std::atomic<bool>>(false);
        JackThread::post([told] {
            replaced = jack_error_callback;
            jack_set_error_function([](const char* message) {
                logged.fetch_add(1);
                if (replaced) replaced(message);
            });
            JackThread::hearAgain();
            jack_status_t status;
            jack_client_open("tarlume-nowhere", jack_options_t(JackNoStartServer | JackServerName), &status,
                             "tarlume-no-such-server");
            told->store(true);
        });
        for (int i = 0; i < 30 && !JackThread::drain(); i++) {
        }
        EXPECT_TRUE(told->load());
        EXPECT_GT(logged.load(), 0);
    }

    // The sound's look starts PortAudio on this server, whose JACK host API puts its own error function in libjack's
    // place: the free of every client below is known all the same.
    SoundDevices::backend();
    JackThread::drain();

    // The server killed and started again (a crash, a restart from its control panel): the controller's ports come
    // back with it by themselves and are joined to the pad once it is there again. So they do where libjack, at an
    // open after one client of the process lost its server, frees every client of the process, the program's too
    // while their server runs on. A controller change and the quit then close nothing of the server gone, nor anything
    // libjack freed (either crashes libjack). The free comes first, right after PortAudio's start, by an open that is
    // not the program's: nothing of the program's but that start's end has put its error function back before it.
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "the server restarted" : "another client lost its server");
        const unsigned freeings = JackThread::freeings();
        if (restart) {
            using testsupport::ThreadCancels;
            padClient->abandon();
            // The controller is closed, its client kept without ports: the quit below meets it.
            controller.reset();
            JackThread::drain();
            testing::internal::CaptureStderr();
            const unsigned told = ThreadCancels::shutdowns("tarlume-midi");
            ASSERT_EQ(kill(server.pid(), SIGKILL), 0);
            // A quit once the client knows its server gone, and the settlings of a controller chosen again, close
            // nothing of that server. (Uncounted, the quit could meet the client before the notice does.)
            if (ThreadCancels::kCounted) {
                for (int i = 0; i < 1000 && ThreadCancels::shutdowns("tarlume-midi") == told; i++)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ASSERT_GT(ThreadCancels::shutdowns("tarlume-midi"), told);
                MidiPorts::get().closeForQuit();
                EXPECT_TRUE(JackThread::drain());
            }
            controller = controllerFactory().createController(&iface);
            controller->loadDevice(file);
            controller->connect(HIDTYPE_MIDI, "JackPad");
            // Lamps changed while no server runs are not replayed at its return, and the lists keep the pad. The
            // server gone is looked for again and again, soon: back within a moment of its restart.
            const unsigned opens = ThreadCancels::opens("tarlume-midi");
            for (const bool lit : {false, true, false, true}) {
                iface.lit[V_PLAY] = lit;
                controller->update();
            }
            pumpUntil([] { return false; }, controller.get(), 3);
            if (ThreadCancels::kCounted) {
                EXPECT_GE(ThreadCancels::opens("tarlume-midi") - opens, 3u) << "the server was not looked for soon";
                EXPECT_EQ(ThreadCancels::goneCloses(), 0u) << "a client of a server gone was closed";
            }
            EXPECT_EQ(controllerFactory().getMidiDevice(1), "JackPad");
            // Back on a machine too loaded to begin the client's process thread within the second libjack gives it:
            // the activation fails, and the client is made anew.
            ThreadCancels::delayBegin("tarlume-midi", 1200);
            ASSERT_TRUE(server.restart());
        } else {
            padClient->abandon(); // freed with the program's client
            ASSERT_TRUE(testsupport::freeEveryClient(server));
        }
        padClient = padOnJackThread();
        ASSERT_TRUE(padClient && padClient->ok());
        iface.calls.clear();
        arrived = sendUntil(*padClient, {{0x90, 0x0B, 0x7F}}, [&] { return has(iface.calls, "click 40  0 down"); });
        EXPECT_TRUE(arrived) << "the controller's input did not come back";
        EXPECT_GT(JackThread::freeings(), freeings) << "libjack's free of every client went unseen";
        // Joined anew, the pad is told the whole state once: the connect bytes and the lamp as it is now.
        const std::vector<uint8_t>& now = iface.lit[V_PLAY] ? kPlayLit : kPlayDark;
        const std::vector<uint8_t>& old = iface.lit[V_PLAY] ? kPlayDark : kPlayLit;
        toldOnce(*padClient, *controller, now, padClient->xruns(), "the controller's output did not come back");
        EXPECT_EQ(count(padClient->received(), old), 0u) << "what was sent while no server ran was replayed";
        if (restart) {
            EXPECT_EQ(saidByTheProgram(), "") << "a line untrue after a restart";
        }
        iface.lit[V_PLAY] = !iface.lit[V_PLAY]; // a change of the lamp goes out
        xruns = padClient->xruns();
        back = pumpUntil([&] { return count(padClient->received(), old) > 0 || padClient->xruns() != xruns; },
                         controller.get());
        if (kRealTime && padClient->xruns() == xruns) {
            EXPECT_TRUE(back) << "a change of the lamp did not go out";
        }
    }

    // The pad's program makes its ports anew at once, or a moment later (a bridge restarted, a replug): they are
    // joined again, and the pad is told the state of now.
    for (const int gapMs : {0, 20}) {
        SCOPED_TRACE(gapMs);
        padClient.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        padClient = std::make_unique<JackMidiClient>("JackPad");
        ASSERT_TRUE(padClient->ok());
        // Joined by the frames' settlings alone: the controller sends nothing until its frame below. The bound only
        // ends a failing run, also under a sanitizer (a loaded machine took over two seconds there).
        EXPECT_TRUE(pumpUntil([&] { return padClient->joined(); }, nullptr, 60)) << "not joined again";
        const std::vector<uint8_t>& now = iface.lit[V_PLAY] ? kPlayLit : kPlayDark;
        toldOnce(*padClient, *controller, now, padClient->xruns(), "not told the state of now");
    }

    // A controller let go of says goodbye before its ports go, and leaves them to the next ones of their direction, cut
    // off from its endpoints: a port of another's made on them has the direction and name asked for, and hears nothing
    // of the pad.
    {
        padClient->clearReceived();
        const unsigned xruns = padClient->xruns();
        controller->disconnect();
        std::atomic<int> heard{0};
        auto speaker = MidiPorts::get().openVirtualOutput("speaker");
        auto listener = MidiPorts::get().openVirtualInput(
            "listener",
            [](void* n, const uint8_t*, size_t, double) { static_cast<std::atomic<int>*>(n)->fetch_add(1); }, &heard);
        controllerFactory().devicesChanged();
        for (int i = 0; i < 30 && !JackThread::drain(); i++) {
        }
        auto listed = [&](const char* name, unsigned long direction) {
            const std::vector<std::string> found = padClient->ports("^tarlume-midi:", direction);
            return std::find(found.begin(), found.end(), std::string("tarlume-midi:") + name) != found.end();
        };
        EXPECT_TRUE(listed("speaker", JackPortIsOutput)) << "an output made on another's port is not one";
        EXPECT_TRUE(listed("listener", JackPortIsInput)) << "an input made on another's port is not one";
        padClient->send({0x90, 0x0C, 0x7F});
        pumpUntil([] { return false; }, nullptr, 1);
        EXPECT_EQ(heard.load(), 0) << "a port let go of still heard its endpoint";
        if (kRealTime && padClient->xruns() == xruns) {
            EXPECT_EQ(count(padClient->received(), kBye), 1u) << "the controller's goodbye did not go out";
        }
    }
    controller->connect(HIDTYPE_MIDI, "JackPad");

    // What a joined output sends arrives whole while other ports of the client come and go.
    {
        int pad = -1;
        for (const MidiEndpoint& destination : MidiPorts::get().destinations())
            if (destination.name == "JackPad:in") pad = destination.index;
        std::unique_ptr<MidiOutputPort> out = MidiPorts::get().openOutput(pad);
        ASSERT_TRUE(out);
        // Joined (at the settling this frame asks for) before its owner sent and then saw the join: what it sent is
        // not sent twice, once as it waited and once with the whole state sent anew.
        controllerFactory().devicesChanged();
        for (int i = 0; i < 30 && !JackThread::drain(); i++) {
        }
        const std::vector<uint8_t> state{0x9F, 0x7F, 0x7F};
        unsigned xruns = padClient->xruns();
        out->send(state.data(), state.size());
        ASSERT_GT(out->joins(), 0u);
        out->send(state.data(), state.size());
        back = pumpUntil([&] { return count(padClient->received(), state) > 0 || padClient->xruns() != xruns; });
        if (kRealTime) {
            EXPECT_LE(count(padClient->received(), state), 1u) << "the whole state was sent twice at a join";
        }
        padClient->clearReceived();
        xruns = padClient->xruns();
        constexpr int kNotes = 100;
        for (int i = 0; i < kNotes; i++) {
            auto input = MidiPorts::get().openVirtualInput(
                "churn", [](void*, const uint8_t*, size_t, double) {}, nullptr);
            auto output = i % 2 ? MidiPorts::get().openVirtualOutput("churn out " + std::to_string(i % 4)) : nullptr;
            controllerFactory().devicesChanged(); // made at this frame, let go of at once
            const uint8_t note[] = {0x91, uint8_t(i), 0x7F};
            out->joins(); // as an owner does: a send is of the joins it last saw
            out->send(note, sizeof note);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        auto notes = [&] {
            size_t n = 0;
            for (const auto& m : padClient->received())
                n += m.size() == 3 && m[0] == 0x91;
            return n;
        };
        back = pumpUntil([&] { return notes() == kNotes; }, nullptr, 10);
        // A cycle a client of the loop ran late in loses what it carried, the program's fault or not: the count is
        // judged where none was late.
        if (kRealTime && padClient->xruns() == xruns) {
            EXPECT_TRUE(back) << notes() << " of " << kNotes << " notes arrived";
        }
        EXPECT_GT(notes(), 0u) << "the output's connection did not stay";
    }
    controller->connect(HIDTYPE_MIDI, "JackPad");
    EXPECT_TRUE(controller->isConnected());

    // The controller's endpoints gone, a second connect opens no port and says so.
    padClient.reset();
    controller->connect(HIDTYPE_MIDI, "JackPad");
    EXPECT_FALSE(controller->isConnected());

    // More ports than the client holds: the one left out is said once, and not asked for again at every frame
    // (each try would switch the client off and on, breaking every controller's connections).
    std::vector<std::unique_ptr<MidiInputPort>> many;
    for (int i = 0; i < 65; i++)
        many.push_back(MidiPorts::get().openVirtualInput(
            "v" + std::to_string(i), [](void*, const uint8_t*, size_t, double) {}, nullptr));
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 30; frame++) {
        controllerFactory().devicesChanged();
        JackThread::drain();
    }
    EXPECT_EQ(
        saidByTheProgram(),
        "No room for a MIDI port for \"v64\" (the program holds 64 at most): it is left out until chosen again\n");
    many.clear();

    controller.reset();
    MidiPorts::get().closeForQuit();
    EXPECT_TRUE(JackThread::drain()); // the controller's ports and the client close before the server goes
    EXPECT_EQ(testsupport::ThreadCancels::unstarted(), 0u) << "libjack ended a thread of the program's as it started";
    EXPECT_EQ(testsupport::ThreadCancels::activatedAgain(), 0u) << "a client whose activation failed was activated";
    unsetenv("JACK_DEFAULT_SERVER");
}

// A DJ's worst hour for the controller's client: a configuration chosen while the server is stopped (the ports asked
// for wait on it), the server killed in the stop and started again a moment later; then quits right after ports
// changed. The JACK thread comes back every time (libjack never starts a thread that is ended at once), the
// controller with it, and each quit ends within its bound.
TEST(SlowControllerJack, ChoicesInAStoppedServerItsKillAndQuitsRightAfterAChange) {
    if (!testsupport::JackServer::available()) TARLUME_MISSING_COMPONENT() << "jackd is not installed";
    testsupport::JackServer server(44100, 256, 2, 2, true); // as a DJ's: its clients' threads ask for real-time
    ASSERT_TRUE(server.ready());
    setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    testsupport::TempDir dir("midi");
    const std::string file = dir.write("pad.xml", kPad);
    RecordingInterface iface;
    auto pad = std::make_unique<JackMidiClient>("JackPad");
    ASSERT_TRUE(pad->ok());
    auto frames = [](std::chrono::milliseconds length) {
        const auto end = std::chrono::steady_clock::now() + length;
        while (std::chrono::steady_clock::now() < end) {
            controllerFactory().devicesChanged();
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    };
    std::unique_ptr<EngineController> controller = controllerFactory().createController(&iface);
    controller->loadDevice(file);
    controller->connect(HIDTYPE_MIDI, "JackPad");
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
        frames(std::chrono::milliseconds(200));
        controller->connect(HIDTYPE_MIDI, "JackPad");
        frames(std::chrono::milliseconds(2400));
        pad->abandon();
        ASSERT_EQ(kill(server.pid(), SIGKILL), 0);
        frames(std::chrono::milliseconds(2000));
        ASSERT_TRUE(server.restart());
        pad = padOnJackThread();
        ASSERT_TRUE(pad && pad->ok());
        iface.calls.clear();
        ASSERT_TRUE(sendUntil(*pad, {{0x90, 0x0B, 0x7F}}, [&] { return !iface.calls.empty(); }))
            << "the controller did not come back";
    }
    // Each process thread starting longer than ever it did (a machine too loaded to run it): the quits wait for it.
    testsupport::ThreadCancels::delayStarts(300);
    for (int quit = 0; quit < 10; quit++) {
        controller->connect(HIDTYPE_MIDI, "JackPad");
        controllerFactory().devicesChanged();
        controller->disconnect();
        MidiPorts::get().closeForQuit();
        ASSERT_TRUE(JackThread::drain()) << "quit " << quit << " did not end";
    }
    testsupport::ThreadCancels::delayStarts(0);
    EXPECT_EQ(testsupport::ThreadCancels::unstarted(), 0u) << "libjack ended a thread of the program's as it started";
    controller.reset();
    unsetenv("JACK_DEFAULT_SERVER");
}
