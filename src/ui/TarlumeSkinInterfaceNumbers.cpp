// Numbers, bounds and relative positions of the application's values.
#include "ui/TarlumeSkinInterface.h"

double TarlumeSkinInterface::getValueDbl(int id, std::string* spec, int deck) {
    return SkinInterface::getValueDbl(id, spec, deck);
}

double TarlumeSkinInterface::getValueDblMin(int id, std::string* spec, int deck) {
    return SkinInterface::getValueDblMin(id, spec, deck);
}

double TarlumeSkinInterface::getValueDblMax(int id, std::string* spec, int deck) {
    return SkinInterface::getValueDblMax(id, spec, deck);
}

double TarlumeSkinInterface::getValueDblRelative(int id, std::string* spec, int deck) {
    return SkinInterface::getValueDblRelative(id, spec, deck);
}
