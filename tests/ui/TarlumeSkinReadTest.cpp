// Numbers, ranges, lit states and texts read from a real engine.
#include "UiTestSupport.h"
#include "support/DeckLoads.h"
#include "support/Wav.h"

#include "audio/effects/EffectGroup.h"
#include "audio/vinyl/FinalScratch.h"

#include <cmath>

using namespace uitest;

namespace {

// Frames through a chain until its level statistics have a finished block.
void feed(EffectGroup* chain, float left, float right, int frames = 2000) {
    for (int i = 0; i < frames; ++i) {
        float l = left, r = right;
        chain->process(&l, &r);
    }
}

} // namespace

TEST(SkinRead, PitchSpansTheRangeWithZeroAtTheMiddle) {
    UiFixture f;
    f.deck(1)->pitchRange = 8.0;
    EXPECT_EQ(f.ui->getValueDblMin(VALUE_PITCH, nullptr, 1), -8.0);
    EXPECT_EQ(f.ui->getValueDblMax(VALUE_PITCHTO, nullptr, 1), 8.0);
    EXPECT_DOUBLE_EQ(f.ui->getValueDblRelative(VALUE_PITCH, nullptr, 1), 0.5);
    f.ui->setValueDbl(VALUE_PITCHTO, nullptr, 1, 4.0);
    EXPECT_NEAR(f.ui->getValueDblRelative(VALUE_PITCHTO, nullptr, 1), 0.75, 1e-9);
}

TEST(SkinRead, MeterLevelsByChannel) {
    UiFixture f;
    feed(f.deck(0)->effects, 32767.0f, 0.0f);
    std::string left = "1", right = "2";
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_VU_PLAYER, &left, 0), 1.0, 1e-3);
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_VU_PLAYER, &right, 0), 0.0, 1e-3);
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_VU_PLAYER, nullptr, 0), 0.5, 1e-3);
    feed(f.engine->masterEffects.get(), 32767.0f, 32767.0f);
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_VU_MASTER, nullptr, 0), 1.0, 1e-3);
}

TEST(SkinRead, LimiterAndClippingBySpecifier) {
    UiFixture f;
    // Deck 2 at four times its gain into a full-scale signal: its limiter works, the others idle.
    EffectGroup* chain = f.deck(2)->effects;
    chain->setParameter(EFFECT_LIMITER, 0, 4.0, 0);
    feed(chain, 30000.0f, 30000.0f, 20000);
    double deck2 = -20.0 * std::log10(chain->getParameter(EFFECT_LIMITER, 10, 0));
    ASSERT_GT(deck2, 1.0);
    struct Case {
        const char* spec;
        int deck;
        double dB;
    };
    const Case cases[] = {{"", 0, deck2}, {"2", 0, deck2}, {"pl", 2, deck2}, {"pl", 0, 0.0},
                          {"-1", 0, 0.0}, {"7", 0, 0.0},   {"3", 0, 0.0}};
    for (const Case& c : cases) {
        std::string spec = c.spec;
        EXPECT_NEAR(f.ui->getValueDbl(VALUE_LIMITER_CURRENT, &spec, c.deck), c.dB, 1e-9) << c.spec;
    }
    EXPECT_EQ(f.ui->getValueDblMax(VALUE_LIMITER_CURRENT, nullptr, 0), 12.0);
    // The master held at full scale (its limiter, which keeps it below, off) lights the master's clip lamp
    // (the skins' CLIP) and that of all chains, not a deck's; below its peak again, the lamp goes dark.
    EffectGroup* master = f.engine->masterEffects.get();
    master->setEffectState(EFFECT_LIMITER, 0);
    feed(master, 32767.0f, -32767.0f);
    std::string masterLamp = "-1", all, deck = "pl";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_CLIPPING, &masterLamp, 0, nullptr));
    EXPECT_TRUE(f.ui->getValueBool(VALUE_CLIPPING, &all, 0, nullptr));
    EXPECT_FALSE(f.ui->getValueBool(VALUE_CLIPPING, &deck, 0, nullptr));
    feed(master, 20000.0f, -20000.0f);
    EXPECT_FALSE(f.ui->getValueBool(VALUE_CLIPPING, &masterLamp, 0, nullptr));
}

