#include "engine/TarlumeVideoRenderer.h"

#include "engine/VideoPlayer.h"

void TarlumeVideoRenderer::draw(CPicture* target, float x, float y, float width, float height, float alpha) {
    (void)deck_;
    if (alpha > 0 && player_) player_->draw(target, x, y, width, height, alpha, nullptr);
}
