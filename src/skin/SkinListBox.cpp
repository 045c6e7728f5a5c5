#include "skin/SkinListBox.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/BitmapContext.h"
#include "skin/SkinColor.h"
#include "skin/SkinFont.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"
#include "skin/SkinWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Float to int for pixel positions: values outside what an int holds (or not a number) would be
// undefined behaviour; the list's geometry keeps them far inside.
int toPixel(double v) {
    if (!(v > -1e9)) return -1000000000;
    if (v > 1e9) return 1000000000;
    return static_cast<int>(v);
}

} // namespace

SkinListBox::SkinListBox(SkinInterface* interface, SkinRect* rect, SkinObject* object)
    : interface(interface), rect(rect), object(object) {
    picture = std::make_unique<CPicture>();
    if (width() > 0 && height() > 0) picture->create(width(), height());
    std::string plain;
    ownFont = std::make_unique<SkinFont>(&plain);
    std::string bold = "<bold>yes</bold>";
    ownBoldFont = std::make_unique<SkinFont>(&bold);
    font = ownFont.get();
    boldFont = ownBoldFont.get();
    header = std::make_unique<SkinListItem>(this);

    SkinWindow* window = object ? object->window : nullptr;
    if (window) {
        unsigned int* colors[SkinWindow::LIST_COLOR_COUNT] = {
            &colorBackground,   &colorBackground2,  &colorSide,      &colorFont,
            &colorSelectedFont, &colorSelectedBack, &colorScrollbar, &colorScrollbarPressed};
        for (int i = 0; i < SkinWindow::LIST_COLOR_COUNT; ++i) {
            SkinColor* c = window->listColors[i].get();
            if (c && c->name != "empty") *colors[i] = c->value;
        }
        scrollUpPicture = window->scrollPictures[SkinWindow::SCROLL_UP];
        scrollUpPressedPicture = window->scrollPictures[SkinWindow::SCROLL_UP_SELECTED];
        scrollDownPicture = window->scrollPictures[SkinWindow::SCROLL_DOWN];
        scrollDownPressedPicture = window->scrollPictures[SkinWindow::SCROLL_DOWN_SELECTED];
    }
}

SkinListBox::~SkinListBox() = default;

int SkinListBox::width() const {
    return rect ? toPixel(rect->width) : 0;
}

int SkinListBox::height() const {
    return rect ? toPixel(rect->height) : 0;
}

// ---- Rows and columns ----------------------------------------------------------------------------

void SkinListBox::setColumns(const std::vector<std::string>& names) {
    size_t n = std::min(names.size(), static_cast<size_t>(maxColumns));
    header->setColumns(std::vector<std::string>(names.begin(), names.begin() + static_cast<long>(n)));
    if (columnWidths.size() < n) columnWidths.resize(n, 0.0f);
    for (size_t i = 0; i < n; ++i)
        columnWidths[i] = 1.0f / static_cast<float>(n);
    dirty = true;
}

void SkinListBox::setColumn(int i, const std::string& name) {
    if (i < 0 || i >= maxColumns) return;
    header->setColumn(i, name);
    if (i >= static_cast<int>(columnWidths.size())) {
        columnWidths.resize(static_cast<size_t>(i) + 1);
        for (float& w : columnWidths)
            w = 1.0f / static_cast<float>(i + 1);
    }
    dirty = true;
}

SkinListItem* SkinListBox::addRow(const std::vector<std::string>& values) {
    rows.push_back(std::make_unique<SkinListItem>(this));
    SkinListItem* row = rows.back().get();
    row->setColumns(values);
    row->index = static_cast<int>(rows.size()) - 1;
    dirty = true;
    layoutDirty = true;
    return row;
}

SkinListItem* SkinListBox::getRow(unsigned int i) const {
    return i < rows.size() ? rows[i].get() : nullptr;
}

SkinListItem* SkinListBox::getSelectedItem(int i) const {
    return i >= 0 && i < static_cast<int>(selection.size()) ? selection[static_cast<size_t>(i)] : nullptr;
}

