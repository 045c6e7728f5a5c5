// The drawing primitives of the skin interface: quads and lines in immediate-mode OpenGL,
// pictures as textured quads, the object drawings and text rendered into pictures.
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/BitmapContext.h"
#include "platform/GLPrimitives.h"
#include "platform/TextRenderer.h"
#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinWindow.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

void setColor(GLPrimitives* gl, unsigned int color, float alpha) {
    gl->color((color & 0xFF) / 255.0f, ((color >> 8) & 0xFF) / 255.0f, ((color >> 16) & 0xFF) / 255.0f, alpha);
}

void quad(GLPrimitives* gl, int x1, int y1, int x2, int y2) {
    gl->vertex(static_cast<float>(x1), static_cast<float>(y1));
    gl->vertex(static_cast<float>(x2), static_cast<float>(y1));
    gl->vertex(static_cast<float>(x2), static_cast<float>(y2));
    gl->vertex(static_cast<float>(x1), static_cast<float>(y2));
}

TextRenderer::Style styleOf(SkinFont* font) {
    TextRenderer::Style style;
    style.fontId = font->getATSUFontID();
    style.size = static_cast<int>(font->size);
    style.bold = font->bold > 0.5f;
    return style;
}

// Byte offsets of the starts of the UTF-8 characters of a text.
std::vector<size_t> characterStarts(const std::string& text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    return starts;
}

// The context takes its components in the picture's byte order: blue, green, red.
void setFillColor(BitmapContext* context, unsigned int color) {
    context->setFillColor(((color >> 16) & 0xFF) / 255.0f, ((color >> 8) & 0xFF) / 255.0f, (color & 0xFF) / 255.0f,
                          1.0f);
}

double finite01(double v) {
    if (!(v >= 0.0)) return 0.0;
    return v > 1.0 ? 1.0 : v;
}

} // namespace

// ---- Quads and lines ----------------------------------------------------------------------------

void SkinInterface::bitblt(void* target, int x, int y, int w, int h, void* src, int srcX, int srcY) {
    CPicture* dst = static_cast<CPicture*>(target);
    CPicture* picture = static_cast<CPicture*>(src);
    if (!dst || !picture || picture->width <= 0 || picture->height <= 0) return;
    CPicture::bitbltGL(dst, x, y, w, h, picture, srcX, srcY);
}

void SkinInterface::fillRectangleBegin(void*, bool blend) {
    gl->setTexturing(false);
    // An opaque batch switches blending off: a picture drawn before may have left it on, and its
    // factors would add the quads to what lies below.
    gl->setBlending(blend);
    if (blend) gl->blendFunc(GLPrimitives::BLEND_INVERTED);
    gl->begin(GLPrimitives::QUADS);
    fillBatchOpen = true;
}

void SkinInterface::fillRectangleEnd(void*, bool blend) {
    gl->end();
    if (blend) gl->setBlending(false);
    gl->color(1, 1, 1, 1);
    gl->setTexturing(true);
    fillBatchOpen = false;
}

void SkinInterface::fillRectangle(void* target, int x1, int y1, int x2, int y2, unsigned int color) {
    bool own = !fillBatchOpen;
    if (own) fillRectangleBegin(target, false);
    setColor(gl, color, 0.0f);
    quad(gl, x1, y1, x2, y2);
    if (own) fillRectangleEnd(target, false);
}

void SkinInterface::fillTransparent(void* target, int x1, int y1, int x2, int y2, unsigned int color,
                                    int transparency) {
    bool own = !fillBatchOpen;
    if (own) fillRectangleBegin(target, true);
    setColor(gl, color, std::min(std::max(transparency, 0), 255) / 255.0f);
    quad(gl, x1, y1, x2, y2);
    if (own) fillRectangleEnd(target, true);
}

void SkinInterface::drawLineBegin(void* target, float width) {
    if (lineBatchOpen) drawLineEnd(target);
    gl->setTexturing(false);
    gl->setLineSmooth(true);
    gl->setBlending(true);
    gl->blendFunc(GLPrimitives::BLEND_ALPHA);
    gl->lineWidth(width);
    gl->begin(GLPrimitives::LINES);
    lineBatchOpen = true;
}

