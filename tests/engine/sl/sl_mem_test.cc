// The localiser: direction grid, pair list and lag table, framing, the
// history query, reset, refused geometries, and the frame scores against a
// plain evaluation of the spline.
#include "engine/sl/sl_mem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tests/engine/sl/scene.h"
#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;

using sl_testing::Circle;

// Feeds `n` samples of independent noise on every channel in blocks of `block`.
void FeedNoise(ZSlMem& m, int n, int block, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1000.0f);
  std::vector<std::vector<float>> ch(m.nMic, std::vector<float>(n));
  for (auto& c : ch)
    for (float& v : c) v = g(rng);
  std::vector<float*> ptr(m.nMic);
  for (int done = 0; done < n; done += block) {
    int len = std::min(block, n - done);
    for (int i = 0; i < m.nMic; ++i) ptr[i] = ch[i].data() + done;
    m.PutData(ptr.data(), len);
  }
}

TEST(SlGridTest, RingsAzimuthsAndZenith) {
  std::vector<float> pos = Circle(4, 0.05f);
  ZSlMem m(4, pos.data(), nullptr);
  ASSERT_TRUE(m.Valid());
  ASSERT_EQ(m.nCand, 852);
  ASSERT_EQ(m.pCand->rows, 852);

  // Consecutive runs of one elevation are the rings, 5 degrees apart.
  const std::vector<int> want = {72, 71, 70, 69, 67, 65, 62, 58, 55, 50, 46, 41, 35, 30, 24, 18, 12, 6};
  std::vector<int> rings;
  int start = 0;
  for (int k = 1; k <= 851; ++k) {
    if (k == 851 || m.pCand->row[k][1] != m.pCand->row[start][1]) {
      SCOPED_TRACE(testing::Message() << "ring " << rings.size());
      EXPECT_NEAR(m.pCand->row[start][1], rings.size() * 5 * kDeg, 1e-6);
      EXPECT_EQ(m.pCand->row[start][0], 0.0f);  // every ring starts at azimuth 0
      rings.push_back(k - start);
      start = k;
    }
  }
  EXPECT_EQ(rings, want);
  // The horizon ring: 0, 5, ..., 355 degrees.
  for (int j = 0; j < 72; ++j) EXPECT_NEAR(m.pCand->row[j][0], j * 5 * kDeg, 1e-6) << j;
  // The zenith last.
  EXPECT_EQ(m.pCand->row[851][0], 0.0f);
  EXPECT_EQ(m.pCand->row[851][1], 1.5707964f);
}

TEST(SlGridTest, PairListAndLagTable) {
  // Two microphones on the x axis, 10 cm apart; the second has 0.5 ms more
  // latency in a second instance.
  const float pos[6] = {-0.05f, 0.0f, 0.0f, 0.05f, 0.0f, 0.0f};
  ZSlMem m(2, pos, nullptr);
  ASSERT_TRUE(m.Valid());
  ASSERT_EQ(m.nPair, 1);
  EXPECT_EQ(m.pPair[0], 0);
  EXPECT_EQ(m.pPair[1], 1);
  // Candidate 0 (azimuth 0, horizon) lies 3 m out on +x: nearer microphone 1,
  // read at distance(1) - distance(0) = -0.1 m, about -4.66 samples.
  const float d0 = (2.95f - 3.05f) * 16000.0f / 343.3f;
  EXPECT_NEAR(m.GetDis(3, 0, 0, 0, 1), d0, 1e-4);
  EXPECT_EQ(m.nMaxLag, 5);
  EXPECT_NEAR(m.pLag->row[0][0], d0 + 5, 1e-4);
  // Azimuth 180 degrees (candidate 36) mirrors it; 90 degrees (18) is 0.
  EXPECT_NEAR(m.pLag->row[0][36], -d0 + 5, 1e-4);
  EXPECT_NEAR(m.pLag->row[0][18], 5.0, 1e-4);

  const float delays[2] = {0.0f, 0.0005f};  // 8 samples
  ZSlMem late(2, pos, delays);
  ASSERT_TRUE(late.Valid());
  EXPECT_NEAR(late.GetDis(3, 0, 0, 0, 1), d0 + 8.0f, 1e-4);
  EXPECT_EQ(late.nMaxLag, 13);  // -d0 + 8 at the mirrored direction

  // Six microphones: 15 pairs in the order (0,1) .. (0,5), (1,2) .. (4,5).
  std::vector<float> six = Circle(6, 0.05f);
  ZSlMem m6(6, six.data(), nullptr);
  ASSERT_EQ(m6.nPair, 15);
  int p = 0;
  for (int i = 0; i < 6; ++i) {
    for (int j = i + 1; j < 6; ++j, ++p) {
      EXPECT_EQ(m6.pPair[2 * p], i);
      EXPECT_EQ(m6.pPair[2 * p + 1], j);
      int a, b;
      std::memcpy(&a, &m6.pPairMat->row[p][0], sizeof(int));
      std::memcpy(&b, &m6.pPairMat->row[p][1], sizeof(int));
      EXPECT_EQ(a, i);
      EXPECT_EQ(b, j);
    }
  }
}

