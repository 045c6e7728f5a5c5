#include "platform/GLDrawList.h"

#include "platform/GL.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

enum Op : uint32_t {
    OP_TEXTURING,  // on
    OP_BLENDING,   // on
    OP_BLEND_FUNC, // factors
    OP_LINE_SMOOTH,
    OP_LINE_WIDTH, // width
    OP_BEGIN,      // primitive
    OP_END,
    OP_COLOR,  // r, g, b, a
    OP_VERTEX, // x, y
    OP_ORIGIN, // x, y
    OP_BLIT,   // function, picture, serial (two words each), mode, x, y, w, h, sx, sy
    OP_CALL,   // function, context (two words each), x, y, w, h
};

thread_local GLDrawList* g_recording = nullptr;

uint32_t bitsOf(float f) {
    uint32_t w;
    std::memcpy(&w, &f, sizeof w);
    return w;
}

float floatOf(uint32_t w) {
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
}

template <typename P> P pointerAt(const uint32_t* w) {
    uint64_t bits = uint64_t(w[0]) | uint64_t(w[1]) << 32;
    P p;
    static_assert(sizeof(P) <= sizeof(bits), "pointers fit two words");
    std::memcpy(&p, &bits, sizeof p);
    return p;
}

constexpr uint32_t TEXTURING_2D = 1, BLEND = 2, SMOOTH = 4, TEXTURING_RECT = 8; // State::flags

const GLDrawList::State initialState = [] {
    GLDrawList::State s;
    s.flags = TEXTURING_2D | TEXTURING_RECT; // as the drawing state of platform/GL.h
    s.blendSource = GL_ONE;
    s.blendDestination = GL_ZERO;
    return s;
}();

void enable(GLenum cap, bool on) {
    if (on)
        glEnable(cap);
    else
        glDisable(cap);
}

} // namespace

void GLRect::unite(const GLRect& o) {
    if (o.empty()) return;
    if (empty()) {
        *this = o;
        return;
    }
    x1 = std::min(x1, o.x1);
    y1 = std::min(y1, o.y1);
    x2 = std::max(x2, o.x2);
    y2 = std::max(y2, o.y2);
}

void GLRect::clip(const GLRect& limit) {
    x1 = std::max(x1, limit.x1);
    y1 = std::max(y1, limit.y1);
    x2 = std::min(x2, limit.x2);
    y2 = std::min(y2, limit.y2);
}

bool GLDrawList::State::operator==(const State& o) const {
    return std::memcmp(color, o.color, sizeof color) == 0 && lineWidth == o.lineWidth && originX == o.originX &&
           originY == o.originY && flags == o.flags && blendSource == o.blendSource &&
           blendDestination == o.blendDestination;
}

GLDrawList* GLDrawList::recording() {
    return g_recording;
}

void GLDrawList::setRecording(GLDrawList* list) {
    g_recording = list;
}

void GLDrawList::clear() {
    words_.clear();
    groups_.clear();
    state_ = initialState;
    open_ = false;
    originMoved_ = false;
}

void GLDrawList::op(uint32_t code) {
    if (groups_.empty()) beginGroup(nullptr, nullptr, 0);
    if (originMoved_) {
        // Drawing goes on in the group after the origin moved: the group moves with it from here.
        originMoved_ = false;
        words_.push_back(OP_ORIGIN);
        number(state_.originX);
        number(state_.originY);
    }
    words_.push_back(code);
}

void GLDrawList::pointer(const void* p) {
    uint64_t bits = 0;
    std::memcpy(&bits, &p, sizeof p);
    words_.push_back(uint32_t(bits));
    words_.push_back(uint32_t(bits >> 32));
}

void GLDrawList::number(float f) {
    words_.push_back(bitsOf(f));
}

