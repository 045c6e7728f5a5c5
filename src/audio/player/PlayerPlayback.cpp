// The audio thread's side of the player: one frame per `process`, varispeed reading, speed glides, key lock by
// splicing, loops with a return window, stutter, click-free start, stop and jump fades, and the track's end.
#include "audio/player/Player.h"

#include "dsp/Resample.h"
#include "dsp/VolumeRamp.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Sum of |a(k) - b(k)| over k = 0, step, 2 step, ... below `length`, where a(k) and b(k) are the left samples
// at a + t k and b + t k; terms at negative frames take no part.
double matchError(const Player::SampleView& view, double a, double b, double t, int length, int step) {
    double error = 0;
    for (int k = 0; k < length; k += step) {
        const double x = a + t * k, y = b + t * k;
        if (x >= 0 && y >= 0) error += std::fabs(view.left(x) - view.left(y));
    }
    return error;
}

} // namespace

void Player::readFrame(Resample* rs, double b, double step, float* left, float* right) {
    const double rate = std::fabs(step);
    if (rate > 1.0) {
        // The band-limited read, its filter following the output's half rate.
        rs->getResampleFrame(b, 1.0 / rate, left, right);
        if (m_monoBuffer) *right = *left;
        return;
    }
    if (m_monoBuffer) {
        *left = *right = rs->getOverSample(b, 0);
        return;
    }
    rs->getOverSampleFrame(b, left, right);
}

void Player::process(float* left, float* right) {
    *left = *right = 0.0f;
    if (!m_buffer || !m_loaded || m_closing) return;
    CriticalSectionGuard stateGuard(&m_stateLock, std::try_to_lock);
    if (!stateGuard.ownsLock()) return;
    processLocked(left, right);
}

void Player::processBlock(float* left, float* right, int frames) {
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, kFramesPerStateLock);
        float* l = left + done;
        float* r = right + done;
        done += n;
        std::fill(l, l + n, 0.0f);
        std::fill(r, r + n, 0.0f);
        if (!m_buffer || !m_loaded || m_closing) continue;
        CriticalSectionGuard stateGuard(&m_stateLock, std::try_to_lock);
        if (stateGuard.ownsLock()) {
            for (int i = 0; i < n; ++i)
                processLocked(l + i, r + i);
        } else {
            // Another thread holds the state for a moment: frame by frame, so only the frames it holds are
            // silent, not a whole chunk (a gap of several milliseconds would click).
            for (int i = 0; i < n; ++i)
                Player::process(l + i, r + i);
        }
    }
}

void Player::processLocked(float* left, float* right) {
    *left = *right = 0.0f;
    if (!m_buffer || !m_loaded || m_closing) return;
    drainCommands();
    if (m_resamplerDirty) applyResamplerFormat();
    if (m_glideLength > 0.5) setSpeed(m_glideTarget, -1);

    const int state = m_state;
    if (state == STATE_PLAYING) {
        if (m_tempoSpeed < 0.01) {
            readFrame(m_resampler, getBufferPosition(m_position), m_increment, left, right);
        } else {
            keyLockStep(left, right);
        }
        setPosition(m_position + m_increment);
        m_ramp->process(left, right);
    } else if (state == STATE_STOPPED) {
        m_readHead = double(m_position);
    } else {
        processStutter(left, right);
    }
    processEnd(left, right);
}

// The sound is read at the read head, which advances at the tempo speed (the file's own pitch) while the
// position advances at the deck's speed; every so often the head splices back to where the position is.
void Player::keyLockStep(float* left, float* right) {
    m_framesSinceSwitch += 1;
    const double position = m_position;
    const double head = m_readHead;
    const bool planned = m_switchPosition > 0;
    const bool passed = planned && position > m_switchPosition;
    const bool due = ((!planned || !passed) && std::trunc(std::fabs(head - position)) > m_minSwitchDistance) || passed;
    if (due && m_fadeCounter <= 0) {
        startSplice(head);
        m_readHead = m_needsTarget ? findBestSwitchTarget() : position;
        m_switchPosition = findBestSwitchPosition(true);
    }
    readFrame(m_resampler, getBufferPosition(m_readHead), m_tempoSpeed, left, right);
    m_readHead = m_readHead + m_tempoSpeed;
}

