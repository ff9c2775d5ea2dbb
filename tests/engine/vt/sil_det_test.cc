// The silence checker: reference level, word energy, the loudest-stretch
// decisions of both checks, and the lowering of the reference by a quiet left
// window.
#include "engine/vt/sil_det.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

// A frame-periodic signal whose every 256-sample analysis frame (hop 160)
// has nearly the same energy: white noise of the given deviation.
std::vector<float> Noise(int samples, float sd, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, sd);
  std::vector<float> v(samples);
  for (float& x : v) x = g(rng);
  return v;
}

TEST(SilDetTest, ShieldFloorAndWordLevels) {
  ZSilDet3 det(160, 30);
  EXPECT_EQ(det.nFftLen, 256);
  det.SetSilShield(200.0f);
  EXPECT_EQ(det.fSilShield, 1000.0f);
  det.SetSilShield(5000.0f);
  EXPECT_EQ(det.fSilShield, 5000.0f);

  // Scale noise so that the mean frame energy is about 9000.
  det.SetSilShield(1000.0f);
  std::vector<float> probe = Noise(5600, 1000.0f, 1);
  float e1000 = det.SetVtEnergy(probe.data(), 5600);
  std::vector<float> word = Noise(5600, 1000.0f * 9000.0f / e1000, 1);
  testing_support::LogCapture log;
  float E = det.SetVtEnergy(word.data(), 5600);
  EXPECT_NEAR(E, 9000.0f, 1.0f);
  EXPECT_EQ(det.fSilEnergy, 1250.0f);
  EXPECT_FLOAT_EQ(det.fVtEnergy, E / 3);  // E/3 wins over 2500
  EXPECT_TRUE(log.Contains("fVtEnergy ")) << log.Dump();
}

TEST(SilDetTest, NormalisationClampsToTheUnitRange) {
  ZSilDet3 det(160, 30);
  det.fSilEnergy = 1000.0f;
  det.fVtEnergy = 3000.0f;
  EXPECT_EQ(det.NormEnergy(500.0f), 0.0f);
  EXPECT_EQ(det.NormEnergy(2000.0f), 0.5f);
  EXPECT_EQ(det.NormEnergy(9000.0f), 1.0f);
}

// Left windows of 35 frames (F = 34) at a steady normalised level v: silent
// below the 0.3 shield, not silent above it.
TEST(SilDetTest, LeftWindowJudgedByItsLoudestStretch) {
  struct Case {
    float level;  // normalised level of every frame
    bool silent;
  } cases[] = {{0.2f, true}, {0.4f, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    ZSilDet3 det(160, 30);
    std::vector<float> window = Noise(5600, 300.0f, 2);
    // Measure the window's mean energy, then place the levels so that it
    // normalises to c.level.
    det.fSilEnergy = 0.0f;
    det.fVtEnergy = 1e30f;
    det.CheckRightSilence(window.data(), 5600);
    std::vector<float> e;
    float mean = 0;
    for (int f = 0; f < 34; ++f) mean += det.GetFrmEnergy(window.data() + 160 * f) / 34;
    det.fSilShield = 1e9f;  // keeps the reference from being lowered here
    det.fSilEnergy = 0.0f;
    det.fVtEnergy = mean / c.level;
    bool silent = det.CheckLeftSilence(window.data(), 5600);
    EXPECT_EQ(silent, c.silent);
    EXPECT_NEAR(det.fLeftMax, c.level, 0.08f);
  }
}

TEST(SilDetTest, QuietLeftWindowLowersTheReference) {
  ZSilDet3 det(160, 30);
  det.SetSilShield(5000.0f);
  std::vector<float> word = Noise(8000, 3000.0f, 3);
  det.SetVtEnergy(word.data(), 8000);
  std::vector<float> quiet = Noise(5600, 10.0f, 4);
  ASSERT_TRUE(det.CheckLeftSilence(quiet.data(), 5600));
  EXPECT_LT(det.fSilShield, 5000.0f);
  EXPECT_EQ(det.fSilShield, det.fLeftAvg);
  EXPECT_EQ(det.fSilEnergy, det.fLeftAvg * 1.25f);
}

TEST(SilDetTest, ShortRightWindowUsesTheMeanOfAllFrames) {
  ZSilDet3 det(160, 30);
  det.fSilEnergy = 0.0f;
  det.fVtEnergy = 1.0f;  // every non-silent frame normalises to 1
  std::vector<float> window(20 * 160 + 96, 0.0f);  // F = 20
  std::vector<float> loud = Noise(7 * 160, 1000.0f, 5);
  std::copy(loud.begin(), loud.end(), window.begin());
  bool silent = det.CheckRightSilence(window.data(), static_cast<int>(window.size()));
  // Frames 0..6 are loud, frame 7 straddles: mean over 20 frames is ~8/20.
  EXPECT_NEAR(det.fRightMax, 8.0f / 20.0f, 0.06f);
  EXPECT_FALSE(silent);
}

TEST(SilDetTest, DigitalSilencePassesBothChecks) {
  ZSilDet3 det(160, 30);
  det.SetSilShield(1000.0f);
  std::vector<float> zeros(5600, 0.0f);
  EXPECT_EQ(det.GetFrmEnergy(zeros.data()), 0.0f);
  det.SetVtEnergy(zeros.data(), 5600);
  EXPECT_TRUE(det.CheckLeftSilence(zeros.data(), 5600));
  EXPECT_TRUE(det.CheckRightSilence(zeros.data(), 5600));
}

TEST(SilDetTest, EnergyCountsOnlyTheSpeechBand) {
  ZSilDet3 det(160, 30);
  // A 7 kHz tone falls in bin 112 (outside 2..95); a 1 kHz tone in bin 16.
  std::vector<float> low(256), mid(256);
  for (int i = 0; i < 256; ++i) {
    low[i] = 1000.0f * std::sin(2 * M_PI * 7000.0 * i / 16000.0);
    mid[i] = 1000.0f * std::sin(2 * M_PI * 1000.0 * i / 16000.0);
  }
  EXPECT_LT(det.GetFrmEnergy(low.data()), 0.01f * det.GetFrmEnergy(mid.data()));
}

}  // namespace
}  // namespace __kestrel4__
