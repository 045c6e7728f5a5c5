// Waveforms, response and crossfader curves, disc, cover picture and video.
//
// Everything is drawn through the skin's quad and line primitives, every frame, from the player's stripe
// data. Stripes are atomics written by the loading thread; a frame may show a partly filled track.
#include "ui/TarlumeSkinInterface.h"

#include "analysis/WaveForm.h"
#include "audio/effects/EffectGroup.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "library/tags/CID3v2Tag.h"
#include "skin/SkinObject.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr unsigned kBlack = 0x000000, kWhite = 0xFFFFFF, kGrey = 0xC0C0C0;
constexpr unsigned kDefaultCentreLine = 0x32C8F0;
constexpr int kResponseBins = 512;
constexpr int kMemoryCues = 20; // memory cue slots the overview marks

Player* playerOf(TarlumePlayer* deck) {
    return deck ? deck->player.get() : nullptr;
}

double param(Player* p, PLAYERPARAM id, int index = 0) {
    double v = p->getParameter(id, index);
    return std::isfinite(v) ? v : 0.0;
}

bool hasFrequencyStripes(Player* p) {
    return p->getWaveForm() && (param(p, PLAYERPARAM_SPECTRUM1) > 0.5 || param(p, PLAYERPARAM_SPECTRUM2) > 0.5);
}

// The smoothing grade of the detailed stripes for q stripes per pixel: 0, 1 or 2.
int stripeGrade(double q) {
    return q > 4 ? 2 : q > 2 ? 1 : 0;
}

// The detailed stripe interpolated at a fractional index, normalised (0..1). The player takes the index
// in thousandths as an int; beyond that (about 15 hours at 40 stripes per second) the waveform is read
// directly, so the index never wraps.
double detailedStripe(Player* p, double index, int grade) {
    if (!(index >= 0)) return 0.0; // before the track's start (and NaN): nothing there
    const double thousandths = std::floor(index * 1000.0);
    if (thousandths <= double(INT_MAX))
        return param(p, PLAYERPARAM(PLAYERPARAM_DETAILEDSTRIPEAT0 + grade), int(thousandths));
    WaveForm* wf = p->getWaveForm();
    if (!wf) return 0.0;
    const double max = wf->getDetailedStripeMax();
    return max > 0 ? wf->getDetailedStripeInterp(float(index), grade) / max : 0.0;
}

// A stripe index as the waveform's unsigned index; negative and huge ones are clamped.
unsigned stripeIndex(double index) {
    if (!(index > 0)) return 0;
    return index >= 4294967295.0 ? 4294967295u : unsigned(index);
}

// The colour of three band levels: low in bits 16-23, mid in 8-15, high in 0-7, each divided by the
// largest (0.5 each when all are 0).
unsigned bandColour(float low, float mid, float high) {
    const float m = std::max({low, mid, high});
    float l = 0.5f, md = 0.5f, h = 0.5f;
    if (m > 0) {
        l = low / m;
        md = mid / m;
        h = high / m;
    }
    auto byte = [](float v) { return unsigned(std::clamp(v * 255.0f, 0.0f, 255.0f)); };
    return byte(l) << 16 | byte(md) << 8 | byte(h);
}

unsigned fineColour(WaveForm* wf, double index) {
    float l = 0, m = 0, h = 0;
    wf->getFrequencyStripe(stripeIndex(index), &l, &m, &h);
    return bandColour(l, m, h);
}

// Along/across coordinates of an object: along its length L (x, or y when vertical) and its breadth B.
struct Axis {
    int left, top;
    double L, B;
    bool vertical;
    explicit Axis(const SkinRect* r)
        : left(int(r->left)), top(int(r->top)), L(r->vertical ? r->height : r->width),
          B(r->vertical ? r->width : r->height), vertical(r->vertical != 0) {}
    // The rectangle a0..a1 along, c0..c1 across (offsets from the object's origin), as x1, y1, x2, y2.
    void box(int a0, int a1, int c0, int c1, int* x1, int* y1, int* x2, int* y2) const {
        if (vertical) {
            *x1 = left + c0, *x2 = left + c1, *y1 = top + a0, *y2 = top + a1;
        } else {
            *x1 = left + a0, *x2 = left + a1, *y1 = top + c0, *y2 = top + c1;
        }
    }
};

