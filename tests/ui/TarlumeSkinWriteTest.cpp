// Writes, relative writes and resets reaching a real engine.
#include "UiTestSupport.h"

#include "audio/effects/EffectGroup.h"
#include "controllers/HIDDevice.h"
#include "engine/EngineClock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace uitest;

namespace {

double echoLength(UiFixture& f, int deck) {
    return f.deck(deck)->effects->getParameter(EFFECT_ECHO, 1, 0);
}

} // namespace

TEST(SkinWrite, CrossfaderJumpsWhileItsTargetGlides) {
    UiFixture f;
    EngineClock::ManualScope clock(1000.0);
    f.engine->update();
    f.ui->setValueDbl(VALUE_CROSSFADER, nullptr, 0, 0.2);
    EXPECT_DOUBLE_EQ(f.engine->getCrossfader(false), 0.2);
    EXPECT_DOUBLE_EQ(f.engine->getCrossfader(true), 0.2);
    f.ui->setValueDbl(VALUE_CROSSFADERTO, nullptr, 0, 0.8);
    EXPECT_DOUBLE_EQ(f.engine->getCrossfader(false), 0.2);
    EngineClock::advance(100.0);
    f.engine->update();
    double now = f.engine->getCrossfader(false);
    EXPECT_GT(now, 0.2);
    EXPECT_LT(now, 0.8);
    EXPECT_DOUBLE_EQ(f.ui->getValueDbl(VALUE_CROSSFADERTO, nullptr, 0), 0.8);
}

TEST(SkinWrite, BeatLengthsSnapAndStayInsideTheEchoRing) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    std::string length = "echo_length";
    f.ui->setValueDbl(VALUE_EFFECTBPM, &length, 0, 1.0);
    EXPECT_DOUBLE_EQ(echoLength(f, 0), 22050.0);
    f.ui->setValueDbl(VALUE_EFFECTBPMALIGNED, &length, 0, 0.12);
    EXPECT_NEAR(echoLength(f, 0), 22050.0 / 8, 1.0); // the echo counts whole samples
    f.ui->setValueDbl(VALUE_EFFECTBPMALIGNED, &length, 0, 0.13);
    EXPECT_NEAR(echoLength(f, 0), 22050.0 / 4, 1.0);
    // 20 beats at 120 BPM would be 441000 samples: the ring holds 220500.
    f.ui->setValueDbl(VALUE_EFFECTBPMALIGNED, &length, 0, 20.0);
    EXPECT_NEAR(echoLength(f, 0), 220500.0, 1.0);
    f.deck(0)->bpm = 400.0; // 6615 samples a beat
    f.ui->setValueDbl(VALUE_EFFECTBPMALIGNED, &length, 0, 20.0);
    EXPECT_NEAR(echoLength(f, 0), 20 * 6615.0, 1.0);
    f.deck(0)->bpm = 120.0;

    for (auto [fraction, beats] :
         {std::pair{0.0, 1.0 / 32}, {1.0, 8.0}, {0.5, 3.0 / 4}, {0.4, 1.0 / 2}, {1.5, 4.0}, {-0.2, 4.0}}) {
        f.ui->setValueDblRelative(VALUE_EFFECTBPMALIGNED, &length, 0, fraction);
        EXPECT_NEAR(echoLength(f, 0), beats * 22050.0, 1.0) << fraction;
    }
}

TEST(SkinWrite, EchoMuteRule) {
    UiFixture f;
    EffectGroup* chain = f.deck(0)->effects;
    std::string mute = "echo_echo_mutemax";
    chain->setParameter(EFFECT_ECHO, 3, 1.0, 0);
    f.ui->setValueDbl(VALUE_EFFECT, &mute, 0, 1.0);
    EXPECT_EQ(chain->getParameter(EFFECT_ECHO, 2, 0), 1.0);
    EXPECT_EQ(chain->getParameter(EFFECT_ECHO, 3, 0), 0.0);
    f.ui->setValueDbl(VALUE_EFFECT, &mute, 0, 0.5);
    EXPECT_EQ(chain->getParameter(EFFECT_ECHO, 3, 0), 1.0);
    chain->setParameter(EFFECT_ECHO, 3, 0.3, 0);
    f.ui->setValueDbl(VALUE_EFFECT, &mute, 0, 0.5);
    EXPECT_NEAR(chain->getParameter(EFFECT_ECHO, 3, 0), 0.3, 1e-6);
}

