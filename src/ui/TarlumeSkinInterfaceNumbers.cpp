// Numbers, bounds and relative positions of the application's values. Every visible slider, knob
// and meter reads here each frame, so nothing allocates.
#include "ui/TarlumeSkinInterface.h"

#include "audio/effects/EffectGroup.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"

#include <algorithm>
#include <cmath>

namespace {

// Effect ids and parameters the meters read.
enum { STATS_CLIP = 0, STATS_PEAK_LEFT = 3, STATS_PEAK_RIGHT = 4, LIMITER_GAIN = 10 };

// The limiter's present gain, 1 when idle or not running.
double limiterGain(EffectGroup* chain) {
    double g = chain ? chain->getParameter(EFFECT_LIMITER, LIMITER_GAIN, 0) : 1.0;
    return g > 0.0 ? g : 1.0;
}

double clipValue(EffectGroup* chain) {
    return chain ? 10.0 * chain->getParameter(EFFECT_STATISTICS, STATS_CLIP, 0) : 0.0;
}

double peakLevel(EffectGroup* chain, const std::string* spec) {
    if (!chain) return 0.0;
    double left = chain->getParameter(EFFECT_STATISTICS, STATS_PEAK_LEFT, 0);
    double right = chain->getParameter(EFFECT_STATISTICS, STATS_PEAK_RIGHT, 0);
    if (spec && *spec == "1") return left / 32768.0;
    if (spec && *spec == "2") return right / 32768.0;
    return (left + right) / 65536.0;
}

bool isNamed(const std::string* spec, const char* name) {
    return spec && *spec == name;
}

} // namespace

TarlumePlayer* TarlumeSkinInterface::deckAt(int deck) const {
    return engine && isValidDeck(deck) ? engine->players[deck] : nullptr;
}

int TarlumeSkinInterface::slotOf(const std::string* spec, int last) {
    double n = getDblFromValSpec(spec, 0.0);
    return n >= 1.0 && n < last + 1.0 ? int(n) : 0;
}

double TarlumeSkinInterface::samplesPerBeat(TarlumePlayer* p) const {
    return 60.0 / p->getBPM(true, true, false) * engine->getSamplerate();
}

// Gain reduction in dB of the limiters a specifier names: all chains together, "pl" this deck's, a
// number n the master's (below 0), deck n's (0..3) or none (4 and more).
double TarlumeSkinInterface::limiterReduction(const std::string* spec, int deck) const {
    EffectGroup* master = engine->masterEffects.get();
    double g = 1.0;
    if (!spec || spec->empty()) {
        g = limiterGain(master);
        for (int d = 0; d < Tarlume::kDecks; ++d) {
            EffectGroup* chain = engine->players[d] ? engine->players[d]->effects : nullptr;
            double gd = chain ? chain->getParameter(EFFECT_LIMITER, LIMITER_GAIN, 0) : 0.0;
            if (gd > 0.0) g *= gd;
        }
    } else if (*spec == "pl") {
        g = limiterGain(deckAt(deck)->effects);
    } else {
        double n = getDblFromValSpec(spec, 0.0);
        if (n < 0.0)
            g = limiterGain(master);
        else if (n < Tarlume::kDecks)
            g = limiterGain(deckAt(int(n)) ? deckAt(int(n))->effects : nullptr);
    }
    return -20.0 * std::log10(g);
}

double TarlumeSkinInterface::clipping(const std::string* spec, int deck) const {
    EffectGroup* master = engine->masterEffects.get();
    if (!spec || spec->empty()) {
        double most = clipValue(master);
        for (int d = 0; d < Tarlume::kDecks; ++d)
            if (engine->players[d]) most = std::max(most, clipValue(engine->players[d]->effects));
        return most;
    }
    if (*spec == "pl") return clipValue(deckAt(deck)->effects);
    double n = getDblFromValSpec(spec, 0.0);
    if (n < 0.0) return clipValue(master);
    if (n < Tarlume::kDecks && deckAt(int(n))) return clipValue(deckAt(int(n))->effects);
    return 0.0;
}

