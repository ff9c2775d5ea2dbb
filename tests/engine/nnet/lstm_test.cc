#include "engine/nnet/lstm.h"

#include <cmath>

#include "tests/engine/nnet/nnet_test_util.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunBlock;

float Sig(float x) { return ZMat::m_plogtab2[z_tab_index(x)]; }
float Tanh(float x) { return ZMat::m_plogtab3[z_tab_index(x)]; }
float Act(const std::string& a, float x) {
  if (a == "Tanh") return Tanh(x);
  if (a == "Sigmoid") return Sig(x);
  if (a == "Relu") return x < 0 ? 0.0f : x;
  return x;
}

// All parameters of one cell as plain lists in the file's orientation, with a
// direct evaluation written from the cell's equations.
struct Cell {
  int I = 0, R = 0, C = 0;
  bool ln = false, peep = false;
  float forgetBias = 0.0f;
  std::string act = "Tanh";
  std::vector<float> wx, wr, gateBias, gain[5], nbias[5], pF, pI, pO, proj;

  static Cell Random(int I, int R, int C, bool ln, bool peep, const std::string& act, uint32_t seed) {
    Cell c;
    c.I = I;
    c.R = R;
    c.C = C;
    c.ln = ln;
    c.peep = peep;
    c.act = act;
    c.forgetBias = ln ? 0.0f : 0.75f;
    c.wx = nnet_test::Random(I * 4 * C, seed, 0.6f);
    c.wr = nnet_test::Random(R * 4 * C, seed + 1, 0.6f);
    c.gateBias = nnet_test::Random(4 * C, seed + 2, 0.5f);
    for (int k = 0; k < 5; ++k) {
      c.gain[k] = nnet_test::Random(C, seed + 10 + k, 0.3f);
      for (float& g : c.gain[k]) g += 1.0f;
      c.nbias[k] = nnet_test::Random(C, seed + 20 + k, 0.3f);
    }
    c.pF = nnet_test::Random(C, seed + 3, 0.5f);
    c.pI = nnet_test::Random(C, seed + 4, 0.5f);
    c.pO = nnet_test::Random(C, seed + 5, 0.5f);
    c.proj = nnet_test::Random(C * R, seed + 6, 0.6f);
    return c;
  }

  // Installs the parameters into a cell object.
  void Install(Nnet_Lstm_Cell* cell) const {
    // Only the parts this configuration uses are filled (and handed over).
    auto WX = Plain(I, 4 * C, wx), WR = Plain(R, 4 * C, wr);
    std::unique_ptr<ZMat> P;
    if (C != R) P = Plain(C, R, proj);
    auto vec = [](const std::vector<float>& v) {
      std::unique_ptr<ZVec> z(new ZVec(static_cast<int>(v.size())));
      for (size_t i = 0; i < v.size(); ++i) z->data[i] = v[i];
      return z;
    };
    std::unique_ptr<ZVec> gb, f, i, o, g[5], b[5];
    Nnet_Lstm_Cell::Params p;
    p.in = I;
    p.out = R;
    p.cell = C;
    p.layerNorm = ln;
    p.peephole = peep;
    p.forgetBias = forgetBias;
    p.activation = act;
    p.wx = WX.get();
    p.wr = WR.get();
    if (ln) {
      for (int k = 0; k < 5; ++k) {
        g[k] = vec(gain[k]);
        b[k] = vec(nbias[k]);
        p.normGain[k] = g[k].get();
        p.normBias[k] = b[k].get();
      }
    } else {
      gb = vec(gateBias);
      p.gateBias = gb.get();
    }
    if (peep) {
      f = vec(pF);
      i = vec(pI);
      o = vec(pO);
      p.peepF = f.get();
      p.peepI = i.get();
      p.peepO = o.get();
    }
    p.proj = P.get();
    cell->SetParams(p);
  }

  void Norm(std::vector<float>& v, int k) const {
    double s = 0, s2 = 0;
    for (float x : v) {
      s += x;
      s2 += static_cast<double>(x) * x;
    }
    const double mean = s / C, var = s2 / C - mean * mean;
    for (int j = 0; j < C; ++j) {
      v[j] = static_cast<float>((v[j] - mean) / std::sqrt(var + static_cast<double>(1e-5f)));
      v[j] = v[j] * gain[k][j];
      v[j] = v[j] + nbias[k][j];
    }
  }

