// The immediate-mode OpenGL calls that the skin's quads and lines are drawn with. The base class
// calls OpenGL on the thread holding the current context (the main thread); tests derive from it to
// record the calls instead.
#pragma once

class GLPrimitives {
public:
    enum Primitive { QUADS, LINES };
    enum BlendFactors {
        // (1 - source alpha, source alpha): alpha 0 paints fully, alpha 1 keeps what is below.
        BLEND_INVERTED,
        // (source alpha, 1 - source alpha): the usual coverage blend.
        BLEND_ALPHA
    };

    virtual ~GLPrimitives() = default;

    // 2D and rectangle texturing together.
    virtual void setTexturing(bool on);
    virtual void setBlending(bool on);
    virtual void blendFunc(BlendFactors factors);
    virtual void setLineSmooth(bool on);
    virtual void lineWidth(float width);
    virtual void begin(Primitive primitive);
    virtual void end();
    // Components 0..1.
    virtual void color(float r, float g, float b, float a);
    // Pixels in the current projection; depth 0.
    virtual void vertex(float x, float y);

    // The instance that calls OpenGL.
    static GLPrimitives* immediate();
};
