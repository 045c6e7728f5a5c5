// Base of the timecode decoders: what the player following a record asks of any decoder.
#pragma once

class VinylControl {
public:
    // Usable length of the record in ms; the base knows no record.
    virtual double getMaxLengthMs() const { return 0.0; }
    // Raw time of the last code on the record in ms, before offsets.
    virtual double getVinylTime() const { return 0.0; }
    virtual ~VinylControl() = default;
};
