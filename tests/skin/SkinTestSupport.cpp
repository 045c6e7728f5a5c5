#include "SkinTestSupport.h"

#include "foundation/modTools.h"
#include "platform/AppPaths.h"
#include "skin/SkinObject.h"
#include "support/Bmp.h"
#include "support/TempDir.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

std::string RecordingGL::fmt(float v) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%g", v);
    return buffer;
}

std::vector<std::pair<float, float>> RecordingGL::vertices() const {
    std::vector<std::pair<float, float>> found;
    for (const std::string& call : calls) {
        float x, y;
        if (sscanf(call.c_str(), "vertex %f %f", &x, &y) == 2) found.emplace_back(x, y);
    }
    return found;
}

TestSkinInterface::TestSkinInterface() {
    gl = &recorder;
}

int TestSkinInterface::getValue(const std::string& name) {
    std::string lower = strtolower(name);
    if (lower == "testvalue") return TEST_VALUE;
    if (lower == "testvalue2") return TEST_VALUE2;
    if (lower == "testtext") return TEST_TEXT;
    return SkinInterface::getValue(name);
}

std::string TestSkinInterface::getValueStr(int id, std::string* spec, int deck) {
    auto found = texts.find(std::make_tuple(id, spec ? *spec : std::string(), deck));
    if (found != texts.end()) return found->second;
    return SkinInterface::getValueStr(id, spec, deck);
}

double TestSkinInterface::getValueDbl(int id, std::string* spec, int deck) {
    if (id >= 32) {
        auto found = numbers.find(std::make_tuple(id, spec ? *spec : std::string(), deck));
        return found != numbers.end() ? found->second : 0.0;
    }
    return SkinInterface::getValueDbl(id, spec, deck);
}

void TestSkinInterface::setValueDbl(int id, std::string* spec, int deck, double v) {
    writes.emplace_back(id, spec ? *spec : std::string(), deck, v);
    if (id >= 32) {
        numbers[std::make_tuple(id, spec ? *spec : std::string(), deck)] = v;
        return;
    }
    SkinInterface::setValueDbl(id, spec, deck, v);
}

void TestSkinInterface::handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                                         SkinWindow* window, int layer, bool released) {
    clicks.push_back(
        RecordedClick{object->value, object->valueSpecifier, action, button, layer, released, x, y, object});
    SkinInterface::handleMouseClick(object, x, y, action, button, modifiers, window, layer, released);
}

void TestSkinInterface::handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action,
                                        int button, int modifiers, SkinWindow* window, int layer) {
    moves.push_back(RecordedMove{object->value, x, y, lastX, lastY, button, object});
    SkinInterface::handleMouseMove(object, x, y, lastX, lastY, action, button, modifiers, window, layer);
}

void TestSkinInterface::handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp, int layer) {
    keys.emplace_back(object, keyCode, characters ? characters : "");
    SkinInterface::handleKeyPress(object, keyCode, characters, keyUp, layer);
}

void TestSkinInterface::handleFileDrop(SkinObject* object, int layer, const std::string& path, float, float) {
    drops.emplace_back(object, layer, path);
}

void TestSkinInterface::handleScrollWheel(SkinObject* object, float x, float y, float deltaX, float deltaY) {
    wheels.push_back(object);
    SkinInterface::handleScrollWheel(object, x, y, deltaX, deltaY);
}

void TestSkinInterface::bitblt(void* target, int x, int y, int w, int h, void* src, int srcX, int srcY) {
    if (recordBlits) blits.push_back(RecordedBlit{target, x, y, w, h, src, srcX, srcY});
    if (forwardBlits) SkinInterface::bitblt(target, x, y, w, h, src, srcX, srcY);
}

std::vector<RecordedClick> TestSkinInterface::clicksOf(int value) const {
    std::vector<RecordedClick> found;
    for (const RecordedClick& click : clicks)
        if (click.value == value) found.push_back(click);
    return found;
}

void TestSkinInterface::clear() {
    clicks.clear();
    moves.clear();
    writes.clear();
    keys.clear();
    drops.clear();
    wheels.clear();
    blits.clear();
    recorder.calls.clear();
}

std::string makeTempFolder(const std::string& name) {
    // One scratch folder per process, removed with everything in it when the process ends.
    static const testsupport::TempDir scratch("skin-tests");
    std::string folder = scratch.path + name + "/";
    AppPaths::makeFolders(folder);
    return folder;
}

void writeFile(const std::string& path, const std::string& content) {
    AppPaths::makeFolders(getFilePath(path));
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

void writeBmp(const std::string& path, int width, int height, unsigned int (*colour)(int x, int y)) {
    writeFile(path, testsupport::bmpBytes(width, height, colour));
}

void writeSolidBmp(const std::string& path, int width, int height, unsigned int rgb) {
    writeFile(path, testsupport::bmpBytes(width, height, [rgb](int, int) { return rgb; }));
}
