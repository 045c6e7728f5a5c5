// The deck's play speed: pitch and the timed pitch modes, play/pause with brake and start-up, pitch range,
// jog speed, tempo and tempo match, key lock, replay gain, timecode vinyl and the per-frame update.
#include "engine/TarlumePlayer.h"

#include "audio/effects/EffectGroup.h"
#include "audio/vinyl/FinalScratch.h"
#include "foundation/modTools.h"
#include "library/tags/CID3v2Tag.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPitchRampMs = 15;
constexpr double kFrameGapMs = 500; // a longer frame counts as kDefaultFrameMs
constexpr double kDefaultFrameMs = 33;
constexpr double kFollowEndMs = 300;
constexpr double kResyncDelayMs = 700;
constexpr double kQualityCounterWrap = 1000000; // the decoder's code counter restarts here

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Pitch

void TarlumePlayer::setPitchInternal(double p, bool, double rampMs) {
    pitch = p;
    setParam(PLAYERPARAM_SPEED, p, getSamplerate() * rampMs / 1000.0);
    updateTempoControl();
}

void TarlumePlayer::setPitch(double p, bool setSlider) {
    if (!std::isfinite(p)) return; // a broken value from a controller keeps the last good one
    if (setSlider) pitchTo = p;
    if (pitchMode == PITCHMODE_NORMAL)
        setPitchInternal(p, false, kPitchRampMs);
    else
        savedPitch = p; // the running mode works from it and returns to it
}

double TarlumePlayer::getPitch(bool target) {
    return target && pitchMode != PITCHMODE_NORMAL ? savedPitch : pitch;
}

void TarlumePlayer::updateTempoControl() {
    double t = 0;
    if (tempoControl) {
        t = tempoControlAmount * tempoControlTempo + (1 - tempoControlAmount) * pitch;
        if (pitch < 0.1) t *= pitch * 10; // the tempo fades out with the speed near standstill
        t = std::max(t, 0.01);
        if (!(pitch > 0)) t = 0;
    }
    setParam(PLAYERPARAM_TEMPOSPEED, t);
}

void TarlumePlayer::setPitchMode(enPitchMode m, double a, double b, double c) {
    const double previousC = pitchModeC;
    pitchModeStamp = now();
    pitchModeA = a;
    pitchModeB = b;
    pitchModeC = c;
    if (m == pitchMode) {
        if (m == PITCHMODE_FOLLOW) followOffset += a;
        return;
    }
    const enPitchMode previous = pitchMode;
    if (m == PITCHMODE_NORMAL) {
        setPitchInternal(savedPitch, false, kPitchRampMs);
        if (tempoControlSuspended) {
            tempoControlSuspended = false;
            tempoControl = true;
            updateTempoControl();
        }
        if (tempoControlForBend) {
            tempoControlForBend = false;
            tempoControl = false;
            updateTempoControl();
        }
    } else {
        if (previous == PITCHMODE_NORMAL) savedPitch = pitch;
        if (m == PITCHMODE_BEND && !tempoControl) {
            tempoControl = true;
            tempoControlTempo = getParam(PLAYERPARAM_SPEED);
            tempoControlForBend = true;
        }
        if ((m == PITCHMODE_FOLLOW || m == PITCHMODE_BRAKE || m == PITCHMODE_STARTUP) && tempoControl) {
            tempoControl = false;
            tempoControlSuspended = true;
        }
        if (m == PITCHMODE_FOLLOW && c == 1) setParam(PLAYERPARAM_PLAYING, 1);
    }
    // A follow that started the deck stops it when it ends, and leaves the cue point where it stopped.
    if (previous == PITCHMODE_FOLLOW && previousC == 1) {
        setParam(PLAYERPARAM_PLAYING, 0);
        cuePoint = getPosition();
    }
    followOffset = 0;
    pitchModeStart = pitchModeStamp;
    pitchMode = m;
    followStartPos = getPosition();
    updatePitch(kPitchRampMs);
}

