// A 2D drawing context over a picture's own pixel memory (no copy), with the conventions the
// drawing code was written for:
// - memory: 4 bytes a pixel, premultiplied alpha in the fourth byte, width x 4 bytes a row;
// - colours: components are given in the order of the pixel's first three bytes (the callers pass
//   (blue, green, red) / 255 for a picture stored B, G, R, A);
// - coordinates: the origin at the bottom-left corner, y upwards, one unit a pixel;
// - rotation in degrees, counter-clockwise.
// Built on a Cairo image surface. One thread at a time, like the picture it draws into.
#pragma once

#include <vector>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

class BitmapContext {
public:
    // Null when the size or the memory is unusable. The memory must outlive the context.
    static BitmapContext* create(unsigned char* pixels, int width, int height, int bytesPerRow);
    ~BitmapContext();
    BitmapContext(const BitmapContext&) = delete;
    BitmapContext& operator=(const BitmapContext&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // Colours, components 0..1 in memory order of the first three bytes, alpha 0..1.
    void setFillColor(float c0, float c1, float c2, float alpha);
    void setStrokeColor(float c0, float c1, float c2, float alpha);
    void setLineWidth(float width); // in user units (pixels unless scaled)

    // Rectangles, in user space (origin bottom left).
    void fillRect(float x, float y, float w, float h);
    void strokeRect(float x, float y, float w, float h);
    // Sets the rectangle to transparent black (all four bytes 0 where it covers whole pixels).
    void clearRect(float x, float y, float w, float h);

    // Paths: built with the calls below, then filled or stroked (which ends the path).
    void beginPath();
    void moveTo(float x, float y);
    void addLineTo(float x, float y);
    void addRect(float x, float y, float w, float h);
    void closePath();
    void fillPath();
    void strokePath();

    // The transformation and the colours and line width are saved and restored together.
    void saveGState();
    void restoreGState();
    // Drawing from now on (until the state is restored) reaches only the rectangle.
    void clipToRect(float x, float y, float w, float h);
    void translateCTM(float tx, float ty);
    void rotateCTM(float degrees);
    void scaleCTM(float sx, float sy);

    // For other platform layers (text): the Cairo context, whose user space is the y-up space
    // above, so glyphs must be drawn under a local scale of (1, -1) to stand upright. Wrap direct
    // use in beginNative / endNative, which keep Cairo and the picture's memory in step.
    cairo_t* beginNative();
    void endNative();
    // Makes the current fill colour Cairo's source (text drawn through beginNative).
    void applyFillColor();

private:
    struct Colour {
        double r, g, b, a; // Cairo's order
    };
    BitmapContext() = default;
    void begin();
    void end();
    void paintWith(const Colour& c, bool stroke);

    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    int width_ = 0, height_ = 0;
    Colour fill_{0, 0, 0, 1};
    Colour stroke_{0, 0, 0, 1};
    std::vector<Colour> savedColours_; // fill, stroke pairs of saveGState
};