void SkinInterface::drawLineEnd(void*) {
    gl->end();
    gl->setBlending(false);
    gl->color(1, 1, 1, 1);
    gl->setTexturing(true);
    lineBatchOpen = false;
}

void SkinInterface::drawLine(void* target, int x1, int y1, int x2, int y2, float width, unsigned int color,
                             float transparency) {
    bool own = !lineBatchOpen;
    if (own) drawLineBegin(target, width);
    setColor(gl, color, 1.0f - transparency);
    gl->vertex(static_cast<float>(x1), static_cast<float>(y1));
    gl->vertex(static_cast<float>(x2), static_cast<float>(y2));
    if (own) drawLineEnd(target);
}

void SkinInterface::drawLed(void* target, SkinImageRef* led, float x, float y, bool lit, bool show) {
    if (!show || !led) return;
    SkinRect* r = led->rect.get();
    int w = static_cast<int>(r->width), h = static_cast<int>(r->height);
    int sx = static_cast<int>(r->left) + (lit ? 0 : 2 * w);
    bitblt(target, static_cast<int>(x), static_cast<int>(y), w, h, led->picture, sx, static_cast<int>(r->top));
}

// ---- Objects ------------------------------------------------------------------------------------

void SkinInterface::drawObject(void* target, SkinObject* object, int layer, SkinWindow* window) {
    if (!object || !isValidDeck(layer)) return;
    int deck = deckOf(object, layer);
    if (!isValidDeck(deck)) return;
    switch (object->type) {
    case OBJECT_TEXT:
    case OBJECT_TEXTBOX:
        drawObjectText(target, object, deck, layer);
        break;
    case OBJECT_SLIDER:
        drawObjectSlider(target, object, deck, layer);
        break;
    case OBJECT_KNOB:
        drawObjectKnob(target, object, deck, layer, -1.0);
        break;
    case OBJECT_BUTTON:
        drawObjectButton(target, object, deck, layer, window);
        break;
    case OBJECT_LISTBOX: {
        SkinObjectStateInfo* state = object->state(deck);
        if (!state->listBox) {
            // Made on the first frame that shows the list; drawn from the next one on.
            state->listBox = getListBox(object);
            break;
        }
        drawListBox(target, object, deck);
        break;
    }
    default:
        break;
    }
}

void SkinInterface::blitPicture(void* target, SkinObject* object, SkinImageRef* picture, float width) {
    SkinRect* p = picture->rect.get();
    bitblt(target, static_cast<int>(object->rect->left), static_cast<int>(object->rect->top),
           static_cast<int>(width >= 0 ? width : p->width), static_cast<int>(p->height), picture->picture,
           static_cast<int>(p->left), static_cast<int>(p->top));
}

void SkinInterface::drawObjectText(void* target, SkinObject* object, int deck, int layer) {
    SkinObjectStateInfo* state = object->state(layer);
    if (object->drawType < 0 || !state) return;
    SkinRect* r = object->rect.get();
    std::string text;
    if (object->type == OBJECT_TEXTBOX) {
        text = state->editText;
        unsigned int back = object->hasColor[1] ? object->colors[1] : 0xC8C8C8;
        fillRectangle(target, static_cast<int>(r->left), static_cast<int>(r->top), static_cast<int>(r->right),
                      static_cast<int>(r->bottom), back);
    } else {
        text = getValueStr(object->value, &object->valueSpecifier, deck);
    }
    if (!object->font && skin) object->font = skin->getFontHandle("default");
    if (!object->font) return;

    unsigned int color = object->colors[0];
    int dt = object->drawType;
    if (dt == 1 || dt == 2) {
        if (object->colors[1] != 0 && getValueBool(object->value, &object->valueSpecifier, deck, object->window))
            color = object->colors[1];
    } else if (dt == 5 || dt == 6 || dt == 7) {
        if (state->pressed && object->colors[3] != 0)
            color = object->colors[3];
        else if (state->hover && object->colors[1] != 0)
            color = object->colors[1];
        else if (getValueBool(object->value, &object->valueSpecifier, deck, object->window))
            color = object->colors[2] != 0 ? object->colors[2] : object->colors[1];
    }
    drawText(target, &text, object, layer, color, object->font);
}

