#include "engine/feature/filter.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace __kestrel4__ {
namespace {

using Frames = std::vector<std::vector<float>>;

// Frames of `dim` values; value j of frame t is f(t, j).
template <typename F>
Frames MakeFrames(int count, int dim, F f) {
  Frames out(count, std::vector<float>(dim));
  for (int t = 0; t < count; ++t)
    for (int j = 0; j < dim; ++j) out[t][j] = f(t, j);
  return out;
}

Frames RandomFrames(unsigned seed, int count, int dim) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 3.0f);
  return MakeFrames(count, dim, [&](int, int) { return g(rng); });
}

// Feeds the frames in calls of the given sizes; returns the emitted frames
// in order and how many each call emitted.
struct Emitted {
  Frames frames;
  std::vector<int> counts;
};

Emitted FeedFilter(ZFilter* f, const Frames& in, const std::vector<int>& calls) {
  Emitted e;
  size_t at = 0;
  for (int n : calls) {
    const int dim = in.empty() ? 0 : static_cast<int>(in[0].size());
    ZMat m(n > 0 ? n : 1, dim);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < dim; ++j) m.row[i][j] = in[at + i][j];
    ZMat* out = nullptr;
    int outN = -1;
    EXPECT_EQ(f->FilterFea(&m, n, out, outN), 0);
    e.counts.push_back(outN);
    for (int r = 0; r < outN; ++r) e.frames.emplace_back(out->row[r], out->row[r] + f->nOutDim);
    at += n;
  }
  return e;
}

std::vector<int> Ones(int n) { return std::vector<int>(n, 1); }

// The index of the first call (1-based frame count) that emitted anything.
int FirstEmission(const Emitted& e) {
  for (size_t i = 0; i < e.counts.size(); ++i)
    if (e.counts[i] > 0) return static_cast<int>(i) + 1;
  return 0;
}

float Delta(const Frames& x, int t, int j) {
  return (2.0f * (x[t + 2][j] - x[t - 2][j]) + (x[t + 1][j] - x[t - 1][j])) / 10.0f;
}

TEST(FilterTest, DeltaStartsAtTheThirdFrame) {
  const int D = 29;
  const Frames x = RandomFrames(1, 9, D);
  ZFilter_Delt delta(-2, 2, D, 2 * D);
  Emitted e = FeedFilter(&delta, x, Ones(9));
  EXPECT_EQ(FirstEmission(e), 5);
  ASSERT_EQ(e.frames.size(), 5u);  // frames 2 .. 6; 0 and 1 never appear
  for (int r = 0; r < 5; ++r) {
    const int t = r + 2;
    for (int j = 0; j < D; ++j) {
      EXPECT_EQ(e.frames[r][j], x[t][j]);
      EXPECT_EQ(e.frames[r][D + j], Delta(x, t, j)) << "frame " << t << " value " << j;
    }
  }
}

TEST(FilterTest, SecondDeltaDifferentiatesOnlyTheDeltas) {
  const int D = 29;
  // Values 0 .. 28 are a steep ramp in time, 29 .. 57 a quadratic: the second
  // filter must take the deltas of the latter only.
  const Frames x = MakeFrames(7, 2 * D, [](int t, int j) { return j < D ? 100.0f * t + j : 0.5f * t * t - j; });
  ZFilter_Delt delta2(-2, 2, 2 * D, 3 * D);
  Emitted e = FeedFilter(&delta2, x, {7});
  ASSERT_EQ(e.counts[0], 3);
  for (int r = 0; r < 3; ++r) {
    const int t = r + 2;
    for (int j = 0; j < 2 * D; ++j) EXPECT_EQ(e.frames[r][j], x[t][j]);
    for (int j = 0; j < D; ++j) {
      EXPECT_EQ(e.frames[r][2 * D + j], Delta(x, t, D + j));
      EXPECT_FLOAT_EQ(e.frames[r][2 * D + j], static_cast<float>(t));  // d/dt of t^2 / 2
    }
  }
}

