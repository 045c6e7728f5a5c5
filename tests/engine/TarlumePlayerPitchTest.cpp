// The deck's speed: pitch modes on the engine's clock, pitch range, key lock, jog, tempo, replay gain and
// timecode vinyl.
#include "TarlumePlayerTestSupport.h"
#include "support/DeckLoads.h"

#include "audio/effects/EffectGroup.h"
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"
#include "audio/vinyl/TimecodeSignal.h"
#include "library/tags/CID3v2Tag.h"

using namespace decktest;

namespace {

// A deck whose tempo detector says what the test sets.
struct DetectorDeck : TarlumePlayer {
    using TarlumePlayer::TarlumePlayer;
    double tempo = 0, confidence = 0;
    bool readDetector(double* t, double* c) override {
        *t = tempo;
        *c = confidence;
        return true;
    }
};

// Lets `ms` of the engine's clock pass, then runs the deck's frame update (on the test's thread).
void tick(TarlumePlayer* d, double ms) {
    EngineClock::advance(ms);
    d->update();
}

} // namespace

TEST(DeckPitch, BendFadeBrakeAndStartUpFollowTheClock) {
    Rig rig;
    EngineClock::ManualScope clock(100000);
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));

    d->setPitch(1.05, true);
    EXPECT_DOUBLE_EQ(d->getParam(PLAYERPARAM_SPEED), 1.05);
    EXPECT_DOUBLE_EQ(d->getPitchTo(), 1.05);
    d->setPitch(1.0, true);

    // A bend without a time stays until the mode ends.
    d->setPitchMode(PITCHMODE_BEND, 1.5, 0, 0);
    tick(d, 5000);
    EXPECT_NEAR(d->pitch, 1.015, 1e-12);
    d->setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
    EXPECT_DOUBLE_EQ(d->pitch, 1.0);
    EXPECT_FALSE(d->tempoControl); // the key lock the bend switched on is off again

    // A timed bend fades from +4 % to 0 over a second, then ends by itself.
    d->setPitchMode(PITCHMODE_BEND, 4, 1000, 0);
    EXPECT_NEAR(d->pitch, 1.04, 1e-12);
    tick(d, 500);
    EXPECT_NEAR(d->pitch, 1.02, 1e-12);
    tick(d, 501);
    EXPECT_EQ(d->pitchMode, PITCHMODE_NORMAL);
    EXPECT_DOUBLE_EQ(d->pitch, 1.0);

    // A 2000 ms brake: half speed after one second; a new pitch meanwhile is only the one to return to.
    d->setParam(PLAYERPARAM_PLAYING, 1);
    d->brakeTime = 2000;
    d->playPause();
    EXPECT_EQ(d->pitchMode, PITCHMODE_BRAKE);
    tick(d, 1000);
    EXPECT_NEAR(d->pitch, 0.5, 1e-12);
    d->setPitch(1.2, false);
    EXPECT_NEAR(d->pitch, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(d->getPitch(true), 1.2);
    EXPECT_GT(d->getParam(PLAYERPARAM_PLAYING), 0.5);
    tick(d, 1001);
    EXPECT_EQ(d->pitchMode, PITCHMODE_NORMAL);
    EXPECT_EQ(d->getParam(PLAYERPARAM_PLAYING), 0);
    EXPECT_DOUBLE_EQ(d->pitch, 1.2);

    // Start-up over one second from a pause.
    d->brakeTime = 0;
    d->startupTime = 1000;
    d->playPause();
    EXPECT_GT(d->getParam(PLAYERPARAM_PLAYING), 0.5);
    tick(d, 250);
    EXPECT_NEAR(d->pitch, 0.3, 1e-12);
    tick(d, 800);
    EXPECT_EQ(d->pitchMode, PITCHMODE_NORMAL);
    EXPECT_DOUBLE_EQ(d->pitch, 1.2);
    EXPECT_TRUE(d->started);

    // A stalled frame counts as 33 ms: the follow mode's smoothing sees 33, not 2000.
    d->jogTouched = true;
    d->setPitchMode(PITCHMODE_FOLLOW, 0, 0, 0);
    const double before = d->pitch;
    tick(d, 2000);
    const double k = 33.0 / 10 * 0.02;
    EXPECT_NEAR(d->pitch, k * before + (1 - k) * (d->followStartPos - d->getPosition()) / 55, 1e-9);
    d->touchJogWheel(true);
    d->update();
    EXPECT_EQ(d->pitchMode, PITCHMODE_NORMAL);
}

