// Writes, relative writes and resets of the application's values, from slider and knob drags,
// scripts, keyboard mappings and controllers.
#include "ui/TarlumeSkinInterface.h"

#include "audio/effects/EffectGroup.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"

#include <algorithm>
#include <cmath>

namespace {

enum { ECHO_SOURCE = 3 }; // the dry level of the echo effect

// The beat fraction "effectbpmaligned" snaps a number of beats to.
double snapBeats(double v) {
    if (v < 0.13) return 1.0 / 8;
    if (v < 0.33) return 1.0 / 4;
    if (v < 0.66) return 1.0 / 2;
    if (v < 0.88) return 3.0 / 4;
    if (v < 1.5) return 1.0;
    if (v < 3.0) return 2.0;
    if (v < 6.0) return 4.0;
    if (v < 12.0) return 8.0;
    return std::floor(v + 0.5);
}

// Ids this class serves or recognises: the generic ones below 32 but "option" and "searchfield"
// belong to the base.
bool isApplicationId(int id) {
    return id >= VALUE_PLAY || id == VALUE_OPTION || id == VALUE_SEARCHFIELD;
}

} // namespace

void TarlumeSkinInterface::writeEffectParam(const std::string* spec, int deck, double v) {
    const tEffectParam* row = findEffectParam(spec);
    TarlumePlayer* p = deckAt(deck);
    if (!row || !p) return;
    if (row->effect == tEffectParam::EFFECT_TEMPOCONTROL) {
        // The key-lock tempo is a speed ratio: the knob's 0..1 does not bound it.
        (row->parameter == tEffectParam::TEMPO_AMOUNT ? p->tempoControlAmount : p->tempoControlTempo) = v;
        p->updateTempoControl();
        return;
    }
    EffectGroup* chain = p->effects;
    if (!chain) return;
    // Outside its range an effect can misbehave on the audio thread (a flanger sweep of period 0
    // never ends, an echo longer than its ring reads outside it).
    v = std::min(std::max(v, row->min), row->max);
    chain->setParameter(row->effect, row->parameter, v, 0);
    if (equalsName(spec, "echo_echo_mutemax")) {
        // The knob's end leaves only the echoes; turning it back brings the source back.
        if (v >= 0.99)
            chain->setParameter(EFFECT_ECHO, ECHO_SOURCE, 0.0, 0);
        else if (chain->getParameter(EFFECT_ECHO, ECHO_SOURCE, 0) <= 0.01)
            chain->setParameter(EFFECT_ECHO, ECHO_SOURCE, 1.0, 0);
    }
}

void TarlumeSkinInterface::setValueDbl(int id, std::string* spec, int deck, double v) {
    TarlumePlayer* p = deckAt(deck);
    if (!p || !isApplicationId(id)) return SkinInterface::setValueDbl(id, spec, deck, v);
    // A value that is no number would reach the engine's fields and the saved settings.
    if (!std::isfinite(v)) return;
    switch (id) {
    case VALUE_VOLUME_MASTER:
        engine->setVolumeMaster(v);
        break;
    case VALUE_VOLUME_CUEMASTER:
        engine->setVolumeCueMaster(v);
        break;
    case VALUE_VOLUME_PLAYER:
        p->setVolume(v);
        break;
    case VALUE_VOLUME_CUE:
        p->setVolumeCue(v);
        break;
    case VALUE_VOLUME_CUEALLCHANNELS:
        engine->setVolumeCue(v);
        break;
    case VALUE_CROSSFADER:
        engine->setCrossfader(v, false);
        engine->setCrossfader(v, true);
        break;
    case VALUE_CROSSFADERTO:
        engine->setCrossfader(v, true);
        break;
    case VALUE_VIDEOCROSSFADER:
        engine->setCrossfaderVideo(v, false);
        engine->setCrossfaderVideo(v, true);
        break;
    case VALUE_CROSSFADERSPEED:
        engine->crossfaderSpeed = v;
        break;
    case VALUE_CROSSFADERCURVE:
        engine->crossfaderSteepness = v;
        engine->setCrossfader(engine->getCrossfader(false), false);
        break;
    case VALUE_CROSSFADERSELECTION:
        // Only the three sides exist.
        if (v >= 0.0 && v < 3.0) p->setCrossfaderSide(enCrossfaderSide(int(v)));
        break;
    case VALUE_PAN_LR:
        p->setPanLR(v);
        break;
    case VALUE_PITCH:
        p->setPitch(v / 100.0 + 1.0, true);
        break;
    case VALUE_PITCHTO:
        p->setPitchTo(v / 100.0 + 1.0);
        break;
    case VALUE_PITCHRANGE:
        // The pitch sliders span minus to plus the range: it must stay above 0.
        if (v > 0.0) p->pitchRange = v;
        break;
    case VALUE_PITCHBRAKESPEED:
        p->brakeTime = v;
        break;
    case VALUE_PITCHSTARTUPSPEED:
        p->startupTime = v;
        break;
    case VALUE_TIMEELAPSED:
        p->setPosition(v);
        break;
    case VALUE_LOOP_MOVE: {
        // The running loop starts at v ms and keeps its length.
        double framesPerMs = p->getSamplerate() / 1000.0;
        double start = p->getParam(PLAYERPARAM_LOOPSTART), end = p->getParam(PLAYERPARAM_LOOPEND);
        p->setParam(PLAYERPARAM_LOOPSTART, v * framesPerMs, 0);
        p->setParam(PLAYERPARAM_LOOPEND, end + (v - start / framesPerMs) * framesPerMs, 0);
        break;
    }
    case VALUE_EFFECT:
        writeEffectParam(spec, deck, v);
        break;
    case VALUE_EFFECTBPM:
        writeEffectParam(spec, deck, v * samplesPerBeat(p));
        break;
    case VALUE_EFFECTBPMALIGNED:
        setValueDbl(VALUE_EFFECTBPM, spec, deck, snapBeats(v));
        break;
    case VALUE_WAVEFORMZOOM:
        engine->waveformZoom = v * v;
        break;
    case VALUE_VINYLCONTROL_SPEEDMULTIPLIER:
        p->setVCSpeedMultiplier(v);
        break;
    case VALUE_OPTION:
        if (spec && *spec == "vc_gain")
            p->setVCGain(float(v));
        else if (spec && *spec == "vc_pitchvariance")
            p->setVCPitchVariance(float(v));
        break;
    default:
        SkinInterface::setValueDbl(id, spec, deck, v);
        break;
    }
}

