#include "platform/GL.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::mutex g_lock; // guards the owner and the queue
std::thread::id g_owner;
bool g_acquired = false;
std::vector<GLuint> g_pending; // names of the current generation released off the GL thread
std::atomic<unsigned> g_generation{0};
std::atomic<int> g_maxSize{0};  // cached per context, 0 = not asked yet
std::atomic<int> g_override{0}; // tests

} // namespace

void glContextAcquired() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_owner = std::this_thread::get_id();
    g_acquired = true;
    g_pending.clear();
    g_maxSize.store(0, std::memory_order_relaxed);
    g_generation.fetch_add(1, std::memory_order_relaxed);
}

void glContextReleased() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_acquired = false;
    g_pending.clear();
}

bool glOnContextThread() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_acquired && g_owner == std::this_thread::get_id();
}

unsigned glContextGeneration() {
    return g_generation.load(std::memory_order_relaxed);
}

int glMaxTextureSize() {
    int forced = g_override.load(std::memory_order_relaxed);
    if (forced > 0) return forced;
    int size = g_maxSize.load(std::memory_order_relaxed);
    if (size == 0) {
        GLint reported = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &reported);
        size = reported < 128 ? 2048 : int(reported);
        g_maxSize.store(size, std::memory_order_relaxed);
    }
    return size;
}

void glSetMaxTextureSizeOverride(int size) {
    g_override.store(size > 0 ? size : 0, std::memory_order_relaxed);
}

void glReleaseTexture(unsigned int name, unsigned generation) {
    if (name == 0) return;
    std::unique_lock<std::mutex> hold(g_lock);
    if (!g_acquired || generation != g_generation.load(std::memory_order_relaxed)) return;
    if (g_owner != std::this_thread::get_id()) {
        g_pending.push_back(name);
        return;
    }
    hold.unlock();
    GLuint n = name;
    glDeleteTextures(1, &n);
}

void glDeletePendingTextures() {
    std::vector<GLuint> names;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!g_acquired || g_owner != std::this_thread::get_id() || g_pending.empty()) return;
        names.swap(g_pending);
    }
    glDeleteTextures(GLsizei(names.size()), names.data());
}

void glSetUpPixelProjection(int width, int height) {
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, width, height, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void glSetUpDrawingState() {
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_TEXTURE_RECTANGLE_EXT);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glColor4f(1, 1, 1, 1);
}
