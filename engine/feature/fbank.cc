#include "engine/feature/fbank.h"

#include <cmath>
#include <vector>

namespace __kestrel4__ {

float z_mel(float hz) { return logf(hz / 700.0f + 1.0f) * 1127.0f; }

void z_init_melbank(int sampleRate, int fftLen, float loHz, float hiHz, bool shifted, ZVec* boundaries,
                    ZVec* weights) {
  const int P = boundaries->len;
  if (P < 3) return;
  const float mlo = z_mel(loHz);
  const float mhi = z_mel(hiHz);
  std::vector<float> m(P);  // set-up only, never on the audio path
  if (shifted) {
    const float step = (mhi - mlo) / static_cast<float>(P - 2);
    for (int i = 0; i < P; ++i) m[i] = mlo + step * static_cast<float>(i - 1);
  } else {
    const float step = (mhi - mlo) / static_cast<float>(P - 1);
    for (int i = 0; i < P; ++i) m[i] = mlo + step * static_cast<float>(i);
  }
  const float binHz = static_cast<float>(sampleRate) / static_cast<float>(fftLen);
  float* b = boundaries->data;
  float* w = weights->data;
  for (int i = 0; i <= fftLen / 2 && i < weights->len; ++i) {
    const float g = z_mel(binHz * static_cast<float>(i));
    if (g <= m[0] || g >= m[P - 1]) continue;
    int j = 0;
    while (j < P - 2 && !(m[j] <= g && g <= m[j + 1])) ++j;
    if (b[j] == 0.0f) b[j] = static_cast<float>(i);
    b[j + 1] = static_cast<float>(i + 1);
    w[i] = (m[j + 1] - g) / (m[j + 1] - m[j]);
  }
}

void z_apply_melbank(const float* power, const ZVec* boundaries, const ZVec* weights, float* out) {
  const int P = boundaries->len;
  const float* b = boundaries->data;
  const float* w = weights->data;
  for (int j = 0; j <= P - 2; ++j) {
    float A = 0.0f;  // falling edge of filter j - 1 (weight w)
    float S = 0.0f;  // all power of the interval
    const int end = static_cast<int>(b[j + 1]);
    for (int i = static_cast<int>(b[j]); i < end; ++i) {
      float p = power[i] * w[i];
      A += p;
      S += power[i];
    }
    if (j < P - 2) out[j] = S - A;  // rising edge of filter j: weight 1 - w
    if (j > 0) out[j - 1] += A;
  }
}

void z_hamming(float* w, int L) {
  const float pi = 3.1415927f;
  for (int i = 0; i < L; ++i) {
    const float arg = (static_cast<float>(2 * i) * pi) / static_cast<float>(L - 1);
    w[i] = 0.54f - 0.45999998f * cosf(arg);
  }
}

void z_dc_preemph(float* x, int n, float a) {
  if (n <= 0) return;
  float sum = 0.0f;
  for (int j = 0; j < n; ++j) sum += x[j];
  const float mean = sum / static_cast<float>(n);
  for (int j = 0; j < n; ++j) x[j] -= mean;
  for (int j = n - 1; j >= 1; --j) x[j] -= a * x[j - 1];
  x[0] -= a * x[0];
}

void z_floor_log(float* x, int n) {
  for (int j = 0; j < n; ++j) {
    if (x[j] < 1e-7f) x[j] = 1e-7f;
    x[j] = logf(x[j]);
  }
}

}  // namespace __kestrel4__