TEST(SkinWrite, ResetsWriteTheirOwnValues) {
    UiFixture f;
    f.ui->resetValue(VALUE_VOLUME_PLAYER, nullptr, 1);
    EXPECT_EQ(f.deck(1)->getVolume(), 0.99);
    f.ui->setValueDbl(VALUE_CROSSFADER, nullptr, 1, 0.1);
    f.ui->resetValue(VALUE_CROSSFADER, nullptr, 1);
    EXPECT_EQ(f.engine->getCrossfader(false), 0.5);
    f.engine->waveformZoom = 90;
    f.ui->resetValue(VALUE_WAVEFORMZOOM, nullptr, 1);
    EXPECT_NEAR(f.engine->waveformZoom, 40.0, 1e-9);
    std::string amp = "AMP_SET";
    f.ui->setValueDbl(VALUE_EFFECT, &amp, 1, 3.0);
    f.ui->resetValue(VALUE_EFFECT, &amp, 1);
    EXPECT_NEAR(f.deck(1)->effects->getParameter(EFFECT_LIMITER, 0, 0), 1.0, 1e-6);
    f.ui->resetValue(VALUE_PAN_LR, nullptr, 1);
    EXPECT_EQ(f.deck(1)->getPanLR(), 0.5);
    f.ui->setValueDbl(VALUE_PITCH, nullptr, 1, 4.0);
    f.ui->resetValue(VALUE_PITCH, nullptr, 1); // the pitch fader's right click: 0 %, not 0.5 %
    EXPECT_EQ(f.deck(1)->getPitch(false), 1.0);
    // The timecode sliders go back where a deck starts them, not to half.
    std::string gain = "vc_gain", variance = "vc_pitchvariance";
    f.ui->setValueDbl(VALUE_OPTION, &gain, 1, 3.0);
    f.ui->setValueDbl(VALUE_OPTION, &variance, 1, 0.2);
    f.ui->resetValue(VALUE_OPTION, &gain, 1);
    f.ui->resetValue(VALUE_OPTION, &variance, 1);
    EXPECT_EQ(f.deck(1)->vcGain, 1.0f);
    EXPECT_EQ(f.deck(1)->vcPitchVariance, 0.0003f);
}

