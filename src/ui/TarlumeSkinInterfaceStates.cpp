// Lit states and texts of the application's values: buttons and LEDs ask each frame whether they
// are lit, texts and controller displays ask for their text.
#include "ui/TarlumeSkinInterface.h"
#include "ui/TarlumeMenus.h"

#include "audio/effects/EffectGroup.h"
#include "audio/vinyl/FinalScratch.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"

#include <cmath>
#include <cstring>

namespace {

// Timecode decoder parameters shown here.
enum { TIMECODE_MODE = 14, TIMECODE_TYPE = 20 };

bool beginsWith(const std::string* spec, const char* prefix) {
    return spec && spec->compare(0, std::strlen(prefix), prefix) == 0;
}

bool playing(TarlumePlayer* p) {
    return p->getParam(PLAYERPARAM_PLAYING) > 0.5;
}

// Seconds of text for a time in milliseconds.
std::string timeText(double ms, int decimals) {
    return strFromTime(float(ms / 1000.0), decimals);
}

// A loop length in beats: one decimal, but under a beat as many as the length needs (up to three), so a quarter
// reads 0.25 and an eighth 0.125, not 0.2 and 0.1.
std::string beatsText(double beats) {
    int decimals = 1;
    while (std::fabs(beats) < 1.0 && decimals < 3 &&
           std::fabs(std::round(beats * std::pow(10.0, decimals)) / std::pow(10.0, decimals) - beats) > 0.001)
        ++decimals;
    return dblToStr(beats, decimals);
}

// The time displays blink faster as the end of the track comes near.
bool endOfTrackBlink(TarlumePlayer* p) {
    double position = p->getPosition();
    double length = p->endFound ? p->musicEnd : p->getLength();
    double left = length - position;
    if (!std::isfinite(position) || std::fabs(position) > 2e9) return false;
    int t = int(position);
    if (left < 10000.0) return t % 400 > 200;
    if (left < 30000.0) return t % 1000 > 500;
    if (left < 60000.0) return t % 5000 < 800;
    return false;
}

const char* timecodeCode(int type) {
    static const char* const codes[] = {"FS ", "VDJ ", "SSL ", "MSP ", "TLM ", "MV ", "TS "};
    return type >= 0 && type < 7 ? codes[type] : "";
}

std::string vinylTypeName(int type) {
    switch (type) {
    case 0:
        return "Final Scratch";
    case 1:
        return "VirtualDJ";
    case 2:
        return "Serato Scratch Live";
    case 4:
        return "tarlume";
    case 6:
        return "Traktor Scratch";
    default:
        return intToStr(type);
    }
}

} // namespace

