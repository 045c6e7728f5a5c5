#include "Steps.h"

#include "skin/SkinImageRef.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cmath>

namespace e2e {

using namespace testsupport;

double trackTone(int deck) {
    return deck % 2 == 0 ? Tracks::kTone1 : Tracks::kTone2;
}

Bands bands(const Heard& heard, int deck, bool phones, double speed) {
    const std::vector<float> m = heard.mid(phones ? 2 : 0);
    const double tone = trackTone(deck) * speed;
    return Bands{medianBandDb(m, 44100, Tracks::kBassLow, Tracks::kBassHigh),
                 medianBandDb(m, 44100, tone * 0.97, tone * 1.03),
                 medianBandDb(m, 44100, Tracks::kHatsLow, Tracks::kHatsHigh)};
}

double toneHz(const Heard& heard, int deck) {
    return heard.master().toneHz(trackTone(deck) * 0.8, trackTone(deck) * 1.2);
}

namespace {
std::string figures;
}

void measured(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    figures += (figures.empty() ? "" : "; ") + std::string(text);
}

std::string takeMeasured() {
    std::string taken;
    taken.swap(figures);
    return taken;
}

void playing(Rig& rig, int deck, bool on) {
    EXPECT_TRUE(rig.play(deck, on)) << "deck " << deck + 1 << " did not " << (on ? "start" : "stop");
}

double position(Rig& rig, int deck) {
    return rig.deckFact(deck, "position");
}

void soundFor(Rig& rig, double seconds) {
    const int64_t from = rig.tap().now();
    rig.until([&] { return rig.tap().now() - from >= int64_t(seconds * rig.tap().rate()); }, 10 * seconds + 30);
}

int pacer(int deck) {
    return deck ^ 1;
}

double positionRate(Rig& rig, int deck, double seconds) {
    const int other = pacer(deck);
    EXPECT_GT(rig.deckFact(other, "playing"), 0.5) << "deck " << other + 1 << " does not play to measure against";
    const double otherSpeed = rig.deckFact(other, "speed");
    double n = 0, sq = 0, sp = 0, sqq = 0, sqp = 0;
    for (auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds); rig.frames(1)) {
        auto at = rig.probe().facts("positions");
        const double p = atof(at[std::to_string(deck)].c_str()), q = atof(at[std::to_string(other)].c_str());
        n += 1, sq += q, sp += p, sqq += q * q, sqp += q * p;
    }
    return otherSpeed * (n * sqp - sq * sp) / (n * sqq - sq * sq);
}

double turnKnob(Rig& rig, const Control& knob, double relative) {
    if (!knob.valid()) {
        ADD_FAILURE() << "no such knob";
        return -1;
    }
    const double now = rig.value(knob).relative;
    // A knob moves its whole range over 60 pixels times its sensitivity; up raises it.
    const double pixels = 60 * knob.placed.object->typeVariable;
    const int dy = int(std::lround(-(relative - now) * pixels));
    // Past the ends by a few pixels, so an end is reached exactly.
    const int extra = relative <= 0 ? 6 : relative >= 1 ? -6 : 0;
    if (dy + extra != 0) rig.drag(rig.reach(knob), 0, dy + extra, 6);
    return rig.value(knob).relative;
}

// A slider whose position is read upside down: its own invert flag, or a vertical pitch fader, which the
// application turns so that it speeds up downwards, as on a turntable.
bool inverted(const Control& slider) {
    const SkinObject* o = slider.placed.object;
    return o->invert || ((slider.value == "pitch" || slider.value == "pitchto") && o->rect->vertical);
}

