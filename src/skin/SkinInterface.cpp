#include "skin/SkinInterface.h"

#include "foundation/modTools.h"
#include "platform/GLPrimitives.h"
#include "skin/Skin.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "skin/scripts/SkinScript.h"

#include <algorithm>
#include <cmath>

namespace {

struct NameCode {
    const char* name;
    int code;
};

const NameCode typeNames[] = {
    {"text", OBJECT_TEXT},
    {"button", OBJECT_BUTTON},
    {"slider", OBJECT_SLIDER},
    {"sliderrelative", OBJECT_SLIDERRELATIVE},
    {"jogwheel", OBJECT_JOGWHEEL},
    {"knob", OBJECT_KNOB},
    {"rotary", OBJECT_ROTARY},
    {"listbox", OBJECT_LISTBOX},
    {"moveable", OBJECT_MOVEABLE},
    {"resizewindow", OBJECT_RESIZEWINDOW},
    {"movewindow", OBJECT_MOVEWINDOW},
    {"titlebar", OBJECT_MOVEWINDOW},
    {"textbox", OBJECT_TEXTBOX},
    {"onload", OBJECT_ONLOAD},
    {"playlist", OBJECT_PLAYLIST},
};

const NameCode valueNames[] = {
    {"constant", VALUE_CONSTANT},
    {"customtext", VALUE_CONSTANT},
    {"tabselect", VALUE_TABSELECT},
    {"button_tabselect", VALUE_TABSELECT},
    {"showwindow", VALUE_SHOWWINDOW},
    {"windowposleft", VALUE_WINDOWPOSLEFT},
    {"windowpostop", VALUE_WINDOWPOSTOP},
    {"currentdeck", VALUE_CURRENTDECK},
    {"executescript", VALUE_EXECUTESCRIPT},
    {"variable", VALUE_VARIABLE},
    {"currenttime", VALUE_CURRENTTIME},
    {"timeused", VALUE_TIMEUSED},
    {"popupmenu", VALUE_POPUPMENU},
    {"custommenu", VALUE_POPUPMENU},
    {"quit", VALUE_QUIT},
    {"button_exit", VALUE_QUIT},
    {"exit", VALUE_QUIT},
    {"deviceconnect", VALUE_DEVICECONNECT},
    {"deviceplayermap", VALUE_DEVICEPLAYERMAP},
    {"option", VALUE_OPTION},
    {"moveable", VALUE_MOVEABLE},
    {"mainmenu", VALUE_MAINMENU},
    {"button_mainmenu", VALUE_MAINMENU},
    {"playlist", VALUE_PLAYLIST},
    {"foldersandcases", VALUE_FOLDERSANDCASES},
    {"folders", VALUE_FOLDERS},
    {"files", VALUE_FILES},
    {"addtoplaylistmenu", VALUE_ADDTOPLAYLISTMENU},
    {"playlistmenu", VALUE_PLAYLISTMENU},
    {"cases", VALUE_CASES},
    {"autoadvance", VALUE_AUTOADVANCE},
    {"modemenu", VALUE_MODEMENU},
    {"selectdrive", VALUE_SELECTDRIVE},
    {"favouritedirectories", VALUE_FAVOURITEDIRECTORIES},
    {"sortmenu", VALUE_SORTMENU},
    {"titlebar", VALUE_TITLEBAR},
};

template <size_t N> int lookup(const NameCode (&table)[N], const std::string& name) {
    std::string lower = strtolower(name);
    for (const NameCode& entry : table)
        if (lower == entry.name) return entry.code;
    return 0;
}

bool isNumber(const std::string& text) {
    return !text.empty() && strIsNumeric(text);
}

double clamp01(double r) {
    if (!(r >= 0.0)) return 0.0; // NaN too
    return r > 1.0 ? 1.0 : r;
}

// Removes the last UTF-8 character (its lead byte and continuation bytes).
void eraseLastCharacter(std::string& text) {
    if (text.empty()) return;
    size_t i = text.size() - 1;
    while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        --i;
    text.erase(i);
}

} // namespace

