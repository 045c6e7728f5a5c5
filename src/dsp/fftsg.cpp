// The real transform of n points is a complex transform of the n/2 pairs (a[2m], a[2m+1]) followed (or, for
// the inverse, preceded) by the split step that separates the spectra of the even and the odd samples.
//
// Table: for the size nb it was built for (ip[0] = ip[1] = nb/4), w[2j] = cos(2 pi j / nb) and
// w[2j+1] = sin(2 pi j / nb) for 0 <= j < nb/4: a quarter turn, from which every needed root of unity follows.
#include "dsp/fftsg.h"

#include <cmath>
#include <utility>

namespace {

const double kPi = 3.14159265358979323846;

void makeTable(int n, int* ip, double* w) {
    const int quarter = n / 4;
    for (int j = 0; j < quarter; ++j) {
        double angle = 2.0 * kPi * j / n;
        w[2 * j] = std::cos(angle);
        w[2 * j + 1] = std::sin(angle);
    }
    ip[0] = ip[1] = quarter;
}

// The roots e^(2 pi i j / n) of a transform of n points, 0 <= j < n/2, from a table built for n x stride
// points.
struct Roots {
    const double* w;
    int stride;
    int quarter; // n / 4

    void at(int j, double& c, double& s) const {
        if (j < quarter) {
            c = w[2 * j * stride];
            s = w[2 * j * stride + 1];
        } else { // a quarter turn further: cos(pi/2 + x) = -sin x, sin(pi/2 + x) = cos x
            int k = (j - quarter) * stride;
            c = -w[2 * k + 1];
            s = w[2 * k];
        }
    }
};

// Complex transform of m points (interleaved re, im) with kernel e^(sign 2 pi i j k / m); m = n/2.
void complexTransform(int m, double* a, const Roots& roots, int sign) {
    for (int i = 1, j = 0; i < m; ++i) {
        int bit = m >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(a[2 * i], a[2 * j]);
            std::swap(a[2 * i + 1], a[2 * j + 1]);
        }
    }
    for (int span = 1; span < m; span <<= 1) {
        // Butterflies of this pass combine halves of `2 span` points: root k of 2 span is root k x (n / 2 span)
        // of n = 2m.
        const int step = m / span;
        for (int k = 0; k < span; ++k) {
            double c, s;
            roots.at(k * step, c, s);
            s *= sign;
            for (int i = k; i < m; i += 2 * span) {
                double* p = a + 2 * i;
                double* q = a + 2 * (i + span);
                const double tr = q[0] * c - q[1] * s;
                const double ti = q[0] * s + q[1] * c;
                q[0] = p[0] - tr;
                q[1] = p[1] - ti;
                p[0] += tr;
                p[1] += ti;
            }
        }
    }
}

// With Z the (e^+) transform of the pairs, E and O those of the even and odd samples:
// E[k] = (Z[k] + conj Z[m-k]) / 2, O[k] = (Z[k] - conj Z[m-k]) / 2i, Y[k] = E[k] + W^k O[k] and
// Y[m-k] = conj(E[k] - W^k O[k]), with W = e^(2 pi i / n).
void splitForward(int m, double* a, const Roots& roots) {
    const double z0r = a[0], z0i = a[1];
    a[0] = z0r + z0i;
    a[1] = z0r - z0i;
    for (int k = 1; k <= m / 2; ++k) {
        double* zk = a + 2 * k;
        double* zm = a + 2 * (m - k);
        const double er = 0.5 * (zk[0] + zm[0]), ei = 0.5 * (zk[1] - zm[1]);
        const double orr = 0.5 * (zk[1] + zm[1]), oi = -0.5 * (zk[0] - zm[0]);
        double c, s;
        roots.at(k, c, s);
        const double wr = c * orr - s * oi, wi = c * oi + s * orr;
        zk[0] = er + wr;
        zk[1] = ei + wi;
        zm[0] = er - wr;
        zm[1] = wi - ei;
    }
}

// The inverse of splitForward, leaving Z (unscaled) for the e^- complex transform.
void splitInverse(int m, double* a, const Roots& roots) {
    const double y0 = a[0], ym = a[1];
    a[0] = 0.5 * (y0 + ym);
    a[1] = 0.5 * (y0 - ym);
    for (int k = 1; k <= m / 2; ++k) {
        double* yk = a + 2 * k;
        double* ymk = a + 2 * (m - k);
        const double er = 0.5 * (yk[0] + ymk[0]), ei = 0.5 * (yk[1] - ymk[1]);
        const double wr = 0.5 * (yk[0] - ymk[0]), wi = 0.5 * (yk[1] + ymk[1]);
        double c, s;
        roots.at(k, c, s);
        const double orr = c * wr + s * wi, oi = c * wi - s * wr;
        yk[0] = er - oi;
        yk[1] = ei + orr;
        ymk[0] = er + oi;
        ymk[1] = orr - ei;
    }
}

} // namespace

void rdft(int n, int isgn, double* a, int* ip, double* w) {
    if (n < 2) return;
    if (n > 4 * ip[0] || n > 4 * ip[1]) makeTable(n, ip, w);
    const int m = n / 2;
    const Roots roots{w, n >= 4 ? 4 * ip[0] / n : 1, n / 4};
    if (isgn >= 0) {
        complexTransform(m, a, roots, 1);
        splitForward(m, a, roots);
    } else {
        splitInverse(m, a, roots);
        complexTransform(m, a, roots, -1);
    }
}
