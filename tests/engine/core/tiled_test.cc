#include "engine/core/tiled.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace __kestrel4__ {
namespace {

constexpr uint32_t kSeed = 20240611;

// Values spread over many binary orders of magnitude and both signs, so that
// any change in the order of additions shows in the low bits.
float SpreadValue(std::mt19937& rng) {
  std::uniform_real_distribution<float> mant(0.5f, 1.0f);
  std::uniform_int_distribution<int> expo(-12, 12);
  float v = std::ldexp(mant(rng), expo(rng));
  return (rng() & 1) ? -v : v;
}

void FillPlain(ZMat* m, std::mt19937& rng) {
  for (int i = 0; i < m->rows; ++i)
    for (int j = 0; j < m->cols; ++j) m->row[i][j] = SpreadValue(rng);
}

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// Flat index of the logical cell (i, j) in the stored tiles.
int FlatIndex(const ZMat_Neon& t, int i, int j) {
  if (!t.transposed) return ((i / 4) * t.blockCols + j / 4) * 16 + 4 * (j % 4) + i % 4;
  // Transposed form: M(4J + c, 4I + r) sits at float 4c + r of tile (I, J).
  return ((j / 4) * t.blockCols + i / 4) * 16 + 4 * (i % 4) + j % 4;
}

float Cell(const ZMat_Neon& t, int i, int j) { return t.blocks[0][FlatIndex(t, i, j)]; }

// ----------------------------------------------------------------- layout

TEST(TiledLayout, PaddingListsOfTheFiveBySixMatrix) {
  ZMat_Neon std56(5, 6, false);
  EXPECT_EQ(std56.blockRows, 2);
  EXPECT_EQ(std56.blockCols, 2);
  ASSERT_EQ(std56.padCount, 34);
  const std::vector<int> head = {24, 25, 26, 27, 28, 29, 30, 31, 33, 34, 35, 37};
  EXPECT_EQ(std::vector<int>(std56.padList, std56.padList + head.size()), head);

  ZMat_Neon tr56(5, 6, true);
  EXPECT_EQ(tr56.blockRows, 2);
  EXPECT_EQ(tr56.blockCols, 2);
  ASSERT_EQ(tr56.padCount, 34);
  EXPECT_EQ(tr56.padList[0], 20);
  EXPECT_EQ(tr56.padList[1], 21);
  EXPECT_EQ(tr56.padList[2], 22);

  ZMat_Neon full(4, 8, false);
  EXPECT_EQ(full.padCount, 0);
  EXPECT_EQ(full.padList, nullptr);
}

TEST(TiledLayout, PaddingListHoldsExactlyTheCellsOutsideTheMatrix) {
  const int shapes[][2] = {{1, 1}, {3, 9}, {7, 4}, {8, 5}, {13, 11}, {4, 4}, {16, 3}};
  for (const auto& s : shapes) {
    for (bool tr : {false, true}) {
      SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + (tr ? " transposed" : " standard"));
      ZMat_Neon t(s[0], s[1], tr);
      std::vector<char> real(t.blockRows * t.blockCols * 16, 0);
      for (int i = 0; i < s[0]; ++i)
        for (int j = 0; j < s[1]; ++j) real[FlatIndex(t, i, j)] = 1;
      std::vector<int> expected;
      for (size_t k = 0; k < real.size(); ++k)
        if (!real[k]) expected.push_back(static_cast<int>(k));
      EXPECT_EQ(std::vector<int>(t.padList, t.padList + t.padCount), expected);
    }
  }
}

