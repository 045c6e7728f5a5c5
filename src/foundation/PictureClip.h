// The clipping shared by the software and the OpenGL copy of one picture onto another.
#pragma once

class CPicture;

// A copy of the w x h block at (sx, sy) of the source to (x, y) of the target, in pixels.
struct BlitRect {
    int x, y, w, h, sx, sy;
};

// Clips the block to both pictures (negative positions cut it, edges shorten it). False when
// nothing remains or either picture is missing or empty.
bool clipBlit(const CPicture* dst, const CPicture* src, BlitRect& r);