TEST(FilterTest, NormalisationEmitsItsLeadingFramesWithTheFirstWindow) {
  const int D3 = 87;
  const Frames x = RandomFrames(2, 15, D3);
  ZFilter_Norm norm(-4, 7, D3, D3);
  Emitted e = FeedFilter(&norm, x, Ones(15));
  const std::vector<int> expectCounts = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 1, 1, 1};
  EXPECT_EQ(e.counts, expectCounts);
  ASSERT_EQ(e.frames.size(), 8u);  // inputs 0 .. 7, no frame lost
  for (int t = 0; t < 8; ++t)
    for (int j = 0; j < D3; ++j)
      EXPECT_EQ(e.frames[t][j], (x[t][j] - norm.pMean[j]) / norm.pStd[j]) << "frame " << t << " value " << j;
  // Spot checks of the built-in statistics at both ends of each group.
  struct Stat {
    int j;
    float mean, std;
  } stats[] = {{0, 15.999028f, 3.6834488f},   {28, 15.404978f, 5.0392685f}, {29, 0.0011494f, 0.6847376f},
               {57, 1.51e-05f, 0.6697469f},   {58, -0.01529f, 0.232771f},   {86, -0.0164782f, 0.2202581f},
               {43, -4.23e-05f, 0.7089777f}};
  for (const Stat& s : stats) {
    EXPECT_EQ(norm.pMean[s.j], s.mean) << s.j;
    EXPECT_EQ(norm.pStd[s.j], s.std) << s.j;
  }
}

TEST(FilterTest, SplicingPadsTheFirstFrameAsItsOwnLeftContext) {
  const int D = 3;
  const Frames x = MakeFrames(8, D, [](int t, int j) { return 10.0f * t + j; });
  ZFilter_Cmb cmb(-5, 5, D, 11 * D);
  Emitted e = FeedFilter(&cmb, x, Ones(8));
  EXPECT_EQ(FirstEmission(e), 6);
  ASSERT_EQ(e.frames.size(), 3u);
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 11; ++k) {
      int t = r + k - 5;  // window frame k of centre r
      if (t < 0) t = 0;
      for (int j = 0; j < D; ++j) EXPECT_EQ(e.frames[r][k * D + j], x[t][j]) << "centre " << r << " slot " << k;
    }
}

std::vector<std::unique_ptr<ZFilter>> EngineChain(int D) {
  std::vector<std::unique_ptr<ZFilter>> chain;
  chain.emplace_back(new ZFilter_Delt(-2, 2, D, 2 * D));
  chain.emplace_back(new ZFilter_Delt(-2, 2, 2 * D, 3 * D));
  chain.emplace_back(new ZFilter_Norm(-4, 7, 3 * D, 3 * D));
  chain.emplace_back(new ZFilter_Cmb(-5, 5, 3 * D, 33 * D));
  return chain;
}

// Runs frames through a chain in calls of the given sizes, the way the
// engine does: each filter's output feeds the next while frames remain.
Emitted FeedChain(std::vector<std::unique_ptr<ZFilter>>& chain, const Frames& in, const std::vector<int>& calls) {
  Emitted e;
  const int dim = static_cast<int>(in[0].size());
  const int outDim = chain.back()->nOutDim;
  size_t at = 0;
  for (int n : calls) {
    ZMat m(n > 0 ? n : 1, dim);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < dim; ++j) m.row[i][j] = in[at + i][j];
    at += n;
    ZMat* cur = &m;
    int count = n;
    for (auto& f : chain) {
      if (count <= 0) break;
      f->FilterFea(cur, count, cur, count);
    }
    if (count < 0) count = 0;
    e.counts.push_back(count);
    for (int r = 0; r < count; ++r) e.frames.emplace_back(cur->row[r], cur->row[r] + outDim);
  }
  return e;
}