void SkinListBox::selectItem(SkinListItem* row, bool add) {
    if (!add) {
        for (SkinListItem* s : selection)
            s->selected = false;
        selection.clear();
    }
    if (row) {
        if (!row->selected) selection.push_back(row);
        row->selected = true;
    }
    dirty = true;
}

void SkinListBox::setItemBold(int index) {
    boldRow = index;
    dirty = true;
}

// The row's place in `rows`: its index when that is current, else found by a scan (indexes lag
// behind moves until the next layout pass). -1 when the row is not in the list.
int SkinListBox::positionOf(SkinListItem* row) const {
    if (!row) return -1;
    if (row->index >= 0 && row->index < static_cast<int>(rows.size()) &&
        rows[static_cast<size_t>(row->index)].get() == row)
        return row->index;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].get() == row) return static_cast<int>(i);
    return -1;
}

void SkinListBox::deleteItem(SkinListItem* row) {
    int at = positionOf(row);
    if (at < 0) return;
    for (size_t i = static_cast<size_t>(at) + 1; i < rows.size(); ++i)
        rows[i]->index = static_cast<int>(i) - 1;
    std::unique_ptr<SkinListItem> gone = std::move(rows[static_cast<size_t>(at)]);
    rows.erase(rows.begin() + at);
    int last = static_cast<int>(rows.size()) - 1;
    if (lastVisibleRow > last) lastVisibleRow = last;
    if (firstVisibleRow > last) firstVisibleRow = last;
    if (boldRow == at)
        boldRow = -1;
    else if (boldRow > at)
        --boldRow;
    auto found = std::find(selection.begin(), selection.end(), row);
    if (found != selection.end()) {
        *found = selection.back();
        selection.pop_back();
    }
    if (dragMode >= 0 && dragMode >= static_cast<int>(rows.size())) dragMode = DRAG_NONE;
    dirty = true;
    layoutDirty = true;
}

void SkinListBox::moveItem(SkinListItem* row, int to) {
    int from = positionOf(row);
    if (from < 0) return;
    int count = static_cast<int>(rows.size());
    to = std::max(0, std::min(to, count - 1));
    if (from == to) return;
    for (int i = from; i < to; ++i)
        std::swap(rows[static_cast<size_t>(i)], rows[static_cast<size_t>(i) + 1]);
    for (int i = from; i > to; --i)
        std::swap(rows[static_cast<size_t>(i)], rows[static_cast<size_t>(i) - 1]);
    dirty = true;
    layoutDirty = true;
}

void SkinListBox::clear() {
    rows.clear();
    selection.clear();
    boldRow = -1;
    scrollOffset = 0.0f;
    // Rows of the last drawing pass and a held press name rows that are gone.
    firstVisibleRow = -1;
    lastVisibleRow = -1;
    dragMode = DRAG_NONE;
    dirty = true;
    layoutDirty = true;
}

void SkinListBox::resize(SkinRect* newRect) {
    if (!newRect) return;
    rect = newRect;
    int w = width(), h = height();
    if (w > 0 && h > 0 && (w != picture->width || h != picture->height)) {
        picture->create(w, h);
        dirty = true;
        layoutDirty = true;
    }
}

// ---- Geometry ------------------------------------------------------------------------------------

void SkinListBox::calculateItemPositions() {
    int y = showHeader ? rowHeight : 0;
    int right = toPixel(width() - scrollWidth);
    hasPictures = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        SkinListItem* row = rows[i].get();
        row->left = 0;
        row->right = right;
        row->top = y;
        row->bottom = y + rowHeight;
        row->index = static_cast<int>(i);
        if (row->picture) hasPictures = true;
        y += rowHeight;
    }
    layoutDirty = false;
    headerLaidOut = showHeader;
    dirty = true;
}

float SkinListBox::getItemPositionTop(SkinListItem* row) {
    if (needsLayout()) calculateItemPositions();
    return row ? row->top + scrollOffset : 0.0f;
}

