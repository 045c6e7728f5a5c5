// The cue button, memory cue points, beat and manual loops, loop moves and stored loops. A deck that plays
// an audio input loops it with its echo effect instead of the player.
#include "engine/TarlumePlayer.h"

#include "audio/effects/EffectGroup.h"
#include "audio/vinyl/FinalScratch.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kEchoLength = 1, kEchoAmount = 2, kSourceAmount = 3; // echo parameters

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Cue

void TarlumePlayer::cueSong() {
    cueHeld = true;
    const double position = getPosition();
    // A loading deck stands at the start of its track, which is its cue point: the press previews.
    if (getParam(PLAYERPARAM_PLAYING) == 0 && (position < getLength() || isLoading())) {
        if (std::fabs(position - cuePoint) < 10) {
            // Paused on the cue point: play while the button is held.
            setParam(PLAYERPARAM_PLAYING, 1);
            playPressedWhileCueHeld = false;
        } else {
            cuePoint = position;
        }
    } else {
        setParam(PLAYERPARAM_PLAYING, 0);
        setPosition(cuePoint);
    }
}

void TarlumePlayer::cueSong_Up() {
    cueHeld = false;
    if (getParam(PLAYERPARAM_PLAYING) == 1 && !playPressedWhileCueHeld) {
        setParam(PLAYERPARAM_PLAYING, 0);
        setPosition(cuePoint);
    }
}

void TarlumePlayer::retrieveCuePoint(int n) {
    const int i = slotIndex(n);
    if (i < 0) return;
    if (isLoading()) {
        // The cue points are the track's own, read with it: the point is recalled once it is there.
        loadCueSlot = n;
        return;
    }
    cuePoint = cuePoints[i];
    if (getParam(PLAYERPARAM_LOOP) > 0.5 && getParam(PLAYERPARAM_LOOPEND) < msToFrames(cuePoint)) loopStop();
    setPosition(cuePoint);
}

// ---------------------------------------------------------------------------------------------------------
// Loops

double TarlumePlayer::beatFrames() {
    return getSamplerate() * 60 / getBPM(false, true, false);
}

bool TarlumePlayer::setLoopLength(double frames) {
    if (!(frames > 0) || !std::isfinite(frames)) return false;
    const double start = getParam(PLAYERPARAM_LOOPSTART);
    setParam(PLAYERPARAM_LOOPEND, start + std::max(frames, kMinLoopFrames));
    return true;
}

void TarlumePlayer::setInputLooperLength(double frames) {
    // The echo's ring holds a little over five seconds at 44.1 kHz: a longer loop can't be looped there.
    if (!std::isfinite(frames)) return;
    const double length = std::clamp(frames, kMinLoopFrames, double(AdvancedEcho::kMaxReach));
    effects->setParameter(EFFECT_ECHO, kEchoLength, length);
    effects->setParameter(EFFECT_ECHO, kEchoAmount, 1.0);
    effects->setParameter(EFFECT_ECHO, kSourceAmount, 0.0);
}

bool TarlumePlayer::loopIsStarted() {
    if (inputPassthrough)
        return effects->getParameter(EFFECT_ECHO, kSourceAmount) <= 0.001 &&
               effects->getParameter(EFFECT_ECHO, kEchoAmount) >= 0.999;
    return getParam(PLAYERPARAM_LOOP) > 0.5;
}

void TarlumePlayer::loopStart() {
    if (inputPassthrough) {
        setInputLooperLength(engineSamplerate() * 60 / getBPM(false, true, false) * loopBeats);
        return;
    }
    FinalScratch* decoder = timecode.get();
    if (vinylControl && decoder && decoder->getParameter(14) == VINYLCONTROL_ABSOLUTE)
        decoder->setParameter(14, VINYLCONTROL_RELATIVE); // the record no longer moves the position
    const double length = std::max(beatFrames() * loopBeats, kMinLoopFrames);
    const double position = getParam(PLAYERPARAM_POSITION);
    double start, end;
    if (getParam(PLAYERPARAM_PLAYING) >= 0.5) {
        start = position - length; // the beats just played
        end = position;
    } else {
        start = position; // the beats ahead
        end = position + length;
    }
    if (start < 0) {
        // Near the start the loop keeps its length from frame 0 on.
        start = 0;
        end = length;
    }
    setParam(PLAYERPARAM_LOOPSTART, start);
    setParam(PLAYERPARAM_LOOPEND, end);
    setParam(PLAYERPARAM_LOOP, 1);
}

void TarlumePlayer::loopStop() {
    setParam(PLAYERPARAM_LOOP, 0);
    if (inputPassthrough) {
        effects->setParameter(EFFECT_ECHO, kSourceAmount, 1.0);
        effects->setParameter(EFFECT_ECHO, kEchoAmount, 0.0);
    }
}

