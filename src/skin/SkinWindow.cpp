#include "skin/SkinWindow.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/GLDrawList.h"
#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"

#include <algorithm>
#include <utility>

namespace {

const char* const listColorTags[SkinWindow::LIST_COLOR_COUNT] = {
    "playlist-background-color", "playlist-background-color2",      "playlist-side-color",
    "playlist-font-color",       "playlist-selected-font-color",    "playlist-selected-back-color",
    "playlist-scrollbar-color",  "playlist-scrollbar-pressed-color"};

const char* const scrollTags[4] = {"image-scrollbar-up", "image-scrollbar-up-selected", "image-scrollbar-down",
                                   "image-scrollbar-down-selected"};

// In the order of SkinWindow::EdgeImage.
const char* const edgeTags[SkinWindow::EDGE_COUNT] = {
    "image-edge-righttop", "image-edge-leftbottom", "image-edge-lefttop", "image-edge-rightbottom",
    "image-edge-top",      "image-edge-right",      "image-edge-bottom",  "image-edge-left"};

const char* const iconTags[SkinWindow::ICON_COUNT] = {"icon-file",
                                                      "icon-file-new",
                                                      "icon-file-hot",
                                                      "icon-file-link",
                                                      "icon-file-played",
                                                      "icon-folder-closed",
                                                      "icon-folder-open",
                                                      "icon-folder-autoplay",
                                                      "icon-playlist-open",
                                                      "icon-playlist-closed",
                                                      "icon-playlist-autoplay",
                                                      "icon-smartlist-open",
                                                      "icon-smartlist-closed",
                                                      "icon-smartlist-autoplay"};

// The built-in frame of the "playlist" window, cut from the skin picture "pl".
struct BuiltInEdge {
    SkinWindow::EdgeImage edge;
    float left, top, width, height;
};
const BuiltInEdge playlistEdges[] = {
    {SkinWindow::EDGE_LEFTTOP, 0, 0, 79, 17}, {SkinWindow::EDGE_RIGHTBOTTOM, 0, 17, 20, 20},
    {SkinWindow::EDGE_TOP, 81, 0, 33, 17},    {SkinWindow::EDGE_RIGHT, 81, 17, 5, 20},
    {SkinWindow::EDGE_BOTTOM, 26, 17, 33, 4}, {SkinWindow::EDGE_LEFT, 81, 17, 5, 20},
};

// Layer positions from the skin, within the coordinate limits of its rectangles.
float clampPosition(int v) {
    return std::max(-SkinRect::maxCoordinate, std::min(static_cast<float>(v), SkinRect::maxCoordinate));
}

float clampSize(float v) {
    if (!(v >= SkinWindow::minSize)) return SkinWindow::minSize; // NaN too
    return v > SkinWindow::maxSize ? SkinWindow::maxSize : v;
}

} // namespace

// Cuts the first element of a tag out of the text and its lower-cased copy alike (so a window
// with many tab groups is not lower-cased again for each). False when there is none.
static bool cutElement(std::string& text, std::string& lower, const std::string& tag, std::string& value) {
    size_t end = std::string::npos;
    value = getXMLElementCIFast(text, lower, tag, 0, &end);
    if (end == std::string::npos) return false;
    size_t start = end - (2 * tag.size() + 5) - value.size();
    text.erase(start, end - start);
    lower.erase(start, end - start);
    return true;
}

bool inSquare(float x, float y, const SkinRect* rect) {
    return rect->left < x && x < rect->right && rect->top < y && y < rect->bottom;
}

SkinWindow::SkinWindow(Skin* skin, std::string* xml) {
    construct(skin, xml);
}

SkinWindow::SkinWindow(Skin* skin, std::string* xml, const std::string& forcedName) : name(forcedName) {
    construct(skin, xml);
    name = forcedName;
}

SkinWindow::~SkinWindow() {
    for (CPicture*& picture : layerPictures) {
        delete picture;
        picture = nullptr;
    }
}

SkinWindowStateInfo* SkinWindow::layerState(int layer) const {
    return isValidDeck(layer) ? layerStates[layer].get() : nullptr;
}