TEST(SlGridTest, RefusedGeometries) {
  const float nan = std::nanf("");
  const float far[6] = {0, 0, 0, 11.0f, 0, 0};       // 512.7 samples of lag
  const float near_limit[6] = {0, 0, 0, 10.9f, 0, 0};  // 508 samples: accepted
  const float bad_pos[6] = {0, 0, 0, nan, 0, 0};
  const float bad_delay[2] = {0, INFINITY};
  const float late[2] = {0, 0.032f};  // 512 samples of latency
  struct Case {
    const char* name;
    int M;
    const float* pos;
    const float* delays;
    bool valid;
  };
  std::vector<float> many = Circle(65, 0.05f);
  const Case cases[] = {
      {"no microphones", 0, near_limit, nullptr, false},
      {"65 microphones", 65, many.data(), nullptr, false},
      {"no positions", 2, nullptr, nullptr, false},
      {"11 m apart", 2, far, nullptr, false},
      {"10.9 m apart", 2, near_limit, nullptr, true},
      {"position not a number", 2, bad_pos, nullptr, false},
      {"infinite delay", 2, near_limit, bad_delay, false},
      {"latencies 32 ms apart", 2, near_limit + 0, late, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::LogCapture log;
    ZSlMem m(c.M, c.pos, c.delays);
    EXPECT_EQ(m.Valid(), c.valid);
    if (c.valid) {
      EXPECT_LE(2 * m.nMaxLag + 1, 1024);
    } else {
      EXPECT_TRUE(log.Contains("ZSlMem:")) << log.Dump();
    }
  }
}

TEST(SlFramingTest, FramesEveryHopWhateverTheBlockSize) {
  std::vector<float> pos = Circle(3, 0.05f);
  ZSlMem one(3, pos.data(), nullptr), odd(3, pos.data(), nullptr);
  FeedNoise(one, 1023, 1023, 5);
  EXPECT_EQ(one.nHistIdx, 0);  // no frame before 1024 samples
  FeedNoise(one, 1, 1, 6);
  EXPECT_EQ(one.nHistIdx, 1);

  ZSlMem a(3, pos.data(), nullptr);
  FeedNoise(a, 5000, 5000, 9);
  FeedNoise(odd, 5000, 97, 9);
  EXPECT_EQ(a.nHistIdx, (5000 - 1024) / 256 + 1);
  EXPECT_EQ(odd.nHistIdx, a.nHistIdx);
  EXPECT_EQ(a.nFill, 768 + (5000 - 1024) % 256);
  for (int r = 0; r < a.nHistIdx; ++r) {
    ASSERT_EQ(0, std::memcmp(a.pHist->row[r], odd.pHist->row[r], sizeof(float) * a.nCand)) << "frame " << r;
  }
}

// Each frame's scores are the sum over pairs of the spline through the pair's
// lag window, evaluated at the lag table (double evaluation added to a float
// score): recompute it with a freshly fitted spline and plain evaluations.
TEST(SlFramingTest, FrameScoresMatchPlainSplineEvaluation) {
  std::vector<float> pos = Circle(4, 0.05f);
  ZSlMem m(4, pos.data(), nullptr);
  FeedNoise(m, 1024 + 256, 1024 + 256, 13);
  ASSERT_EQ(m.nHistIdx, 2);
  const int L = m.nMaxLag;
  const int N = 1024;
  std::vector<double> x(2 * L + 1);
  for (int k = 0; k <= 2 * L; ++k) x[k] = k;
  std::vector<float> want(m.nCand, 0.0f);
  for (int p = 0; p < m.nPair; ++p) {
    std::vector<double> y(2 * L + 1);
    for (int k = 0; k <= 2 * L; ++k) {
      float c = m.pCorr->row[p][(N - L + k) % N] * (1.0f / 1024.0f);
      ASSERT_EQ(c, m.pLagWin->row[p][k]) << "pair " << p << " lag " << k - L;
      y[k] = c;
    }
    spline s;
    s.set_points(x, y, true);
    for (int c = 0; c < m.nCand; ++c) want[c] += s(m.pLag->row[p][c]);
  }
  ASSERT_EQ(0, std::memcmp(want.data(), m.pHist->row[1], sizeof(float) * m.nCand));
}

// Puts `value` on candidate `cand` of the frame k back from the newest.
void SetFrame(ZSlMem& m, int k, int cand, float value) {
  int r = ((m.nHistIdx - k) % m.nHistLen + m.nHistLen) % m.nHistLen;
  m.pHist->row[r][cand] = value;
}

TEST(SlQueryTest, WindowsSumTheFramesWhollyInside) {
  const float pos[6] = {0, 0, 0, 0.1f, 0, 0};
  ZSlMem m(2, pos, nullptr);
  m.nHistIdx = 3;  // the newest frames sit across the ring's wrap
  // Frame k votes for candidate k only, so the accumulator shows which
  // frames a query summed.
  for (int k = 1; k <= 40; ++k) SetFrame(m, k, k, 1.0f);
  struct Case {
    int from, to, first, last;  // frames first .. last (inclusive, k back)
  };
  const Case cases[] = {
      {1024, 0, 4, 1},         // shorter than four hops: still four frames
      {1, 0, 4, 1},            // even shorter
      {1024 + 256 * 9, 0, 10, 1},
      {1024 + 256 * 9 + 255, 0, 10, 1},
      {1024 + 256 * 9, 256, 10, 2},
      {1024 + 256 * 9, 255, 10, 1},
      {4000, 3000, 15, 12},    // widened to four frames above `to`
      {1024 + 256 * 20, 256 * 5, 21, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "from " << c.from << " to " << c.to);
    float out[2];
    m.GetCandidates(c.from, c.to, out);
    for (int k = 1; k <= 40; ++k) EXPECT_EQ(m.pAcc->data[k], (k >= c.last && k <= c.first) ? 1.0f : 0.0f) << k;
    // Equal scores everywhere inside: the earliest candidate of them wins.
    EXPECT_EQ(out[0], m.pCand->row[c.last][0]);
    EXPECT_EQ(out[1], m.pCand->row[c.last][1]);
  }
}

TEST(SlQueryTest, FirstOfEqualBestWinsAndHistoryBounds) {
  const float pos[6] = {0, 0, 0, 0.1f, 0, 0};
  ZSlMem m(2, pos, nullptr);
  m.nHistIdx = 100;
  for (int k = 1; k <= 4; ++k) {
    SetFrame(m, k, 700, 2.0f);  // a higher ring
    SetFrame(m, k, 300, 2.0f);  // a lower ring: earlier in the grid
    SetFrame(m, k, 851, 1.0f);
  }
  float out[2];
  m.GetCandidates(1024, 0, out);
  EXPECT_EQ(out[0], m.pCand->row[300][0]);
  EXPECT_EQ(out[1], m.pCand->row[300][1]);
  SetFrame(m, 2, 700, 2.5f);
  m.GetCandidates(1024, 0, out);
  EXPECT_EQ(out[1], m.pCand->row[700][1]);

  // A window reaching beyond the 20 s kept sums each kept frame once.
  for (int k = 1; k <= m.nHistLen; ++k) SetFrame(m, k, 5, 1.0f);
  m.GetCandidates(1024 + 256 * 3000, 0, out);
  EXPECT_EQ(m.pAcc->data[5], static_cast<float>(m.nHistLen));
  // Entirely beyond it: nothing to sum, candidate 0.
  m.GetCandidates(1024 + 256 * 3000, 256 * 1400, out);
  EXPECT_EQ(m.pAcc->data[5], 0.0f);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], 0.0f);
}

