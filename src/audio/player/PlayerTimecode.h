// Following a timecode record (audio thread, once per input frame of a vinyl deck, before `process`): the
// decoder's pitch and time become a smoothed speed, a small drift correction and, in absolute mode, jumps to
// the record's position. A template over the decoder, so that tests can script its accessors.
#pragma once

#include "audio/player/Player.h"

#include <cmath>

namespace playertimecode {

constexpr int kNoPitchStopFrames = 5500; // frames without a zero crossing before the deck stops
constexpr int kSlowStopFrames = 150;     // frames below the slowest speed before the deck stops
constexpr double kJumpMs = 75;           // drift beyond which a new time moves the position

// The drift correction's next value from the present one and the smoothed drift D (ms). Each bound belongs
// to the row nearer 0.
double correctionStep(double c, double D);

// Frame counters stop at a billion frames (over six hours at 44.1 kHz) instead of wrapping to negative counts
// while a deck waits for a record all night.
inline void countFrame(int& frames) {
    if (frames < (1 << 30)) ++frames;
}

} // namespace playertimecode

template <class Decoder> void Player::updateFromDecoder(Decoder& decoder) {
    if (!m_loaded || m_closing) return;
    CriticalSectionGuard stateGuard(&m_stateLock, std::try_to_lock);
    if (!stateGuard.ownsLock()) return;
    updateFromDecoderLocked(decoder);
}

template <class Decoder> void Player::updateFromDecoderLocked(Decoder& decoder) {
    Decoder* fs = &decoder;
    if (!m_loaded || m_closing) return;
    const double passFrames = fs->getNullPassTimeSamples(); // input frames per null pass at speed 1
    const double pitch = fs->getPitch();
    // A pitch that is not a number would stay in the smoothed speeds for good: it counts as no new pitch.
    const bool usable = std::isfinite(pitch) && passFrames > 0 && std::isfinite(passFrames);
    const bool playing = m_state == STATE_PLAYING;
    auto stop = [&] {
        if (!m_tcPastEnd && playing) setPlaying(STATE_STOPPED);
    };

    if (!fs->isNewPitch() || !usable) {
        playertimecode::countFrame(m_tcFramesSincePitch);
        playertimecode::countFrame(m_tcFramesSinceTime);
        if (m_tcFramesSincePitch > playertimecode::kNoPitchStopFrames) stop();
        if (!usable || !(m_tcFramesSincePitch >= 3 * passFrames / std::fabs(pitch))) return;
    } else {
        m_tcFramesSincePitch = 0;
    }
    // Between zero crossings the speed decays; it keeps the record's direction.
    double v = pitch;
    if (m_tcFramesSincePitch > 0) v = std::copysign(passFrames / m_tcFramesSincePitch, pitch);

    double t = fs->getTime();
    const bool newTime = fs->isNewTime();
    if (newTime)
        m_tcFramesSinceTime = 0;
    else if (m_tcFramesSincePitch == 0)
        playertimecode::countFrame(m_tcFramesSinceTime);

    // Short samples repeat along the record.
    const double fileRate = m_fileRate > 0 ? double(m_fileRate) : 44100.0;
    const double L = double(m_length) / (fileRate / 1000);
    if (t > L) {
        if (L <= 1810)
            t = std::fmod(t, 1800);
        else if (L <= 60000)
            t = std::fmod(t, 60000);
        else if (L <= 300000)
            t = std::fmod(t, 300000);
    }
    const VINYLCONTROL_MODE mode = fs->getVCMode();
    const bool inTrack = t >= -2000 && t <= L;
    const bool followed = (inTrack || mode == VINYLCONTROL_RELATIVE) && fs->getParameter(8, 0) != 0;
    if (!followed && newTime && !inTrack) stop();
    if (newTime) m_tcPastEnd = fs->getVinylTime() > fs->getMaxLengthMs();

    int glide = std::fabs(v) <= 0.1 ? int(passFrames * 10) : int(passFrames / std::fabs(v));
    if (glide < 2) glide = 0;
    if (glide > 22000) glide = 22000;

    if (followed) {
        updateFromTimeCode(t, v, mode, newTime, glide);
        if (fs->isNewCertainPitch() && !m_jitterMeasure) {
            const double certain = fs->getCertainPitch();
            if (std::fabs(m_tcKeptSpeed - certain) > 0.05) m_tcKeptSpeed = certain;
            if (std::fabs(certain - double(m_speed)) > 0.08 && !m_tcPastEnd) setSpeed(certain, glide);
        }
        if (std::fabs(v) >= 0.002) {
            if (!m_tcPastEnd && (m_tcFramesSinceTime < 4800 || mode == VINYLCONTROL_RELATIVE || v < -0.1) &&
                (m_state != STATE_PLAYING || m_stopFade > 0)) { // stopped, or fading out
                setPlaying(STATE_PLAYING);
                m_tcResync = true;
            }
            m_tcSlowFrames = 0;
        } else {
            ++m_tcSlowFrames;
        }
    } else {
        ++m_tcSlowFrames;
        if (m_tcSlowFrames < 100 && !m_tcPastEnd) setSpeed(v, glide);
    }
    if (m_tcSlowFrames > playertimecode::kSlowStopFrames) {
        if (!m_tcPastEnd && m_state == STATE_PLAYING) setPlaying(STATE_STOPPED);
        m_tcSlowFrames = 0;
    }
}
