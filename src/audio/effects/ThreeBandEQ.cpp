#include "audio/effects/ThreeBandEQ.h"

#include <cmath>
#include <initializer_list>

namespace {

constexpr float kBoostDb = 12.0f;    // full boost of a band
constexpr float kShelfCutDb = 32.0f; // full cut of the low and high shelves in layout 0
constexpr int kSplit = 2;            // layout that splits the mid out of the signal

} // namespace

ThreeBandEQ::ThreeBandEQ(float sampleRate)
    : a0_(sampleRate), a1_(sampleRate), a2_(sampleRate), a3_(sampleRate), b0_(sampleRate), b1_(sampleRate),
      b2_(sampleRate), b3_(sampleRate), a_{&a0_, &a1_, &a2_, &a3_}, b_{&b0_, &b1_, &b2_, &b3_}, rate_(sampleRate) {
    layout(0);
    for (int band = 0; band < kBands; ++band) {
        a_[band]->setFrequency(0);
        b_[band]->setFrequency(0);
    }
}

void ThreeBandEQ::setSamplerate(double rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return;
    rate_.store(float(rate), std::memory_order_relaxed);
    for (int band = 0; band < kBands; ++band) {
        a_[band]->setSamplerate(float(rate));
        b_[band]->setSamplerate(float(rate));
    }
}

// Sections of each layout. Leaving layout 2 puts the mids back at their own frequencies, and the stored
// gains are sent again, since a gain means dB on a shelf but a wet amount on a low- or high-pass.
void ThreeBandEQ::layout(int type) {
    using F = dsp::filter;
    if (type == 0 || type == 1) {
        if (type == 0) {
            a0_.setType(F::LowShelf);
            a3_.setType(F::HighShelf);
        } else {
            a0_.setType(F::HighPass);
            a0_.setBandwidth(2.0f);
            a3_.setType(F::LowPass);
            a3_.setBandwidth(2.0f);
        }
        b0_.setType(F::LowShelf);
        a1_.setType(F::Peaking);
        a1_.setBandwidth(5.0f);
        a1_.setFrequency(b1_.getFrequency());
        b1_.setType(F::Peaking);
        b1_.setBandwidth(4.5f);
        a2_.setGain(0.0f);
        a2_.setFrequency(b2_.getFrequency());
        b3_.setType(F::HighShelf);
    } else if (type == kSplit) {
        a0_.setType(F::HighPass);
        a0_.setBandwidth(1.5f);
        b0_.setType(F::LowShelf);
        a1_.setType(F::LowPass);
        a1_.setBandwidth(1.5f);
        a1_.setGain(-1.0f);
        a1_.setFrequency(b0_.getFrequency() / 2.0f);
        b1_.setType(F::HighShelf);
        a2_.setType(F::HighPass);
        a2_.setBandwidth(1.5f);
        a2_.setGain(-1.0f);
        a2_.setFrequency(b3_.getFrequency() * 1.6f);
        b2_.setType(F::LowShelf);
        a3_.setType(F::LowPass);
        a3_.setBandwidth(1.5f);
        b3_.setType(F::HighShelf);
    }
}

void ThreeBandEQ::applyGain(int band, double v) {
    const int type = type_.load(std::memory_order_relaxed);
    const float g = float(v);
    if (type == kSplit && (band == 1 || band == 2)) {
        // The mid cuts by splitting (see process); only a mid boost uses a section.
        if (band == 1 && g > 0.0f) b1_.setGain(kBoostDb * g);
        return;
    }
    if (g < 0.0f) {
        const bool shelfCut = type == 0 && (band == 0 || band == 3);
        a_[band]->setGain(shelfCut ? -kShelfCutDb * g * g : g);
        b_[band]->setGain(0.0f);
    } else if (band == 3) {
        a3_.setGain(kBoostDb * g);
        b3_.setGain(0.0f);
    } else {
        a_[band]->setGain(0.0f);
        b_[band]->setGain(kBoostDb * g);
    }
}