float SkinListBox::getTotalHeight() {
    if (needsLayout()) calculateItemPositions();
    return rows.empty() ? 0.0f : static_cast<float>(rows.back()->bottom);
}

float SkinListBox::getMaxWidth() {
    const float least = 150.0f, margin = 4.0f;
    if (!interface) return least;
    float widest = 0.0f;
    for (size_t i = 0; i < rows.size(); ++i) {
        SkinListItem* row = rows[i].get();
        SkinFont* rowFont = static_cast<int>(i) == boldRow ? boldFont : font;
        float need = static_cast<float>(indentWidth * std::max(0, std::min(row->indent, 1000)));
        if (colorSide) need += rowHeight;
        if (row->picture) need += static_cast<float>(row->picture->width + 1);
        for (std::string text : {row->getLeftFormattedString(), row->getRightFormattedString()}) {
            float w = 0.0f, h = 0.0f;
            interface->getTextSize(picture.get(), &text, &w, &h, rowFont);
            need += w + (w > 0.0f ? margin : 0.0f);
        }
        widest = std::max(widest, need);
    }
    return std::max(least, std::ceil(widest + scrollWidth));
}

void SkinListBox::clampOffset() {
    if (needsLayout()) calculateItemPositions();
    if (!std::isfinite(scrollOffset)) scrollOffset = 0.0f;
    // An empty list has nothing to scroll to.
    float lowest = rows.empty() ? 0.0f : -(static_cast<float>(rows.back()->bottom) - static_cast<float>(height()));
    if (scrollOffset < lowest) scrollOffset = lowest;
    if (scrollOffset > 0.0f) scrollOffset = 0.0f;
}

SkinListItem* SkinListBox::getRowAt(float x, float y) {
    if (needsLayout()) calculateItemPositions();
    if (firstVisibleRow < 0 || lastVisibleRow >= static_cast<int>(rows.size())) return nullptr;
    for (int i = firstVisibleRow; i <= lastVisibleRow; ++i) {
        SkinListItem* row = rows[static_cast<size_t>(i)].get();
        if (row->top + scrollOffset <= y && y <= row->bottom + scrollOffset && row->left <= x && x <= row->right)
            return row;
    }
    return nullptr;
}

void SkinListBox::ensureVisible(SkinListItem* row) {
    if (!row) return;
    if (needsLayout()) calculateItemPositions();
    if (row->top + scrollOffset < 0 || row->bottom + scrollOffset > height()) {
        scrollOffset = static_cast<float>(ensureMargin - row->top);
        clampOffset();
        dirty = true;
    }
}

// ---- Drawing -------------------------------------------------------------------------------------

