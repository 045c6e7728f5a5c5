// Helpers shared by the effect tests: run one stereo frame through any effect.
#pragma once

struct Frame {
    float l, r;
};

template <typename Effect> Frame run(Effect& e, float l, float r) {
    e.process(&l, &r);
    return {l, r};
}