// Every effect-parameter name of a knob drives its own parameter: a write inside its range reads back and moves no
// other name's reading (but that of the echo amount's muting twin), one beyond it is held at its end, a reset stays
// inside it.
TEST(SkinWrite, EveryEffectParameterNameDrivesItsOwnParameter) {
    UiFixture f;
    std::vector<std::string> names;
    std::istringstream list(
        "eq_low eq_mid eq_high eq_lowfreq eq_midfreq eq_highfreq filter_position filter_bandwidth flanger_position "
        "flanger_strength flanger_auto flanger_speed flanger_stereo_offset flanger_mode flanger_highpass flanger_sound "
        "echo_length echo_echo echo_echo_mutemax echo_source echo_lowpass echo_highpass echo_lock_buffer "
        "echo_stereo_offset gapper_length gapper_strength gapper_shape gapper_stereo_offset bitcrusher_bits "
        "bitcrusher_downsample bitcrusher_overdrive amp_set tempo_amount tempo_tempo");
    for (std::string name; list >> name;)
        names.push_back(name);
    auto read = [&](std::string name) { return f.ui->getValueDbl(VALUE_EFFECT, &name, 0); };
    auto readings = [&] {
        std::vector<double> all;
        for (const std::string& name : names)
            all.push_back(read(name));
        return all;
    };
    // Reset first: an effect reads 0 until it is first used.
    for (std::string name : names)
        f.ui->resetValue(VALUE_EFFECT, &name, 0);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        SCOPED_TRACE(name);
        const double min = f.ui->getValueDblMin(VALUE_EFFECT, &name, 0);
        const double max = f.ui->getValueDblMax(VALUE_EFFECT, &name, 0);
        ASSERT_LT(min, max);
        if (name == "echo_echo_mutemax") continue; // written only, with a rule of its own (EchoMuteRule)
        const std::vector<double> before = readings();
        const double v = min + (max - min) / 4;
        f.ui->setValueDbl(VALUE_EFFECT, &name, 0, v);
        const std::vector<double> after = readings();
        for (size_t j = 0; j < names.size(); ++j)
            if (j != i && after[j] != before[j] && name + "_mutemax" != names[j])
                ADD_FAILURE() << "moves " << names[j] << " too";
        // Lengths and frequencies are whole frames and hertz; the rest are stored as floats. The flanger reads its
        // sweep position as half what was set (phase / pi of a phase set to v pi / 2).
        const double tolerance = max > 100 ? 1.0 : 1e-6;
        EXPECT_NEAR(after[i], name == "flanger_position" ? v / 2 : v, tolerance);
        // The key lock's settings are not held in the knob's range (its tempo is a speed ratio).
        if (name.rfind("tempo_", 0) != 0 && name != "flanger_position") {
            f.ui->setValueDbl(VALUE_EFFECT, &name, 0, 2 * max + 1);
            EXPECT_NEAR(read(name), max, tolerance) << "a write beyond the range";
        }
        f.ui->resetValue(VALUE_EFFECT, &name, 0);
        EXPECT_TRUE(read(name) >= min - tolerance && read(name) <= max + tolerance) << "reset to " << read(name);
    }
}

TEST(SkinWrite, EffectWritesAndResetsStayInRange) {
    UiFixture f;
    EffectGroup* chain = f.deck(0)->effects;
    std::string speed = "flanger_speed", low = "EQ_Low";
    f.ui->setValueDbl(VALUE_EFFECT, &low, 0, -7.0);
    EXPECT_EQ(f.ui->getValueDbl(VALUE_EFFECT, &low, 0), -1.0);
    chain->setEffectState(EFFECT_FLANGER, 1);
    chain->setParameter(EFFECT_FLANGER, 1, 1.0, 0);
    f.ui->resetValue(VALUE_EFFECT, &speed, 0);
    EXPECT_EQ(chain->getParameter(EFFECT_FLANGER, 3, 0), 300.0);
    // A sweep of period 0 never ended; the audio thread must get through a second of sound.
    auto done = std::async(std::launch::async, [chain] {
        for (int i = 0; i < 44100; ++i) {
            float l = 1000.0f * std::sin(i * 0.05f), r = l;
            chain->process(&l, &r);
        }
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

TEST(SkinWrite, OutOfRangeDecksUnknownNamesAndNoNumbersChangeNothing) {
    UiFixture f;
    std::string unknown = "reverb_size", none;
    f.ui->setValueDbl(VALUE_VOLUME_PLAYER, nullptr, 4, 0.3);
    f.ui->setValueDbl(VALUE_VOLUME_MASTER, nullptr, -1, 0.3);
    f.ui->resetValue(VALUE_CROSSFADER, nullptr, 4);
    f.ui->setValueDbl(VALUE_CROSSFADER, nullptr, 0, 0.25);
    f.ui->resetValue(VALUE_CROSSFADER, nullptr, 7);
    f.ui->setValueDbl(VALUE_EFFECT, &unknown, 0, 0.3);
    f.ui->setValueDbl(VALUE_EFFECT, nullptr, 0, 0.3);
    f.ui->setValueDbl(VALUE_OPTION, &unknown, 0, 0.3);
    f.ui->setValueDbl(VALUE_VOLUME_MASTER, nullptr, 0, NAN);
    f.ui->setValueDbl(VALUE_CROSSFADERSELECTION, nullptr, 0, 5.0);
    for (int d = 0; d < 4; ++d)
        EXPECT_EQ(f.deck(d)->getVolume(), 1.0);
    EXPECT_EQ(f.engine->getVolumeMaster(), 1.0);
    EXPECT_EQ(f.engine->getCrossfader(false), 0.25);
    EXPECT_EQ(f.deck(0)->getCrossfaderSide(), CROSSFADER_LEFT);
}

TEST(SkinWrite, LoopMoveKeepsTheLength) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    p->setPosition(2000);
    p->loopStart();
    double start = p->getParam(PLAYERPARAM_LOOPSTART), end = p->getParam(PLAYERPARAM_LOOPEND);
    ASSERT_GT(end, start);
    f.ui->setValueDbl(VALUE_LOOP_MOVE, nullptr, 0, 10000.0);
    EXPECT_NEAR(p->getParam(PLAYERPARAM_LOOPSTART), 441000.0, 1.0);
    EXPECT_NEAR(p->getParam(PLAYERPARAM_LOOPEND) - p->getParam(PLAYERPARAM_LOOPSTART), end - start, 1.0);
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_LOOP_MOVE, nullptr, 0), 10000.0, 0.1);
}

