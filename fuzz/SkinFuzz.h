// A skin interface for the skin fuzz targets: drawing reaches no OpenGL, time is the caller's.
#pragma once

#include "platform/GLPrimitives.h"
#include "skin/SkinInterface.h"

#include <cstdio>

class NullGL : public GLPrimitives {
public:
    void setTexturing(bool) override {}
    void setBlending(bool) override {}
    void blendFunc(BlendFactors) override {}
    void setLineSmooth(bool) override {}
    void lineWidth(float) override {}
    void begin(Primitive) override {}
    void end() override {}
    void color(float, float, float, float) override {}
    void vertex(float, float) override {}
};

class FuzzSkinInterface : public SkinInterface {
public:
    FuzzSkinInterface() { gl = &nullGL; }
    void bitblt(void*, int, int, int, int, void*, int, int) override {}
    double getTime() override { return clock; }
    time_t getWallTime() override { return 0; }
    // Pop-up menus read files named by the input: not in a fuzz run.
    void popupCustomMenu(const std::string&, int, const std::string&, float, float, bool) override {}
    double clock = 1000.0;
    NullGL nullGL;
};

// The loader prints its load time on every load: keep the fuzzer's output readable.
inline void silenceStandardOutput() {
    static bool done = freopen("/dev/null", "w", stdout) != nullptr;
    (void)done;
}
