// Single-line text drawn into 32-bit pictures (B, G, R, A premultiplied, rows top to bottom), over
// Pango and Cairo with fontconfig. Sizes are pixels (72 dpi: 1 pt = 1 px); coordinates are pixels
// with y down; rotation is in degrees, counter-clockwise on screen. Main thread only.
#pragma once

#include <string>
#include <vector>

namespace TextRenderer {

struct Style {
    unsigned int fontId = 0; // FontRegistry index; 0 leaves the family to the system's default
    int size = 13;           // pixels, 1..512
    bool bold = false;
};

// Ink bounds relative to the line's baseline origin, y down; right and bottom exclusive.
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

// Draws the text "over" the picture's pixels in an opaque colour (components 0..255). The line's
// baseline origin is at (x, baselineY); the pen starts (lineWidth - advance) x flush from it along
// the line (flush 0 left, 0.5 centre, 1 right); the line is turned by angleDegrees about the
// origin. Clipped to the picture.
void draw(unsigned char* pixels, int width, int height, const Style& style, const std::string& utf8, double x,
          double baselineY, double lineWidth, double flush, double angleDegrees, int red, int green, int blue);

} // namespace TextRenderer