void SkinInterface::drawFrameStrip(void* target, SkinObject* object, bool pressed, bool value, bool hover) {
    SkinImageRef* pic = object->additionalPics[0].get();
    SkinRect* r = object->rect.get();
    // Objects without a size have no frames (the frame count would divide by zero).
    if (!pic || !pic->usable() || r->width <= 0 || r->height <= 0) return;
    SkinRect* p = pic->rect.get();
    int frame = -1;
    bool stacked = false;
    int n = static_cast<int>(p->height / r->height + 0.5f);
    if (n > 1) {
        stacked = true;
        if (pressed && n != 2)
            frame = 2;
        else if (value)
            frame = 1;
        else if (hover)
            frame = 0;
        else if (n > 3)
            frame = 3;
    } else {
        int m = static_cast<int>(p->width / r->width + 0.5f);
        if (pressed && m > 2)
            frame = 2;
        else if (value && m > 1)
            frame = 1;
        else if (hover && m > 0)
            frame = 0;
        else if (m > 3)
            frame = 3;
    }
    if (frame < 0) return;
    int sx = static_cast<int>(p->left), sy = static_cast<int>(p->top);
    if (stacked)
        sy += frame * static_cast<int>(r->height);
    else
        sx += frame * static_cast<int>(r->width);
    bitblt(target, static_cast<int>(r->left), static_cast<int>(r->top), static_cast<int>(r->width),
           static_cast<int>(r->height), pic->picture, sx, sy);
}

void SkinInterface::drawObjectButton(void* target, SkinObject* object, int deck, int layer, SkinWindow* window) {
    SkinObjectStateInfo* state = object->state(layer);
    if (!state) return;
    bool pressed = state->pressed, hover = state->hover;
    auto value = [&] { return getValueBool(object->value, &object->valueSpecifier, deck, window); };
    auto pic = [&](int i) -> SkinImageRef* {
        SkinImageRef* ref = object->additionalPics[i - 1].get();
        return ref && ref->usable() ? ref : nullptr;
    };
    SkinRect* r = object->rect.get();
    switch (object->drawType) {
    case 0:
        if (pressed && pic(2))
            blitPicture(target, object, pic(2));
        else if (hover && pic(1))
            blitPicture(target, object, pic(1));
        else if (pic(3))
            blitPicture(target, object, pic(3));
        break;
    case 1:
        if (pressed && pic(2))
            blitPicture(target, object, pic(2));
        else if (pic(3) && value())
            blitPicture(target, object, pic(3));
        else if (hover && pic(1))
            blitPicture(target, object, pic(1));
        break;
    case 2:
        // An on/off indicator drawn as a quad, like every other pixel that reaches the screen.
        fillRectangle(target, static_cast<int>(r->left + 4), static_cast<int>(r->top + 4),
                      static_cast<int>(r->right - 4), static_cast<int>(r->bottom - 4), value() ? 0x00FF00u : 0x0000FFu);
        break;
    case 3:
        if (pressed && pic(4))
            blitPicture(target, object, pic(4));
        else if (pic(3) && value())
            blitPicture(target, object, pic(3));
        else if (hover && pic(1))
            blitPicture(target, object, pic(1));
        else if (pic(2))
            blitPicture(target, object, pic(2));
        break;
    case 4:
        if (pic(1)) drawFrameStrip(target, object, pressed, value(), hover);
        break;
    case 5:
        if (pressed && pic(3))
            blitPicture(target, object, pic(3), r->width);
        else if (pic(4) && value())
            blitPicture(target, object, pic(4), r->width);
        else if (hover && pic(2))
            blitPicture(target, object, pic(2), r->width);
        else if (pic(1))
            blitPicture(target, object, pic(1), r->width);
        else if (skin) {
            std::string text = object->name;
            drawText(target, &text, object, layer, 0xFFFFFF, skin->getFontHandle("default"));
        }
        break;
    default:
        break;
    }
}