void GLDrawList::cover(float x1, float y1, float x2, float y2) {
    GLRect r;
    r.x1 = int(std::floor(std::min(x1, x2) + state_.originX));
    r.y1 = int(std::floor(std::min(y1, y2) + state_.originY));
    r.x2 = int(std::ceil(std::max(x1, x2) + state_.originX));
    r.y2 = int(std::ceil(std::max(y1, y2) + state_.originY));
    groups_.back().bounds.unite(r);
}

void GLDrawList::setOrigin(float x, float y) {
    if (x == state_.originX && y == state_.originY) return;
    state_.originX = x;
    state_.originY = y;
    // A group begun from here starts from the new origin; drawing that goes on in the current group
    // says so first.
    originMoved_ = !groups_.empty();
}

void GLDrawList::beginGroup(const void* owner, const void* item, int index) {
    if (open_) return;
    originMoved_ = false;
    if (!groups_.empty()) groups_.back().end = words_.size();
    groups_.push_back(Group{owner, item, index, words_.size(), words_.size(), state_, GLRect{}, false});
}

void GLDrawList::setTexturing(bool on) {
    op(OP_TEXTURING);
    word(on);
    state_.flags = on ? state_.flags | TEXTURING_2D | TEXTURING_RECT : state_.flags & ~(TEXTURING_2D | TEXTURING_RECT);
}

void GLDrawList::setBlending(bool on) {
    op(OP_BLENDING);
    word(on);
    state_.flags = on ? state_.flags | BLEND : state_.flags & ~BLEND;
}

void GLDrawList::blendFunc(BlendFactors factors) {
    op(OP_BLEND_FUNC);
    word(factors);
    bool inverted = factors == BLEND_INVERTED;
    state_.blendSource = inverted ? GL_ONE_MINUS_SRC_ALPHA : GL_SRC_ALPHA;
    state_.blendDestination = inverted ? GL_SRC_ALPHA : GL_ONE_MINUS_SRC_ALPHA;
}

void GLDrawList::setLineSmooth(bool on) {
    op(OP_LINE_SMOOTH);
    word(on);
    state_.flags = on ? state_.flags | SMOOTH : state_.flags & ~SMOOTH;
}

void GLDrawList::lineWidth(float width) {
    op(OP_LINE_WIDTH);
    number(width);
    state_.lineWidth = width;
}

void GLDrawList::begin(Primitive primitive) {
    op(OP_BEGIN);
    word(primitive);
    open_ = true;
    primitive_ = primitive;
}

void GLDrawList::end() {
    op(OP_END);
    open_ = false;
}

void GLDrawList::color(float r, float g, float b, float a) {
    op(OP_COLOR);
    number(r);
    number(g);
    number(b);
    number(a);
    state_.color[0] = r;
    state_.color[1] = g;
    state_.color[2] = b;
    state_.color[3] = a;
}

void GLDrawList::vertex(float x, float y) {
    op(OP_VERTEX);
    number(x);
    number(y);
    // A quad covers the pixels inside its corners; a line also its width and its smoothed edge.
    float pad = primitive_ == LINES ? state_.lineWidth / 2 + 2 : 1;
    cover(x - pad, y - pad, x + pad, y + pad);
}

void GLDrawList::blit(BlitFunction draw, const void* picture, uint64_t serial, int mode, const int rect[6],
                      const BlendAfter& blend) {
    op(OP_BLIT);
    pointer(reinterpret_cast<const void*>(draw));
    pointer(picture);
    word(uint32_t(serial));
    word(uint32_t(serial >> 32));
    word(uint32_t(mode));
    for (int i = 0; i < 6; ++i)
        word(uint32_t(rect[i]));
    cover(float(rect[0]), float(rect[1]), float(rect[0] + rect[2]), float(rect[1] + rect[3]));
    state_.flags |= TEXTURING_RECT;
    state_.flags = blend.on ? state_.flags | BLEND : state_.flags & ~BLEND;
    if (blend.setsFactors) {
        state_.blendSource = blend.source;
        state_.blendDestination = blend.destination;
    }
}

