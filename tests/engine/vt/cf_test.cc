// The confirmation classifier: short segments, the score from the two class
// columns, both normalisation paths, raw sums, bad models and files, and a
// small projected bidirectional LSTM network scoring a WAV file end to end.
#include "engine/vt/cf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "include/kestrel.h"
#include "tests/support/log_capture.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

using testing_support::NnetBuilder;
using testing_support::NnetTempPath;
using testing_support::Zeros;

std::vector<float> Noise(int n, unsigned seed = 5) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 3000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = g(rng);
  return v;
}

// 40 features to two constant log-posteriors (ln 0.2, ln 0.8).
std::string ConstantModel() {
  std::string path = NnetTempPath("cf_const.nnet");
  NnetBuilder b;
  b.Affine(40, 2, Zeros(80), {std::log(0.2f), std::log(0.8f)}).Softmax(2);
  EXPECT_TRUE(b.Write(path));
  return path;
}

// A projected bidirectional LSTM first layer (40 -> out, cell width `cell`),
// then two classes.
bool WriteProjectedModel(const std::string& path, int out, int cell, uint32_t seed = 1, float scale = 0.3f) {
  testing_support::BLstmProjectedDesc desc;
  desc.in = 40;
  desc.out = out;
  desc.cell = cell;
  NnetBuilder b(seed, scale);
  b.BLstmProjected(desc).Affine(out, 2).Softmax(2);
  return b.Write(path);
}

class CfTest : public ::testing::Test {
 protected:
  void SetUp() override { w6_cf_sysinit(); }
  void TearDown() override { w6_cf_sysexit(); }
};

TEST_F(CfTest, ShortSegmentsAndTheTwoClassScore) {
  int64_t h = w6_cf_create(ConstantModel().c_str());
  ASSERT_NE(h, 0);
  std::vector<float> audio = Noise(16000);
  const int frames19 = 400 + 18 * 160, frames20 = frames19 + 160;
  testing_support::LogCapture log;
  EXPECT_EQ(w6_cf_check_buff(h, audio.data(), frames19), -100.0f);
  EXPECT_FALSE(log.Contains("cf score")) << "the network must not run for a short segment";
  float sums[2];
  EXPECT_EQ(w6_cf_get_score(h, audio.data(), frames19, sums, 2), -100);

  float score = w6_cf_check_buff(h, audio.data(), frames20);
  EXPECT_NEAR(score, std::log(0.8f), 1e-4);
  EXPECT_TRUE(log.Contains("--------------cf score: -1.609")) << log.Dump();
  EXPECT_TRUE(log.Contains(" -0.223")) << log.Dump();
  w6_cf_free(h);
}

// An application that set the family up itself keeps its classifiers
// working across a whole life of the wake-word engine.
TEST_F(CfTest, TheWakeEngineLeavesTheApplicationsHoldAlone) {
  int64_t h = w6_cf_create(ConstantModel().c_str());
  ASSERT_NE(h, 0);
  ASSERT_EQ(w6_vt_sysinit("/nonexistent/am.nnet", "/nonexistent/phones.bin"), 0);
  ASSERT_EQ(w6_vt_sysexit(), 0);
  std::vector<float> audio = Noise(8000);
  EXPECT_NEAR(w6_cf_check_buff(h, audio.data(), 8000), std::log(0.8f), 1e-4);
  w6_cf_free(h);
}

TEST_F(CfTest, RawSumsLeaveColumnsBeyondTheOutputsAtZero) {
  int64_t h = w6_cf_create(ConstantModel().c_str());
  std::vector<float> audio = Noise(8000);
  float sums[4] = {7, 7, 7, 7};
  ASSERT_EQ(w6_cf_get_score(h, audio.data(), 8000, sums, 4), 0);
  const int T = (8000 - 400) / 160 + 1;
  // The log-softmax reads its table at a 0.001 step: each frame may be off
  // by up to about 0.0005.
  EXPECT_NEAR(sums[0], T * std::log(0.2f), T * 1e-3);
  EXPECT_NEAR(sums[1], T * std::log(0.8f), T * 1e-3);
  EXPECT_EQ(sums[2], 0.0f);
  EXPECT_EQ(sums[3], 0.0f);
  w6_cf_free(h);
}

// Features x[t][j] = t + j: mean over the segment (T - 1) / 2 + j.
ZMat* Ramp(int T) {
  ZMat* m = new ZMat(T, 40);
  for (int t = 0; t < T; ++t)
    for (int j = 0; j < 40; ++j) m->row[t][j] = static_cast<float>(t + j);
  return m;
}

