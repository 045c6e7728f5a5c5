// The skin interface's side of list boxes: events of list objects and the rows of the pop-up
// menu go to the object's list box, which the application hands out (getListBox).
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

SkinListBox* SkinInterface::listBoxOf(SkinObject* object, int deck) const {
    if (!object) return nullptr;
    // Drawing keeps the list box in the state of the deck it draws for; an object drawn only in
    // layer 0 (its player names no deck) still gets the events of the other layers.
    SkinObjectStateInfo* state = object->state(deck);
    if (state && state->listBox) return state->listBox;
    state = object->state(0);
    return state ? state->listBox : nullptr;
}

void SkinInterface::forwardListClick(SkinObject* object, int deck, float x, float y, int button, int modifiers,
                                     bool released) {
    if (SkinListBox* list = listBoxOf(object, deck)) list->handleMouseClick(x, y, button, modifiers, released);
}

void SkinInterface::forwardListMove(SkinObject* object, int deck, float x, float y, int button, int modifiers) {
    if (SkinListBox* list = listBoxOf(object, deck)) list->handleMouseMove(x, y, button, modifiers);
}

void SkinInterface::forwardListWheel(SkinObject* object, float deltaX, float deltaY) {
    if (SkinListBox* list = getListBox(object)) list->scrollWheel(deltaX, deltaY);
}

void SkinInterface::forwardListKey(SkinObject* object, int keyCode, const char* characters, bool keyUp) {
    if (SkinListBox* list = getListBox(object)) list->handleKeyPress(keyCode, characters, keyUp);
}

void SkinInterface::fillPopupList(const std::vector<std::pair<std::string, std::string>>& items, int deck, float* width,
                                  float* height) {
    *width = 0;
    *height = 0;
    SkinWindow* popup = skin ? skin->getWindow("_popupwindow") : nullptr;
    if (!popup || popup->tabGroups.empty() || popup->tabGroups[0]->tabs.empty()) return;
    SkinTab* tab = popup->tabGroups[0]->tabs[0].get();
    SkinListBox* list = tab->getNbObjs() > 0 ? getListBox(tab->getObj(0)) : nullptr;
    if (!list) return;
    list->clear();
    std::string player = std::to_string(deck);
    for (const auto& item : items)
        list->addRow({item.first, "ExecuteScript", "script:" + item.second, player});
    // The pop-up window is opened at the list's own size.
    *width = list->getMaxWidth();
    *height = list->getTotalHeight();
}

void SkinInterface::drawListBox(void* target, SkinObject* object, int deck) {
    SkinListBox* list = listBoxOf(object, deck);
    if (!list) return;
    list->resize(object->rect.get());
    list->draw(target);
}
