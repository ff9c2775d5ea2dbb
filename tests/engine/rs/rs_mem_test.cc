// The sample-rate converter through its exported functions: batch sizes,
// agreement with the textbook definition (zero-stuff, filter, decimate),
// level and band limits, streaming, reset and refusals.
#include "engine/rs/rs_mem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "include/kestrel.h"
#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

using Planar = std::vector<std::vector<float>>;

class Converter {
 public:
  Converter(int channels, int inRate, int outRate, int batch)
      : h_(w6_rs_create(channels, inRate, outRate, batch)), channels_(channels) {}
  ~Converter() { w6_rs_free(h_); }
  int64_t handle() const { return h_; }
  ZRsMem* mem() const { return reinterpret_cast<ZRsMem*>(static_cast<intptr_t>(h_)); }

  // Feeds in[c][from, from + n) and appends what comes out to *out; returns
  // the count of this call.
  int Feed(const Planar& in, size_t from, int n, Planar* out) {
    std::vector<const float*> p(channels_);
    for (int c = 0; c < channels_; ++c) p[c] = in[c].data() + from;
    float** rows = nullptr;
    int count = -1;
    EXPECT_EQ(w6_rs_process_float(h_, p.data(), n, &rows, &count), 0);
    out->resize(channels_);
    for (int c = 0; c < channels_ && count > 0; ++c) (*out)[c].insert((*out)[c].end(), rows[c], rows[c] + count);
    return count;
  }
  // Feeds everything in chunks of the given sizes (cycled).
  Planar FeedAll(const Planar& in, const std::vector<int>& chunks) {
    Planar out(channels_);
    size_t pos = 0;
    for (size_t k = 0; pos < in[0].size(); ++k) {
      const int n = static_cast<int>(std::min<size_t>(chunks[k % chunks.size()], in[0].size() - pos));
      Feed(in, pos, n, &out);
      pos += n;
    }
    return out;
  }

 private:
  int64_t h_;
  int channels_;
};

Planar Noise(int channels, int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-10000.0f, 10000.0f);
  Planar x(channels, std::vector<float>(n));
  for (auto& ch : x)
    for (float& v : ch) v = d(gen);
  return x;
}

TEST(RsMemTest, BatchesOfTheFrontEndRatios) {
  struct Case {
    int channels, inRate, outRate, batch;
    int L, M, T, B;
    int in, out;  // one batch
  } cases[] = {
      {1, 3, 1, 160, 4, 12, 123, 40, 480, 160},  // 48 kHz -> 16 kHz
      {1, 48000, 16000, 160, 4, 12, 123, 40, 480, 160},
      {1, 1, 2, 960, 4, 2, 41, 240, 480, 960},
      {2, 1, 2, 960, 4, 2, 41, 240, 480, 960},
      {3, 1, 2, 960, 4, 2, 41, 240, 480, 960},
      {1, 16000, 48000, 480, 12, 4, 41, 40, 160, 480},
      {3, 1, 2, 10, 4, 2, 41, 20, 40, 80},  // 5 blocks, doubled until blocks x channels is a multiple of 4
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.inRate << " -> " << c.outRate << ", batch "
                                    << c.batch);
    Converter rs(c.channels, c.inRate, c.outRate, c.batch);
    ASSERT_NE(rs.handle(), 0);
    EXPECT_EQ(rs.mem()->L, c.L);
    EXPECT_EQ(rs.mem()->M, c.M);
    EXPECT_EQ(rs.mem()->T, c.T);
    EXPECT_EQ(rs.mem()->B, c.B);
    const Planar x = Noise(c.channels, 3 * c.in, 1);
    Planar out;
    // Nothing comes out until a whole batch is in; then exactly one batch.
    EXPECT_EQ(rs.Feed(x, 0, c.in - 1, &out), 0);
    EXPECT_EQ(rs.Feed(x, c.in - 1, 1, &out), c.out);
    EXPECT_EQ(rs.Feed(x, c.in, 2 * c.in, &out), 2 * c.out);
  }
  // The first call with one batch of input already yields its output.
  Converter rs(1, 3, 1, 160);
  Planar out;
  EXPECT_EQ(rs.Feed(Noise(1, 480, 2), 0, 480, &out), 160);
}

// y[k] = sum_n L h[n] xup[k M - n], with xup the input with L - 1 zeros
// after every sample: the definition the polyphase branches must reproduce.
std::vector<double> Reference(const fa_resample_filter* f, const std::vector<float>& x, size_t outputs) {
  std::vector<double> y(outputs);
  for (size_t k = 0; k < outputs; ++k) {
    const int64_t p = static_cast<int64_t>(k) * f->M;
    double acc = 0.0;
    // Only the taps that meet a stuffed sample contribute: n = p mod L + j L.
    for (int64_t n = p % f->L; n < f->N && n <= p; n += f->L) {
      const int64_t q = (p - n) / f->L;
      if (q < static_cast<int64_t>(x.size())) acc += static_cast<double>(f->L) * f->h[n] * x[q];
    }
    y[k] = acc;
  }
  return y;
}