double Player::findBestSwitchPosition(bool force) {
    const double s = m_increment, t = m_tempoSpeed;
    const double position = m_position, head = m_readHead;
    if (!force && m_framesSinceSwitch >= 0 && m_framesSinceSwitch < 256) {
        if (m_switchPosition > position + 2048) {
            m_needsTarget = true;
            return position + 256;
        }
        return m_switchPosition;
    }

    // The minimum distance between head and position before a switch is worth it.
    double D = 0;
    if (t > 0.001 && s / t > 1)
        D = s / t * 1024;
    else if (s > 0.001) {
        D = (t / s) * (t / s) * 1024;
        if (t / s < 0.6) D *= 0.25;
    }
    D = std::min(D, double(m_fileRate) * 0.5);
    m_minSwitchDistance = D;
    if (s == t) return 0;

    // How far ahead to look for the switch, by how far the two speeds differ.
    double A =
        s / t <= 1 ? 12913 - 3308 * std::log(std::min(100 * (t - s), 30.0)) : 9486.9 - 2488 * std::log(100 * (s - t));
    if (!(A >= 0)) A = 0;
    if (A > 8192) A = 8192;

    const int fade = m_fadeLength;
    const SampleView view = sampleView();
    double a = position + s * (A + 256), b = head + t * (A + 256);
    double bestA = a, bestB = b;
    double best = std::numeric_limits<double>::infinity();
    for (int step = 0; step < 361 && std::trunc(std::fabs(a - b)) < D; ++step) {
        double error = matchError(view, a, b, t, fade, 3);
        if (error < best) {
            best = error;
            bestA = a;
            bestB = b;
        }
        a += 17 * s;
        b += 17 * t;
    }
    if (best < std::numeric_limits<double>::infinity()) {
        // The coarse search compares every third sample; the refinement compares every sample, so the coarse
        // winner is measured the same way before the neighbours compete with it.
        best = matchError(view, bestA, bestB, t, fade, 1);
        double ra = bestA - 1.15 * 17 * s, rb = bestB - 1.15 * 17 * t;
        for (int step = 0; step < 44 && std::trunc(std::fabs(ra - rb)) < D; ++step) {
            double error = matchError(view, ra, rb, t, fade, 1);
            if (error < best) {
                best = error;
                bestA = ra;
            }
            ra += s;
            rb += t;
        }
        m_bestError = best;
        m_smoothedError = 0.99 * m_smoothedError + 0.01 * best;
    }
    m_framesSinceSwitch = 0;
    m_needsTarget = false;
    return bestA;
}

double Player::findBestSwitchTarget() {
    const double s = m_increment, t = m_tempoSpeed;
    const double position = m_position, head = m_readHead;
    const double first = t > s ? position - 512 : position;
    const SampleView view = sampleView();
    double bestC = first, best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 512; ++i) {
        double c = first + i;
        double score = matchError(view, c, head, 2 * t, 64, 1);
        if (score < best) {
            best = score;
            bestC = c;
        }
    }
    return bestC;
}

void Player::setSpeed(double speed, int steps) {
    if (!std::isfinite(speed)) return;
    if (steps < 0) {
        // A frame of a running glide.
        if (speed == double(m_speed)) {
            m_glideLength = 0;
            return;
        }
    } else if (steps == 0) {
        m_speed = speed;
        m_glideTarget = speed;
        m_glideLength = 0;
    } else if (speed != m_glideTarget) {
        if (m_tempoSpeed <= 0.01) {
            m_glideStart = m_speed;
            m_glideTarget = speed;
            m_glideDone = 0;
            m_glideLength = std::max(m_glideLength, double(steps));
        } else {
            // Under key lock the position follows the new speed at once; the sound keeps its pitch anyway.
            m_speed = speed;
            m_glideTarget = speed;
            m_glideLength = 0;
            m_needsTarget = true;
        }
    }
    if (m_glideLength > 0.5) {
        m_glideDone += 1;
        if (m_glideDone >= m_glideLength) {
            m_speed = m_glideTarget;
            m_glideLength = 0; // the next glide starts from its own length
        } else {
            m_speed = m_glideStart + m_glideDone / m_glideLength * (m_glideTarget - m_glideStart);
        }
    }

    const double current = m_speed;
    m_increment = double(m_fileRate) / std::max(1, int(m_outputRate)) * current;
    double level;
    const double magnitude = std::fabs(current);
    if (magnitude <= 0.01)
        level = 0;
    else if (!m_volumeFollowsSpeed)
        level = 1;
    else {
        level = std::pow(2.0, std::log(magnitude) * 3.7712 / 6);
        if (level < 0.08) level = level * (level - 0.01) / 0.07;
    }
    m_ramp->setVolume(level);
    selectResampler();
}