TEST(DeckPitch, RangeCyclesAndKeyLockFadesNearStandstill) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    std::vector<double> up, down;
    for (int i = 0; i < 5; ++i) {
        d->switchPitchRange(false);
        up.push_back(d->pitchRange);
    }
    EXPECT_EQ(up, (std::vector<double>{16, 25, 50, 100, 8}));
    for (int i = 0; i < 5; ++i) {
        d->switchPitchRange(true);
        down.push_back(d->pitchRange);
    }
    EXPECT_EQ(down, (std::vector<double>{100, 50, 25, 16, 8}));

    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
    d->tempoControl = true;
    const double toFile = 44100 / rig.engine->getSamplerate(); // the player keeps the tempo in file frames
    const struct {
        double pitch, tempoSpeed;
    } cases[] = {{1.2, 1.0}, {0.2, 1.0}, {0.05, 0.5}, {0.0005, 0.01}, {-0.5, 0.0}};
    for (const auto& c : cases) {
        d->setPitch(c.pitch, true);
        EXPECT_NEAR(d->getParam(PLAYERPARAM_TEMPOSPEED), c.tempoSpeed * toFile, 1e-9) << c.pitch;
    }
    d->tempoControl = false;
    d->updateTempoControl();
    EXPECT_EQ(d->getParam(PLAYERPARAM_TEMPOSPEED), 0);
}

TEST(DeckPitch, ANewTrackPlaysAtNormalSpeedAndTheDeckShowsIt) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
    d->setPitch(1.0492, true);
    ASSERT_TRUE(testsupport::loadSong(d, fixture("tone.mp3").c_str(), true));
    EXPECT_EQ(d->getParam(PLAYERPARAM_SPEED), 1.0);
    EXPECT_EQ(d->getPitch(false), 1.0);
    EXPECT_EQ(d->getPitchTo(), 1.0);
}

TEST(DeckTempo, MatchReplayGainAndDetectorConfidence) {
    Rig rig;
    TarlumePlayer *a = rig.deck(0), *b = rig.deck(1);
    ASSERT_TRUE(testsupport::loadSong(a, fixture("position.wav").c_str(), true));
    ASSERT_TRUE(testsupport::loadSong(b, fixture("position.wav").c_str(), true));
    const struct {
        double own, other, ratio;
    } cases[] = {{64, 128, 1.0}, {125, 126, 1.008}, {128, 64, 1.0}, {100, 130, 1.3}, {100, 15, 1.0}};
    for (const auto& c : cases) {
        a->setPitch(1.0, true);
        a->bpm = c.own;
        b->bpm = c.other;
        a->bpmConfidence = b->bpmConfidence = 100;
        a->matchBPM(b);
        EXPECT_NEAR(a->pitch, c.ratio, 1e-12) << c.own << " to " << c.other;
    }
    // A deck without a tempo (none found in its track, or no track) neither gives one nor takes one.
    TarlumePlayer* empty = rig.deck(2);
    a->setPitch(1.0, true);
    a->bpm = 128;
    b->bpm = TarlumePlayer::kDefaultBpm;
    b->bpmConfidence = 0;
    empty->matchBPM(a);
    a->matchBPM(b);
    EXPECT_EQ(a->pitch, 1.0);
    EXPECT_EQ(empty->pitch, 1.0);

    // Replay gain: +6 dB of headroom, the peak kept within full scale.
    a->setReplayGain(-6, 0.9f);
    EXPECT_NEAR(a->effects->getParameter(EFFECT_LIMITER, 0), 1.0, 1e-6);
    a->setReplayGain(10, 0.9f);
    EXPECT_NEAR(a->effects->getParameter(EFFECT_LIMITER, 0), 1.0 / 0.9, 1e-5);
    EXPECT_TRUE(a->replayGainApplied);

    // A detection with confidence 45 replaces the tempo; a later one with 40 is not taken.
    DetectorDeck d(rig.engine.get(), 0);
    d.bpm = 50;
    d.tempo = 124, d.confidence = 45;
    EXPECT_DOUBLE_EQ(d.getBPM(false, true, false), 124);
    EXPECT_EQ(d.bpmConfidence, 45);
    d.tempo = 140, d.confidence = 40;
    EXPECT_DOUBLE_EQ(d.getBPM(false, true, false), 124);
    EXPECT_DOUBLE_EQ(d.getBPM(false, true, true), 140); // forced, but not kept
    EXPECT_DOUBLE_EQ(d.bpm, 124);
    d.bpmIncrease(0, true);
    EXPECT_DOUBLE_EQ(d.bpm, 62);
    EXPECT_EQ(d.bpmConfidence, 100);
    d.bpm = 3;
    EXPECT_DOUBLE_EQ(d.getBPM(false, false, false), 10); // never below 10
}