  // T x R outputs for T x I inputs.
  std::vector<float> Run(const std::vector<float>& x, int T, bool forward) const {
    std::vector<float> out(T * R), c(C, 0.0f), r(R, 0.0f);
    for (int n = 0; n < T; ++n) {
      const int t = forward ? n : T - 1 - n;
      std::vector<float> z(4 * C);
      for (int j = 0; j < 4 * C; ++j) {
        float acc = 0.0f;
        for (int i = 0; i < I; ++i) acc = acc + x[t * I + i] * wx[i * 4 * C + j];
        if (!ln) acc = acc + gateBias[j];
        for (int k = 0; k < R; ++k) acc = acc + wr[k * 4 * C + j] * r[k];
        z[j] = acc;
      }
      std::vector<float> g(z.begin(), z.begin() + C), ig(z.begin() + C, z.begin() + 2 * C),
          f(z.begin() + 2 * C, z.begin() + 3 * C), o(z.begin() + 3 * C, z.end()), m(C);
      if (ln) {
        if (peep)
          for (int j = 0; j < C; ++j) {
            f[j] = f[j] + pF[j] * c[j];
            ig[j] = ig[j] + pI[j] * c[j];
          }
        Norm(ig, 0);
        Norm(g, 1);
        Norm(f, 2);
        for (int j = 0; j < C; ++j) {
          c[j] = c[j] * Sig(f[j]);
          c[j] = c[j] + Sig(ig[j]) * Act(act, g[j]);
        }
        if (peep)
          for (int j = 0; j < C; ++j) o[j] = o[j] + pO[j] * c[j];
        m = c;
        Norm(m, 3);
        for (float& v : m) v = Act(act, v);
        Norm(o, 4);
        for (float& v : o) v = Sig(v);
      } else {
        for (int j = 0; j < C; ++j) {
          float fj = f[j] + forgetBias;
          if (peep) fj = fj + pF[j] * c[j];
          float ij = ig[j];
          if (peep) ij = ij + pI[j] * c[j];
          c[j] = c[j] * Sig(fj);
          c[j] = c[j] + Sig(ij) * Act(act, g[j]);
          float oj = o[j];
          if (peep) oj = oj + pO[j] * c[j];
          o[j] = Sig(oj);
          m[j] = Act(act, c[j]);
        }
      }
      for (int j = 0; j < C; ++j) m[j] = m[j] * o[j];
      if (C == R) {
        r = m;
      } else {
        for (int k = 0; k < R; ++k) {
          float acc = 0.0f;
          for (int j = 0; j < C; ++j) acc = acc + proj[j * R + k] * m[j];
          r[k] = acc;
        }
      }
      for (int k = 0; k < R; ++k) out[t * R + k] = r[k];
    }
    return out;
  }
};

class LstmTest : public nnet_test::TablesTest {};

TEST_F(LstmTest, ZeroCellGivesHalfGatesAndZeroOutput) {
  Nnet_Lstm layer(3, 2);
  Cell c;
  c.I = 3;
  c.R = c.C = 2;
  c.wx.assign(3 * 8, 0.0f);
  c.wr.assign(2 * 8, 0.0f);
  c.gateBias.assign(8, 0.0f);
  c.Install(layer.cell);
  std::unique_ptr<Nnet_Component_Memory> mem(layer.GeneratePropagateMemory(4));
  std::vector<float> y = RunBlock(&layer, *Plain(1, 3, {0.3f, -2.0f, 5.0f}), mem.get());
  EXPECT_EQ(y, (std::vector<float>{0.0f, 0.0f}));
  Nnet_Memory_Lstm_Cell* cm = static_cast<Nnet_Memory_Lstm*>(mem.get())->cellMem;
  for (int j = 0; j < 2; ++j) {
    EXPECT_EQ(cm->g->data[j], 0.0f);
    EXPECT_EQ(cm->i->data[j], 0.5f);
    EXPECT_EQ(cm->f->data[j], 0.5f);
    EXPECT_EQ(cm->o->data[j], 0.5f);
    EXPECT_EQ(cm->c->data[j], 0.0f);
  }
}

TEST_F(LstmTest, ForgetBiasOnlyScalesTheZeroState) {
  Nnet_Lstm layer(4, 3);
  Cell c;
  c.I = 4;
  c.R = c.C = 3;
  c.forgetBias = 1.0f;
  c.wx.assign(4 * 12, 0.0f);
  c.wr.assign(3 * 12, 0.0f);
  c.gateBias.assign(12, 0.0f);
  c.Install(layer.cell);
  std::unique_ptr<Nnet_Component_Memory> mem(layer.GeneratePropagateMemory(4));
  std::vector<float> y = RunBlock(&layer, *Plain(5, 4, Random(20, 61, 3.0f)), mem.get());
  for (float v : y) EXPECT_EQ(v, 0.0f);
  Nnet_Memory_Lstm_Cell* cm = static_cast<Nnet_Memory_Lstm*>(mem.get())->cellMem;
  EXPECT_EQ(cm->f->data[0], ZMat::m_plogtab2[z_tab_index(1.0f)]);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(cm->c->data[j], 0.0f);
}

