// The application's names: value names and their ids, the "special" type and "bend" action, the
// numbers of specifiers, the effect-parameter table and the effect on/off names.
#include "ui/TarlumeSkinInterface.h"

#include "audio/effects/EffectGroup.h"
#include "foundation/modTools.h"

#include <charconv>
#include <cmath>

namespace {

struct ValueName {
    const char* name;
    int id;
};

// Looked up when skins, scripts and controller files load; the frame loop works with ids.
const ValueName valueNames[] = {
    {"searchfield", VALUE_SEARCHFIELD},
    {"play", VALUE_PLAY},
    {"button_play", VALUE_PLAY},
    {"pause", VALUE_PAUSE},
    {"button_pause", VALUE_PAUSE},
    {"cue", VALUE_CUE},
    {"button_cue", VALUE_CUE},
    {"cuerec", VALUE_CUEREC},
    {"button_cuerec", VALUE_CUEREC},
    {"loop_storemode", VALUE_CUEREC},
    {"cuedel", VALUE_CUEDEL},
    {"button_cuedel", VALUE_CUEDEL},
    {"cuepoint", VALUE_CUEPOINT},
    {"button_cuepoint", VALUE_CUEPOINT},
    {"cuepointset", VALUE_CUEPOINTSET},
    {"cuepointactive", VALUE_CUEPOINTACTIVE},
    {"volume_master", VALUE_VOLUME_MASTER},
    {"volume_cuemaster", VALUE_VOLUME_CUEMASTER},
    {"volume_masterto", VALUE_VOLUME_MASTERTO},
    {"volume_player", VALUE_VOLUME_PLAYER},
    {"volume_cue", VALUE_VOLUME_CUE},
    {"volume_cueallchannels", VALUE_VOLUME_CUEALLCHANNELS},
    {"crossfader", VALUE_CROSSFADER},
    {"crossfaderto", VALUE_CROSSFADERTO},
    {"crossfaderspeed", VALUE_CROSSFADERSPEED},
    {"crossfaderselection", VALUE_CROSSFADERSELECTION},
    {"crossfadertype", VALUE_CROSSFADERTYPE},
    {"crossfadercurve", VALUE_CROSSFADERCURVE},
    {"pan_lr", VALUE_PAN_LR},
    {"pan_lr_player", VALUE_PAN_LR},
    {"pitch", VALUE_PITCH},
    {"pitchto", VALUE_PITCHTO},
    {"pitchrange", VALUE_PITCHRANGE},
    {"pitchbrakespeed", VALUE_PITCHBRAKESPEED},
    {"pitchstartupspeed", VALUE_PITCHSTARTUPSPEED},
    {"pitchbend", VALUE_PITCHBEND},
    {"pitchreset", VALUE_PITCHRESET},
    {"button_pitchzero", VALUE_PITCHRESET},
    {"pitch_up", VALUE_PITCH_UP},
    {"button_pitchup", VALUE_PITCH_UP},
    {"pitch_down", VALUE_PITCH_DOWN},
    {"button_pitchdown", VALUE_PITCH_DOWN},
    {"pitchbend_up", VALUE_PITCHBEND_UP},
    {"button_bendup", VALUE_PITCHBEND_UP},
    {"pitchbend_down", VALUE_PITCHBEND_DOWN},
    {"button_benddown", VALUE_PITCHBEND_DOWN},
    {"pitch_reverse", VALUE_PITCH_REVERSE},
    {"disc", VALUE_DISC},
    {"jogwheeltouch", VALUE_JOGWHEELTOUCH},
    {"vu_player", VALUE_VU_PLAYER},
    {"vu_master", VALUE_VU_MASTER},
    {"limiter_current", VALUE_LIMITER_CURRENT},
    {"clipping", VALUE_CLIPPING},
    {"timeinfo", VALUE_TIMEINFO},
    {"timeremaining", VALUE_TIMEREMAINING},
    {"timeelapsed", VALUE_TIMEELAPSED},
    {"tracklength", VALUE_TRACKLENGTH},
    {"seekfwd", VALUE_SEEKFWD},
    {"seekbck", VALUE_SEEKBCK},
    {"trackinfo", VALUE_TRACKINFO},
    {"trackinfoartist", VALUE_TRACKINFOARTIST},
    {"trackinfotitle", VALUE_TRACKINFOTITLE},
    {"trackinfocustom", VALUE_TRACKINFOCUSTOM},
    {"songpicture", VALUE_SONGPICTURE},
    {"loop", VALUE_LOOP},
    {"loop_move", VALUE_LOOP_MOVE},
    {"loop_movebeats", VALUE_LOOP_MOVEBEATS},
    {"loop_movemultiply", VALUE_LOOP_MOVEMULTIPLY},
    {"looplength_multiply", VALUE_LOOPLENGTH_MULTIPLY},
    {"looplength_move", VALUE_LOOPLENGTH_MOVE},
    {"looplength_movebeats", VALUE_LOOPLENGTH_MOVEBEATS},
    {"loop_setin", VALUE_LOOP_SETIN},
    {"loop_setout", VALUE_LOOP_SETOUT},
    {"looptrack", VALUE_LOOPTRACK},
    {"loop_store", VALUE_LOOP_STORE},
    {"loop_retrieve", VALUE_LOOP_RETRIEVE},
    {"loop_retrieveactive", VALUE_LOOP_RETRIEVEACTIVE},
    {"effect", VALUE_EFFECT},
    {"effectbpm", VALUE_EFFECTBPM},
    {"effectbpmaligned", VALUE_EFFECTBPMALIGNED},
    {"effectonoff", VALUE_EFFECTONOFF},
    {"button_effectonoff", VALUE_EFFECTONOFF},
    {"cueprefx", VALUE_CUEPREFX},
    {"effect_pfl", VALUE_CUEPREFX},
    {"effectpfl", VALUE_CUEPREFX},
    {"bpm", VALUE_BPM},
    {"bpmsong", VALUE_BPM},
    {"bpmdetection", VALUE_BPMDETECTION},
    {"matchbpm", VALUE_MATCHBPM},
    {"button_pitchequal", VALUE_MATCHBPM},
    {"bpm_up", VALUE_BPM_UP},
    {"button_bpmup", VALUE_BPM_UP},
    {"bpm_down", VALUE_BPM_DOWN},
    {"button_bpmdown", VALUE_BPM_DOWN},
    {"waveformlocal", VALUE_WAVEFORMLOCAL},
    {"waveformcomplete", VALUE_WAVEFORMCOMPLETE},
    {"bothwaveforms", VALUE_BOTHWAVEFORMS},
    {"waveformzoom", VALUE_WAVEFORMZOOM},
    {"impulseresponse", VALUE_IMPULSERESPONSE},
    {"equalizerresponse", VALUE_IMPULSERESPONSE},
    {"cpuusage", VALUE_CPUUSAGE},
    {"record_quick", VALUE_RECORD_QUICK},
    {"videocrossfader", VALUE_VIDEOCROSSFADER},
    {"playervideo", VALUE_PLAYERVIDEO},
    {"videomix", VALUE_VIDEOMIX},
    {"crossfaderslock", VALUE_CROSSFADERSLOCK},
    {"lineinput", VALUE_LINEINPUT},
    {"vinylcontrol", VALUE_VINYLCONTROL},
    {"finalscratch", VALUE_VINYLCONTROL},
    {"mspinky", VALUE_VINYLCONTROL},
    {"vinyl_modeinfo", VALUE_VINYLCONTROL},
    {"vinyl_mode", VALUE_VINYL_MODE},
    {"vinylcontrol_quality", VALUE_VINYLCONTROL_QUALITY},
    {"vinylcontrol_callibrate", VALUE_VINYLCONTROL_CALLIBRATE},
    {"vinylcontrol_superrelativemode", VALUE_VINYLCONTROL_SUPERRELATIVEMODE},
    {"vinylcontrol_speedmultiplier", VALUE_VINYLCONTROL_SPEEDMULTIPLIER},
    {"vinyl_speedmultiplier", VALUE_VINYLCONTROL_SPEEDMULTIPLIER},
    {"loadsong", VALUE_LOADSONG},
    {"forceloadsong", VALUE_FORCELOADSONG},
    {"mididevices", VALUE_MIDIDEVICES},
    {"loadplaylist", VALUE_LOADPLAYLIST},
    {"changefolder", VALUE_CHANGEFOLDER},
    {"createcase", VALUE_CREATECASE},
    {"buildtagcache", VALUE_BUILDTAGCACHE},
    {"dropbox", VALUE_DROPBOX},
    {"keyboard", VALUE_KEYBOARD},
    {"button_showpl", VALUE_BUTTON_SHOWPL},
    {"button_showdeck", VALUE_BUTTON_SHOWDECK},
    {"showdeck", VALUE_BUTTON_SHOWDECK},
    {"button_showfx", VALUE_BUTTON_SHOWFX},
    {"button_showfxonedeck", VALUE_BUTTON_SHOWFXONEDECK},
};

constexpr int TEMPO = tEffectParam::EFFECT_TEMPOCONTROL;

// Lengths are in samples, frequencies in Hz. Writes and resets are clamped to these ranges: the
// echo's ring holds 220500 frames, and the flanger's sweep needs a period above 0.
const tEffectParam effectParams[] = {
    {"eq_low", EFFECT_EQ_KILLS, 0, -1.0, 1.0, 0.0},
    {"eq_mid", EFFECT_EQ_KILLS, 3, -1.0, 1.0, 0.0},
    {"eq_high", EFFECT_EQ_KILLS, 6, -1.0, 1.0, 0.0},
    {"eq_lowfreq", EFFECT_EQ_KILLS, 1, 10.0, 20000.0, 0.0},
    {"eq_midfreq", EFFECT_EQ_KILLS, 4, 10.0, 20000.0, 0.0},
    {"eq_highfreq", EFFECT_EQ_KILLS, 7, 10.0, 20000.0, 0.0},
    {"filter_position", EFFECT_FILTER, 100, 0.0, 1.0, 0.5},
    {"filter_bandwidth", EFFECT_FILTER, 3, 0.15, 3.0, 1.0},
    {"flanger_position", EFFECT_FLANGER, 0, 0.0, 1.0, 0.0},
    {"flanger_strength", EFFECT_FLANGER, 1, 0.0, 1.0, 0.0},
    {"flanger_auto", EFFECT_FLANGER, 2, 0.0, 1.0, 0.0},
    {"flanger_speed", EFFECT_FLANGER, 3, 300.0, 176400.0, 0.0},
    {"flanger_stereo_offset", EFFECT_FLANGER, 4, -150.0, 150.0, 0.0},
    {"flanger_mode", EFFECT_FLANGER, 5, 0.0, 1.0, 0.0},
    {"flanger_highpass", EFFECT_FLANGER, 6, 0.0, 11000.0, 0.0},
    {"flanger_sound", EFFECT_FLANGER, 7, 0.0, 1.0, 0.0},
    {"echo_length", EFFECT_ECHO, 1, 88.2, 220500.0, 0.0},
    {"echo_echo", EFFECT_ECHO, 2, 0.0, 1.0, 0.0},
    {"echo_echo_mutemax", EFFECT_ECHO, 2, 0.0, 1.0, 0.0},
    {"echo_source", EFFECT_ECHO, 3, 0.0, 1.0, 0.0},
    {"echo_lowpass", EFFECT_ECHO, 4, 150.0, 20000.0, 0.0},
    {"echo_highpass", EFFECT_ECHO, 5, 5.0, 2500.0, 0.0},
    {"echo_lock_buffer", EFFECT_ECHO, 6, 0.0, 1.0, 0.0},
    {"echo_stereo_offset", EFFECT_ECHO, 7, -2500.0, 2500.0, 0.0},
    {"gapper_length", EFFECT_GAPPER, 0, 5.0, 88200.0, 0.0},
    {"gapper_strength", EFFECT_GAPPER, 1, 0.0, 1.0, 0.0},
    {"gapper_shape", EFFECT_GAPPER, 3, 0.0, 1.0, 0.0},
    {"gapper_stereo_offset", EFFECT_GAPPER, 4, -8000.0, 8000.0, 0.0},
    {"bitcrusher_bits", EFFECT_BITCRUSHER, 0, 0.0, 16.0, 0.0},
    {"bitcrusher_downsample", EFFECT_BITCRUSHER, 1, 0.0, 40.0, 0.0},
    {"bitcrusher_overdrive", EFFECT_BITCRUSHER, 2, 0.0, 1.0, 0.0},
    {"amp_set", EFFECT_LIMITER, 0, 0.1, 4.0, 1.0},
    {"tempo_amount", TEMPO, tEffectParam::TEMPO_AMOUNT, 0.0, 1.0, 0.0},
    {"tempo_tempo", TEMPO, tEffectParam::TEMPO_TEMPO, 0.0, 1.0, 0.0},
};

struct EffectName {
    const char* name;
    int effect;
};

const EffectName effectNames[] = {
    {"filter", EFFECT_FILTER},
    {"bitcrusher", EFFECT_BITCRUSHER},
    {"flanger", EFFECT_FLANGER},
    {"gapper", EFFECT_GAPPER},
    {"equalizer", EFFECT_EQ},
    {"3-band equalizer", EFFECT_EQ},
    {"echo", TarlumeSkinInterface::EFFECTNAME_ECHO},
    {"tempocontrol", TarlumeSkinInterface::EFFECTNAME_TEMPOCONTROL},
};

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Compares without copying: reads run every frame and the specifier is the skin object's own.
bool equalsLower(const std::string& text, const char* lowerName) {
    size_t i = 0;
    for (; i < text.size(); ++i)
        if (lowerName[i] == '\0' || lowerAscii(text[i]) != lowerName[i]) return false;
    return lowerName[i] == '\0';
}

} // namespace