void fill(TarlumeSkinInterface& ui, void* target, const Axis& ax, int a0, int a1, int c0, int c1, unsigned colour) {
    int x1, y1, x2, y2;
    ax.box(a0, a1, c0, c1, &x1, &y1, &x2, &y2);
    ui.fillRectangle(target, x1, y1, x2, y2, colour);
}

void shade(TarlumeSkinInterface& ui, void* target, const Axis& ax, int a0, int a1, int c0, int c1, unsigned colour,
           int transparency) {
    int x1, y1, x2, y2;
    ax.box(a0, a1, c0, c1, &x1, &y1, &x2, &y2);
    ui.fillTransparent(target, x1, y1, x2, y2, colour, transparency);
}

// A bar of half height `level` centred across the object at column k, at least one pixel thick.
void centredBar(TarlumeSkinInterface& ui, void* target, const Axis& ax, int k, double level, unsigned colour) {
    const double c = ax.B / 2;
    int c0 = int(std::floor(c - level)), c1 = int(std::floor(c + level));
    if (c1 <= c0) c1 = c0 + 1;
    fill(ui, target, ax, k, k + 1, c0, c1, colour);
}

// Memory cue times (ms) of the deck's first slots, non-empty and sorted.
std::vector<double> memoryCues(TarlumePlayer* deck) {
    std::vector<double> cues;
    for (int n = 1; n <= kMemoryCues; ++n) {
        const double t = deck->getCuePoint(n);
        if (t > 0 && std::isfinite(t)) cues.push_back(t);
    }
    std::sort(cues.begin(), cues.end());
    return cues;
}

struct Loop {
    bool on = false;
    double start = 0, end = 0; // frames
    explicit Loop(Player* p) {
        on = param(p, PLAYERPARAM_LOOP) > 0.5;
        start = param(p, PLAYERPARAM_LOOPSTART);
        end = param(p, PLAYERPARAM_LOOPEND);
    }
    bool inside(double frame) const { return on && frame > start && frame < end; }
};

} // namespace

// ---- Scrolling waveform -------------------------------------------------------------------------------

