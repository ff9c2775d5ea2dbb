#include "engine/core/buffers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

const char kShortStoreMarker[] = "xfffffffffffxfffffffffffxfffffffffffxfffffffffffxfffffffffffxfffffffffff";

std::vector<float> Ramp(int from, int n) {
  std::vector<float> v(n);
  for (int i = 0; i < n; ++i) v[i] = static_cast<float>(from + i);
  return v;
}

std::string TempPath(const char* name) { return testing::TempDir() + name; }

// ---------------------------------------------------------------- ZVecBuff

TEST(VecBuffTest, ReadsBackwardsAcrossTheWrap) {
  ZVecBuff ring(10);
  auto v = Ramp(1, 12);
  ring.PutBuff(v.data(), 12);
  float dst[3];
  ring.GetBuff(dst, 4, 1);
  EXPECT_EQ(dst[0], 9.0f);
  EXPECT_EQ(dst[1], 10.0f);
  EXPECT_EQ(dst[2], 11.0f);
}

TEST(VecBuffTest, AnyBlockingGivesTheSameRingAndPosition) {
  // The history must not depend on how the stream was cut into calls, even
  // when one call brings more than the whole ring.
  const int L = 10;
  const std::vector<std::vector<int>> blockings = {{1, 1, 1, 30}, {7, 7, 7, 7, 5}, {33}, {10, 10, 13}, {0, 3, 0, 30}};
  auto stream = Ramp(1, 33);
  std::vector<float> expect(L);
  for (int i = 0; i < L; ++i) expect[i] = stream[33 - L + i];
  for (const auto& blocks : blockings) {
    ZVecBuff ring(L);
    int at = 0;
    for (int n : blocks) {
      ring.PutBuff(stream.data() + at, n);
      at += n;
    }
    ASSERT_EQ(at, 33);
    EXPECT_EQ(ring.pos, 33 % L);
    std::vector<float> got(L);
    ring.GetBuff(got.data(), L, 0);
    EXPECT_EQ(got, expect) << "first block " << blocks[0];
  }
}

TEST(VecBuffTest, RequestBeyondTheRingIsZeroFilledAndResetClears) {
  ZVecBuff ring(4);
  auto v = Ramp(1, 6);
  ring.PutBuff(v.data(), 6);  // holds 3 4 5 6
  std::vector<float> got(7, -1.0f);
  ring.GetBuff(got.data(), 7, 1);  // 7, 6 and 5 back are older than the ring
  EXPECT_EQ(got, (std::vector<float>{0, 0, 0, 3, 4, 5, -1}));
  ring.Reset();
  EXPECT_EQ(ring.pos, 0);
  ring.GetBuff(got.data(), 4, 0);
  EXPECT_EQ(got, (std::vector<float>{0, 0, 0, 0, 4, 5, -1}));
}

TEST(VecBuffTest, StoreFileWritesTheSpanOldestFirst) {
  ZVecBuff ring(5000);
  auto v = Ramp(0, 7000);
  ring.PutBuff(v.data(), 7000);
  const std::string path = TempPath("vecbuff.raw");
  EXPECT_EQ(ring.StoreFile(path.c_str(), 3000, 500), 0);
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<float> got(2600);
  EXPECT_EQ(std::fread(got.data(), sizeof(float), got.size(), f), 2500u);
  std::fclose(f);
  std::remove(path.c_str());
  for (int i = 0; i < 2500; ++i) ASSERT_EQ(got[i], 4000.0f + i) << i;
  EXPECT_EQ(ring.StoreFile("/nonexistent-dir/x.raw", 3, 1), 0);
}

// ---------------------------------------------------------------- ZMatBuff

