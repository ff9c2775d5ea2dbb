#include "engine/core/mat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

namespace __kestrel4__ {
namespace {

class MatTest : public ::testing::Test {
 protected:
  void SetUp() override { z_tables_acquire(kTablesVt); }
  void TearDown() override { z_tables_release(kTablesVt); }
};

TEST_F(MatTest, TableEntriesAndLookupIndices) {
  EXPECT_EQ(ZMat::m_plogtab2[16000], 0.5f);
  EXPECT_EQ(ZMat::m_plogtab3[16000], 0.0f);
  EXPECT_EQ(ZMat::m_plogtab2[32000], static_cast<float>(1.0 / (1.0 + expf(-16.0f))));
  EXPECT_EQ(ZMat::m_plogtab2[0], static_cast<float>(1.0 / (1.0 + expf(16.0f))));

  struct Case {
    float x;
    int index;
  } cases[] = {{20.0f, 32000}, {-20.0f, 0}, {0.0019f, 16001}, {-0.0019f, 15998}, {15.9f, 31900}, {0.0f, 16000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(z_tab_index(c.x), c.index);
    ZVec v(1);
    v.data[0] = c.x;
    v.RowSigMoid();
    EXPECT_EQ(v.data[0], ZMat::m_plogtab2[c.index]);
    v.data[0] = c.x;
    v.RowTanh();
    EXPECT_EQ(v.data[0], ZMat::m_plogtab3[c.index]);
  }
}

TEST_F(MatTest, QuickLogAddAndSoftMax) {
  EXPECT_NEAR(ZMat::QuickLogAdd(0.0f, 0.0f), std::log(2.0f), 1e-6);
  EXPECT_EQ(ZMat::QuickLogAdd(0.0f, -16.0f), 0.0f);
  EXPECT_EQ(ZMat::QuickLogAdd(-16.0f, 0.0f), 0.0f);

  ZVec two(2);
  two.RowSoftMax();
  EXPECT_NEAR(two.data[0], -std::log(2.0f), 1e-6);
  EXPECT_NEAR(two.data[1], -std::log(2.0f), 1e-6);
  ZVec one(1);
  one.data[0] = 3.5f;
  one.RowSoftMax();
  EXPECT_EQ(one.data[0], 0.0f);

  ZMat m(2, 3);
  for (int j = 0; j < 3; ++j) {
    m.row[0][j] = static_cast<float>(j);
    m.row[1][j] = 1.0f;
  }
  m.RowSoftMax();
  double total = 0;
  for (int j = 0; j < 3; ++j) total += std::exp(m.row[0][j]);
  EXPECT_NEAR(total, 1.0, 1e-3);
  EXPECT_NEAR(m.row[1][0], -std::log(3.0f), 1e-3);
}

TEST_F(MatTest, TablesSurviveAnotherFamilysExit) {
  z_tables_acquire(kTablesSl);
  z_tables_release(kTablesSl);  // the localiser leaves; the wake engine still runs
  ASSERT_NE(ZMat::m_plogtab1, nullptr);
  z_tables_acquire(kTablesVt);  // a repeated init of the same family needs no extra exit
  z_tables_release(kTablesVt);
  EXPECT_EQ(ZMat::m_plogtab1, nullptr);
  z_tables_acquire(kTablesVt);
}

TEST_F(MatTest, VectorStorageAndResizing) {
  ZVec v(5);
  EXPECT_EQ(v.Capacity(), 16);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data) % 16, 0u);
  v.data[2] = 4.0f;
  v.CheckMaxSize(3);  // smaller: keeps len, zeroes
  EXPECT_EQ(v.len, 5);
  EXPECT_EQ(v.data[2], 0.0f);
  v.CheckMaxSize(40);
  EXPECT_EQ(v.len, 40);
  EXPECT_EQ(v.Capacity(), 48);
  v.data[39] = 1.0f;