void SkinListBox::draw(void* target) {
    if (!interface || !rect) return;
    int w = width(), h = height();
    if (w > 0 && h > 0 && (w != picture->width || h != picture->height)) {
        picture->create(w, h);
        dirty = true;
        layoutDirty = true;
    }
    if (working) {
        drawWorking(target);
        return;
    }
    if (needsLayout()) calculateItemPositions();
    if (!picture->pixels) return;
    if (!dirty) {
        interface->bitblt(target, toPixel(rect->left), toPixel(rect->top), w, h, picture.get(), 0, 0);
        return;
    }

    CPicture* pic = picture.get();
    pic->transparencyMode = TRANSPARENCY_OPAQUE;
    pic->fillRectangle(0, 0, w, h, colorBackground);
    if (colorSide) {
        pic->fillRectangle(0, 0, scrollWidth, h, colorSide);
        unsigned int frame = getColorMix(colorSide, 0x000000, 0.25f);
        pic->fillRectangle(0, 0, w, 1, frame);
        pic->fillRectangle(0, 0, 1, h, frame);
        pic->fillRectangle(w - 1, 0, w, h, frame);
        pic->fillRectangle(0, h - 1, w, h, frame);
    }

    // Rows are 17 pixels apart from the first row's top: start at the first one that can show.
    firstVisibleRow = -1;
    lastVisibleRow = -1;
    int firstTop = showHeader ? rowHeight : 0;
    int start = 0;
    double hidden = -static_cast<double>(scrollOffset) - firstTop;
    if (hidden > 0) start = std::min(static_cast<int>(rows.size()), toPixel(hidden / rowHeight));
    for (int i = std::max(0, start - 1); i < static_cast<int>(rows.size()); ++i) {
        SkinListItem* row = rows[static_cast<size_t>(i)].get();
        int top = toPixel(row->top + scrollOffset), bottom = toPixel(row->bottom + scrollOffset);
        if (top >= h) break;
        if (bottom <= 0) continue;
        if (firstVisibleRow < 0) firstVisibleRow = i;
        lastVisibleRow = i;
        drawRow(row, i, top, bottom);
    }

    if (showHeader) {
        int textWidth = toPixel(w - scrollWidth);
        pic->fillRectangle(0, 0, textWidth, rowHeight, colorSelectedBack);
        float x = 0.0f;
        for (int j = 0; j < header->getNbColumns(); ++j) {
            float cell = static_cast<float>(w - scrollWidth) *
                         (j < static_cast<int>(columnWidths.size()) ? columnWidths[static_cast<size_t>(j)] : 0.0f);
            drawCell(header->getColumn(j), x, 0, cell, colorSelectedFont, font);
            x += cell;
        }
    }
    drawScrollBar();

    pic->destroyTextureGL();
    interface->bitblt(target, toPixel(rect->left), toPixel(rect->top), w, h, pic, 0, 0);
    dirty = false;
}

void SkinListBox::drawRow(SkinListItem* row, int i, int top, int bottom) {
    CPicture* pic = picture.get();
    int x = row->left + indentWidth * std::max(0, std::min(row->indent, 1000));
    int right = row->right;
    if ((i & 1) && colorBackground2) pic->fillRectangle(row->left, top, right, bottom, colorBackground2);
    SkinFont* rowFont = i == boldRow ? boldFont : font;
    unsigned int color = row->color ? row->color : (row->selected ? colorSelectedFont : colorFont);
    CPicture* rowPicture = hasPictures ? row->picture : nullptr;
    int pictureHeight = rowPicture ? std::min(rowPicture->height, rowHeight) : 0;
    int pictureWidth = rowPicture ? rowPicture->width : 0;

    if (showHeader) {
        if (row->selected) pic->fillRectangle(x, top, right, bottom, colorSelectedBack);
        // With a side colour the picture sits in the strip and the cells start beside it, as in
        // line mode.
        int cellStart = x, shift = 0;
        if (colorSide) {
            if (rowPicture) CPicture::bitblt(pic, x, top, pictureWidth, pictureHeight, rowPicture, 0, 0);
            cellStart = x + rowHeight;
        } else if (rowPicture) {
            CPicture::bitblt(pic, x, top, pictureWidth, pictureHeight, rowPicture, 0, 0);
            shift = pictureWidth + 1;
        }
        float cellX = static_cast<float>(cellStart);
        float span = static_cast<float>(right - cellStart);
        for (int j = 0; j < header->getNbColumns(); ++j) {
            float fraction = j < static_cast<int>(columnWidths.size()) ? columnWidths[static_cast<size_t>(j)] : 0.0f;
            float cell = span * fraction;
            float own = j == 0 ? static_cast<float>(shift) : 0.0f;
            drawCell(row->getColumn(j), cellX + own, top, cell - own, color, rowFont);
            cellX += cell;
        }
        return;
    }

    std::string leftText = row->getLeftFormattedString();
    std::string rightText = row->getRightFormattedString();
    float rightWidth = 0.0f, rightHeight = 0.0f;
    if (!rightText.empty()) interface->getTextSize(pic, &rightText, &rightWidth, &rightHeight, rowFont);
    int textStart = colorSide ? x + rowHeight : x;
    if (rowPicture) {
        if (colorSide) {
            CPicture::bitblt(pic, textStart - rowHeight, top, pictureWidth, pictureHeight, rowPicture, 0, 0);
        } else {
            CPicture::bitblt(pic, textStart, top, pictureWidth, pictureHeight, rowPicture, 0, 0);
            textStart += pictureWidth + 1;
        }
    }
    if (row->selected) pic->fillRectangle(textStart, top, right, bottom, colorSelectedBack);
    drawCell(leftText, static_cast<float>(textStart), top, static_cast<float>(right - textStart) - rightWidth, color,
             rowFont);
    if (!rightText.empty())
        interface->drawTextOnPic(pic, &rightText, static_cast<float>(right) - rightWidth, static_cast<float>(top),
                                 rightWidth, rowHeight, color, rowFont, nullptr, TEXTDRAW_NORMAL, TEXTALIGN_LEFT);
}