TEST(MatBuffTest, FramesBackFromTheNewest) {
  const int R = 4, C = 3;
  ZMatBuff ring(R, C);
  ZMat frames(6, C);
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < C; ++j) frames.row[i][j] = static_cast<float>(10 * i + j);
  ring.PutBuff(frames.row, 3);
  EXPECT_EQ(ring.GetBuff(1)[0], 20.0f);  // the row just written
  ring.PutBuff(frames.row + 3, 3);       // frames 2 .. 5 remain
  for (int k = 1; k <= R; ++k) EXPECT_EQ(ring.GetBuff(k)[1], static_cast<float>(10 * (6 - k) + 1)) << "k " << k;
  EXPECT_EQ(ring.GetBuff(0), ring.GetBuff(R));  // both the oldest

  const std::string path = TempPath("matbuff.bin");
  ring.StoreFile(path.c_str(), 3, 1);
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  int32_t head[2];
  ASSERT_EQ(std::fread(head, sizeof(int32_t), 2, f), 2u);
  EXPECT_EQ(head[0], 2);
  EXPECT_EQ(head[1], C);
  float rows[7];
  EXPECT_EQ(std::fread(rows, sizeof(float), 7, f), 6u);
  std::fclose(f);
  std::remove(path.c_str());
  EXPECT_EQ(rows[0], 30.0f);  // 3 back: frame 3
  EXPECT_EQ(rows[5], 42.0f);  // 2 back: frame 4, last column

  ring.Reset();
  EXPECT_EQ(ring.pos, 0);
  EXPECT_EQ(ring.GetBuff(1)[0], 0.0f);
}

// ---------------------------------------------------------------- ZAudBuff_S

TEST(AudBuffSTest, ShortStoreIsZeroFilledAndLoggedOnce) {
  ZAudBuff_S store(4);
  auto v = Ramp(1, 3);
  store.PutBuff(v.data(), 3);
  std::vector<float> got(5, -1.0f);
  testing_support::LogCapture log;
  store.GetBuff(got.data(), 5, 0);
  EXPECT_EQ(got, (std::vector<float>{0, 0, 1, 2, 3}));
  int markers = 0;
  for (const auto& line : log.Lines())
    if (line.text == kShortStoreMarker) {
      ++markers;
      EXPECT_EQ(line.prio, 4);
      EXPECT_EQ(line.tag, "QEXAL_plover");
    }
  EXPECT_EQ(markers, 1) << log.Dump();

  // A span that is fully stored logs nothing.
  testing_support::LogCapture quiet;
  std::vector<float> two(2);
  store.GetBuff(two.data(), 3, 1);
  EXPECT_EQ(two, (std::vector<float>{1, 2}));
  EXPECT_FALSE(quiet.Has(kShortStoreMarker)) << quiet.Dump();
}

TEST(AudBuffSTest, GrowsToTwiceTheDemandKeepingSamples) {
  ZAudBuff_S store(4);
  auto a = Ramp(1, 3);
  auto b = Ramp(4, 3);
  store.PutBuff(a.data(), 3);
  EXPECT_EQ(store.nCap, 4);
  store.PutBuff(b.data(), 3);
  EXPECT_EQ(store.nCap, 12);
  EXPECT_EQ(store.nLen, 6);
  std::vector<float> got(6);
  store.GetBuff(got.data(), 6, 0);
  EXPECT_EQ(got, Ramp(1, 6));

  store.bFlag = 1;
  store.Reset();
  EXPECT_EQ(store.nLen, 0);
  EXPECT_EQ(store.bFlag, 0);
  EXPECT_EQ(store.nCap, 12);
  store.PutBuff(b.data(), 3);
  store.GetBuff(got.data(), 2, 0);
  EXPECT_EQ(got[0], 5.0f);
  EXPECT_EQ(got[1], 6.0f);
}

// ---------------------------------------------------------------- ZAudBuff