void SkinWindow::construct(Skin* owner, std::string* xml) {
    skin = owner;
    for (auto& state : layerStates)
        state = std::make_unique<SkinWindowStateInfo>();
    std::string text = *xml;
    std::string lower = strtolower(text);
    auto element = [&](const std::string& tag) { return getXMLElementCIFast(text, lower, tag); };

    if (name.empty()) name = element("name");
    backgroundPicture = skin->loadPicture(element("background"));
    selectedPicture = skin->loadPicture(element("selected"));
    activePicture = skin->loadPicture(element("active"));
    mouseoverPicture = skin->loadPicture(element("mouseover"));
    if (backgroundPicture) {
        width = static_cast<float>(backgroundPicture->width);
        height = static_cast<float>(backgroundPicture->height);
    }

    for (int i = 0; i < 4; ++i) {
        std::string start = element("startposition_" + intToStr(i + 1));
        if (start.empty()) continue;
        layerStates[i]->x = clampPosition(strToInt(getXMLPart(start, "x", "0")));
        layerStates[i]->y = clampPosition(strToInt(getXMLPart(start, "y", "0")));
        int w = strToInt(getXMLPart(start, "width", "0"));
        int h = strToInt(getXMLPart(start, "height", "0"));
        if (w > 0 && h > 0) {
            width = clampSize(static_cast<float>(w));
            height = clampSize(static_cast<float>(h));
        }
    }

    // Presets are cut out unread: objects inside them are not objects of the window.
    std::string presets;
    cutElement(text, lower, "presets", presets);

    tabGroups.emplace_back(new SkinTabGroup());
    tabGroups[0]->addTab(new SkinTab(this));
    std::string tabsText;
    while (cutElement(text, lower, "tabs", tabsText))
        tabGroups.emplace_back(new SkinTabGroup(&tabsText, this));

    SkinTab* own = tabGroups[0]->getTab(0);
    size_t from = 0;
    while (true) {
        size_t end = std::string::npos;
        std::string objectText = getXMLElementCIFast(text, lower, "object", from, &end);
        if (end == std::string::npos) break;
        own->addObjectFromXML(&objectText);
        from = end;
    }

    if (!backgroundPicture) {
        std::string colorText = element("window-background-color");
        backgroundColor = std::make_unique<SkinColor>(&colorText);
    }
    for (int i = 0; i < LIST_COLOR_COUNT; ++i) {
        std::string colorText = element(listColorTags[i]);
        if (!colorText.empty()) listColors[i] = std::make_unique<SkinColor>(&colorText);
    }
    std::string fontText = element("playlist-font");
    if (!fontText.empty()) listFonts[0] = skin->getFontHandle(fontText);
    fontText = element("playlist-font-selected");
    if (!fontText.empty()) listFonts[1] = skin->getFontHandle(fontText);
    for (int i = 0; i < 4; ++i) {
        std::string picText = element(scrollTags[i]);
        if (picText.empty()) continue;
        std::unique_ptr<SkinImageRef> ref(skin->getImageRef(picText, 15, 15));
        if (ref) scrollPictures[i] = ref->picture;
    }
    readEdgeImages(&text, lower);
    if (lower.find("<icon") != std::string::npos) {
        for (int i = 0; i < ICON_COUNT; ++i) {
            std::string iconText = element(iconTags[i]);
            if (!iconText.empty()) icons[i].reset(skin->getImageRef(iconText, 0, 0));
        }
    }
}

void SkinWindow::readEdgeImages(std::string* text, std::string& lower) {
    for (int i = 0; i < EDGE_COUNT; ++i) {
        std::string edgeText = getXMLElementCIFast(*text, lower, edgeTags[i]);
        if (!edgeText.empty()) edgeImages[i].reset(skin->getImageRef(edgeText, 15, 15));
    }
    if (name != "playlist") return;
    CPicture* frame = skin->loadPicture("pl");
    if (!frame) return;
    for (const BuiltInEdge& builtIn : playlistEdges) {
        if (edgeImages[builtIn.edge]) continue;
        SkinRect r;
        r.left = builtIn.left;
        r.top = builtIn.top;
        r.width = builtIn.width;
        r.height = builtIn.height;
        r.right = r.left + r.width;
        r.bottom = r.top + r.height;
        edgeImages[builtIn.edge] = std::make_unique<SkinImageRef>(frame, &r);
    }
}

// ---- Drawing ----------------------------------------------------------------------------------------

void SkinWindow::sizeLayerPicture(CPicture* picture) const {
    // A layer's target only stands for the layer in the drawing calls: everything is drawn on the
    // screen, clipped to the target's size, and nothing ever writes its pixels. So it keeps a size
    // and no pixel store (a full-size one would cost up to 256 MiB a layer for nothing).
    picture->close();
    picture->width = static_cast<int>(width);
    picture->height = static_cast<int>(height);
}

void SkinWindow::draw(int layer) {
    if (!isValidDeck(layer)) return;
    if (!layerPictures[layer]) {
        layerPictures[layer] = new CPicture();
        sizeLayerPicture(layerPictures[layer]);
    }
    draw(layerPictures[layer], layer);
}