SkinInterface::SkinInterface() : gl(GLPrimitives::immediate()) {
    startTime = timeGetExactTime();
}

SkinInterface::~SkinInterface() = default;

double SkinInterface::getTime() {
    return timeGetExactTime();
}

time_t SkinInterface::getWallTime() {
    return time(nullptr);
}

int SkinInterface::deckOf(const SkinObject* object, int layer) {
    return object && isValidDeck(object->player) ? object->player : layer;
}

// ---- Requests ---------------------------------------------------------------------------------------

void SkinInterface::showPopupMenu(float x, float y, float width, float height) {
    hidePopupRequested = false;
    popupX = x;
    popupY = y;
    popupWidth = width;
    popupHeight = height;
    showPopupRequested = true;
}

void SkinInterface::hidePopupMenu() {
    if (!showPopupRequested) hidePopupRequested = true;
}

void SkinInterface::showInputBox(int valueId, const std::string& command, int deck, const std::string& prompt,
                                 const std::string& defaultText) {
    pendingValueId = valueId;
    pendingCommand = command;
    pendingDeck = deck;
    inputKind = 0;
    inputDefaultText = defaultText;
    inputPrompt = prompt;
    inputRequested = true;
}

void SkinInterface::showDialogBox(int valueId, const std::string& command, int deck, const std::string& text) {
    pendingValueId = valueId;
    pendingCommand = command;
    pendingDeck = deck;
    inputKind = 1;
    inputDefaultText.clear();
    inputPrompt = text;
    inputRequested = true;
}

void SkinInterface::showFileDialog(int valueId, const std::string& command, int deck, const std::string& prompt,
                                   const std::string& defaultName) {
    pendingValueId = valueId;
    pendingCommand = command;
    pendingDeck = deck;
    inputDefaultText = defaultName;
    inputPrompt = prompt;
    fileDialogRequested = true;
}

void SkinInterface::handleInputBox(const std::string& answer) {
    pendingCommand = strreplace(pendingCommand, "%value%", answer);
    std::string command = pendingCommand;
    int id = pendingValueId, deck = pendingDeck;
    handleMouseClickSimple(id, command, deck, false);
    handleMouseClickSimple(id, command, deck, true);
}

// ---- Menus --------------------------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> SkinInterface::readMenuItems(const std::string& text) {
    std::vector<std::string> lines = strsplit(text, "\n");
    if (lines.size() == 1) lines = strsplit(text, "\r");
    std::vector<std::pair<std::string, std::string>> items;
    for (size_t i = 0; i + 1 < lines.size(); i += 2)
        items.emplace_back(lines[i], lines[i + 1]);
    return items;
}

void SkinInterface::popupCustomMenu(const std::string& name, int deck, const std::string& value, float x, float y,
                                    bool) {
    std::string path;
    if (FileExist(name))
        path = name;
    else if (skin && FileExist(skin->folder + "/" + name + ".lst"))
        path = skin->folder + "/" + name + ".lst";
    std::string text = path.empty() ? std::string() : Skin::readContents(path);
    if (!value.empty()) text = strreplace(text, "%value%", value);

    std::vector<std::pair<std::string, std::string>> items = readMenuItems(text);
    float width = 0, height = 0;
    fillPopupList(items, deck, &width, &height);
    showPopupMenu(x, y, width, height);
}

// ---- Names --------------------------------------------------------------------------------------

int SkinInterface::getType(const std::string& name) {
    return lookup(typeNames, name);
}

int SkinInterface::getValue(const std::string& name) {
    return lookup(valueNames, name);
}

int SkinInterface::getAction(const std::string& name) {
    std::string lower = strtolower(name);
    if (lower == "default" || lower == "kill") return ACTION_DEFAULT;
    if (lower == "reset") return ACTION_RESET;
    return ACTION_NONE;
}

// ---- Values -------------------------------------------------------------------------------------

