// Noise suppressor: stationary noise goes down by the mode's depth, a tone
// over it keeps its level, the front end's scale is kept, and loud input
// saturates instead of wrapping.
#include <gtest/gtest.h>

#include <vector>

#include "ext/w6ssp.h"
#include "tests/platform/signals.h"

namespace {

using namespace testsig;

constexpr int kFrame = 160;
constexpr double kFullScale = 2097152.0;  // the front end's float scale

std::vector<float> Suppress(int mode, const std::vector<float>& in) {
  int64_t ns = w6ssp_ns_create();
  EXPECT_EQ(w6ssp_ns_init(ns, 16000), 0);
  EXPECT_EQ(w6ssp_ns_set_mode(ns, mode), 0);
  std::vector<float> out(in.size(), 0.f);
  for (size_t s = 0; s + kFrame <= in.size(); s += kFrame) {
    EXPECT_EQ(w6ssp_ns_process(ns, &in[s], &out[s]), 0);
  }
  w6ssp_ns_free(ns);
  return out;
}

// White noise at -40 dBFS with a 1-kHz tone burst at -26 dBFS from 3 s to 4 s.
TEST(NoiseSuppressor, ReducesStationaryNoiseAndKeepsTheTone) {
  const int n = 5 * kRate;
  const std::vector<float> noise = WhiteNoise(n, kFullScale * 0.01, 5);
  const std::vector<float> tone = Tone(n, 1000.0, kFullScale * 0.05 * 1.41421356);
  std::vector<float> in(n);
  for (int i = 0; i < n; ++i) in[i] = noise[i] + (i >= 3 * kRate && i < 4 * kRate ? tone[i] : 0.f);

  double previous = 0.0;
  for (int mode = 0; mode <= 3; ++mode) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    const std::vector<float> out = Suppress(mode, in);
    const double reduction = Db(Rms(in, kRate, 3 * kRate) / Rms(out, kRate, 3 * kRate));
    EXPECT_GT(reduction, previous + 2.0) << "each mode suppresses more than the one before";
    if (mode >= 2) {
      EXPECT_GE(reduction, 10.0);
    }
    if (mode == 0) {
      EXPECT_GE(reduction, 3.0);
    }
    previous = reduction;
    // The tone's component in the output (projection on the tone) keeps its
    // level: the output stays on the input's scale.
    double num = 0.0, den = 0.0;
    for (int i = 3 * kRate + kRate / 10; i < 4 * kRate - kRate / 10; ++i) {
      num += static_cast<double>(out[i]) * tone[i];
      den += static_cast<double>(tone[i]) * tone[i];
    }
    EXPECT_NEAR(Db(num / den), 0.0, 3.0);
  }
}

TEST(NoiseSuppressor, SaturatesBeyondFullScaleAndWorksInPlace) {
  // A tone at 1.5 times full scale: clipped at +-2^21, never wrapped.
  const int n = kRate;
  std::vector<float> in = Tone(n, 500.0, kFullScale * 1.5);
  const std::vector<float> out = Suppress(2, in);
  for (int i = kRate / 4; i < n; ++i) {
    ASSERT_LE(std::fabs(out[i]), kFullScale * 1.02) << "sample " << i;
  }
  double num = 0.0;
  for (int i = kRate / 4; i < n; ++i) num += static_cast<double>(out[i]) * in[i];
  EXPECT_GT(num, 0.0);

  // The same frames processed in place give the same output.
  std::vector<float> noisy = WhiteNoise(n, 20000.0, 9);
  const std::vector<float> separate = Suppress(1, noisy);
  int64_t ns = w6ssp_ns_create();
  ASSERT_EQ(w6ssp_ns_set_mode(ns, 1), 0);  // before init: kept for init
  ASSERT_EQ(w6ssp_ns_init(ns, 16000), 0);
  for (int s = 0; s < n; s += kFrame) ASSERT_EQ(w6ssp_ns_process(ns, &noisy[s], &noisy[s]), 0);
  w6ssp_ns_free(ns);
  EXPECT_EQ(noisy, separate);
}

TEST(NoiseSuppressor, RefusesToProcessBeforeInit) {
  int64_t ns = w6ssp_ns_create();
  ASSERT_NE(ns, 0);
  std::vector<float> in(kFrame, 1000.f), out(kFrame, 5.f);
  EXPECT_EQ(w6ssp_ns_process(ns, in.data(), out.data()), -1);
  EXPECT_EQ(out, std::vector<float>(kFrame, 5.f));
  EXPECT_EQ(w6ssp_ns_init(ns, 100), -1);
  EXPECT_EQ(w6ssp_ns_process(0, in.data(), out.data()), -1);
  EXPECT_EQ(w6ssp_ns_free(ns), 0);
}

}  // namespace
