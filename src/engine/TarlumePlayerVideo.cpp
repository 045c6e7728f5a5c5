// The deck's video side: video files get a VideoPlayer, drawn through a renderer the deck keeps.
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "engine/TarlumeVideoRenderer.h"
#include "engine/VideoPlayer.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"

namespace {

FModPlayer* makeVideoPlayer() {
    return new VideoPlayer(nullptr); // the GL side is made at the first draw
}

// Video files play as movies unless a test or the host chooses otherwise.
const bool kVideoPlayerInstalled = (TarlumePlayer::videoPlayerFactory = makeVideoPlayer, true);

} // namespace

void TarlumePlayer::draw(void* context, int x, int y, int width, int height, float opacity) {
    if (isVideo != 1 || !player) return;
    auto* video = dynamic_cast<VideoPlayer*>(player.get());
    if (!video) return;
    // A renderer made for an earlier player of this deck is replaced.
    if (videoRenderer && videoRenderer->player() != video) releaseVideo();
    if (!videoRenderer) videoRenderer = new TarlumeVideoRenderer(this, video);
    if (opacity == 1.0f && engine && engine->skin && engine->skin->interface)
        engine->skin->interface->fillRectangle(context, x, y, x + width, y + height, 0);
    videoRenderer->draw(static_cast<CPicture*>(context), float(x), float(y), float(width), float(height), opacity);
}

void TarlumePlayer::releaseVideo() {
    delete videoRenderer;
    videoRenderer = nullptr;
}