void SkinListBox::drawCell(std::string text, float x, int top, float width, unsigned int color, SkinFont* cellFont) {
    CPicture* pic = picture.get();
    BitmapContext* context = pic->getCGContextRef();
    if (text.empty() || !cellFont || !context || !(width > 0)) return;
    context->saveGState();
    context->clipToRect(x, static_cast<float>(pic->height - top - rowHeight), width, rowHeight); // y upwards
    interface->drawTextOnPic(pic, &text, x, static_cast<float>(top), width, rowHeight, color, cellFont, context,
                             TEXTDRAW_SHORTEN, TEXTALIGN_LEFT);
    context->restoreGState();
}

void SkinListBox::drawScrollBar() {
    CPicture* pic = picture.get();
    int w = width(), h = height();
    if (firstVisibleRow >= 0 && !rows.empty() && rows.back()->bottom > h) {
        double total = rows.back()->bottom;
        double track = h - 2 * scrollWidth;
        if (track > 0) {
            double span =
                rows[static_cast<size_t>(lastVisibleRow)]->bottom - rows[static_cast<size_t>(firstVisibleRow)]->top;
            int thumbTop = scrollWidth + toPixel(-scrollOffset / total * track);
            int thumbBottom = toPixel(thumbTop + track * std::min(span, static_cast<double>(h)) / total);
            bool pressed = dragMode == DRAG_THUMB;
            unsigned int light = pressed ? 0x808080 : 0xFFFFFF;
            unsigned int dark = pressed ? 0xFFFFFF : 0x606060;
            pic->fillRectangle(w - scrollWidth, thumbTop, w, thumbBottom,
                               pressed ? colorScrollbarPressed : colorScrollbar);
            pic->fillRectangle(w - 14, thumbTop, w - 1, thumbTop + 1, light);
            pic->fillRectangle(w - 14, thumbTop, w - 13, thumbBottom, light);
            pic->fillRectangle(w - 14, thumbBottom, w, thumbBottom + 1, dark);
            pic->fillRectangle(w - 1, thumbTop, w, thumbBottom, dark);
        }
        CPicture* up = dragMode == DRAG_ARROW_UP && scrollUpPressedPicture ? scrollUpPressedPicture : scrollUpPicture;
        CPicture* down =
            dragMode == DRAG_ARROW_DOWN && scrollDownPressedPicture ? scrollDownPressedPicture : scrollDownPicture;
        if (up) CPicture::bitblt(pic, w - scrollWidth, 0, scrollWidth, scrollWidth, up, 0, 0);
        if (down) CPicture::bitblt(pic, w - scrollWidth, h - scrollWidth, scrollWidth, scrollWidth, down, 0, 0);
    }
}

