// A named colour of the skin: 0x00BBGGRR, red in the lowest byte.
#pragma once

#include <string>

class SkinColor {
public:
    SkinColor() = default;
    // Reads the "name", "r", "g" and "b" elements; an empty text gives "empty", black.
    explicit SkinColor(std::string* text);

    // 0x00BBGGRR from three channel values, each clamped to 0..255.
    static unsigned int fromChannels(int r, int g, int b);

    std::string name = "black";
    unsigned int value = 0;
};