TarlumeSkinInterface::TarlumeSkinInterface(Tarlume* engine) : engine(engine) {}

TarlumeSkinInterface::~TarlumeSkinInterface() = default;

int TarlumeSkinInterface::getType(const std::string& name) {
    if (equalsLower(name, "special")) return OBJECT_SPECIAL;
    if (equalsLower(name, "playlist")) return OBJECT_PLAYLIST;
    return SkinInterface::getType(name);
}

int TarlumeSkinInterface::getValue(const std::string& name) {
    for (const ValueName& entry : valueNames)
        if (equalsLower(name, entry.name)) return entry.id;
    return SkinInterface::getValue(name);
}

int TarlumeSkinInterface::getAction(const std::string& name) {
    if (equalsLower(name, "bend")) return ACTION_BEND;
    return SkinInterface::getAction(name);
}

double TarlumeSkinInterface::getDblFromValSpec(const std::string* spec, double fallback) {
    if (!spec || spec->empty()) return fallback;
    const char* first = spec->data();
    const char* last = first + spec->size();
    while (first < last && (*first == ' ' || *first == '\t'))
        ++first;
    // from_chars takes no plus sign; a skin may still write one.
    if (last - first > 1 && *first == '+' && first[1] != '-' && first[1] != '+') ++first;
    // The number the text starts with ("3x" is 3); text that starts with none is 0 ("pl"). So is a value no
    // caller could use: "nan", "inf", or beyond a double's range.
    double value = 0.0;
    auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec != std::errc() || !std::isfinite(value)) return 0.0;
    return value;
}

const tEffectParam* TarlumeSkinInterface::findEffectParam(const std::string* spec) {
    if (!spec) return nullptr;
    for (const tEffectParam& row : effectParams)
        if (equalsLower(*spec, row.name)) return &row;
    return nullptr;
}

bool TarlumeSkinInterface::equalsName(const std::string* spec, const char* lowerName) {
    return spec && equalsLower(*spec, lowerName);
}

int TarlumeSkinInterface::effectOfName(const std::string* spec) {
    if (!spec) return EFFECTNAME_NONE;
    for (const EffectName& entry : effectNames)
        if (equalsLower(*spec, entry.name)) return entry.effect;
    return EFFECTNAME_NONE;
}
