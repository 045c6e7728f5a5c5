// A window's pixels as R, G, B, read back from the X server with ImageMagick.
#pragma once

#include "support/ProgramRun.h"

#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace testsupport {

struct Screenshot {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    bool read(const std::string& window, const std::string& file) {
        // ImageMagick's own program: an "import" earlier on the PATH may be something else.
        const char* import = access("/usr/bin/import-im6.q16", X_OK) == 0 ? "/usr/bin/import-im6.q16" : "import";
        run("timeout -k 5 60 " + std::string(import) + " -window " + window + " -depth 8 ppm:" + file + " 2>/dev/null");
        std::ifstream in(file, std::ios::binary);
        std::string magic;
        int maxValue = 0;
        in >> magic >> width >> height >> maxValue;
        in.get();
        if (magic != "P6" || width <= 0 || height <= 0 || maxValue != 255) return false;
        rgb.resize(size_t(width) * size_t(height) * 3);
        in.read(reinterpret_cast<char*>(rgb.data()), std::streamsize(rgb.size()));
        return bool(in);
    }
    // Share of pixels that are not black.
    double drawnShare() const {
        size_t lit = 0;
        for (size_t i = 0; i + 2 < rgb.size(); i += 3)
            if (rgb[i] > 8 || rgb[i + 1] > 8 || rgb[i + 2] > 8) ++lit;
        return rgb.empty() ? 0 : double(lit) / double(rgb.size() / 3);
    }
    // The pixels of a rectangle (clipped to the picture), R, G, B in rows.
    std::vector<unsigned char> area(int x0, int y0, int x1, int y1) const {
        std::vector<unsigned char> pixels;
        for (int y = std::max(0, y0); y < std::min(height, y1); ++y)
            for (int x = std::max(0, x0); x < std::min(width, x1); ++x)
                for (int c = 0; c < 3; ++c)
                    pixels.push_back(rgb[(size_t(y) * size_t(width) + size_t(x)) * 3 + size_t(c)]);
        return pixels;
    }
};

} // namespace testsupport