namespace {

void drawCircularWaveform(TarlumeSkinInterface& ui, void* target, SkinObject* object, Player* p) {
    const SkinRect* r = object->rect.get();
    const double rate = param(p, PLAYERPARAM_FILERATE), p20 = param(p, PLAYERPARAM_DETAILEDSTRIPERATE);
    const double pos = std::max(0.0, param(p, PLAYERPARAM_POSITION));
    const long N = long(5 * std::max(r->width, r->height));
    if (!(rate > 0) || !(p20 > 0) || N < 1) return;
    const double turnsPerMinute = object->valueSpecifier == "33" ? 100.0 / 3.0 : 45.0;
    const double R = 60.0 / turnsPerMinute * rate; // frames per turn
    const Loop loop(p);
    const bool loopColour = object->colors[2] != 0;
    WaveForm* wf = hasFrequencyStripes(p) ? p->getWaveForm() : nullptr;
    const double cx = r->left + r->width / 2, cy = r->top + r->height / 2;
    const double hw = r->width / 2, hh = r->height / 2;
    const double turn0 = pos / R - std::floor(pos / R);
    const double fadeSpokes = 0.1 * double(N);

    ui.drawLineBegin(target, 1.0f);
    for (long j = 0; j < N; ++j) {
        const double a = pos - R / 2 + double(j) * R / double(N);
        const double index = a / rate * p20;
        const double v = std::clamp(detailedStripe(p, index, 0), 0.0, 1.0);
        double turn = turn0 + double(j) / double(N);
        turn -= std::floor(turn);
        const double angle = 2 * kPi * turn;
        const bool inLoop = loopColour && loop.inside(a);
        unsigned colour = inLoop ? object->colors[2] : object->colors[0];
        if (wf && index >= 0) {
            const unsigned band = fineColour(wf, index);
            colour = inLoop ? getColorMix(object->colors[2], band, 0.1f) : band;
        }
        if (double(j) < fadeSpokes)
            colour = getColorMix(kBlack, colour, float(double(j) / fadeSpokes));
        else if (double(N - 1 - j) < fadeSpokes)
            colour = getColorMix(kBlack, colour, float(double(N - 1 - j) / fadeSpokes));
        const double c = std::cos(angle), s = std::sin(angle);
        const double inner = 0.7 - 0.3 * v, outer = 0.7 + 0.3 * v;
        ui.drawLine(target, int(cx + c * hw * inner), int(cy + s * hh * inner), int(cx + c * hw * outer),
                    int(cy + s * hh * outer), 1.0f, colour, 0.0f);
    }
    ui.drawLineEnd(target);
}

void drawScrollingWaveform(TarlumeSkinInterface& ui, void* target, SkinObject* object, int layer, TarlumePlayer* deck) {
    Player* p = playerOf(deck);
    SkinObjectStateInfo* state = object->state(layer);
    if (!p || !state) return;
    if (object->drawType == 5) {
        drawCircularWaveform(ui, target, object, p);
        return;
    }
    const Axis ax(object->rect.get());
    const int L = int(ax.L);
    const double rate = param(p, PLAYERPARAM_FILERATE), p20 = param(p, PLAYERPARAM_DETAILEDSTRIPERATE);
    const double z = ui.engine->waveformZoom;
    if (L < 1 || !(rate > 0) || !(p20 > 0) || !(z > 0)) return;
    const double pos = param(p, PLAYERPARAM_POSITION);
    const double s = z * (pos / rate) - ax.L / 2; // pixel offset of the view's first column
    const double q = p20 / z;                     // stripes per pixel
    const int grade = stripeGrade(q);
    const Loop loop(p);
    const bool loopColour = object->colors[2] != 0;
    WaveForm* wf = hasFrequencyStripes(p) ? p->getWaveForm() : nullptr;
    const bool envelope = object->drawType == 3;
    double m = std::isfinite(state->auxValue) ? state->auxValue : 0.0;

    ui.fillRectangleBegin(target, false);
    for (int k = 0; k < L; ++k) {
        const double index = q * (k + s);
        const double level = std::max(0.0, detailedStripe(p, index, grade)) * ax.B / 2;
        const double seconds = (k + s) / z;
        const bool inLoop = loopColour && loop.inside(seconds * rate);
        unsigned colour = inLoop ? object->colors[2] : object->colors[0];
        if (wf && index >= 0) {
            const unsigned band = fineColour(wf, index);
            colour = inLoop ? getColorMix(object->colors[2], band, 0.1f) : band;
        }
        if (envelope) {
            if (level > m) m = level;
            if (m > 0) {
                const double e = level / m * ax.B / 2;
                if (e > level) centredBar(ui, target, ax, k, e, object->colors[1]);
            }
        }
        centredBar(ui, target, ax, k, level, colour);
    }
    const int centre = L / 2;
    const unsigned line = object->colors[3] ? object->colors[3] : kDefaultCentreLine;
    fill(ui, target, ax, centre, centre + 1, 0, int(ax.B), line);
    ui.fillRectangleEnd(target, false);
    if (envelope) state->auxValue = m * 0.99;

    // The speed trail: a shade that follows the play direction's speed, kept between frames.
    double t = std::isfinite(state->scrollOffset) ? state->scrollOffset : 0.0;
    if (param(p, PLAYERPARAM_PLAYING) > 0.5)
        t = 0.8 * t + 0.2 * (ax.vertical ? 6.0 : 8.0) * deck->pitch;
    else
        t = 0.8 * t;
    if (!std::isfinite(t)) t = 0.0;
    state->scrollOffset = t;
    const int n = int(t);
    const int quarter = L / 4;
    ui.fillRectangleBegin(target, true);
    if (n > 0) {
        const int w = std::min(n, quarter);
        for (int j = 0; j < w; ++j) {
            const int k = centre - w + j;
            shade(ui, target, ax, k, k + 1, 0, int(ax.B), line, 255 - 255 * j / w);
        }
    } else if (n < 0) {
        const int w = std::min(-n, quarter);
        for (int j = 0; j < w; ++j) {
            const int k = centre + j;
            shade(ui, target, ax, k, k + 1, 0, int(ax.B), line, 255 * j / w);
        }
    }
    const double cue = z * (deck->cuePoint / 1000.0) - s;
    if (cue > 0 && cue < ax.L) shade(ui, target, ax, int(cue), int(cue) + 1, 0, int(ax.B), line, 96);
    ui.fillRectangleEnd(target, true);
}

// ---- Overview -------------------------------------------------------------------------------------------

void drawOverviewMeter(TarlumeSkinInterface& ui, void* target, SkinObject* object, const Axis& ax, Player* p) {
    const int g = int(ax.B / 5);
    const int L = int(ax.L), B = int(ax.B);
    if (g < 2) return;
    const double length = param(p, PLAYERPARAM_LENGTH), pos = param(p, PLAYERPARAM_POSITION);
    ui.fillRectangleBegin(target, false);
    for (int c = 0; c <= L - g + 1; c += g) {
        const double v = param(p, PLAYERPARAM_STRIPE, int(double(c) / L * 299));
        const unsigned colour = double(c) / L * length > pos ? object->colors[0] : object->colors[1];
        for (int n = 0; n < 5 && n + 1 <= 4.5 * v + 1; ++n)
            fill(ui, target, ax, c, c + g - 1, B - g * (n + 1) + 1, B - g * n, colour);
    }
    ui.fillRectangleEnd(target, false);
}

void drawOverview(TarlumeSkinInterface& ui, void* target, SkinObject* object, TarlumePlayer* deck) {
    Player* p = playerOf(deck);
    if (!p) return;
    const Axis ax(object->rect.get());
    const int L = int(ax.L);
    const double length = param(p, PLAYERPARAM_LENGTH), rate = param(p, PLAYERPARAM_FILERATE);
    if (L < 1 || !(length > 0) || !(rate > 0)) return;
    const double f = p->isStreaming() ? 1.0 : param(p, PLAYERPARAM_LOADED) / length;
    const Loop loop(p);
    WaveForm* wf = hasFrequencyStripes(p) ? p->getWaveForm() : nullptr;
    const int dt = object->drawType;

    if (dt == 4) {
        drawOverviewMeter(ui, target, object, ax, p);
    } else if (dt < 4) {
        const std::vector<double> cues = memoryCues(deck);
        size_t nextCue = 0;
        ui.fillRectangleBegin(target, false);
        for (int i = 0; i < L; ++i) {
            const double t = double(i) / L;
            const double frame = t * length;
            unsigned colour = object->colors[0];
            if (wf) {
                float l = 0, m = 0, h = 0;
                wf->getCoarseFrequencyStripe(unsigned(t * WaveForm::kOverviewStripes), &l, &m, &h);
                colour = l > 0 || m > 0 || h > 0 ? bandColour(l, m, h) : 0x7F7F7F;
            }
            const bool unloaded = t > f;
            if (unloaded) colour = getColorMix(colour, kBlack, 0.5f);
            if (loop.inside(frame)) colour = getColorMix(colour, kWhite, 0.5f);
            const double ms = frame / rate * 1000.0;
            while (nextCue < cues.size() && cues[nextCue] <= ms) {
                colour = kWhite;
                ++nextCue;
            }
            double h = std::max(0.0, param(p, PLAYERPARAM_STRIPE, int(t * 299))) * ax.B / 2;
            if (unloaded && h == 0) h = ax.B / 4;
            h = std::max(h, 0.5);
            centredBar(ui, target, ax, i, h, colour);
        }
        ui.fillRectangleEnd(target, false);
    }

    // The play position: the played part shaded, a light glow before the marker, a shadow after it.
    const double pr = std::clamp(param(p, PLAYERPARAM_POSITION) / length, 0.0, 1.0);
    const int x = int((ax.L + 1) * pr);
    const int B = int(ax.B);
    ui.fillRectangleBegin(target, true);
    if (x > 0) shade(ui, target, ax, 0, std::min(x, L), 0, B, object->colors[1], 135);
    for (int k = 1; k <= 7; ++k)
        if (x - k >= 0 && x - k < L) shade(ui, target, ax, x - k, x - k + 1, 0, B, kWhite, 75 + 180 * k / 7);
    for (int k = 1; k <= 10; ++k)
        if (x + k >= 0 && x + k < L) shade(ui, target, ax, x + k, x + k + 1, 0, B, kBlack, 55 + 200 * k / 10);
    ui.fillRectangleEnd(target, true);
    fill(ui, target, ax, x, x + 1, 0, B, kWhite);
}

// ---- Two waveforms with beat markers ----------------------------------------------------------------

// The deck of one of the two waveforms: its specifier item, or the default when the item names none.
int bothWaveformsDeck(Tarlume* engine, const std::string& item, int objectDeck, int side, int fallback) {
    const std::string name = strtolower(strtrim(item));
    if (name == "auto") return objectDeck;
    if (name == "xfade") {
        for (int d = 0; d < Tarlume::kDecks; ++d)
            if (engine->players[d] && engine->players[d]->getCrossfaderSide() == side) return d;
        return fallback;
    }
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) return fallback;
    const int d = strToInt(name);
    return isValidDeck(d) ? d : fallback;
}