void SkinListBox::drawWorking(void* target) {
    if (!interface || !rect) return;
    int left = toPixel(rect->left), top = toPixel(rect->top), w = width(), h = height();
    interface->fillRectangle(target, left, top, left + w, top + h, colorBackground);
    double progress = std::isfinite(workingProgress) ? std::max(0.0, std::min(workingProgress, 1.0)) : 0.0;
    int barWidth = w < 240 ? toPixel(0.8 * w) : 200;
    int barLeft = left + w / 2 - barWidth / 2;
    int barRight = barLeft + barWidth;
    int y = top + h / 2 - 5;
    const unsigned int frame = 0xC8C8C8;
    interface->fillRectangle(target, barLeft - 2, y - 2, barRight + 2, y - 1, frame);
    interface->fillRectangle(target, barLeft - 2, y + 11, barRight + 2, y + 12, frame);
    interface->fillRectangle(target, barLeft - 2, y - 2, barLeft - 1, y + 12, frame);
    interface->fillRectangle(target, barRight + 1, y - 2, barRight + 2, y + 12, frame);
    unsigned int fill = getColorMix(0xF03232, 0xFFDCDC, static_cast<float>(progress * progress));
    interface->fillRectangle(target, barLeft, y, barLeft + toPixel(barWidth * progress), y + 10, fill);
}

// ---- Input ---------------------------------------------------------------------------------------

void SkinListBox::handleMouseClick(float x, float y, int button, int, bool release) {
    dirty = true;
    dragStarted = false;
    dragMode = DRAG_NONE;
    if (!rect) return;
    x -= rect->left;
    y -= rect->top;
    if (!release) lastScrollY = y;
    lastX = x;
    lastY = y;
    int w = width(), h = height();

    if (SkinListItem* row = getRowAt(x, y)) {
        if (release) return;
        dragMode = row->index;
        if (!(selection.size() == 1 && selection[0] == row)) selectItem(row, false);
        // The click may refill this list (a folder click does): the row is not touched after it.
        if (interface) interface->handleItemClick(object, row, button);
        return;
    }

    if (showHeader && y < 18) {
        float border = 0.0f;
        for (size_t j = 0; j <= columnWidths.size(); ++j) {
            if (border - 5 < x && x < border + 5) {
                dragMode = DRAG_BORDER;
                dragColumn = static_cast<int>(j);
                break;
            }
            if (j < columnWidths.size())
                border = static_cast<float>(toPixel(border + (w - scrollWidth) * columnWidths[j]));
        }
    }

    if (x > w - scrollWidth && !release) {
        if (y >= scrollWidth && y <= h - scrollWidth) {
            dragMode = DRAG_THUMB;
        } else if (y > h - scrollWidth) {
            dragMode = DRAG_ARROW_DOWN;
            if (!rows.empty()) {
                scrollOffset -= arrowStep;
                clampOffset();
            }
        } else if (y < scrollWidth) {
            dragMode = DRAG_ARROW_UP;
            scrollOffset += arrowStep;
            if (scrollOffset > 0.0f) scrollOffset = 0.0f;
        }
    }
}

void SkinListBox::handleMouseMove(float x, float y, int, int) {
    if (!rect) return;
    x -= rect->left;
    y -= rect->top;
    if (dragMode == DRAG_THUMB) {
        float dy = y - lastScrollY;
        double track = height() - 2 * scrollWidth;
        // A list too small for a thumb has no track to drag along.
        if (dy != 0.0f && !rows.empty() && track > 0) {
            if (needsLayout()) calculateItemPositions();
            scrollOffset -= static_cast<float>(rows.back()->bottom / track * dy);
            lastScrollY = y;
            clampOffset();
            dirty = true;
        }
    } else if (dragMode >= 0) {
        if (!dragStarted) {
            dragStarted = true;
            // The list may have been refilled since the press: only a row still there is dragged.
            if (dragMode < static_cast<int>(rows.size()) && interface)
                interface->handleItemDragStart(object, rows[static_cast<size_t>(dragMode)].get());
        }
    } else if (dragMode == DRAG_BORDER && dragColumn >= 1 && dragColumn < static_cast<int>(columnWidths.size())) {
        int textWidth = width() - scrollWidth;
        if (textWidth > 0) {
            float d = (lastX - x) / static_cast<float>(textWidth);
            float& leftColumn = columnWidths[static_cast<size_t>(dragColumn) - 1];
            float& rightColumn = columnWidths[static_cast<size_t>(dragColumn)];
            if ((leftColumn - d) * textWidth > 10 && (rightColumn + d) * textWidth > 10) {
                leftColumn -= d;
                rightColumn += d;
            }
            dirty = true;
        }
    }
    lastX = x;
    lastY = y;
}