TEST_F(LstmTest, CellsFollowTheirEquationsWithEveryOption) {
  struct Case {
    bool ln, peep;
    int C;  // != R: projection
    const char* act;
  } cases[] = {{false, false, 5, "Tanh"}, {false, true, 5, "Tanh"},   {false, true, 7, "Sigmoid"},
               {true, false, 5, "Tanh"},  {true, true, 7, "Relu"},     {true, true, 5, "Identity"},
               {false, false, 9, "Relu"}, {false, true, 3, "Identity"}};
  const int I = 6, R = 5, T = 7;
  uint32_t seed = 100;
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string("layerNorm ") + (k.ln ? "on" : "off") + ", peephole " + (k.peep ? "on" : "off") +
                 ", cell " + std::to_string(k.C) + ", " + k.act);
    Cell fwd = Cell::Random(I, R, k.C, k.ln, k.peep, k.act, seed += 50);
    Cell bwd = Cell::Random(I, R, k.C, k.ln, k.peep, k.act, seed += 50);
    auto x = Random(T * I, seed + 7, 1.5f);
    auto block = Plain(T, I, x);

    Nnet_Lstm lstm(I, R);
    fwd.Install(lstm.cell);
    std::vector<float> y = RunBlock(&lstm, *block);
    std::vector<float> want = fwd.Run(x, T, true);
    for (size_t j = 0; j < want.size(); ++j) ASSERT_NEAR(y[j], want[j], 1e-5) << j;

    Nnet_BLstm blstm(I, 2 * R);
    fwd.Install(blstm.fwdCell);
    bwd.Install(blstm.bwdCell);
    std::vector<float> yb = RunBlock(&blstm, *block);
    std::vector<float> wantB = bwd.Run(x, T, false);
    for (int t = 0; t < T; ++t)
      for (int j = 0; j < R; ++j) {
        ASSERT_NEAR(yb[t * 2 * R + j], want[t * R + j], 1e-5) << t << "," << j;
        ASSERT_NEAR(yb[t * 2 * R + R + j], wantB[t * R + j], 1e-5) << t << "," << j;
      }
  }
}

TEST_F(LstmTest, BlocksAreCompleteSequences) {
  const int I = 4, R = 3, T = 6;
  Nnet_BLstm layer(I, 2 * R);
  Cell::Random(I, R, R, false, true, "Tanh", 300).Install(layer.fwdCell);
  Cell::Random(I, R, R, false, true, "Tanh", 400).Install(layer.bwdCell);
  EXPECT_EQ(layer.outDim, 6);
  std::unique_ptr<Nnet_Component_Memory> mem(layer.GeneratePropagateMemory(2));
  auto a = Random(T * I, 71), b = Random(T * I, 72);
  // b shares its first and last frame with a.
  for (int i = 0; i < I; ++i) {
    b[i] = a[i];
    b[(T - 1) * I + i] = a[(T - 1) * I + i];
  }
  std::vector<float> ya = RunBlock(&layer, *Plain(T, I, a), mem.get());
  std::vector<float> yb = RunBlock(&layer, *Plain(T, I, b), mem.get());
  std::vector<float> ya2 = RunBlock(&layer, *Plain(T, I, a), mem.get());
  EXPECT_EQ(ya, ya2);  // nothing carried from one call to the next
  for (int j = 0; j < R; ++j) {
    EXPECT_EQ(ya[j], yb[j]);                                   // forward, first frame
    EXPECT_EQ(ya[(T - 1) * 2 * R + R + j], yb[(T - 1) * 2 * R + R + j]);  // backward, last frame
    EXPECT_NE(ya[(T - 1) * 2 * R + j], yb[(T - 1) * 2 * R + j]);         // forward, last frame: history
  }
  // A shorter block in the grown memory gives what a fresh memory gives.
  std::vector<float> shortA = RunBlock(&layer, *Plain(2, I, a), mem.get());
  EXPECT_EQ(shortA, RunBlock(&layer, *Plain(2, I, a)));
}

TEST_F(LstmTest, OneFramePathPassesTheFrameThrough) {
  Nnet_Lstm lstm(3, 3);
  Cell::Random(3, 3, 3, false, false, "Tanh", 500).Install(lstm.cell);
  Nnet_BLstm blstm(3, 6);
  Cell::Random(3, 3, 3, false, false, "Tanh", 501).Install(blstm.fwdCell);
  Cell::Random(3, 3, 3, false, false, "Tanh", 502).Install(blstm.bwdCell);
  for (Nnet_Component* c : {static_cast<Nnet_Component*>(&lstm), static_cast<Nnet_Component*>(&blstm)}) {
    std::unique_ptr<Nnet_Component_Memory> mem(c->GeneratePropagateMemory(1));
    ZVec x(3);
    x.data[0] = 1.0f;
    ZVec* cur = &x;
    c->PropagateFnc_Vec(cur, mem.get(), cur);
    EXPECT_EQ(cur, &x);
    EXPECT_EQ(x.data[0], 1.0f);
    EXPECT_FALSE(c->HasFrameForm());
  }
}

}  // namespace
}  // namespace __kestrel4__
