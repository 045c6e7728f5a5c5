#include "platform/BitmapContext.h"

#include <cairo.h>
#include <cmath>

BitmapContext* BitmapContext::create(unsigned char* pixels, int width, int height, int bytesPerRow) {
    if (!pixels || width <= 0 || height <= 0 || bytesPerRow < width * 4 || bytesPerRow % 4 != 0 ||
        cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width) > bytesPerRow)
        return nullptr;
    // Cairo's ARGB32 is a native-endian 32-bit word: in little-endian memory B, G, R, A premultiplied,
    // which is the picture's own layout.
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(pixels, CAIRO_FORMAT_ARGB32, width, height, bytesPerRow);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    cairo_t* cr = cairo_create(surface);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        return nullptr;
    }
    // User space with the origin at the bottom left and y upwards.
    cairo_translate(cr, 0, height);
    cairo_scale(cr, 1, -1);
    BitmapContext* c = new BitmapContext;
    c->surface_ = surface;
    c->cr_ = cr;
    c->width_ = width;
    c->height_ = height;
    return c;
}

BitmapContext::~BitmapContext() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

// The picture's owner writes its pixels directly between drawings: Cairo must not trust anything
// it cached about them, and everything Cairo drew must be in memory when it returns.
void BitmapContext::begin() {
    cairo_surface_mark_dirty(surface_);
}
void BitmapContext::end() {
    cairo_surface_flush(surface_);
}

// The callers' first component lands in the first byte of the pixel, which is Cairo's blue.
void BitmapContext::setFillColor(float c0, float c1, float c2, float alpha) {
    fill_ = Colour{c2, c1, c0, alpha};
}
void BitmapContext::setStrokeColor(float c0, float c1, float c2, float alpha) {
    stroke_ = Colour{c2, c1, c0, alpha};
}
void BitmapContext::setLineWidth(float width) {
    cairo_set_line_width(cr_, width);
}

void BitmapContext::paintWith(const Colour& c, bool stroke) {
    begin();
    cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a);
    if (stroke)
        cairo_stroke(cr_);
    else
        cairo_fill(cr_);
    end();
}

void BitmapContext::fillRect(float x, float y, float w, float h) {
    cairo_new_path(cr_);
    cairo_rectangle(cr_, x, y, w, h);
    paintWith(fill_, false);
}

void BitmapContext::strokeRect(float x, float y, float w, float h) {
    cairo_new_path(cr_);
    cairo_rectangle(cr_, x, y, w, h);
    paintWith(stroke_, true);
}

void BitmapContext::clearRect(float x, float y, float w, float h) {
    begin();
    cairo_save(cr_);
    cairo_set_operator(cr_, CAIRO_OPERATOR_CLEAR);
    cairo_new_path(cr_);
    cairo_rectangle(cr_, x, y, w, h);
    cairo_fill(cr_);
    cairo_restore(cr_);
    end();
}

void BitmapContext::beginPath() {
    cairo_new_path(cr_);
}
void BitmapContext::moveTo(float x, float y) {
    cairo_move_to(cr_, x, y);
}
void BitmapContext::addLineTo(float x, float y) {
    cairo_line_to(cr_, x, y);
}
void BitmapContext::addRect(float x, float y, float w, float h) {
    cairo_rectangle(cr_, x, y, w, h);
}
void BitmapContext::closePath() {
    cairo_close_path(cr_);
}
void BitmapContext::fillPath() {
    paintWith(fill_, false);
}
void BitmapContext::strokePath() {
    paintWith(stroke_, true);
}

void BitmapContext::saveGState() {
    cairo_save(cr_);
    savedColours_.push_back(fill_);
    savedColours_.push_back(stroke_);
}

void BitmapContext::restoreGState() {
    if (savedColours_.size() < 2) return; // unbalanced: Cairo would fail the whole context
    cairo_restore(cr_);
    stroke_ = savedColours_.back();
    savedColours_.pop_back();
    fill_ = savedColours_.back();
    savedColours_.pop_back();
}

void BitmapContext::clipToRect(float x, float y, float w, float h) {
    cairo_rectangle(cr_, x, y, w, h);
    cairo_clip(cr_);
}

void BitmapContext::translateCTM(float tx, float ty) {
    cairo_translate(cr_, tx, ty);
}
void BitmapContext::rotateCTM(float degrees) {
    cairo_rotate(cr_, double(degrees) * M_PI / 180.0);
}
void BitmapContext::scaleCTM(float sx, float sy) {
    cairo_scale(cr_, sx, sy);
}

cairo_t* BitmapContext::beginNative() {
    begin();
    return cr_;
}
void BitmapContext::endNative() {
    end();
}
void BitmapContext::applyFillColor() {
    cairo_set_source_rgba(cr_, fill_.r, fill_.g, fill_.b, fill_.a);
}