void Player::selectResampler() {
    const double load = m_loadEstimate;
    const double inc = m_increment;
    // Reads faster than the file's rate take the band-limited read, whose filter is the same in all three.
    int i = 0;
    if (load > 75)
        i = 1;
    else if (load < 30 && (inc < 0.8 || inc > 1.2))
        i = 2;
    m_resampler = m_resamplers[i].get();
}

void Player::updateResampler() {
    m_resamplerDirty = true;
}

void Player::applyResamplerFormat() {
    m_resamplerDirty = false;
    setResamplerFormat();
    selectResampler();
}

void Player::setResamplerFormat() {
    const int capacity = std::max(0, int(m_capacity));
    const int loaded = int(std::min<unsigned>(m_loadedFrames.load(std::memory_order_acquire), unsigned(capacity)));
    for (auto& rs : m_resamplers)
        rs->setFormat(m_buffer, capacity, loaded, m_channels);
}

double Player::peekBufferPosition(double frame) {
    return frame >= 0 ? frame : -1;
}

Player::SampleView Player::sampleView() {
    SampleView v;
    v.buffer = m_buffer;
    v.channels = m_channels;
    if (v.buffer) v.end = std::min(m_loadedFrames.load(std::memory_order_acquire), unsigned(m_length));
    return v;
}

void Player::setPosition(double p) {
    m_position = p;
    const double inc = m_increment;
    const double loopStart = m_loopStart, loopEnd = m_loopEnd;
    const bool looping = m_loopOn && loopEnd > loopStart;
    if (m_loopOn) {
        // Where the track would be without the loop, wrapped inside the return window.
        m_returnPosition += inc;
        if (m_windowEnd > m_windowStart) {
            if (inc > 0 && m_returnPosition >= m_windowEnd)
                m_returnPosition =
                    m_windowStart + std::fmod(m_returnPosition - m_windowEnd, m_windowEnd - m_windowStart);
            else if (inc < 0 && m_returnPosition <= m_windowStart)
                m_returnPosition = m_windowEnd;
        }
        if (looping) {
            double target = -1;
            if (inc > 0 && p >= loopEnd)
                target = loopStart + std::fmod(p - loopEnd, loopEnd - loopStart);
            else if (inc < 0 && p <= loopStart)
                target = loopEnd;
            if (target >= 0) {
                m_needsTarget = true;
                spliceTo(target);
                m_position = target;
                return;
            }
        }
    }
    if (!looping && p >= double(m_length)) {
        if (m_loopTrack) {
            m_position = 0;
        } else {
            m_state = STATE_STOPPED;
            m_position = double(m_length);
        }
    }
    if (p < -88200) {
        m_position = 0;
        m_state = STATE_STOPPED;
    }
}

void Player::startSplice(double source) {
    if (m_fadeCounter > 0) {
        // Started this very frame: nothing of the sound it fades to was heard, so the same source fades on.
        if (m_fadeCounter == m_activeFadeLength) return;
        // Cut short: what is heard now is a mix of both sounds, and it goes on as the new splice's source.
        m_tailSource = m_fadeSource;
        m_tailCounter = m_fadeCounter;
        m_tailLength = m_activeFadeLength;
    }
    m_fadeSource = source;
    m_activeFadeLength = m_fadeLength;
    m_fadeCounter = m_activeFadeLength;
}