  ZVec r(3);
  r.data[0] = -1.0f;
  r.data[1] = 2.0f;
  EXPECT_EQ(r.RowActive("relu"), 1);  // case-sensitive: nothing changes
  EXPECT_EQ(r.data[0], -1.0f);
  EXPECT_EQ(r.RowActive("Relu"), 0);
  EXPECT_EQ(r.data[0], 0.0f);
  EXPECT_EQ(r.MaxId(), 1);
  ZVec empty(0);
  EXPECT_EQ(empty.MaxId(), 0);
}

TEST_F(MatTest, VectorArithmetic) {
  ZVec a(6), b(6), c(6);
  for (int i = 0; i < 6; ++i) {
    a.data[i] = static_cast<float>(i);
    b.data[i] = 2.0f;
    c.data[i] = 1.0f;
  }
  c.Add_aXY(&a, &b);
  EXPECT_EQ(c.data[5], 11.0f);
  EXPECT_FLOAT_EQ(a.Dot(&b), 30.0f);
  EXPECT_FLOAT_EQ(a.Dot(b.data), 30.0f);
  EXPECT_FLOAT_EQ(a.Sum(), 15.0f);
  c.Add_aX(&a, -1.0f);
  EXPECT_EQ(c.data[5], 6.0f);

  ZMat m(2, 3);
  m.FixInit();  // [[0,1,2],[1,2,3]]
  ZVec x(3), y(2), z(3);
  for (int j = 0; j < 3; ++j) x.data[j] = 1.0f;
  y.Add_aAX(&m, &x, 2.0f);
  EXPECT_EQ(y.data[0], 6.0f);
  EXPECT_EQ(y.data[1], 12.0f);
  ZVec w(2);
  w.data[0] = 1.0f;
  w.data[1] = 1.0f;
  z.Add_aATX(&m, &w, 1.0f);
  EXPECT_EQ(z.data[0], 1.0f);
  EXPECT_EQ(z.data[2], 5.0f);
  ZVec s(2);
  s.RowSum2(&m);
  EXPECT_EQ(s.data[1], 14.0f);
}

TEST_F(MatTest, MatrixProductsMatchNaive) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1, 1);
  ZMat A(5, 3), B(3, 6), C(5, 6), At(3, 5), Bt(6, 3);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 3; ++j) At.row[j][i] = A.row[i][j] = u(rng);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 6; ++j) Bt.row[j][i] = B.row[i][j] = u(rng);
  ZMat C1(5, 6), C2(5, 6);
  C.Add_aAB(&A, &B, 1.0f);
  C1.Add_aATB(&At, &B, 1.0f);
  C2.Add_aABT(&A, &Bt, 1.0f);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 6; ++j) {
      double ref = 0;
      for (int k = 0; k < 3; ++k) ref += A.row[i][k] * B.row[k][j];
      EXPECT_NEAR(C.row[i][j], ref, 1e-5);
      EXPECT_NEAR(C1.row[i][j], ref, 1e-5);
      EXPECT_NEAR(C2.row[i][j], ref, 1e-5);
    }
  // Padding cells of the destination stay untouched by the products.
  EXPECT_EQ(C.row[0][6], 0.0f);
  EXPECT_EQ(C.row[0][7], 0.0f);

  ZMat S(3, 3);
  S.FixInit();
  ZVec x(3), y(3);
  x.data[0] = 1.0f;
  y.Add_aAX_Sy(&S, &x, 1.0f);
  EXPECT_EQ(y.data[2], 2.0f);
  ZMat O(2, 3);
  O.Add_aXYT(&x, &y, 1.0f);
  EXPECT_EQ(O.row[0][1], 1.0f);
}

TEST_F(MatTest, SerialisationRoundTripsAndLayouts) {
  ZMat m(3, 5);
  m.FixInit();
  char* buf = nullptr;
  int used = 0;
  {
    ZBuffOutput out(buf, used, 0);
    m.Write(&out);
  }
  // "FM " + 2 counts of 5 bytes + 15 floats, no padding columns.
  ASSERT_EQ(used, 3 + 10 + 60);
  EXPECT_EQ(std::string(buf, 3), "FM ");
  {
    ZBuffInput in(buf, used, 0);
    ZMat back(3, 5);
    back.Read(&in);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 5; ++j) EXPECT_EQ(back.row[i][j], m.row[i][j]);
  }
  {
    // Stored counts larger than the matrix: what fits is read, nothing is
    // written past the storage (the sanitizer build checks this).
    ZBuffInput in(buf, used, 0);
    ZMat small(2, 2);
    small.Read(&in);
    EXPECT_EQ(small.row[1][1], 2.0f);
    EXPECT_EQ(small.row[0][2], 0.0f);  // padding untouched
  }
  std::free(buf);

  ZMat sy(3, 3);
  sy.FixInit();
  sy.row[0][2] = 9.0f;  // upper triangle is not stored
  buf = nullptr;
  used = 0;
  {
    ZBuffOutput out(buf, used, 0);
    sy.Write_Sy(&out);
  }
  ASSERT_EQ(used, 3 + 5 + 24);
  {
    ZBuffInput in(buf, used, 0);
    ZMat back(3, 3);
    back.Read_Sy(&in);
    EXPECT_EQ(back.row[0][2], 2.0f);
    EXPECT_EQ(back.row[2][0], 2.0f);
  }
  std::free(buf);

  ZVec v(3);
  v.data[1] = 1.25f;
  buf = nullptr;
  used = 0;
  {
    ZBuffOutput out(buf, used, 0);
    v.Write(&out);
  }
  ASSERT_EQ(used, 3 + 5 + 12);
  {
    ZBuffInput in(buf, used, 0);
    ZVec back(3);
    back.Read(&in);
    EXPECT_EQ(back.data[1], 1.25f);
    ZBuffInput other(buf, used, 5);  // unknown type: reads nothing
    ZVec none(3);
    none.Read(&other);
    EXPECT_EQ(none.data[1], 0.0f);
  }
  std::free(buf);
}

TEST_F(MatTest, PhaseTransformOfCrossSpectra) {
  const int N = 512;
  ZCMat spectra(2, N), out(1, N);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1, 1);
  for (int k = 0; k < N; ++k) {
    spectra.row[0][k] = spectra.row[1][k] = ZComplex{u(rng), u(rng)};
  }
  spectra.row[0][5] = spectra.row[1][5] = ZComplex{0.0f, 0.0f};
  ZMat pairs(1, 2);
  int ids[2] = {0, 1};
  std::memcpy(pairs.row[0], ids, sizeof(ids));
  for (int k = 0; k < N; ++k) out.row[0][k] = ZComplex{-7.0f, -7.0f};
  ZCMat::CalcGcc(&spectra, &pairs, &out);
  for (int k = 0; k < 260; ++k) {
    if (k == 5) continue;
    SCOPED_TRACE(k);
    EXPECT_NEAR(out.row[0][k].re, 1.0f, 1e-6);
    EXPECT_EQ(out.row[0][k].im, 0.0f);
  }
  EXPECT_TRUE(std::isnan(out.row[0][5].re));
  EXPECT_TRUE(std::isnan(out.row[0][5].im));
  EXPECT_EQ(out.row[0][260].re, -7.0f);  // 260 bins written, no more
}

}  // namespace
}  // namespace __kestrel4__