void drawBeatMarkers(TarlumeSkinInterface& ui, void* target, const SkinRect* r, WaveForm* wf, double rate, double p20,
                     double first, double q, int c0, int c1) {
    const int L = int(r->width);
    double bp = 0, strength = 0, onset = 0, bpm = 0;
    const double startFrame = std::max(0.0, first / p20 * rate);
    double beat = wf->getClosestBeat(stripeIndex(startFrame), true, &bp, &strength, &onset, &bpm);
    double lastColumn = -1e300;
    ui.drawLineBegin(target, 1.0f);
    for (int n = 0; n < L && beat >= 0; ++n) {
        const double column = (beat / rate * p20 - first) / q;
        // A grid that snaps back (or stands still) would never reach the object's end.
        if (!(column >= lastColumn + 1) || column >= L) break;
        lastColumn = column;
        if (column >= 0) {
            const double whole = std::floor(beat);
            const int tenth = int(std::lround((beat - whole) * 10));
            unsigned colour = kWhite;
            if (strength > 500 && std::fabs(bp - whole) <= 1)
                colour = 0xFF8080; // the user's reference beat
            else if (tenth == 1)
                colour = 0x8080FF; // the downbeat of the eight-beat cycle
            else if (tenth == 5)
                colour = 0xC0C0FF; // its middle beat
            const int x = int(r->left) + int(column);
            ui.drawLine(target, x, c0, x, c1, 1.0f, colour, 0.0f);
        }
        const double step = bpm > 0 ? 60.0 / bpm * rate : 4294967295.0;
        const double next = std::clamp(std::floor(beat) + step, 0.0, 4294967295.0);
        beat = wf->getClosestBeat(stripeIndex(next), true, &bp, &strength, &onset, &bpm);
    }
    ui.drawLineEnd(target);
}

