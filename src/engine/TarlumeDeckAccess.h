// What the engine and its mixer ask of a deck, in one place. The audio-thread reads touch only the
// deck fields that are made once in its constructor or published atomically.
#pragma once

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"

namespace deckAccess {

// ---- Audio thread ----
inline Player* player(TarlumePlayer* d) {
    return d->player.get();
}
inline EffectGroup* effects(TarlumePlayer* d) {
    return d->effects;
}
inline VolumeRamp* mainRamp(TarlumePlayer* d) {
    return d->mainRamp;
}
inline VolumeRamp* cueRamp(TarlumePlayer* d) {
    return d->cueRamp;
}
inline FinalScratch* timecode(TarlumePlayer* d) {
    return d->timecode.get();
}
// The deck plays its audio input instead of a file.
inline bool inputPassthrough(TarlumePlayer* d) {
    return d->inputPassthrough;
}
// The deck's input slot, -1 for none.
inline int inputIndex(TarlumePlayer* d) {
    return d->inputIndex;
}
// A track or an input has been on the deck since it was made (closing a track doesn't end it).
inline bool active(TarlumePlayer* d) {
    return d->active;
}
inline bool vinylControl(TarlumePlayer* d) {
    return d->vinylControl;
}
// The deck takes its input: pass-through or timecode vinyl.
inline bool usesInput(TarlumePlayer* d) {
    return d->inputPassthrough || d->vinylControl;
}
// A block of timecode input for the deck's decoder (the input device's audio thread).
inline void timecodeBlock(TarlumePlayer* d, const float* left, const float* right, int frames) {
    d->processTimecodeBlock(left, right, frames);
}

// ---- Main thread ----
inline TarlumePlayer* create(Tarlume* engine, int index) {
    return new TarlumePlayer(engine, index);
}
inline void destroy(TarlumePlayer* d) {
    delete d;
}
inline void setCrossfaderSide(TarlumePlayer* d, int side) {
    d->setCrossfaderSide(enCrossfaderSide(side));
}
inline double rememberedCueVolume(TarlumePlayer* d) {
    return d->rememberedCueVolume;
}
// Remembers the cue level; a deck whose cue is on takes it.
inline void setCueLevel(TarlumePlayer* d, double v) {
    d->rememberedCueVolume = v;
    if (d->cueVolume > 0) d->setVolumeCue(v);
}
// Re-applies the deck's own volume through the engine's gains.
inline void reapplyVolume(TarlumePlayer* d) {
    d->setVolume(d->volume);
}
inline void setOutputSamplerate(TarlumePlayer* d, double rate) {
    d->setOutputSamplerate(rate);
}
inline void update(TarlumePlayer* d) {
    d->update();
}
// Stores what the deck's track leaves (its record, overview and history) and lets the record go.
inline void closeTrack(TarlumePlayer* d) {
    d->closeSong();
}

inline void getSettings(TarlumePlayer* d, Tarlume::DeckSettings* s) {
    s->defaultVinyl = d->timecodeType;
    s->relativeMode = d->relativeMode;
    s->superRelative = d->superRelativeMode;
    s->gain = d->vcGain;
    s->pitchVariance = d->vcPitchVariance;
}
inline void setSettings(TarlumePlayer* d, const Tarlume::DeckSettings& s) {
    d->timecodeType = s.defaultVinyl;
    d->relativeMode = s.relativeMode;
    d->superRelativeMode = s.superRelative;
    d->setVCGain(float(s.gain));
    d->setVCPitchVariance(float(s.pitchVariance));
}

} // namespace deckAccess
