#include "engine/rs/filter_design.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/core/array.h"

namespace __kestrel4__ {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kMaxFactor = 1 << 16;
constexpr int64_t kMaxTableCells = int64_t{1} << 22;

// A tap count from a quotient: truncated toward zero; a quotient beyond the
// int range (a vanishing transition width) saturates, so the size checks of
// the caller refuse it instead of converting out of range.
int TapCount(double q) {
  if (!(q < static_cast<double>(INT_MAX))) return INT_MAX;
  if (q < 0.0) return 0;
  return static_cast<int>(q);
}

}  // namespace

int fa_hamming(float* w, int N) {
  if (N <= 0) return N;  // nothing to fill (the mirror index would be -1)
  if (N == 1) {
    w[0] = 1.0f;
    return N;
  }
  for (int i = 0; i <= (N - 1) / 2; ++i) {
    double v = 0.54 - 0.46 * std::cos(2.0 * kPi * i / (N - 1));
    w[i] = w[N - 1 - i] = static_cast<float>(v);
  }
  return N;
}

int fa_blackman(float* w, int N) {
  if (N <= 0) return N;  // nothing to fill (the mirror index would be -1)
  if (N == 1) {
    w[0] = 1.0f;
    return N;
  }
  for (int i = 0; i <= (N - 1) / 2; ++i) {
    double v = 0.42 - 0.5 * std::cos(2.0 * kPi * i / (N - 1)) + 0.08 * std::cos(4.0 * kPi * i / (N - 1));
    w[i] = w[N - 1 - i] = static_cast<float>(v);
  }
  return N;
}

int fa_kaiser(float* w, int N) {
  if (N <= 0) return N;  // nothing to fill (the mirror index would be -1)
  if (N == 1) {
    w[0] = 1.0f;
    return N;
  }
  const float beta = 8.96f;
  const float norm = fa_bessel_i0(beta);
  for (int i = 0; i <= (N - 1) / 2; ++i) {
    float b = 2.0f * static_cast<float>(i) / static_cast<float>(N - 1) - 1.0f;
    float b2 = b * b;
    double r = std::sqrt(1.0 - static_cast<double>(b2));
    float v = fa_bessel_i0(static_cast<float>(beta * r)) / norm;
    w[i] = w[N - 1 - i] = v;
  }
  return N;
}

int fa_hamming_cof_num(float c) { return TapCount(6.2 / c); }

int fa_blackman_cof_num(float c) { return TapCount(6.6 / c); }

int fa_kaiser_cof_num(float c, float attenuation_db) {
  if (attenuation_db <= 21.0f) return TapCount(1.8444 / c);
  return TapCount(2.0 * (attenuation_db - 7.95) / (14.36 * c));
}

float fa_sinc(float u) {
  if (u == 0.0f) return 1.0f;
  if (u == std::floor(u)) return 0.0f;
  float r = std::fmod(u, 2.0f);
  return static_cast<float>(std::sin(kPi * r) / (kPi * u));
}

float fa_bessel_i0(float x) {
  float sum = 1.0f;
  float term = 1.0f;
  int k = 0;
  // The series of I0 in squared terms: ((x/2)^k / k!)^2, summed until a term
  // no longer moves the sum at single precision.
  while (static_cast<double>(term * term) > sum * 1e-16) {
    k += 1;
    term *= (x / 2.0f) / static_cast<float>(k);
    sum += term * term;
  }
  return sum;
}

int fa_fir_lpf_cof(float* h, int N, float fc, int type) {
  std::vector<float> w(static_cast<size_t>(N));
  switch (type) {
    case kFaBlackman:
      fa_blackman(w.data(), N);
      break;
    case kFaKaiser:
      fa_kaiser(w.data(), N);
      break;
    default:
      fa_hamming(w.data(), N);
      break;
  }
  const float m = static_cast<float>(N - 1) / 2.0f;
  for (int i = 0; static_cast<float>(i) <= m; ++i) {
    float u = fc * (static_cast<float>(i) - m);
    float s = u == 0.0f ? 1.0f : fa_sinc(u);
    h[i] = h[N - 1 - i] = fc * s * w[i];
  }
  return N;
}

fa_resample_filter* fa_resample_filter_init(int L, int M, float gain, int type) {
  (void)gain;
  if (L <= 0 || M <= 0 || L > kMaxFactor || M > kMaxFactor) return nullptr;
  if (static_cast<float>(L) / static_cast<float>(M) > static_cast<float>(kFaMaxRatio) ||
      static_cast<double>(M) / static_cast<double>(L) > static_cast<double>(kFaMaxRatio)) {
    return nullptr;
  }
  const float fc = static_cast<float>(std::min(1.0 / L, 1.0 / M));
  const float c = static_cast<float>(fc * 0.15);
  int t;
  switch (type) {
    case kFaBlackman:
      t = fa_blackman_cof_num(c);
      break;
    case kFaKaiser:
      t = fa_kaiser_cof_num(c, 90.0f);
      break;
    default:
      t = fa_hamming_cof_num(c);
      break;
  }
  // With L and M bounded above, t stays far inside the int range; the odd
  // length keeps the prototype symmetric about a whole tap.
  const int64_t N = int64_t{2} * L * (t / (2 * L)) + 1;
  const int64_t T = N / L + 1;
  if (N > INT_MAX || T * L > kMaxTableCells) return nullptr;

  fa_resample_filter* f = static_cast<fa_resample_filter*>(std::calloc(1, sizeof(fa_resample_filter)));
  if (f == nullptr) return nullptr;
  f->L = L;
  f->M = M;
  f->cutoff = fc;
  f->N = static_cast<int>(N);
  f->T = static_cast<int>(T);
  f->gain = static_cast<float>(L);
  f->h = static_cast<float*>(z_new_ar1(sizeof(float), static_cast<size_t>(N)));
  f->coef = reinterpret_cast<float**>(z_new_ar2(sizeof(float), static_cast<size_t>(L), static_cast<size_t>(T)));
  if (f->h == nullptr || f->coef == nullptr) {
    fa_resample_filter_uninit(f);
    return nullptr;
  }
  fa_fir_lpf_cof(f->h, f->N, fc, type);
  for (int i = 0; i < L; ++i) {
    const int phase = static_cast<int>((static_cast<int64_t>(i) * M) % L);
    for (int j = 0; j < f->T; ++j) {
      const int64_t e = static_cast<int64_t>(j) * L + phase;
      f->coef[i][j] = e < N ? static_cast<float>(L) * f->h[e] : 0.0f;
    }
  }
  return f;
}

void fa_resample_filter_uninit(fa_resample_filter* f) {
  if (f == nullptr) return;
  std::free(f->h);
  z_free_ar2(reinterpret_cast<void**>(f->coef));
  std::free(f);
}

}  // namespace __kestrel4__