TEST(TiledLayout, ConversionsPlaceCellsAndRoundTrip) {
  std::mt19937 rng(kSeed);
  const int shapes[][2] = {{5, 6}, {1, 1}, {4, 8}, {9, 3}, {12, 17}};
  for (const auto& s : shapes) {
    for (bool tr : {false, true}) {
      SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + (tr ? " transposed" : " standard"));
      ZMat m(s[0], s[1]);
      FillPlain(&m, rng);
      ZMat_Neon t(s[0], s[1], tr);
      t.CopyFrom(&m);
      for (int i = 0; i < s[0]; ++i)
        for (int j = 0; j < s[1]; ++j) ASSERT_EQ(Cell(t, i, j), m.row[i][j]) << i << "," << j;
      for (int k = 0; k < t.padCount; ++k) EXPECT_EQ(t.blocks[0][t.padList[k]], 0.0f);

      ZMat back(s[0], s[1]);
      for (int i = 0; i < s[0]; ++i)
        for (int j = 0; j < back.stride; ++j) back.row[i][j] = 7.0f;  // overwritten, padding included
      t.CopyTo(&back);
      for (int i = 0; i < s[0]; ++i) {
        for (int j = 0; j < s[1]; ++j) ASSERT_EQ(back.row[i][j], m.row[i][j]);
        for (int j = s[1]; j < back.stride; ++j) ASSERT_EQ(back.row[i][j], 0.0f);
      }
    }
  }
}

TEST(TiledLayout, StoredLikeAPlainMatrix) {
  std::mt19937 rng(kSeed + 1);
  ZMat m(3, 5);
  FillPlain(&m, rng);
  ZMat_Neon t(3, 5, false);
  t.CopyFrom(&m);
  ZMat_Neon tt(3, 5, true);
  tt.CopyFrom(&m);

  char* plain = nullptr;
  char* tiled = nullptr;
  char* tiledT = nullptr;
  int nPlain = 0, nTiled = 0, nTiledT = 0;
  {
    ZBuffOutput o1(plain, nPlain, 0), o2(tiled, nTiled, 0), o3(tiledT, nTiledT, 0);
    m.Write(&o1);
    t.Write(&o2);
    tt.Write(&o3);
  }
  ASSERT_EQ(nPlain, 3 + 2 * 5 + 15 * 4);  // "FM ", two headed counts, 15 floats
  EXPECT_EQ(std::string(plain, nPlain), std::string(tiled, nTiled));
  EXPECT_EQ(std::string(plain, nPlain), std::string(tiledT, nTiledT));

  ZBuffInput in(tiled, nTiled, 0);
  ZMat_Neon r(3, 5, false);
  r.Read(&in);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 5; ++j) EXPECT_EQ(Cell(r, i, j), m.row[i][j]);
  std::free(plain);
  std::free(tiled);
  std::free(tiledT);
}

TEST(TiledLayout, RowCopiesResetRowAndActivations) {
  ZMat::InitQuickExp();
  ZVec bias(6);
  for (int j = 0; j < 6; ++j) bias.data[j] = static_cast<float>(j) - 2.5f;
  ZMat_Neon b4(4, 6, false);
  b4.RowCopy_4(&bias);
  ZMat_Neon out(9, 6, false);
  out.RowCopy_N(&b4);
  for (int i = 0; i < 9; ++i)
    for (int j = 0; j < 6; ++j) ASSERT_EQ(Cell(out, i, j), bias.data[j]);

  out.ResetRow(5);
  EXPECT_EQ(out.rows, 5);
  EXPECT_EQ(out.blockRows, 2);
  EXPECT_EQ(out.blockCols, 2);

  ZMat_Neon sig(5, 6, false);
  sig.RowCopy_N(&b4);
  sig.RowSigMoid();
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_EQ(Cell(sig, i, j), ZMat::m_plogtab2[z_tab_index(bias.data[j])]);
  for (int k = 0; k < sig.padCount; ++k) EXPECT_EQ(sig.blocks[0][sig.padList[k]], 0.0f) << sig.padList[k];

  ZMat_Neon relu(5, 6, false);
  relu.RowCopy_N(&b4);
  relu.RowTanh();
  for (int j = 0; j < 6; ++j) EXPECT_EQ(Cell(relu, 4, j), ZMat::m_plogtab3[z_tab_index(bias.data[j])]);
  relu.RowCopy_N(&b4);
  relu.RowRelu();
  for (int j = 0; j < 6; ++j) EXPECT_EQ(Cell(relu, 2, j), bias.data[j] < 0 ? 0.0f : bias.data[j]);
  ZMat::ExitQuickExp();
}

// ----------------------------------------------------------------- kernels