bool Player::readFadeSource(double* frame, float* left, float* right) {
    const double tempo = m_tempoSpeed, inc = m_increment;
    const double b = peekBufferPosition(*frame);
    if (b < 0) {
        *frame += inc;
        return false;
    }
    const double step = tempo > 0.01 ? tempo : inc;
    readFrame(m_resampler, b, step, left, right);
    *frame += step;
    return true;
}

void Player::spliceTo(double frame) {
    if (m_state == STATE_PLAYING) {
        if (m_tempoSpeed < 0.099) {
            startSplice(m_position);
        } else {
            startSplice(m_readHead);
            m_readHead = frame;
        }
    } else {
        m_readHead = frame;
    }
}

void Player::changePosition(double frame) {
    if (!std::isfinite(frame)) return;
    spliceTo(frame);
    setPosition(frame);
}

void Player::setNextPosition(double frame) {
    if (!std::isfinite(frame)) return;
    const int state = m_state;
    if (m_stopFade == 0 && state != STATE_STUTTER_AHEAD && state != STATE_STUTTER_BEHIND) {
        m_nextPosition = -1;
        changePosition(frame);
    } else {
        m_nextPosition = frame;
    }
}

void Player::setPlaying(int n) {
    const int state = m_state;
    const bool stutter = state == STATE_STUTTER_AHEAD || state == STATE_STUTTER_BEHIND;
    // A jump waiting for the end of the stop fade or for the stutter's wrap, which will not come now.
    const bool waitEnds = (n == STATE_PLAYING && (stutter || m_stopFade > 0)) || (n == STATE_STOPPED && stutter);
    if (n == STATE_PLAYING) {
        if (state == STATE_PLAYING) {
            m_stopFade = 0;
        } else {
            m_state = STATE_PLAYING;
            m_startFade = kFadeFrames;
            m_blocksPerCycle = std::max(1.0, m_blocksPerCycle / 3);
        }
    } else if (n == STATE_STOPPED) {
        if (state == STATE_PLAYING) {
            if (m_stopFade == 0) {
                m_stopFade = kFadeFrames;
                m_stopPosition = m_position;
            }
        } else if (stutter) {
            m_state = STATE_STOPPED;
        }
    } else if (n == STATE_STUTTER_AHEAD || n == STATE_STUTTER_BEHIND) {
        m_state = n;
    }
    const double next = m_nextPosition;
    if (waitEnds && next >= 0) {
        m_nextPosition = -1;
        changePosition(next);
    }
}

void Player::setLoop(bool on) {
    if (on && !m_loopOn) {
        const double start = m_loopStart, end = m_loopEnd;
        // A loop of no length would make the wrapped position meaningless.
        if (!(end > start)) return;
        m_loopOn = true;
        m_returnPosition = m_position;
        const double window = m_windowLength;
        if (window > 0) {
            m_windowStart = start;
            m_windowEnd = start + window;
        } else {
            m_windowStart = m_windowEnd = -1;
        }
    } else if (!on && m_loopOn) {
        m_loopOn = false;
        if (m_windowLength > 0 && m_windowEnd > m_windowStart) changePosition(m_returnPosition);
    }
}

void Player::rebaseLoopWindow() {
    const double window = m_windowLength;
    if (!(window > 0) || m_windowStart < 0) return;
    const double start = m_loopStart, end = m_loopEnd;
    if (start > m_windowEnd || m_windowStart > end) {
        m_windowStart = start;
        m_windowEnd = start + window;
    }
}

bool Player::setTempoSpeed(double tempo, bool force) {
    const double old = m_tempoSpeed;
    if (tempo == old) return true;
    if (old >= 0.01 && tempo < 0.01) {
        // Key lock off: the sound returns to the play position through a splice, once a running one ends.
        if (m_fadeCounter > 0 && !force) return false;
        m_tempoSpeed = tempo;
        startSplice(m_readHead);
    } else if (old < 0.01) {
        m_readHead = double(m_position);
        m_tempoSpeed = tempo;
        if (tempo >= 0.01) m_switchPosition = findBestSwitchPosition(true);
    } else {
        if (std::fabs(tempo - old) > 0.15) m_needsTarget = true;
        m_tempoSpeed = tempo;
    }
    selectResampler(); // the read rate changed
    return true;
}