void SkinInterface::drawSliderBar(void* target, SkinObject* object, float v, int geometry, float startOffset) {
    SkinRect* r = object->rect.get();
    float x1, x2, y1, y2;
    if (!r->vertical) {
        x1 = (geometry == 4 ? r->left + r->width / 2 : r->left) + startOffset;
        x2 = r->left + v * r->width;
        y1 = r->top;
        y2 = r->bottom;
        if (geometry == 2) {
            y1 = r->top + r->height / 2 - 1;
            y2 = y1 + 2;
        }
    } else {
        y1 = r->bottom - v * r->height;
        y2 = geometry == 4 ? r->top + r->height / 2 : r->bottom;
        x1 = r->left;
        x2 = r->right;
        if (geometry == 2) {
            x1 = r->left + r->width / 2 - 1;
            x2 = x1 + 2;
        }
    }
    fillRectangle(target, static_cast<int>(x1), static_cast<int>(y1), static_cast<int>(x2), static_cast<int>(y2),
                  object->colors[0]);
}

void SkinInterface::drawSliderThumb(void* target, SkinObject* object, SkinImageRef* thumb, float v) {
    if (!thumb || !thumb->usable()) return;
    SkinRect* r = object->rect.get();
    SkinRect* t = thumb->rect.get();
    float x, y;
    if (!r->vertical) {
        x = r->left + (r->width - t->width) * v;
        y = r->top + r->height / 2 - t->height / 2;
    } else {
        x = r->left + r->width / 2 - t->width / 2;
        y = r->bottom - t->height - (r->height - t->height) * v;
    }
    bitblt(target, static_cast<int>(x), static_cast<int>(y), static_cast<int>(t->width), static_cast<int>(t->height),
           thumb->picture, static_cast<int>(t->left), static_cast<int>(t->top));
}

void SkinInterface::drawSliderLeds(void* target, SkinObject* object, float v) {
    SkinImageRef* led = object->additionalPics[0].get();
    if (!led || !led->usable()) return;
    SkinRect* r = object->rect.get();
    int dt = object->drawType;
    bool show = dt == 12;
    // A LED picture without a size would make the row endless.
    if (!r->vertical) {
        if (led->rect->width <= 0) return;
        float n = r->width / led->rect->width;
        for (int i = 0; i < n; ++i) {
            float lower = i / n, upper = (i + 1) / n;
            bool lit = dt == 11 ? (lower <= v && v <= upper) : v > lower;
            drawLed(target, led, r->left + lower * r->width, r->top, lit, show);
        }
    } else {
        if (led->rect->height <= 0) return;
        float n = r->height / led->rect->height;
        for (int i = 1; i - 1 < n; ++i) {
            float lower = (i - 1) / n, upper = i / n;
            bool lit = dt == 11 ? (lower <= v && v <= upper) : v > lower;
            drawLed(target, led, r->left, r->bottom - upper * r->height, lit, show);
        }
    }
}

void SkinInterface::drawObjectSlider(void* target, SkinObject* object, int deck, int layer) {
    int dt = object->drawType;
    if (dt == 3) {
        drawObjectKnob(target, object, deck, layer, -1.0);
        return;
    }
    float v = static_cast<float>(finite01(getValueDblRelative(object->value, &object->valueSpecifier, deck)));
    if (object->invert) v = 1.0f - v;
    SkinRect* r = object->rect.get();
    SkinImageRef* pic1 = object->additionalPics[0].get();
    if (pic1 && !pic1->usable()) pic1 = nullptr;

    if (dt == 6) {
        if (!pic1) return;
        SkinRect* p = pic1->rect.get();
        if (p->width > p->height) {
            bitblt(target, static_cast<int>(r->left), static_cast<int>(r->top), static_cast<int>(p->width * v),
                   static_cast<int>(r->height), pic1->picture, static_cast<int>(p->left), static_cast<int>(p->top));
        } else {
            float h = v * r->height;
            bitblt(target, static_cast<int>(r->left), static_cast<int>(r->bottom - h), static_cast<int>(p->width),
                   static_cast<int>(h), pic1->picture, static_cast<int>(p->left),
                   static_cast<int>(p->top + p->height - h));
        }
    } else if (dt == 0 || dt == 2 || dt == 4) {
        if (object->colors[1] != 0 && object->colors[0] != 0)
            fillRectangle(target, static_cast<int>(r->left), static_cast<int>(r->top), static_cast<int>(r->right),
                          static_cast<int>(r->bottom), object->colors[1]);
        if (object->colors[0] != 0 || object->colors[1] != 0) drawSliderBar(target, object, v, dt, 0.0f);
        if (dt == 2) drawSliderThumb(target, object, pic1, v);
    } else if (dt == 1 || dt == 5) {
        drawSliderThumb(target, object, pic1, v);
    } else if (dt >= 10 && dt <= 12) {
        drawSliderLeds(target, object, v);
    } else if (dt >= 20 && dt <= 29) {
        if (!pic1) return;
        blitPicture(target, object, pic1);
        if (dt == 20 || dt == 22) drawSliderBar(target, object, v, 0, r->vertical ? 0.0f : 1.0f);
        if (dt == 21 || dt == 22) {
            SkinImageRef* thumb = object->additionalPics[1].get();
            drawSliderThumb(target, object, thumb, v);
        }
    }
}

