// Test signals for the audio components, built in code so that every fixture
// shows what it contains: white noise, tones, a speech-like voice (a glottal
// pulse train through moving formant resonators, in syllables and words),
// room responses, and level measurements. Everything is seeded and
// reproducible on any host.
#ifndef TESTS_PLATFORM_SIGNALS_H
#define TESTS_PLATFORM_SIGNALS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace testsig {

constexpr int kRate = 16000;
constexpr double kPi = 3.14159265358979323846;

// Small deterministic generator (xorshift64*), uniform and Gaussian draws.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    return s_ * 0x2545F4914F6CDD1Dull;
  }
  double Uniform() { return (Next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
  double Gauss() {
    const double u1 = Uniform() + 1e-300, u2 = Uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
  }

 private:
  uint64_t s_;
};

inline double Rms(const float* x, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += static_cast<double>(x[i]) * x[i];
  return n > 0 ? std::sqrt(s / n) : 0.0;
}
inline double Rms(const std::vector<float>& x, int from, int to) {
  return Rms(x.data() + from, to - from);
}
inline double Db(double ratio) { return 20.0 * std::log10(ratio); }

inline void Scale(std::vector<float>& x, double gain) {
  for (float& v : x) v = static_cast<float>(v * gain);
}
// Scales x so that its RMS over all samples is rms.
inline void SetRms(std::vector<float>& x, double rms) {
  const double r = Rms(x.data(), static_cast<int>(x.size()));
  if (r > 0.0) Scale(x, rms / r);
}

inline std::vector<float> WhiteNoise(int n, double rms, uint64_t seed) {
  Rng rng(seed);
  std::vector<float> x(n);
  for (float& v : x) v = static_cast<float>(rms * rng.Gauss());
  return x;
}

inline std::vector<float> Tone(int n, double freq, double amplitude, double phase = 0.0) {
  std::vector<float> x(n);
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(amplitude * std::sin(2.0 * kPi * freq * i / kRate + phase));
  }
  return x;
}

// Two-pole resonator (formant) with centre frequency f and bandwidth bw.
struct Resonator {
  double a1 = 0, a2 = 0, g = 1, y1 = 0, y2 = 0;
  void Set(double f, double bw) {
    const double r = std::exp(-kPi * bw / kRate);
    a1 = 2.0 * r * std::cos(2.0 * kPi * f / kRate);
    a2 = -r * r;
    g = 1.0 - r;
  }
  double Run(double x) {
    const double y = g * x + a1 * y1 + a2 * y2;
    y2 = y1;
    y1 = y;
    return y;
  }
};

// A speech-like voice: syllables of 120..280 ms (voiced, with formants that
// glide between vowel targets, a pitch of 90..220 Hz with a slow drift, a
// raised-cosine loudness contour and a little breath noise), grouped in
// words of 2..4 syllables with 60..200 ms gaps between words. The result
// has the given RMS over its voiced parts, is silent where it says so, and
// fills exactly n samples. active (optional) receives 1 for samples inside a
// syllable.
inline std::vector<float> SpeechLike(int n, double rms, uint64_t seed,
                                     std::vector<uint8_t>* active = nullptr) {
  static const double kVowels[][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {530, 1840, 2480},
                                      {570, 840, 2410},  {300, 870, 2240},  {660, 1720, 2410},
                                      {490, 1350, 1690}, {440, 1020, 2240}};
  Rng rng(seed);
  std::vector<float> x(n, 0.f);
  std::vector<uint8_t> on(n, 0);
  Resonator f1, f2, f3;
  double phase = 0.0;
  double pitch = 110.0 + 80.0 * rng.Uniform();
  int pos = 0;
  while (pos < n) {
    const int syllables = 2 + static_cast<int>(rng.Uniform() * 3.0);
    for (int s = 0; s < syllables && pos < n; ++s) {
      const int len = static_cast<int>((0.12 + 0.16 * rng.Uniform()) * kRate);
      const double* va = kVowels[rng.Next() % 8];
      const double* vb = kVowels[rng.Next() % 8];
      const double loud = 0.5 + 0.5 * rng.Uniform();
      const double p0 = pitch, p1 = std::clamp(pitch * (0.85 + 0.3 * rng.Uniform()), 90.0, 220.0);
      for (int i = 0; i < len && pos < n; ++i, ++pos) {
        const double t = static_cast<double>(i) / len;
        if (i % 80 == 0) {  // formant glide, updated every 5 ms
          f1.Set(va[0] + (vb[0] - va[0]) * t, 80);
          f2.Set(va[1] + (vb[1] - va[1]) * t, 100);
          f3.Set(va[2] + (vb[2] - va[2]) * t, 140);
        }
        const double f0 = p0 + (p1 - p0) * t;
        phase += f0 / kRate;
        double src = 0.0;
        if (phase >= 1.0) {  // one glottal pulse per period
          phase -= 1.0;
          src = 1.0;
        }
        src += 0.02 * rng.Gauss();
        const double env = loud * std::sin(kPi * t) * (0.6 + 0.4 * std::sin(kPi * t));
        const double v = f1.Run(src) * 1.0 + f2.Run(src) * 0.5 + f3.Run(src) * 0.25;
        x[pos] = static_cast<float>(env * v);
        on[pos] = 1;
      }
      pitch = p1;
    }
    pos += static_cast<int>((0.06 + 0.14 * rng.Uniform()) * kRate);
  }
  double sum = 0.0;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (on[i]) {
      sum += static_cast<double>(x[i]) * x[i];
      ++count;
    }
  }
  if (count > 0 && sum > 0.0) Scale(x, rms / std::sqrt(sum / count));
  if (active) active->swap(on);
  return x;
}

// Room response of length samples: silence for delay samples, a direct path,
// then a diffuse tail of Gaussian taps whose envelope falls by 60 dB over the
// response's length.
inline std::vector<float> RoomResponse(int length, int delay, uint64_t seed) {
  Rng rng(seed);
  std::vector<float> h(length, 0.f);
  const int tail = length - delay;
  h[delay] = 1.f;
  const double decay = std::log(1000.0) / tail;  // 60 dB over the tail
  for (int i = 1; i < tail; ++i) {
    h[delay + i] += static_cast<float>(0.25 * std::exp(-decay * i) * rng.Gauss());
  }
  return h;
}

// Linear convolution truncated to the input's length.
inline std::vector<float> Convolve(const std::vector<float>& x, const std::vector<float>& h) {
  std::vector<float> y(x.size(), 0.f);
  for (size_t k = 0; k < h.size(); ++k) {
    const float hk = h[k];
    if (hk == 0.f) continue;
    for (size_t i = k; i < x.size(); ++i) y[i] += hk * x[i - k];
  }
  return y;
}

// Samples whose value is at least `level` in magnitude.
inline int CountAbove(const std::vector<float>& x, int from, int to, double level) {
  int c = 0;
  for (int i = from; i < to; ++i) c += std::fabs(x[i]) >= level;
  return c;
}

}  // namespace testsig

#endif  // TESTS_PLATFORM_SIGNALS_H
