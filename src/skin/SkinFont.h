// A font description of the skin, with its platform font found on first use.
#pragma once

#include <string>

class SkinFont {
public:
    // Reads "name", "bold", "pointsize"/"size", "cleartype", "face" and "angle".
    explicit SkinFont(std::string* text);
    virtual ~SkinFont() = default;

    // The font registry's index of `face` (of "Arial" when `face` is not installed); looked up
    // once, the result kept even when it is 0. Main thread only.
    unsigned int getATSUFontID();

    bool fontIdFound = false;
    std::string name;
    std::string face = "Arial";
    float bold = 0.0f;  // above 0.5 means bold
    float size = 13.0f; // in pixels (1 pt = 1 px), 1..512
    int clearType = 1;  // smoothing wanted; text is always smoothed
    int angle = 0;      // degrees, counter-clockwise
    unsigned int fontId = 0;
};