void SkinInterface::drawObjectKnob(void* target, SkinObject* object, int deck, int, double relative) {
    std::vector<std::string> pieces = strsplit(object->valueSpecifier, "|");
    std::string first = strtrim(pieces.empty() ? std::string() : pieces[0]);
    if (relative < 0) relative = getValueDblRelative(object->value, &first, deck);
    relative = finite01(relative);
    SkinRect* r = object->rect.get();
    if (object->drawType == 0) {
        int cx = static_cast<int>(r->left + r->width / 2), cy = static_cast<int>(r->top + r->height / 2);
        double a = relative * 4.712385 + 2.3561925;
        drawLine(target, cx, cy, static_cast<int>(cx + (r->width / 2) * std::cos(a)),
                 static_cast<int>(cy + (r->height / 2) * std::sin(a)), 2.0f, object->colors[0], 0.0f);
    } else if (object->drawType == 3) {
        SkinImageRef* pic = object->additionalPics[0].get();
        // Without a size there are no frames to count.
        if (!pic || !pic->usable() || r->width <= 0 || r->height <= 0) return;
        SkinRect* p = pic->rect.get();
        double f = p->width / r->width;
        bool stacked = f <= 2.0;
        if (stacked) f = p->height / r->height;
        int k = static_cast<int>(f * relative);
        k = std::min(k, static_cast<int>(f) - 1);
        k = std::max(k, 0);
        int sx = static_cast<int>(p->left), sy = static_cast<int>(p->top);
        if (stacked)
            sy += k * static_cast<int>(r->height);
        else
            sx += k * static_cast<int>(r->width);
        bitblt(target, static_cast<int>(r->left), static_cast<int>(r->top), static_cast<int>(r->width),
               static_cast<int>(r->height), pic->picture, sx, sy);
    }
}

// ---- Text ---------------------------------------------------------------------------------------

void SkinInterface::getTextSize(CPicture*, std::string* text, float* width, float* height, SkinFont* font) {
    if (!text || !font || text->empty()) return;
    std::string utf8;
    if (!TextRenderer::decodeText(*text, &utf8)) return;
    TextRenderer::InkBounds ink;
    if (!TextRenderer::measureInk(styleOf(font), utf8, &ink)) return;
    float w = static_cast<float>(ink.right + 1), h = static_cast<float>(ink.bottom);
    if (font->angle != 0) std::swap(w, h);
    *width = w;
    *height = h;
}

