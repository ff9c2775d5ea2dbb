// The network container and its model files: the component format (read from
// hand-written bytes and round-tripped through the writer), the legacy
// format, priors and score normalisation.
#include "engine/nnet/nnet.h"

#include <cmath>
#include <cstdio>
#include <fstream>

#include "engine/nnet/affine.h"
#include "engine/nnet/linear.h"
#include "tests/engine/nnet/nnet_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Bits;
using nnet_test::ModelFile;
using nnet_test::ReadFile;
using nnet_test::WriteFile;
using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunNetBlock;
using testing_support::NnetBuilder;
using testing_support::NnetTempPath;

class NnetTest : public nnet_test::TablesTest {
 protected:
  void TearDown() override {
    std::remove(path_.c_str());
    nnet_test::TablesTest::TearDown();
  }
  std::string path_ = NnetTempPath("nnet_test.model");
};

TEST_F(NnetTest, ComponentFormatWithAndWithoutEndMarkers) {
  for (bool marker : {true, false}) {
    SCOPED_TRACE(marker ? "with end markers" : "without end markers");
    {
      ModelFile m(path_);
      m.Tok("<Nnet>").Affine23(marker).Tok("<Softmax>").Int(2).Int(2);
      if (marker) m.Tok("<!EndOfComponent>");
      m.Tok("</Nnet>");
    }
    Nnet net(path_.c_str(), false);
    ASSERT_TRUE(net.IsValid());
    ASSERT_EQ(net.components.size(), 2u);
    EXPECT_EQ(net.components[0]->name, "<AffineTransform>");
    EXPECT_EQ(net.components[1]->name, "<Softmax>");
    EXPECT_EQ(net.inDim, 3);
    EXPECT_EQ(net.outDim, 2);
    EXPECT_FALSE(net.usePrior);
    // (1, 0, -1) -> (-1.5, -3) -> log-softmax.
    std::vector<float> y = RunNetBlock(&net, *Plain(1, 3, {1, 0, -1}));
    EXPECT_NEAR(y[0], -std::log1p(std::exp(-1.5)), 2e-3);
    EXPECT_NEAR(y[1] - y[0], -1.5f, 1e-5);
  }
}

TEST_F(NnetTest, CenterLossEndsTheModel) {
  {
    ModelFile m(path_);
    m.Tok("<Nnet>").Affine23(true).Tok("<CenterLoss>").Raw(std::string("\x01\xff junk <Softmax> \x00 9", 19));
  }
  Nnet net(path_.c_str(), false);
  ASSERT_TRUE(net.IsValid());
  EXPECT_EQ(net.components.size(), 1u);
  EXPECT_EQ(net.outDim, 2);
}

TEST_F(NnetTest, NoneBuildsTheBidirectionalLayer) {
  testing_support::LstmCellDesc fwd, bwd;
  fwd.in = bwd.in = 4;
  fwd.out = 3;
  bwd.out = 2;
  bwd.cell = 5;
  bwd.peephole = true;
  NnetBuilder b(7);
  b.BLstm(fwd, bwd);
  std::string bytes = b.Bytes();
  const size_t at = bytes.find("<BLSTM> ");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 8, "<None> ");
  WriteFile(path_, bytes);
  Nnet net(path_.c_str(), false);
  ASSERT_TRUE(net.IsValid());
  EXPECT_EQ(net.components[0]->name, "<BLSTM>");
  auto x = Plain(5, 4, Random(20, 3));
  std::vector<float> want = RunNetBlock(b.net(), *x);
  std::vector<float> got = RunNetBlock(&net, *x);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(Bits(got[i]), Bits(want[i])) << i;
}