void TarlumePlayer::loopSetIn() {
    loopInMark = loopInMark < 0 ? getPosition() : -1.0;
}

void TarlumePlayer::loopSetOut(bool, bool exitIfLooping) {
    if (exitIfLooping && loopIsStarted()) {
        loopStop();
        return;
    }
    const double position = getPosition();
    if (loopInMark < 0 || !(position > loopInMark)) return;
    if (inputPassthrough) {
        setInputLooperLength(engineSamplerate() * (position - loopInMark) / 1000);
    } else {
        const double start = msToFrames(loopInMark);
        setParam(PLAYERPARAM_LOOP, 0);
        setParam(PLAYERPARAM_LOOPSTART, start);
        setParam(PLAYERPARAM_LOOPEND, std::max(msToFrames(position), start + kMinLoopFrames));
        setParam(PLAYERPARAM_LOOP, 1);
    }
    loopInMark = -1.0;
}

void TarlumePlayer::loopSetLength(double beats) {
    if (!(beats > 0) || !std::isfinite(beats)) return; // a loop of no length has no end to wrap at
    loopBeats = beats;
    if (!inputPassthrough && getParam(PLAYERPARAM_LOOP) > 0.5) setLoopLength(beatFrames() * beats);
}

void TarlumePlayer::loopLengthMultiply(double factor) {
    if (!(factor > 0)) return;
    loopSetLength(loopGetLength() * factor);
}

double TarlumePlayer::loopGetLength() {
    if (!inputPassthrough && getParam(PLAYERPARAM_LOOP) > 0.5)
        return (getParam(PLAYERPARAM_LOOPEND) - getParam(PLAYERPARAM_LOOPSTART)) / beatFrames();
    return loopBeats;
}

double TarlumePlayer::loopGetLengthMs() {
    if (!inputPassthrough && getParam(PLAYERPARAM_LOOP) > 0.5)
        return framesToMs(getParam(PLAYERPARAM_LOOPEND) - getParam(PLAYERPARAM_LOOPSTART));
    return 60000 / getBPM(false, true, false) * loopBeats;
}

double TarlumePlayer::loopGetStartMs() {
    return framesToMs(getParam(PLAYERPARAM_LOOPSTART));
}

void TarlumePlayer::loopDoMove(double amount, bool inBeats) {
    double delta =
        inBeats ? getSamplerate() * amount * 60 / getBPM(false, true, false) : getSamplerate() * amount / 1000;
    if (!std::isfinite(delta)) return;
    const double start = getParam(PLAYERPARAM_LOOPSTART), end = getParam(PLAYERPARAM_LOOPEND);
    if (start < 0 && end < 0) return;      // no loop was ever set
    if (start + delta < 0) delta = -start; // the loop stops moving at the track's start
    setParam(PLAYERPARAM_LOOPSTART, start + delta);
    setParam(PLAYERPARAM_LOOPEND, end + delta);
}

void TarlumePlayer::loopDoMoveLength(double amount, bool inBeats, bool relative) {
    const double start = getParam(PLAYERPARAM_LOOPSTART), end = getParam(PLAYERPARAM_LOOPEND);
    const double length = end - start;
    double next;
    if (relative)
        next = length * amount;
    else
        next = length +
               (inBeats ? getSamplerate() * amount * 60 / getBPM(false, true, false) : getSamplerate() * amount / 1000);
    if (next >= kMinLoopFrames && std::isfinite(next)) setParam(PLAYERPARAM_LOOPEND, start + next);
}

void TarlumePlayer::loopMoveDynamic(bool on, double speed) {
    if (on && std::isfinite(speed)) {
        loopMoveSpeed = speed;
        loopMoveStart = now();
    } else {
        loopMoveSpeed = 0;
    }
}

void TarlumePlayer::storeLoop(int n) {
    if (n < 1 || n > kReachableLoops) return;
    if (!(getParam(PLAYERPARAM_LOOP) > 0.5)) return;
    setLoop(n, framesToMs(getParam(PLAYERPARAM_LOOPSTART)), framesToMs(getParam(PLAYERPARAM_LOOPEND)));
}

void TarlumePlayer::retrieveLoop(int n, bool) {
    if (n < 1 || n > kReachableLoops || !isLoopSlotUsed(n)) return;
    const double start = msToFrames(getLoopIn(n));
    const double end = std::max(msToFrames(getLoopOut(n)), start + kMinLoopFrames);
    setParam(PLAYERPARAM_LOOP, 0);
    setParam(PLAYERPARAM_LOOPSTART, start);
    setParam(PLAYERPARAM_LOOPEND, end);
    setParam(PLAYERPARAM_POSITION, start);
    setParam(PLAYERPARAM_LOOP, 1);
}
