#include "engine/feature/fea2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/core/util.h"
#include "engine/feature/fbank.h"
#include "tests/engine/feature/fbank_reference.h"

namespace __kestrel4__ {
namespace {

using fbank_reference::Bank;
using fbank_reference::MakeBank;

const float kLogFloor = logf(1e-7f);

std::vector<float> Tone(double hz, double amplitude, int n, int rate = 16000) {
  std::vector<float> v(n);
  for (int t = 0; t < n; ++t) v[t] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * t / rate));
  return v;
}

std::vector<float> Noise(unsigned seed, double amplitude, int n) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, amplitude);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(g(rng));
  return v;
}

// Feeds `blocks` (sizes per call) of the given channels; returns every frame
// produced, in order, and the frame counts per call.
struct FeedResult {
  std::vector<std::vector<float>> frames;
  std::vector<int> counts;
};

FeedResult Feed(ZFea2* fea, const std::vector<std::vector<float>>& chans, const std::vector<int>& blocks) {
  FeedResult run;
  size_t at = 0;
  for (int n : blocks) {
    std::vector<const float*> ptr;
    for (const auto& c : chans) ptr.push_back(c.data() + at);
    ZMat* out = nullptr;
    int m = -1;
    EXPECT_EQ(fea->ContinueFb(ptr.data(), n, out, m), 0);
    run.counts.push_back(m);
    for (int r = 0; r < m; ++r) run.frames.emplace_back(out->row[r], out->row[r] + fea->GetFeaDim());
    at += n;
  }
  return run;
}

// ---------------------------------------------------------------- banks

TEST(Fea2Test, MelBanksMatchTheFilterShapes) {
  // The boundary/weight tables must describe exactly the triangles between
  // neighbouring mel points: interval j starts at the first bin above point
  // j, and a bin's weight is its share of the falling edge.
  ZFea2 fea16(16000, 4, 1);
  ZFea2 fea8(8000, 4, 1);
  struct Case {
    const char* name;
    const ZVec* pos;
    const ZVec* weight;
    Bank ref;
  } cases[] = {
      {"16 kHz low", fea16.pMelPos1, fea16.pMelWeight1, MakeBank(16000, 512, 125, 3800, 24, false)},
      {"16 kHz high", fea16.pMelPos2, fea16.pMelWeight2, MakeBank(16000, 512, 4000, 7800, 9, true)},
      {"8 kHz low", fea8.pMelPos1, fea8.pMelWeight1, MakeBank(8000, 256, 125, 3800, 24, false)},
  };
  EXPECT_EQ(fea8.pMelPos2, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bank& ref = c.ref;
    const int P = static_cast<int>(ref.points.size());
    ASSERT_EQ(c.pos->len, P);
    ASSERT_EQ(c.weight->len, ref.fftLen / 2 + 1);
    for (int j = 0; j < P - 1; ++j) EXPECT_EQ(static_cast<int>(c.pos->data[j]), ref.FirstBinAbove(j)) << "interval " << j;
    // One past the last bin below the top point.
    int last = ref.fftLen / 2;
    while (ref.BinMel(last) >= ref.points.back()) --last;
    EXPECT_EQ(static_cast<int>(c.pos->data[P - 1]), last + 1);
    for (int j = 0; j < P - 1; ++j) EXPECT_LT(c.pos->data[j], c.pos->data[j + 1]) << "empty interval " << j;

    // Weights: the falling-edge share of each bin inside the bank, 0 outside.
    for (int i = 0; i <= ref.fftLen / 2; ++i) {
      SCOPED_TRACE(testing::Message() << "bin " << i);
      const double g = ref.BinMel(i);
      double expect = 0.0;
      if (g > ref.points.front() && g < ref.points.back()) {
        int j = 0;
        while (!(g <= ref.points[j + 1])) ++j;
        expect = (ref.points[j + 1] - g) / (ref.points[j + 1] - ref.points[j]);
      }
      EXPECT_NEAR(c.weight->data[i], expect, 2e-5);
    }

    // Applying the tables equals applying the triangles, on a random
    // spectrum.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 10.0f);
    std::vector<float> power(ref.fftLen / 2 + 1);
    for (float& p : power) p = u(rng);
    std::vector<float> got(ref.Filters(), -1.0f);
    z_apply_melbank(power.data(), c.pos, c.weight, got.data());
    for (int k = 0; k < ref.Filters(); ++k) {
      double e = 0.0;
      for (int i = 0; i <= ref.fftLen / 2; ++i) e += ref.Weight(k, i) * power[i];
      EXPECT_NEAR(got[k], e, 1e-3 * e) << "filter " << k;
    }
  }
}

// ---------------------------------------------------------------- frames