void SkinWindow::draw(void* target, int layer) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer)) return;
    int w = static_cast<int>(width), h = static_cast<int>(height);
    // A frame being recorded keeps the background and each object apart, to tell which changed.
    GLDrawList* list = GLDrawList::recording();
    if (list) list->beginGroup(this, nullptr, layer);
    if (backgroundPicture)
        iface->bitblt(target, 0, 0, backgroundPicture->width, backgroundPicture->height, backgroundPicture, 0, 0);
    else if (backgroundColor)
        iface->fillRectangle(target, 0, 0, w, h, backgroundColor->value);

    auto blit = [&](SkinImageRef* ref, int x, int y) {
        iface->bitblt(target, x, y, static_cast<int>(ref->rect->width), static_cast<int>(ref->rect->height),
                      ref->picture, static_cast<int>(ref->rect->left), static_cast<int>(ref->rect->top));
    };
    auto edgeSize = [&](EdgeImage e, int& ew, int& eh) {
        SkinImageRef* ref = edgeImages[e].get();
        if (!ref) return false;
        ew = static_cast<int>(ref->rect->width);
        eh = static_cast<int>(ref->rect->height);
        return true;
    };
    int ew = 0, eh = 0;
    // Tiles of an empty image would never advance: they are skipped.
    if (edgeSize(EDGE_TOP, ew, eh) && ew > 0)
        for (int x = 0; x < w; x += ew)
            blit(edgeImages[EDGE_TOP].get(), x, 0);
    if (edgeSize(EDGE_BOTTOM, ew, eh) && ew > 0)
        for (int x = 0; x < w; x += ew)
            blit(edgeImages[EDGE_BOTTOM].get(), x, h - eh + 1);
    if (edgeSize(EDGE_LEFT, ew, eh) && eh > 0)
        for (int y = 0; y < h; y += eh)
            blit(edgeImages[EDGE_LEFT].get(), 0, y);
    if (edgeSize(EDGE_RIGHT, ew, eh) && eh > 0)
        for (int y = 0; y < h; y += eh)
            blit(edgeImages[EDGE_RIGHT].get(), w - ew, y);
    if (edgeSize(EDGE_LEFTTOP, ew, eh)) blit(edgeImages[EDGE_LEFTTOP].get(), 0, 0);
    if (edgeSize(EDGE_LEFTBOTTOM, ew, eh)) blit(edgeImages[EDGE_LEFTBOTTOM].get(), 0, h - eh);
    if (edgeSize(EDGE_RIGHTTOP, ew, eh)) blit(edgeImages[EDGE_RIGHTTOP].get(), w - ew, 0);
    if (edgeSize(EDGE_RIGHTBOTTOM, ew, eh)) blit(edgeImages[EDGE_RIGHTBOTTOM].get(), w - ew, h - eh + 1);

    for (auto& group : tabGroups) {
        SkinTab* tab = group->getCurrentTab(layer);
        if (!tab) continue;
        for (int i = 0; i < tab->getNbObjs(); ++i) {
            if (list) list->beginGroup(this, tab->getObj(i), layer);
            iface->drawObject(target, tab->getObj(i), layer, this);
        }
    }
}

// ---- Layout -----------------------------------------------------------------------------------------

void SkinWindow::resize(float w, float h) {
    width = clampSize(w);
    height = clampSize(h);
    for (CPicture* picture : layerPictures) {
        if (picture && (std::abs(picture->width - width) > 0.5f || std::abs(picture->height - height) > 0.5f))
            sizeLayerPicture(picture);
    }
    for (auto& group : tabGroups)
        for (auto& tab : group->tabs)
            for (auto& object : tab->objects)
                layoutObject(object.get(), width, height);
}

