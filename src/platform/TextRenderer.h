// Single-line text drawn into pictures through their drawing contexts (platform/BitmapContext.h),
// over Pango and Cairo with fontconfig. Sizes are pixels (72 dpi: 1 pt = 1 px); rotation is in
// degrees, counter-clockwise on screen. Main thread only.
#pragma once

#include <string>
#include <vector>

class BitmapContext;

namespace TextRenderer {

struct Style {
    unsigned int fontId = 0; // FontRegistry index; 0 leaves the family to the system's default
    int size = 13;           // pixels, 1..512
    bool bold = false;
};

// Ink bounds relative to the line's baseline origin, y down; right and bottom exclusive (pixels).
struct InkBounds {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// The text as UTF-8: valid UTF-8 as it stands, otherwise read as Windows-1252. False (nothing to
// draw) when it is neither.
bool decodeText(const std::string& bytes, std::string* utf8);

// The line ascent of the style in whole pixels (the fonts' ascender, not ink).
int ascent(const Style& style);

// The advance width of the laid-out line, in pixels.
double advance(const Style& style, const std::string& utf8);

// Ink bounds of the text laid out with its start at the origin. False for empty text or no ink.
bool measureInk(const Style& style, const std::string& utf8, InkBounds* bounds);

// The pen position (pixels from the line's start) of each character of the text, in order: the
// width a prefix of n characters takes is offsets[n] (for n below the character count).
std::vector<double> characterOffsets(const Style& style, const std::string& utf8);

// Draws the text "over" a picture through its drawing context, in the context's fill colour and
// coordinates (origin bottom left, y up). The line's baseline origin is at (x, baselineY); the pen
// starts (lineWidth - advance) x flush from it along the line (flush 0 left, 0.5 centre, 1 right);
// the line is turned counter-clockwise by angleDegrees about the origin.
void draw(BitmapContext* context, const Style& style, const std::string& utf8, double x, double baselineY,
          double lineWidth, double flush, double angleDegrees);

} // namespace TextRenderer