TEST(Fea2Test, WholeBlockMatchesAnIndependentComputation) {
  // Two channels of different signals; the reference replays the same
  // dither draws and computes each frame in double: mean removal, backward
  // pre-emphasis, Hamming window, DFT, channel mean, triangles, log.
  const unsigned seed = 1234;
  const int C = 2;
  std::vector<std::vector<float>> chans = {Noise(1, 300.0, 880), Tone(1000.0, 2000.0, 880)};
  for (int t = 0; t < 880; ++t) chans[1][t] += 5.0f;  // a DC offset the mean removal must take out

  srand48(seed);
  std::vector<std::vector<float>> dither(C * 4, std::vector<float>(400));
  for (auto& row : dither)
    for (float& d : row) d = z_randgauss();

  srand48(seed);
  ZFea2 fea(16000, 4, C);
  FeedResult run = Feed(&fea, chans, {880});
  ASSERT_EQ(run.counts[0], 4);

  const Bank low = MakeBank(16000, 512, 125, 3800, 24, false);
  const Bank high = MakeBank(16000, 512, 4000, 7800, 9, true);
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(testing::Message() << "frame " << k << " seed " << seed);
    std::vector<double> mean(257, 0.0);
    for (int c = 0; c < C; ++c) {
      std::vector<double> x(400);
      for (int j = 0; j < 400; ++j)
        x[j] = static_cast<double>(static_cast<float>(chans[c][k * 160 + j] + dither[c * 4 + k][j]));
      auto p = fbank_reference::PowerSpectrum(fbank_reference::Condition(x), 512);
      for (int i = 0; i < 257; ++i) mean[i] += p[i] / C;
    }
    std::vector<double> expect;
    fbank_reference::ApplyBank(low, mean, &expect);
    fbank_reference::ApplyBank(high, mean, &expect);
    ASSERT_EQ(expect.size(), 29u);
    for (int v = 0; v < 29; ++v) EXPECT_NEAR(run.frames[k][v], expect[v], 2e-3) << "value " << v;
  }
}

TEST(Fea2Test, ToneFallsInTheBandWhoseRangeHoldsIt) {
  // A tone at the peak frequency of filter k gives filter k the largest
  // energy of all 29, for every filter of both banks.
  const Bank low = MakeBank(16000, 512, 125, 3800, 24, false);
  const Bank high = MakeBank(16000, 512, 4000, 7800, 9, true);
  std::vector<double> peaks;
  for (int k = 0; k < low.Filters(); ++k) peaks.push_back(fbank_reference::Hz(low.points[k + 1]));
  for (int k = 0; k < high.Filters(); ++k) peaks.push_back(fbank_reference::Hz(high.points[k + 1]));
  srand48(7);
  for (int band = 0; band < 29; ++band) {
    SCOPED_TRACE(testing::Message() << "band " << band << " at " << peaks[band] << " Hz");
    ZFea2 fea(16000, 4, 1);
    FeedResult run = Feed(&fea, {Tone(peaks[band], 3000.0, 1920)}, {1920});
    ASSERT_EQ(run.counts[0], 8);
    for (int f = 0; f < 8; ++f) {
      const auto& row = run.frames[f];
      int best = 0;
      for (int v = 1; v < 29; ++v)
        if (row[v] > row[best]) best = v;
      EXPECT_EQ(best, band) << "frame " << f;
    }
  }
}

TEST(Fea2Test, FrameCountsPerCall) {
  struct Case {
    int rate;
    std::vector<int> blocks;
    std::vector<int> counts;
    int held;  // samples kept after the last call
  } cases[] = {
      {16000, {1920, 1920, 1920, 1920}, {8, 12, 12, 12}, 640},
      {16000, {879, 1, 639, 1}, {0, 4, 0, 4}, 240},
      {16000, {0, 100, 5000}, {0, 0, 28}, 620},
      {8000, {960, 960, 960}, {8, 12, 12}, 320},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rate " << c.rate << " first block " << c.blocks[0]);
    int total = 0;
    for (int n : c.blocks) total += n;
    ZFea2 fea(c.rate, 4, 1);
    FeedResult run = Feed(&fea, {Noise(3, 100.0, total)}, c.blocks);
    EXPECT_EQ(run.counts, c.counts);
    EXPECT_EQ(fea.nBuffLen, c.held);
  }
}

