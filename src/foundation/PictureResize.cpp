// Scaling pictures: box, bilinear, cubic and Lanczos resampling.
//
// Target pixel (i, j) samples the source at (i * rx, j * ry), aligned at the top left, with
// positions outside the source clamped to its edges. The bilinear, cubic and Lanczos kernels are
// separable, so each runs as a horizontal pass over the source rows it needs (kept in a small ring)
// and a vertical pass over those: the same sums as the 2-D kernel, with the weights computed once
// per column and row instead of once per tap.
#include "foundation/Picture.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

float cubicKernel(float x) {
    float t = std::fabs(x);
    if (t <= 1) return ((1.1818181f * t - 2.167464f) * t - 0.014354067f) * t + 1;
    if (t <= 2) {
        float u = t - 1;
        return ((-0.54545456f * u + 1.2918661f) * u - 0.7464115f) * u;
    }
    float u = t - 2;
    return ((0.09090909f * u - 0.215311f) * u + 0.12440191f) * u;
}

float sinc(double x) {
    if (x == 0) return 1;
    return float(std::sin(M_PI * x) / (M_PI * x));
}

float lanczosKernel(float x) {
    if (std::fabs(x) >= 8) return 0;
    return sinc(x) * sinc(x / 8.0);
}

float bilinearKernel(float x) {
    return 1 - std::fabs(x);
}

int clampIndex(long v, int size) {
    return v < 0 ? 0 : v >= size ? size - 1 : int(v);
}

// The taps of one axis: for each target position, `taps` source indices (clamped) and weights.
struct AxisTaps {
    int taps = 0;
    std::vector<int> index;
    std::vector<float> weight;
};

AxisTaps buildTaps(int targetSize, int sourceSize, float ratio, int lo, int taps, float (*kernel)(float)) {
    AxisTaps a;
    a.taps = taps;
    a.index.resize(size_t(targetSize) * size_t(taps));
    a.weight.resize(a.index.size());
    for (int i = 0; i < targetSize; ++i) {
        float s = float(i) * ratio;
        long f = long(std::floor(s));
        for (int t = 0; t < taps; ++t) {
            long p = f + lo + t;
            a.index[size_t(i) * size_t(taps) + size_t(t)] = clampIndex(p, sourceSize);
            a.weight[size_t(i) * size_t(taps) + size_t(t)] = kernel(s - float(p));
        }
    }
    return a;
}

unsigned char toByte(float v) {
    if (!(v > 0)) return 0; // NaN too
    if (v >= 255) return 255;
    return (unsigned char)v; // truncated
}

// Separable resampling with clamped, truncated results. `lerp` evaluates a 2-tap kernel as
// a + (b - a) * w, so that a constant picture stays exactly constant.
void resampleSeparable(const CPicture* src, CPicture* dst, int channels, const AxisTaps& xt, const AxisTaps& yt,
                       bool lerp) {
    const int tw = dst->width, th = dst->height, taps = yt.taps;
    const size_t rowFloats = size_t(tw) * 4;
    std::vector<float> ring(size_t(taps) * rowFloats);
    std::vector<int> ringRow(size_t(taps), -1); // the source row each slot holds

    auto horizontal = [&](int row, float* out) {
        const unsigned char* s = src->pixelAt(0, row);
        const int* idx = xt.index.data();
        const float* w = xt.weight.data();
        for (int i = 0; i < tw; ++i, idx += xt.taps, w += xt.taps, out += 4) {
            if (lerp) {
                const unsigned char* a = s + size_t(idx[0]) * 4;
                const unsigned char* b = s + size_t(idx[1]) * 4;
                for (int c = 0; c < channels; ++c)
                    out[c] = a[c] + (float(b[c]) - float(a[c])) * w[1];
                continue;
            }
            float acc[4] = {0, 0, 0, 0};
            for (int t = 0; t < xt.taps; ++t) {
                const unsigned char* p = s + size_t(idx[t]) * 4;
                for (int c = 0; c < channels; ++c)
                    acc[c] += w[t] * p[c];
            }
            for (int c = 0; c < channels; ++c)
                out[c] = acc[c];
        }
    };

    std::vector<const float*> rows(static_cast<size_t>(taps));
    for (int j = 0; j < th; ++j) {
        const int* idx = &yt.index[size_t(j) * size_t(taps)];
        const float* w = &yt.weight[size_t(j) * size_t(taps)];
        for (int t = 0; t < taps; ++t) {
            // The rows of one window are consecutive (or clamped repeats): row % taps never collides.
            size_t slot = size_t(idx[t] % taps);
            float* r = &ring[slot * rowFloats];
            if (ringRow[slot] != idx[t]) {
                horizontal(idx[t], r);
                ringRow[slot] = idx[t];
            }
            rows[size_t(t)] = r;
        }
        unsigned char* d = dst->pixelAt(0, j);
        for (int i = 0; i < tw; ++i, d += 4) {
            size_t o = size_t(i) * 4;
            if (lerp) {
                for (int c = 0; c < channels; ++c) {
                    float a = rows[0][o + c], b = rows[1][o + c];
                    d[c] = toByte(a + (b - a) * w[1]);
                }
                continue;
            }
            float acc[4] = {0, 0, 0, 0};
            for (int t = 0; t < taps; ++t) {
                const float* r = rows[size_t(t)] + o;
                for (int c = 0; c < channels; ++c)
                    acc[c] += w[t] * r[c];
            }
            for (int c = 0; c < channels; ++c)
                d[c] = toByte(acc[c]);
        }
    }
}