// The order every path must follow, computed cell by cell straight from the
// logical matrices: start from C, then for every term of the shared
// dimension (ascending) one rounded multiply and one rounded add.
float OrderedDot(float start, const ZMat& A, int i, const ZMat& B, int j) {
  float acc = start;
  for (int k = 0; k < A.cols; ++k) {
    float p = A.row[i][k] * B.row[k][j];
    acc = acc + p;
  }
  return acc;
}

class TiledPathTest : public ::testing::TestWithParam<ZTilePath> {
 protected:
  void SetUp() override {
    saved_ = z_tile_path();
    if (!z_tile_path_available(GetParam()))
      GTEST_SKIP() << "path " << z_tile_path_name(GetParam()) << " is not offered by this processor or build";
    ASSERT_TRUE(z_tile_force_path(GetParam()));
  }
  void TearDown() override { z_tile_force_path(saved_); }
  ZTilePath saved_ = kTilePathRef;
};

TEST_P(TiledPathTest, SmallProductsAreExact) {
  // A 5 x 6, B 6 x 7, x of 6: integers, so every path gives the exact values.
  ZMat a(5, 6), b(6, 7);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 6; ++j) a.row[i][j] = static_cast<float>(i - j + 1);
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 7; ++j) b.row[i][j] = static_cast<float>((i * 3 + j) % 5 - 2);
  ZMat_Neon A(5, 6, false), B(6, 7, false), C(5, 7, false);
  A.CopyFrom(&a);
  B.CopyFrom(&b);
  C.Clean();
  C.Add_aAB_NEON(&A, &B);
  ZMat c(5, 7);
  C.CopyTo(&c);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 7; ++j) {
      float want = 0;
      for (int k = 0; k < 6; ++k) want += a.row[i][k] * b.row[k][j];
      EXPECT_EQ(c.row[i][j], want) << i << "," << j;
    }

  ZVec x(6), y(5);
  for (int k = 0; k < 6; ++k) x.data[k] = static_cast<float>(k + 1);
  y.Add_aAX_NENO(&A, &x);
  for (int i = 0; i < 5; ++i) {
    float want = 0;
    for (int k = 0; k < 6; ++k) want += a.row[i][k] * x.data[k];
    EXPECT_EQ(y.data[i], want) << i;
  }
}

TEST_P(TiledPathTest, BlockedProductFollowsTheFixedOrderBitForBit) {
  std::mt19937 rng(kSeed + 2);
  // Rows x shared x cols, chosen to hit every tail of the SIMD walks (odd tile
  // columns, single tile rows, padding in every dimension, more than 512 tile
  // columns).
  const int shapes[][3] = {{1, 1, 1},   {4, 4, 4},    {4, 957, 512}, {5, 6, 7},   {3, 17, 9},   {8, 12, 20},
                           {12, 33, 13}, {16, 8, 28}, {7, 64, 36},   {150, 23, 6}, {9, 7, 2061}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    SCOPED_TRACE(std::string("seed ") + std::to_string(kSeed + 2) + " shape " + std::to_string(M) + "x" +
                 std::to_string(K) + "x" + std::to_string(N));
    ZMat a(M, K), b(K, N), c0(M, N);
    FillPlain(&a, rng);
    FillPlain(&b, rng);
    FillPlain(&c0, rng);
    ZMat_Neon A(M, K, false), B(K, N, false), C(M, N, false);
    A.CopyFrom(&a);
    B.CopyFrom(&b);
    C.CopyFrom(&c0);
    C.Add_aAB_NEON(&A, &B);
    ZMat c(M, N);
    C.CopyTo(&c);
    int mismatches = 0;
    for (int i = 0; i < M; ++i)
      for (int j = 0; j < N; ++j)
        if (Bits(c.row[i][j]) != Bits(OrderedDot(c0.row[i][j], a, i, b, j))) ++mismatches;
    EXPECT_EQ(mismatches, 0);
  }
}