TEST(DeckJog, SpeedResetsAfterHalfASecondAndTheRingWraps) {
    Rig rig;
    EngineClock::ManualScope clock(100000);
    TarlumePlayer* d = rig.deck();
    double speed = 0;
    for (int i = 0; i < 60; ++i) {
        EngineClock::advance(10);
        speed = d->updateJogWheelSpeed(2); // 200 per second, smoothed towards 0.2 per ms
    }
    EXPECT_EQ(d->jogIndex, 0);
    EXPECT_NEAR(d->jogSpeedRaw, 0.2, 1e-9);
    EXPECT_GT(speed, 0.0);
    EngineClock::advance(10);
    d->updateJogWheelSpeed(2);
    EXPECT_EQ(d->jogIndex, 1);
    EngineClock::advance(501);
    EXPECT_EQ(d->updateJogWheelSpeed(2), 0.0);
    EXPECT_EQ(d->jogSpeedRaw, 0.0);
    d->touchJogWheel(false);
    EXPECT_TRUE(d->jogTouched);
    // A broken reading neither poisons the speed nor the pitch.
    EngineClock::advance(10);
    EXPECT_TRUE(std::isfinite(d->updateJogWheelSpeed(std::nan(""))));
    d->setPitch(std::nan(""), true);
    EXPECT_DOUBLE_EQ(d->pitch, 1.0);
}

