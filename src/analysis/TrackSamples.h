// What a wave form reads of the track it belongs to, to place detected beats on their onsets: the file's
// sample rate and its decoded samples. The player implements it, so the analysis needs no player header.
#pragma once

class TrackSamples {
public:
    // The file's sample rate in Hz.
    virtual double getFileRate() = 0;
    // The decoded sample of a file frame; 0 where nothing is held.
    virtual float getSample(unsigned int frame, int channel) = 0;

protected:
    // Never deleted through this interface.
    ~TrackSamples() = default;
};
