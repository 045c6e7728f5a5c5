#include "platform/GLRetainedFrame.h"

#include "platform/GL.h"

#include <algorithm>
#include <functional>
#include <unordered_map>

namespace {

// Areas closer than this are drawn as one (fewer passes over the groups).
constexpr int kNear = 8;
// Beyond this many areas, or this share of the target, the frame is drawn as one area.
constexpr size_t kMaxAreas = 24;
constexpr double kWholeShare = 0.6;

struct NameHash {
    size_t operator()(const GLDrawList::Name& n) const {
        size_t h = std::hash<const void*>()(n.owner);
        h = h * 31 + std::hash<const void*>()(n.item);
        return h * 31 + std::hash<int>()(n.index);
    }
};

bool near(const GLRect& a, const GLRect& b) {
    return a.x1 - kNear < b.x2 && b.x1 < a.x2 + kNear && a.y1 - kNear < b.y2 && b.y1 < a.y2 + kNear;
}

} // namespace

GLRetainedFrame& GLRetainedFrame::screen() {
    static GLRetainedFrame frame;
    return frame;
}

void GLRetainedFrame::setRetained(bool retained) {
    if (retained == retained_) return;
    retained_ = retained;
    valid_ = false;
}

void GLRetainedFrame::begin(int width, int height) {
    if (width != width_ || height != height_) valid_ = false;
    width_ = width;
    height_ = height;
    current_ ^= 1;
    list().clear();
    GLDrawList::setRecording(&list());
}

void GLRetainedFrame::end() {
    GLDrawList::setRecording(nullptr);
    damage_.clear();
    const GLDrawList& now = list();
    if (retained_ && valid_)
        compare(now, lists_[current_ ^ 1]);
    else
        add(GLRect{0, 0, width_, height_});
    stats_ = Stats{};
    stats_.groups = now.groups();
    draw(now);
    valid_ = retained_;
}

void GLRetainedFrame::add(const GLRect& r) {
    GLRect c = r;
    c.clip(GLRect{0, 0, width_, height_});
    if (!c.empty()) damage_.push_back(c);
}

void GLRetainedFrame::compare(const GLDrawList& now, const GLDrawList& before) {
    auto changed = [&](size_t i, size_t j) {
        if (now.sameDrawing(i, before, j)) return;
        add(before.bounds(j));
        add(now.bounds(i));
    };
    size_t n = now.groups(), m = before.groups();
    bool aligned = n == m;
    for (size_t i = 0; aligned && i < n; ++i)
        aligned = now.name(i) == before.name(i);
    if (aligned) {
        for (size_t i = 0; i < n; ++i)
            changed(i, i);
    } else {
        // Groups are paired by name in order; one that has no partner (shown, hidden, or drawn in
        // another order than before) changes its area.
        std::unordered_map<GLDrawList::Name, std::vector<size_t>, NameHash> where;
        for (size_t j = 0; j < m; ++j)
            where[before.name(j)].push_back(j);
        std::vector<bool> paired(m, false);
        size_t next = 0; // old groups before this one can no longer be paired
        for (size_t i = 0; i < n; ++i) {
            auto found = where.find(now.name(i));
            size_t j = m;
            if (found != where.end())
                for (size_t k : found->second)
                    if (k >= next && !paired[k]) {
                        j = k;
                        break;
                    }
            if (j == m) {
                add(now.bounds(i));
                continue;
            }
            paired[j] = true;
            next = j + 1;
            changed(i, j);
        }
        for (size_t j = 0; j < m; ++j)
            if (!paired[j]) add(before.bounds(j));
    }

    // Neighbouring areas become one; many, or most of the target, become the whole target.
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t a = 0; a < damage_.size() && !merged; ++a)
            for (size_t b = a + 1; b < damage_.size(); ++b)
                if (near(damage_[a], damage_[b])) {
                    damage_[a].unite(damage_[b]);
                    damage_.erase(damage_.begin() + long(b));
                    merged = true;
                    break;
                }
    }
    long long area = 0;
    for (const GLRect& r : damage_)
        area += r.area();
    if (damage_.size() > kMaxAreas || double(area) > kWholeShare * double(width_) * double(height_)) {
        damage_.clear();
        add(GLRect{0, 0, width_, height_});
    }
}

void GLRetainedFrame::draw(const GLDrawList& now) {
    if (damage_.empty()) return;
    glEnable(GL_SCISSOR_TEST);
    glClearColor(0, 0, 0, 0);
    for (const GLRect& r : damage_) {
        glScissor(r.x1, height_ - r.y2, r.x2 - r.x1, r.y2 - r.y1);
        glClear(GL_COLOR_BUFFER_BIT);
        for (size_t g = 0; g < now.groups(); ++g)
            if (now.bounds(g).intersects(r)) {
                now.draw(g);
                ++stats_.groupsDrawn;
            }
        stats_.pixelsDrawn += r.area();
    }
    glDisable(GL_SCISSOR_TEST);
    GLDrawList::resetState();
}
