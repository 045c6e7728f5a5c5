// Band reduction of a power spectrum into the 16- or 32-band display spectrum, each band relative to the
// loudest recent value of that band across the whole program (the running maxima are shared by every
// analyser, on the loading thread and on the audio thread alike).
#pragma once

// Power-spectrum bins summed into `band`: 0 outside the table or for a band count other than 16 or 32.
// The 16 bands cover bins 1 .. 309, the 32 bands bins 1 .. 287 (bin 0 is never used).
int vis_GetSpectrumCount(int band, int nbBands);
// out[b] = sqrt(sum of the band's bins) / the band's running maximum, 0 .. 1. Each call first ages the maxima
// (x 0.9995, or down to 64000 when above 65000). nbBands other than 16 and 32 does nothing.
void vis_SimplifySpectrum(const float* spectrum, float* out, int nbBands);

// Tests: the running maximum of a band, and clearing them all.
double vis_GetSpectrumMaximum(int band, int nbBands);
void vis_ResetSpectrumMaxima();