TEST(RsMemTest, MatchesZeroStuffFilterDecimate) {
  struct Case {
    int channels, inRate, outRate, batch;
  } cases[] = {
      {3, 48000, 16000, 160}, {2, 16000, 48000, 480}, {1, 8000, 16000, 160},
      {2, 44100, 16000, 160}, {1, 16000, 11025, 2}, {5, 3, 2, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.inRate << " -> " << c.outRate);
    Converter rs(c.channels, c.inRate, c.outRate, c.batch);
    ASSERT_NE(rs.handle(), 0);
    const ZRsMem* m = rs.mem();
    const int perBatch = m->B * m->M;
    const Planar x = Noise(c.channels, 3 * perBatch + 17, 7);
    const Planar y = rs.FeedAll(x, {1, 7, perBatch - 3, 2 * perBatch});
    ASSERT_EQ(y[0].size(), static_cast<size_t>(3 * m->B * m->L));
    for (int ch = 0; ch < c.channels; ++ch) {
      const std::vector<double> ref = Reference(m->filter, x[ch], y[ch].size());
      double worst = 0.0;
      for (size_t k = 0; k < ref.size(); ++k) worst = std::max(worst, std::fabs(ref[k] - y[ch][k]));
      EXPECT_LT(worst, 0.05) << "channel " << ch;  // the signal spans +-10000
    }
    // Streaming in any chunks gives the same bits as one call.
    Converter whole(c.channels, c.inRate, c.outRate, c.batch);
    EXPECT_EQ(whole.FeedAll(x, {static_cast<int>(x[0].size())}), y);
  }
}

TEST(RsMemTest, ConstantInputKeepsItsLevel) {
  const int rates[][2] = {{48000, 16000}, {16000, 48000}, {8000, 16000}, {44100, 16000}, {16000, 8000}};
  for (const auto& r : rates) {
    SCOPED_TRACE(testing::Message() << r[0] << " -> " << r[1]);
    Converter rs(2, r[0], r[1], r[1] / 100);
    ASSERT_NE(rs.handle(), 0);
    const Planar x(2, std::vector<float>(r[0] / 4, 1000.0f));
    const Planar y = rs.FeedAll(x, {r[0] / 100});
    // Once the prototype lies wholly over the signal.
    const size_t filled = static_cast<size_t>((rs.mem()->filter->N + rs.mem()->M - 1) / rs.mem()->M);
    ASSERT_GT(y[0].size(), filled + 100);
    for (int c = 0; c < 2; ++c) {
      for (size_t k = filled; k < y[c].size(); ++k) ASSERT_NEAR(y[c][k], 1000.0f, 2.0f) << c << "," << k;
    }
  }
}

