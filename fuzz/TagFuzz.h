// Shared by the tag reader fuzz targets: every accessor of a record filled from fuzzed bytes.
#pragma once

#include "library/tags/ByteSource.h"
#include "library/tags/CID3v2Tag.h"

inline void exerciseTag(CID3v2Tag& tag) {
    for (unsigned i = 0; i < tag.getNbFrames(); ++i)
        tag.getFrame(i)->getString();
    tag.getBPM();
    tag.getRating();
    tag.getFrameTXXX("Color");
    float peak, gain, album;
    tag.getReplayGain(&peak, &gain, &album);
    for (unsigned n = 0; n < 4 && tag.getFromETCO(0xE0, n) >= 0; ++n) {
    }
    tag.addToETCO(1234, 0xE0);
    tag.removeFromETCO(1234, 0xE0);
    tag.setFrameTXXX("Color", "#FFFFFF");
    tag.setRating(100);
    tag.setFrame("TIT2", "x", 1);
}