std::vector<SkinWindow*> SkinInterface::windowsNamed(const std::string& spec, int& layer) {
    std::vector<SkinWindow*> found;
    if (!skin || spec.empty()) return found;
    std::vector<std::string> pieces = strsplit(spec, "|");
    if (pieces.size() > 1) layer = strToInt(pieces[1]);
    std::string wanted = strtolower(strtrim(pieces[0]));
    for (auto& window : skin->windows)
        if (strtolower(window->name) == wanted) found.push_back(window.get());
    return found;
}

bool SkinInterface::isTabSelected(SkinWindow* window, const std::string& spec, int deck) {
    std::string tabName = spec;
    if (skin) {
        for (auto& w : skin->windows) {
            if (isLeft(spec, w->name + ":")) {
                window = w.get();
                tabName = spec.substr(w->name.size() + 1);
                break;
            }
        }
    }
    if (!window) return false;
    std::vector<std::string> pieces = strsplit(tabName, "|");
    if (pieces.size() != 1) return false;
    std::string wanted = strtolower(strtrim(pieces[0]));
    if (isNumber(wanted) || wanted.empty()) return false;
    for (auto& group : window->tabGroups)
        for (int i = 0; i < group->getNbTabs(); ++i)
            if (strtolower(group->getTab(i)->name) == wanted) return group->getCurTab(deck) == i;
    return false;
}

void SkinInterface::selectTab(SkinWindow* window, const std::string& valueSpec, int deck) {
    std::string spec = strtrim(strtolower(valueSpec));
    if (skin) {
        for (auto& w : skin->windows) {
            std::string prefix = strtolower(w->name) + ":";
            if (isLeft(spec, prefix)) {
                window = w.get();
                spec = spec.substr(prefix.size());
                break;
            }
        }
    }
    // Scripts and controllers press without a window: there is nothing to select in.
    if (!window || !isValidDeck(deck)) return;
    std::vector<std::string> pieces = strsplit(spec, "|");
    if (pieces.size() != 1) return;
    std::string wanted = strtrim(pieces[0]);
    if (isNumber(wanted) || wanted.empty()) return;
    for (auto& group : window->tabGroups)
        for (int i = 0; i < group->getNbTabs(); ++i)
            if (strtolower(group->getTab(i)->name) == wanted) group->setCurTab(deck, i);
}

std::string SkinInterface::getValueStr(int id, std::string* spec, int deck) {
    switch (id) {
    case VALUE_CONSTANT:
        return spec ? *spec : std::string();
    case VALUE_CURRENTDECK:
        return intToStr(deck + 1);
    case VALUE_VARIABLE:
        return skin && spec ? skin->getVariable(*spec) : std::string();
    case VALUE_CURRENTTIME: {
        time_t now = getWallTime();
        struct tm local;
        if (!localtime_r(&now, &local)) return "";
        return prePad(intToStr(local.tm_hour), 2, "0") + ":" + prePad(intToStr(local.tm_min), 2, "0");
    }
    case VALUE_TIMEUSED:
        return strFromTime(static_cast<float>((getTime() - startTime) / 1000.0), 0);
    default:
        return dblToStr(getValueDbl(id, spec, deck), 1);
    }
}

bool SkinInterface::getValueBool(int id, std::string* spec, int deck, SkinWindow* window) {
    if (!isValidDeck(deck)) return false;
    std::string empty;
    if (!spec) spec = &empty;
    switch (id) {
    case VALUE_TABSELECT:
        return isTabSelected(window, *spec, deck);
    case VALUE_SHOWWINDOW: {
        int layer = deck;
        std::vector<SkinWindow*> found = windowsNamed(*spec, layer);
        if (found.empty() || !isValidDeck(layer)) return false;
        return found[0]->layerState(layer)->visible;
    }
    case VALUE_EXECUTESCRIPT: {
        SkinScript* script = skin ? skin->getScript(*spec) : nullptr;
        return script ? script->getValueBool(deck) : false;
    }
    default:
        return getValueDbl(id, spec, deck) > 0;
    }
}