TEST(DeckTimecode, RelativeOptionTablesAndCalibration) {
    Rig rig;
    EngineClock::ManualScope clock(100000);
    testsupport::TempDir app("deck-app");
    ASSERT_TRUE(makeDirectory(app.path + "vinylcontrol"));
    rig.engine->applicationFolder = app.path;
    // The table tool's file for type 6, with a few records.
    std::vector<TimecodeRecord> records;
    for (int i = 0; i < 16; ++i)
        records.push_back({i * 3 + 1, i * 7 + 2, i * 480});
    sortTableRecords(6, records);
    ASSERT_TRUE(writeTimecodeTable(app.path + "vinylcontrol/" + FinalScratch::getTableFileName(6), 6, records));

    const struct {
        int type;
        bool relative;
        int mode;
    } cases[] = {
        {TIMECODE_FINALSCRATCH, false, VINYLCONTROL_RELATIVE}, // no table: pitch and direction only
        {TIMECODE_TRAKTOR, false, VINYLCONTROL_ABSOLUTE},      // the table tool's file is found
        {TIMECODE_TARLUME, false, VINYLCONTROL_ABSOLUTE},      // carries its own position
        {TIMECODE_TARLUME, true, VINYLCONTROL_RELATIVE},       // the option asks for relative
    };
    for (int i = 0; i < 4; ++i) {
        TarlumePlayer* d = rig.deck(i);
        d->timecodeType = cases[i].type;
        d->relativeMode = cases[i].relative;
        d->setVinylControl(true, i);
        ASSERT_TRUE(d->timecode);
        EXPECT_EQ(d->timecode->getParameter(14), cases[i].mode) << i;
        EXPECT_EQ(d->timecode->getParameter(20), cases[i].type);
        EXPECT_TRUE(d->vinylControl);
    }
    EXPECT_GT(FinalScratch::getTableSize(6), 0);
    // Switched off and on, the decoder stays as it was.
    FinalScratch* decoder = rig.deck(0)->timecode;
    rig.deck(0)->setVinylControl(false, 0);
    rig.deck(0)->setVinylControl(true, 0);
    EXPECT_EQ(rig.deck(0)->timecode.get(), decoder);

    // Calibration: a loud timecode signal sets the gain; the run ends at 9000 ms with the measured jitter.
    TarlumePlayer* d = rig.deck(1);
    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
    d->vcCallibrate();
    EXPECT_TRUE(d->calibrating);
    std::vector<float> block(441);
    for (int frame = 0; frame < 200; ++frame) {
        for (int i = 0; i < 441; ++i)
            block[size_t(i)] = float(12000 * std::sin(2 * 3.14159265358979 * 1000 * (frame * 441 + i) / 44100.0));
        d->processTimecodeBlock(block.data(), block.data(), 441);
        tick(d, frame == 199 ? 9000 - 199 * 44 - 1 : 44);
        if (frame < 199) {
            ASSERT_TRUE(d->calibrating) << frame;
        }
    }
    EXPECT_TRUE(d->calibrating);
    EXPECT_GT(d->calibrationLevel, 60);
    EXPECT_NEAR(d->vcGain, 16000 / d->calibrationLevel, 1e-3 * d->vcGain);
    tick(d, 1);
    EXPECT_FALSE(d->calibrating);
    EXPECT_GE(d->vcPitchVariance, 0.0002f);
    EXPECT_FLOAT_EQ(float(d->getParam(PLAYERPARAM_JITTERTHRESHOLD)), std::max(d->vcPitchVariance, 0.0001f));

    // The code rate across the decoder's counter restart reads positive.
    EXPECT_FLOAT_EQ(TarlumePlayer::codesPerSecond(1000, 1120, 1000), 120);
    EXPECT_FLOAT_EQ(TarlumePlayer::codesPerSecond(999990, 20, 1000), 30);
    EXPECT_GT(d->timecodeQualityTime, 0); // measured once a second while the deck follows a record
}

// A record that stopped leaves the deck's player near standstill; leaving timecode gives the deck back the pitch its
// fader shows, and a deck whose PLAY is lit plays on at it.
TEST(DeckTimecode, LeavingTimecodeGivesTheDeckThePitchOfItsFader) {
    Rig rig;
    TarlumePlayer* d = rig.deck(0);
    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
    ASSERT_TRUE(waitDecoded(d));
    d->setPitch(1.04, true);
    d->timecodeType = TIMECODE_TARLUME;
    d->relativeMode = true;
    d->setVinylControl(true, 0);
    d->playPause();
    TimecodeSignalOptions o;
    o.type = TIMECODE_TARLUME;
    o.speed = [](double t) { return t < 0.5 ? 1.0 : 0.0; }; // the DJ stops the record
    TimecodeSignal record(o);
    std::vector<float> left(441), right(441);
    for (int block = 0; block < 100; ++block) {
        for (int i = 0; i < 441; ++i)
            record.next(left[size_t(i)], right[size_t(i)]);
        d->processTimecodeBlock(left.data(), right.data(), 441);
        float l, r;
        for (int i = 0; i < 441; ++i)
            d->player->process(&l, &r);
        d->update();
    }
    ASSERT_LT(std::fabs(d->pitch), 0.05); // the record drove the deck to a standstill

    for (bool lit : {false, true}) {
        SCOPED_TRACE(lit ? "PLAY lit" : "PLAY dark");
        d->setVinylControl(true, 0);
        d->setParam(PLAYERPARAM_PLAYING, lit ? 1 : 0);
        d->setVinylControl(false, 0);
        d->update();
        EXPECT_DOUBLE_EQ(d->pitch, 1.04);
        EXPECT_DOUBLE_EQ(d->getParam(PLAYERPARAM_SPEED), 1.04);
        EXPECT_EQ(d->getParam(PLAYERPARAM_PLAYING) > 0.5, lit);
    }
}