void SkinWindow::layoutObject(SkinObject* object, float W, float H) {
    SkinRect* r = object->rect.get();
    if (r->xPercent >= 0) {
        r->left = r->xPercent * W;
        r->right = r->left + r->width + r->layoutWidth;
    }
    if (r->widthPercent >= 0) {
        r->width = r->widthPercent * W;
        r->right = r->left + r->width + r->layoutWidth;
    }
    if (r->yPercent >= 0) {
        r->top = r->yPercent * H;
        r->bottom = r->top + r->height + r->layoutHeight;
    }
    if (r->heightPercent >= 0) {
        r->height = r->heightPercent * H;
        r->bottom = r->top + r->height + r->layoutHeight;
    }
    if (object->linkTop.mode == SkinLink::SIDE) {
        r->top = r->layoutY;
        r->bottom = r->top + r->height + r->layoutHeight;
    } else if (object->linkTop.mode == SkinLink::OBJECT) {
        r->top = object->linkTop.target->rect->bottom + r->layoutY;
        r->bottom = r->top + r->height;
    }
    if (object->linkBottom.mode == SkinLink::SIDE || object->linkBottom.mode == SkinLink::OBJECT) {
        float edge = object->linkBottom.mode == SkinLink::SIDE ? H : object->linkBottom.target->rect->top;
        r->height = edge - r->top - r->layoutHeight;
        r->bottom = r->top + r->height;
        if (r->height < 0) {
            r->height = 0;
            r->bottom = r->top;
        }
    }
    switch (object->linkLeft.mode) {
    case SkinLink::SIDE:
        r->left = r->layoutX;
        r->right = r->left + r->width;
        break;
    case SkinLink::RIGHTSIDE:
        r->left = W - r->width - r->layoutX;
        r->right = r->left + r->width;
        break;
    case SkinLink::OBJECT:
        r->left = object->linkLeft.target->rect->right + r->layoutX;
        r->right = r->left + r->width;
        break;
    default:
        break;
    }
    if (object->linkRight.mode == SkinLink::SIDE || object->linkRight.mode == SkinLink::OBJECT) {
        float edge = object->linkRight.mode == SkinLink::SIDE ? W : object->linkRight.target->rect->left;
        r->width = edge - r->left - r->layoutWidth;
        r->right = r->left + r->width + r->layoutWidth;
    }
    if (r->left > r->right) std::swap(r->left, r->right);
    if (r->top > r->bottom) std::swap(r->top, r->bottom);
    r->limit();
}

// ---- Lookups and events --------------------------------------------------------------------------

SkinObject* SkinWindow::getObject(const std::string& objectName) const {
    for (auto& group : tabGroups)
        for (auto& tab : group->tabs)
            if (SkinObject* found = tab->getObject(objectName)) return found;
    return nullptr;
}

int SkinWindow::getObjectAction(const SkinObject* object, int button) {
    switch (button) {
    case 1:
        return object->actionLeft;
    case 2:
        return object->actionRight;
    case 3:
        return object->actionCenter;
    case 4:
        return object->actionDoubleClick;
    default:
        return 0;
    }
}

template <typename Visit> void SkinWindow::forEachCurrentObject(int layer, Visit visit) {
    for (auto& group : tabGroups) {
        for (int i = 0;; ++i) {
            SkinTab* tab = group->getCurrentTab(layer);
            SkinObject* object = tab ? tab->getObj(i) : nullptr;
            if (!object) break;
            visit(object);
        }
    }
}

void SkinWindow::mouseDown(float x, float y, int button, int modifiers, int layer) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer)) return;
    SkinWindowStateInfo* st = layerStates[layer].get();
    for (size_t g = 0; g < tabGroups.size(); ++g) {
        SkinTabGroup* group = tabGroups[g].get();
        int tabIndex = group->getCurTab(layer);
        SkinTab* tab = group->getCurrentTab(layer);
        if (!tab) continue;
        for (int i = 0; i < tab->getNbObjs(); ++i) {
            SkinObject* object = tab->getObj(i);
            if (!inSquare(x, y, object->rect.get())) continue;
            st->pressActive = true;
            st->pressedGroupIndex = static_cast<int>(g);
            st->pressedTabIndex = tabIndex;
            st->pressedObjectIndex = i;
            st->pressedObject = object;
            focusedObjects[layer] = object;
            object->states[layer]->pressed = true;
            object->states[layer]->redraw = true;
            iface->handleMouseClick(object, x, y, getObjectAction(object, button), button, modifiers, this, layer,
                                    false);
        }
    }
    st->lastMouseX = x;
    st->lastMouseY = y;
}

void SkinWindow::mouseUp(float x, float y, int button, int modifiers, int layer) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer)) return;
    SkinWindowStateInfo* st = layerStates[layer].get();
    st->dragFlag = false;
    forEachCurrentObject(layer, [&](SkinObject* object) {
        SkinObjectStateInfo* s = object->states[layer].get();
        if (!s->pressed) return;
        iface->handleMouseClick(object, x, y, getObjectAction(object, button), button, modifiers, this, layer, true);
        s->pressed = false;
        s->redraw = true;
        if (object == st->pressedObject) {
            st->pressedObject = nullptr;
            st->pressActive = false;
        }
    });
    if (SkinObject* held = st->pressedObject) {
        iface->handleMouseClick(held, x, y, getObjectAction(held, button), button, modifiers, this, layer, true);
        st->pressedObject = nullptr;
        st->pressActive = false;
    }
}