double SkinInterface::getValueDbl(int id, std::string* spec, int deck) {
    std::string empty;
    if (!spec) spec = &empty;
    switch (id) {
    case VALUE_WINDOWPOSLEFT:
    case VALUE_WINDOWPOSTOP: {
        int layer = deck;
        std::vector<SkinWindow*> found = windowsNamed(*spec, layer);
        if (found.empty() || !isValidDeck(layer)) return 0.0;
        SkinWindowStateInfo* state = found[0]->layerState(layer);
        return id == VALUE_WINDOWPOSLEFT ? state->x : state->y;
    }
    case VALUE_CURRENTDECK:
        return deck + 1;
    case VALUE_EXECUTESCRIPT: {
        if (!isValidDeck(deck)) return 0.0;
        SkinScript* script = skin ? skin->getScript(*spec) : nullptr;
        return script ? script->getValueDbl(deck) : 0.0;
    }
    default:
        return 0.0;
    }
}

double SkinInterface::getValueDblMin(int id, std::string*, int) {
    return id == VALUE_CURRENTDECK ? 1.0 : 0.0;
}

double SkinInterface::getValueDblMax(int id, std::string*, int) {
    return id == VALUE_CURRENTDECK ? 4.0 : 1.0;
}

double SkinInterface::getValueDblRelative(int id, std::string* spec, int deck) {
    double v = getValueDbl(id, spec, deck);
    double lo = getValueDblMin(id, spec, deck), hi = getValueDblMax(id, spec, deck);
    if (!(hi != lo)) return 0.0;
    double r = (std::min(std::max(v, lo), hi) - lo) / (hi - lo);
    return std::isfinite(r) ? r : 0.0;
}

void SkinInterface::setValueDbl(int id, std::string* spec, int deck, double v) {
    std::string empty;
    if (!spec) spec = &empty;
    switch (id) {
    case VALUE_WINDOWPOSLEFT:
    case VALUE_WINDOWPOSTOP: {
        int layer = deck;
        std::vector<SkinWindow*> found = windowsNamed(*spec, layer);
        if (!isValidDeck(layer) || !std::isfinite(v)) return;
        // The shell places windows in whole pixels: keep positions where those can count.
        float position = static_cast<float>(
            std::max(-double(SkinRect::maxCoordinate), std::min(v, double(SkinRect::maxCoordinate))));
        for (SkinWindow* window : found) {
            if (id == VALUE_WINDOWPOSLEFT)
                window->layerState(layer)->x = position;
            else
                window->layerState(layer)->y = position;
        }
        break;
    }
    case VALUE_EXECUTESCRIPT: {
        if (!isValidDeck(deck)) return;
        SkinScript* script = skin ? skin->getScript(*spec) : nullptr;
        if (script) script->executeScript(false, deck, true, v, 0);
        break;
    }
    case VALUE_VARIABLE:
        if (skin) skin->setVariable(*spec, dblToStr(v));
        break;
    default:
        break;
    }
}

void SkinInterface::setValueDblRelative(int id, std::string* spec, int deck, double r) {
    double lo = getValueDblMin(id, spec, deck), hi = getValueDblMax(id, spec, deck);
    setValueDbl(id, spec, deck, lo + (hi - lo) * r);
}

void SkinInterface::resetValue(int id, std::string* spec, int deck) {
    setValueDbl(id, spec, deck, 0.0);
}

void SkinInterface::handleJogWheel(int id, std::string* spec, int deck, double amount, double factor, double) {
    setValueDbl(id, spec, deck, getValueDbl(id, spec, deck) + amount * factor);
}

// ---- Events -------------------------------------------------------------------------------------

SkinListBox* SkinInterface::getListBox(SkinObject*) {
    return nullptr;
}

void SkinInterface::startDragOperation(SkinObject* object, int deck, const std::string& data) {
    dragObject = object;
    dragDeck = deck;
    dragData = data;
}

