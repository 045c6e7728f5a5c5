#include "platform/GLPrimitives.h"

#include <GL/gl.h>

#ifndef GL_TEXTURE_RECTANGLE_ARB
#define GL_TEXTURE_RECTANGLE_ARB 0x84F5
#endif

void GLPrimitives::setTexturing(bool on) {
    if (on) {
        glEnable(GL_TEXTURE_2D);
        glEnable(GL_TEXTURE_RECTANGLE_ARB);
    } else {
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_TEXTURE_RECTANGLE_ARB);
    }
}

void GLPrimitives::setBlending(bool on) {
    if (on)
        glEnable(GL_BLEND);
    else
        glDisable(GL_BLEND);
}

void GLPrimitives::blendFunc(BlendFactors factors) {
    if (factors == BLEND_INVERTED)
        glBlendFunc(GL_ONE_MINUS_SRC_ALPHA, GL_SRC_ALPHA);
    else
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
}

void GLPrimitives::setLineSmooth(bool on) {
    if (on)
        glEnable(GL_LINE_SMOOTH);
    else
        glDisable(GL_LINE_SMOOTH);
}

void GLPrimitives::lineWidth(float width) {
    glLineWidth(width);
}

void GLPrimitives::begin(Primitive primitive) {
    glBegin(primitive == QUADS ? GL_QUADS : GL_LINES);
}

void GLPrimitives::end() {
    glEnd();
}

void GLPrimitives::color(float r, float g, float b, float a) {
    glColor4f(r, g, b, a);
}

void GLPrimitives::vertex(float x, float y) {
    glVertex3f(x, y, 0.0f);
}

GLPrimitives* GLPrimitives::immediate() {
    static GLPrimitives gl;
    return &gl;
}
