#include "engine/nnet/activation.h"

#include <cmath>

#include "tests/engine/nnet/nnet_test_util.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunBlock;
using nnet_test::RunFrame;

class ActivationTest : public nnet_test::TablesTest {};

TEST_F(ActivationTest, SigmoidBlockLeavesZeroInThePadding) {
  Nnet_Sigmoid layer(6);
  std::unique_ptr<Nnet_Component_Memory> mem(layer.GeneratePropagateMemory(5));
  auto in = Plain(5, 6, Random(30, 51));
  ZMat_Neon x(5, 6, false);
  x.CopyFrom(in.get());
  ZMat_Neon* out = &x;
  layer.PropagateFnc_Mat(&x, mem.get(), out);
  ASSERT_EQ(out, mem->out);
  ASSERT_GT(out->padCount, 0);
  for (int k = 0; k < out->padCount; ++k) EXPECT_EQ(out->blocks[0][out->padList[k]], 0.0f) << out->padList[k];
}

TEST_F(ActivationTest, EveryLayerMatchesTheVectorOperationOnBothPaths) {
  const int n = 7, T = 3;
  auto x = Random(T * n, 52, 4.0f);
  std::unique_ptr<Nnet_Component> layers[] = {std::unique_ptr<Nnet_Component>(new Nnet_Sigmoid(n)),
                                              std::unique_ptr<Nnet_Component>(new Nnet_Tanh(n)),
                                              std::unique_ptr<Nnet_Component>(new Nnet_Relu(n)),
                                              std::unique_ptr<Nnet_Component>(new Nnet_SoftMax(n))};
  for (auto& layer : layers) {
    SCOPED_TRACE(layer->name);
    std::vector<float> rows = RunBlock(layer.get(), *Plain(T, n, x));
    for (int t = 0; t < T; ++t) {
      ZVec v(n);
      for (int j = 0; j < n; ++j) v.data[j] = x[t * n + j];
      if (layer->name == "<Sigmoid>") v.RowSigMoid();
      if (layer->name == "<Tanh>") v.RowTanh();
      if (layer->name == "<Relu>") v.RowRelu();
      if (layer->name == "<Softmax>") v.RowSoftMax();
      std::vector<float> want(v.data, v.data + n);
      EXPECT_EQ(std::vector<float>(rows.begin() + t * n, rows.begin() + (t + 1) * n), want) << t;
      EXPECT_EQ(RunFrame(layer.get(), std::vector<float>(x.begin() + t * n, x.begin() + (t + 1) * n)), want);
    }
  }
}

TEST_F(ActivationTest, SoftmaxGivesLogProbabilities) {
  Nnet_SoftMax layer(3);
  std::vector<float> y = RunFrame(&layer, {1.0f, 2.0f, 3.0f});
  double sum = 0;
  for (float v : y) {
    EXPECT_LT(v, 0.0f);
    sum += std::exp(v);
  }
  EXPECT_NEAR(sum, 1.0, 2e-3);
  EXPECT_NEAR(y[2] - y[0], 2.0f, 1e-5);
}

}  // namespace
}  // namespace __kestrel4__
