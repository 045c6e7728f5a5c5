// What the mixer reads of a deck on the audio thread, in one place.
#pragma once

#include "engine/Tarlume.h"

class EffectGroup;
class FinalScratch;
class Player;
class TarlumePlayer;
class VolumeRamp;

namespace deckAccess {

inline Player* player(TarlumePlayer*) {
    return nullptr;
}
inline EffectGroup* effects(TarlumePlayer*) {
    return nullptr;
}
inline VolumeRamp* mainRamp(TarlumePlayer*) {
    return nullptr;
}
inline VolumeRamp* cueRamp(TarlumePlayer*) {
    return nullptr;
}
inline FinalScratch* timecode(TarlumePlayer*) {
    return nullptr;
}
// The deck plays its audio input instead of a file.
inline bool inputPassthrough(TarlumePlayer*) {
    return false;
}
// The deck's input slot, -1 for none.
inline int inputIndex(TarlumePlayer*) {
    return -1;
}
// A track or an input has been on the deck since it was made (closing a track doesn't end it).
inline bool active(TarlumePlayer*) {
    return false;
}
// The deck takes its input: pass-through or timecode vinyl.
inline bool usesInput(TarlumePlayer*) {
    return false;
}
inline bool vinylControl(TarlumePlayer*) {
    return false;
}

} // namespace deckAccess

// Main thread: what the engine asks of its decks.
namespace deckAccess {

inline void getSettings(TarlumePlayer*, Tarlume::DeckSettings*) {}
inline void setSettings(TarlumePlayer*, const Tarlume::DeckSettings&) {}

inline TarlumePlayer* create(Tarlume*, int) {
    return nullptr;
}
inline void destroy(TarlumePlayer*) {}
inline void setCrossfaderSide(TarlumePlayer*, int) {}
inline double rememberedCueVolume(TarlumePlayer*) {
    return 1.0;
}
// Remembers the cue level; a deck whose cue is on takes it.
inline void setCueLevel(TarlumePlayer*, double) {}
// Re-applies the deck's own volume through the engine's gains.
inline void reapplyVolume(TarlumePlayer*) {}
inline void setOutputSamplerate(TarlumePlayer*, double) {}
inline void update(TarlumePlayer*) {}

} // namespace deckAccess
