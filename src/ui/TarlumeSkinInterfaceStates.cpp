// Lit states and texts of the application's values.
#include "ui/TarlumeSkinInterface.h"

std::string TarlumeSkinInterface::getValueStr(int id, std::string* spec, int deck) {
    return SkinInterface::getValueStr(id, spec, deck);
}

bool TarlumeSkinInterface::getValueBool(int id, std::string* spec, int deck, SkinWindow* window) {
    return SkinInterface::getValueBool(id, spec, deck, window);
}