// A flood of MIDI messages into the shipped controller files: each message one of a control's patterns with
// its value and channel bytes drawn from 0..255 (a byte of 128 or more is no MIDI data byte), one in eight
// with any byte changed. No message takes a value a control writes, nor a deck's pitch fader, out of its range
// (the pitch heard follows jog wheels and bends beyond it).
TEST(SkinWrite, AControllerFloodKeepsEveryValueInItsRange) {
    UiFixture f;
    std::mt19937 random(39);
    auto byte = [&](int below) { return int(random() % unsigned(below)); };
    for (const char* file : {"TwoDeck.xml", "TestPad.xml"}) {
        SCOPED_TRACE(file);
        HIDDevice device(f.ui.get());
        device.loadDevice(std::string(TARLUME_SOURCE_DIR) + "/data/devices/" + file);
        std::vector<const std::vector<int>*> patterns;
        std::set<std::pair<int, std::string>> values = {{VALUE_PITCHTO, ""}};
        for (auto& group : device.groups)
            for (auto& tab : group->tabs)
                for (auto& control : tab->inputs) {
                    for (int k = 0; k < 2; ++k)
                        for (const std::vector<int>& pattern : control->bytes[k])
                            if (!pattern.empty()) patterns.push_back(&pattern);
                    if (control->kind != OBJECT_BUTTON && control->kind != OBJECT_JOGWHEEL)
                        values.insert(
                            {control->value == VALUE_PITCH ? VALUE_PITCHTO : control->value, control->valueSpecifier});
                }
        ASSERT_GT(patterns.size(), 10u);
        for (int n = 0; n < 20000; ++n) {
            std::vector<int> message;
            for (int code : *patterns[size_t(byte(int(patterns.size())))]) {
                if (code >= 0)
                    message.push_back(code);
                else if (code <= HIDCODE_CHANNEL)
                    message.push_back((HIDCODE_CHANNEL - code) * 16 + byte(16));
                else
                    message.push_back(byte(256));
            }
            if (byte(8) == 0) message[size_t(byte(int(message.size())))] = byte(256);
            device.handleMessage(&message, -1.0);
            for (auto [id, name] : values) {
                std::string spec = name;
                for (int deck = 0; deck < 4; ++deck) {
                    const double v = f.ui->getValueDbl(id, &spec, deck);
                    const double lo = f.ui->getValueDblMin(id, &spec, deck), hi = f.ui->getValueDblMax(id, &spec, deck);
                    ASSERT_TRUE(v >= lo - 1e-9 && v <= hi + 1e-9)
                        << "value " << id << " " << spec << " of deck " << deck << " at " << v << " after message " << n
                        << ": " << ::testing::PrintToString(message);
                }
            }
        }
    }
}
