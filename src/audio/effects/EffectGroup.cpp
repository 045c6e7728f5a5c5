#include "audio/effects/EffectGroup.h"

#include "analysis/bpm_detection.h"
#include "analysis/fft.h"
#include "audio/effects/EffectMath.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kKnobTopHz = 17500.0f;  // filter knob frequency at either end of its travel
constexpr double kKnobLowEnd = 0.45;    // knob positions up to here low-pass
constexpr double kKnobHighStart = 0.55; // from here high-pass; flat between

// Ids that have an on/off switch, and those whose switch reads back.
bool hasSwitch(int effect) {
    switch (effect) {
    case EFFECT_STATISTICS:
    case EFFECT_ANALYSER:
    case EFFECT_LIMITER:
    case EFFECT_EQ:
    case EFFECT_ECHO:
    case EFFECT_FLANGER:
    case EFFECT_CLIP:
    case EFFECT_GAPPER:
    case EFFECT_REVERB:
    case EFFECT_DC_BLOCKER:
    case EFFECT_FILTER:
    case EFFECT_BITCRUSHER:
        return true;
    default:
        return false;
    }
}

float clip16(float x) {
    return x < -32768.0f ? -32768.0f : x > 32767.0f ? 32767.0f : x;
}

// A fresh section with another one's targets, for response measurements.
void copyTargets(const dsp::filter& from, dsp::filter& to, int type, float slope) {
    to.setType(type);
    to.setFrequency(from.getFrequency());
    to.setGain(from.getGain());
    to.setBandwidth(float(from.getParameter(3)));
    to.setSlope(slope);
}

} // namespace

EffectGroup::EffectGroup(float sampleRate)
    : rate_(sampleRate), eq_(sampleRate), lowPass_(sampleRate), highPass_(sampleRate), limiter_(sampleRate),
      flanger_(sampleRate), echo_(sampleRate), reverb_(44100, 200.0f), analyser_(std::make_unique<fft>(sampleRate)),
      responseAnalyser_(std::make_unique<fft>(sampleRate)) {
    for (auto& s : on_)
        s.store(false, std::memory_order_relaxed);
    responseAnalyser_->setParameter(4, 0); // drawing needs the spectrum only, not the tempo
    on_[EFFECT_STATISTICS].store(true, std::memory_order_relaxed);
    on_[EFFECT_LIMITER].store(true, std::memory_order_relaxed);
    on_[EFFECT_DC_BLOCKER].store(true, std::memory_order_relaxed);

    for (dsp::filter* f : {&lowPass_, &highPass_}) {
        f->setType(f == &lowPass_ ? dsp::filter::LowPass : dsp::filter::HighPass);
        f->setFrequency(0);
        f->setGain(0);
        f->setBandwidth(1.0f);
    }
}

EffectGroup::~EffectGroup() = default;

void EffectGroup::setSamplerate(double rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return;
    rate_.store(float(rate), std::memory_order_relaxed);
    eq_.setSamplerate(rate);
    analyser_->setParameter(3, rate);
    echo_.setSamplerate(rate);
    // The knob's frequencies are in Hz: its sections follow the rate too.
    lowPass_.setSamplerate(float(rate));
    highPass_.setSamplerate(float(rate));
}

void EffectGroup::glideLimiterAmplification(double value, double frames) {
    if (std::isfinite(value) && std::isfinite(frames)) limiter_.glideAmplification(float(value), float(frames));
}

void EffectGroup::setEffectState(int effect, int state) {
    if (!hasSwitch(effect)) return;
    if (state == 1 && effect == EFFECT_BITCRUSHER) crusherUsed_.store(true, std::memory_order_relaxed);
    if (state == 1 && effect == EFFECT_ANALYSER) analyserUsed_.store(true, std::memory_order_relaxed);
    on_[effect].store(state == 1, std::memory_order_relaxed);
}

int EffectGroup::getEffectState(int effect) const {
    if (effect == EFFECT_REVERB || !hasSwitch(effect)) return 0;
    return on(effect) ? 1 : 0;
}

void EffectGroup::setKnob(double position) {
    knob_.store(position, std::memory_order_relaxed);
    if (position <= kKnobLowEnd) {
        const double x = position / kKnobLowEnd;
        lowPass_.setGain(-1.0f);
        lowPass_.setFrequency(float(x * x * x * kKnobTopHz));
        highPass_.setGain(0.0f);
    } else if (position >= kKnobHighStart) {
        const double x = (position - kKnobHighStart) / (1.0 - kKnobHighStart);
        highPass_.setGain(-1.0f);
        highPass_.setFrequency(float(x * x * x * kKnobTopHz));
        lowPass_.setGain(0.0f);
    } else {
        lowPass_.setGain(0.0f);
        highPass_.setGain(0.0f);
    }
}