void SkinInterface::drawText(void* target, std::string* text, SkinObject* object, int layer, unsigned int color,
                             SkinFont* font) {
    SkinObjectStateInfo* s = object ? object->state(layer) : nullptr;
    if (!s || !text || !font) return;
    SkinRect* r = object->rect.get();
    int dt = object->drawType;
    int rw = static_cast<int>(r->width), rh = static_cast<int>(r->height);

    if (*text != s->drawnText || color != s->textColor || !s->picture) {
        s->drawnText = *text;
        s->textColor = color;
        float measuredWidth = r->width, measuredHeight = r->height;
        getTextSize(static_cast<CPicture*>(target), text, &measuredWidth, &measuredHeight, font);
        float w = std::max(r->width, measuredWidth);
        // Scrolling text is rendered whole, up to a width a texture can hold.
        int pictureWidth = dt == 3 ? static_cast<int>(std::min(w, float(maxScrollTextWidth))) : rw;
        if (!s->picture) s->picture = new CPicture();
        if (s->picture->width != std::max(pictureWidth, 1) || s->picture->height != std::max(rh, 1))
            s->picture->create(pictureWidth, rh);
        s->textWidth = dt == 3 ? pictureWidth : w;
        CPicture* picture = s->picture;
        if (picture->pixels) std::memset(picture->pixels, 0, picture->byteSize());
        picture->transparencyMode = TRANSPARENCY_PREMULTIPLIED;
        picture->destroyTextureGL();

        std::string utf8;
        BitmapContext* context = picture->getCGContextRef();
        if (context && TextRenderer::decodeText(*text, &utf8)) {
            double flush = (dt == 1 || dt == 2 || dt == 7) ? 0.5 : (dt == 4 ? 1.0 : 0.0);
            TextRenderer::Style style = styleOf(font);
            int ascent = TextRenderer::ascent(style);
            // Baselines counted from the picture's bottom: one line at the top, or turned about a
            // point near the bottom left.
            double x = 0, baseline = rh - ascent;
            if (font->angle != 0) x = baseline = ascent;
            setFillColor(context, color);
            TextRenderer::draw(context, style, utf8, x, baseline, rw, flush, font->angle);
        }
        s->lastScrollTime = getTime();
        s->scrollOffset = 0;
        bitblt(target, static_cast<int>(r->left), static_cast<int>(r->top), rw, rh, picture, 0, 0);
        return;
    }

    int sourceX = 0;
    if (dt == 3) {
        double now = getTime();
        double over = s->textWidth - r->width;
        s->scrollOffset += (now - s->lastScrollTime) / (over <= 30 ? 66.6 : 33.3);
        if (s->scrollOffset > 2 * over + 50 || !(s->scrollOffset >= 0)) s->scrollOffset = 0;
        double offset = s->scrollOffset;
        double source;
        if (over <= 0)
            source = 0; // the text fits: nothing to scroll
        else if (offset <= over)
            source = offset;
        else if (offset <= over + 25)
            source = over;
        else if (offset <= 2 * over + 25)
            source = 2 * over + 25 - offset;
        else
            source = 0;
        sourceX = static_cast<int>(source);
        s->lastScrollTime = now;
    }
    bitblt(target, static_cast<int>(r->left), static_cast<int>(r->top), rw, rh, s->picture, sourceX, 0);
}

void SkinInterface::drawTextOnPic(CPicture* picture, std::string* text, float x, float y, float w, float h,
                                  unsigned int color, SkinFont* font, BitmapContext* context, TEXTDRAWMODES mode,
                                  TEXTALIGNMENTMODES align) {
    if (h <= 0 || w <= 0 || !text || text->empty() || !font || !picture) return;
    if (!context) context = picture->getCGContextRef();
    if (!context) return;
    std::string utf8;
    if (!TextRenderer::decodeText(*text, &utf8)) return;
    TextRenderer::Style style = styleOf(font);

    if (mode & TEXTDRAW_SHORTEN) {
        float textWidth = 0, textHeight = 0;
        getTextSize(picture, &utf8, &textWidth, &textHeight, font);
        if (w * 1.04f < textWidth) {
            // The text is laid out once; each shorter prefix is measured by its characters' pen
            // positions. Cuts fall on character boundaries, so no multi-byte character is split.
            std::vector<double> offsets = TextRenderer::characterOffsets(style, utf8);
            std::vector<size_t> starts = characterStarts(utf8);
            size_t length = std::min(starts.size(), offsets.size());
            while (length > 0 && w * 1.04f < textWidth) {
                double excess = (textWidth - w) / (textWidth / length);
                size_t remove = excess > 4 ? static_cast<size_t>(excess * 0.65) : 1;
                length = length > remove ? length - remove : 0;
                textWidth = length > 0 ? static_cast<float>(offsets[length] + 1) : 0.0f;
            }
            utf8.resize(length > 0 ? starts[length] : 0);
            utf8 += "...";
        }
    }
    int ascent = TextRenderer::ascent(style);
    double flush = align == TEXTALIGN_RIGHT ? 1.0 : (align == TEXTALIGN_CENTER ? 0.5 : 0.0);
    setFillColor(context, color);
    TextRenderer::draw(context, style, utf8, x, context->height() - ascent - y, w, flush, 0);
}