bool TarlumeSkinInterface::getValueBool(int id, std::string* spec, int deck, SkinWindow* window) {
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::getValueBool(id, spec, deck, window);
    switch (id) {
    case VALUE_PAUSE:
        return playing(p);
    case VALUE_CUE:
        return std::fabs(p->getPosition() - p->cuePoint) < 10.0;
    case VALUE_CUEREC:
        return p->cueStoreArmed;
    case VALUE_CUEDEL:
        return p->cueDeleteArmed;
    case VALUE_CUEPOINT:
    case VALUE_CUEPOINTSET: {
        int slot = slotOf(spec, TarlumePlayer::kSlots);
        if (!slot) return p->cuePoint > 0.0;
        double cue = p->getCuePoint(slot);
        return cue > 0.0 && cue < p->getLength();
    }
    case VALUE_CUEPOINTACTIVE: {
        int slot = slotOf(spec, 20);
        if (slot) return p->cuePoint > 0.0 && p->cuePoint == p->getCuePoint(slot);
        return std::fabs(p->cuePoint - p->getPosition()) < 10.0;
    }
    case VALUE_CROSSFADERSELECTION:
        return (beginsWith(spec, "left") && p->getCrossfaderSide() == CROSSFADER_LEFT) ||
               (beginsWith(spec, "right") && p->getCrossfaderSide() == CROSSFADER_RIGHT) ||
               (beginsWith(spec, "none") && p->getCrossfaderSide() == CROSSFADER_NONE);
    case VALUE_PITCHRESET:
        return std::fabs(p->getPitchTo() - 1.0) < 0.001;
    case VALUE_PITCH_REVERSE:
        return p->pitchMode == PITCHMODE_REVERSE;
    case VALUE_TIMEINFO:
    case VALUE_TIMEREMAINING:
    case VALUE_TIMEELAPSED:
        return endOfTrackBlink(p);
    case VALUE_LOOP: {
        if (!p->loopIsStarted()) return SkinInterface::getValueBool(id, spec, deck, window);
        double beats = getDblFromValSpec(spec, 0.0);
        return beats <= 0.0 || std::fabs(p->loopGetLength() - beats) < 0.1;
    }
    case VALUE_LOOP_SETIN:
        return p->loopInMark >= 0.0;
    case VALUE_LOOPTRACK:
        return p->getParam(PLAYERPARAM_LOOPTRACK) > 0.5;
    case VALUE_LOOP_STORE:
    case VALUE_LOOP_RETRIEVE:
    case VALUE_LOOP_RETRIEVEACTIVE: {
        int slot = slotOf(spec, TarlumePlayer::kSlots);
        if (!slot || !(p->getLoopIn(slot) > 0.0 && p->getLoopOut(slot) > 0.0)) return false;
        if (id != VALUE_LOOP_RETRIEVEACTIVE) return true;
        if (!p->loopIsStarted()) return false;
        double msPerFrame = 1000.0 / p->getSamplerate();
        return std::fabs(p->getParam(PLAYERPARAM_LOOPSTART) * msPerFrame - p->getLoopIn(slot)) < 2.0 &&
               std::fabs(p->getParam(PLAYERPARAM_LOOPEND) * msPerFrame - p->getLoopOut(slot)) < 2.0;
    }
    case VALUE_EFFECT: {
        static const char* const kills[] = {"eq_low_kill", "eq_mid_kill", "eq_high_kill"};
        for (int i = 0; i < 3; ++i)
            if (equalsName(spec, kills[i]))
                return p->effects && p->effects->getParameter(EFFECT_EQ_KILLS, 2 + 3 * i, 0) > 0.5;
        return SkinInterface::getValueBool(id, spec, deck, window);
    }
    case VALUE_EFFECTONOFF: {
        int effect = effectOfName(spec);
        if (effect == EFFECTNAME_TEMPOCONTROL) return p->tempoControl;
        if (effect == EFFECTNAME_NONE || !p->effects) return SkinInterface::getValueBool(id, spec, deck, window);
        if (effect == EFFECTNAME_ECHO) return p->effects->getParameter(EFFECT_ECHO, 2, 0) > 0.0;
        return p->effects->getEffectState(effect) > 0;
    }
    case VALUE_CUEPREFX:
        return engine->cueBeforeEffects.load(std::memory_order_relaxed);
    case VALUE_BPM:
        return p->bpmConfidence >= 60;
    case VALUE_MATCHBPM: {
        TarlumePlayer* other = engine->players[deck == 1 ? 0 : 1];
        // Two decks without a tempo do not match: each only reads the deck's first tempo.
        if (!other || !p->hasTempo(false) || !other->hasTempo(false)) return false;
        return std::fabs(std::fabs(p->getBPM(true, true, false)) - std::fabs(other->getBPM(true, true, false))) < 0.1;
    }
    case VALUE_RECORD_QUICK:
        return engine->isRecording();
    case VALUE_CROSSFADERSLOCK:
        return engine->crossfaderVideoLinked;
    case VALUE_LINEINPUT:
        return p->inputPassthrough && p->inputIndex >= 0;
    case VALUE_VINYLCONTROL:
        return p->vinylControl;
    case VALUE_VINYL_MODE:
        return p->timecode && p->timecode->getParameter(TIMECODE_MODE) > 0.5;
    case VALUE_VINYLCONTROL_SUPERRELATIVEMODE:
        return p->superRelativeMode;
    case VALUE_VINYLCONTROL_SPEEDMULTIPLIER:
        if (!spec || spec->empty()) return SkinInterface::getValueBool(id, spec, deck, window);
        return p->vcSpeedMultiplier == getDblFromValSpec(spec, NAN);
    case VALUE_BUTTON_SHOWPL:
    case VALUE_BUTTON_SHOWDECK:
    case VALUE_BUTTON_SHOWFXONEDECK: {
        std::string name = id == VALUE_BUTTON_SHOWPL ? "playlist" : id == VALUE_BUTTON_SHOWDECK ? "player" : "fx";
        int target = deck;
        if (id != VALUE_BUTTON_SHOWPL && spec && !spec->empty()) target = int(getDblFromValSpec(spec, -1.0));
        return SkinInterface::getValueBool(VALUE_SHOWWINDOW, &name, target, window);
    }
    case VALUE_OPTION:
        if (equalsName(spec, "column mode")) return engine->columnMode;
        if (equalsName(spec, "warn when loading new track")) return engine->warnWhenLoadingTrack;
        if (equalsName(spec, "externalmixer")) return engine->useExternalMixer;
        if (equalsName(spec, "vc_relativemode")) return p->relativeMode;
        return SkinInterface::getValueBool(id, spec, deck, window);
    default:
        return SkinInterface::getValueBool(id, spec, deck, window);
    }
}

