// Echo canceller: echo reduction on a simulated room, a near-end talker
// during playback, the echo-condition result and argument handling.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "ext/w6ssp.h"
#include "tests/platform/signals.h"

namespace {

using namespace testsig;

constexpr int kFrame = 256;

struct Capture {
  std::vector<std::vector<float>> echo, near, mic, out;
};

// Runs the canceller over planar microphone signals and one reference,
// frame by frame as the stage-1 driver does; returns the per-frame results.
std::vector<int> Cancel(int64_t aec, const std::vector<float>& ref, Capture& c) {
  const int mics = static_cast<int>(c.mic.size());
  const int n = static_cast<int>(ref.size());
  std::vector<float> in(kFrame * mics), out(kFrame * mics);
  std::vector<int> results;
  c.out.assign(mics, std::vector<float>(n, 0.f));
  for (int s = 0; s + kFrame <= n; s += kFrame) {
    EXPECT_EQ(w6ssp_aec_buffer_farend(aec, &ref[s], kFrame), 0);
    for (int m = 0; m < mics; ++m) std::copy(&c.mic[m][s], &c.mic[m][s] + kFrame, &in[kFrame * m]);
    results.push_back(w6ssp_aec_process(aec, in.data(), kFrame * mics, out.data(), 0));
    for (int m = 0; m < mics; ++m) {
      std::copy(&out[kFrame * m], &out[kFrame * m] + kFrame, &c.out[m][s]);
    }
  }
  return results;
}

struct EchoCase {
  const char* name;
  bool speech;        // speech-like reference instead of white noise
  double ref_rms;     // 16-bit scale
};
void PrintTo(const EchoCase& c, std::ostream* os) { *os << c.name; }

class EchoTest : public ::testing::TestWithParam<EchoCase> {};

// Playback through a ~100-ms room (direct path 3 ms after the loudspeaker) into
// two microphones with a little sensor noise; from 5 s on a near-end talker
// speaks over the playback.
TEST_P(EchoTest, ReducesEchoBy20dBAndKeepsTheNearEndTalker) {
  const EchoCase& ec = GetParam();
  const int n = 7 * kRate;
  const int talk = 5 * kRate;
  const std::vector<float> ref =
      ec.speech ? SpeechLike(n, ec.ref_rms, 7) : WhiteNoise(n, ec.ref_rms, 7);
  const std::vector<float> talker = SpeechLike(n, 1500.0, 99);
  Capture c;
  for (int m = 0; m < 2; ++m) {
    c.echo.push_back(Convolve(ref, RoomResponse(1600, 48 + 5 * m, 11 + m)));
    // Clipping alone would ruin any linear canceller: the fixture stays below
    // full scale.
    ASSERT_EQ(CountAbove(c.echo[m], 0, n, 32000.0), 0) << "microphone " << m;
    std::vector<float> noise = WhiteNoise(n, 5.0, 100 + m);
    c.near.emplace_back(n, 0.f);
    c.mic.emplace_back(n, 0.f);
    for (int i = 0; i < n; ++i) {
      if (i >= talk) c.near[m][i] = talker[i] * (m ? 0.9f : 1.f);
      c.mic[m][i] = c.echo[m][i] + c.near[m][i] + noise[i];
    }
  }

  int64_t aec = w6ssp_aec_create(0);
  ASSERT_NE(aec, 0);
  const int cpus[] = {2, 3};
  EXPECT_EQ(w6ssp_aec_set_thread_affinities(aec, cpus, 2), 0);
  ASSERT_EQ(w6ssp_aec_init(aec, 16000, 2, 1), 0);
  const std::vector<int> results = Cancel(aec, ref, c);
  w6ssp_aec_free(aec);

  for (int m = 0; m < 2; ++m) {
    SCOPED_TRACE(::testing::Message() << ec.name << ", microphone " << m);
    const double erle = Db(Rms(c.echo[m], 3 * kRate, 5 * kRate) / Rms(c.out[m], 3 * kRate, 5 * kRate));
    EXPECT_GE(erle, 20.0);
    // The talker is 12 to 20 dB below the echo; the output over his speech
    // must carry him at his own level (within 3 dB).
    const int from = talk + kRate / 2;
    const double kept = Db(Rms(c.out[m], from, n) / Rms(c.near[m], from, n));
    EXPECT_NEAR(kept, 0.0, 3.0);
  }
  // Frames whose reference carries playback report the echo condition (0);
  // the speech-like reference has pauses, which report 1.
  int playing = 0;
  for (int r : results) {
    ASSERT_TRUE(r == 0 || r == 1);
    playing += r == 0;
  }
  if (ec.speech) {
    EXPECT_GT(playing, 0);
    EXPECT_LT(playing, static_cast<int>(results.size()));
  } else {
    EXPECT_EQ(playing, static_cast<int>(results.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    References, EchoTest,
    ::testing::Values(EchoCase{"white noise", false, 1500.0}, EchoCase{"speech-like", true, 800.0}),
    [](const ::testing::TestParamInfo<EchoCase>& info) {
      return std::string(info.param.speech ? "SpeechLike" : "WhiteNoise");
    });

TEST(EchoCanceller, WithoutPlaybackTheNearEndPassesAtItsLevel) {
  const int n = 3 * kRate;
  Capture c;
  c.mic.push_back(SpeechLike(n, 2000.0, 5));
  const std::vector<float> silence(n, 0.f);
  int64_t aec = w6ssp_aec_create(0);
  ASSERT_EQ(w6ssp_aec_init(aec, 16000, 1, 1), 0);
  const std::vector<int> results = Cancel(aec, silence, c);
  w6ssp_aec_free(aec);
  for (int r : results) ASSERT_EQ(r, 1);
  EXPECT_NEAR(Db(Rms(c.out[0], kRate, n) / Rms(c.mic[0], kRate, n)), 0.0, 0.5);
}

// The result describes the reference stored for that very frame: playback at
// or above -78 dBFS RMS in any reference channel is the echo condition (0);
// a frame without a stored reference hears none (1).
TEST(EchoCanceller, ResultFollowsTheStoredReference) {
  int64_t aec = w6ssp_aec_create(0);
  ASSERT_EQ(w6ssp_aec_init(aec, 16000, 2, 2), 0);
  std::vector<float> mics(kFrame * 2, 0.f), out(kFrame * 2, 0.f);
  struct Step {
    double rms0, rms1;  // reference levels, or negative for no farend call
    int expected;
  };
  const Step steps[] = {
      {0.0, 0.0, 1},     {3.0, 0.0, 1},    {0.0, 6.0, 0}, {500.0, 500.0, 0},
      {-1.0, -1.0, 1},   // the previous reference is not used twice
      {6.0, 0.0, 0},     {0.0, 0.0, 1},
  };
  int k = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(::testing::Message() << "step " << k++);
    if (s.rms0 >= 0.0) {
      std::vector<float> ref = WhiteNoise(kFrame, s.rms0, 40 + k);
      std::vector<float> ref1 = WhiteNoise(kFrame, s.rms1, 80 + k);
      SetRms(ref, s.rms0);
      SetRms(ref1, s.rms1);
      ref.insert(ref.end(), ref1.begin(), ref1.end());
      ASSERT_EQ(w6ssp_aec_buffer_farend(aec, ref.data(), kFrame * 2), 0);
    }
    EXPECT_EQ(w6ssp_aec_process(aec, mics.data(), kFrame * 2, out.data(), 0), s.expected);
  }
  w6ssp_aec_free(aec);
}

TEST(EchoCanceller, RefusesWhatItCannotProcess) {
  std::vector<float> mics = WhiteNoise(kFrame * 2, 100.0, 3), out(kFrame * 2, 7.f);
  EXPECT_EQ(w6ssp_aec_process(0, mics.data(), kFrame * 2, out.data(), 0), -1);

  int64_t aec = w6ssp_aec_create(0);
  // Before init the frame passes through unchanged.
  EXPECT_EQ(w6ssp_aec_process(aec, mics.data(), kFrame * 2, out.data(), 0), -1);
  EXPECT_EQ(out, mics);
  EXPECT_EQ(w6ssp_aec_buffer_farend(aec, mics.data(), kFrame), -1);
  EXPECT_EQ(w6ssp_aec_init(aec, 16000, 0, 1), -1);
  EXPECT_EQ(w6ssp_aec_init(aec, 16000, 2, 0), -1);
  EXPECT_EQ(w6ssp_aec_init(aec, 1000, 2, 1), -1);
  ASSERT_EQ(w6ssp_aec_init(aec, 16000, 2, 1), 0);
  EXPECT_EQ(w6ssp_aec_buffer_farend(aec, mics.data(), kFrame * 2), -1);  // 2 references given, 1 set
  EXPECT_EQ(w6ssp_aec_process(aec, mics.data(), kFrame, out.data(), 0), -1);
  EXPECT_EQ(w6ssp_aec_set_thread_affinities(aec, nullptr, 1), -1);
  EXPECT_EQ(w6ssp_aec_set_thread_affinities(aec, nullptr, 0), 0);

  // A handle of another family is not an echo canceller.
  int64_t ns = w6ssp_ns_create();
  EXPECT_EQ(w6ssp_aec_init(ns, 16000, 2, 1), -1);
  EXPECT_EQ(w6ssp_aec_free(ns), -1);
  EXPECT_EQ(w6ssp_ns_free(ns), 0);

  EXPECT_EQ(w6ssp_aec_free(aec), 0);
  EXPECT_EQ(w6ssp_aec_free(0), 0);
}

}  // namespace
