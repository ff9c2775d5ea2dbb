// A talker in a room without echoes, for localiser tests: white noise from a
// point 3 m from the origin reaches each microphone after its exact travel
// time (fractional delays by windowed-sinc interpolation), plus independent
// white noise 20 dB down on every channel.
#ifndef KESTREL_TESTS_ENGINE_SL_SCENE_H
#define KESTREL_TESTS_ENGINE_SL_SCENE_H

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace sl_testing {

constexpr double kPi = 3.14159265358979323846;

// M microphones on a circle in the x-y plane, the first on the x axis.
inline std::vector<float> Circle(int M, double radius) {
  std::vector<float> pos;
  for (int i = 0; i < M; ++i) {
    double a = 2 * kPi * i / M;
    pos.push_back(static_cast<float>(radius * std::cos(a)));
    pos.push_back(static_cast<float>(radius * std::sin(a)));
    pos.push_back(0.0f);
  }
  return pos;
}

class Scene {
 public:
  // Source and sensor noise for `samples` samples on up to `mics` channels.
  Scene(int samples, int mics, unsigned seed) : n_(samples), src_(samples + 2 * kMargin), noise_(mics) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1000.0), weak(0.0, 100.0);
    for (double& v : src_) v = g(rng);
    for (auto& ch : noise_) {
      ch.resize(samples);
      for (double& v : ch) v = weak(rng);
    }
  }

  // Channels for a talker at (azimuth, elevation) in degrees, 3 m away;
  // latency[i] (seconds, may be empty) is added to channel i's delay.
  std::vector<std::vector<float>> Render(const std::vector<float>& pos, double az_deg, double el_deg,
                                         const std::vector<float>& latency = {}) const {
    const int M = static_cast<int>(pos.size() / 3);
    const double az = az_deg * kPi / 180, el = el_deg * kPi / 180;
    const double S[3] = {3 * std::cos(az) * std::cos(el), 3 * std::sin(az) * std::cos(el), 3 * std::sin(el)};
    std::vector<double> delay(M);
    for (int i = 0; i < M; ++i) {
      double dx = S[0] - pos[3 * i], dy = S[1] - pos[3 * i + 1], dz = S[2] - pos[3 * i + 2];
      delay[i] = std::sqrt(dx * dx + dy * dy + dz * dz) / 343.3 * 16000;
      if (!latency.empty()) delay[i] += latency[i] * 16000.0;
    }
    const double least = *std::min_element(delay.begin(), delay.end());
    std::vector<std::vector<float>> ch(M, std::vector<float>(n_));
    for (int i = 0; i < M; ++i) {
      double tau = delay[i] - least;  // the common travel time is left out
      int D = static_cast<int>(std::floor(tau));
      double f = tau - D;
      double tap[2 * kTaps + 1];
      for (int m = -kTaps; m <= kTaps; ++m) tap[m + kTaps] = Sinc(m - f) * Blackman(m - f);
      for (int n = 0; n < n_; ++n) {
        double acc = 0;
        for (int m = -kTaps; m <= kTaps; ++m) acc += src_[n + kMargin - D - m] * tap[m + kTaps];
        ch[i][n] = static_cast<float>(acc + noise_[i][n]);
      }
    }
    return ch;
  }

 private:
  static constexpr int kTaps = 24;
  static constexpr int kMargin = 100;  // covers the taps and the largest relative delay
  static double Blackman(double x) {
    if (std::fabs(x) > kTaps) return 0.0;
    double a = kPi * x / kTaps;
    return 0.42 + 0.5 * std::cos(a) + 0.08 * std::cos(2 * a);
  }
  static double Sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

  int n_;
  std::vector<double> src_;
  std::vector<std::vector<double>> noise_;
};

}  // namespace sl_testing

#endif
