#include "tests/support/nnet_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "engine/nnet/activation.h"
#include "engine/nnet/affine.h"
#include "engine/nnet/blstm2.h"
#include "engine/nnet/linear.h"
#include "engine/nnet/lstm.h"

namespace testing_support {

using namespace __kestrel4__;

namespace {

std::unique_ptr<ZMat> MatOf(const std::vector<float>& v, int rows, int cols) {
  std::unique_ptr<ZMat> m(new ZMat(rows, cols));
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) m->row[i][j] = v[static_cast<size_t>(i) * cols + j];
  return m;
}

std::unique_ptr<ZVec> VecOf(const std::vector<float>& v) {
  std::unique_ptr<ZVec> z(new ZVec(static_cast<int>(v.size())));
  for (size_t i = 0; i < v.size(); ++i) z->data[i] = v[i];
  return z;
}

}  // namespace

std::string NnetTempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/" + name + "_" + std::to_string(getpid());
}

NnetBuilder::NnetBuilder(uint32_t seed, float scale) : net_(new Nnet()), rng_(seed), scale_(scale) {}

NnetBuilder::~NnetBuilder() { delete net_; }

std::vector<float> NnetBuilder::Fill(std::vector<float> v, size_t n, float center) {
  if (!v.empty()) {
    EXPECT_EQ(v.size(), n) << "a weight list of the wrong length";
    v.resize(n, 0.0f);
    return v;
  }
  std::uniform_real_distribution<float> u(-scale_, scale_);
  v.resize(n);
  for (float& x : v) x = center + u(rng_);
  return v;
}

NnetBuilder& NnetBuilder::Affine(int in, int out, std::vector<float> W, std::vector<float> b) {
  W = Fill(std::move(W), static_cast<size_t>(out) * in);
  b = Fill(std::move(b), out);
  auto* layer = new Nnet_AffineTransform(in, out);
  layer->SetParams(MatOf(W, out, in).get(), VecOf(b).get());
  EXPECT_EQ(net_->AddComponent(layer), 0);
  return *this;
}

NnetBuilder& NnetBuilder::Linear(LinearDesc s) {
  const int k = s.bottleneck > 0 ? s.bottleneck : s.in;
  Nnet_LinearTransform::Params p;
  p.layerNorm = s.layerNorm;
  p.bottleneck = s.bottleneck > 0;
  p.activation = s.activation;
  std::unique_ptr<ZMat> bnW, W;
  std::unique_ptr<ZVec> bnB, bias, gain, nbias;
  if (p.bottleneck) {
    bnW = MatOf(Fill(s.bnWeightT, static_cast<size_t>(s.in) * s.bottleneck), s.in, s.bottleneck);
    bnB = VecOf(Fill(s.bnBias, s.bottleneck));
    p.bnWeightT = bnW.get();
    p.bnBias = bnB.get();
  }
  W = MatOf(Fill(s.weightT, static_cast<size_t>(k) * s.out), k, s.out);
  p.weightT = W.get();
  if (s.layerNorm) {
    gain = VecOf(Fill(s.normGain, s.out, 1.0f));
    nbias = VecOf(Fill(s.normBias, s.out));
    p.normGain = gain.get();
    p.normBias = nbias.get();
  } else {
    bias = VecOf(Fill(s.bias, s.out));
    p.bias = bias.get();
  }
  auto* layer = new Nnet_LinearTransform(s.in, s.out);
  layer->SetParams(p);
  EXPECT_EQ(net_->AddComponent(layer), 0);
  return *this;
}

NnetBuilder& NnetBuilder::Sigmoid(int dim) {
  EXPECT_EQ(net_->AddComponent(new Nnet_Sigmoid(dim)), 0);
  return *this;
}
NnetBuilder& NnetBuilder::Tanh(int dim) {
  EXPECT_EQ(net_->AddComponent(new Nnet_Tanh(dim)), 0);
  return *this;
}
NnetBuilder& NnetBuilder::Relu(int dim) {
  EXPECT_EQ(net_->AddComponent(new Nnet_Relu(dim)), 0);
  return *this;
}
NnetBuilder& NnetBuilder::Softmax(int dim) {
  EXPECT_EQ(net_->AddComponent(new Nnet_SoftMax(dim)), 0);
  return *this;
}

namespace {

// Holds the converted parameters of one cell while SetParams copies them.
struct CellParts {
  std::unique_ptr<ZMat> wx, wr, proj;
  std::unique_ptr<ZVec> gains[5], biases[5], gateBias, pf, pi, po;
  Nnet_Lstm_Cell::Params p;
};

}  // namespace