// Amplitude of a sine of frequency f (cycles per sample) in y[from, end),
// by least squares on sin and cos.
double Amplitude(const std::vector<float>& y, size_t from, double f) {
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (size_t k = from; k < y.size(); ++k) {
    const double s = std::sin(2 * M_PI * f * k), c = std::cos(2 * M_PI * f * k);
    ss += s * s;
    cc += c * c;
    sc += s * c;
    ys += y[k] * s;
    yc += y[k] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  return std::hypot(a, b);
}

TEST(RsMemTest, PassbandKeptAndAliasesRemovedAt48To16) {
  const double amp = 10000.0;
  for (double hz : {100.0, 1000.0, 3000.0, 6000.0, 7000.0, 9000.0, 10000.0, 12000.0, 16000.0, 20000.0, 23900.0}) {
    SCOPED_TRACE(testing::Message() << hz << " Hz");
    Converter rs(1, 48000, 16000, 160);
    Planar x(1, std::vector<float>(48000));
    for (size_t i = 0; i < x[0].size(); ++i) x[0][i] = static_cast<float>(amp * std::sin(2 * M_PI * hz * i / 48000));
    const Planar y = rs.FeedAll(x, {480});
    const size_t from = 200;  // past the filter's start-up
    if (hz < 8000.0) {
      const double db = 20 * std::log10(Amplitude(y[0], from, hz / 16000.0) / amp);
      EXPECT_NEAR(db, 0.0, 0.1);
    } else {
      double power = 0;
      for (size_t k = from; k < y[0].size(); ++k) power += static_cast<double>(y[0][k]) * y[0][k];
      const double rms = std::sqrt(power / static_cast<double>(y[0].size() - from));
      EXPECT_LT(20 * std::log10(rms / (amp / std::sqrt(2.0))), -40.0);
    }
  }
}

TEST(RsMemTest, ResetRestartsOneInputSampleLater) {
  const Planar x = Noise(2, 2000, 3);
  Converter fresh(2, 48000, 16000, 160);
  Planar shifted(2);
  for (int c = 0; c < 2; ++c) {
    shifted[c].push_back(0.0f);
    shifted[c].insert(shifted[c].end(), x[c].begin(), x[c].end() - 1);
  }
  const Planar expected = fresh.FeedAll(shifted, {480});

  Converter rs(2, 48000, 16000, 160);
  Planar junk;
  rs.Feed(Noise(2, 1000, 4), 0, 1000, &junk);  // history and a part-filled batch
  EXPECT_EQ(w6_rs_reset(rs.handle()), 0);
  EXPECT_EQ(rs.FeedAll(x, {480}), expected);
}

TEST(RsMemTest, LargeCallsGrowTheOutput) {
  Converter rs(2, 16000, 48000, 480);
  const Planar x = Noise(2, 20000, 5);  // 60000 outputs, well past the initial 1024
  Planar out;
  const int n = rs.Feed(x, 0, 20000, &out);
  EXPECT_EQ(n, 20000 / 160 * 480);
  Converter small(2, 16000, 48000, 480);
  EXPECT_EQ(small.FeedAll(x, {160}), out);
}

TEST(RsMemTest, RefusedArgumentsGiveTheNullHandle) {
  struct Case {
    int channels, inRate, outRate, batch;
    const char* log;
  } cases[] = {
      {1, 1, 17, 160, "cannot convert 1 Hz to 17 Hz"},
      {1, 17, 1, 160, "cannot convert 17 Hz to 1 Hz"},
      {1, 16000, 272000, 160, "cannot convert"},
      {1, 44101, 16000, 160, "too large"},  // coprime: a branch matrix of gigabytes
      {1, 48000, 16000, 0, "batch 0"},
      {0, 48000, 16000, 160, "channels 0"},
      {1, 0, 16000, 160, "rates 0 -> 16000"},
      {1, 48000, -16000, 160, "rates 48000 -> -16000"},
      {65535, 48001, 16000, 1, "too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.inRate << " -> " << c.outRate << ", batch "
                                    << c.batch);
    testing_support::LogCapture log;
    EXPECT_EQ(w6_rs_create(c.channels, c.inRate, c.outRate, c.batch), 0);
    EXPECT_TRUE(log.Contains("Error in w6_rs_create")) << log.Dump();
    EXPECT_TRUE(log.Contains(c.log)) << log.Dump();
  }
  // Sixteen either way is still accepted.
  Converter up(1, 1, 16, 160), down(1, 16, 1, 160);
  EXPECT_NE(up.handle(), 0);
  EXPECT_NE(down.handle(), 0);

  // The null handle is accepted everywhere.
  float** rows = reinterpret_cast<float**>(&rows);
  int count = -1;
  const float sample = 1.0f;
  const float* in[1] = {&sample};
  EXPECT_EQ(w6_rs_process_float(0, in, 1, &rows, &count), 0);
  EXPECT_EQ(rows, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(w6_rs_reset(0), 0);
  EXPECT_EQ(w6_rs_free(0), 0);
}

TEST(RsMemTest, AudioRecordsConvertInWholeBatches) {
  w6_aud_data* a = w6_aud_malloc(2, 48000, 1000);
  ASSERT_NE(a, nullptr);
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < 1000; ++i) a->data[c][i] = 1000.0f * (c + 1);
  w6_aud_data* b = w6_aud_rs(a, 16000);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->channels, 2);
  EXPECT_EQ(b->rate, 16000);
  EXPECT_EQ(b->samples, 1000 / 480 * 160);  // the last part-batch is dropped
  EXPECT_NEAR(b->data[0][200], 1000.0f, 2.0f);
  EXPECT_NEAR(b->data[1][200], 2000.0f, 2.0f);
  EXPECT_EQ(a->samples, 1000);  // the input stays
  w6_aud_free(b);

  testing_support::LogCapture log;
  EXPECT_EQ(w6_aud_rs(nullptr, 16000), nullptr);
  a->rate = 44101;
  EXPECT_EQ(w6_aud_rs(a, 16000), nullptr);
  EXPECT_EQ(w6_aud_rs(a, 500), nullptr);  // 10 ms of 500 Hz is no whole sample
  EXPECT_TRUE(log.Contains("Error in w6_aud_rs")) << log.Dump();
  EXPECT_TRUE(log.Contains("cannot convert 44101 Hz to 16000 Hz")) << log.Dump();
  EXPECT_TRUE(log.Contains("batch 0")) << log.Dump();
  w6_aud_free(a);

  // A record whose conversion would outgrow the output's int range is
  // refused before any sample is read.
  float sample = 0.0f;
  float* rows[1] = {&sample};
  w6_aud_data huge{1, 1000, INT32_MAX, rows};
  testing_support::LogCapture log2;
  EXPECT_EQ(w6_aud_rs(&huge, 16000), nullptr);
  EXPECT_TRUE(log2.Contains("make too many")) << log2.Dump();
}

}  // namespace
}  // namespace __kestrel4__
