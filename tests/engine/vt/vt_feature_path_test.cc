// The wake engine's feature path as the driver runs it: blocks of 1920
// samples give 8, then 12 filter-bank frames per call, and the network's
// first output rows appear in the call that brings the 21st frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/core/io.h"
#include "engine/core/mat.h"
#include "engine/vt/vt_mem.h"
#include "include/kestrel.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

// A small acoustic model: an affine layer from the engine's 957 spliced
// features to `outputs` units, then log-softmax.
void WriteModel(const std::string& path, int outputs) {
  testing_support::NnetBuilder net;
  net.Affine(957, outputs).Softmax(outputs);
  ASSERT_TRUE(net.Write(path));
}

ZVtMem* Mem(int64_t h) { return reinterpret_cast<ZVtMem*>(static_cast<intptr_t>(h)); }

TEST(VtFeaturePathTest, OutputRowsFollowTheFeatureLookahead) {
  const std::string model = std::string(testing::TempDir()) + "fp_am.nnet_" + std::to_string(getpid());
  WriteModel(model, 6);
  ASSERT_EQ(w6_vt_sysinit(model.c_str(), "/nonexistent/phones.bin"), 0);
  const int64_t h = w6_vt_create(2);
  ASSERT_NE(h, 0);

  const int n = 1920;
  std::mt19937 rng(31);
  std::normal_distribution<float> g(0.0f, 300.0f);
  std::vector<float> a(n), b(n);
  auto feed = [&] {
    for (int t = 0; t < n; ++t) {
      a[t] = g(rng);
      b[t] = g(rng);
    }
    const float* ch[2] = {a.data(), b.data()};
    w6_vt_process(h, ch, n, 0);
  };
  // Write row of the output ring after each call: rows only from the third
  // call on, then one per filter-bank frame.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "fresh instance" : "after w6_vt_reset");
    const int expectPos[5] = {0, 0, 12, 24, 36};
    for (int c = 0; c < 5; ++c) {
      feed();
      EXPECT_EQ(Mem(h)->pOutBuff->pos, expectPos[c]) << "call " << c;
      EXPECT_EQ(Mem(h)->pFea->nBuffLen, 640);
      EXPECT_EQ(Mem(h)->pAudBuff->pos, (c + 1) * n);
    }
    ASSERT_EQ(w6_vt_reset(h), 0);
    EXPECT_EQ(Mem(h)->pOutBuff->pos, 0);
    EXPECT_EQ(Mem(h)->pFea->nBuffLen, 0);
  }
  EXPECT_EQ(w6_vt_free(h), 0);
  EXPECT_EQ(w6_vt_sysexit(), 0);
  std::remove(model.c_str());
}

}  // namespace
}  // namespace __kestrel4__