void SkinWindow::mouseMove(float x, float y, int button, int modifiers, int layer) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer)) return;
    SkinWindowStateInfo* st = layerStates[layer].get();
    float lastX = st->lastMouseX, lastY = st->lastMouseY;
    forEachCurrentObject(layer, [&](SkinObject* object) {
        SkinObjectStateInfo* s = object->states[layer].get();
        int action = getObjectAction(object, button);
        if (s->pressed && object != st->pressedObject)
            iface->handleMouseMove(object, x, y, lastX, lastY, action, button, modifiers, this, layer);
        if (inSquare(x, y, object->rect.get())) {
            if (button == 0 || !st->pressedObject) s->hover = true;
            s->redraw = true;
            if (button == 0 && !st->pressedObject)
                iface->handleMouseMove(object, x, y, lastX, lastY, action, button, modifiers, this, layer);
        } else if (s->hover) {
            s->hover = false;
            s->redraw = true;
        }
    });
    if (SkinObject* held = st->pressedObject)
        iface->handleMouseMove(held, x, y, lastX, lastY, getObjectAction(held, button), button, modifiers, this, layer);
    st->lastMouseX = x;
    st->lastMouseY = y;
}

bool SkinWindow::hoverShown(int layer) const {
    if (!isValidDeck(layer)) return false;
    for (auto& group : tabGroups) {
        SkinTab* tab = group->getCurrentTab(layer);
        for (int i = 0; tab && i < tab->getNbObjs(); ++i)
            if (tab->getObj(i)->state(layer)->hover) return true;
    }
    return false;
}

void SkinWindow::scrollWheel(float x, float y, float deltaX, float deltaY, int layer) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer)) return;
    for (auto& group : tabGroups) {
        SkinTab* tab = group->getCurrentTab(layer);
        if (!tab) continue;
        for (int i = 0; i < tab->getNbObjs(); ++i) {
            SkinObject* object = tab->getObj(i);
            if (inSquare(x, y, object->rect.get())) iface->handleScrollWheel(object, x, y, deltaX, deltaY);
        }
    }
}

void SkinWindow::keyPress(int keyCode, const char* characters, bool released, int layer) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer) || !focusedObjects[layer]) return;
    iface->handleKeyPress(focusedObjects[layer], keyCode, characters, released, layer);
}

void SkinWindow::handleFileDrop(float x, float y, int layer, const std::string& path) {
    SkinInterface* iface = skin ? skin->interface : nullptr;
    if (!iface || !isValidDeck(layer)) return;
    forEachCurrentObject(layer, [&](SkinObject* object) {
        if (inSquare(x, y, object->rect.get())) iface->handleFileDrop(object, layer, path, x, y);
    });
}

// ---- Saved tab order -----------------------------------------------------------------------------

std::string SkinWindow::getTabOrderXML() const {
    std::string xml;
    for (size_t i = 0; i < tabGroups.size(); ++i) {
        std::string n = intToStr(static_cast<int>(i));
        xml += "<TABGROUP_" + n + ">" + tabGroups[i]->getTabOrderXML() + "</TABGROUP_" + n + ">";
    }
    for (int layer = 0; layer < 4; ++layer) {
        std::string n = intToStr(layer);
        xml += "<WINDOW_WIDTH_" + n + ">" + intToStr(static_cast<int>(width)) + "</WINDOW_WIDTH_" + n + ">";
        xml += "<WINDOW_HEIGHT_" + n + ">" + intToStr(static_cast<int>(height)) + "</WINDOW_HEIGHT_" + n + ">";
    }
    return xml;
}

void SkinWindow::initTabOrderFromXML(const std::string& text) {
    std::string doc = text;
    std::string lower = strtolower(doc);
    for (size_t i = 0; i < tabGroups.size(); ++i) {
        std::string groupText = getXMLElementCIFast(doc, lower, "tabgroup_" + intToStr(static_cast<int>(i)));
        tabGroups[i]->initTabOrderFromXML(&groupText);
    }
    if (name != "playlist") return;
    for (int layer = 0; layer < 4; ++layer) {
        std::string w = getXMLElementCIFast(doc, lower, "window_width_" + intToStr(layer));
        std::string h = getXMLElementCIFast(doc, lower, "window_height_" + intToStr(layer));
        if (!w.empty() && !h.empty()) resize(static_cast<float>(strToInt(w)), static_cast<float>(strToInt(h)));
    }
}
