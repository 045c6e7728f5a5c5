// Drawing pictures as OpenGL rectangle textures.
#include "foundation/Picture.h"

void CPicture::generateTextureGL() {}

void CPicture::destroyTextureGL() {
    for (CPicture* tile : tiles)
        delete tile;
    tiles.clear();
    texture = 0;
    tiling = TILING_NONE;
}

void CPicture::bitbltGL(CPicture*, int, int, int, int, CPicture*, int, int) {}
