// The deck's video side. Video decks draw nothing yet: the video player and its renderer come with the
// video decks, which set TarlumePlayer::videoPlayerFactory and fill these two bodies.
#include "engine/TarlumePlayer.h"

void TarlumePlayer::draw(void*, int, int, int, int, float) {}

void TarlumePlayer::releaseVideo() {
    videoRenderer = nullptr;
}
