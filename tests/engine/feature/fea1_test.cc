#include "engine/feature/fea1.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tests/engine/feature/fbank_reference.h"

namespace __kestrel4__ {
namespace {

std::vector<float> Signal(unsigned seed, int n) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 200.0);
  std::vector<float> v(n);
  for (int t = 0; t < n; ++t) v[t] = static_cast<float>(g(rng) + 1500.0 * std::sin(2.0 * M_PI * 700.0 * t / 16000) + 40.0);
  return v;
}

TEST(Fea1Test, FrameCountsAndGrowth) {
  struct Case {
    int samples, frames;
  } cases[] = {{0, 0}, {399, 0}, {400, 1}, {559, 1}, {560, 2}, {16240, 100}, {20000, 123}, {1000, 4}};
  ZFea1 fea(16000, 40);
  const auto x = Signal(1, 20000);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.samples << " samples");
    ZMat* out = nullptr;
    EXPECT_EQ(fea.ExtractFBank(x.data(), c.samples, out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->rows, c.frames);
    EXPECT_EQ(out->cols, 40);
  }
}

TEST(Fea1Test, FramesMatchAnIndependentComputationAndCarryNoState) {
  const auto x = Signal(2, 20000);
  ZFea1 fea(16000, 40);
  ZMat* out = nullptr;
  fea.ExtractFBank(x.data(), 20000, out);
  ASSERT_EQ(out->rows, 123);
  const auto bank = fbank_reference::MakeBank(16000, 512, 20, 8000, 42, false);
  for (int f : {0, 1, 61, 122}) {
    SCOPED_TRACE(testing::Message() << "frame " << f);
    std::vector<double> frame(x.begin() + f * 160, x.begin() + f * 160 + 400);
    auto power = fbank_reference::PowerSpectrum(fbank_reference::Condition(frame), 512);
    std::vector<double> expect;
    fbank_reference::ApplyBank(bank, power, &expect);
    for (int k = 0; k < 40; ++k) EXPECT_NEAR(out->row[f][k], expect[k], 2e-3) << "filter " << k;
  }
  // Frame 122 again, alone: the same bits, whatever came before.
  std::vector<float> last(out->row[122], out->row[122] + 40);
  fea.ExtractFBank(x.data() + 122 * 160, 400, out);
  ASSERT_EQ(out->rows, 1);
  EXPECT_EQ(std::vector<float>(out->row[0], out->row[0] + 40), last);
}

TEST(Fea1Test, SilenceHitsTheFloor) {
  // No dither here: digital silence gives ln(1e-7) in every band.
  std::vector<float> zeros(560, 0.0f);
  ZFea1 fea(16000, 40);
  ZMat* out = nullptr;
  fea.ExtractFBank(zeros.data(), 560, out);
  ASSERT_EQ(out->rows, 2);
  for (int f = 0; f < 2; ++f)
    for (int k = 0; k < 40; ++k) EXPECT_EQ(out->row[f][k], logf(1e-7f));
}

}  // namespace
}  // namespace __kestrel4__