TEST_F(NnetTest, WrittenModelsLoadBackIdentical) {
  // Every layer type and option, written by the layers' writers, read back by
  // the loader, written again: the same bytes and the same outputs.
  testing_support::LinearDesc lin1;
  lin1.in = 8;
  lin1.out = 6;
  lin1.bottleneck = 3;
  lin1.layerNorm = true;
  lin1.activation = "Softmax";
  testing_support::LinearDesc lin2;
  lin2.in = 6;
  lin2.out = 5;
  lin2.activation = "Relu";
  NnetBuilder ff(11);
  ff.Affine(10, 8).Sigmoid(8).Linear(lin1).Tanh(6).Relu(6).Linear(lin2).Softmax(5);

  testing_support::LstmCellDesc cell;
  cell.in = 5;
  cell.out = 4;
  cell.cell = 6;
  cell.layerNorm = true;
  cell.peephole = true;
  cell.activation = "Relu";
  testing_support::LstmCellDesc f, bk;
  f.in = bk.in = 4;
  f.out = 3;
  f.forgetBias = 1.0f;
  bk.out = 2;
  bk.cell = 4;
  bk.peephole = true;
  bk.activation = "Sigmoid";
  testing_support::BLstmProjectedDesc p;
  p.in = 5;
  p.out = 6;
  p.cell = 4;
  NnetBuilder rec(12);
  rec.Lstm(cell).BLstm(f, bk).BLstmProjected(p).Affine(6, 3);

  for (NnetBuilder* b : {&ff, &rec}) {
    ASSERT_TRUE(b->Write(path_));
    Nnet net(path_.c_str(), false);
    ASSERT_TRUE(net.IsValid());
    ASSERT_EQ(net.components.size(), b->net()->components.size());
    for (size_t k = 0; k < net.components.size(); ++k) {
      EXPECT_EQ(net.components[k]->name, b->net()->components[k]->name);
      EXPECT_EQ(net.components[k]->Describe(), b->net()->components[k]->Describe());
    }
    const std::string second = NnetTempPath("nnet_test.again");
    ASSERT_EQ(net.Write(second.c_str()), 0);
    EXPECT_EQ(ReadFile(second), ReadFile(path_));
    std::remove(second.c_str());
    auto x = Plain(7, net.inDim, Random(7 * net.inDim, 5, 2.0f));
    std::vector<float> want = RunNetBlock(b->net(), *x), got = RunNetBlock(&net, *x);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(Bits(got[i]), Bits(want[i])) << i;
  }
}

TEST_F(NnetTest, WriteReportsAPathThatCannotBeWritten) {
  NnetBuilder b;
  b.Affine(2, 2);
  testing_support::LogCapture log;
  EXPECT_EQ(b.net()->Write("/nonexistent-dir/x.model"), 1);
  EXPECT_TRUE(log.Contains("/nonexistent-dir/x.model")) << log.Dump();
}

// Legacy file: int count, the widths, then per layer bare weights (one row per
// output) and biases, then the log-priors.
void WriteLegacy(const std::string& path, const std::vector<int>& dims, const std::vector<std::vector<float>>& data,
                 const std::vector<float>& priors) {
  std::ofstream f(path, std::ios::binary);
  int n = static_cast<int>(dims.size());
  f.write(reinterpret_cast<const char*>(&n), 4);
  f.write(reinterpret_cast<const char*>(dims.data()), 4 * n);
  for (const auto& d : data) f.write(reinterpret_cast<const char*>(d.data()), 4 * d.size());
  f.write(reinterpret_cast<const char*>(priors.data()), 4 * priors.size());
}