void SkinListBox::scrollWheel(double, double dy) {
    if (!std::isfinite(dy)) return;
    scrollOffset += static_cast<float>(wheelFactor * dy);
    clampOffset();
    dirty = true;
}

// One jog step of the selection; false when it could not move.
bool SkinListBox::stepSelection(bool down) {
    int count = static_cast<int>(rows.size());
    if (count == 0) return false;
    if (selection.empty()) {
        // The rows of the last drawing pass may be gone (or none was drawn yet): start at row 0.
        int start = down ? firstVisibleRow : lastVisibleRow;
        if (start < 0 || start >= count) start = 0;
        selectItem(rows[static_cast<size_t>(start)].get(), false);
        return true;
    }
    int k = positionOf(selection[0]);
    if (k < 0) return false;
    if (down && k < count - 1) {
        selectItem(rows[static_cast<size_t>(k) + 1].get(), false);
        return true;
    }
    if (!down && k >= 1) {
        selectItem(rows[static_cast<size_t>(k) - 1].get(), false);
        return true;
    }
    return false;
}

void SkinListBox::scrollDown(double steps) {
    if (!std::isfinite(steps)) return;
    wheelRemainder += steps;
    bool moved = false;
    while (wheelRemainder >= 1.0) {
        // Once at an end every further step does nothing: keep only the fraction.
        if (!stepSelection(true)) {
            wheelRemainder = std::fmod(wheelRemainder, 1.0);
            break;
        }
        moved = true;
        wheelRemainder -= 1.0;
    }
    while (wheelRemainder <= -1.0) {
        if (!stepSelection(false)) {
            wheelRemainder = std::fmod(wheelRemainder, 1.0);
            break;
        }
        moved = true;
        wheelRemainder += 1.0;
    }
    if (moved) dirty = true;
}

void SkinListBox::moveDown(int n) {
    if (n < 1) n = 1;
    int count = static_cast<int>(rows.size());
    if (!selection.empty()) {
        int k = positionOf(selection[0]);
        if (k >= 0 && k < count - n)
            selectItem(rows[static_cast<size_t>(k + n)].get(), false);
        else if (k >= 0 && k < count - 1)
            selectItem(rows[static_cast<size_t>(k) + 1].get(), false);
    } else if (firstVisibleRow >= 0 && firstVisibleRow < count) {
        selectItem(rows[static_cast<size_t>(firstVisibleRow)].get(), false);
    } else if (count > 0) {
        selectItem(rows[0].get(), false);
    }
    if (!selection.empty()) ensureVisible(selection[0]);
}

void SkinListBox::moveUp(int n) {
    if (n < 1) n = 1;
    int count = static_cast<int>(rows.size());
    if (!selection.empty()) {
        int k = positionOf(selection[0]);
        if (k >= 0 && n <= k)
            selectItem(rows[static_cast<size_t>(k - n)].get(), false);
        else if (k >= 1)
            selectItem(rows[static_cast<size_t>(k) - 1].get(), false);
    } else if (lastVisibleRow >= 0 && lastVisibleRow < count) {
        selectItem(rows[static_cast<size_t>(lastVisibleRow)].get(), false);
    } else if (count > 0) {
        selectItem(rows.back().get(), false);
    }
    if (!selection.empty()) ensureVisible(selection[0]);
}