// The average of the kx x ky block starting at the sample position, in integers.
template <typename Sum>
void resampleBox(const CPicture* src, CPicture* dst, int channels, float rx, float ry, int kx, int ky) {
    const int tw = dst->width, th = dst->height, sw = src->width, sh = src->height;
    std::vector<int> x0(static_cast<size_t>(tw));
    for (int i = 0; i < tw; ++i)
        x0[size_t(i)] = clampIndex(long(std::floor(float(i) * rx)), sw);
    std::vector<Sum> acc(size_t(tw) * 4);
    const Sum count = Sum(kx) * Sum(ky);
    for (int j = 0; j < th; ++j) {
        std::fill(acc.begin(), acc.end(), Sum(0));
        long y0 = long(std::floor(float(j) * ry));
        for (int k = 0; k < ky; ++k) {
            const unsigned char* s = src->pixelAt(0, clampIndex(y0 + k, sh));
            for (int i = 0; i < tw; ++i) {
                Sum* a = &acc[size_t(i) * 4];
                int first = x0[size_t(i)];
                if (first + kx <= sw) {
                    const unsigned char* p = s + size_t(first) * 4;
                    for (int m = 0; m < kx; ++m, p += 4)
                        for (int c = 0; c < channels; ++c)
                            a[c] += p[c];
                } else {
                    for (int m = 0; m < kx; ++m) {
                        const unsigned char* p = s + size_t(clampIndex(long(first) + m, sw)) * 4;
                        for (int c = 0; c < channels; ++c)
                            a[c] += p[c];
                    }
                }
            }
        }
        unsigned char* d = dst->pixelAt(0, j);
        for (int i = 0; i < tw; ++i, d += 4)
            for (int c = 0; c < channels; ++c)
                d[c] = (unsigned char)(acc[size_t(i) * 4 + size_t(c)] / count);
    }
}

} // namespace

void CPicture::resizeStatic(CPicture* source, CPicture* target, int filter) {
    if (!source || !target || !source->pixels || !target->pixels || source->width <= 0 || source->height <= 0 ||
        target->width <= 0 || target->height <= 0)
        return;
    target->transparencyMode = source->transparencyMode;
    target->touch();
    const float rx = float(source->width) / float(target->width);
    const float ry = float(source->height) / float(target->height);
    // An opaque source has no alpha worth computing: the target keeps its own alpha bytes.
    const int channels = source->transparencyMode == TRANSPARENCY_OPAQUE ? 3 : 4;

    switch (filter) {
    case FILTER_BOX: {
        // Enlarging gives a box below one pixel: it is at least 1 x 1.
        int kx = rx >= 1 ? int(rx) : 1;
        int ky = ry >= 1 ? int(ry) : 1;
        if (double(kx) * double(ky) * 255.0 < 4294967295.0)
            resampleBox<uint32_t>(source, target, channels, rx, ry, kx, ky);
        else
            resampleBox<uint64_t>(source, target, channels, rx, ry, kx, ky);
        break;
    }
    case FILTER_BILINEAR:
        resampleSeparable(source, target, channels, buildTaps(target->width, source->width, rx, 0, 2, bilinearKernel),
                          buildTaps(target->height, source->height, ry, 0, 2, bilinearKernel), true);
        break;
    case FILTER_CUBIC:
        resampleSeparable(source, target, channels, buildTaps(target->width, source->width, rx, -2, 6, cubicKernel),
                          buildTaps(target->height, source->height, ry, -2, 6, cubicKernel), false);
        break;
    case FILTER_LANCZOS:
        resampleSeparable(source, target, channels, buildTaps(target->width, source->width, rx, -8, 17, lanczosKernel),
                          buildTaps(target->height, source->height, ry, -8, 17, lanczosKernel), false);
        break;
    default:
        break;
    }
}

CPicture* CPicture::resize(int w, int h, int filter) {
    CPicture* result = new CPicture;
    if (!pixels || width <= 0 || height <= 0) return result;
    if (!result->create(w, h)) return result;
    // An opaque source leaves the target's alpha alone: make it opaque rather than undefined.
    if (transparencyMode == TRANSPARENCY_OPAQUE) std::memset(result->pixels, 255, result->byteSize());
    resizeStatic(this, result, filter);
    return result;
}

CPicture* CPicture::resizeBest(int w, int h, int filter) {
    // Tall, narrow covers reach here with a width of 0: every size is at least 1.
    if (w < 1) w = 1;
    if (h < 1) h = 1;
    if (!pixels || width <= 0 || height <= 0) return new CPicture;
    double scale = double(w) / double(width);
    if (scale >= 0.5) return resize(w, h, filter);
    int k = int(1.0 / scale + 1e-9);
    int iw = width / k, ih = height / k;
    if (iw < 1) iw = 1;
    if (ih < 1) ih = 1;
    if (iw == w && ih == h) return resize(w, h, FILTER_BOX);
    std::unique_ptr<CPicture> intermediate(resize(iw, ih, FILTER_BOX));
    return intermediate->resize(w, h, filter);
}
