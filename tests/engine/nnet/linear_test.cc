#include "engine/nnet/linear.h"

#include <cmath>

#include "engine/nnet/layer_norm.h"
#include "tests/engine/nnet/nnet_test_util.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Bits;
using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunBlock;
using nnet_test::RunFrame;

class LinearTest : public nnet_test::TablesTest {};

std::unique_ptr<Nnet_LinearTransform> MakeLinear(int in, int out, const std::string& act, uint32_t seed) {
  std::unique_ptr<Nnet_LinearTransform> layer(new Nnet_LinearTransform(in, out));
  auto WT = Plain(in, out, Random(in * out, seed));
  auto b = Random(out, seed + 1);
  ZVec bias(out);
  for (int i = 0; i < out; ++i) bias.data[i] = b[i];
  Nnet_LinearTransform::Params p;
  p.activation = act;
  p.weightT = WT.get();
  p.bias = &bias;
  layer->SetParams(p);
  return layer;
}

TEST_F(LinearTest, SoftmaxByExactNameOnly) {
  const int in = 6, out = 5;
  auto x = Random(3 * in, 21, 2.0f);
  auto block = Plain(3, in, x);
  std::vector<float> soft = RunBlock(MakeLinear(in, out, "Softmax", 20).get(), *block);
  std::vector<float> none = RunBlock(MakeLinear(in, out, "softmax", 20).get(), *block);
  for (int t = 0; t < 3; ++t) {
    double sum = 0.0;
    for (int j = 0; j < out; ++j) sum += std::exp(soft[t * out + j]);
    EXPECT_NEAR(sum, 1.0, 2e-3) << t;
    // Lower case is no activation: the raw affine values, whose
    // exponentials do not sum to one.
    double raw = 0.0;
    for (int j = 0; j < out; ++j) raw += std::exp(none[t * out + j]);
    EXPECT_GT(std::fabs(raw - 1.0), 0.05) << t;
    for (int j = 1; j < out; ++j)
      EXPECT_NEAR(soft[t * out + j] - soft[t * out], none[t * out + j] - none[t * out], 2e-3);
  }
}

TEST_F(LinearTest, BottleneckIsLinear) {
  // Identity matrices and zero biases through the bottleneck: out == in, on
  // both paths, with values that any squashing would change.
  const int n = 5;
  std::vector<float> eye(n * n, 0.0f);
  for (int i = 0; i < n; ++i) eye[i * n + i] = 1.0f;
  auto bnW = Plain(n, n, eye), W = Plain(n, n, eye);
  ZVec zero(n);
  Nnet_LinearTransform::Params p;
  p.bottleneck = true;
  p.activation = "None";
  p.bnWeightT = bnW.get();
  p.bnBias = &zero;
  p.weightT = W.get();
  p.bias = &zero;
  Nnet_LinearTransform layer(n, n);
  layer.SetParams(p);
  std::vector<float> x = {-7.5f, 3.25f, 100.0f, 0.0f, -0.125f};
  EXPECT_EQ(RunFrame(&layer, x), x);
  EXPECT_EQ(RunBlock(&layer, *Plain(1, n, x)), x);
}