TEST_F(NnetTest, LegacyModelOfFourWidths) {
  const int d0 = 40, d1 = 64, d2 = 16, d3 = 10;
  auto W1 = Random(d1 * d0, 1), b1 = Random(d1, 2), B = Random(d2 * d1, 3), bb = Random(d2, 4),
       W3 = Random(d3 * d2, 5), b3 = Random(d3, 6), lp = Random(d3, 7);
  WriteLegacy(path_, {d0, d1, d2, d3}, {W1, b1, B, bb, W3, b3}, lp);
  Nnet net(path_.c_str(), true);
  ASSERT_TRUE(net.IsValid());
  ASSERT_EQ(net.components.size(), 2u);
  auto* l0 = static_cast<Nnet_LinearTransform*>(net.components[0]);
  auto* l1 = static_cast<Nnet_LinearTransform*>(net.components[1]);
  EXPECT_EQ(l0->inDim, d0);
  EXPECT_EQ(l0->outDim, d1);
  EXPECT_EQ(l0->activation, "Sigmoid");
  EXPECT_FALSE(l0->bottleneck);
  EXPECT_EQ(l1->bottleneckDim, d2);
  EXPECT_EQ(l1->activation, "Softmax");
  ASSERT_TRUE(net.usePrior);
  for (int j = 0; j < d3; ++j) EXPECT_EQ(net.prior->data[j], -lp[j]);

  // Evaluate one frame by the formulas (weights one row per output), in float
  // and in the kernels' order, with the table sigmoid.
  auto x = Random(d0, 8);
  std::vector<float> h(d1), g(d2), y(d3);
  for (int i = 0; i < d1; ++i) {
    float a = b1[i];
    for (int k = 0; k < d0; ++k) a = a + W1[i * d0 + k] * x[k];
    h[i] = ZMat::m_plogtab2[z_tab_index(a)];
  }
  for (int i = 0; i < d2; ++i) {
    float a = bb[i];
    for (int k = 0; k < d1; ++k) a = a + B[i * d1 + k] * h[k];
    g[i] = a;
  }
  for (int i = 0; i < d3; ++i) {
    float a = b3[i];
    for (int k = 0; k < d2; ++k) a = a + W3[i * d2 + k] * g[k];
    y[i] = a;
  }
  std::vector<float> out = RunNetBlock(&net, *Plain(1, d0, x));
  double total = 0;
  for (int j = 0; j < d3; ++j) {
    EXPECT_NEAR(out[j] - out[0], y[j] - y[0], 1e-5) << j;  // log-softmax keeps differences
    total += std::exp(out[j]);
  }
  EXPECT_NEAR(total, 1.0, 5e-3);
  ZMat m(1, d3);
  for (int j = 0; j < d3; ++j) m.row[0][j] = out[j];
  net.ProcessPrior_Mat(&m);
  for (int j = 0; j < d3; ++j) EXPECT_EQ(m.row[0][j], out[j] + -lp[j]) << j;
}

TEST_F(NnetTest, PriorsAndScoreNormalisation) {
  NnetBuilder b;
  b.Affine(3, 2);
  Nnet* net = b.net();
  const float lp[2] = {-1.0f, -2.0f};
  net->SetPrior(lp);
  ZVec v(2);
  v.data[0] = v.data[1] = -0.5f;
  net->ProcessPrior_Vec(&v);
  EXPECT_EQ(v.data[0], 0.5f);
  EXPECT_EQ(v.data[1], 1.5f);

  // Normalisation file: means (1, 2), deviations (2, 4). (3, 5) has mean 4
  // and variance 1: normalised to about (-1, 1), shifted and scaled per output,
  // then the priors.
  {
    ZFileOutput out(path_.c_str(), 2);
    int n = 2;
    float mean[2] = {1.0f, 2.0f}, sd[2] = {2.0f, 4.0f};
    out.WriteToken("FV");
    out.WriteBasicType(&n);
    out.WriteArray(mean, 2);
    out.WriteToken("FV");
    out.WriteBasicType(&n);
    out.WriteArray(sd, 2);
  }
  ASSERT_EQ(net->LoadSn(path_.c_str()), 0);
  ZMat m(1, 2);
  m.row[0][0] = 3.0f;
  m.row[0][1] = 5.0f;
  net->ProcessPrior_Mat(&m);
  const double s = std::sqrt(1.0 + 1e-5);
  EXPECT_NEAR(m.row[0][0], (-1.0 / s - 1.0) / 2.0 + 1.0, 1e-6);
  EXPECT_NEAR(m.row[0][1], (1.0 / s - 2.0) / 4.0 + 2.0, 1e-6);

  // A file that ends early or has a zero deviation is refused; the previous
  // normalisation stays.
  WriteFile(path_, ReadFile(path_).substr(0, 20));
  testing_support::LogCapture log;
  EXPECT_EQ(net->LoadSn(path_.c_str()), 1);
  EXPECT_TRUE(log.Contains("score normalisation")) << log.Dump();
  EXPECT_TRUE(net->useScoreNorm);
}

TEST_F(NnetTest, BuiltNetworksChainTheirWidths) {
  Nnet net;
  EXPECT_FALSE(net.IsValid());
  EXPECT_EQ(net.AddComponent(new Nnet_AffineTransform(4, 3)), 0);
  testing_support::LogCapture log;
  EXPECT_EQ(net.AddComponent(new Nnet_AffineTransform(4, 3)), 1);  // takes 4, the network gives 3
  EXPECT_EQ(net.components.size(), 1u);
  EXPECT_TRUE(net.IsValid());
  EXPECT_EQ(net.inDim, 4);
  EXPECT_EQ(net.outDim, 3);
  EXPECT_TRUE(net.HasFrameForm());
}

}  // namespace
}  // namespace __kestrel4__
