// Draws the pictures of the default skin: window backgrounds, button strips, knobs, faders, meters,
// the platter and the list icons, as PNG files into the skin's picture folder.
//
//   tarlume_skin_art <folder>      (scripts/make-skin-art runs it into data/skins/kolt-1280)
//
// Everything a DJ sees is drawn here from the palette and the tables below: change a colour, a size
// or a label and run the script again. The skin files name the pictures by the file names written
// here (lower case, without extension), and place objects of the same sizes.
//
// Button strips are four frames side by side, in the order the skin engine reads them: hover, lit,
// pressed, off. Knob and platter strips are frames stacked from top to bottom, the first for the
// lowest value (knobs) or the platter at rest (one turn over all frames).
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgb {
    double r, g, b;
};

Rgb rgb(int hex) {
    return {((hex >> 16) & 0xFF) / 255.0, ((hex >> 8) & 0xFF) / 255.0, (hex & 0xFF) / 255.0};
}

Rgb mix(Rgb a, Rgb b, double f) {
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

// ---- Palette -------------------------------------------------------------------------------------
// Dark and calm around the music, bright only where something is on.
const Rgb windowBack = rgb(0x131519);  // behind everything
const Rgb headerBack = rgb(0x1A1D23);  // the deck's title strip
const Rgb panelBack = rgb(0x1C1F25);   // a group of controls
const Rgb panelEdge = rgb(0x2A2E36);   // its frame
const Rgb wellBack = rgb(0x0A0B0D);    // behind waveforms and lists
const Rgb wellEdge = rgb(0x30343C);    // their frame
const Rgb buttonOff = rgb(0x2A2E36);   // a button at rest
const Rgb buttonHover = rgb(0x373C46); // under the pointer
const Rgb buttonDown = rgb(0x1E2127);  // held down
const Rgb labelOff = rgb(0xB8BEC8);    // a button's label at rest
const Rgb labelLit = rgb(0xFFFFFF);    // on a lit button
const Rgb accent = rgb(0x2EC4D6);      // lit: modes, tabs, effects
const Rgb playGreen = rgb(0x3CCB64);   // playing
const Rgb cueAmber = rgb(0xF0A020);    // cue points
const Rgb recRed = rgb(0xE5483C);      // recording, kills, deleting
const Rgb loopGreen = rgb(0x8CD64A);   // loops
const Rgb knobBody = rgb(0x2C3039);
const Rgb knobTrack = rgb(0x3A3F4A);

const char* const fontFace = "Liberation Sans";

// ---- Drawing helpers ----------------------------------------------------------------------------

void setColour(cairo_t* cr, Rgb c, double alpha = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::min(r, std::min(w, h) / 2);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// A filled box with a one-pixel frame, the frame inside the box.
void box(cairo_t* cr, double x, double y, double w, double h, double r, Rgb fill, Rgb edge) {
    roundedRect(cr, x + 0.5, y + 0.5, w - 1, h - 1, r);
    setColour(cr, fill);
    cairo_fill_preserve(cr);
    setColour(cr, edge);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
}

// Text centred on (cx, cy), its size in pixels.
void centredText(cairo_t* cr, const std::string& text, double cx, double cy, double size, Rgb colour,
                 bool bold = true) {
    cairo_select_font_face(cr, fontFace, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_font_extents_t f;
    cairo_font_extents(cr, &f);
    setColour(cr, colour);
    cairo_move_to(cr, cx - e.width / 2 - e.x_bearing, cy + (f.ascent - f.descent) / 2 - 0.5);
    cairo_show_text(cr, text.c_str());
}

struct Canvas {
    cairo_surface_t* surface;
    cairo_t* cr;
    Canvas(int w, int h) {
        surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        cr = cairo_create(surface);
    }
    ~Canvas() {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    bool save(const std::string& path) {
        cairo_surface_flush(surface);
        return cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    }
};

std::string outFolder;
int failures = 0;

void write(Canvas& canvas, const std::string& name) {
    if (!canvas.save(outFolder + "/" + name + ".png")) {
        std::fprintf(stderr, "tarlume_skin_art: cannot write %s/%s.png\n", outFolder.c_str(), name.c_str());
        ++failures;
    }
}

// ---- Icons drawn on buttons ---------------------------------------------------------------------

using Icon = std::function<void(cairo_t*, double cx, double cy, double size, Rgb colour)>;

void iconPlayPause(cairo_t* cr, double cx, double cy, double s, Rgb c) {
    setColour(cr, c);
    double h = s * 0.9;
    cairo_move_to(cr, cx - s * 0.85, cy - h / 2);
    cairo_line_to(cr, cx - s * 0.05, cy);
    cairo_line_to(cr, cx - s * 0.85, cy + h / 2);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_rectangle(cr, cx + s * 0.2, cy - h / 2, s * 0.22, h);
    cairo_rectangle(cr, cx + s * 0.58, cy - h / 2, s * 0.22, h);
    cairo_fill(cr);
}

void iconHeadphones(cairo_t* cr, double cx, double cy, double s, Rgb c) {
    setColour(cr, c);
    s *= 1.25;
    cairo_set_line_width(cr, std::max(1.5, s * 0.14));
    cairo_arc(cr, cx, cy + s * 0.1, s * 0.42, M_PI, 2 * M_PI);
    cairo_stroke(cr);
    roundedRect(cr, cx - s * 0.52, cy + s * 0.02, s * 0.22, s * 0.42, 1.5);
    roundedRect(cr, cx + s * 0.30, cy + s * 0.02, s * 0.22, s * 0.42, 1.5);
    cairo_fill(cr);
}

void iconPower(cairo_t* cr, double cx, double cy, double s, Rgb c) {
    setColour(cr, c);
    cairo_set_line_width(cr, std::max(1.5, s * 0.14));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_arc(cr, cx, cy + s * 0.05, s * 0.4, -M_PI / 2 + 0.7, 3 * M_PI / 2 - 0.7);
    cairo_stroke(cr);
    cairo_move_to(cr, cx, cy - s * 0.5);
    cairo_line_to(cr, cx, cy);
    cairo_stroke(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
}

void iconArrow(cairo_t* cr, double cx, double cy, double s, Rgb c, int direction) {
    setColour(cr, c);
    double d = direction * s * 0.4;
    cairo_move_to(cr, cx + d, cy);
    cairo_line_to(cr, cx - d, cy - s * 0.42);
    cairo_line_to(cr, cx - d, cy + s * 0.42);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void iconRecord(cairo_t* cr, double cx, double cy, double s, Rgb c) {
    setColour(cr, c);
    cairo_arc(cr, cx, cy, s * 0.36, 0, 2 * M_PI);
    cairo_fill(cr);
}

// ---- Buttons --------------------------------------------------------------------------------------

// One frame of a button: 0 hover, 1 lit, 2 pressed, 3 off.
void buttonFrame(cairo_t* cr, double x, double w, double h, int frame, Rgb lit, const std::string& label,
                 const Icon& icon, double textSize) {
    Rgb fill = frame == 0 ? buttonHover : frame == 2 ? buttonDown : buttonOff;
    Rgb edge = mix(fill, rgb(0x000000), 0.45);
    Rgb ink = labelOff;
    if (frame == 1) {
        fill = mix(lit, rgb(0x101214), 0.35);
        edge = lit;
        ink = labelLit;
    }
    double r = std::min(4.0, h / 4);
    roundedRect(cr, x + 0.5, 0.5, w - 1, h - 1, r);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, h);
    Rgb top = mix(fill, rgb(0xFFFFFF), frame == 2 ? 0.0 : 0.08);
    Rgb bottom = mix(fill, rgb(0x000000), frame == 2 ? 0.0 : 0.18);
    cairo_pattern_add_color_stop_rgb(g, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(g, 1, bottom.r, bottom.g, bottom.b);
    cairo_set_source(cr, g);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(g);
    setColour(cr, edge);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    if (frame == 1) {
        // A lit button glows along its top edge.
        cairo_rectangle(cr, x + 2, 1.5, w - 4, 1);
        setColour(cr, mix(lit, rgb(0xFFFFFF), 0.4), 0.7);
        cairo_fill(cr);
    }
    double shift = frame == 2 ? 1 : 0;
    // An icon with a label stands at the left, the label in the rest.
    bool both = icon && !label.empty();
    double iconX = both ? x + h * 0.7 : x + w / 2, labelX = both ? x + w / 2 + h * 0.35 : x + w / 2;
    if (icon) icon(cr, iconX, h / 2 + shift, std::min(w, h) * 0.55, ink);
    if (!label.empty()) centredText(cr, label, labelX, h / 2 + shift, textSize, ink);
}

void button(const std::string& name, int w, int h, const std::string& label, Rgb lit, Icon icon = nullptr,
            double textSize = 0) {
    if (textSize <= 0) textSize = std::min(11.0, h * 0.55);
    Canvas c(4 * w, h);
    for (int frame = 0; frame < 4; ++frame)
        buttonFrame(c.cr, frame * w, w, h, frame, lit, label, icon, textSize);
    write(c, name);
}

// A round lamp in four frames (hover, lit, pressed, off): only the lit frame glows.
void lamp(const std::string& name, int size, Rgb lit) {
    Canvas c(4 * size, size);
    for (int frame = 0; frame < 4; ++frame) {
        double cx = frame * size + size / 2.0, cy = size / 2.0, r = size / 2.0 - 1.5;
        Rgb fill = frame == 1 ? lit : mix(lit, rgb(0x000000), 0.78);
        cairo_arc(c.cr, cx, cy, r, 0, 2 * M_PI);
        cairo_pattern_t* g = cairo_pattern_create_radial(cx - r / 3, cy - r / 3, 0, cx, cy, r);
        Rgb hi = mix(fill, rgb(0xFFFFFF), frame == 1 ? 0.55 : 0.1);
        cairo_pattern_add_color_stop_rgb(g, 0, hi.r, hi.g, hi.b);
        cairo_pattern_add_color_stop_rgb(g, 1, fill.r, fill.g, fill.b);
        cairo_set_source(c.cr, g);
        cairo_fill_preserve(c.cr);
        cairo_pattern_destroy(g);
        setColour(c.cr, rgb(0x08090B));
        cairo_set_line_width(c.cr, 1);
        cairo_stroke(c.cr);
    }
    write(c, name);
}

// ---- Knobs and platter ----------------------------------------------------------------------------

// The knob's travel: from the lower left, clockwise over the top, to the lower right.
constexpr double knobStart = 0.75 * M_PI, knobSweep = 1.5 * M_PI;
constexpr int knobFrames = 33; // frame i shows i / 32: the middle frame is exactly the centre

void knob(const std::string& name, int size, Rgb arcColour, bool fromCentre) {
    Canvas c(size, size * knobFrames);
    cairo_t* cr = c.cr;
    for (int i = 0; i < knobFrames; ++i) {
        double v = i / double(knobFrames - 1);
        double cx = size / 2.0, cy = i * size + size / 2.0;
        double ring = size / 2.0 - 2, body = size / 2.0 - 6;
        cairo_set_line_width(cr, 3);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
        setColour(cr, knobTrack);
        cairo_arc(cr, cx, cy, ring, knobStart, knobStart + knobSweep);
        cairo_stroke(cr);
        double from = fromCentre ? 0.5 : 0.0;
        double a0 = knobStart + knobSweep * std::min(from, v), a1 = knobStart + knobSweep * std::max(from, v);
        if (a1 - a0 > 0.01) {
            setColour(cr, arcColour);
            cairo_arc(cr, cx, cy, ring, a0, a1);
            cairo_stroke(cr);
        }
        cairo_arc(cr, cx, cy, body, 0, 2 * M_PI);
        cairo_pattern_t* g = cairo_pattern_create_linear(0, cy - body, 0, cy + body);
        Rgb top = mix(knobBody, rgb(0xFFFFFF), 0.14), bottom = mix(knobBody, rgb(0x000000), 0.35);
        cairo_pattern_add_color_stop_rgb(g, 0, top.r, top.g, top.b);
        cairo_pattern_add_color_stop_rgb(g, 1, bottom.r, bottom.g, bottom.b);
        cairo_set_source(cr, g);
        cairo_fill_preserve(cr);
        cairo_pattern_destroy(g);
        setColour(cr, rgb(0x0B0C0F));
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        double a = knobStart + knobSweep * v;
        cairo_set_line_width(cr, 2);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        setColour(cr, rgb(0xE8ECF2));
        cairo_move_to(cr, cx + std::cos(a) * body * 0.25, cy + std::sin(a) * body * 0.25);
        cairo_line_to(cr, cx + std::cos(a) * (body - 1.5), cy + std::sin(a) * (body - 1.5));
        cairo_stroke(cr);
    }
    write(c, name);
}

// A platter seen from above, one turn over all frames.
void platter(const std::string& name, int size, int frames) {
    Canvas c(size, size * frames);
    cairo_t* cr = c.cr;
    for (int i = 0; i < frames; ++i) {
        double cx = size / 2.0, cy = i * size + size / 2.0, r = size / 2.0 - 1;
        cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
        setColour(cr, rgb(0x0E0F12));
        cairo_fill_preserve(cr);
        setColour(cr, rgb(0x3A3F4A));
        cairo_set_line_width(cr, 1.5);
        cairo_stroke(cr);
        // Grooves.
        cairo_set_line_width(cr, 0.6);
        for (double g = r * 0.42; g < r - 3; g += 2.6) {
            setColour(cr, rgb(0x23262D), 0.9);
            cairo_arc(cr, cx, cy, g, 0, 2 * M_PI);
            cairo_stroke(cr);
        }
        // A sheen that stays still while the record turns.
        cairo_pattern_t* sheen = cairo_pattern_create_linear(cx - r, cy - r, cx + r, cy + r);
        cairo_pattern_add_color_stop_rgba(sheen, 0.0, 1, 1, 1, 0.0);
        cairo_pattern_add_color_stop_rgba(sheen, 0.45, 1, 1, 1, 0.07);
        cairo_pattern_add_color_stop_rgba(sheen, 0.55, 1, 1, 1, 0.0);
        cairo_arc(cr, cx, cy, r - 1, 0, 2 * M_PI);
        cairo_set_source(cr, sheen);
        cairo_fill(cr);
        cairo_pattern_destroy(sheen);
        double angle = 2 * M_PI * i / frames - M_PI / 2;
        // The centre label and the position marker turn.
        cairo_arc(cr, cx, cy, r * 0.34, 0, 2 * M_PI);
        setColour(cr, mix(accent, rgb(0x000000), 0.35));
        cairo_fill(cr);
        cairo_move_to(cr, cx, cy);
        cairo_arc(cr, cx, cy, r * 0.34, angle - 0.5, angle + 0.5);
        cairo_close_path(cr);
        setColour(cr, mix(accent, rgb(0xFFFFFF), 0.2));
        cairo_fill(cr);
        cairo_arc(cr, cx, cy, 2.5, 0, 2 * M_PI);
        setColour(cr, rgb(0xD0D4DA));
        cairo_fill(cr);
        cairo_set_line_width(cr, 3);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        setColour(cr, rgb(0xF2F4F7));
        cairo_move_to(cr, cx + std::cos(angle) * r * 0.45, cy + std::sin(angle) * r * 0.45);
        cairo_line_to(cr, cx + std::cos(angle) * (r - 4), cy + std::sin(angle) * (r - 4));
        cairo_stroke(cr);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    }
    write(c, name);
}

// The crossfader's gain on one side (1 left, 2 right) for a curve type, at position x 0..1, as the
// engine computes it without extra steepness.
double curveGain(int type, int side, double x) {
    double v = side == 1 ? 1.0 - x : x;
    if (type == 0) v *= 2.0;
    if (type == 2) v *= 1.5;
    if (type == 3) v = std::sqrt(v);
    return std::min(1.0, std::max(0.0, v));
}

// A crossfader curve to choose: both sides' gains over the fader's travel, dim, so the user
// interface's own drawing of the chosen curve stands out above it.
void curveIcon(const std::string& name, int type, int w, int h) {
    Canvas c(w, h);
    cairo_t* cr = c.cr;
    box(cr, 0, 0, w, h, 3, wellBack, panelEdge);
    for (int side = 1; side <= 2; ++side) {
        setColour(cr, mix(side == 1 ? rgb(0x408CEB) : cueAmber, panelBack, 0.45));
        cairo_set_line_width(cr, 1.5);
        for (int i = 0; i <= 40; ++i) {
            double x = i / 40.0;
            double px = 3 + x * (w - 6), py = h - 3 - curveGain(type, side, x) * (h - 6);
            if (i == 0)
                cairo_move_to(cr, px, py);
            else
                cairo_line_to(cr, px, py);
        }
        cairo_stroke(cr);
    }
    write(c, name);
}

// ---- Faders and meters ----------------------------------------------------------------------------

// A fader's slot with scale marks; `centreMark` marks the middle (pitch zero).
void faderTrack(const std::string& name, int w, int h, bool vertical, int marks, bool centreMark) {
    Canvas c(w, h);
    cairo_t* cr = c.cr;
    cairo_set_line_width(cr, 1);
    for (int i = 0; i <= marks; ++i) {
        double f = i / double(marks);
        bool major = i == 0 || i == marks || (centreMark && 2 * i == marks);
        setColour(cr, major ? rgb(0x6A707C) : rgb(0x3E434D));
        if (vertical) {
            double y = std::round(6 + f * (h - 12)) + 0.5;
            double len = major ? w * 0.5 : w * 0.3;
            cairo_move_to(cr, 0, y);
            cairo_line_to(cr, len / 2, y);
            cairo_move_to(cr, w - len / 2, y);
            cairo_line_to(cr, w, y);
        } else {
            double x = std::round(6 + f * (w - 12)) + 0.5;
            double len = major ? h * 0.5 : h * 0.3;
            cairo_move_to(cr, x, 0);
            cairo_line_to(cr, x, len / 2);
            cairo_move_to(cr, x, h - len / 2);
            cairo_line_to(cr, x, h);
        }
        cairo_stroke(cr);
    }
    if (vertical)
        box(cr, w / 2.0 - 2.5, 3, 5, h - 6, 2, wellBack, rgb(0x000000));
    else
        box(cr, 3, h / 2.0 - 2.5, w - 6, 5, 2, wellBack, rgb(0x000000));
    write(c, name);
}

// A fader cap; its grip line in `line`.
void faderThumb(const std::string& name, int w, int h, Rgb line) {
    Canvas c(w, h);
    cairo_t* cr = c.cr;
    roundedRect(cr, 0.5, 0.5, w - 1, h - 1, 2.5);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, w > h ? 0 : w, w > h ? h : 0);
    Rgb a = rgb(0x5A606C), b = rgb(0x2A2E36);
    cairo_pattern_add_color_stop_rgb(g, 0, a.r, a.g, a.b);
    cairo_pattern_add_color_stop_rgb(g, 0.5, b.r, b.g, b.b);
    cairo_pattern_add_color_stop_rgb(g, 1, a.r * 0.7, a.g * 0.7, a.b * 0.7);
    cairo_set_source(cr, g);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(g);
    setColour(cr, rgb(0x050607));
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    setColour(cr, line);
    if (w > h)
        cairo_rectangle(cr, 3, h / 2.0 - 1, w - 6, 2);
    else
        cairo_rectangle(cr, w / 2.0 - 1, 3, 2, h - 6);
    cairo_fill(cr);
    write(c, name);
}

// A vertical meter of segments, green to amber to red from the bottom; `lit` false draws it dark.
void meter(const std::string& name, int w, int h, bool lit) {
    Canvas c(w, h);
    cairo_t* cr = c.cr;
    const int segment = 4; // pixels, with a 1-pixel gap
    for (int y = h; y - segment >= 0; y -= segment) {
        double f = 1.0 - (y - segment / 2.0) / h; // 0 at the bottom
        Rgb colour = f < 0.65 ? playGreen : f < 0.85 ? cueAmber : recRed;
        if (!lit) colour = mix(colour, rgb(0x000000), 0.8);
        cairo_rectangle(cr, 0, y - segment, w, segment - 1);
        setColour(cr, colour);
        cairo_fill(cr);
    }
    write(c, name);
}

// ---- List icons (16 x 16) -----------------------------------------------------------------------

void page(cairo_t* cr, Rgb paper) {
    cairo_move_to(cr, 3.5, 1.5);
    cairo_line_to(cr, 9.5, 1.5);
    cairo_line_to(cr, 12.5, 4.5);
    cairo_line_to(cr, 12.5, 14.5);
    cairo_line_to(cr, 3.5, 14.5);
    cairo_close_path(cr);
    setColour(cr, paper);
    cairo_fill_preserve(cr);
    setColour(cr, rgb(0x0A0B0D));
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
}

void note(cairo_t* cr, Rgb ink) {
    setColour(cr, ink);
    cairo_arc(cr, 6.8, 11.2, 1.7, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_rectangle(cr, 7.6, 4.5, 1.2, 6.8);
    cairo_fill(cr);
    cairo_move_to(cr, 8.8, 4.5);
    cairo_line_to(cr, 11, 6);
    cairo_line_to(cr, 8.8, 6.6);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void folder(cairo_t* cr, Rgb colour, bool open) {
    setColour(cr, mix(colour, rgb(0x000000), 0.25));
    cairo_move_to(cr, 1.5, 3.5);
    cairo_line_to(cr, 6, 3.5);
    cairo_line_to(cr, 7.5, 5);
    cairo_line_to(cr, 14.5, 5);
    cairo_line_to(cr, 14.5, 13.5);
    cairo_line_to(cr, 1.5, 13.5);
    cairo_close_path(cr);
    cairo_fill(cr);
    setColour(cr, colour);
    if (open) {
        cairo_move_to(cr, 3.5, 7.5);
        cairo_line_to(cr, 15.5, 7.5);
        cairo_line_to(cr, 13.5, 13.5);
        cairo_line_to(cr, 1.5, 13.5);
        cairo_close_path(cr);
    } else {
        cairo_rectangle(cr, 1.5, 6.5, 13, 7);
    }
    cairo_fill(cr);
}

void icon(const std::string& name, const std::function<void(cairo_t*)>& draw) {
    Canvas c(16, 16);
    draw(c.cr);
    write(c, name);
}

void icons() {
    Rgb paper = rgb(0xC8CDD6), folderColour = rgb(0xD8A83A);
    icon("file", [&](cairo_t* cr) {
        page(cr, paper);
        note(cr, rgb(0x1F2430));
    });
    icon("file_played", [&](cairo_t* cr) {
        page(cr, rgb(0x6A707C));
        setColour(cr, playGreen);
        cairo_set_line_width(cr, 2);
        cairo_move_to(cr, 5, 9);
        cairo_line_to(cr, 7.5, 11.5);
        cairo_line_to(cr, 11.5, 6);
        cairo_stroke(cr);
    });
    icon("file_new", [&](cairo_t* cr) {
        page(cr, paper);
        note(cr, rgb(0x1F2430));
        setColour(cr, accent);
        cairo_arc(cr, 12, 4, 3, 0, 2 * M_PI);
        cairo_fill(cr);
    });
    icon("file_hot", [&](cairo_t* cr) {
        page(cr, paper);
        note(cr, recRed);
    });
    icon("file_lnk", [&](cairo_t* cr) {
        page(cr, paper);
        note(cr, rgb(0x1F2430));
        setColour(cr, accent);
        cairo_set_line_width(cr, 1.6);
        cairo_move_to(cr, 1, 15);
        cairo_line_to(cr, 5.5, 10.5);
        cairo_stroke(cr);
        cairo_move_to(cr, 6.5, 9.5);
        cairo_line_to(cr, 6.5, 13);
        cairo_line_to(cr, 3, 9.5);
        cairo_close_path(cr);
        cairo_fill(cr);
    });
    icon("folder_closed", [&](cairo_t* cr) { folder(cr, folderColour, false); });
    icon("folder_open", [&](cairo_t* cr) { folder(cr, folderColour, true); });
    icon("folder_autoplay", [&](cairo_t* cr) {
        folder(cr, folderColour, false);
        iconArrow(cr, 8, 10, 6, rgb(0x1F2430), 1);
    });
}

// ---- Window backgrounds --------------------------------------------------------------------------
// Panels only: the labels are texts of the skin file, so moving a control means editing one file.

struct Panel {
    int x, y, w, h;
    bool well; // a dark well (waveforms, lists) rather than a group of controls
};

void background(const std::string& name, int w, int h, const std::vector<Panel>& panels, int headerHeight = 0) {
    Canvas c(w, h);
    cairo_t* cr = c.cr;
    setColour(cr, windowBack);
    cairo_paint(cr);
    if (headerHeight > 0) {
        cairo_rectangle(cr, 0, 0, w, headerHeight);
        setColour(cr, headerBack);
        cairo_fill(cr);
        cairo_rectangle(cr, 0, headerHeight - 1, w, 1);
        setColour(cr, panelEdge);
        cairo_fill(cr);
    }
    for (const Panel& p : panels) {
        if (p.well)
            box(cr, p.x, p.y, p.w, p.h, 3, wellBack, wellEdge);
        else
            box(cr, p.x, p.y, p.w, p.h, 5, panelBack, panelEdge);
    }
    // A thin frame around the window marks where one window ends and the next begins.
    cairo_rectangle(cr, 0.5, 0.5, w - 1, h - 1);
    setColour(cr, rgb(0x24272E));
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    write(c, name);
}

void backgrounds() {
    // The deck (520 x 320): title strip, scrolling waveform, overview, then five columns:
    // platter and transport | cue points and loops | tabs (EQ, effects, vinyl) | pitch | volume.
    background("deck", 520, 320,
               {{4, 50, 512, 72, true},
                {4, 124, 512, 22, true},
                {4, 150, 100, 166, false},
                {107, 150, 196, 166, false},
                {306, 150, 128, 166, false},
                {437, 150, 38, 166, false},
                {478, 150, 38, 166, false}},
               48);
    // The mixer (240 x 320): both waveforms, master section, crossfader.
    background("mixer", 240, 320, {{4, 4, 232, 96, true}, {4, 104, 232, 112, false}, {4, 220, 232, 96, false}});
    // The browser (1280 x 400): tool bar, folder tree, files, playlist.
    background(
        "browser", 1280, 400,
        {{4, 4, 1272, 30, false}, {4, 38, 300, 358, true}, {308, 38, 640, 358, true}, {952, 38, 324, 358, true}});
    // The options (1280 x 400): sound, timecode, general, controllers.
    background("options", 1280, 400,
               {{4, 4, 1272, 30, false},
                {4, 38, 520, 358, false},
                {528, 38, 360, 358, false},
                {892, 38, 384, 176, false},
                {892, 218, 384, 178, true}});
    // The video view (1280 x 400), in the browser's place: tool bar, then deck 1, the mix and deck 2, each a
    // screen over its texts and controls.
    background("video", 1280, 400,
               {{4, 4, 1272, 30, false},
                {4, 38, 420, 358, false},
                {430, 38, 420, 358, false},
                {856, 38, 420, 358, false},
                {14, 46, 400, 229, true},
                {440, 46, 400, 229, true},
                {866, 46, 400, 229, true}});
    // The small skin's single window (1280 x 320): deck 1, the middle (mixer and browser), deck 2.
    background("mini", 1280, 320,
               {{2, 2, 424, 316, false},
                {854, 2, 424, 316, false},
                {430, 2, 420, 316, false},
                {4, 44, 420, 60, true},
                {856, 44, 420, 60, true},
                {4, 106, 420, 18, true},
                {856, 106, 420, 18, true},
                {432, 4, 416, 58, true},
                {432, 88, 416, 176, true}});
}

// ---- Buttons of the skins -------------------------------------------------------------------------

void buttons() {
    using namespace std::placeholders;
    auto arrowLeft = [](cairo_t* cr, double x, double y, double s, Rgb c) { iconArrow(cr, x, y, s * 0.8, c, -1); };
    auto arrowRight = [](cairo_t* cr, double x, double y, double s, Rgb c) { iconArrow(cr, x, y, s * 0.8, c, 1); };

    // Deck transport.
    button("btn_play", 46, 30, "", playGreen, iconPlayPause);
    button("btn_cue", 46, 30, "CUE", cueAmber, nullptr, 12);
    button("btn_load", 46, 18, "LOAD", accent, nullptr, 9);
    button("btn_sync", 46, 18, "SYNC", accent, nullptr, 9);
    // Cue points, record and delete modes, stored loops.
    for (int i = 1; i <= 4; ++i)
        button("btn_cue" + std::to_string(i), 45, 22, std::to_string(i), cueAmber, nullptr, 12);
    button("btn_cuerec", 45, 18, "REC", recRed, nullptr, 9);
    button("btn_cuedel", 45, 18, "DEL", recRed, nullptr, 9);
    button("btn_store1", 45, 18, "LOOP 1", loopGreen, nullptr, 9);
    button("btn_store2", 45, 18, "LOOP 2", loopGreen, nullptr, 9);
    // Beat loops.
    const char* lengths[] = {"1/4", "1/2", "1", "2", "4", "8", "16", "32"};
    const char* names[] = {"q", "h", "1", "2", "4", "8", "16", "32"};
    for (int i = 0; i < 8; ++i)
        button(std::string("btn_loop") + names[i], 45, 20, lengths[i], loopGreen, nullptr, 10);
    button("btn_loopin", 45, 20, "IN", loopGreen, nullptr, 10);
    button("btn_loopout", 45, 20, "OUT", loopGreen, nullptr, 10);
    button("btn_loopback", 45, 20, "", loopGreen, arrowLeft);
    button("btn_loopfwd", 45, 20, "", loopGreen, arrowRight);
    button("btn_loophalf", 45, 20, "\xC2\xBD\xC3\x97", loopGreen, nullptr, 10); // "½×"
    button("btn_loopdouble", 45, 20, "2\xC3\x97", loopGreen, nullptr, 10);      // "2×"
    button("btn_reloop", 45, 20, "LOOP", loopGreen, nullptr, 9);
    // Tabs of the deck.
    button("tab_eq", 40, 16, "EQ", accent, nullptr, 9);
    button("tab_fx", 40, 16, "FX", accent, nullptr, 9);
    button("tab_vinyl", 40, 16, "VINYL", accent, nullptr, 9);
    // Equaliser kills, filter, effects.
    button("btn_kill", 28, 16, "KILL", recRed, nullptr, 8);
    button("btn_filter", 44, 16, "FILTER", accent, nullptr, 8);
    button("btn_flanger", 44, 16, "FLANGE", accent, nullptr, 8);
    button("btn_crusher", 44, 16, "CRUSH", accent, nullptr, 8);
    button("btn_gapper", 44, 16, "GAPPER", accent, nullptr, 8);
    // Timecode vinyl.
    button("btn_vinyl", 60, 20, "VINYL", accent, nullptr, 10);
    button("btn_vinylmode", 56, 20, "REL", accent, nullptr, 10);
    button("btn_calibrate", 60, 20, "CALIBRATE", accent, nullptr, 8);
    button("btn_linein", 56, 20, "LINE IN", accent, nullptr, 9);
    // Pitch.
    // The range button names the range in a text above it; lit (any range) it looks as at rest.
    button("btn_range", 36, 16, "", rgb(0x4A505C), nullptr, 8);
    button("btn_bendminus", 17, 14, "\xE2\x88\x92", accent, nullptr, 10); // "−"
    button("btn_bendplus", 17, 14, "+", accent, nullptr, 10);
    button("btn_pitchreset", 36, 14, "0%", accent, nullptr, 8);
    button("btn_keylock", 36, 16, "KEY", accent, nullptr, 8);
    // Volume column.
    button("btn_pfl", 38, 18, "", cueAmber, iconHeadphones);
    button("btn_xfa", 18, 16, "A", accent, nullptr, 9);
    button("btn_xfb", 18, 16, "B", accent, nullptr, 9);
    button("btn_xfthru", 35, 14, "THRU", accent, nullptr, 8);
    // Mixer.
    button("btn_record", 80, 22, "REC", recRed, iconRecord, 10);
    button("btn_prefx", 38, 18, "PRE", accent, nullptr, 8);
    button("btn_link", 38, 18, "LINK", accent, nullptr, 8);
    button("btn_curve", 36, 24, "", accent);
    button("btn_swapleft", 44, 18, "DECK 1/3", accent, nullptr, 9);
    button("btn_swapright", 44, 18, "DECK 2/4", accent, nullptr, 9);
    button("btn_options", 50, 18, "OPTIONS", accent, nullptr, 8);
    button("btn_menu", 40, 18, "MENU", accent, nullptr, 8);
    button("btn_quit", 28, 18, "", recRed, iconPower);
    // Browser.
    button("btn_drives", 70, 22, "DRIVES", accent, nullptr, 9);
    button("btn_cases", 70, 22, "CASES", accent, nullptr, 9);
    button("btn_newcase", 80, 22, "NEW CASE", accent, nullptr, 9);
    button("btn_focus", 70, 22, "FOCUS", accent, nullptr, 9);
    button("btn_columns", 80, 22, "COLUMNS", accent, nullptr, 9);
    button("btn_video", 70, 22, "VIDEO", accent, nullptr, 9);
    // Options window.
    button("btn_choose", 70, 18, "CHOOSE", accent, nullptr, 8);
    button("btn_toggle", 70, 18, "ON / OFF", accent, nullptr, 8);
    button("btn_close", 80, 22, "CLOSE", accent, nullptr, 9);
    button("btn_preferences", 100, 22, "PREFERENCES", accent, nullptr, 9);
    // Indicators.
    lamp("led_fx", 12, accent);
    lamp("led_clip", 10, recRed);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarlume_skin_art <picture folder>\n");
        return 2;
    }
    outFolder = argv[1];
    backgrounds();
    buttons();
    knob("knob", 34, accent, false);
    knob("knob_eq", 34, accent, true);
    knob("knob_small", 28, accent, false);
    platter("platter", 88, 36);
    platter("platter_still", 88, 1); // under the turning one, for frames before it is drawn
    for (int type = 0; type < 4; ++type)
        curveIcon("curve" + std::to_string(type), type, 36, 24);
    faderTrack("fader_volume", 24, 106, true, 10, false);
    faderThumb("thumb_volume", 22, 14, rgb(0xF2F4F7));
    faderTrack("fader_pitch", 36, 92, true, 8, true);
    faderThumb("thumb_pitch", 30, 12, cueAmber);
    faderTrack("fader_cross", 200, 28, false, 10, true);
    faderThumb("thumb_cross", 16, 26, rgb(0xF2F4F7));
    faderTrack("fader_small", 80, 14, false, 4, false);
    faderThumb("thumb_small", 8, 14, rgb(0xF2F4F7));
    faderTrack("fader_option", 130, 16, false, 8, false);
    meter("meter_lit", 8, 106, true);
    meter("meter_dim", 8, 106, false);
    meter("meter_master_lit", 8, 80, true);
    meter("meter_master_dim", 8, 80, false);
    icons();
    return failures == 0 ? 0 : 1;
}
