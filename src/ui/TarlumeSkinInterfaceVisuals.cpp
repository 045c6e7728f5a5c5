// Waveforms, response and crossfader curves, disc, cover picture and video.
#include "ui/TarlumeSkinInterface.h"

void TarlumeSkinInterface::drawObject(void* target, SkinObject* object, int layer, SkinWindow* window) {
    SkinInterface::drawObject(target, object, layer, window);
}