void drawBothWaveforms(TarlumeSkinInterface& ui, void* target, SkinObject* object, int objectDeck) {
    Tarlume* engine = ui.engine;
    const SkinRect* r = object->rect.get();
    const int L = int(r->width);
    if (L < 1) return;
    int decks[2] = {0, 1};
    const std::vector<std::string> items = strsplit(object->valueSpecifier, "|");
    if (items.size() >= 2) {
        decks[0] = bothWaveformsDeck(engine, items[0], objectDeck, CROSSFADER_LEFT, 0);
        decks[1] = bothWaveformsDeck(engine, items[1], objectDeck, CROSSFADER_RIGHT, 1);
    }
    Player* players[2] = {playerOf(engine->players[decks[0]]), playerOf(engine->players[decks[1]])};
    double p20 = 0;
    for (Player* p : players)
        if (p && !(p20 > 0)) p20 = param(p, PLAYERPARAM_DETAILEDSTRIPERATE);
    if (!(p20 > 0)) p20 = 40;
    const double half = r->height / 2;
    const int top = int(r->top), bottom = int(r->bottom), centre = int(r->top + half);
    const int marker = int(r->left) + L / 4;

    for (int w = 0; w < 2; ++w) {
        Player* p = players[w];
        if (!p) continue;
        const double rate = param(p, PLAYERPARAM_FILERATE);
        const double q = std::fabs(param(p, PLAYERPARAM_SPEED)) * 0.75; // stripes per pixel
        if (!(rate > 0) || !(q > 0)) continue;
        const double first = p20 * param(p, PLAYERPARAM_POSITION) / rate - (L / 4.0) * q;
        const int grade = stripeGrade(q);
        const unsigned base = object->colors[w];
        const Loop loop(p);
        const double loopA = loop.start / rate * p20, loopB = loop.end / rate * p20;
        WaveForm* wf = p->getWaveForm();
        int quiet = 0;
        ui.fillRectangleBegin(target, false);
        for (int k = 0; k < L; ++k) {
            const double index = first + k * q;
            const int level = int(std::max(0.0, detailedStripe(p, index, grade)) * half);
            unsigned colour = base;
            if (loop.on && index > loopA && index < loopB) {
                colour = getColorMix(base, kWhite, 0.4f);
            } else {
                const int state = wf && index >= 0 ? wf->getMusicState(int(std::min(index, double(INT_MAX)))) : 0;
                if (state >= 0) quiet = state;
                if (quiet == 1) colour = getColorMix(base, kBlack, 0.2f);
            }
            const int x = int(r->left) + k;
            if (level <= 0) continue;
            int y0, y1;
            if (w == 0) {
                y0 = object->drawType == 1 ? top : centre - level;
                y1 = object->drawType == 1 ? top + level : centre;
            } else {
                y0 = object->drawType == 1 ? bottom - level : centre;
                y1 = object->drawType == 1 ? bottom : centre + level;
            }
            ui.fillRectangle(target, x, y0, x + 1, y1, colour);
        }
        ui.fillRectangleEnd(target, false);
        if (wf)
            drawBeatMarkers(ui, target, r, wf, rate, p20, first, q, w == 0 ? top : centre, w == 0 ? centre : bottom);
    }
    ui.drawLine(target, marker, top, marker, bottom, 1.0f, kGrey, 0.0f);
}

