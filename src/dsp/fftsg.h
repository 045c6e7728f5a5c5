// In-place real discrete Fourier transform with the split-radix package's calling convention and packing.
#pragma once

// Forward (isgn >= 0): on return a[2k] = sum_j a[j] cos(2 pi j k / n) and a[2k+1] = sum_j a[j] sin(2 pi j k / n)
// for 0 < k < n/2 (note the plus sign of the sine term), a[0] = the sum (DC) and a[1] = the Nyquist term.
// Inverse (isgn < 0): takes that packing and returns the time signal times n/2 (unscaled).
// n is a power of two, at least 2. ip (2 ints at least) records the size the cosine/sine table w (n/2
// doubles at least) was built for; ip[0] = 0 means none. A table serves every smaller size and is rebuilt
// for a larger one, so a table shared between threads must be built before they use it.
void rdft(int n, int isgn, double* a, int* ip, double* w);