TEST_F(LinearTest, LayerNormalisationOfTheExample) {
  Nnet_LayerNorm norm(4);
  for (int i = 0; i < 4; ++i) norm.gain->data[i] = 1.0f;
  ZVec v(4);
  for (int i = 0; i < 4; ++i) v.data[i] = static_cast<float>(i + 1);
  norm.PropagateFnc_Vec(&v);
  const float want[4] = {-1.3416f, -0.4472f, 0.4472f, 1.3416f};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(v.data[i], want[i], 1e-4) << i;

  // Rows of a matrix are normalised separately, then scaled and shifted.
  for (int i = 0; i < 4; ++i) {
    norm.gain->data[i] = 2.0f;
    norm.bias->data[i] = 1.0f;
  }
  auto m = Plain(2, 4, {1, 2, 3, 4, 10, 10, 10, 10});
  norm.PropagateFnc_Mat(m.get());
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(m->row[0][i], 2.0f * want[i] + 1.0f, 2e-4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(m->row[1][i], 1.0f);  // a constant row has no spread
}

TEST_F(LinearTest, BlockAndFramePathsAgreeWithEveryOption) {
  const int in = 13, b = 7, out = 9, T = 6;
  auto bnW = Plain(in, b, Random(in * b, 31));
  auto W = Plain(b, out, Random(b * out, 32));
  auto bb = Random(b, 33), g = Random(out, 34), nb = Random(out, 35);
  ZVec bnBias(b), gain(out), nbias(out);
  for (int i = 0; i < b; ++i) bnBias.data[i] = bb[i];
  for (int i = 0; i < out; ++i) {
    gain.data[i] = 1.0f + g[i];
    nbias.data[i] = nb[i];
  }
  const ZTilePath saved = z_tile_path();
  for (int path = 0; path < kTilePathCount; ++path) {
    if (!z_tile_force_path(static_cast<ZTilePath>(path))) continue;
    SCOPED_TRACE(z_tile_path_name(static_cast<ZTilePath>(path)));
    for (const char* act : {"Sigmoid", "Relu", "Tanh", "Softmax", "None"}) {
      SCOPED_TRACE(act);
      Nnet_LinearTransform::Params p;
      p.layerNorm = true;
      p.bottleneck = true;
      p.activation = act;
      p.bnWeightT = bnW.get();
      p.bnBias = &bnBias;
      p.weightT = W.get();
      p.normGain = &gain;
      p.normBias = &nbias;
      Nnet_LinearTransform layer(in, out);
      layer.SetParams(p);
      auto x = Random(T * in, 36, 2.0f);
      std::vector<float> rows = RunBlock(&layer, *Plain(T, in, x));
      for (int t = 0; t < T; ++t) {
        std::vector<float> y = RunFrame(&layer, std::vector<float>(x.begin() + t * in, x.begin() + (t + 1) * in));
        for (int j = 0; j < out; ++j) ASSERT_EQ(Bits(rows[t * out + j]), Bits(y[j])) << t << "," << j;
      }
    }
  }
  z_tile_force_path(saved);
}

TEST_F(LinearTest, ComputesTheStatedFormula) {
  // y = act(norm(W^T-stored matrix applied to (B x + b_b))), checked against a
  // direct evaluation in double.
  const int in = 4, b = 3, out = 4;
  auto bnWv = Random(in * b, 41), Wv = Random(b * out, 42), bbv = Random(b, 43);
  auto bnW = Plain(in, b, bnWv), W = Plain(b, out, Wv);
  ZVec bnBias(b), bias(out);
  for (int i = 0; i < b; ++i) bnBias.data[i] = bbv[i];
  for (int i = 0; i < out; ++i) bias.data[i] = 0.25f * i;
  Nnet_LinearTransform::Params p;
  p.bottleneck = true;
  p.activation = "Relu";
  p.bnWeightT = bnW.get();
  p.bnBias = &bnBias;
  p.weightT = W.get();
  p.bias = &bias;
  Nnet_LinearTransform layer(in, out);
  layer.SetParams(p);
  std::vector<float> x = {0.5f, -1.0f, 2.0f, 0.25f};
  std::vector<float> y = RunFrame(&layer, x);
  for (int j = 0; j < out; ++j) {
    double acc = bias.data[j];
    for (int k = 0; k < b; ++k) {
      double h = bbv[k];
      for (int i = 0; i < in; ++i) h += bnWv[i * b + k] * x[i];  // one row per input
      acc += Wv[k * out + j] * h;
    }
    EXPECT_NEAR(y[j], acc < 0 ? 0.0 : acc, 1e-5) << j;
  }
}

}  // namespace
}  // namespace __kestrel4__
