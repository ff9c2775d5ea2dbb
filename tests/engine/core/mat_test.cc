#include "engine/core/mat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

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

// Bytes of a headed matrix with arbitrary stored counts and `floats` values
// 1, 2, 3, ..., followed by a marker token that tells how far a reader went.
std::string HeadedMatrix(int r, int c, int floats) {
  char* buf = nullptr;
  int used = 0;
  {
    ZBuffOutput out(buf, used, 2);
    out.WriteToken("FM");
    out.WriteBasicType(&r);
    out.WriteBasicType(&c);
    for (int k = 0; k < floats; ++k) {
      float v = static_cast<float>(k + 1);
      out.WriteArray(&v, 1);
    }
    out.WriteToken("END");
  }
  std::string bytes(buf, used);
  std::free(buf);
  return bytes;
}

// A memory stream that counts how often it is asked anything.
class CountingInput : public ZBuffInput {
 public:
  CountingInput(const std::string& b, int type) : ZBuffInput(b.data(), static_cast<int>(b.size()), type) {}
  bool IsEof() override {
    ++calls;
    return ZBuffInput::IsEof();
  }
  void ReadRawData(char* dst, unsigned count) override {
    ++calls;
    ZBuffInput::ReadRawData(dst, count);
  }
  long calls = 0;
};

TEST_F(MatTest, ReadersTakeStoredCountsWithinTheirStorage) {
  {
    // Stored 2 x 2 into a 3 x 3 matrix: the stored rows land in rows 0
    // and 1, the rest keeps its values, the stream ends right after.
    std::string b = HeadedMatrix(2, 2, 4);
    ZBuffInput in(b.data(), static_cast<int>(b.size()), 0);
    ZMat m(3, 3);
    m.FixInit();
    m.Read(&in);
    EXPECT_EQ(m.row[0][0], 1.0f);
    EXPECT_EQ(m.row[0][1], 2.0f);
    EXPECT_EQ(m.row[0][2], 2.0f);  // untouched (i + j)
    EXPECT_EQ(m.row[1][0], 3.0f);
    EXPECT_EQ(m.row[1][1], 4.0f);
    EXPECT_EQ(m.row[2][2], 4.0f);
    EXPECT_EQ(in.ReadToken(), "END");
  }
  {
    // Stored rows without columns hold nothing: however many the count
    // claims, the reader stops at once.
    std::string b = HeadedMatrix(0x7fffffff, 0, 0);
    CountingInput in(b, 0);
    ZMat m(2, 2);
    m.Read(&in);
    EXPECT_LT(in.calls, 100);
    EXPECT_EQ(in.ReadToken(), "END");
    std::string neg = HeadedMatrix(5, -3, 0);
    ZBuffInput in2(neg.data(), static_cast<int>(neg.size()), 0);
    m.Read(&in2);
    EXPECT_EQ(in2.ReadToken(), "END");
  }
  {
    // A matrix without columns has no row storage: reading into it (stored
    // counts or raw) and writing it must not touch any.
    std::string b = HeadedMatrix(3, 2, 6);
    ZBuffInput in(b.data(), static_cast<int>(b.size()), 0);
    ZMat empty(3, 0);
    empty.Read(&in);
    EXPECT_EQ(in.ReadToken(), "END");
    ZBuffInput raw(b.data(), static_cast<int>(b.size()), 2);
    empty.Read(&raw);
    EXPECT_EQ(raw.ReadToken(), "FM");
    char* buf = nullptr;
    int used = 0;
    ZBuffOutput out(buf, used, 0);
    empty.Write(&out);
    EXPECT_EQ(used, 3 + 5 + 5);  // the header only
    std::free(buf);
  }
  {
    // A vector's own length decides, whatever length is stored; raw
    // streams carry no header.
    float vals[3] = {1.0f, 2.0f, 3.0f};
    int stored = 99;
    char* buf = nullptr;
    int used = 0;
    {
      ZBuffOutput out(buf, used, 2);
      out.WriteToken("FV");
      out.WriteBasicType(&stored);
      out.WriteArray(vals, 3);
      out.WriteToken("END");
    }
    ZBuffInput in(buf, used, 0);
    ZVec v(2);
    v.Read(&in);
    EXPECT_EQ(v.data[0], 1.0f);
    EXPECT_EQ(v.data[1], 2.0f);
    EXPECT_EQ(v.data[2], 0.0f);
    EXPECT_EQ(in.pos, 3 + 5 + 8);  // header and two floats
    ZBuffInput raw(buf + 8, used - 8, 2);
    ZVec w(3);
    w.Read(&raw);
    EXPECT_EQ(w.data[2], 3.0f);
    std::free(buf);
  }
}

TEST_F(MatTest, RawAndUnknownStreamTypes) {
  ZMat m(2, 3);
  m.FixInit();
  for (int type : {2, 5}) {
    SCOPED_TRACE(type);
    char* buf = nullptr;
    int used = 0;
    {
      ZBuffOutput out(buf, used, type);
      m.Write(&out);
    }
    // Raw: the six floats only; other types write nothing.
    EXPECT_EQ(used, type == 2 ? 24 : 0);
    if (type == 2) {
      ZBuffInput in(buf, used, 2);
      ZMat back(2, 3);
      back.Read(&in);
      EXPECT_EQ(back.row[1][2], 3.0f);
      EXPECT_TRUE(in.IsEof());
    }
    std::free(buf);
  }
  std::string bytes(64, '\x11');
  ZBuffInput other(bytes.data(), 64, 5);
  ZMat none(2, 2);
  none.Read(&other);
  EXPECT_EQ(none.row[0][0], 0.0f);
  EXPECT_EQ(other.pos, 0);
}

