// An independent, double-precision computation of the filter-bank features
// for the tests: mel banks written from the filter shapes (triangles in mel
// between neighbouring points) rather than from the boundary/weight tables,
// a direct DFT, and the frame conditioning steps one by one.
#ifndef KESTREL_TESTS_ENGINE_FEATURE_FBANK_REFERENCE_H
#define KESTREL_TESTS_ENGINE_FEATURE_FBANK_REFERENCE_H

#include <cmath>
#include <complex>
#include <vector>

namespace fbank_reference {

inline double Mel(double hz) { return 1127.0 * std::log(1.0 + hz / 700.0); }
inline double Hz(double mel) { return 700.0 * (std::exp(mel / 1127.0) - 1.0); }

struct Bank {
  std::vector<double> points;  // P mel points
  int fftLen = 0;
  int rate = 0;
  int Filters() const { return static_cast<int>(points.size()) - 2; }
  double BinMel(int i) const { return Mel(static_cast<double>(rate) / fftLen * i); }
  // Weight of bin i in filter k: rises from point k to k + 1, falls to k + 2.
  double Weight(int k, int i) const {
    const double g = BinMel(i);
    const double a = points[k], b = points[k + 1], c = points[k + 2];
    if (g <= points.front() || g >= points.back()) return 0.0;
    if (g > a && g <= b) return (g - a) / (b - a);
    if (g > b && g < c) return (c - g) / (c - b);
    return 0.0;
  }
  // First bin whose mel value lies above point j (the bank's interval start).
  int FirstBinAbove(int j) const {
    int i = 0;
    while (i <= fftLen / 2 && BinMel(i) <= points[j]) ++i;
    return i;
  }
};

// P points from loHz to hiHz; `shifted`: point 1 at loHz, point 0 one
// spacing below it.
inline Bank MakeBank(int rate, int fftLen, double loHz, double hiHz, int P, bool shifted) {
  Bank b;
  b.rate = rate;
  b.fftLen = fftLen;
  const double lo = Mel(loHz), hi = Mel(hiHz);
  for (int i = 0; i < P; ++i)
    b.points.push_back(shifted ? lo + (hi - lo) / (P - 2) * (i - 1) : lo + (hi - lo) / (P - 1) * i);
  return b;
}

inline std::vector<double> PowerSpectrum(const std::vector<double>& x, int fftLen) {
  std::vector<double> p(fftLen / 2 + 1);
  for (int k = 0; k <= fftLen / 2; ++k) {
    std::complex<double> s = 0.0;
    for (size_t t = 0; t < x.size(); ++t) s += x[t] * std::polar(1.0, -2.0 * M_PI * k * t / fftLen);
    p[k] = std::norm(s);
  }
  return p;
}

// Mean removal, backward pre-emphasis (0.97, the first sample against
// itself) and the Hamming window, in double.
inline std::vector<double> Condition(std::vector<double> x) {
  const int n = static_cast<int>(x.size());
  double mean = 0.0;
  for (double v : x) mean += v;
  mean /= n;
  for (double& v : x) v -= mean;
  std::vector<double> y(n);
  y[0] = x[0] - 0.97 * x[0];
  for (int j = 1; j < n; ++j) y[j] = x[j] - 0.97 * x[j - 1];
  for (int j = 0; j < n; ++j) y[j] *= 0.54 - 0.46 * std::cos(2.0 * M_PI * j / (n - 1));
  return y;
}

inline void ApplyBank(const Bank& b, const std::vector<double>& power, std::vector<double>* out) {
  for (int k = 0; k < b.Filters(); ++k) {
    double e = 0.0;
    for (int i = 0; i <= b.fftLen / 2; ++i) e += b.Weight(k, i) * power[i];
    out->push_back(std::log(std::max(e, 1e-7)));
  }
}

}  // namespace fbank_reference

#endif