// Effect 18's bands map onto the equaliser's low, mid and high gains; a kill sends a full cut instead.
void EffectGroup::sendEqGain(int band) {
    static constexpr int kEqGain[3] = {0, 1, 3};
    const bool killed = kill_[band].load(std::memory_order_relaxed);
    eq_.setParameter(kEqGain[band], killed ? -1.0 : eqGain_[band].load(std::memory_order_relaxed));
}

void EffectGroup::setParameter(int effect, int parameter, double value, int) {
    if (!std::isfinite(value)) return; // a broken value keeps the last good one
    switch (effect) {
    case EFFECT_STATISTICS:
        statistics_.setParameter(parameter, value);
        break;
    case EFFECT_ANALYSER:
        analyserUsed_.store(true, std::memory_order_relaxed);
        analyser_->setParameter(parameter, value);
        break;
    case EFFECT_TEMPO_DETECTOR:
        if (analyserUsed_.load(std::memory_order_relaxed)) analyser_->getBPMDetection()->setParameter(parameter, value);
        break;
    case EFFECT_LIMITER:
        limiter_.setParameter(parameter, value);
        break;
    case EFFECT_EQ:
        eq_.setParameter(parameter, value);
        break;
    case EFFECT_ECHO:
        echo_.setParameter(parameter, value);
        break;
    case EFFECT_FLANGER:
        flanger_.setParameter(parameter, value);
        break;
    case EFFECT_GAPPER:
        gapper_.setParameter(parameter, value);
        break;
    case EFFECT_BITCRUSHER:
        crusherUsed_.store(true, std::memory_order_relaxed);
        crusher_.setParameter(parameter, value);
        break;
    case EFFECT_FILTER:
        if (parameter == 100) {
            setKnob(value);
            break;
        }
        lowPass_.setParameter(parameter, value);
        highPass_.setParameter(parameter, value);
        if (parameter == 2) knobSlope_.store(float(value), std::memory_order_relaxed);
        // The sections take a type by its whole part, so -0.5 is 0 and 6.5 is 6.
        if (parameter == 4 && value > -1.0 && value < 7.0) knobType_.store(int(value), std::memory_order_relaxed);
        break;
    case EFFECT_EQ_KILLS: {
        if (parameter < 0 || parameter > 8) break;
        const int band = parameter / 3;
        switch (parameter % 3) {
        case 0:
            eqGain_[band].store(value, std::memory_order_relaxed);
            sendEqGain(band);
            break;
        case 1:
            eq_.setParameter(band == 2 ? 7 : 4 + band, value);
            break;
        case 2:
            kill_[band].store(value > 0.5, std::memory_order_relaxed);
            sendEqGain(band);
            break;
        }
        break;
    }
    case EFFECT_TEMPO:
        tempo_.store(value, std::memory_order_relaxed);
        restartCounter_.store(true, std::memory_order_release);
        break;
    default:
        break;
    }
}