void TarlumePlayer::updatePitch(double dt) {
    const double t = now();
    switch (pitchMode) {
    case PITCHMODE_NORMAL:
        if (vinylControl) pitch = getParam(PLAYERPARAM_SPEED); // the record drives the speed
        break;
    case PITCHMODE_BEND: {
        double bend = pitchModeA / 100;
        if (pitchModeB > 0) {
            const double elapsed = t - pitchModeStamp;
            if (elapsed > pitchModeB) {
                setPitchMode(PITCHMODE_NORMAL, 0, pitchModeB, pitchModeC);
                return;
            }
            bend *= (pitchModeB - elapsed) / pitchModeB;
        }
        setPitchInternal(savedPitch + bend, false, kPitchRampMs);
        break;
    }
    case PITCHMODE_FOLLOW: {
        if (pitchModeB == 0 && !jogTouched) {
            setPitchMode(PITCHMODE_NORMAL, 0, 0, pitchModeC);
            return;
        }
        if (pitchModeB == 1 && t - pitchModeStamp > kFollowEndMs) {
            setPitchMode(PITCHMODE_NORMAL, 0, 1, pitchModeC);
            return;
        }
        const double target = (followStartPos + followOffset - getPosition()) / 55;
        const double k = std::min(dt / 10 * 0.02, 0.8);
        setPitchInternal(k * pitch + (1 - k) * target, false, dt);
        break;
    }
    case PITCHMODE_BRAKE:
    case PITCHMODE_STARTUP: {
        const bool brake = pitchMode == PITCHMODE_BRAKE;
        const double progress = pitchModeA > 0 ? (t - pitchModeStart) / pitchModeA : 1.0;
        if (progress >= 1) {
            if (brake) setParam(PLAYERPARAM_PLAYING, 0);
            setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
            return;
        }
        setPitchInternal((brake ? 1 - progress : progress) * savedPitch, false, kPitchRampMs);
        break;
    }
    case PITCHMODE_REVERSE:
        setPitchInternal(pitchModeA - savedPitch, false, kPitchRampMs);
        break;
    }
}

void TarlumePlayer::playPause() {
    playPressedWhileCueHeld = true;
    if (cueHeld) return;
    if (isLoading()) {
        // No track to start yet: the press is kept for it (start-up time included), a second one takes it back.
        loadPlays = !loadPlays;
        return;
    }
    togglePlay();
}

void TarlumePlayer::togglePlay() {
    const bool playing = getParam(PLAYERPARAM_PLAYING) > 0.5;
    if (startupTime > 0 && !playing && pitchMode != PITCHMODE_FOLLOW && pitchMode != PITCHMODE_BRAKE)
        setPitchMode(PITCHMODE_STARTUP, startupTime, 0, 0);
    if (brakeTime > 0 && playing && pitchMode != PITCHMODE_FOLLOW && pitchMode != PITCHMODE_STARTUP) {
        setPitchMode(PITCHMODE_BRAKE, brakeTime, 0, 0); // the brake stops the deck when it ends
        return;
    }
    setParam(PLAYERPARAM_PLAYING, 1 - getParam(PLAYERPARAM_PLAYING));
    if (!started && getParam(PLAYERPARAM_PLAYING) > 0.5) {
        started = true;
        firstPlayTime = now() / 1000.0;
    }
}

void TarlumePlayer::switchPitchRange(bool down) {
    const double r = pitchRange;
    if (!down)
        pitchRange = r < 6 ? 8 : r < 14 ? 16 : r < 20 ? 25 : r < 45 ? 50 : r < 75 ? 100 : 8;
    else
        pitchRange = r > 150 ? 100 : r > 75 ? 50 : r > 45 ? 25 : r > 20 ? 16 : r > 14 ? 8 : 100;
}

// ---------------------------------------------------------------------------------------------------------
// Jog

void TarlumePlayer::touchJogWheel(bool released) {
    jogTouched = !released;
}

