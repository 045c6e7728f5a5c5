// A frame's drawing kept as a list instead of going to OpenGL at once, so that it can be compared with
// the last frame's and only what changed drawn again. The list takes the immediate-mode primitives (it
// is a GLPrimitives), the textured blits of pictures and opaque drawing calls, in groups (one per skin
// object, say): each group keeps the GL state it starts from and the area of the target it covers, and
// can be drawn alone. GL thread only.
#pragma once

#include "platform/GLPrimitives.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// A rectangle of the target in whole pixels, y downwards; x2 and y2 are not part of it.
struct GLRect {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;

    bool empty() const { return x2 <= x1 || y2 <= y1; }
    long long area() const { return empty() ? 0 : (long long)(x2 - x1) * (y2 - y1); }
    bool intersects(const GLRect& o) const { return x1 < o.x2 && o.x1 < x2 && y1 < o.y2 && o.y1 < y2; }
    // The smallest rectangle holding both (an empty one adds nothing).
    void unite(const GLRect& o);
    // What lies inside `limit`.
    void clip(const GLRect& limit);
};

class GLDrawList : public GLPrimitives {
public:
    // Draws a picture's block, rect = x, y, w, h, source x, source y (already clipped to both pictures).
    using BlitFunction = void (*)(const void* picture, const int rect[6]);
    // Draws into the rectangle x, y, w, h; must leave the GL state as it found it.
    using CallFunction = void (*)(void* context, float x, float y, float w, float h);
    // The blending a blit leaves behind.
    struct BlendAfter {
        bool on = false;
        bool setsFactors = false;
        unsigned source = 0, destination = 0; // GL blend factors, when set
    };

    // The list being recorded on this thread: pictures and opaque calls are drawn into it instead of
    // with OpenGL. Null when drawing goes straight to OpenGL.
    static GLDrawList* recording();
    static void setRecording(GLDrawList* list);

    // Empties the list; the state starts as the drawing state of platform/GL.h.
    void clear();
    // Where the coordinates of what follows start on the target (the position of a window layer).
    void setOrigin(float x, float y);
    // Starts a group named by (owner, item, index); what follows belongs to it. Inside an open
    // begin/end the current group goes on.
    void beginGroup(const void* owner, const void* item, int index);

    void setTexturing(bool on) override;
    void setBlending(bool on) override;
    void blendFunc(BlendFactors factors) override;
    void setLineSmooth(bool on) override;
    void lineWidth(float width) override;
    void begin(Primitive primitive) override;
    void end() override;
    void color(float r, float g, float b, float a) override;
    void vertex(float x, float y) override;

    // A blit of `picture`, whose content `serial` names (the same serial, the same pixels).
    void blit(BlitFunction draw, const void* picture, uint64_t serial, int mode, const int rect[6],
              const BlendAfter& blend);
    // A drawing the list cannot see into (a movie frame): its group counts as changed in every frame.
    void call(CallFunction draw, void* context, float x, float y, float w, float h);

    // What a group is named by.
    struct Name {
        const void* owner;
        const void* item;
        int index;
        bool operator==(const Name& o) const { return owner == o.owner && item == o.item && index == o.index; }
    };

    size_t groups() const { return groups_.size(); }
    Name name(size_t group) const { return Name{groups_[group].owner, groups_[group].item, groups_[group].index}; }
    // The area of the target the group's drawing may touch (empty when it draws nothing).
    const GLRect& bounds(size_t group) const { return groups_[group].bounds; }
    // Whether the group draws exactly what the other list's group draws: the same start state and
    // the same commands.
    bool sameDrawing(size_t group, const GLDrawList& other, size_t otherGroup) const;
    // Draws the group with OpenGL from the state it starts from, relative to the current matrix.
    void draw(size_t group) const;
    // Sets OpenGL to the state a recording starts from.
    static void resetState();

    struct State {
        float color[4] = {1, 1, 1, 1};
        float lineWidth = 1;
        float originX = 0, originY = 0;
        uint32_t flags = 0; // switches on: 2D texturing, blending, line smoothing, rectangle texturing
        uint32_t blendSource = 0, blendDestination = 0;
        bool operator==(const State& o) const;
    };

private:
    struct Group {
        const void* owner;
        const void* item;
        int index;
        size_t begin, end; // command words
        State start;
        GLRect bounds;
        bool changing;
    };

    void op(uint32_t code);
    void word(uint32_t w) { words_.push_back(w); }
    void pointer(const void* p);
    void number(float f);
    void cover(float x1, float y1, float x2, float y2);
    static void apply(const State& state);

    std::vector<uint32_t> words_;
    std::vector<Group> groups_;
    State state_;
    bool open_ = false;        // between begin and end
    bool originMoved_ = false; // since the current group began
    Primitive primitive_ = QUADS;
};
