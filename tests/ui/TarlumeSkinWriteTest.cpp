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

// Every effect-parameter name of a knob: its range, the chain parameter a write inside that range reaches and reads
// back from, a write beyond the range held at its end, and what a reset leaves (the reset value held in the range,
// and in what the effect itself accepts: 5 Hz for a filter, 2 bits for the crusher).
TEST(SkinWrite, EveryEffectParameterNameDrivesItsOwnParameter) {
    UiFixture f;
    TarlumePlayer* p = f.deck(0);
    constexpr int keyLock = -1; // the deck's tempo control, not an effect of the chain
    struct Knob {
        const char* name;
        int effect, parameter;
        double min, max, afterReset;
    } knobs[] = {
        {"eq_low", EFFECT_EQ_KILLS, 0, -1, 1, 0},
        {"eq_mid", EFFECT_EQ_KILLS, 3, -1, 1, 0},
        {"eq_high", EFFECT_EQ_KILLS, 6, -1, 1, 0},
        {"eq_lowfreq", EFFECT_EQ_KILLS, 1, 10, 20000, 10},
        {"eq_midfreq", EFFECT_EQ_KILLS, 4, 10, 20000, 10},
        {"eq_highfreq", EFFECT_EQ_KILLS, 7, 10, 20000, 10},
        {"filter_position", EFFECT_FILTER, 100, 0, 1, 0.5},
        {"filter_bandwidth", EFFECT_FILTER, 3, 0.15, 3, 1},
        {"flanger_position", EFFECT_FLANGER, 0, 0, 1, 0},
        {"flanger_strength", EFFECT_FLANGER, 1, 0, 1, 0},
        {"flanger_auto", EFFECT_FLANGER, 2, 0, 1, 0},
        {"flanger_speed", EFFECT_FLANGER, 3, 300, 176400, 300},
        {"flanger_stereo_offset", EFFECT_FLANGER, 4, -150, 150, 0},
        {"flanger_mode", EFFECT_FLANGER, 5, 0, 1, 0},
        {"flanger_highpass", EFFECT_FLANGER, 6, 0, 11000, 5},
        {"flanger_sound", EFFECT_FLANGER, 7, 0, 1, 0},
        {"echo_length", EFFECT_ECHO, 1, 88.2, 220500, 88},
        {"echo_echo", EFFECT_ECHO, 2, 0, 1, 0},
        {"echo_echo_mutemax", EFFECT_ECHO, 2, 0, 1, 0},
        {"echo_source", EFFECT_ECHO, 3, 0, 1, 0},
        {"echo_lowpass", EFFECT_ECHO, 4, 150, 20000, 150},
        {"echo_highpass", EFFECT_ECHO, 5, 5, 2500, 5},
        {"echo_lock_buffer", EFFECT_ECHO, 6, 0, 1, 0},
        {"echo_stereo_offset", EFFECT_ECHO, 7, -2500, 2500, 0},
        {"gapper_length", EFFECT_GAPPER, 0, 5, 88200, 5},
        {"gapper_strength", EFFECT_GAPPER, 1, 0, 1, 0},
        {"gapper_shape", EFFECT_GAPPER, 3, 0, 1, 0},
        {"gapper_stereo_offset", EFFECT_GAPPER, 4, -8000, 8000, 0},
        {"bitcrusher_bits", EFFECT_BITCRUSHER, 0, 0, 16, 2},
        {"bitcrusher_downsample", EFFECT_BITCRUSHER, 1, 0, 40, 0},
        {"bitcrusher_overdrive", EFFECT_BITCRUSHER, 2, 0, 1, 0},
        {"amp_set", EFFECT_LIMITER, 0, 0.1, 4, 1},
        {"tempo_amount", keyLock, 0, 0, 1, 0},
        {"tempo_tempo", keyLock, 1, 0, 1, 0},
    };
    for (const Knob& knob : knobs) {
        SCOPED_TRACE(knob.name);
        std::string name = knob.name;
        auto reached = [&] {
            if (knob.effect != keyLock) return p->effects->getParameter(knob.effect, knob.parameter, 0);
            return knob.parameter == 0 ? p->tempoControlAmount : p->tempoControlTempo;
        };
        // Lengths and frequencies are whole frames and hertz; the rest are stored as floats.
        const double tolerance = knob.max > 100 ? 1.0 : 1e-6;
        EXPECT_EQ(f.ui->getValueDblMin(VALUE_EFFECT, &name, 0), knob.min);
        EXPECT_EQ(f.ui->getValueDblMax(VALUE_EFFECT, &name, 0), knob.max);
        const double v = knob.min + (knob.max - knob.min) / 4;
        f.ui->setValueDbl(VALUE_EFFECT, &name, 0, v);
        // The flanger reads its sweep position as half what was set (phase / pi of a phase set to v pi / 2).
        const double shown = name == "flanger_position" ? v / 2 : v;
        EXPECT_NEAR(reached(), shown, tolerance);
        if (name != "echo_echo_mutemax") { // a name that only writes
            EXPECT_NEAR(f.ui->getValueDbl(VALUE_EFFECT, &name, 0), shown, tolerance);
        }
        // The key-lock tempo is a speed ratio, which the knob's range does not bound.
        if (knob.effect != keyLock && name != "flanger_position") {
            f.ui->setValueDbl(VALUE_EFFECT, &name, 0, 2 * knob.max + 1);
            EXPECT_NEAR(reached(), knob.max, tolerance);
        }
        f.ui->resetValue(VALUE_EFFECT, &name, 0);
        EXPECT_NEAR(reached(), knob.afterReset, tolerance);
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
