// Short movies made at test time with ffmpeg's generated sources: a clip whose green channel holds a base
// plus 12 x the whole second being shown (red and blue 0), and a still frame red in its top half and blue in
// its bottom half.
#pragma once

#include <cstdlib>
#include <string>

namespace testsupport {

inline bool haveFfmpeg() {
    return std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0;
}

// Encoder options per container: mpeg4 in .avi, h264 in .mp4, mpeg2 in .mpg; a keyframe every 2 s.
inline const char* movieCodecFor(const std::string& path) {
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".mp4") == 0) return "-c:v libx264 -pix_fmt yuv420p";
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".mpg") == 0) return "-c:v mpeg2video -q:v 2";
    return "-c:v mpeg4 -q:v 2";
}

// The counting clip, `seconds` long at 25 frames a second. False when ffmpeg fails.
inline bool makeSecondsClip(const std::string& path, int seconds, int base = 0) {
    const std::string command = "ffmpeg -v error -y -f lavfi -i \"nullsrc=s=64x48:r=25:d=" + std::to_string(seconds) +
                                ",format=gbrp,geq=r=0:g='" + std::to_string(base) + "+12*floor(T+0.001)':b=0\" -g 50 " +
                                movieCodecFor(path) + " '" + path + "' < /dev/null";
    return std::system(command.c_str()) == 0;
}

// Red top half, blue bottom half, one second.
inline bool makeOrientationClip(const std::string& path) {
    const std::string command = "ffmpeg -v error -y -f lavfi -i \"color=c=red:s=64x48:r=25:d=1,drawbox=x=0:y=24:w=64:"
                                "h=24:color=blue:t=fill\" " +
                                std::string(movieCodecFor(path)) + " '" + path + "' < /dev/null";
    return std::system(command.c_str()) == 0;
}

} // namespace testsupport