TEST(SkinRead, EffectLengthsInBeatsAndTheirKnobSteps) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    EffectGroup* chain = f.deck(0)->effects;
    std::string length = "echo_length";
    chain->setParameter(EFFECT_ECHO, 1, 22050.0, 0); // one beat at 120 BPM and 44100 Hz
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_EFFECTBPM, &length, 0), 1.0, 1e-9);
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_EFFECTBPMALIGNED, &length, 0), 1.0, 1e-9);

    // Each step holds beat counts up to and including its own.
    const double steps[] = {1.0 / 32, 1.0 / 16, 1.0 / 8, 1.0 / 4, 1.0 / 2, 3.0 / 4, 1.0, 2.0, 4.0};
    for (int k = 0; k < 9; ++k) {
        chain->setParameter(EFFECT_ECHO, 1, steps[k] * 22050.0, 0);
        EXPECT_NEAR(f.ui->getValueDblRelative(VALUE_EFFECTBPMALIGNED, &length, 0), k / 9.0, 1e-9) << k;
        chain->setParameter(EFFECT_ECHO, 1, steps[k] * 22050.0 * 1.01, 0);
        EXPECT_NEAR(f.ui->getValueDblRelative(VALUE_EFFECTBPMALIGNED, &length, 0), (k + 1) / 9.0, 1e-9) << k;
    }
}

TEST(SkinRead, GainKnobHasUnityAtItsMiddleAndZoomReadsItsRoot) {
    UiFixture f;
    std::string amp = "Amp_Set";
    for (auto [gain, relative] : {std::pair{0.1, 0.05}, {1.0, 0.5}, {4.0, 1.0}, {2.5, 0.75}}) {
        f.ui->setValueDbl(VALUE_EFFECT, &amp, 0, gain);
        EXPECT_NEAR(f.ui->getValueDblRelative(VALUE_EFFECT, &amp, 0), relative, 1e-6) << gain;
    }
    EXPECT_EQ(amp, "Amp_Set"); // the object's own text stays as written
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_WAVEFORMZOOM, nullptr, 0), std::sqrt(40.0), 1e-12);
}

TEST(SkinRead, EmptyRangesAndDecksOutOfRangeGiveNoNumberTroubles) {
    UiFixture f;
    // No player: the track-time sliders have no range.
    EXPECT_EQ(f.ui->getValueDblMax(VALUE_TIMEELAPSED, nullptr, 3), 0.0);
    EXPECT_EQ(f.ui->getValueDblRelative(VALUE_TIMEELAPSED, nullptr, 3), 0.0);
    EXPECT_EQ(f.ui->getValueDblRelative(VALUE_CUEPOINT, nullptr, 3), 0.0);
    // A pitch range written as 0 or less is refused; one that still got there reads 0.
    f.ui->setValueDbl(VALUE_PITCHRANGE, nullptr, 3, 0.0);
    f.ui->setValueDbl(VALUE_PITCHRANGE, nullptr, 3, -5.0);
    EXPECT_EQ(f.deck(3)->pitchRange, 8.0);
    f.deck(3)->pitchRange = 0.0;
    EXPECT_EQ(f.ui->getValueDblRelative(VALUE_PITCH, nullptr, 3), 0.0);

    // Deck 4 reads the base's answers.
    f.engine->setVolumeMaster(0.7);
    for (int deck : {4, -1, 1000}) {
        EXPECT_EQ(f.ui->getValueDbl(VALUE_VOLUME_MASTER, nullptr, deck), 0.0);
        EXPECT_EQ(f.ui->getValueDblRelative(VALUE_CROSSFADER, nullptr, deck), 0.0);
        EXPECT_FALSE(f.ui->getValueBool(VALUE_CUEPREFX, nullptr, deck, nullptr));
        EXPECT_EQ(f.ui->getValueStr(VALUE_TIMEINFO, nullptr, deck),
                  f.ui->SkinInterface::getValueStr(71, nullptr, deck));
    }
    EXPECT_EQ(f.ui->getValueDbl(VALUE_VOLUME_MASTER, nullptr, 0), 0.7);
}