void SkinInterface::handleFileDrop(SkinObject*, int, const std::string&, float, float) {}
void SkinInterface::handleItemClick(SkinObject*, SkinListItem*, int) {}
void SkinInterface::handleItemDragStart(SkinObject*, SkinListItem*) {}
void SkinInterface::handleItemDelete(SkinObject*, SkinListItem*, bool*) {}

void SkinInterface::handleMouseClickSimple(int id, const std::string& spec, int deck, bool released) {
    std::string empty;
    SkinObject object(&empty, nullptr, nullptr);
    object.type = OBJECT_BUTTON;
    object.value = id;
    object.valueSpecifier = spec;
    object.player = deck;
    handleMouseClick(&object, 0, 0, ACTION_DEFAULT, 0, 0, nullptr, deck, released);
}

void SkinInterface::handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                                     SkinWindow* window, int layer, bool released) {
    if (action == ACTION_NONE || !object) return;
    int deck = deckOf(object, layer);
    if (!isValidDeck(deck)) return;
    SkinRect* r = object->rect.get();

    switch (object->type) {
    case OBJECT_SLIDER:
        if (action == ACTION_DEFAULT) {
            int dt = object->drawType;
            bool thumbed = dt == 1 || dt == 2 || dt == 5 || dt == 21 || dt == 22;
            double ratio = 0.0;
            if (thumbed) {
                SkinImageRef* thumb = object->additionalPics[(dt == 21 || dt == 22) ? 1 : 0].get();
                double tw = thumb ? thumb->rect->width : 0.0, th = thumb ? thumb->rect->height : 0.0;
                // A thumb as large as the track leaves no travel: the slider stays at 0.
                if (r->vertical) {
                    double span = r->height - th;
                    ratio = span > 0 ? 1.0 - ((y - r->top) - th / 2) / span : 0.0;
                } else {
                    double span = r->width - tw;
                    ratio = span > 0 ? ((x - r->left) - tw / 2) / span : 0.0;
                }
            } else if (r->vertical) {
                ratio = r->height > 0 ? 1.0 - (y - r->top) / r->height : 0.0;
            } else {
                ratio = r->width > 0 ? (x - r->left) / r->width : 0.0;
            }
            ratio = clamp01(ratio);
            if (object->invert) ratio = 1.0 - ratio;
            setValueDblRelative(object->value, &object->valueSpecifier, deck, ratio);
        } else if (action == ACTION_RESET && !released) {
            resetValue(object->value, &object->valueSpecifier, deck);
        }
        break;
    case OBJECT_KNOB:
        if (action == ACTION_RESET && !released) resetValue(object->value, &object->valueSpecifier, deck);
        break;
    case OBJECT_BUTTON:
        if (action != ACTION_DEFAULT) break;
        if (!released) {
            switch (object->value) {
            case VALUE_TABSELECT:
                selectTab(window, object->valueSpecifier, deck);
                break;
            case VALUE_SHOWWINDOW: {
                int target = deck;
                std::vector<SkinWindow*> found = windowsNamed(object->valueSpecifier, target);
                if (!isValidDeck(target)) break;
                for (SkinWindow* w : found)
                    w->layerState(target)->visible = !w->layerState(target)->visible;
                break;
            }
            case VALUE_EXECUTESCRIPT: {
                SkinScript* script = skin ? skin->getScript(object->valueSpecifier) : nullptr;
                if (script) script->executeScript(false, deck, false, 0.0, 0);
                break;
            }
            case VALUE_POPUPMENU:
            case VALUE_MAINMENU: {
                if (!window) break;
                SkinWindowStateInfo* state = window->layerState(deck);
                popupCustomMenu(object->value == VALUE_MAINMENU ? std::string("mainmenu") : object->valueSpecifier,
                                deck, "", x + state->x, y + state->y, false);
                break;
            }
            default:
                break;
            }
        } else {
            if (object->value == VALUE_EXECUTESCRIPT) {
                SkinScript* script = skin ? skin->getScript(object->valueSpecifier) : nullptr;
                if (script) script->executeScript(true, deck, false, 0.0, 0);
            } else if (object->value == VALUE_QUIT) {
                quitRequested = true;
            }
        }
        break;
    case OBJECT_LISTBOX:
        forwardListClick(object, deck, x, y, button, modifiers, released);
        break;
    default:
        break;
    }
}