// Where on a slider a press sets `relative` (skin pixels).
Point sliderPoint(Rig& rig, const Control& slider, double relative) {
    if (!slider.valid()) {
        ADD_FAILURE() << "no such slider";
        return Point{};
    }
    SkinObject* o = slider.placed.object;
    const bool invert = inverted(slider);
    // An end: the track's last pixel inside the slider, past the thumb's middle, where the value clamps.
    if (relative <= 0 || relative >= 1) {
        const bool high = (relative >= 1) != invert;
        const SkinRect* r = o->rect.get();
        const Point corner = rig.reach(slider, 0, 0);
        if (r->vertical) return Point{corner.x + int(r->width / 2), corner.y + (high ? 1 : int(r->height) - 2)};
        return Point{corner.x + (high ? int(r->width) - 2 : 1), corner.y + int(r->height / 2)};
    }
    const SkinRect* r = o->rect.get();
    const int dt = o->drawType;
    const bool thumbed = dt == 1 || dt == 2 || dt == 5 || dt == 21 || dt == 22;
    SkinImageRef* thumb = thumbed ? o->additionalPics[(dt == 21 || dt == 22) ? 1 : 0].get() : nullptr;
    const double tw = thumb ? thumb->rect->width : 0, th = thumb ? thumb->rect->height : 0;
    if (invert) relative = 1 - relative;
    Point at = rig.reach(slider, 0, 0);
    if (r->vertical)
        at = Point{at.x + int(r->width / 2), at.y + int(std::lround(th / 2 + (1 - relative) * (r->height - th)))};
    else
        at = Point{at.x + int(std::lround(tw / 2 + relative * (r->width - tw))), at.y + int(r->height / 2)};
    return at;
}

double moveSlider(Rig& rig, const Control& slider, double relative) {
    rig.click(sliderPoint(rig, slider, relative));
    return rig.value(slider).relative;
}

Control pitchFader(Rig& rig, const Control& near) {
    constexpr int kSlider = 3;
    return rig.find("pitch", near.deck, std::nullopt, kSlider);
}

// A point of a control's area, in skin pixels, that no other object of its window covers.
Point freePlace(Rig& rig, const Control& c) {
    const SkinRect* area = c.placed.object->rect.get();
    const Point corner = rig.reach(c, 0, 0);
    for (int y = int(area->top) + 2; y < area->top + area->height; y += 4)
        for (int x = int(area->left) + 2; x < area->left + area->width; x += 4) {
            bool covered = false;
            rig.skin().forEachObject([&](SkinWindow* w, const std::string&, SkinObject* o) {
                const SkinRect* r = o->rect.get();
                if (w == c.placed.window && o != c.placed.object && x > r->left && x < r->left + r->width &&
                    y > r->top && y < r->top + r->height)
                    covered = true;
            });
            if (!covered) return Point{corner.x + x - int(area->left), corner.y + y - int(area->top)};
        }
    return Point{};
}

void rightClick(Rig& rig, const Control& c) {
    rig.click(rig.reach(c), 3);
}

Control sibling(Rig& rig, const Control& near, const std::string& value, const std::optional<std::string>& specifier) {
    return rig.find(value, near.deck, specifier);
}

void pressValue(Rig& rig, const Control& near, const std::string& value, const std::optional<std::string>& specifier) {
    Control c = sibling(rig, near, value, specifier);
    ASSERT_TRUE(c.valid()) << "the skin has no " << value << " " << specifier.value_or("") << " for deck "
                           << near.deck + 1;
    rig.click(c);
}

double leadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && !(isdigit(static_cast<unsigned char>(text[i])) || text[i] == '-' || text[i] == '.'))
        ++i;
    return i < text.size() ? strtod(text.c_str() + i, nullptr) : NAN;
}

double timeText(const std::string& text) {
    std::string t = text;
    const bool negative = !t.empty() && t[0] == '-';
    if (negative) t.erase(0, 1);
    double seconds = 0;
    size_t start = 0;
    for (;;) {
        const size_t colon = t.find(':', start);
        if (colon == std::string::npos) {
            seconds = seconds * 60 + strtod(t.c_str() + start, nullptr);
            break;
        }
        seconds = seconds * 60 + strtod(t.substr(start, colon - start).c_str(), nullptr);
        start = colon + 1;
    }
    return negative ? -seconds : seconds;
}

} // namespace e2e