TEST(SlQueryTest, OneMicrophoneHasNoPairs) {
  const float pos[3] = {0.1f, 0.2f, 0.0f};
  ZSlMem m(1, pos, nullptr);
  ASSERT_TRUE(m.Valid());
  EXPECT_EQ(m.nPair, 0);
  FeedNoise(m, 4096, 512, 1);
  EXPECT_EQ(m.nHistIdx, 13);
  float out[2] = {-1, -1};
  m.GetCandidates(4096, 0, out);
  for (int c = 0; c < m.nCand; ++c) ASSERT_EQ(m.pAcc->data[c], 0.0f);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], 0.0f);
}

TEST(SlQueryTest, ResetDropsTheOldStream) {
  std::vector<float> pos = Circle(4, 0.05f);
  ZSlMem m(4, pos.data(), nullptr);
  FeedNoise(m, 8000, 1000, 2);
  float out[2];
  m.GetCandidates(8000, 0, out);
  float peak = 0;
  for (int c = 0; c < m.nCand; ++c) peak = std::max(peak, std::fabs(m.pAcc->data[c]));
  ASSERT_GT(peak, 0.0f);
  m.Reset();
  EXPECT_EQ(m.nFill, 0);
  EXPECT_EQ(m.nHistIdx, 0);
  m.GetCandidates(8000, 0, out);
  for (int c = 0; c < m.nCand; ++c) ASSERT_EQ(m.pAcc->data[c], 0.0f) << c;
  EXPECT_EQ(out[0], 0.0f);
  // The first frame after a reset starts from 1024 new samples.
  FeedNoise(m, 1023, 1023, 3);
  EXPECT_EQ(m.nHistIdx, 0);
}