double TarlumePlayer::updateJogWheelSpeed(double delta) {
    if (!std::isfinite(delta)) delta = 0; // one broken reading would stay in the smoothed speed for good
    const double t = now();
    const int i = jogIndex;
    if (t - jogTimes[(i + kJogEntries - 1) % kJogEntries] > 500) jogSpeed = 0;
    jogTimes[i] = t;
    jogDeltas[i] = delta;

    // The entries behind this one that still describe the present movement: the last 100 ms, or the last
    // 500 ms while they are close behind.
    int oldest = -1;
    for (int back = 1; back < kJogEntries; ++back) {
        const int j = (i - back + kJogEntries) % kJogEntries;
        const double age = t - jogTimes[j];
        if (!(age < 100 || (age < 500 && back <= 5))) break;
        oldest = j;
    }
    double sum = 0;
    double span = 0;
    if (oldest >= 0) {
        for (int j = (oldest + 1) % kJogEntries;; j = (j + 1) % kJogEntries) {
            sum += jogDeltas[j];
            if (j == i) break;
        }
        span = t - jogTimes[oldest];
    }
    double f = 0.1;
    if (span > 0) {
        jogSpeedRaw = sum / span;
        // Backwards turns smooth like forwards ones.
        const double amount = std::fabs(sum);
        f = amount < 50 ? 0.005 : amount <= 120 ? 0.1 : 0.2;
    } else {
        jogSpeedRaw = jogSpeed = 0;
    }
    jogIndex = (i + 1) % kJogEntries;
    jogSpeed = (1 - f) * jogSpeed + f * jogSpeedRaw;
    return jogSpeed;
}

// ---------------------------------------------------------------------------------------------------------
// Tempo

double TarlumePlayer::getBPM(bool withPitch, bool useDetected, bool forceDetected) {
    double result = bpm;
    double detected = 0, confidence = 0;
    if (useDetected && readDetector(&detected, &confidence) && std::isfinite(detected) && detected > 0) {
        // A tempo from the tag or set by hand (confidence 100) stands; a detection only replaces a less sure one.
        if (confidence > 40 && bpmConfidence < 100 && confidence >= bpmConfidence) {
            bpmConfidence = int(confidence);
            bpm = detected;
        }
        result = forceDetected ? detected : bpm;
    }
    if (withPitch) result *= getParam(PLAYERPARAM_SPEED);
    return std::isfinite(result) ? std::max(result, 10.0) : 10.0;
}

bool TarlumePlayer::hasTempo(bool detectedCounts) {
    if (!player || isVideo == 1 || isUnreadable()) return false;
    double detected = 0, confidence = 0;
    const bool found = readDetector(&detected, &confidence) && std::isfinite(detected) && detected > 0;
    if (found) getBPM(false, true, false); // a sure enough detection becomes the deck's tempo
    return bpmConfidence > 0 || (detectedCounts && found);
}

bool TarlumePlayer::readDetector(double* tempo, double* confidence) {
    Player* p = player.get();
    if (!p) return false;
    *tempo = p->getBPMParameter(0);
    *confidence = p->getBPMParameter(1);
    return true;
}

void TarlumePlayer::bpmIncrease(double delta, bool halveOrDouble) {
    if (!std::isfinite(delta)) return;
    if (halveOrDouble)
        bpm = bpm > 100 ? bpm / 2 : bpm * 2;
    else
        bpm += delta;
    bpmConfidence = 100;
}

void TarlumePlayer::matchBPM(TarlumePlayer* other) {
    // A deck without a tempo of its own (empty, or none found yet) reads the default one: matching it would
    // pitch a deck to a number nobody heard.
    if (!other || other == this || !hasTempo(false) || !other->hasTempo(false)) return;
    const double target = other->getBPM(true, true, false);
    const double own = getBPM(false, true, false);
    if (target < 20) return;
    const double r1 = target / own, r2 = 2 * target / own, r3 = 0.5 * target / own;
    double ratio;
    if (std::fabs(r1 - 1) > std::fabs(r2 - 1))
        ratio = r2;
    else
        ratio = std::fabs(r3 - 1) < std::fabs(r1 - 1) ? r3 : r1;
    setPitch(ratio, true);
}

void TarlumePlayer::setReplayGain(float gainDb, float peak, double glideMs) {
    double g = std::pow(10.0, (double(gainDb) + 6) / 20);
    const double p = std::min(double(peak), 1.0);
    if (g * p > 1.0) g = 1.0 / p; // a gain that lifted the peak past full scale would clip the track
    if (std::isfinite(g)) effects->glideLimiterAmplification(g, engineSamplerate() * glideMs / 1000);
    replayGainApplied = true;
}

// ---------------------------------------------------------------------------------------------------------
// Timecode vinyl

int TarlumePlayer::timecodeModeFor(bool tableLoaded) const {
    if (relativeMode) return VINYLCONTROL_RELATIVE;
    const bool ownPosition = tableLoaded || timecodeType == TIMECODE_TARLUME;
    return ownPosition ? VINYLCONTROL_ABSOLUTE : VINYLCONTROL_RELATIVE;
}

