// Drawing pictures as OpenGL rectangle textures. GL calls are made only on the thread holding the
// context (platform/GL.h); elsewhere drawing does nothing and textures are handed over for deletion.
#include "foundation/Picture.h"

#include "foundation/PictureClip.h"
#include "platform/GL.h"
#include "platform/GLDrawList.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<uint64_t> g_serial{0};

// How a picture's mode blends it: whether blending is on while it is drawn and after, and the factors.
struct ModeBlend {
    bool on, staysOn;
    GLenum source, destination;
};

ModeBlend blendOf(TRANSPARENCY_MODE mode) {
    // Blend factors chosen so the screen shows what the software bitblt of the same mode gives.
    switch (mode) {
    case TRANSPARENCY_ONOFF:
    case TRANSPARENCY_ALPHA:
        return {true, false, GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA};
    case TRANSPARENCY_PREMULTIPLIED_INVERTED: // the stored alpha is the share of the target kept
        return {true, false, GL_ONE, GL_SRC_ALPHA};
    case TRANSPARENCY_PREMULTIPLIED:
        return {true, true, GL_ONE, GL_ONE_MINUS_SRC_ALPHA};
    case TRANSPARENCY_OPAQUE:
    default:
        return {false, false, GL_ONE, GL_ZERO};
    }
}

// Draws the clipped block of src with its texture (made first when missing), or through its strips.
void drawClipped(CPicture* src, const BlitRect& r);

} // namespace

uint64_t CPicture::nextSerial() {
    return g_serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

void CPicture::generateTextureGL() {
    releaseTextureGL();
    if (!pixels || width <= 0 || height <= 0 || !glOnContextThread()) return;
    glDeletePendingTextures();
    const int max = glMaxTextureSize();

    if (height > max || width > max) {
        // Row strips of full width when too high (a strip still too wide cuts itself into columns
        // when drawn), else column strips of full height.
        bool rows = height > max;
        int total = rows ? height : width;
        for (int start = 0; start < total; start += max) {
            int n = total - start < max ? total - start : max;
            std::unique_ptr<CPicture> s(rows ? copyArea(0, start, width, n) : copyArea(start, 0, n, height));
            if (!s) {
                releaseTextureGL();
                return;
            }
            tiles.push_back(std::move(s));
        }
        tiling = rows ? TILING_ROWS : TILING_COLUMNS;
        return;
    }

    GLuint name = 0;
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_TEXTURE_RECTANGLE_EXT);
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_RECTANGLE_EXT, name);
    // The upload copies the pixels: a change that must show destroys the texture first.
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_RECTANGLE_EXT, 0, GL_RGBA, width, height, 0, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, pixels);
    texture = name;
    textureGeneration = glContextGeneration();
}

void CPicture::destroyTextureGL() {
    releaseTextureGL();
    touch();
}

void CPicture::releaseTextureGL() {
    tiles.clear();
    tiling = TILING_NONE;
    // Texture 0 makes no GL call at all: pictures are closed on skin-loading threads.
    if (texture) glReleaseTexture(texture, textureGeneration);
    texture = 0;
}

void CPicture::bitbltGL(CPicture* dst, int x, int y, int w, int h, CPicture* src, int sx, int sy) {
    BlitRect r{x, y, w, h, sx, sy};
    if (!clipBlit(dst, src, r) || !src->pixels || !glOnContextThread()) return;
    if (GLDrawList* list = GLDrawList::recording()) {
        ModeBlend b = blendOf(src->transparencyMode);
        GLDrawList::BlendAfter after;
        after.on = b.staysOn;
        after.setsFactors = b.on;
        after.source = b.source;
        after.destination = b.destination;
        const int rect[6] = {r.x, r.y, r.w, r.h, r.sx, r.sy};
        list->blit(drawRecordedGL, src, src->serial, src->transparencyMode, rect, after);
        return;
    }
    drawClipped(src, r);
}

void CPicture::drawRecordedGL(const void* picture, const int rect[6]) {
    drawClipped(const_cast<CPicture*>(static_cast<const CPicture*>(picture)),
                BlitRect{rect[0], rect[1], rect[2], rect[3], rect[4], rect[5]});
}

namespace {

void drawClipped(CPicture* src, const BlitRect& r) {
    // A texture of an earlier context is gone with that context.
    if (src->texture && src->textureGeneration != glContextGeneration()) src->texture = 0;
    if (!src->texture && src->tiling == CPicture::TILING_NONE) src->generateTextureGL();

    if (src->tiling != CPicture::TILING_NONE) {
        if (src->tiles.empty()) return;
        bool rows = src->tiling == CPicture::TILING_ROWS;
        int size = rows ? src->tiles[0]->height : src->tiles[0]->width; // every strip but the last
        int from = rows ? r.sy : r.sx, length = rows ? r.h : r.w;
        for (size_t k = size_t(from / size); k < src->tiles.size() && int(k) * size < from + length; ++k) {
            int begin = int(k) * size > from ? int(k) * size : from;
            int end = (int(k) + 1) * size < from + length ? (int(k) + 1) * size : from + length;
            int offset = begin - from, local = begin - int(k) * size;
            CPicture* tile = src->tiles[k].get();
            // The block lies inside the picture, so inside its strips: no clipping is needed.
            if (rows)
                drawClipped(tile, BlitRect{r.x, r.y + offset, r.w, end - begin, r.sx, local});
            else
                drawClipped(tile, BlitRect{r.x + offset, r.y, end - begin, r.h, local, r.sy});
        }
        return;
    }
    if (!src->texture) return;

    glEnable(GL_TEXTURE_RECTANGLE_EXT);
    glBindTexture(GL_TEXTURE_RECTANGLE_EXT, src->texture);
    ModeBlend b = blendOf(src->transparencyMode);
    if (b.on) {
        glEnable(GL_BLEND);
        glBlendFunc(b.source, b.destination);
    } else {
        glDisable(GL_BLEND);
    }
    glBegin(GL_QUADS);
    glTexCoord2i(r.sx, r.sy);
    glVertex3i(r.x, r.y, 0);
    glTexCoord2i(r.sx + r.w, r.sy);
    glVertex3i(r.x + r.w, r.y, 0);
    glTexCoord2i(r.sx + r.w, r.sy + r.h);
    glVertex3i(r.x + r.w, r.y + r.h, 0);
    glTexCoord2i(r.sx, r.sy + r.h);
    glVertex3i(r.x, r.y + r.h, 0);
    glEnd();
    if (b.on && !b.staysOn) glDisable(GL_BLEND);
}

} // namespace