void Player::processEnd(float* left, float* right) {
    countProcessedFrame();

    // The start fade shapes the sound that starts (at play, or where a gap in the ring ends); a running splice's
    // source, the sound left behind, fades out on its own.
    if (m_startFade > 0) {
        m_startFade -= 1;
        const float g = 1.0f - float(m_startFade) / kFadeFrames;
        *left *= g;
        *right *= g;
    }

    if (m_fadeCounter > 0) {
        const double tempo = m_tempoSpeed;
        const bool cubed = tempo > 0.01 && tempo < m_increment;
        auto weight = [cubed](int counter, int length) {
            const double f = double(counter) / length;
            return cubed ? f * f * f : f;
        };
        float sl = 0, sr = 0;
        const bool held = readFadeSource(&m_fadeSource, &sl, &sr);
        if (m_tailCounter > 0) {
            float tl, tr;
            if (readFadeSource(&m_tailSource, &tl, &tr) && held) {
                const double g = weight(m_tailCounter, m_tailLength);
                sl = float((1 - g) * sl + g * tl);
                sr = float((1 - g) * sr + g * tr);
            }
            m_tailCounter -= 1;
        }
        if (held) {
            // The source is heard at the ramp's present level (without moving the ramp a second step).
            const float gain = float(m_ramp->getCurrentVolume());
            const double f = weight(m_fadeCounter, m_activeFadeLength);
            *left = float((1 - f) * *left + f * sl * gain);
            *right = float((1 - f) * *right + f * sr * gain);
        }
        if (--m_fadeCounter == 0) m_tailCounter = 0;
    }

    if (m_stopFade > 0) {
        m_stopFade = m_stopFade - 1;
        const float g = float(m_stopFade) / kFadeFrames;
        *left *= g;
        *right *= g;
        if (m_stopFade == 0) {
            m_position = m_stopPosition;
            const double next = m_nextPosition;
            if (next >= 0) {
                if (m_tempoSpeed > 0.099) m_readHead = next;
                m_nextPosition = -1;
                setPosition(next);
            }
            m_state = STATE_STOPPED;
        }
    }

    const int mute = m_muteDirection;
    const double speed = m_speed;
    if ((mute == 1 && speed < 0) || (mute == 2 && speed > 0)) *left = *right = 0.0f;
}

void Player::processStutter(float* left, float* right) {
    const double W = m_fileRate / 5.0;
    double head = m_readHead + m_increment;
    double envelope;
    if (m_state == STATE_STUTTER_BEHIND) {
        if (head > m_position) {
            takeNextPosition();
            head = m_position - W;
        } else if (head < m_position - W) {
            head = m_position;
        }
        const double phase = (head - (m_position - W)) / W;
        if (phase < 5.0 / 18)
            envelope = phase / (5.0 / 18);
        else if (phase > 17.0 / 18)
            envelope = 1 - (phase - 17.0 / 18) / (1.0 / 18);
        else
            envelope = 1;
    } else {
        if (head > m_position + W) {
            takeNextPosition();
            head = m_position;
        } else if (head < m_position) {
            head = m_position + W;
        }
        const double phase = (head - m_position) / W;
        if (phase >= 8.0 / 9)
            envelope = 0;
        else if (phase < 1.0 / 9)
            envelope = phase * 9;
        else if (phase > 5.0 / 9)
            envelope = 1 - (phase - 5.0 / 9) / (1.0 / 3);
        else
            envelope = 1;
    }
    m_readHead = head;
    if (envelope <= 0) {
        *left = *right = 0.0f;
        return;
    }
    float l, r;
    readFrame(m_resamplers[2].get(), getBufferPosition(head), m_increment, &l, &r);
    *left = float(l * envelope);
    *right = m_monoBuffer ? *left : float(r * envelope);
}

void Player::takeNextPosition() {
    const double next = m_nextPosition;
    if (next >= 0) {
        m_nextPosition = -1;
        setPosition(next);
    }
}
