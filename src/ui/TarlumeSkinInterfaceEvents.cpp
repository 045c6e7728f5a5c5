// Deck and mixer events: presses and releases, drags, jog turns, keys and keyboard commands.
#include "ui/TarlumeSkinInterface.h"

void TarlumeSkinInterface::handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                                            SkinWindow* window, int layer, bool released) {
    SkinInterface::handleMouseClick(object, x, y, action, button, modifiers, window, layer, released);
}

void TarlumeSkinInterface::handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action,
                                           int button, int modifiers, SkinWindow* window, int layer) {
    SkinInterface::handleMouseMove(object, x, y, lastX, lastY, action, button, modifiers, window, layer);
}

void TarlumeSkinInterface::handleJogWheel(int id, std::string* spec, int deck, double amount, double factor,
                                          double extra) {
    SkinInterface::handleJogWheel(id, spec, deck, amount, factor, extra);
}

void TarlumeSkinInterface::handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp,
                                          int layer) {
    SkinInterface::handleKeyPress(object, keyCode, characters, keyUp, layer);
}

void TarlumeSkinInterface::handleKeyboardObject(SkinObject*, int, bool) {}