TEST(SkinLit, TimeDisplaysBlinkFasterTowardsTheEnd) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    struct Case {
        double position; // ms into the 60 s track
        bool endFound;
        double musicEnd;
        bool lit;
    };
    const Case cases[] = {
        {50500, false, 0, false},     {50750, false, 0, true},    // 9.5 s left: 400 ms period
        {35000, false, 0, false},     {35700, false, 0, true},    // 25 s left: 1000 ms period
        {10200, false, 0, true},      {12000, false, 0, false},   // 50 s left: first 800 of 5000 ms
        {30200, true, 100000, false}, {45500, true, 55000, true}, // 70 s, then 9.5 s to the noted end
        {45500, false, 55000, false},                             // 14.5 s left by the track's length
    };
    for (const Case& c : cases) {
        p->setPosition(c.position);
        p->endFound = c.endFound;
        p->musicEnd = c.musicEnd;
        for (int id : {VALUE_TIMEINFO, VALUE_TIMEREMAINING, VALUE_TIMEELAPSED})
            EXPECT_EQ(f.ui->getValueBool(id, nullptr, 0, nullptr), c.lit) << c.position << " id " << id;
    }
}

TEST(SkinText, PitchAndTimeTexts) {
    UiFixture f;
    std::string coarse = "coarse_only", fine = "fine_only";
    f.ui->setValueDbl(VALUE_PITCH, nullptr, 0, -0.004);
    EXPECT_EQ(f.ui->getValueStr(VALUE_PITCH, &coarse, 0), "-0");
    f.ui->setValueDbl(VALUE_PITCH, nullptr, 0, 3.25);
    EXPECT_EQ(f.ui->getValueStr(VALUE_PITCH, &fine, 0), "25");
    EXPECT_EQ(f.ui->getValueStr(VALUE_PITCH, &coarse, 0), "3");
    EXPECT_EQ(f.ui->getValueStr(VALUE_PITCH, nullptr, 0), "3.25%");
    EXPECT_EQ(f.ui->getValueStr(VALUE_PITCHRANGE, nullptr, 0), "8%");
    EXPECT_EQ(f.ui->getValueStr(VALUE_BPMDETECTION, nullptr, 1), ""); // an empty deck has no tempo
    EXPECT_EQ(f.ui->getValueStr(VALUE_BPM, nullptr, 1), "");

    UI_NEED_CLICK(f, 1);
    EXPECT_EQ(f.ui->getValueStr(VALUE_BPM, nullptr, 1), "120.0");
    // A file that gives no audio, and an untagged track its analysis finds no tempo in (silence), show no tempo:
    // not the last track's, nor the deck's first, and do not match the other deck's.
    std::string bpmField = "%[BPM]";
    ASSERT_TRUE(testsupport::writeWav(f.data.path + "silence.wav", std::vector<float>(2 * 44100 * 20)));
    for (const std::string& path : {f.data.path + "none.mp3", f.data.path + "silence.wav"}) {
        f.deck(0)->bpm = 120;
        ASSERT_TRUE(testsupport::loadSong(f.deck(0), path));
        for (int id : {VALUE_BPM, VALUE_BPMDETECTION})
            EXPECT_EQ(f.ui->getValueStr(id, nullptr, 0), "") << path << " id " << id;
        EXPECT_EQ(f.ui->getValueStr(VALUE_TRACKINFOCUSTOM, &bpmField, 0), "") << path;
        EXPECT_FALSE(f.ui->getValueBool(VALUE_MATCHBPM, nullptr, 1, nullptr)) << path;
    }
    f.deck(1)->setPosition(20000);
    EXPECT_EQ(f.ui->getValueStr(VALUE_TIMEREMAINING, nullptr, 1), "-00:40.0");
    EXPECT_EQ(f.ui->getValueStr(VALUE_TIMEINFO, nullptr, 1), "00:20.0/01:00");
    std::string frames = "mm:ss:ff";
    EXPECT_EQ(f.ui->getValueStr(VALUE_TIMEELAPSED, &frames, 1), "00:20.00");
    // Loop lengths in beats: under a beat the digits a fraction needs; the running loop's own length.
    for (auto [beats, text] : {std::pair{4.0, "4.0"}, {0.5, "0.5"}, {0.25, "0.25"}, {0.125, "0.125"}, {0.75, "0.75"}}) {
        f.deck(1)->loopSetLength(beats);
        EXPECT_EQ(f.ui->getValueStr(VALUE_LOOPLENGTH_MOVEBEATS, nullptr, 1), text) << beats;
    }
    f.deck(1)->loopSetLength(0.25);
    f.deck(1)->loopStart();
    EXPECT_EQ(f.ui->getValueStr(VALUE_LOOPLENGTH_MOVEBEATS, nullptr, 1), "0.25");
}