void ThreeBandEQ::setParameter(int id, double value) {
    if (!std::isfinite(value)) return;
    const int type = type_.load(std::memory_order_relaxed);
    const float hz = float(value);
    switch (id) {
    case 0:
    case 1:
    case 2:
    case 3: {
        const double v = value < -1.0 ? -1.0 : value > 1.0 ? 1.0 : value; // beyond +-1 the split scale turns negative
        applyGain(id, v);
        gain_[id].store(v, std::memory_order_relaxed);
        break;
    }
    case 4:
        b0_.setFrequency(hz);
        a0_.setFrequency(hz);
        if (type == kSplit) a1_.setFrequency(hz / 2.0f);
        break;
    case 5:
        b1_.setFrequency(hz);
        if (type != kSplit) a1_.setFrequency(hz);
        break;
    case 6:
        b2_.setFrequency(hz);
        if (type != kSplit) a2_.setFrequency(hz);
        break;
    case 7:
        b3_.setFrequency(hz);
        a3_.setFrequency(hz);
        if (type == kSplit) a2_.setFrequency(hz * 1.6f);
        break;
    case 8: {
        const int t = int(value < -1.0 ? -1.0 : value > 1e6 ? 1e6 : value);
        if (t == type) break;
        type_.store(t, std::memory_order_relaxed);
        layout(t);
        if (t >= 0 && t <= kSplit) laidOut_.store(t, std::memory_order_relaxed);
        for (int band = 0; band < kBands; ++band)
            applyGain(band, gain_[band].load(std::memory_order_relaxed));
        break;
    }
    default:
        break;
    }
}

double ThreeBandEQ::getParameter(int id) const {
    if (id >= 0 && id < kBands) return gain_[id].load(std::memory_order_relaxed);
    if (id >= 4 && id < 4 + kBands) return b_[id - 4]->getFrequency();
    if (id == 8) return type_.load(std::memory_order_relaxed);
    return 0.0;
}

template <typename Apply> void ThreeBandEQ::run(float* left, float* right, Apply apply) {
    if (type_.load(std::memory_order_relaxed) != kSplit) {
        for (int band = 0; band < kBands; ++band) {
            apply(*b_[band], left, right);
            apply(*a_[band], left, right);
        }
        return;
    }
    apply(b0_, left, right);
    apply(a0_, left, right);
    apply(b3_, left, right);
    apply(a3_, left, right);
    const float low = float(gain_[0].load(std::memory_order_relaxed));
    const float mid = float(gain_[1].load(std::memory_order_relaxed));
    const float high = float(gain_[3].load(std::memory_order_relaxed));
    if (mid < 0.0f) {
        // Low and high sides split off and kept; the middle between them fades out with the cut.
        float lowL = *left, lowR = *right, highL = *left, highR = *right;
        apply(a1_, &lowL, &lowR);
        apply(a2_, &highL, &highR);
        *left = (1.0f + mid) * *left - mid * (lowL + highL);
        *right = (1.0f + mid) * *right - mid * (lowR + highR);
    } else if (mid > 0.0f) {
        apply(b1_, left, right);
    }
    float top = low > mid ? low : mid;
    if (high > top) top = high;
    if (top < -0.6f) {
        // Every band nearly killed: fade the rest out so all three at -1 is silence.
        const float scale = (top + 1.0f) / 0.4f;
        *left *= scale;
        *right *= scale;
    }
}

void ThreeBandEQ::process(float* left, float* right) {
    run(left, right, [](dsp::filter& f, float* l, float* r) { f.process(l, r); });
}

void ThreeBandEQ::processBlock(float* left, float* right, int frames) {
    if (type_.load(std::memory_order_relaxed) == kSplit) {
        // The split layout mixes its sections by the gains of each frame.
        for (int i = 0; i < frames; ++i)
            process(&left[i], &right[i]);
        return;
    }
    // The sections in a row: each takes the whole block in turn, as each frame would have passed them.
    for (int band = 0; band < kBands; ++band) {
        b_[band]->processBlock(left, right, frames);
        a_[band]->processBlock(left, right, frames);
    }
}

void ThreeBandEQ::processResponse(float* sample) {
    float unused = 0.0f;
    run(sample, &unused, [](dsp::filter& f, float* s, float*) { f.processChannel(2, s); });
}

void ThreeBandEQ::copySettingsFrom(const ThreeBandEQ& other) {
    setSamplerate(other.rate_.load(std::memory_order_relaxed));
    // The layout first (type 3 keeps whichever layout came before it), then frequencies, then gains.
    setParameter(8, other.laidOut_.load(std::memory_order_relaxed));
    setParameter(8, other.type_.load(std::memory_order_relaxed));
    for (int band = 0; band < kBands; ++band)
        setParameter(4 + band, other.b_[band]->getFrequency());
    for (int band = 0; band < kBands; ++band)
        setParameter(band, other.gain_[band].load(std::memory_order_relaxed));
}

void ThreeBandEQ::settle() {
    for (int band = 0; band < kBands; ++band) {
        a_[band]->settle();
        b_[band]->settle();
    }
}