void TarlumeSkinInterface::setValueDblRelative(int id, std::string* spec, int deck, double r) {
    if (!deckAt(deck)) return SkinInterface::setValueDblRelative(id, spec, deck, r);
    if (id == VALUE_EFFECTBPMALIGNED) {
        // The knob reaches 1/32 and 1/16 beat, which the snapping of typed values does not.
        static const double beats[] = {1.0 / 32, 1.0 / 16, 1.0 / 8, 1.0 / 4, 1.0 / 2, 3.0 / 4, 1.0, 2.0, 4.0, 8.0};
        double k = std::floor(r * 9.0 + 0.5);
        setValueDbl(VALUE_EFFECTBPM, spec, deck, k >= 0.0 && k <= 9.0 ? beats[int(k)] : 4.0);
        return;
    }
    // A position past either end (a controller's rotary or relative slider turned on, a script's sum) holds
    // at that end: a relative write never takes a value out of its range.
    if (std::isnan(r)) return;
    r = std::clamp(r, 0.0, 1.0);
    if (id == VALUE_EFFECT && equalsName(spec, "amp_set")) {
        double top = getValueDblMax(id, spec, deck);
        setValueDbl(id, spec, deck, r <= 0.5 ? 2.0 * r : 1.0 + (r - 0.5) * 2.0 * (top - 1.0));
        return;
    }
    SkinInterface::setValueDblRelative(id, spec, deck, r);
}

void TarlumeSkinInterface::turnValue(int id, std::string* spec, int deck, double delta) {
    // Values counted in milliseconds, percent or beats have no range of a slider's: a turn moves them as far as it
    // goes (a loop along the track, the pitch range), and their own setters keep them where they may be.
    const bool unranged = id == VALUE_LOOP_MOVE || id == VALUE_PITCHRANGE || id == VALUE_EFFECTBPM ||
                          id == VALUE_EFFECTBPMALIGNED || id == VALUE_OPTION;
    if (!deckAt(deck) || !isApplicationId(id) || unranged)
        return SkinInterface::handleJogWheel(id, spec, deck, delta, 1.0, -1.0);
    // Held inside the value's range, as a drag of its slider is, however far the wheel turns.
    double v = getValueDbl(id, spec, deck) + delta;
    const double lo = getValueDblMin(id, spec, deck), hi = getValueDblMax(id, spec, deck);
    if (hi > lo) v = std::clamp(v, lo, hi);
    setValueDbl(id, spec, deck, v);
}

void TarlumeSkinInterface::resetValue(int id, std::string* spec, int deck) {
    if (!deckAt(deck) || !isApplicationId(id)) return SkinInterface::resetValue(id, spec, deck);
    double v = 0.5;
    switch (id) {
    case VALUE_EFFECT: {
        const tEffectParam* row = findEffectParam(spec);
        v = row ? row->reset : 0.0;
        break;
    }
    case VALUE_PAN_LR:
        v = 0.5;
        break;
    case VALUE_VOLUME_PLAYER:
        v = 0.99;
        break;
    case VALUE_VOLUME_MASTER:
    case VALUE_VOLUME_MASTERTO:
        v = 1.0;
        break;
    case VALUE_WAVEFORMZOOM:
        v = std::sqrt(40.0);
        break;
    case VALUE_PITCH:
    case VALUE_PITCHTO:
        v = 0.0; // percent: the middle of the fader, not half a percent off it
        break;
    // The headphone knobs go back where the program starts them: the mix to the cued decks alone, the
    // level to full.
    case VALUE_VOLUME_CUEMASTER:
        v = 0.0;
        break;
    case VALUE_VOLUME_CUEALLCHANNELS:
        v = 1.0;
        break;
    // The timecode sliders too: half of either would halve the record's gain, or let its speed wander 1,600
    // times as far.
    case VALUE_OPTION:
        if (spec && *spec == "vc_gain")
            v = TarlumePlayer::kVCGain;
        else if (spec && *spec == "vc_pitchvariance")
            v = TarlumePlayer::kVCPitchVariance;
        break;
    default:
        break;
    }
    setValueDbl(id, spec, deck, v);
}