void GLDrawList::call(CallFunction draw, void* context, float x, float y, float w, float h) {
    op(OP_CALL);
    pointer(reinterpret_cast<const void*>(draw));
    pointer(context);
    number(x);
    number(y);
    number(w);
    number(h);
    cover(x - 1, y - 1, x + w + 1, y + h + 1);
    groups_.back().changing = true;
}

bool GLDrawList::sameDrawing(size_t group, const GLDrawList& other, size_t otherGroup) const {
    const Group& a = groups_[group];
    const Group& b = other.groups_[otherGroup];
    size_t aEnd = group + 1 == groups_.size() ? words_.size() : a.end;
    size_t bEnd = otherGroup + 1 == other.groups_.size() ? other.words_.size() : b.end;
    size_t n = aEnd - a.begin;
    return !a.changing && !b.changing && a.start == b.start && n == bEnd - b.begin &&
           (n == 0 || std::memcmp(&words_[a.begin], &other.words_[b.begin], n * sizeof(uint32_t)) == 0);
}

void GLDrawList::apply(const State& s) {
    enable(GL_TEXTURE_2D, s.flags & TEXTURING_2D);
    enable(GL_TEXTURE_RECTANGLE_EXT, s.flags & TEXTURING_RECT);
    enable(GL_BLEND, s.flags & BLEND);
    enable(GL_LINE_SMOOTH, s.flags & SMOOTH);
    glBlendFunc(s.blendSource, s.blendDestination);
    glLineWidth(s.lineWidth);
    glColor4f(s.color[0], s.color[1], s.color[2], s.color[3]);
}

void GLDrawList::resetState() {
    apply(initialState);
}

void GLDrawList::draw(size_t group) const {
    const Group& g = groups_[group];
    size_t end = group + 1 == groups_.size() ? words_.size() : g.end;
    GLPrimitives* gl = GLPrimitives::immediate();
    apply(g.start);
    glPushMatrix();
    glTranslatef(g.start.originX, g.start.originY, 0);
    const uint32_t* w = words_.data();
    for (size_t i = g.begin; i < end;) {
        switch (w[i++]) {
        case OP_TEXTURING:
            gl->setTexturing(w[i++] != 0);
            break;
        case OP_BLENDING:
            gl->setBlending(w[i++] != 0);
            break;
        case OP_BLEND_FUNC:
            gl->blendFunc(BlendFactors(w[i++]));
            break;
        case OP_LINE_SMOOTH:
            gl->setLineSmooth(w[i++] != 0);
            break;
        case OP_LINE_WIDTH:
            gl->lineWidth(floatOf(w[i++]));
            break;
        case OP_BEGIN:
            gl->begin(Primitive(w[i++]));
            break;
        case OP_END:
            gl->end();
            break;
        case OP_COLOR:
            gl->color(floatOf(w[i]), floatOf(w[i + 1]), floatOf(w[i + 2]), floatOf(w[i + 3]));
            i += 4;
            break;
        case OP_VERTEX:
            gl->vertex(floatOf(w[i]), floatOf(w[i + 1]));
            i += 2;
            break;
        case OP_ORIGIN:
            glPopMatrix();
            glPushMatrix();
            glTranslatef(floatOf(w[i]), floatOf(w[i + 1]), 0);
            i += 2;
            break;
        case OP_BLIT: {
            auto drawBlit = pointerAt<BlitFunction>(&w[i]);
            auto picture = pointerAt<const void*>(&w[i + 2]);
            int rect[6];
            for (int k = 0; k < 6; ++k)
                rect[k] = int(w[i + 7 + k]);
            drawBlit(picture, rect);
            i += 13;
            break;
        }
        case OP_CALL: {
            auto drawCall = pointerAt<CallFunction>(&w[i]);
            auto context = pointerAt<void*>(&w[i + 2]);
            drawCall(context, floatOf(w[i + 4]), floatOf(w[i + 5]), floatOf(w[i + 6]), floatOf(w[i + 7]));
            i += 8;
            break;
        }
        default:
            i = end; // never recorded
            break;
        }
    }
    glPopMatrix();
}
