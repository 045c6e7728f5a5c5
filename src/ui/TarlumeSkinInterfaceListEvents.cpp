// List rows, drags and drops of the browser lists.
#include "ui/TarlumeSkinInterface.h"

SkinListBox* TarlumeSkinInterface::getListBox(SkinObject* object) {
    return SkinInterface::getListBox(object);
}

void TarlumeSkinInterface::startDragOperation(SkinObject* object, int deck, const std::string& data) {
    SkinInterface::startDragOperation(object, deck, data);
}

void TarlumeSkinInterface::handleFileDrop(SkinObject* object, int layer, const std::string& path, float x, float y) {
    SkinInterface::handleFileDrop(object, layer, path, x, y);
}

void TarlumeSkinInterface::handleItemClick(SkinObject* object, SkinListItem* row, int flag) {
    SkinInterface::handleItemClick(object, row, flag);
}

void TarlumeSkinInterface::handleItemDragStart(SkinObject* object, SkinListItem* row) {
    SkinInterface::handleItemDragStart(object, row);
}

void TarlumeSkinInterface::handleItemDelete(SkinObject* object, SkinListItem* row, bool* veto) {
    SkinInterface::handleItemDelete(object, row, veto);
}
