// OpenGL for the drawing code: the headers with the rectangle-texture names, the size limit, and
// the rule that GL calls happen only on the thread holding the application's context.
//
// Whoever makes the context current (the shell at start-up, a test harness) calls
// glContextAcquired on that thread; from then on that is the GL thread. Textures released on any
// other thread (skin pictures closed by a loading thread) are handed to the GL thread and deleted
// by its next glDeletePendingTextures, which the shell calls once a frame.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

#ifndef GL_TEXTURE_RECTANGLE_EXT
#define GL_TEXTURE_RECTANGLE_EXT 0x84F5
#endif

// The calling thread holds a current GL context from now on. Each call starts a new context
// generation: texture names of an earlier context are never used or deleted again.
void glContextAcquired();
// The context is about to be destroyed (it frees its textures itself): no GL call is made any more.
void glContextReleased();
// True on the GL thread while a context is acquired.
bool glOnContextThread();
// The current context generation (0 before the first glContextAcquired). Any thread.
unsigned glContextGeneration();

// GL_MAX_TEXTURE_SIZE of the context (2048 when it reports less than 128), unless overridden.
// GL thread only.
int glMaxTextureSize();
// Tests: use `size` as the limit instead (0 restores the context's own).
void glSetMaxTextureSizeOverride(int size);

// Deletes a texture of the given generation: at once on the GL thread, else queued for the GL
// thread. Names of another generation are dropped. Any thread.
void glReleaseTexture(unsigned int name, unsigned generation);
// Deletes the queued textures. GL thread; elsewhere it does nothing.
void glDeletePendingTextures();

// The top-left orthographic projection the application draws with over a width x height viewport:
// one unit a pixel, y downwards. GL thread only.
void glSetUpPixelProjection(int width, int height);
// The drawing state the application draws with: no depth test, rectangle texturing on, textures
// modulating opaque white. GL thread only.
void glSetUpDrawingState();
