// Gain control: quiet speech comes out louder, loud speech never clips (also
// right after quiet speech has driven the gain up), and reset forgets the
// gain.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "ext/w6ssp.h"
#include "tests/platform/signals.h"

namespace {

using namespace testsig;

constexpr int kFrame = 160;

// Speech-like signal whose peak sits at peak_dbfs (16-bit full scale).
std::vector<float> Speech(int n, double peak_dbfs, uint64_t seed) {
  std::vector<float> x = SpeechLike(n, 1.0, seed);
  double peak = 0.0;
  for (float v : x) peak = std::max(peak, static_cast<double>(std::fabs(v)));
  Scale(x, 32767.0 * std::pow(10.0, peak_dbfs / 20.0) / peak);
  return x;
}

std::vector<float> Control(int64_t agc, const std::vector<float>& x) {
  std::vector<float> y(x.size(), 0.f);
  int16_t frame[kFrame];
  for (size_t s = 0; s + kFrame <= x.size(); s += kFrame) {
    for (int i = 0; i < kFrame; ++i) frame[i] = static_cast<int16_t>(std::lrint(x[s + i]));
    EXPECT_EQ(w6ssp_agc_process(agc, frame), 0);
    for (int i = 0; i < kFrame; ++i) y[s + i] = frame[i];
  }
  return y;
}

int64_t MakeAgc() {
  int64_t agc = w6ssp_agc_create();
  EXPECT_NE(agc, 0);
  EXPECT_EQ(w6ssp_agc_init(agc, 10, 16000), 0);
  return agc;
}

TEST(GainControl, QuietSpeechComesOutLouder) {
  const int n = 6 * kRate;
  const std::vector<float> x = Speech(n, -40.0, 21);
  int64_t agc = MakeAgc();
  const std::vector<float> y = Control(agc, x);
  w6ssp_agc_free(agc);
  EXPECT_GE(Db(Rms(y, 3 * kRate, n) / Rms(x, 3 * kRate, n)), 15.0);
}

struct LoudCase {
  const char* name;
  double before_dbfs;  // peak of the first 4 s
};
void PrintTo(const LoudCase& c, std::ostream* os) { *os << c.name; }

class LoudTest : public ::testing::TestWithParam<LoudCase> {};

// Speech peaking at -3 dBFS, from the start or after 4 s of speech at -40 dBFS
// (which has raised the gain by up to 30 dB): no sample reaches full scale,
// and the limiter's ceiling is -1 dBFS.
TEST_P(LoudTest, LoudSpeechDoesNotClip) {
  const int n = 8 * kRate;
  std::vector<float> x = Speech(n, -3.0, 22);
  const double quiet = std::pow(10.0, (GetParam().before_dbfs + 3.0) / 20.0);
  for (int i = 0; i < 4 * kRate; ++i) x[i] = static_cast<float>(x[i] * quiet);
  int64_t agc = MakeAgc();
  const std::vector<float> y = Control(agc, x);
  w6ssp_agc_free(agc);
  EXPECT_EQ(CountAbove(y, 0, n, 32767.0 * 0.8913 + 1.0), 0);
  // Not silenced either: the loud part keeps a healthy level.
  EXPECT_GE(Db(Rms(y, 5 * kRate, n) / 32768.0), -30.0);
}

INSTANTIATE_TEST_SUITE_P(Levels, LoudTest,
                         ::testing::Values(LoudCase{"LoudThroughout", -3.0},
                                           LoudCase{"AfterQuietSpeech", -40.0}),
                         [](const ::testing::TestParamInfo<LoudCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(GainControl, ResetForgetsTheGain) {
  const int n = 5 * kRate;
  const std::vector<float> x = Speech(n, -40.0, 23);
  int64_t agc = MakeAgc();
  const std::vector<float> adapted = Control(agc, x);
  ASSERT_GE(Db(Rms(adapted, 4 * kRate, n) / Rms(x, 4 * kRate, n)), 15.0);
  ASSERT_EQ(w6ssp_agc_reset(agc), 0);
  // Right after the reset the same speech passes at (about) its own level.
  const std::vector<float> head(x.begin(), x.begin() + kRate / 2);
  const std::vector<float> again = Control(agc, head);
  EXPECT_NEAR(Db(Rms(again, 0, kRate / 2) / Rms(head, 0, kRate / 2)), 0.0, 1.5);
  w6ssp_agc_free(agc);
}

TEST(GainControl, RefusesToProcessBeforeInit) {
  int64_t agc = w6ssp_agc_create();
  int16_t frame[kFrame];
  for (int i = 0; i < kFrame; ++i) frame[i] = static_cast<int16_t>(i);
  EXPECT_EQ(w6ssp_agc_process(agc, frame), -1);
  for (int i = 0; i < kFrame; ++i) ASSERT_EQ(frame[i], i);
  EXPECT_EQ(w6ssp_agc_reset(agc), -1);
  EXPECT_EQ(w6ssp_agc_init(agc, 15, 16000), -1);
  EXPECT_EQ(w6ssp_agc_free(agc), 0);
}

}  // namespace