TEST(FilterTest, EngineChainTiming) {
  // Filter-bank frame t holds t + j in value j: a unit slope, so the first
  // deltas are exactly 1 and the second 0, and the centre of each network
  // row tells which frame it came from.
  const int D = 29;
  const Frames fb = MakeFrames(40, D, [](int t, int j) { return static_cast<float>(t + j); });
  auto chain = EngineChain(D);
  Emitted e = FeedChain(chain, fb, Ones(40));
  EXPECT_EQ(FirstEmission(e), 21);  // the first row needs 21 filter-bank frames
  ASSERT_EQ(e.frames.size(), 20u);  // then one row per frame
  ZFilter_Norm* norm = static_cast<ZFilter_Norm*>(chain[2].get());
  for (int r = 0; r < 20; ++r) {
    SCOPED_TRACE(testing::Message() << "row " << r);
    const float* centre = e.frames[r].data() + 5 * 3 * D;
    const int t = r + 4;  // row j is centred on filter-bank frame j + 4
    for (int j = 0; j < D; ++j) {
      EXPECT_FLOAT_EQ(centre[j], (fb[t][j] - norm->pMean[j]) / norm->pStd[j]);
      EXPECT_FLOAT_EQ(centre[D + j], (1.0f - norm->pMean[D + j]) / norm->pStd[D + j]);
      EXPECT_FLOAT_EQ(centre[2 * D + j], (0.0f - norm->pMean[2 * D + j]) / norm->pStd[2 * D + j]);
    }
  }
}

TEST(FilterTest, BlockFeedingEqualsFrameFeeding) {
  // Any cutting of the stream into calls gives the same outputs, for each
  // filter alone and for the whole chain; large calls also grow the output
  // matrices past their initial 16 rows.
  const int D = 29;
  const int total = 60;
  const Frames fb = RandomFrames(4, total, D);
  const unsigned seed = 8;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> piece(0, 9);
  std::vector<int> random;
  for (int left = total; left > 0;) {
    int n = std::min(piece(rng), left);
    random.push_back(n);
    left -= n;
  }
  const std::vector<std::vector<int>> cuttings = {Ones(total), {12, 12, 12, 12, 12}, {total}, {3, 40, 17}, random};
  Frames reference;
  for (const auto& calls : cuttings) {
    SCOPED_TRACE(testing::Message() << calls.size() << " calls (random cutting seed " << seed << ")");
    auto chain = EngineChain(D);
    Emitted e = FeedChain(chain, fb, calls);
    ASSERT_EQ(e.frames.size(), static_cast<size_t>(total - 20));
    if (reference.empty())
      reference = e.frames;
    else
      EXPECT_EQ(e.frames, reference);
  }
}

TEST(FilterTest, ResetRearmsLeadingFramesAndPadding) {
  const int D = 29;
  const Frames a = RandomFrames(5, 30, D);
  const Frames b = RandomFrames(6, 30, D);
  struct Case {
    const char* name;
    std::function<std::unique_ptr<ZFilter>()> make;
    int dim;
  } cases[] = {
      {"delta", [] { return std::unique_ptr<ZFilter>(new ZFilter_Delt(-2, 2, 29, 58)); }, D},
      {"norm", [] { return std::unique_ptr<ZFilter>(new ZFilter_Norm(-4, 7, 29, 29)); }, D},
      {"splice", [] { return std::unique_ptr<ZFilter>(new ZFilter_Cmb(-5, 5, 29, 319)); }, D},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto used = c.make();
    FeedFilter(used.get(), a, {17});
    EXPECT_EQ(used->ResetFilter(), 0);
    Emitted afterReset = FeedFilter(used.get(), b, Ones(30));
    auto fresh = c.make();
    Emitted clean = FeedFilter(fresh.get(), b, Ones(30));
    EXPECT_EQ(afterReset.counts, clean.counts);
    EXPECT_EQ(afterReset.frames, clean.frames);
  }
  // And the whole chain.
  auto chain = EngineChain(D);
  FeedChain(chain, a, {25});
  for (auto& f : chain) f->ResetFilter();
  Emitted afterReset = FeedChain(chain, b, Ones(30));
  auto fresh = EngineChain(D);
  Emitted clean = FeedChain(fresh, b, Ones(30));
  EXPECT_EQ(afterReset.counts, clean.counts);
  EXPECT_EQ(afterReset.frames, clean.frames);
}

TEST(FilterTest, EmptyCallEmitsNothingAndChangesNothing) {
  const int D = 29;
  const Frames x = RandomFrames(7, 20, D);
  ZFilter_Cmb a(-5, 5, D, 11 * D), b(-5, 5, D, 11 * D);
  Emitted withEmpty = FeedFilter(&a, x, {0, 7, 0, 0, 13, 0});
  Emitted without = FeedFilter(&b, x, {7, 13});
  EXPECT_EQ(withEmpty.counts[0], 0);
  EXPECT_EQ(withEmpty.frames, without.frames);
}

}  // namespace
}  // namespace __kestrel4__