// ---- Response curve -------------------------------------------------------------------------------------

// Everything the curve depends on: the effects' parameters and their on/off states.
std::vector<double> responseKey(EffectGroup* fx, bool filter) {
    std::vector<double> key;
    if (filter) {
        key.push_back(fx->getEffectState(EFFECT_FILTER));
        for (int id : {100, 101, 2, 4})
            key.push_back(fx->getParameter(EFFECT_FILTER, id));
    } else {
        key.push_back(fx->getEffectState(EFFECT_EQ));
        key.push_back(fx->getEffectState(EFFECT_EQ_KILLS));
        for (int id = 0; id <= 8; ++id)
            key.push_back(fx->getParameter(EFFECT_EQ_KILLS, id));
    }
    return key;
}

void drawResponse(TarlumeSkinInterface& ui, void* target, SkinObject* object, int layer, TarlumePlayer* deck) {
    EffectGroup* fx = deck ? deck->effects : nullptr;
    SkinObjectStateInfo* state = object->state(layer);
    const SkinRect* r = object->rect.get();
    const int width = int(r->width);
    if (!fx || !state || width < 2) return;
    const bool filter = strtolower(object->valueSpecifier) == "filter";
    // The state keeps the 512 mapped values followed by the key they were computed for.
    const std::vector<double> key = responseKey(fx, filter);
    std::vector<double>& cache = state->auxData;
    if (cache.size() != kResponseBins + key.size() ||
        !std::equal(key.begin(), key.end(), cache.begin() + kResponseBins)) {
        float out[kResponseBins] = {};
        fx->getImpulseResponse(out, filter ? EFFECT_FILTER : EFFECT_EQ);
        cache.assign(kResponseBins, 0.0);
        for (int b = 0; b < kResponseBins; ++b) {
            const double v = std::isfinite(out[b]) ? out[b] : 0.0;
            cache[size_t(b)] = v > 1 ? 1 + (v - 1) * 0.125 : (v + 0.05) * 0.95;
        }
        cache.insert(cache.end(), key.begin(), key.end());
    }
    const double lo = 10.0 * kResponseBins / 22050, hi = 17000.0 * kResponseBins / 22050;
    const int bottom = int(r->top + r->height);
    auto yAt = [&](int x) {
        const double f = double(x) / width;
        const int bin = std::clamp(int(lo + f * f * f * (hi - lo)), 1, kResponseBins - 1);
        const double y = r->top + r->height - r->height * cache[size_t(bin)] / 2;
        return int(std::max(y, double(r->top)));
    };
    const int left = int(r->left);
    if (object->drawType == 0) {
        ui.drawLineBegin(target, 1.4f);
        int previous = yAt(1);
        for (int x = 2; x < width; ++x) {
            const int y = yAt(x);
            ui.drawLine(target, left + x - 1, previous, left + x, y, 1.4f, object->colors[0], 0.0f);
            previous = y;
        }
        ui.drawLineEnd(target);
    } else {
        ui.fillRectangleBegin(target, false);
        for (int x = 1; x < width; ++x)
            ui.fillRectangle(target, left + x, yAt(x), left + x + 1, bottom, object->colors[0]);
        ui.fillRectangleEnd(target, false);
    }
}

