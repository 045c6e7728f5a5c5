#include "platform/TextRenderer.h"

#include "platform/BitmapContext.h"
#include "platform/FontRegistry.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <utf8.h>

#include <cmath>
#include <list>
#include <map>
#include <tuple>
#include <unordered_map>

namespace TextRenderer {

namespace {

// Windows-1252 bytes 0x80..0x9F; 0 marks the five bytes the code page leaves undefined.
const unsigned short cp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                       0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

PangoContext* makeContext() {
    PangoFontMap* map = pango_cairo_font_map_get_default(); // shared: fonts and glyphs cached once
    PangoContext* c = pango_font_map_create_context(map);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    pango_cairo_context_set_font_options(c, options);
    cairo_font_options_destroy(options);
    pango_cairo_context_set_resolution(c, 72.0);
    return c;
}

// Upright text: this context's transformation never changes, so its layouts can be kept.
PangoContext* uprightContext() {
    static PangoContext* c = makeContext();
    return c;
}

// Rotated text: laid out afresh under each drawing's rotation.
PangoContext* rotatedContext() {
    static PangoContext* c = makeContext();
    return c;
}

int clampSize(int size) {
    return size < 1 ? 1 : (size > 512 ? 512 : size);
}

PangoFontDescription* description(const Style& style) {
    PangoFontDescription* desc = pango_font_description_new();
    std::string family = FontRegistry::familyName(style.fontId);
    if (!family.empty()) pango_font_description_set_family(desc, family.c_str());
    pango_font_description_set_absolute_size(desc, clampSize(style.size) * PANGO_SCALE);
    pango_font_description_set_weight(desc, style.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    return desc;
}

// A one-line layout of the text (line breaks are drawn, not followed). The caller unrefs it.
PangoLayout* newLayout(PangoContext* context, const Style& style, const std::string& utf8) {
    PangoLayout* layout = pango_layout_new(context);
    PangoFontDescription* desc = description(style);
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
    pango_layout_set_single_paragraph_mode(layout, TRUE);
    // Text ends at a NUL byte, as a C string would.
    size_t length = utf8.find('\0');
    if (length == std::string::npos) length = utf8.size();
    pango_layout_set_text(layout, utf8.data(), static_cast<int>(length));
    return layout;
}

// The most recently used upright layouts: measuring and drawing the same text, and lists drawing
// the same rows again, shape each text once.
class LayoutCache {
public:
    static constexpr size_t capacity = 512;

    // Borrowed: valid until the next call.
    PangoLayout* get(const Style& style, const std::string& utf8) {
        Key key{style.fontId, clampSize(style.size), style.bold, utf8};
        auto found = index.find(key);
        if (found != index.end()) {
            order.splice(order.begin(), order, found->second);
            return found->second->second;
        }
        if (order.size() >= capacity) {
            g_object_unref(order.back().second);
            index.erase(order.back().first);
            order.pop_back();
        }
        PangoLayout* layout = newLayout(uprightContext(), style, utf8);
        order.emplace_front(key, layout);
        index[key] = order.begin();
        return layout;
    }

private:
    struct Key {
        unsigned int fontId;
        int size;
        bool bold;
        std::string text;
        bool operator==(const Key& o) const {
            return fontId == o.fontId && size == o.size && bold == o.bold && text == o.text;
        }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return std::hash<std::string>()(k.text) ^ (size_t(k.fontId) << 20) ^ (size_t(k.size) << 4) ^ k.bold;
        }
    };
    std::list<std::pair<Key, PangoLayout*>> order; // most recent first
    std::unordered_map<Key, std::list<std::pair<Key, PangoLayout*>>::iterator, KeyHash> index;
};

PangoLayout* uprightLayout(const Style& style, const std::string& utf8) {
    static LayoutCache cache;
    return cache.get(style, utf8);
}

} // namespace

bool decodeText(const std::string& bytes, std::string* utf8) {
    if (utf8::is_valid(bytes.begin(), bytes.end())) {
        *utf8 = bytes;
        return true;
    }
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        unsigned int codePoint = c;
        if (c >= 0x80 && c < 0xA0) {
            codePoint = cp1252High[c - 0x80];
            if (codePoint == 0) return false;
        }
        utf8::append(static_cast<char32_t>(codePoint), std::back_inserter(out));
    }
    *utf8 = out;
    return true;
}

