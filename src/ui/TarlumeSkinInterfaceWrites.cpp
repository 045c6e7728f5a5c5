// Writes, relative writes and resets of the application's values.
#include "ui/TarlumeSkinInterface.h"

void TarlumeSkinInterface::setValueDbl(int id, std::string* spec, int deck, double v) {
    SkinInterface::setValueDbl(id, spec, deck, v);
}

void TarlumeSkinInterface::setValueDblRelative(int id, std::string* spec, int deck, double r) {
    SkinInterface::setValueDblRelative(id, spec, deck, r);
}

void TarlumeSkinInterface::resetValue(int id, std::string* spec, int deck) {
    SkinInterface::resetValue(id, spec, deck);
}