// The value of a readable effect-parameter name; false for a name that has none.
bool TarlumeSkinInterface::readEffectParam(const std::string* spec, int deck, double* value) {
    const tEffectParam* row = findEffectParam(spec);
    TarlumePlayer* p = deckAt(deck);
    // The mute rule is only a way of writing the echo amount.
    if (!row || !p || equalsName(spec, "echo_echo_mutemax")) return false;
    if (row->effect == tEffectParam::EFFECT_TEMPOCONTROL) {
        *value = row->parameter == tEffectParam::TEMPO_AMOUNT ? p->tempoControlAmount : p->tempoControlTempo;
        return true;
    }
    if (!p->effects) return false;
    *value = p->effects->getParameter(row->effect, row->parameter, 0);
    return true;
}

double TarlumeSkinInterface::getValueDbl(int id, std::string* spec, int deck) {
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::getValueDbl(id, spec, deck);
    switch (id) {
    case VALUE_VOLUME_MASTER:
        return engine->getVolumeMaster();
    case VALUE_VOLUME_CUEMASTER:
        return engine->getVolumeCueMaster();
    case VALUE_VOLUME_PLAYER:
        return p->getVolume();
    case VALUE_VOLUME_CUE:
        return p->getVolumeCue();
    case VALUE_VOLUME_CUEALLCHANNELS:
        return engine->getVolumeCue();
    case VALUE_CROSSFADER:
        return engine->getCrossfader(false);
    case VALUE_CROSSFADERTO:
        return engine->getCrossfader(true);
    case VALUE_CROSSFADERSPEED:
        return engine->crossfaderSpeed;
    case VALUE_CROSSFADERSELECTION:
        return p->getCrossfaderSide();
    case VALUE_CROSSFADERCURVE:
        return engine->crossfaderSteepness;
    case VALUE_PAN_LR:
        return p->getPanLR();
    case VALUE_VIDEOCROSSFADER:
        return engine->getCrossfaderVideo(false);
    case VALUE_CUEPOINT: {
        int slot = slotOf(spec, TarlumePlayer::kSlots);
        return slot ? p->getCuePoint(slot) : p->cuePoint;
    }
    case VALUE_DISC:
    case VALUE_TIMEELAPSED:
        return p->getPosition();
    case VALUE_PITCH:
        return (p->getPitch(false) - 1.0) * 100.0;
    case VALUE_PITCHTO:
        return (p->getPitchTo() - 1.0) * 100.0;
    case VALUE_PITCHRANGE:
        return p->pitchRange;
    case VALUE_PITCHBRAKESPEED:
        return p->brakeTime;
    case VALUE_PITCHSTARTUPSPEED:
        return p->startupTime;
    case VALUE_VU_PLAYER:
        return peakLevel(p->effects, spec);
    case VALUE_VU_MASTER:
        return peakLevel(engine->masterEffects.get(), spec);
    case VALUE_LIMITER_CURRENT:
        return limiterReduction(spec, deck);
    case VALUE_CLIPPING:
        return clipping(spec, deck);
    case VALUE_LOOP_MOVE:
        return p->getParam(PLAYERPARAM_LOOPSTART) / (p->getSamplerate() / 1000.0);
    case VALUE_EFFECT: {
        double v = 0.0;
        return readEffectParam(spec, deck, &v) ? v : SkinInterface::getValueDbl(id, spec, deck);
    }
    case VALUE_EFFECTBPM:
    case VALUE_EFFECTBPMALIGNED: {
        double v = 0.0;
        if (!readEffectParam(spec, deck, &v)) return SkinInterface::getValueDbl(id, spec, deck);
        return v / samplesPerBeat(p);
    }
    case VALUE_WAVEFORMZOOM:
        return std::sqrt(std::max(0.0, engine->waveformZoom));
    case VALUE_CPUUSAGE:
        return engine->getCPUUsage();
    case VALUE_VINYLCONTROL_QUALITY:
        return p->timecodeQuality;
    case VALUE_VINYLCONTROL_SPEEDMULTIPLIER:
        return p->vcSpeedMultiplier;
    case VALUE_OPTION:
        if (isNamed(spec, "vc_gain")) return p->vcGain;
        if (isNamed(spec, "vc_pitchvariance")) return p->vcPitchVariance;
        return SkinInterface::getValueDbl(id, spec, deck);
    default:
        return SkinInterface::getValueDbl(id, spec, deck);
    }
}