// ---- Crossfader curve -----------------------------------------------------------------------------------

void drawCrossfaderCurve(TarlumeSkinInterface& ui, void* target, SkinObject* object, int layer) {
    Tarlume* engine = ui.engine;
    SkinObjectStateInfo* state = object->state(layer);
    const SkinRect* r = object->rect.get();
    const int width = int(r->width);
    if (!state || width < 2) return; // one column has no curve to draw (and no slope to divide by)
    int type = int(TarlumeSkinInterface::getDblFromValSpec(&object->valueSpecifier, -1));
    const bool ownType = type < 0;
    if (type < 0) type = engine->crossfaderType;
    const double height = r->height;
    const int left = int(r->left), bottom = int(r->top + r->height), top = int(r->top);
    double h = std::isfinite(state->auxValue) ? std::clamp(state->auxValue, 0.0, 1.0) : 1.0;
    int previous[2] = {0, 0};
    ui.drawLineBegin(target, 1.5f);
    for (int x = 0; x < width; ++x) {
        const double pos = double(x) / (width - 1);
        for (int side = 0; side < 2; ++side) {
            const double g = engine->getCrossfaderVolume(side + 1, pos, type);
            const int y = bottom - int(std::clamp(g * height, 0.0, height));
            if (x > 0)
                ui.drawLine(target, left + x - 1, previous[side], left + x, y, 1.5f, object->colors[1 + side], 0.0f);
            previous[side] = y;
        }
        if (!ownType && type == engine->crossfaderType)
            h *= 0.995; // the current curve: its frame fades in
        else if (!state->hover || ownType)
            h = h * 0.98 + 0.02; // hidden
        else
            h = h * 0.995 + 0.004; // hovered: a faint frame
    }
    if (h < 0.99) {
        const int l = left - 2, t = top - 2, rr = int(r->left + r->width) + 1, b = bottom + 1;
        const float fade = float(h);
        ui.drawLine(target, l, t, rr, t, 1.5f, kGrey, fade);
        ui.drawLine(target, rr, t, rr, b, 1.5f, kGrey, fade);
        ui.drawLine(target, rr, b, l, b, 1.5f, kGrey, fade);
        ui.drawLine(target, l, b, l, t, 1.5f, kGrey, fade);
    }
    ui.drawLineEnd(target);
    state->auxValue = h;
}

// ---- Disc and cover -------------------------------------------------------------------------------------