double EffectGroup::getParameter(int effect, int parameter, int) {
    switch (effect) {
    case EFFECT_STATISTICS:
        return statistics_.getParameter(parameter);
    case EFFECT_ANALYSER:
        analyserUsed_.store(true, std::memory_order_relaxed);
        return analyser_->getParameter(parameter);
    case EFFECT_TEMPO_DETECTOR:
        return analyserUsed_.load(std::memory_order_relaxed) ? analyser_->getBPMDetection()->getParameter(parameter)
                                                             : 0.0;
    case EFFECT_LIMITER:
        return limiter_.getParameter(parameter);
    case EFFECT_EQ:
        return eq_.getParameter(parameter);
    case EFFECT_ECHO:
        return echo_.getParameter(parameter);
    case EFFECT_FLANGER:
        return flanger_.getParameter(parameter);
    case EFFECT_GAPPER:
        return gapper_.getParameter(parameter);
    case EFFECT_BITCRUSHER:
        return crusherUsed_.load(std::memory_order_relaxed) ? crusher_.getParameter(parameter) : 0.0;
    case EFFECT_FILTER: {
        const double knob = knob_.load(std::memory_order_relaxed);
        if (parameter == 100) return knob;
        return (knob <= kKnobLowEnd ? lowPass_ : highPass_).getParameter(parameter);
    }
    case EFFECT_EQ_KILLS: {
        if (parameter < 0 || parameter > 8) return 0.0;
        const int band = parameter / 3;
        switch (parameter % 3) {
        case 0:
            return eqGain_[band].load(std::memory_order_relaxed);
        case 1:
            return eq_.getParameter(band == 2 ? 7 : 4 + band);
        default:
            return kill_[band].load(std::memory_order_relaxed) ? 1.0 : 0.0;
        }
    }
    case EFFECT_TEMPO:
        return tempo_.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}

void EffectGroup::process(float* left, float* right) {
    processBlock(left, right, 1);
}

void EffectGroup::processBlock(float* left, float* right, int frames) {
    // A tempo set from outside restarts the count before this block is counted.
    if (restartCounter_.load(std::memory_order_relaxed) && restartCounter_.exchange(false, std::memory_order_acquire))
        frameCounter_ = 0;
    const bool statistics = on(EFFECT_STATISTICS), clip = on(EFFECT_CLIP);
    if (statistics) statistics_.processBeforeBlock(left, right, frames);
    if (on(EFFECT_ANALYSER)) {
        // The analyser hears the input as it came; the tempo read-outs fall on frames of their own.
        for (int i = 0; i < frames; ++i) {
            if (frameCounter_ < kTempoFrames) ++frameCounter_;
            analyser_->addSample((left[i] + right[i]) / 2.0f);
            if (frameCounter_ >= kTempoFrames) {
                tempo_.store(analyser_->getBPM() * rate_.load(std::memory_order_relaxed) / 44100.0,
                             std::memory_order_relaxed);
                beats_.store(analyser_->getNrOfBeats(), std::memory_order_relaxed);
                frameCounter_ = 0;
            }
        }
    } else {
        frameCounter_ = std::min(frameCounter_ + frames, kTempoFrames);
    }

    auto each = [&](auto effect) {
        for (int i = 0; i < frames; ++i)
            effect(&left[i], &right[i]);
    };
    if (on(EFFECT_FILTER)) {
        lowPass_.processBlock(left, right, frames);
        highPass_.processBlock(left, right, frames);
    }
    if (on(EFFECT_BITCRUSHER)) each([this](float* l, float* r) { crusher_.process(l, r); });
    if (on(EFFECT_ECHO)) echo_.processBlock(left, right, frames);
    if (on(EFFECT_EQ)) eq_.processBlock(left, right, frames);
    if (on(EFFECT_FLANGER)) flanger_.processBlock(left, right, frames);
    if (on(EFFECT_GAPPER)) each([this](float* l, float* r) { gapper_.process(l, r); });
    if (on(EFFECT_REVERB)) each([this](float* l, float* r) { reverb_.process(l, r); });
    if (on(EFFECT_DC_BLOCKER) && clip) {
        float* channel[2] = {left, right};
        for (int c = 0; c < 2; ++c) {
            for (int i = 0; i < frames; ++i) {
                dcState_[c] = effectmath::flushNonNormal(dcState_[c]);
                const float in = channel[c][i];
                channel[c][i] = in - dcState_[c];
                dcState_[c] += (in - dcState_[c]) * 0.001f;
            }
        }
    }
    if (on(EFFECT_LIMITER)) limiter_.processBlock(left, right, frames);
    if (clip)
        for (int i = 0; i < frames; ++i) {
            left[i] = clip16(left[i]);
            right[i] = clip16(right[i]);
        }
    if (statistics) statistics_.processBlock(left, right, frames);
}

void EffectGroup::getImpulseResponse(float* out, int effect) {
    const float rate = rate_.load(std::memory_order_relaxed);
    const bool eq = on(EFFECT_EQ) && (effect == EFFECT_EQ || effect < 0);
    const bool knob = on(EFFECT_FILTER) && (effect == EFFECT_FILTER || effect < 0);

    // Fresh sections set to the live ones' targets: the live sections belong to the audio thread, and a
    // fresh section's history is clear, so nothing of an earlier picture leaks into this one.
    ThreeBandEQ eqCopy(rate);
    dsp::filter low(rate), high(rate);
    if (eq) {
        eqCopy.copySettingsFrom(eq_);
        eqCopy.settle();
    }
    if (knob) {
        const int type = knobType_.load(std::memory_order_relaxed);
        const float slope = knobSlope_.load(std::memory_order_relaxed);
        copyTargets(lowPass_, low, type >= 0 ? type : int(dsp::filter::LowPass), slope);
        copyTargets(highPass_, high, type >= 0 ? type : int(dsp::filter::HighPass), slope);
        low.settle();
        high.settle();
    }
    auto run = [&](float x) {
        if (eq) eqCopy.processResponse(&x);
        if (knob) {
            high.processChannel(2, &x);
            low.processChannel(2, &x);
        }
        return x;
    };
    for (int i = 0; i < kResponseFrames; ++i)
        responseAnalyser_->addSample(run(i == kResponseFrames / 2 ? 32767.0f : 0.0f));
    responseAnalyser_->getMostRecentData(out);
}