static void SetCell(Nnet_Lstm_Cell* cell, LstmCellDesc s,
                    const std::function<std::vector<float>(std::vector<float>, size_t, float)>& fill) {
  CellParts parts;
  const int I = s.in, R = s.out, C = s.cell > 0 ? s.cell : s.out;
  Nnet_Lstm_Cell::Params& p = parts.p;
  p.in = I;
  p.out = R;
  p.cell = C;
  p.layerNorm = s.layerNorm;
  p.peephole = s.peephole;
  p.forgetBias = s.forgetBias;
  p.activation = s.activation;
  parts.wx = MatOf(fill(s.wx, static_cast<size_t>(I) * 4 * C, 0.0f), I, 4 * C);
  parts.wr = MatOf(fill(s.wr, static_cast<size_t>(R) * 4 * C, 0.0f), R, 4 * C);
  p.wx = parts.wx.get();
  p.wr = parts.wr.get();
  if (s.layerNorm) {
    for (int k = 0; k < 5; ++k) {
      parts.gains[k] = VecOf(fill(s.normGain[k], C, 1.0f));
      parts.biases[k] = VecOf(fill(s.normBias[k], C, 0.0f));
      p.normGain[k] = parts.gains[k].get();
      p.normBias[k] = parts.biases[k].get();
    }
  } else {
    parts.gateBias = VecOf(fill(s.gateBias, 4 * static_cast<size_t>(C), 0.0f));
    p.gateBias = parts.gateBias.get();
  }
  if (s.peephole) {
    parts.pf = VecOf(fill(s.peepF, C, 0.0f));
    parts.pi = VecOf(fill(s.peepI, C, 0.0f));
    parts.po = VecOf(fill(s.peepO, C, 0.0f));
    p.peepF = parts.pf.get();
    p.peepI = parts.pi.get();
    p.peepO = parts.po.get();
  }
  if (C != R) {
    parts.proj = MatOf(fill(s.proj, static_cast<size_t>(C) * R, 0.0f), C, R);
    p.proj = parts.proj.get();
  }
  cell->SetParams(p);
}

NnetBuilder& NnetBuilder::Lstm(LstmCellDesc cell) {
  auto* layer = new Nnet_Lstm(cell.in, cell.out);
  SetCell(layer->cell, std::move(cell),
          [this](std::vector<float> v, size_t n, float c) { return Fill(std::move(v), n, c); });
  EXPECT_EQ(net_->AddComponent(layer), 0);
  return *this;
}

NnetBuilder& NnetBuilder::BLstm(LstmCellDesc fwd, LstmCellDesc bwd) {
  EXPECT_EQ(fwd.in, bwd.in);
  auto* layer = new Nnet_BLstm(fwd.in, fwd.out + bwd.out);
  auto fill = [this](std::vector<float> v, size_t n, float c) { return Fill(std::move(v), n, c); };
  SetCell(layer->fwdCell, std::move(fwd), fill);
  SetCell(layer->bwdCell, std::move(bwd), fill);
  EXPECT_EQ(net_->AddComponent(layer), 0);
  return *this;
}

NnetBuilder& NnetBuilder::BLstmProjected(BLstmProjectedDesc s) {
  EXPECT_EQ(s.out % 2, 0) << "the projected bidirectional LSTM needs an even output width";
  const int C = s.cell, P = s.out / 2, I = s.in;
  std::unique_ptr<ZMat> wx[2], wr[2], proj[2];
  std::unique_ptr<ZVec> bias[2], pi[2], pf[2], po[2];
  Nnet_BLstm2::StreamParams p[2];
  BLstmProjectedDesc::Stream* st[2] = {&s.fwd, &s.bwd};
  for (int k = 0; k < 2; ++k) {
    wx[k] = MatOf(Fill(st[k]->wx, 4 * static_cast<size_t>(C) * I), 4 * C, I);
    wr[k] = MatOf(Fill(st[k]->wr, 4 * static_cast<size_t>(C) * P), 4 * C, P);
    bias[k] = VecOf(Fill(st[k]->bias, 4 * static_cast<size_t>(C)));
    pi[k] = VecOf(Fill(st[k]->peepI, C));
    pf[k] = VecOf(Fill(st[k]->peepF, C));
    po[k] = VecOf(Fill(st[k]->peepO, C));
    proj[k] = MatOf(Fill(st[k]->proj, static_cast<size_t>(P) * C), P, C);
    p[k].wx = wx[k].get();
    p[k].wr = wr[k].get();
    p[k].bias = bias[k].get();
    p[k].peepI = pi[k].get();
    p[k].peepF = pf[k].get();
    p[k].peepO = po[k].get();
    p[k].proj = proj[k].get();
  }
  auto* layer = new Nnet_BLstm2(I, s.out);
  layer->SetParams(C, p[0], p[1]);
  EXPECT_EQ(net_->AddComponent(layer), 0);
  return *this;
}

NnetBuilder& NnetBuilder::Priors(const std::vector<float>& logPriors) {
  EXPECT_EQ(static_cast<int>(logPriors.size()), net_->outDim);
  if (static_cast<int>(logPriors.size()) == net_->outDim) net_->SetPrior(logPriors.data());
  return *this;
}

bool WritePriorFile(const std::string& path, const std::vector<float>& logPriors) {
  ZFileOutput out(path.c_str(), 0);
  if (!out.isValid()) return false;
  out.WriteToken("FV");
  int n = static_cast<int>(logPriors.size());
  out.WriteBasicType(&n);
  out.WriteArray(logPriors.data(), n);
  return true;
}

bool NnetBuilder::Write(const std::string& path) const { return net_->Write(path.c_str()) == 0; }

std::string NnetBuilder::Bytes() const {
  char* buf = nullptr;
  int used = 0;
  {
    ZBuffOutput out(buf, used, 0);
    net_->Write(&out);
  }
  std::string s(buf, used);
  std::free(buf);
  return s;
}

}  // namespace testing_support
