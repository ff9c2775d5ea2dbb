#include "engine/nnet/blstm2.h"

#include "tests/engine/nnet/nnet_test_util.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunBlock;

float Sig(float x) { return ZMat::m_plogtab2[z_tab_index(x)]; }
float Tanh(float x) { return ZMat::m_plogtab3[z_tab_index(x)]; }

struct Stream {
  std::vector<float> wx, wr, bias, pI, pF, pO, proj;  // file orientation
};

Stream RandomStream(int I, int C, int P, uint32_t seed) {
  return Stream{Random(4 * C * I, seed, 0.5f),     Random(4 * C * P, seed + 1, 0.5f), Random(4 * C, seed + 2, 0.5f),
                Random(C, seed + 3, 0.5f),         Random(C, seed + 4, 0.5f),         Random(C, seed + 5, 0.5f),
                Random(P * C, seed + 6, 0.5f)};
}

// The stream's equations, written out directly; result T x P.
std::vector<float> RunStream(const Stream& s, const std::vector<float>& x, int T, int I, int C, int P, bool forward) {
  std::vector<float> out(T * P), c(C, 0.0f), r(P, 0.0f);
  for (int n = 0; n < T; ++n) {
    const int t = forward ? n : T - 1 - n;
    std::vector<float> z(4 * C);
    for (int j = 0; j < 4 * C; ++j) {
      float acc = 0.0f;
      for (int i = 0; i < I; ++i) acc = acc + x[t * I + i] * s.wx[j * I + i];
      acc = acc + s.bias[j];
      for (int k = 0; k < P; ++k) acc = acc + s.wr[j * P + k] * r[k];
      z[j] = acc;
    }
    std::vector<float> m(C);
    for (int j = 0; j < C; ++j) {
      const float ig = Sig(z[C + j] + s.pI[j] * c[j]);
      const float f = Sig(z[2 * C + j] + s.pF[j] * c[j]);
      const float g = Tanh(z[j]);
      c[j] = c[j] * f;
      c[j] = c[j] + ig * g;
      const float h = Tanh(c[j]);
      const float o = Sig(z[3 * C + j] + s.pO[j] * c[j]);
      m[j] = h * o;
    }
    for (int k = 0; k < P; ++k) {
      float acc = 0.0f;
      for (int j = 0; j < C; ++j) acc = acc + s.proj[k * C + j] * m[j];
      r[k] = acc;
    }
    for (int k = 0; k < P; ++k) out[t * P + k] = r[k];
  }
  return out;
}

class BLstm2Test : public nnet_test::TablesTest {};

TEST_F(BLstm2Test, StreamsFollowTheirEquationsSideBySide) {
  const int I = 5, C = 6, out = 6, P = 3, T = 9;
  Stream fwd = RandomStream(I, C, P, 800), bwd = RandomStream(I, C, P, 900);
  std::unique_ptr<ZMat> m[2][3];
  std::unique_ptr<ZVec> v[2][4];
  Nnet_BLstm2::StreamParams p[2];
  const Stream* s[2] = {&fwd, &bwd};
  auto vec = [](const std::vector<float>& src) {
    std::unique_ptr<ZVec> z(new ZVec(static_cast<int>(src.size())));
    for (size_t i = 0; i < src.size(); ++i) z->data[i] = src[i];
    return z;
  };
  for (int k = 0; k < 2; ++k) {
    m[k][0] = Plain(4 * C, I, s[k]->wx);
    m[k][1] = Plain(4 * C, P, s[k]->wr);
    m[k][2] = Plain(P, C, s[k]->proj);
    v[k][0] = vec(s[k]->bias);
    v[k][1] = vec(s[k]->pI);
    v[k][2] = vec(s[k]->pF);
    v[k][3] = vec(s[k]->pO);
    p[k].wx = m[k][0].get();
    p[k].wr = m[k][1].get();
    p[k].proj = m[k][2].get();
    p[k].bias = v[k][0].get();
    p[k].peepI = v[k][1].get();
    p[k].peepF = v[k][2].get();
    p[k].peepO = v[k][3].get();
  }
  Nnet_BLstm2 layer(I, out);
  layer.SetParams(C, p[0], p[1]);
  auto x = Random(T * I, 901, 1.5f);
  std::unique_ptr<Nnet_Component_Memory> mem(layer.GeneratePropagateMemory(4));
  std::vector<float> y = RunBlock(&layer, *Plain(T, I, x), mem.get());
  std::vector<float> wf = RunStream(fwd, x, T, I, C, P, true), wb = RunStream(bwd, x, T, I, C, P, false);
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < P; ++k) {
      ASSERT_NEAR(y[t * out + k], wf[t * P + k], 1e-5) << t << "," << k;
      ASSERT_NEAR(y[t * out + P + k], wb[t * P + k], 1e-5) << t << "," << k;
    }
  // Nothing is carried between calls, and the grown memory serves a shorter
  // block.
  EXPECT_EQ(RunBlock(&layer, *Plain(T, I, x), mem.get()), y);
  std::vector<float> shortY = RunBlock(&layer, *Plain(2, I, x), mem.get());
  EXPECT_EQ(shortY, RunBlock(&layer, *Plain(2, I, x)));
  EXPECT_FALSE(layer.HasFrameForm());
}

}  // namespace
}  // namespace __kestrel4__
