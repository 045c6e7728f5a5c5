// A skin interface of the tests' own that records what the skin engine asks of it, a recorder of
// the OpenGL calls of quads and lines, and helpers that write skin folders and pictures.
#pragma once

#include "platform/GLPrimitives.h"
#include "skin/SkinInterface.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

// Application value ids the tests use (the application's range starts at 32).
enum { TEST_VALUE = 40, TEST_VALUE2 = 41, TEST_TEXT = 42 };

struct RecordedClick {
    int value;
    std::string spec;
    int action;
    int button;
    int layer;
    bool released;
    float x, y;
    SkinObject* object;
};

struct RecordedMove {
    int value;
    float x, y, lastX, lastY;
    int button;
    SkinObject* object;
};

struct RecordedBlit {
    void* target;
    int x, y, w, h;
    void* src;
    int sx, sy;
};

class RecordingGL : public GLPrimitives {
public:
    std::vector<std::string> calls;
    void setTexturing(bool on) override { calls.push_back(on ? "texture on" : "texture off"); }
    void setBlending(bool on) override { calls.push_back(on ? "blend on" : "blend off"); }
    void blendFunc(BlendFactors f) override {
        calls.push_back(f == BLEND_INVERTED ? "blendfunc inverted" : "blendfunc alpha");
    }
    void setLineSmooth(bool on) override { calls.push_back(on ? "smooth on" : "smooth off"); }
    void lineWidth(float w) override { calls.push_back("linewidth " + fmt(w)); }
    void begin(Primitive p) override { calls.push_back(p == QUADS ? "begin quads" : "begin lines"); }
    void end() override { calls.push_back("end"); }
    void color(float r, float g, float b, float a) override {
        calls.push_back("color " + fmt(r) + " " + fmt(g) + " " + fmt(b) + " " + fmt(a));
    }
    void vertex(float x, float y) override { calls.push_back("vertex " + fmt(x) + " " + fmt(y)); }
    static std::string fmt(float v);
    // The calls that are vertices, in order.
    std::vector<std::pair<float, float>> vertices() const;
};

class TestSkinInterface : public SkinInterface {
public:
    TestSkinInterface();

    // Application values the tests set: (id, spec, deck) -> number / text.
    std::map<std::tuple<int, std::string, int>, double> numbers;
    std::map<std::tuple<int, std::string, int>, std::string> texts;
    std::vector<RecordedClick> clicks;
    std::vector<RecordedMove> moves;
    std::vector<std::tuple<int, std::string, int, double>> writes; // id, spec, deck, value
    std::vector<std::tuple<SkinObject*, int, std::string>> keys;   // object, key code, characters
    std::vector<std::tuple<SkinObject*, int, std::string>> drops;  // object, layer, path
    std::vector<SkinObject*> wheels;
    std::vector<RecordedBlit> blits;
    bool recordBlits = true;
    // Blits reach OpenGL only in tests that made a GL context current.
    bool forwardBlits = false;
    double clock = 1000.0; // ms
    time_t wallClock = 0;
    RecordingGL recorder;

    int getValue(const std::string& name) override;
    std::string getValueStr(int id, std::string* spec, int deck) override;
    double getValueDbl(int id, std::string* spec, int deck) override;
    void setValueDbl(int id, std::string* spec, int deck, double v) override;
    void handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                          SkinWindow* window, int layer, bool released) override;
    void handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action, int button,
                         int modifiers, SkinWindow* window, int layer) override;
    void handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp, int layer) override;
    void handleFileDrop(SkinObject* object, int layer, const std::string& path, float x, float y) override;
    void handleScrollWheel(SkinObject* object, float x, float y, float deltaX, float deltaY) override;
    void bitblt(void* target, int x, int y, int w, int h, void* src, int srcX, int srcY) override;
    double getTime() override { return clock; }
    time_t getWallTime() override { return wallClock; }

    // The clicks with this value id, in order.
    std::vector<RecordedClick> clicksOf(int value) const;
    void clear();
};

// A fresh folder below the test's temporary folder (removed by the test's end is not needed).
std::string makeTempFolder(const std::string& name);
void writeFile(const std::string& path, const std::string& content);
// A 24-bit BMP file; colour(x, y) gives 0x00RRGGBB.
void writeBmp(const std::string& path, int width, int height, unsigned int (*colour)(int x, int y));
// A BMP of one colour.
void writeSolidBmp(const std::string& path, int width, int height, unsigned int rgb);