// A bin whose cross-spectrum is exactly zero (here the DC bin of a channel
// whose windowed content cancels the transform's 1e-6 offset) has no phase;
// it must not turn the frame's scores, and with them every later query, into
// not-a-number.
TEST(SlQueryTest, ZeroBinDoesNotPoisonTheHistory) {
  std::vector<float> pos = Circle(3, 0.05f);
  ZSlMem m(3, pos.data(), nullptr);
  // An impulse v at index k with v * w[k] == -1e-6 exactly.
  int k = 300;
  float v = 0;
  for (; k < 700; ++k) {
    v = -1e-6f / m.pWin->data[k];
    if (v * m.pWin->data[k] == -1e-6f) break;
  }
  ASSERT_LT(k, 700);
  std::mt19937 rng(4);
  std::normal_distribution<float> g(0.0f, 100.0f);
  std::vector<std::vector<float>> ch(3, std::vector<float>(1024, 0.0f));
  ch[0][k] = v;
  for (int c = 1; c < 3; ++c)
    for (float& s : ch[c]) s = g(rng);
  float* ptr[3] = {ch[0].data(), ch[1].data(), ch[2].data()};
  m.PutData(ptr, 1024);
  ASSERT_EQ(m.nHistIdx, 1);
  if (m.pSpectrum->row[0][0].re != 0.0f || m.pSpectrum->row[0][0].im != 0.0f) {
    GTEST_SKIP() << "the transform did not produce an exactly zero bin on this machine";
  }
  for (int c = 0; c < m.nCand; ++c) ASSERT_TRUE(std::isfinite(m.pHist->row[0][c])) << c;
}

}  // namespace
}  // namespace __kestrel4__