TEST(Fea2Test, SplitFeedingGivesTheSameFrames) {
  // The frames must not depend on how the audio is cut into calls (the dither
  // draws follow the blocks, so the same seed gives the same draws), and a
  // call bigger than the output matrix grows it.
  const unsigned seed = 99;
  const int total = 30000;
  std::vector<std::vector<float>> chans = {Noise(5, 500.0, total), Noise(6, 50.0, total), Tone(440.0, 800.0, total)};
  std::vector<std::vector<int>> splits = {{total}, {1920, 1920, 26160}};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> piece(0, 700);
  std::vector<int> random;
  for (int left = total; left > 0;) {
    int n = std::min(piece(rng), left);
    random.push_back(n);
    left -= n;
  }
  splits.push_back(random);

  std::vector<std::vector<float>> reference;
  for (const auto& blocks : splits) {
    SCOPED_TRACE(testing::Message() << blocks.size() << " calls, seed " << seed);
    srand48(seed);
    ZFea2 fea(16000, 4, 3);
    FeedResult run = Feed(&fea, chans, blocks);
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(run.counts[i] % 4, 0);
    }
    if (reference.empty()) {
      reference = run.frames;
      ASSERT_EQ(reference.size(), static_cast<size_t>((total - 240) / 640 * 4));
    } else {
      EXPECT_EQ(run.frames, reference);
    }
  }
}

TEST(Fea2Test, ResetDropsHeldSamples) {
  srand48(21);
  ZFea2 fea(16000, 4, 1);
  auto x = Noise(8, 100.0, 3000);
  Feed(&fea, {x}, {700});
  fea.ResetFb();
  srand48(22);
  FeedResult afterReset = Feed(&fea, {std::vector<float>(x.begin() + 700, x.end())}, {2300});
  srand48(22);
  ZFea2 fresh(16000, 4, 1);
  FeedResult clean = Feed(&fresh, {std::vector<float>(x.begin() + 700, x.end())}, {2300});
  EXPECT_EQ(afterReset.frames, clean.frames);
}

TEST(Fea2Test, SilenceStaysFarAboveTheFloor) {
  srand48(3);
  ZFea2 fea(16000, 4, 1);
  FeedResult run = Feed(&fea, {std::vector<float>(1920, 0.0f)}, {1920});
  ASSERT_EQ(run.counts[0], 8);
  for (const auto& row : run.frames)
    for (float v : row) EXPECT_GT(v, kLogFloor + 5.0f);
}

TEST(Fea2Test, EightKilohertzHasNoHighBand) {
  srand48(4);
  ZFea2 fea(8000, 4, 2);
  FeedResult run = Feed(&fea, {Noise(9, 1000.0, 960), Noise(10, 1000.0, 960)}, {960});
  ASSERT_EQ(run.counts[0], 8);
  for (const auto& row : run.frames) {
    for (int v = 0; v < 22; ++v) EXPECT_GT(row[v], kLogFloor + 5.0f);
    for (int v = 22; v < 29; ++v) EXPECT_EQ(row[v], kLogFloor);
  }
  EXPECT_NEAR(kLogFloor, -16.118096f, 1e-5);
}

TEST(Fea2Test, ChannelsAreAveragedInPower) {
  // Loud broadband signals make the independent dither of each channel
  // negligible: C copies of a signal give that signal's features, and two
  // different signals give the log of their mean band energies.
  const int n = 1920;
  auto a = Noise(1, 1000.0, n);
  auto b = Noise(2, 300.0, n);
  auto ta = Tone(500.0, 3000.0, n);
  auto tb = Tone(2500.0, 5000.0, n);
  for (int t = 0; t < n; ++t) {
    a[t] += ta[t];
    b[t] += tb[t];
  }
  auto features = [&](const std::vector<std::vector<float>>& chans) {
    ZFea2 fea(16000, 4, static_cast<int>(chans.size()));
    return Feed(&fea, chans, {n}).frames;
  };
  const auto fa = features({a});
  const auto fb = features({b});
  for (int copies = 2; copies <= 3; ++copies) {
    SCOPED_TRACE(testing::Message() << copies << " copies");
    const auto f = features(std::vector<std::vector<float>>(copies, a));
    for (size_t r = 0; r < f.size(); ++r)
      for (int v = 0; v < 29; ++v) EXPECT_NEAR(f[r][v], fa[r][v], 0.02) << "frame " << r << " value " << v;
  }
  const auto fab = features({a, b});
  for (size_t r = 0; r < fab.size(); ++r)
    for (int v = 0; v < 29; ++v) {
      const double mean = std::log((std::exp(static_cast<double>(fa[r][v])) + std::exp(static_cast<double>(fb[r][v]))) / 2);
      EXPECT_NEAR(fab[r][v], mean, 0.02) << "frame " << r << " value " << v;
    }
}

TEST(Fea2Test, UnsupportedRateYieldsNothing) {
  ZFea2 fea(11025, 4, 1);
  EXPECT_EQ(fea.InitFb(44100, 4, 1), 1);
  std::vector<float> x(4000, 1.0f);
  const float* ch[1] = {x.data()};
  ZMat* out = nullptr;
  int m = -1;
  EXPECT_EQ(fea.ContinueFb(ch, 4000, out, m), 1);
  EXPECT_EQ(m, 0);
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(fea.GetFeaDim(), 29);
}

}  // namespace
}  // namespace __kestrel4__
