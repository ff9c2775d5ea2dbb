// Windowed-sinc low-pass design for rational sample-rate conversion: one
// prototype of N taps split into L polyphase branches of T taps, so that the
// converter computes only the output samples it keeps (interpolate by L,
// decimate by M, never materialising the zero-stuffed stream).
#ifndef KESTREL_RS_FILTER_DESIGN_H
#define KESTREL_RS_FILTER_DESIGN_H

namespace __kestrel4__ {

// Window types of the design.
enum { kFaHamming = 0, kFaBlackman = 1, kFaKaiser = 2 };

// Largest reduced conversion ratio (either direction) the design accepts.
constexpr int kFaMaxRatio = 16;

// The polyphase design. Owned by the caller of fa_resample_filter_init,
// released with fa_resample_filter_uninit.
struct fa_resample_filter {
  int L;         // branches: the interpolation factor
  int M;         // decimation factor
  float cutoff;  // min(1/L, 1/M), relative to the Nyquist rate of the stream interpolated by L
  int N;         // prototype taps (odd)
  int T;         // taps per branch: N / L + 1
  float* h;      // prototype, N floats
  float** coef;  // L rows of T floats over one zeroed block: coef[i][j] = L * h[j*L + (i*M mod L)]
  float gain;    // L: restores the level lost to the L-1 inserted zeros
};

// Designs the branches for the ratio L/M with the given window type. Null
// when L or M is not positive, when the ratio exceeds 16 in either direction,
// or when the design would be unreasonably large (L or M beyond 65536, or a
// table beyond 2^22 cells); the gain argument is not used by the design.
fa_resample_filter* fa_resample_filter_init(int L, int M, float gain, int type);
// Releases the design; null is accepted.
void fa_resample_filter_uninit(fa_resample_filter* f);

// Windowed-sinc low-pass of N taps with cutoff fc (1 = Nyquist) and unit
// gain at zero frequency, written to h. Returns N.
int fa_fir_lpf_cof(float* h, int N, float fc, int type);

// Symmetric windows of N points; return N.
int fa_hamming(float* w, int N);
int fa_blackman(float* w, int N);
int fa_kaiser(float* w, int N);  // beta = 8.96

// Tap counts for a transition width c (relative to Nyquist).
int fa_hamming_cof_num(float c);
int fa_blackman_cof_num(float c);
int fa_kaiser_cof_num(float c, float attenuation_db);

// sin(pi u) / (pi u); 0 at the other whole numbers, 1 at u = 0.
float fa_sinc(float u);
// Zeroth-order modified Bessel function of the first kind, I0(x).
float fa_bessel_i0(float x);

}  // namespace __kestrel4__

#endif