double TarlumeSkinInterface::getValueDblMin(int id, std::string* spec, int deck) {
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::getValueDblMin(id, spec, deck);
    switch (id) {
    case VALUE_PITCH:
    case VALUE_PITCHTO:
        return -p->pitchRange;
    case VALUE_PITCHBRAKESPEED:
    case VALUE_PITCHSTARTUPSPEED:
    case VALUE_CROSSFADERSELECTION:
    case VALUE_CUEPOINT:
    case VALUE_TIMEELAPSED:
    case VALUE_LIMITER_CURRENT:
    case VALUE_VINYLCONTROL_SPEEDMULTIPLIER:
    case VALUE_VINYLCONTROL_QUALITY:
        return 0.0;
    case VALUE_CROSSFADERSPEED:
        return 0.05;
    case VALUE_WAVEFORMZOOM:
        return 2.23;
    case VALUE_EFFECT: {
        const tEffectParam* row = findEffectParam(spec);
        return row ? row->min : SkinInterface::getValueDblMin(id, spec, deck);
    }
    default:
        return SkinInterface::getValueDblMin(id, spec, deck);
    }
}

double TarlumeSkinInterface::getValueDblMax(int id, std::string* spec, int deck) {
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::getValueDblMax(id, spec, deck);
    switch (id) {
    case VALUE_PITCH:
    case VALUE_PITCHTO:
        return p->pitchRange;
    case VALUE_PITCHBRAKESPEED:
    case VALUE_PITCHSTARTUPSPEED:
        return 10000.0;
    case VALUE_CROSSFADERSPEED:
        return 30.0;
    case VALUE_CROSSFADERSELECTION:
    case VALUE_VINYLCONTROL_SPEEDMULTIPLIER:
        return 2.0;
    case VALUE_CUEPOINT:
    case VALUE_TIMEELAPSED:
        return p->player ? p->getParam(PLAYERPARAM_LENGTH) / (p->getSamplerate() / 1000.0) : 0.0;
    case VALUE_LIMITER_CURRENT:
        return 12.0;
    case VALUE_WAVEFORMZOOM:
        return 20.0;
    case VALUE_VINYLCONTROL_QUALITY:
        return TarlumePlayer::kTimecodeQualityMax;
    case VALUE_EFFECT: {
        const tEffectParam* row = findEffectParam(spec);
        return row ? row->max : SkinInterface::getValueDblMax(id, spec, deck);
    }
    default:
        return SkinInterface::getValueDblMax(id, spec, deck);
    }
}

double TarlumeSkinInterface::getValueDblRelative(int id, std::string* spec, int deck) {
    if (!deckAt(deck)) return SkinInterface::getValueDblRelative(id, spec, deck);
    double v = getValueDbl(id, spec, deck);
    if (id == VALUE_EFFECTBPMALIGNED) {
        // Ten steps: 1/32, 1/16, 1/8, 1/4, 1/2, 3/4, 1, 2, 4 beats and more.
        static const double steps[] = {1.0 / 32, 1.0 / 16, 1.0 / 8, 1.0 / 4, 1.0 / 2, 3.0 / 4, 1.0, 2.0, 4.0};
        for (int k = 0; k < 9; ++k)
            if (v <= steps[k]) return k / 9.0;
        return 1.0;
    }
    double lo = getValueDblMin(id, spec, deck), hi = getValueDblMax(id, spec, deck);
    // A range that is empty or not a number has no position on a slider: 0, never NaN.
    if (!(hi > lo) || !std::isfinite(v)) return 0.0;
    if (id == VALUE_EFFECT && equalsName(spec, "amp_set")) {
        // Unity gain sits at the middle of the knob.
        if (v <= 1.0) return std::max(0.0, v * 0.5);
        return hi > 1.0 ? std::min(1.0, 0.5 + 0.5 * (v - 1.0) / (hi - 1.0)) : 1.0;
    }
    double r = (std::min(std::max(v, lo), hi) - lo) / (hi - lo);
    return std::isfinite(r) ? r : 0.0;
}