TEST(SkinLit, MatchedTemposCueSlotsAndSides) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    UI_NEED_CLICK(f, 1);
    f.deck(0)->bpm = 128.0;
    f.deck(1)->bpm = 128.05;
    EXPECT_TRUE(f.ui->getValueBool(VALUE_MATCHBPM, nullptr, 0, nullptr));
    EXPECT_TRUE(f.ui->getValueBool(VALUE_MATCHBPM, nullptr, 1, nullptr));
    for (auto [a, b] : {std::pair{120.0, 128.0}, {128.0, 120.0}}) {
        f.deck(0)->bpm = a;
        f.deck(1)->bpm = b;
        EXPECT_FALSE(f.ui->getValueBool(VALUE_MATCHBPM, nullptr, 0, nullptr));
        EXPECT_FALSE(f.ui->getValueBool(VALUE_MATCHBPM, nullptr, 1, nullptr));
    }

    // Memory cue 21 is beyond the active-cue buttons: the main cue near the position decides.
    TarlumePlayer* p = f.deck(0);
    p->setPosition(5000);
    p->cuePoint = 5000;
    p->setCuePoint(21, 7000);
    std::string slot21 = "21";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_CUEPOINTACTIVE, &slot21, 0, nullptr));
    p->setCuePoint(3, 5000);
    std::string slot3 = "3";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_CUEPOINTACTIVE, &slot3, 0, nullptr));
    EXPECT_EQ(f.ui->getValueStr(VALUE_CUEPOINT, &slot21, 0), "00:07.0");

    f.deck(1)->setCrossfaderSide(CROSSFADER_RIGHT);
    std::string rightish = "right_side", left = "left", none = "";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_CROSSFADERSELECTION, &rightish, 1, nullptr));
    EXPECT_FALSE(f.ui->getValueBool(VALUE_CROSSFADERSELECTION, &left, 1, nullptr));
    EXPECT_FALSE(f.ui->getValueBool(VALUE_CROSSFADERSELECTION, &none, 1, nullptr));
    EXPECT_EQ(f.ui->getValueStr(VALUE_CROSSFADERSELECTION, nullptr, 1), "Right");
}

TEST(SkinText, TimecodeStatus) {
    UiFixture f;
    TarlumePlayer* p = f.deck(2);
    EXPECT_EQ(f.ui->getValueStr(VALUE_VINYLCONTROL, nullptr, 2), "");
    FinalScratch* decoder = new FinalScratch(44100.0);
    p->timecode = decoder; // the deck deletes it
    p->vinylControl = true;
    const char* codes[] = {"FS ", "VDJ ", "SSL ", "MSP ", "TLM ", "MV ", "TS "};
    for (int type = 0; type < 7; ++type) {
        decoder->setParameter(20, type);
        decoder->setParameter(14, type % 2 ? 1.0 : 0.0);
        EXPECT_EQ(f.ui->getValueStr(VALUE_LINEINPUT, nullptr, 2),
                  std::string(codes[type]) + (type % 2 ? "REL" : "ABS"));
    }
    EXPECT_FALSE(f.ui->getValueBool(VALUE_VINYL_MODE, nullptr, 2, nullptr));
    decoder->setParameter(14, 1.0);
    EXPECT_TRUE(f.ui->getValueBool(VALUE_VINYL_MODE, nullptr, 2, nullptr));
    p->inputPassthrough = true;
    EXPECT_EQ(f.ui->getValueStr(VALUE_VINYLCONTROL, nullptr, 2), "LINE IN");
}

TEST(SkinText, OptionTextsMatchExactlyWhileLitStatesIgnoreCase) {
    UiFixture f;
    f.engine->columnMode = true;
    f.engine->outputChannels[1][0] = 2;
    f.engine->outputChannels[1][1] = 3;
    std::string column = "Column Mode", channels = "OutputChannels", lower = "outputchannels";
    std::string device = "outputdevice", type = "DefaultVinylType";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_OPTION, &column, 1, nullptr));
    EXPECT_EQ(f.ui->getValueStr(VALUE_OPTION, &channels, 1), "3/4");
    EXPECT_EQ(f.ui->getValueStr(VALUE_OPTION, &lower, 1), f.ui->SkinInterface::getValueStr(VALUE_OPTION, &lower, 1));
    EXPECT_EQ(f.ui->getValueStr(VALUE_OPTION, &device, 1), f.ui->SkinInterface::getValueStr(VALUE_OPTION, &device, 1));
    f.deck(1)->timecodeType = 2;
    EXPECT_EQ(f.ui->getValueStr(VALUE_OPTION, &type, 1), "Serato Scratch Live");
}