std::string TarlumeSkinInterface::getValueStr(int id, std::string* spec, int deck) {
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::getValueStr(id, spec, deck);
    switch (id) {
    case VALUE_TIMEINFO:
        return timeText(p->getPosition(), 1) + "/" + timeText(p->getLength(), 0);
    case VALUE_TIMEREMAINING:
        return "-" + timeText(p->getLength() - p->getPosition(), 1);
    case VALUE_TIMEELAPSED:
        return timeText(p->getPosition(), spec && *spec == "mm:ss:ff" ? 2 : 1);
    case VALUE_TRACKLENGTH:
        return timeText(p->getLength(), 0);
    case VALUE_CUEPOINT:
    case VALUE_CUEPOINTACTIVE: {
        int slot = slotOf(spec, TarlumePlayer::kSlots);
        return timeText(slot ? p->getCuePoint(slot) : p->cuePoint, 1);
    }
    case VALUE_CROSSFADERSELECTION:
        switch (p->getCrossfaderSide()) {
        case CROSSFADER_LEFT:
            return "Left";
        case CROSSFADER_RIGHT:
            return "Right";
        case CROSSFADER_NONE:
            return "None";
        }
        return "";
    case VALUE_PITCH: {
        double v = getValueDbl(id, spec, deck);
        if (spec && *spec == "coarse_only") {
            int whole = v >= 0.0 ? int(v + 0.01) : int(v - 0.01);
            return v < 0.0 && whole == 0 ? std::string("-0") : intToStr(whole);
        }
        if (spec && *spec == "fine_only") {
            std::string fraction = dblToStr(v - std::trunc(v), 2);
            return fraction.size() > 2 ? fraction.substr(fraction.size() - 2) : fraction;
        }
        return dblToStr(v, 2) + "%";
    }
    case VALUE_PITCHRANGE:
        return dblToStr(p->pitchRange, 0) + "%";
    case VALUE_PITCHBRAKESPEED:
        return dblToStr(p->brakeTime / 1000.0, 1);
    case VALUE_PITCHSTARTUPSPEED:
        return dblToStr(p->startupTime / 1000.0, 1);
    case VALUE_TRACKINFO:
        return p->getTrackInfo("%[Artist] - %[Title]");
    case VALUE_TRACKINFOARTIST:
        return p->getTrackInfo("%[Artist]");
    case VALUE_TRACKINFOTITLE:
        return p->getTrackInfo("%[Title]");
    case VALUE_TRACKINFOCUSTOM:
        return spec ? p->getTrackInfo(*spec) : std::string();
    case VALUE_LOOP_MOVE:
    case VALUE_LOOP_MOVEBEATS:
    case VALUE_LOOP_MOVEMULTIPLY:
    case VALUE_LOOP_STORE:
    case VALUE_LOOP_RETRIEVE:
    case VALUE_LOOP_RETRIEVEACTIVE: {
        int slot = slotOf(spec, TarlumePlayer::kSlots);
        return timeText(slot ? p->getLoopIn(slot) : p->loopGetStartMs(), 1);
    }
    case VALUE_LOOPLENGTH_MULTIPLY:
    case VALUE_LOOPLENGTH_MOVE: {
        int slot = slotOf(spec, TarlumePlayer::kSlots);
        return timeText(slot ? p->getLoopOut(slot) - p->getLoopIn(slot) : p->loopGetLengthMs(), 1);
    }
    case VALUE_LOOPLENGTH_MOVEBEATS:
        return beatsText(p->loopGetLength());
    // A deck without a tempo shows none, rather than the deck's first tempo or the last track's.
    case VALUE_BPM:
        return p->hasTempo(false) ? dblToStr(p->getBPM(true, false, false), 1) : std::string();
    case VALUE_BPMDETECTION:
        if (!p->hasTempo(true)) return std::string();
        return dblToStr(p->getBPM(true, true, true), 1) + " (" + intToStr(int(p->player->getBPMParameter(1))) + "%)";
    case VALUE_EFFECT:
        if (equalsName(spec, "loop_length")) return getValueStr(VALUE_LOOPLENGTH_MOVE, nullptr, deck);
        if (equalsName(spec, "eq_lowfreq") || equalsName(spec, "eq_midfreq") || equalsName(spec, "eq_highfreq"))
            return dblToStr(getValueDbl(id, spec, deck), 0) + " Hz";
        return SkinInterface::getValueStr(id, spec, deck);
    case VALUE_EFFECTBPM:
    case VALUE_EFFECTBPMALIGNED:
        if (equalsName(spec, "loop_length")) return getValueStr(VALUE_LOOPLENGTH_MOVEBEATS, nullptr, deck);
        return SkinInterface::getValueStr(id, spec, deck);
    case VALUE_RECORD_QUICK:
        return engine->getRecordingStatus();
    case VALUE_LINEINPUT:
    case VALUE_VINYLCONTROL: {
        if (p->inputPassthrough) return "LINE IN";
        FinalScratch* decoder = p->timecode;
        if (!p->vinylControl || !decoder) return "";
        std::string text = timecodeCode(int(decoder->getParameter(TIMECODE_TYPE)));
        return text + (decoder->getParameter(TIMECODE_MODE) > 0.5 ? "REL" : "ABS");
    }
    case VALUE_VINYLCONTROL_SUPERRELATIVEMODE:
        return p->superRelativeMode ? "Super Relative Mode Enabled" : "Super Relative Mode Disabled";
    case VALUE_OPTION:
        if (!spec) return SkinInterface::getValueStr(id, spec, deck);
        if (*spec == "OutputDevice") return tarlumemenus::deviceLabel(engine->outputDevice[deck], false);
        if (*spec == "InputDevice") return tarlumemenus::deviceLabel(engine->inputDevice[deck], true);
        if (*spec == "OutputChannels" || *spec == "InputChannels") {
            bool input = *spec == "InputChannels";
            const int* pair = input ? engine->inputChannels[deck] : engine->outputChannels[deck];
            int device = input ? engine->inputDevice[deck] : engine->outputDevice[deck];
            return tarlumemenus::channelPairLabel(pair[0], pair[1],
                                                  LinuxAudioDevice::getNbChannels((unsigned long)device, input));
        }
        if (*spec == "ExternalMixer") return engine->useExternalMixer ? "External Mixer" : "Internal Mixer";
        if (*spec == "Skin") return engine->skinName;
        if (*spec == "DefaultVinylType") return vinylTypeName(p->timecodeType);
        if (*spec == "vc_relativemode") return p->relativeMode ? "Relative mode" : "Absolute mode";
        return SkinInterface::getValueStr(id, spec, deck);
    default:
        return SkinInterface::getValueStr(id, spec, deck);
    }
}
