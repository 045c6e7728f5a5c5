// Pop-up menus, options and dialogs.
#include "ui/TarlumeSkinInterface.h"

void TarlumeSkinInterface::popupCustomMenu(const std::string& name, int deck, const std::string& value, float x,
                                           float y, bool flag) {
    SkinInterface::popupCustomMenu(name, deck, value, x, y, flag);
}

void TarlumeSkinInterface::handleInputBox(const std::string& answer) {
    SkinInterface::handleInputBox(answer);
}

bool TarlumeSkinInterface::handleMenuClick(SkinObject*, float, float, SkinWindow*, int, bool) {
    return false;
}