TEST_P(TiledPathTest, MatrixVectorFollowsTheFixedOrderBitForBit) {
  std::mt19937 rng(kSeed + 3);
  const int shapes[][2] = {{1, 1}, {5, 6}, {512, 957}, {8, 4}, {13, 29}, {36, 12}, {44, 3}, {5191, 20}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1];
    SCOPED_TRACE(std::string("seed ") + std::to_string(kSeed + 3) + " shape " + std::to_string(M) + "x" +
                 std::to_string(K));
    ZMat a(M, K), xm(K, 1);
    FillPlain(&a, rng);
    FillPlain(&xm, rng);
    ZVec x(K), y(M), y0(M);
    for (int k = 0; k < K; ++k) x.data[k] = xm.row[k][0];
    for (int i = 0; i < M; ++i) y.data[i] = y0.data[i] = SpreadValue(rng);
    ZMat_Neon A(M, K, false);
    A.CopyFrom(&a);
    y.Add_aAX_NENO(&A, &x);
    int mismatches = 0;
    for (int i = 0; i < M; ++i)
      if (Bits(y.data[i]) != Bits(OrderedDot(y0.data[i], a, i, xm, 0))) ++mismatches;
    EXPECT_EQ(mismatches, 0);
  }
}

TEST_P(TiledPathTest, FiniteGarbageInActivationPaddingMatchesTheReference) {
  // Left operands may carry any finite values in their padding cells; every
  // path must still give the reference's bits.
  std::mt19937 rng(kSeed + 4);
  const int M = 9, K = 10, N = 11;
  ZMat a(M, K), b(K, N), c0(M, N);
  FillPlain(&a, rng);
  FillPlain(&b, rng);
  FillPlain(&c0, rng);
  ZMat_Neon A(M, K, false), B(K, N, false), C(M, N, false), R(M, N, false);
  A.CopyFrom(&a);
  for (int k = 0; k < A.padCount; ++k) A.blocks[0][A.padList[k]] = SpreadValue(rng);
  B.CopyFrom(&b);
  C.CopyFrom(&c0);
  R.CopyFrom(&c0);
  C.Add_aAB_NEON(&A, &B);
  ASSERT_TRUE(z_tile_force_path(kTilePathRef));
  R.Add_aAB_NEON(&A, &B);
  const int cells = C.blockRows * C.blockCols * 16;
  for (int k = 0; k < cells; ++k) ASSERT_EQ(Bits(C.blocks[0][k]), Bits(R.blocks[0][k])) << "cell " << k;
}

INSTANTIATE_TEST_SUITE_P(AllPaths, TiledPathTest,
                         ::testing::Values(kTilePathRef, kTilePathSse2, kTilePathAvx2, kTilePathNeon),
                         [](const ::testing::TestParamInfo<ZTilePath>& info) {
                           return std::string(z_tile_path_name(info.param));
                         });

TEST(TiledPaths, TheDataIsSensitiveToTheOrderOfAdditions) {
  // Guards the bit-identity tests above: with these values a different
  // summation order (here: shared dimension descending) changes results.
  std::mt19937 rng(kSeed + 2);
  ZMat a(4, 64), b(64, 8);
  FillPlain(&a, rng);
  FillPlain(&b, rng);
  int differ = 0;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j) {
      float rev = 0.0f;
      for (int k = 63; k >= 0; --k) rev = rev + a.row[i][k] * b.row[k][j];
      if (Bits(rev) != Bits(OrderedDot(0.0f, a, i, b, j))) ++differ;
    }
  EXPECT_GT(differ, 8);
}

TEST(TiledPaths, ChoiceAndForcing) {
  EXPECT_TRUE(z_tile_path_available(kTilePathRef));
  const ZTilePath chosen = z_tile_path();
  EXPECT_TRUE(z_tile_path_available(chosen));
#if defined(__x86_64__)
  EXPECT_TRUE(z_tile_path_available(kTilePathSse2));
  EXPECT_FALSE(z_tile_path_available(kTilePathNeon));
  EXPECT_FALSE(z_tile_force_path(kTilePathNeon));
  EXPECT_EQ(z_tile_path(), chosen);
  EXPECT_NE(chosen, kTilePathRef);
#endif
  std::printf("tiled kernels: %s path chosen\n", z_tile_path_name(chosen));
}

}  // namespace
}  // namespace __kestrel4__