std::string Printed(const std::function<void()>& print) {
  ::testing::internal::CaptureStdout();
  print();
  return ::testing::internal::GetCapturedStdout();
}

TEST_F(MatTest, DebugPrints) {
  const std::string dashes(46, '-');
  ZVec v(12);
  for (int i = 0; i < 12; ++i) v.data[i] = 0.5f * i;
  std::string expected = "vec(12)" + dashes + "\n";
  for (int i = 0; i < 10; ++i) {
    char cell[32];
    std::snprintf(cell, sizeof(cell), "%0.10f ", 0.5 * i);
    expected += cell;
  }
  expected += "\r\n\r\n";
  EXPECT_EQ(Printed([&] { v.Print("vec"); }), expected);

  // 6 x 2: rows 0 and 5 share bucket row 0, so the printed value is the
  // bucket's mean absolute value scaled as 5 * sum * 2 / 6 / 2.
  ZMat m(6, 2);
  m.row[0][0] = 1.0f;
  m.row[5][0] = -2.0f;
  m.row[1][1] = -0.25f;
  std::string got = Printed([&] { m.Print("m"); });
  std::string want = std::string(14, '-') + "m(6,2)" + dashes + "\n" + "2.500000 0.000000 \r\n" +
                     "0.000000 0.208333 \r\n" + "0.000000 0.000000 \r\n" + "0.000000 0.000000 \r\n" +
                     "0.000000 0.000000 \r\n" + "\r\n";
  EXPECT_EQ(got, want);

  ZMat ints(2, 2);
  int raw[4] = {7, -3, 12345, 0};
  for (int k = 0; k < 4; ++k) std::memcpy(&ints.row[k / 2][k % 2], &raw[k], sizeof(int));
  EXPECT_EQ(Printed([&] { ints.Print_I("ignored"); }), "0007 -003 \r\n12345 0000 \r\n\r\n");

  ZCMat c(1, 2);
  c.row[0][0] = ZComplex{1.0f, -1.0f};
  c.row[0][1] = ZComplex{0.5f, 2.0f};
  EXPECT_EQ(Printed([&] { c.Print("c"); }),
            std::string(14, '-') + "c(1,2)" + dashes + "\n" +
                "(0:1.000000,-1.000000) (1:0.500000,2.000000) \r\n\r\n");
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

TEST_F(MatTest, PhaseTransformKeepsThePairsOrderAndPhase) {
  // Three microphones, pairs (2, 0) and (0, 1): each pair row holds the
  // phase of X * conj(Y) with X the first microphone of the pair.
  const int N = 16;  // 12 bins written (the multiple of four at or above 9)
  ZCMat spectra(3, N), out(2, N);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-2, 2);
  for (int m = 0; m < 3; ++m)
    for (int k = 0; k < N; ++k) spectra.row[m][k] = ZComplex{u(rng), u(rng)};
  spectra.row[0][1] = ZComplex{1.0f, 0.0f};
  spectra.row[1][1] = ZComplex{0.0f, 1.0f};
  ZMat pairs(2, 2);
  int ids[2][2] = {{2, 0}, {0, 1}};
  for (int p = 0; p < 2; ++p) std::memcpy(pairs.row[p], ids[p], sizeof(ids[p]));
  ZCMat::CalcGcc(&spectra, &pairs, &out);
  for (int p = 0; p < 2; ++p)
    for (int k = 0; k < 12; ++k) {
      SCOPED_TRACE(testing::Message() << "pair " << p << " bin " << k);
      const ZComplex x = spectra.row[ids[p][0]][k], y = spectra.row[ids[p][1]][k];
      double re = static_cast<double>(x.re) * y.re + static_cast<double>(x.im) * y.im;
      double im = static_cast<double>(y.re) * x.im - static_cast<double>(x.re) * y.im;
      double mag = std::sqrt(re * re + im * im);
      EXPECT_NEAR(out.row[p][k].re, re / mag, 2e-6);
      EXPECT_NEAR(out.row[p][k].im, im / mag, 2e-6);
    }
  // 1 * conj(i) = -i.
  EXPECT_NEAR(out.row[1][1].re, 0.0f, 1e-7);
  EXPECT_NEAR(out.row[1][1].im, -1.0f, 1e-7);
  // A tiny but non-zero cross-spectrum (its squared magnitude below the
  // normal range, its reciprocal root's square above it) still comes out at
  // unit magnitude: each Newton step forms s * r before multiplying by r.
  spectra.row[0][2] = ZComplex{1e-10f, 0.0f};
  spectra.row[1][2] = ZComplex{0.0f, 1e-10f};
  ZCMat::CalcGcc(&spectra, &pairs, &out);
  EXPECT_NEAR(out.row[1][2].re, 0.0f, 1e-4);
  EXPECT_NEAR(out.row[1][2].im, -1.0f, 1e-4);
}

TEST_F(MatTest, NotANumberStaysInsideTheTables) {
  // A broken input must not index outside a table.
  const float nan = std::nanf("");
  EXPECT_EQ(z_tab_index(nan), 0);
  EXPECT_TRUE(std::isnan(ZMat::QuickLogAdd(nan, 0.0f)));
  EXPECT_TRUE(std::isnan(ZMat::QuickLogAdd(0.0f, nan)));
  ZVec v(2);
  v.data[0] = nan;
  v.RowSigMoid();
  EXPECT_EQ(v.data[0], ZMat::m_plogtab2[0]);
}

}  // namespace
}  // namespace __kestrel4__
