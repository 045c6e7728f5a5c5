// The exercises of the control table (ControlTable.h), by area.
#pragma once

#include "ControlTable.h"

namespace e2e {

// Deck: transport, hot cues, pitch, displays (ExercisesDeck.cpp).
extern const Exercise kPlay, kCue, kHotCue, kCueMode, kPitchFader, kBend, kPlatter, kPitchRange, kPitchReset, kKeyLock,
    kSync, kOverview, kTrackText, kMeter;
// Mixer: equaliser, filter, gain, volumes, crossfader, headphones (ExercisesMixer.cpp).
extern const Exercise kEqKnob, kKill, kFilterKnob, kFilterOn, kGain, kGainAndReplayGain, kVolume, kHeadphones, kSide,
    kCrossfader, kCurve, kMasterVolume, kCueMasterBlend, kPhonesLevel, kCuePreEffects, kLink, kClip, kCpu, kZoom,
    kClockText;

// Loops (ExercisesLoops.cpp).
extern const Exercise kBeatLoop, kLoopToggle, kLoopInOut, kLoopMove, kLoopMultiply, kStoredLoop;
// Effects and the tab buttons (ExercisesEffects.cpp).
extern const Exercise kEcho, kFlanger, kCrusher, kGapper, kTab;

// The browser, loading, windows, recording, quitting (ExercisesBrowser.cpp).
extern const Exercise kFolders, kFiles, kPlaylist, kSearch, kLoad, kDropbox, kColumns, kFocus, kNewCase, kMenu,
    kWindowButton, kRecord, kRecordStatus, kQuit;

// Timecode vinyl and the line input (ExercisesTimecode.cpp).
extern const Exercise kVinyl, kVinylMode, kVinylStatus, kCalibrate, kLineIn;
// The options window (ExercisesOptions.cpp), and the settings its area starts with.
extern const Exercise kOptionText, kOption, kOutputPair, kExternalMixer, kOptionSlider, kOptionCalibrate, kPreferences,
    kControllers;
extern const char* const kOptionSettings;

// Drawn views (ExercisesViews.cpp).
extern const Exercise kWaveform, kCover, kVideoView, kVideoFader;

} // namespace e2e
