// The exported localiser: lifecycle and shared tables, null handles, refused
// geometries, and the physics: a talker simulated at 3 m from a six-
// microphone circular array is found (at the mirrored azimuth, the system's
// convention) from half a second of audio.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/core/mat.h"
#include "include/kestrel.h"
#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(SlApiTest, SysexitLeavesTablesToOtherFamilies) {
  // The wake engine still runs when the localiser's family exits.
  z_tables_acquire(kTablesVt);
  EXPECT_EQ(w6_sl_sysinit(), 0);
  EXPECT_EQ(w6_sl_sysinit(), 0);
  ASSERT_NE(ZMat::m_plogtab1, nullptr);
  EXPECT_EQ(w6_sl_sysexit(), 0);
  EXPECT_NE(ZMat::m_plogtab1, nullptr);
  EXPECT_NE(ZMat::m_plogtab2, nullptr);
  z_tables_release(kTablesVt);
  EXPECT_EQ(ZMat::m_plogtab1, nullptr);
  // Alone, the localiser's exit releases them.
  w6_sl_sysinit();
  EXPECT_NE(ZMat::m_plogtab3, nullptr);
  w6_sl_sysexit();
  EXPECT_EQ(ZMat::m_plogtab3, nullptr);
}

TEST(SlApiTest, NullHandleAndRefusedCreation) {
  float out[2] = {7, 7};
  EXPECT_EQ(w6_sl_free(0), 0);
  EXPECT_EQ(w6_sl_put_data(0, nullptr, 100), 0.0f);
  EXPECT_EQ(w6_sl_get_candidate(0, 1024, 0, out, 0), 0.0f);
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(w6_sl_reset(0), 0);

  testing_support::LogCapture log;
  const float far[6] = {0, 0, 0, 0, 12.0f, 0};
  EXPECT_EQ(w6_sl_create(2, far, nullptr), 0);
  EXPECT_EQ(w6_sl_create(0, far, nullptr), 0);
  EXPECT_EQ(log.Lines().size(), 2u) << log.Dump();
  for (const auto& line : log.Lines()) {
    EXPECT_EQ(line.tag, "QEXAL_plover");
    EXPECT_EQ(line.prio, 6);
  }
}

// Fractional delay by a Blackman-windowed sinc of 2T + 1 taps.
constexpr int kTaps = 24;
double Blackman(double x) {  // x in [-T, T]
  if (std::fabs(x) > kTaps) return 0.0;
  double a = kPi * x / kTaps;
  return 0.42 + 0.5 * std::cos(a) + 0.08 * std::cos(2 * a);
}
double Sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

struct Scene {
  double az_deg, el_deg;
  bool latencies;  // channels 0 and 3 arrive late; the localiser is told
};

// Localises `samples` samples of white noise from the scene's direction.
std::vector<float> Localise(const Scene& sc, const std::vector<double>& src, const std::vector<double>& noise,
                            int samples) {
  const int M = 6;
  std::vector<float> pos;
  for (int i = 0; i < M; ++i) {
    double a = 2 * kPi * i / M;
    pos.insert(pos.end(), {static_cast<float>(0.05 * std::cos(a)), static_cast<float>(0.05 * std::sin(a)), 0.0f});
  }
  const double az = sc.az_deg * kPi / 180, el = sc.el_deg * kPi / 180;
  const double S[3] = {3 * std::cos(az) * std::cos(el), 3 * std::sin(az) * std::cos(el), 3 * std::sin(el)};
  std::vector<double> delay(M);
  std::vector<float> late(M, 0.0f);
  if (sc.latencies) {
    late[0] = 3.3f / 16000;
    late[3] = 1.7f / 16000;
  }
  double least = 1e9;
  for (int i = 0; i < M; ++i) {
    double dx = S[0] - pos[3 * i], dy = S[1] - pos[3 * i + 1], dz = S[2] - pos[3 * i + 2];
    delay[i] = std::sqrt(dx * dx + dy * dy + dz * dz) / 343.3 * 16000 + late[i] * 16000.0;
    least = std::min(least, delay[i]);
  }
  std::vector<std::vector<float>> ch(M, std::vector<float>(samples));
  for (int i = 0; i < M; ++i) {
    double tau = delay[i] - least;  // the common travel time is left out
    int D = static_cast<int>(std::floor(tau));
    double f = tau - D;
    double tap[2 * kTaps + 1];
    for (int m = -kTaps; m <= kTaps; ++m) tap[m + kTaps] = Sinc(m - f) * Blackman(m - f);
    for (int n = 0; n < samples; ++n) {
      double acc = 0;
      for (int m = -kTaps; m <= kTaps; ++m) acc += src[n + 100 - D - m] * tap[m + kTaps];
      ch[i][n] = static_cast<float>(acc + noise[static_cast<size_t>(i) * samples + n]);
    }
  }
  int64_t h = w6_sl_create(M, pos.data(), sc.latencies ? late.data() : nullptr);
  EXPECT_NE(h, 0);
  std::vector<float*> ptr(M);
  for (int done = 0; done < samples; done += 800) {  // 50 ms blocks
    for (int i = 0; i < M; ++i) ptr[i] = ch[i].data() + done;
    w6_sl_put_data(h, ptr.data(), std::min(800, samples - done));
  }
  std::vector<float> out(2);
  w6_sl_get_candidate(h, samples, 0, out.data(), 0);
  w6_sl_free(h);
  return out;
}

TEST(SlApiTest, FindsTalkerAtMirroredAzimuth) {
  const int samples = 8000;  // 0.5 s
  const unsigned seed = 1234;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1000.0), weak(0.0, 100.0);  // noise 20 dB down
  std::vector<double> src(samples + 200);
  for (double& v : src) v = g(rng);
  std::vector<double> noise(static_cast<size_t>(6) * samples);
  for (double& v : noise) v = weak(rng);

  std::vector<Scene> scenes;
  for (double el : {0.0, 30.0})
    for (int az = 0; az < 360; az += 30) scenes.push_back({static_cast<double>(az), el, false});
  for (int az : {45, 200, 310}) scenes.push_back({static_cast<double>(az), 10.0, true});

  for (const Scene& sc : scenes) {
    SCOPED_TRACE(testing::Message() << "azimuth " << sc.az_deg << " elevation " << sc.el_deg
                                    << (sc.latencies ? " with channel latencies" : ""));
    std::vector<float> out = Localise(sc, src, noise, samples);
    double az = out[0] * 180 / kPi, el = out[1] * 180 / kPi;
    double off = std::fmod(az - (sc.az_deg + 180) + 720 + 180, 360.0) - 180;
    EXPECT_LE(std::fabs(off), 5.0) << "reported azimuth " << az;
    EXPECT_LE(std::fabs(el - sc.el_deg), 15.0) << "reported elevation " << el;
    if (getenv("SL_PRINT")) printf("%6.1f %5.1f -> %6.1f %5.1f\n", sc.az_deg, sc.el_deg, az, el);
  }
}

}  // namespace
}  // namespace __kestrel4__