void TarlumePlayer::setVinylControl(bool on, int input) {
    if (on && !timecode) {
        auto* decoder = new FinalScratch(getSamplerate());
        const char* file = FinalScratch::getTableFileName(timecodeType);
        if (file) {
            const std::string path = engineAppFolder() + "/vinylcontrol/" + file;
            if (FileExist(path)) {
                switch (timecodeType) {
                case TIMECODE_FINALSCRATCH:
                    FinalScratch::initFinalScratch(path);
                    break;
                case TIMECODE_VIRTUALDJ:
                    FinalScratch::initVDJ(path);
                    break;
                case TIMECODE_SERATO:
                    FinalScratch::initSSL(path);
                    break;
                case TIMECODE_TRAKTOR:
                    FinalScratch::initTS(path);
                    break;
                default:
                    break;
                }
            }
        }
        decoder->setParameter(14, timecodeModeFor(FinalScratch::getTableSize(timecodeType) > 0));
        decoder->setParameter(20, timecodeType);
        decoder->setParameter(19, vcGain);
        decoder->setParameter(16, vcSpeedMultiplier);
        timecode = decoder; // published whole: the input device's thread may read it from now on
        setParam(PLAYERPARAM_JITTERTHRESHOLD, vcPitchVariance);
        if (superRelativeMode && getParam(PLAYERPARAM_PLAYING) > 0.5) {
            followTimecode = false;
            resyncTime = now() + kResyncDelayMs;
        } else {
            followTimecode = true;
        }
    }
    const bool leaving = vinylControl && !on;
    inputIndex = input;
    vinylControl = on;
    engineUpdateInputs();
    // The record drove the speed, down to a standstill when it stopped: without it the deck goes back to
    // the pitch its fader shows (the inputs are let go first, so the record has the last word no more).
    if (leaving) setPitch(pitchTo, false);
}

void TarlumePlayer::processTimecodeBlock(const float* left, const float* right, int frames) {
    FinalScratch* decoder = timecode.get();
    if (!decoder) return;
    Player* p = player.get();
    if (p && followTimecode) {
        p->followFinalScratchBlock(decoder, left, right, frames);
        return;
    }
    for (int i = 0; i < frames; i++)
        decoder->calculate(left[i], right[i]);
}

float TarlumePlayer::codesPerSecond(double previousCount, double count, double elapsedMs) {
    double codes = count - previousCount;
    if (codes < 0) codes += kQualityCounterWrap;
    return elapsedMs > 0 ? float(codes / elapsedMs * 1000) : 0.0f;
}

void TarlumePlayer::setVCGain(float g) {
    vcGain = g;
    if (timecode) timecode->setParameter(19, g);
}

void TarlumePlayer::setVCPitchVariance(float v) {
    vcPitchVariance = v;
    setParam(PLAYERPARAM_JITTERTHRESHOLD, v);
}

void TarlumePlayer::setVCSpeedMultiplier(double m) {
    vcSpeedMultiplier = m;
    if (timecode) timecode->setParameter(16, m);
}

void TarlumePlayer::vcCallibrate() {
    if (calibrating) return;
    if (!timecode || !vinylControl) setVinylControl(true, deckIndex);
    if (!vinylControl || !timecode) return;
    calibrating = true;
    calibrationStart = now();
    setParam(PLAYERPARAM_JITTERMEASURE, 1);
    calibrationJitter = 0.003;
    calibrationSettle = 0;
    calibrationLevel = timecode->getParameter(13);
}

