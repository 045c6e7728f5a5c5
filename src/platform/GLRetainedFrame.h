// A frame drawn only where it changed. The frame's drawing is recorded (GLDrawList), compared group by
// group with the last frame's, and only the areas where a group's drawing changed, appeared or went
// are drawn again into the bound framebuffer: cleared, then every group that touches them drawn in
// order, clipped to them. The caller keeps that framebuffer from frame to frame (retained); while it
// does not, or after invalidate, a frame is drawn whole. A frame where nothing changed draws nothing.
// GL thread only.
#pragma once

#include "platform/GLDrawList.h"

#include <vector>

class GLRetainedFrame {
public:
    struct Stats {
        size_t groups = 0;         // groups recorded
        size_t groupsDrawn = 0;    // groups drawn (a group under two areas counts twice)
        long long pixelsDrawn = 0; // pixels of the areas drawn
    };

    // The frame of the application's window.
    static GLRetainedFrame& screen();

    // Whether the caller's framebuffer keeps what was drawn into it from one frame to the next; while
    // it does not, every frame is drawn whole (and the caller clears it).
    void setRetained(bool retained);
    // The framebuffer no longer holds the last frame (made again, lost): the next frame is drawn whole.
    void invalidate() { valid_ = false; }

    // Starts recording a frame for a target of width x height pixels: GLDrawList::recording() is this
    // frame's list until end.
    void begin(int width, int height);
    // The frame being recorded; after end, the frame last drawn.
    GLDrawList& list() { return lists_[current_]; }
    // Ends the recording and draws what changed into the bound framebuffer (the projection is the
    // caller's, one unit a pixel, origin top left). damage() then lists the areas drawn.
    void end();

    // The areas drawn by the last frame, in pixels of the target (y downwards); empty when nothing changed.
    const std::vector<GLRect>& damage() const { return damage_; }
    const Stats& stats() const { return stats_; }

private:
    void compare(const GLDrawList& now, const GLDrawList& before);
    void add(const GLRect& r);
    void draw(const GLDrawList& now);

    GLDrawList lists_[2];
    int current_ = 0;
    bool retained_ = false, valid_ = false;
    int width_ = 0, height_ = 0;
    std::vector<GLRect> damage_;
    Stats stats_;
};
