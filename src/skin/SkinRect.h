// The rectangle of a skin element in window pixels (origin top left, y down), with the
// fractional and linked forms that let it follow its window's size.
#pragma once

#include <string>

class SkinRect {
public:
    SkinRect() = default;
    // Reads the elements of a "position" element's text (x, y, width, height, x2, y2 and the
    // four percentages).
    explicit SkinRect(std::string* text);
    virtual ~SkinRect() = default;

    // Copies every field but `vertical`.
    void initFromRect(const SkinRect* other);
    // Keeps edges, sizes and margins within +/- maxCoordinate (not a number: 0). Drawing turns
    // them into whole pixels, which a skin's absurd numbers or long chains of links must not
    // push past what an int holds.
    void limit();

    // No window is wider than a few thousand pixels: anything beyond this is off every screen.
    static constexpr float maxCoordinate = 1048576.0f;

    // Edges and sizes in pixels; the sizes are never below 0 after reading.
    float left = 0, right = 0, top = 0, bottom = 0;
    float width = 0, height = 0;
    // Fractions of the window size (the written percentage / 100); negative when not given.
    float widthPercent = -1.0f, heightPercent = -1.0f, xPercent = -1.0f, yPercent = -1.0f;
    // The values as read, before negative sizes were cut to 0: the margins of edge links.
    float layoutX = 0, layoutWidth = 0, layoutY = 0, layoutHeight = 0;
    // 1 when width <= height (a vertical control).
    int vertical = 0;
};
