// Pieces shared by the two filter-bank extractors: the mel scale, triangular
// mel banks stored as interval boundaries plus one falling-edge weight per
// FFT bin, the Hamming window and the per-frame conditioning.
#ifndef KESTREL_FEATURE_FBANK_H
#define KESTREL_FEATURE_FBANK_H

#include "engine/core/mat.h"

namespace __kestrel4__ {

// 1127 ln(1 + f / 700), in single precision.
float z_mel(float hz);

// Builds a bank of P - 2 triangular filters on P mel points (P = length of
// `boundaries`) for an FFT of fftLen points at sampleRate. `boundaries`
// receives, per interval j between points j and j + 1, its first bin (entry
// P - 1 is one past the last bin); `weights` (fftLen / 2 + 1 entries) the
// falling-edge weight of every bin inside an interval. Both must be zero on
// entry. With `shifted`, the points run from one spacing below loHz (point
// 1 = loHz) up to hiHz; otherwise point 0 = loHz and point P - 1 = hiHz.
void z_init_melbank(int sampleRate, int fftLen, float loHz, float hiHz, bool shifted, ZVec* boundaries,
                    ZVec* weights);

// Applies a bank to one power spectrum; writes its P - 2 filter energies.
void z_apply_melbank(const float* power, const ZVec* boundaries, const ZVec* weights, float* out);

// Hamming window over the first L entries of w (the rest untouched).
void z_hamming(float* w, int L);

// Removes the mean of the n samples of a frame and pre-emphasises it
// backwards with coefficient a (the first sample against itself).
void z_dc_preemph(float* x, int n, float a);

// Replaces every value below 1e-7 by 1e-7 and takes the natural logarithm.
void z_floor_log(float* x, int n);

}  // namespace __kestrel4__

#endif