int ascent(const Style& style) {
    static std::map<std::tuple<unsigned int, int, bool>, int> cache;
    auto key = std::make_tuple(style.fontId, clampSize(style.size), style.bold);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    PangoFontDescription* desc = description(style);
    PangoFontMetrics* metrics = pango_context_get_metrics(uprightContext(), desc, nullptr);
    int value = static_cast<int>(std::lround(pango_font_metrics_get_ascent(metrics) / double(PANGO_SCALE)));
    pango_font_metrics_unref(metrics);
    pango_font_description_free(desc);
    cache[key] = value;
    return value;
}

double advance(const Style& style, const std::string& utf8) {
    PangoRectangle logical;
    pango_layout_line_get_extents(pango_layout_get_line_readonly(uprightLayout(style, utf8), 0), nullptr, &logical);
    return logical.width / double(PANGO_SCALE);
}

bool measureInk(const Style& style, const std::string& utf8, InkBounds* bounds) {
    if (utf8.empty()) return false;
    PangoRectangle ink;
    pango_layout_line_get_pixel_extents(pango_layout_get_line_readonly(uprightLayout(style, utf8), 0), &ink, nullptr);
    if (ink.width <= 0 || ink.height <= 0) return false;
    bounds->left = ink.x;
    bounds->top = ink.y;
    bounds->right = ink.x + ink.width;
    bounds->bottom = ink.y + ink.height;
    return true;
}

std::vector<double> characterOffsets(const Style& style, const std::string& utf8) {
    std::vector<double> offsets;
    PangoLayoutIter* iter = pango_layout_get_iter(uprightLayout(style, utf8));
    if (!iter) return offsets;
    // One walk over the characters in logical order (single-direction text is all a skin shortens).
    do {
        PangoRectangle extents;
        pango_layout_iter_get_char_extents(iter, &extents);
        offsets.push_back(extents.x / double(PANGO_SCALE));
    } while (pango_layout_iter_next_char(iter));
    pango_layout_iter_free(iter);
    // The iterator stands on the end of the line once more after the last character.
    size_t characters = static_cast<size_t>(g_utf8_strlen(pango_layout_get_text(uprightLayout(style, utf8)), -1));
    if (offsets.size() > characters) offsets.resize(characters);
    return offsets;
}

void draw(BitmapContext* context, const Style& style, const std::string& utf8, double x, double baselineY,
          double lineWidth, double flush, double angleDegrees) {
    if (!context || utf8.empty()) return;
    cairo_t* cr = context->beginNative();
    cairo_save(cr);
    cairo_translate(cr, x, baselineY);
    bool rotated = angleDegrees != 0;
    if (rotated) cairo_rotate(cr, angleDegrees * M_PI / 180.0); // y up: positive turns counter-clockwise
    cairo_scale(cr, 1, -1);                                     // glyphs stand upright
    PangoLayout* layout;
    if (rotated) {
        pango_cairo_update_context(cr, rotatedContext());
        layout = newLayout(rotatedContext(), style, utf8);
    } else {
        layout = uprightLayout(style, utf8); // the context's transformation is the plain one
    }
    PangoLayoutLine* line = pango_layout_get_line_readonly(layout, 0);
    PangoRectangle logical;
    pango_layout_line_get_extents(line, nullptr, &logical);
    double pen = (lineWidth - logical.width / double(PANGO_SCALE)) * flush;
    context->applyFillColor();
    cairo_move_to(cr, pen, 0);
    pango_cairo_show_layout_line(cr, line);
    if (rotated) g_object_unref(layout);
    cairo_restore(cr);
    context->endNative();
}

} // namespace TextRenderer