void TarlumePlayer::updateTimecode(double t) {
    FinalScratch* decoder = timecode.get();
    if (!decoder) return;

    if (superRelativeMode && resyncTime > 0 && t > resyncTime) {
        resyncTime = 0;
        const double multiplier = decoder->getParameter(16);
        const double ratio = multiplier != 0 ? decoder->getParameter(0) / multiplier : 0;
        const double speed = getParam(PLAYERPARAM_SPEED);
        // The record's present speed becomes the deck's present speed.
        decoder->setParameter(16, ratio > 0.4 && speed > 0.4 ? speed / ratio : vcSpeedMultiplier);
        followTimecode = true;
    }

    const double elapsed = t - timecodeQualityTime;
    if (elapsed > 1000) {
        const double count = decoder->getParameter(12);
        timecodeQuality = codesPerSecond(timecodeQualityCount, count, elapsed);
        timecodeQualityCount = float(count);
        timecodeQualityTime = t;
    }

    if (calibrating) {
        if (t - calibrationStart >= kCalibrationMs) {
            calibrating = false;
            setParam(PLAYERPARAM_JITTERMEASURE, 0);
            calibrationJitter = std::max(calibrationJitter, 0.0002);
            if (calibrationLevel > 60) setVCPitchVariance(float(calibrationJitter));
        } else {
            const double range = decoder->getParameter(13);
            calibrationLevel = 0.96 * calibrationLevel + 0.04 * range;
            if (range > 50 && calibrationLevel > 0) {
                // A step of the input gain (the first one of a quiet record above all) leaves the decoder
                // without a pitch until enough of the louder peaks have come, and the deck's speed dips
                // meanwhile: measured, that dip made the jitter, and so the pitch variance, a hundred times
                // the record's own. So the measuring starts afresh once the speed has settled after the step.
                const float gain = float(16000 / calibrationLevel);
                if (!(std::fabs(gain / vcGain - 1) <= 0.1)) calibrationSettle = t + kCalibrationSettleMs;
                setVCGain(gain);
                if (calibrationSettle > 0 && t >= calibrationSettle) {
                    setParam(PLAYERPARAM_JITTERMEASURE, 1);
                    calibrationSettle = 0;
                } else if (calibrationSettle == 0) {
                    calibrationJitter = 2 * getParam(PLAYERPARAM_JITTERMEASURE);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// Per-frame update

void TarlumePlayer::update() {
    finishLoad();
    const double t = now();
    double dt = t - lastUpdate;
    lastUpdate = t;
    if (dt > kFrameGapMs || dt < 0) dt = kDefaultFrameMs;
    updatePitch(dt);

    if (loopMoveSpeed != 0) {
        // The step grows with the time since the move began: the move accelerates.
        const double d = (t - loopMoveStart) * loopMoveSpeed / 5;
        if (std::fabs(d) > 1) loopDoMove(d, false);
    }

    if (engineAutoCue() && !startFound) autoCue();
    reportUnreadable();

    if (!replayGainApplied) {
        const double gain = getParam(PLAYERPARAM_REPLAYGAIN);
        if (gain != 0 && std::isfinite(gain)) {
            replayGainDb = gain;
            const float peak = float(getParam(PLAYERPARAM_MAXPEAK) / 32767);
            if (tag) tag->setReplayGainTag(peak, float(gain), 0);
            // The analysis ends while the track may be playing: the gain comes in as a slow fade, not a jump.
            setReplayGain(float(gain), peak, kReplayGainGlideMs);
        }
    }

    if (vinylControl) updateTimecode(t);
}

void TarlumePlayer::autoCue() {
    const double rate = getParam(PLAYERPARAM_DETAILEDSTRIPERATE); // stripes per second
    if (rate > 0) {
        const double max = getParam(PLAYERPARAM_DETAILEDSTRIPEMAX);
        const int n = int(10 * rate);
        int sound = -1, loud = -1;
        for (int i = 0; i < n && (sound < 0 || loud < 0); ++i) {
            const double level = getParam(PLAYERPARAM_DETAILEDSTRIPE, i) * rate * max;
            if (sound < 0 && level > 4e7) sound = i;
            if (loud < 0 && level > 2e8) loud = i;
        }
        const int start = sound - 1;
        if (sound >= 0 && start >= 1) {
            if (loud < 0) loud = start;
            const double startMs = start * 1000 / rate;
            if (!started) {
                cuePoint = startMs;
                if (getParam(PLAYERPARAM_PLAYING) < 0.5) setPosition(startMs);
            }
            setParam(PLAYERPARAM_FIRSTBEAT, msToFrames(loud * 1000 / rate));
            startFound = true;
        } else {
            const double analysedSeconds =
                getParam(PLAYERPARAM_STRIPEPOS) * getParam(PLAYERPARAM_LENGTH) / getSamplerate() / 300;
            if (analysedSeconds > 10) startFound = true;
        }
    } else if (!player) {
        startFound = true;
    }
    endFound = true;
}