// Calibrating to a quiet record raises the input gain eightfold at once; the pitch variance it measures is the
// record's own jitter, not the moment the deck needs to settle after the step (0.024 before, 80 times the default).
TEST(DeckTimecode, CalibratingToAQuietRecordMeasuresItsJitterNotTheGainStep) {
    Rig rig;
    EngineClock::ManualScope clock(100000);
    TarlumePlayer* d = rig.deck(0);
    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
    ASSERT_TRUE(waitDecoded(d));
    rig.engine->setSamplerate(44100);
    tcInstallTable(TIMECODE_SERATO, tcSyntheticTable(TIMECODE_SERATO, 60000));
    d->timecodeType = TIMECODE_SERATO;
    d->setVinylControl(true, 0);
    TimecodeSignalOptions o;
    o.type = TIMECODE_SERATO;
    o.startNullPass = 7000 / 0.5; // 5 s into the track
    o.amplitude = 32767 * 0.0316; // -30 dB
    TimecodeSignal record(o);
    // Blocks of 256 frames; the engine's frame loop runs after every sixth (35 ms).
    std::vector<float> left(256), right(256);
    float l, r;
    for (int block = 0; block < 2100; ++block) { // 12 s
        for (int i = 0; i < 256; ++i) {
            record.next(left[size_t(i)], right[size_t(i)]);
            left[size_t(i)] = std::round(left[size_t(i)]); // a 16-bit recording
            right[size_t(i)] = std::round(right[size_t(i)]);
        }
        d->processTimecodeBlock(left.data(), right.data(), 256);
        for (int i = 0; i < 256; ++i)
            d->player->process(&l, &r);
        if (block % 6 != 5) continue;
        tick(d, 256 * 6 / 44.1);
        if (block == 359) d->vcCallibrate(); // after 2 s
    }
    ASSERT_FALSE(d->calibrating);
    EXPECT_GT(d->vcGain, 6.0f);
    EXPECT_LT(d->vcPitchVariance, 0.002f);
    FinalScratch::initCodes(TIMECODE_SERATO, 0);
}

TEST(DeckUpdate, AutoCueFindsTheMusicAndTheAnalysedReplayGainIsApplied) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, fixture("lead.wav").c_str(), true)); // 2.5 s of silence, then a loud tone
    EXPECT_FALSE(d->startFound);
    EXPECT_FALSE(d->replayGainApplied); // no RGAD: the analysis will tell
    // Every frame looks again until the analysis has reached the music.
    ASSERT_TRUE(waitUntil([&] {
        d->update();
        return d->startFound && d->replayGainApplied;
    }));
    const double stripeMs = 1000 / d->getParam(PLAYERPARAM_DETAILEDSTRIPERATE);
    EXPECT_GE(d->cuePoint, 2500 - 2 * stripeMs);
    EXPECT_LE(d->cuePoint, 2500);
    EXPECT_NEAR(d->getPosition(), d->cuePoint, 1e-6); // paused: the deck waits at the music's start
    EXPECT_TRUE(d->endFound);
    // The analysed gain went to the limiter and into the record.
    float peak = 0, radio = 0, audiophile = 0;
    d->tag->getReplayGain(&peak, &radio, &audiophile);
    EXPECT_NE(radio, 0.0f);
    EXPECT_NEAR(radio, d->replayGainDb, 0.06);
    EXPECT_GT(peak, 0.8f);
    const double g = std::min(std::pow(10.0, (radio + 6) / 20), 1.0 / std::min(1.0f, peak));
    EXPECT_NEAR(d->effects->getParameter(EFFECT_LIMITER, 0), g, g * 0.01);
    // It fades in over two seconds: a tone through the deck's chain starts at the old level and ends at g.
    auto level = [&](int frames) {
        double peakOut = 0;
        for (int i = 0; i < frames; ++i) {
            float l = 1000.0f * float(std::sin(i * 0.1)), r = l;
            d->effects->process(&l, &r);
            peakOut = std::max(peakOut, double(std::fabs(l)));
        }
        return peakOut / 1000.0;
    };
    EXPECT_NEAR(level(441), 1.0, 0.05);
    level(int(rig.engine->getSamplerate() * 2));
    EXPECT_NEAR(level(441), g, g * 0.02);
}
