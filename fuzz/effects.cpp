// Parameter storms on an effect chain: each 10-byte command sets one (effect, parameter) to a value
// (a raw double, or one of the extremes controllers and skins can send), switches an effect, or runs a
// burst of frames. Every read must stay inside the rings and every output must stay finite.
#include "audio/effects/EffectGroup.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

const double kExtremes[] = {0, -5, 220500, 1e7, -1e7, 1e6, -1e6, 1e12, -1e12, 0.5, 1, -1, 44100, 1e-9, 300000, 7, 9};
const int kEffects[] = {0, 4, 6, 8, 9, 10, 12, 13, 14, 15, 17, 18, 1000, 1, 2};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<EffectGroup> group;
    group = std::make_unique<EffectGroup>(44100); // fresh each run: the echo ring alone is 1.7 MB
    for (int id : {6, 8, 9, 10, 12, 13, 15, 17})
        group->setEffectState(id, 1);
    float phase = 0;
    for (size_t at = 0; at + 10 <= size && at < 4000; at += 10) {
        const uint8_t* c = data + at;
        const int effect = kEffects[c[0] % (sizeof kEffects / sizeof *kEffects)];
        const int param = c[1] % 16 == 15 ? 100 : c[1] % 16;
        double value;
        if (c[2] & 1) {
            std::memcpy(&value, c + 2, sizeof value);
        } else {
            value = kExtremes[c[3] % (sizeof kExtremes / sizeof *kExtremes)];
        }
        switch (c[1] >> 6) {
        case 0:
        case 1:
            // The knob pair's raw section settings belong to the biquad; storm the knob and its bandwidth.
            if (effect == 15 && param != 100 && param != 3) break;
            group->setParameter(effect, param, value, 0);
            break;
        case 2:
            group->setEffectState(effect, c[4] & 1);
            break;
        default:
            for (int i = 0; i < 64 * (c[5] % 8 + 1); ++i) {
                phase += 0.013f;
                float l = 30000.0f * std::sin(phase), r = -20000.0f;
                group->process(&l, &r);
                if (!std::isfinite(l) || !std::isfinite(r)) __builtin_trap();
            }
            break;
        }
        group->getParameter(effect, param, 0);
    }
    return 0;
}
