// What the tempo detector hands to the track's beat grid: each newly found first beat, and the envelope
// comb's tempo. The waveform implements it; the detector of an effect chain has none. Called on the thread
// that feeds the detector (the loading thread for a player's detector).
#pragma once

class BeatReceiver {
public:
    virtual ~BeatReceiver() = default;
    // A beat at `position` (sample frames of the track) found by a run of `strength` beats at `bpm`; `weight`
    // is the detector's confidence. `marker` and `user` are false for detected beats.
    virtual void addBeat(unsigned position, float strength, double bpm, float weight, bool marker, bool user) = 0;
    // A tempo proposed with `weight` (the comb's proposals weigh 16).
    virtual void setBPM(double bpm, float weight) = 0;
};