bool SkinListBox::isTypedText(const char* characters) {
    if (!characters || !*characters) return false;
    for (const char* c = characters; *c; ++c) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

void SkinListBox::handleKeyPress(int key, const char* characters, bool release) {
    if (release) return;
    int count = static_cast<int>(rows.size());
    switch (key) {
    case KEY_LIST_FORWARD_DELETE:
    case KEY_LIST_DELETE:
        deleteSelection();
        break;
    case KEY_LIST_UP:
        moveUp(1);
        break;
    case KEY_LIST_DOWN:
        moveDown(1);
        break;
    case KEY_LIST_PAGE_UP:
    case KEY_LIST_PAGE_DOWN:
        if (count > 0) {
            if (needsLayout()) calculateItemPositions();
            int page = height() / rowHeight;
            if (key == KEY_LIST_PAGE_UP)
                moveUp(page);
            else
                moveDown(page);
        }
        break;
    case KEY_LIST_HOME:
    case KEY_LIST_END:
        if (count > 0) {
            SkinListItem* row = key == KEY_LIST_HOME ? rows.front().get() : rows.back().get();
            selectItem(row, false);
            ensureVisible(row);
        }
        break;
    default:
        typeAhead(characters);
        break;
    }
}

void SkinListBox::typeAhead(const char* characters) {
    // Modifier and function keys bring no text: they must not select row 0.
    if (!isTypedText(characters)) return;
    for (auto& row : rows) {
        if (isLeftCI(row->getColumn(searchColumn), characters)) {
            selectItem(row.get(), false);
            ensureVisible(row.get());
            return;
        }
    }
}

void SkinListBox::deleteSelection() {
    if (selection.empty()) return;
    int k0 = positionOf(selection[0]);
    size_t i = 0;
    // Bounded: a handler that keeps changing the selection can't keep the key press going.
    size_t questions = selection.size() + rows.size();
    while (i < selection.size() && questions-- > 0) {
        SkinListItem* row = selection[i];
        bool keep = false;
        if (interface) interface->handleItemDelete(object, row, &keep);
        // The handler may have changed the selection (or refilled the list): look again.
        if (i >= selection.size() || selection[i] != row) continue;
        if (keep) {
            ++i;
            continue;
        }
        deleteItem(row);
    }
    if (selection.empty() && !rows.empty()) {
        int count = static_cast<int>(rows.size());
        selectItem(rows[static_cast<size_t>(k0 >= 0 && k0 < count ? k0 : count - 1)].get(), false);
    }
}

// ---- Saved column widths -------------------------------------------------------------------------

std::string SkinListBox::getSettingsXML() const {
    std::string xml = "<COLUMNWIDTHS>";
    for (size_t i = 0; i < columnWidths.size(); ++i) {
        char width[64];
        snprintf(width, sizeof width, "%.5f", static_cast<double>(columnWidths[i]));
        xml += "<COL><NB>" + std::to_string(i) + "</NB><WIDTH>" + width + "</WIDTH></COL>";
    }
    return xml + "</COLUMNWIDTHS>";
}

void SkinListBox::initSettingsXML(const std::string& text) {
    std::string document = text;
    std::string widths = getXMLPart(document, "columnwidths");
    std::string lower;
    size_t from = 0, end = 0;
    while (true) {
        end = std::string::npos;
        std::string col = getXMLElementCIFast(widths, lower, "col", from, &end);
        if (end == std::string::npos || end <= from) break;
        from = end;
        int nb = strToInt(getXMLPart(col, "nb"));
        double value = strToDbl(getXMLPart(col, "width"));
        // The text comes from the settings file: a column number outside the list's range or a
        // width that is not a fraction would write outside the width list or break the layout.
        if (nb < 0 || nb >= maxColumns || !std::isfinite(value)) continue;
        if (nb >= static_cast<int>(columnWidths.size())) columnWidths.resize(static_cast<size_t>(nb) + 1, 0.0f);
        columnWidths[static_cast<size_t>(nb)] = static_cast<float>(std::max(0.0, std::min(value, 1.0)));
        dirty = true;
    }
}