TEST(AudBuffTest, WrappedWriteIsReadBackInOrder) {
  const int L = 8;
  ZAudBuff ring(2, L);
  auto first = Ramp(1, 6);
  auto firstB = Ramp(101, 6);
  const float* in1[2] = {first.data(), firstB.data()};
  ring.PutAudio(in1, 6);
  ASSERT_EQ(ring.nPos, 6);
  auto next = Ramp(7, 5);
  auto nextB = Ramp(107, 5);
  const float* in2[2] = {next.data(), nextB.data()};
  ring.PutAudio(in2, 5);
  EXPECT_EQ(ring.nPos, 3);
  EXPECT_EQ(ring.pMat->row[0][6], 7.0f);
  EXPECT_EQ(ring.pMat->row[0][7], 8.0f);
  EXPECT_EQ(ring.pMat->row[0][0], 9.0f);
  EXPECT_EQ(ring.pMat->row[0][2], 11.0f);
  std::vector<float> a(5), b(5);
  float* out[2] = {a.data(), b.data()};
  ring.GetLastAudio(out, 5, 0);
  EXPECT_EQ(a, next);
  EXPECT_EQ(b, nextB);
}

TEST(AudBuffTest, BlockOfTwiceTheRingKeepsItsLastPart) {
  const int L = 8;
  ZAudBuff ring(1, L);
  auto lead = Ramp(500, 3);
  const float* in0[1] = {lead.data()};
  ring.PutAudio(in0, 3);
  auto big = Ramp(1, 2 * L);
  const float* in[1] = {big.data()};
  ring.PutAudio(in, 2 * L);
  EXPECT_EQ(ring.nPos, 0);
  for (int i = 0; i < L; ++i) EXPECT_EQ(ring.pMat->row[0][i], static_cast<float>(L + 1 + i));
}

TEST(AudBuffTest, EverySpanMatchesTheStreamForAllPositions) {
  // A reference history of everything written; every (n, skip) at every
  // write position must give the stream's samples, which covers the three
  // copy cases (single run before the position, single run after it, and a
  // run split by the wrap).
  const int L = 8;
  const unsigned seed = 3;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> blockSize(0, 2 * L + 1);
  ZAudBuff ring(2, L);
  std::vector<float> hist0, hist1;
  int written = 0;
  int cases[3] = {0, 0, 0};
  for (int step = 0; step < 60; ++step) {
    const int n = blockSize(rng);
    auto c0 = Ramp(written, n);
    auto c1 = Ramp(-written - 1000, n);
    const float* in[2] = {c0.data(), c1.data()};
    ring.PutAudio(in, n);
    hist0.insert(hist0.end(), c0.begin(), c0.end());
    hist1.insert(hist1.end(), c1.begin(), c1.end());
    written += n;
    if (written < L) continue;
    const int p = ring.nPos;
    for (int len = 0; len <= L; ++len)
      for (int skip = 0; skip <= len; ++skip) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step << " pos " << p << " n " << len
                                        << " skip " << skip);
        cases[len < p ? 0 : (skip > p ? 1 : 2)]++;
        std::vector<float> a(L + 1, -9.0f), b(L + 1, -9.0f);
        float* out[2] = {a.data(), b.data()};
        ring.GetLastAudio(out, len, skip);
        for (int i = 0; i < len - skip; ++i) {
          ASSERT_EQ(a[i], hist0[written - len + i]);
          ASSERT_EQ(b[i], hist1[written - len + i]);
        }
        ASSERT_EQ(a[len - skip], -9.0f);  // nothing written past the span
      }
  }
  EXPECT_GT(cases[0], 0);
  EXPECT_GT(cases[1], 0);
  EXPECT_GT(cases[2], 0);
}

TEST(AudBuffTest, SpanLongerThanTheRingIsZeroFilledAndResetClears) {
  const int L = 4;
  ZAudBuff ring(1, L);
  auto v = Ramp(1, 6);
  const float* in[1] = {v.data()};
  ring.PutAudio(in, 6);  // holds 3 4 5 6
  std::vector<float> got(7, -1.0f);
  float* out[1] = {got.data()};
  ring.GetLastAudio(out, 6, 0);
  EXPECT_EQ(got, (std::vector<float>{0, 0, 3, 4, 5, 6, -1}));
  ring.Reset();
  EXPECT_EQ(ring.nPos, 0);
  ring.GetLastAudio(out, 4, 0);
  EXPECT_EQ(got, (std::vector<float>{0, 0, 0, 0, 5, 6, -1}));
}

}  // namespace
}  // namespace __kestrel4__
