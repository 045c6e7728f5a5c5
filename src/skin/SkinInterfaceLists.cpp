// The skin interface's side of list boxes: events of list objects and the rows of the pop-up
// menu go to the object's list box. The list box class itself is built with the application's
// browser lists; until an application hands out list boxes (getListBox), there is none to reach.
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

SkinListBox* SkinInterface::listBoxOf(SkinObject* object, int deck) const {
    // Drawing keeps the list box in the state of the deck it draws for; events read the same one.
    SkinObjectStateInfo* state = object ? object->state(deck) : nullptr;
    return state ? state->listBox : nullptr;
}

void SkinInterface::forwardListClick(SkinObject* object, int deck, float, float, int, int, bool) {
    if (!listBoxOf(object, deck)) return;
}

void SkinInterface::forwardListMove(SkinObject* object, int deck, float, float, int, int) {
    if (!listBoxOf(object, deck)) return;
}

void SkinInterface::forwardListWheel(SkinObject* object, float, float) {
    if (!getListBox(object)) return;
}

void SkinInterface::forwardListKey(SkinObject* object, int, const char*, bool) {
    if (!getListBox(object)) return;
}

void SkinInterface::fillPopupList(const std::vector<std::pair<std::string, std::string>>&, int, float* width,
                                  float* height) {
    *width = 0;
    *height = 0;
    SkinWindow* popup = skin ? skin->getWindow("_popupwindow") : nullptr;
    if (!popup || popup->tabGroups.empty() || popup->tabGroups[0]->tabs.empty()) return;
    SkinTab* tab = popup->tabGroups[0]->tabs[0].get();
    if (tab->getNbObjs() == 0 || !getListBox(tab->getObj(0))) return;
}

void SkinInterface::drawListBox(void*, SkinObject* object, int deck) {
    if (!listBoxOf(object, deck)) return;
}