void drawDisc(TarlumeSkinInterface& ui, void* target, SkinObject* object, int deck, int layer, TarlumePlayer* d) {
    const bool slow = object->valueSpecifier == "33";
    const double period = slow ? 1800.0 : 4000.0 / 3.0;
    const long long modulo = slow ? 1800 : 1333;
    const double ms = d && playerOf(d) ? d->getPosition() : 0.0;
    const long long whole = std::isfinite(ms) ? (long long)(std::clamp(ms, -1e15, 1e15)) : 0;
    double angle = 2 * kPi * double(whole % modulo) / period;
    while (angle < 0)
        angle += 2 * kPi;
    const int dt = object->drawType;
    if (dt == 2 || dt == 3) {
        ui.drawObjectKnob(target, object, deck, layer, angle / (2 * kPi));
    } else if (dt == 0 || dt == 4) {
        const SkinRect* r = object->rect.get();
        // Zero at twelve o'clock, turning clockwise.
        const int x = int(r->left + r->width / 2 + std::sin(angle) * 0.8 * r->width / 2);
        const int y = int(r->top + r->height / 2 - std::cos(angle) * 0.8 * r->height / 2);
        ui.fillRectangle(target, x - 2, y - 2, x + 2, y + 2, object->colors[0]);
    }
}

void drawCover(TarlumeSkinInterface& ui, void* target, SkinObject* object, int layer, TarlumePlayer* deck) {
    SkinObjectStateInfo* state = object->state(layer);
    if (!state) return;
    CID3v2Tag* tag = deck ? deck->tag : nullptr;
    if (!tag) {
        delete state->picture;
        state->picture = nullptr;
        state->auxText.clear();
        return;
    }
    if (!state->picture || state->auxText != tag->getPath()) {
        delete state->picture;
        state->picture = tag->getPicture(int(object->rect->width), int(object->rect->height), "");
        state->auxText = tag->getPath();
    }
    CPicture* picture = state->picture;
    if (picture && picture->width >= 1)
        ui.bitblt(target, int(object->rect->left), int(object->rect->top), picture->width, picture->height, picture, 0,
                  0);
}

} // namespace

void TarlumeSkinInterface::drawObject(void* target, SkinObject* object, int layer, SkinWindow* window) {
    if (!object || !engine || !isValidDeck(layer)) {
        SkinInterface::drawObject(target, object, layer, window);
        return;
    }
    const int deck = deckOf(object, layer);
    if (object->type == OBJECT_SLIDER && (object->value == VALUE_PITCH || object->value == VALUE_PITCHTO) &&
        object->rect && object->rect->vertical)
        object->invert = true; // a vertical pitch slider speeds up downwards, as on a turntable
    if (object->type != OBJECT_SPECIAL || !object->rect) {
        // File and playlist lists follow their folder's loading in the engine's per-frame update
        // (updateBrowserLoading), for every browser, whichever layer shows them.
        SkinInterface::drawObject(target, object, layer, window);
        return;
    }
    TarlumePlayer* d = deckAt(deck);
    switch (object->value) {
    case VALUE_WAVEFORMLOCAL:
        drawScrollingWaveform(*this, target, object, layer, d);
        break;
    case VALUE_WAVEFORMCOMPLETE:
        drawOverview(*this, target, object, d);
        break;
    case VALUE_BOTHWAVEFORMS:
        drawBothWaveforms(*this, target, object, deck);
        break;
    case VALUE_CROSSFADERTYPE:
        drawCrossfaderCurve(*this, target, object, layer);
        break;
    case VALUE_SONGPICTURE:
        drawCover(*this, target, object, layer, d);
        break;
    case VALUE_DISC:
        drawDisc(*this, target, object, deck, layer, d);
        break;
    case VALUE_IMPULSERESPONSE:
        drawResponse(*this, target, object, layer, d);
        break;
    case VALUE_PLAYERVIDEO:
        if (d)
            d->draw(target, int(object->rect->left), int(object->rect->top), int(object->rect->width),
                    int(object->rect->height), 1.0f);
        break;
    case VALUE_VIDEOMIX:
        for (int i = 0; i < Tarlume::kDecks; ++i) {
            TarlumePlayer* v = engine->players[i];
            if (!v) continue;
            const double opacity = engine->getCrossfaderVolume(v->getCrossfaderSide(), engine->crossfaderVideo, 1);
            v->draw(target, int(object->rect->left), int(object->rect->top), int(object->rect->width),
                    int(object->rect->height), float(opacity));
        }
        break;
    default:
        break;
    }
}