TEST_F(CfTest, NormalisationByBuiltInOrSegmentVariance) {
  const int T = 30;
  {
    ZCfMem2 cf(ConstantModel().c_str());
    std::unique_ptr<ZMat> x(Ramp(T));
    cf.DoCmvn(x.get());
    EXPECT_NEAR(cf.scale->data[0], 0.61352f, 1e-5);
    EXPECT_NEAR(x->row[0][0], (0.0f - 14.5f) * 0.61352f, 1e-4);
    EXPECT_NEAR(x->row[T - 1][5], (34.0f - 19.5f) * cf.scale->data[5], 1e-4);
  }
  {
    std::string path = NnetTempPath("cf_blstm_norm.nnet");
    ASSERT_TRUE(WriteProjectedModel(path, 4, 3));
    ZCfMem2 cf(path.c_str());
    ASSERT_TRUE(cf.IsValid());
    std::unique_ptr<ZMat> x(Ramp(T));
    cf.DoCmvn(x.get());
    const float var = (T * T - 1) / 12.0f;  // variance of 0 .. T-1
    EXPECT_NEAR(cf.scale->data[0], 1.0f / std::sqrt(var), 1e-4);
    EXPECT_NEAR(x->row[0][0], -14.5f / std::sqrt(var), 1e-3);
  }
}

// The segment's variance gets 1e-5 added in double before the root. For a
// nearly constant dimension the constant's width shows: the float 1e-5f
// would give a different scale.
TEST_F(CfTest, SegmentVarianceFloorIsAddedInDouble) {
  std::string path = NnetTempPath("cf_blstm_floor.nnet");
  ASSERT_TRUE(WriteProjectedModel(path, 4, 3));
  ZCfMem2 cf(path.c_str());
  ASSERT_TRUE(cf.IsValid());
  const int T = 20;
  ZMat x(T, 40);  // zeros, except one tiny value in dimension 0
  const float d = 3.06996881e-05f;
  x.row[0][0] = d;
  const float m = d / T;
  const float v = d * d / T - m * m;
  const float want = 1.0f / sqrtf(static_cast<float>(static_cast<double>(v) + 1e-5));
  ASSERT_NE(want, 1.0f / sqrtf(static_cast<float>(static_cast<double>(v) + 1e-5f)));
  cf.DoCmvn(&x);
  EXPECT_EQ(cf.scale->data[0], want);
}

TEST_F(CfTest, UnusableModelsGiveTheNullHandle) {
  testing_support::LogCapture log;
  EXPECT_EQ(w6_cf_create("/nonexistent/cf.nnet"), 0);
  EXPECT_TRUE(log.Contains("w6_cf_create: model /nonexistent/cf.nnet cannot be used")) << log.Dump();

  std::string one = NnetTempPath("cf_one.nnet");
  NnetBuilder b;
  b.Affine(40, 1).Softmax(1);
  ASSERT_TRUE(b.Write(one));
  EXPECT_EQ(w6_cf_create(one.c_str()), 0);
  EXPECT_TRUE(log.Contains("gives 1 outputs")) << log.Dump();

  std::string wide = NnetTempPath("cf_wide.nnet");
  NnetBuilder c;
  c.Affine(87, 2).Softmax(2);
  ASSERT_TRUE(c.Write(wide));
  EXPECT_EQ(w6_cf_create(wide.c_str()), 0);

  std::vector<float> audio = Noise(8000);
  float sums[2] = {3, 3};
  EXPECT_EQ(w6_cf_check_buff(0, audio.data(), 8000), -100.0f);
  EXPECT_EQ(w6_cf_check_file(0, "/nonexistent.wav"), -100.0f);
  EXPECT_EQ(w6_cf_get_score(0, audio.data(), 8000, sums, 2), -100);
  EXPECT_EQ(sums[0], 3.0f);
  EXPECT_EQ(w6_cf_free(0), 0);
}

TEST_F(CfTest, ProjectedBidirectionalNetworkScoresAWavFile) {
  std::string model = NnetTempPath("cf_blstm.nnet");
  ASSERT_TRUE(WriteProjectedModel(model, 6, 4, 7, 0.2f));
  int64_t h = w6_cf_create(model.c_str());
  ASSERT_NE(h, 0);

  std::string wav = NnetTempPath("cf_segment") + ".wav";
  w6_aud_data* rec = w6_aud_malloc(1, 16000, 8000);
  std::vector<float> audio = Noise(8000, 9);
  for (int i = 0; i < 8000; ++i) rec->data[0][i] = std::round(audio[i]);
  ASSERT_EQ(w6_aud_out(wav.c_str(), rec), 0);

  float fromFile = w6_cf_check_file(h, wav.c_str());
  float fromBuffer = w6_cf_check_buff(h, rec->data[0], 8000);
  EXPECT_EQ(fromFile, fromBuffer);
  EXPECT_LE(fromFile, 0.0f);
  EXPECT_GT(fromFile, -100.0f);
  // Every check starts from zero recurrent state: the same segment scores
  // the same after a different one.
  std::vector<float> other = Noise(12000, 10);
  w6_cf_check_buff(h, other.data(), 12000);
  EXPECT_EQ(w6_cf_check_buff(h, rec->data[0], 8000), fromBuffer);

  testing_support::LogCapture log;
  EXPECT_EQ(w6_cf_check_file(h, "/nonexistent/x.wav"), -100.0f);
  EXPECT_TRUE(log.Contains("w6_cf_check_file: /nonexistent/x.wav cannot be read")) << log.Dump();
  w6_aud_free(rec);
  w6_cf_free(h);
}

}  // namespace
}  // namespace __kestrel4__