void SkinInterface::handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action,
                                    int button, int modifiers, SkinWindow* window, int layer) {
    if (action == ACTION_NONE || !object) return;
    int deck = deckOf(object, layer);
    if (!isValidDeck(deck)) return;

    switch (object->type) {
    case OBJECT_SLIDER:
        handleMouseClick(object, x, y, action, button, modifiers, window, deck, false);
        break;
    case OBJECT_KNOB: {
        if (action != ACTION_DEFAULT) break;
        double pixels = 60.0 * (object->typeVariable > 0 ? object->typeVariable : 1.0);
        double r = getValueDblRelative(object->value, &object->valueSpecifier, deck) + (lastY - y) / pixels;
        setValueDblRelative(object->value, &object->valueSpecifier, deck, clamp01(r));
        break;
    }
    case OBJECT_LISTBOX:
        forwardListMove(object, deck, x, y, button, modifiers);
        break;
    case OBJECT_MOVEABLE:
        if (button > 0 && window) dragSplitter(object, x, y, lastX, lastY, window);
        break;
    case OBJECT_RESIZEWINDOW:
        if (button > 0 && window) window->resize(window->width + x - lastX, window->height + y - lastY);
        break;
    case OBJECT_MOVEWINDOW:
        if (button > 0 && window) {
            SkinWindowStateInfo* state = window->layerState(deck);
            state->moveX += x - lastX;
            state->moveY += y - lastY;
        }
        break;
    default:
        break;
    }
}

void SkinInterface::dragSplitter(SkinObject* object, float x, float y, float lastX, float lastY, SkinWindow* window) {
    SkinRect* r = object->rect.get();
    bool horizontal = object->valueSpecifier == "vertical" || r->height > r->width;
    float step = horizontal ? x - lastX : y - lastY;
    auto place = [&](float delta) {
        if (horizontal) {
            r->left += delta;
            float maxLeft = window->width - r->width - 8;
            if (r->left > maxLeft) r->left = maxLeft;
            if (r->left < 8) r->left = 8;
            r->right = r->left + r->width;
            r->xPercent = r->left / window->width;
        } else {
            r->top += delta;
            float maxTop = window->height - r->height - 8;
            if (r->top > maxTop) r->top = maxTop;
            if (r->top < 8) r->top = 8;
            r->bottom = r->top + r->height;
            r->yPercent = r->top / window->height;
        }
        window->resize(window->width, window->height);
    };
    place(step);
    // A neighbour squeezed below 5 pixels takes the step back, once for all neighbours.
    for (auto& group : window->tabGroups)
        for (auto& tab : group->tabs)
            for (auto& other : tab->objects) {
                bool linked = horizontal ? (other->linkLeft.target == object || other->linkRight.target == object)
                                         : (other->linkTop.target == object || other->linkBottom.target == object);
                float size = horizontal ? other->rect->width : other->rect->height;
                if (linked && size < 5) {
                    place(-step);
                    return;
                }
            }
}

void SkinInterface::handleScrollWheel(SkinObject* object, float, float, float deltaX, float deltaY) {
    if (object && object->type == OBJECT_LISTBOX) forwardListWheel(object, deltaX, deltaY);
}

void SkinInterface::handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp, int layer) {
    if (!object) return;
    if (object->type == OBJECT_TEXTBOX) {
        SkinObjectStateInfo* state = object->state(layer);
        if (keyUp || !state) return;
        if (keyCode == KEY_DELETE) {
            eraseLastCharacter(state->editText);
        } else if (keyCode != KEY_RETURN && SkinListBox::isTypedText(characters)) {
            state->editText += characters;
        }
        state->redraw = true;
    } else if (object->type == OBJECT_LISTBOX) {
        forwardListKey(object, keyCode, characters, keyUp);
    }
}
