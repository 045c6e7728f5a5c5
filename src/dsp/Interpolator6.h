// The 6-point, 5th-order optimal polynomial interpolator for 32x oversampled data, in its z-form.
// Fit it to six consecutive samples y[-2] .. y[3] once, then read any fraction between y[0] and y[1].
#pragma once

namespace dsp {

// Real is double, or a vector of doubles (GCC's vector extension) to run several reads at once with the very
// same arithmetic in each lane.
template <class Real> struct BasicInterpolator6 {
    Real c[6] = {};

    // y[0] .. y[5] are the samples at -2 .. 3 around the interval being read.
    template <class T> void fit(const T* y) {
        const Real even1 = Real(y[3]) + y[2], odd1 = Real(y[3]) - y[2];
        const Real even2 = Real(y[4]) + y[1], odd2 = Real(y[4]) - y[1];
        const Real even3 = Real(y[5]) + y[0], odd3 = Real(y[5]) - y[0];
        c[0] = even1 * 0.4268598340937938 + even2 * 0.0723812351117003 + even3 * 0.00075893079450573;
        c[1] = odd1 * 0.3583177234889326 + odd2 * 0.20451644554758297 + odd3 * 0.00562658797241955;
        c[2] = even1 * -0.21700917722129243 + even2 * 0.20051376594086157 + even3 * 0.01649541128040211;
        c[3] = odd1 * -0.2511271534374099 + odd2 * 0.04223025992200458 + odd3 * 0.02488727472995134;
        c[4] = even1 * 0.04166946673533273 + even2 * -0.06250420114356986 + even3 * 0.02083473440841799;
        c[5] = odd1 * 0.08349799235675044 + odd2 * -0.04174912841630993 + odd3 * 0.00834987866042734;
    }

    // fraction: 0 at y[0] .. 1 at y[1].
    Real at(Real fraction) const {
        const Real z = fraction - 0.5;
        return ((((c[5] * z + c[4]) * z + c[3]) * z + c[2]) * z + c[1]) * z + c[0];
    }
};

using Interpolator6 = BasicInterpolator6<double>;

} // namespace dsp
