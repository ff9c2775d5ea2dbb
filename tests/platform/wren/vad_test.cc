// Voice-activity detector: starts and ends of speech-like bursts over white
// noise at 10 dB SNR, silence on noise alone, forced starts, restarts, the
// utterance length limit and ending modes, parameters, handles and the energy
// scale. Levels are on the front end's float scale (full scale 2^21).
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "ext/wren.h"
#include "tests/platform/signals.h"

namespace {

using namespace testsig;

constexpr int kFrame = 160;
constexpr int kMs = kRate / 1000;  // samples per millisecond

struct Burst {
  int onset;  // first voiced sample
  int end;    // one past the last voiced sample
};

// White noise with speech-like bursts at the given sample positions, each
// `snr` dB above the noise (RMS over its voiced parts).
std::vector<float> Scene(int n, double noise_rms, double snr_db, const std::vector<int>& at,
                         const std::vector<int>& lengths, uint64_t seed, std::vector<Burst>* bursts) {
  std::vector<float> x = WhiteNoise(n, noise_rms, seed);
  for (size_t b = 0; b < at.size(); ++b) {
    std::vector<uint8_t> active;
    const std::vector<float> s =
        SpeechLike(lengths[b], noise_rms * std::pow(10.0, snr_db / 20.0), seed * 31 + b, &active);
    Burst burst{-1, -1};
    for (int i = 0; i < lengths[b]; ++i) {
      x[at[b] + i] += s[i];
      if (active[i]) {
        if (burst.onset < 0) burst.onset = at[b] + i;
        burst.end = at[b] + i + 1;
      }
    }
    bursts->push_back(burst);
  }
  return x;
}

struct Utterance {
  int start_reported = -1;  // sample at the end of the frame that reported it
  int start = -1;           // first sample of the utterance
  int stop_reported = -1;
  int stop = -1;            // one past its last sample
  bool voice_matches = false;
};

// Feeds x frame by frame the way the front end does: watch for a start, then
// for a stop, then restart the detector. Frame numbers from the detector are
// turned into sample positions of x.
std::vector<Utterance> Detect(int vad, const std::vector<float>& x) {
  std::vector<Utterance> found;
  int base = 0;  // first frame since the last restart
  bool open = false;
  const int frames = static_cast<int>(x.size()) / kFrame;
  for (int f = 0; f < frames; ++f) {
    EXPECT_GE(VD_InputFloatWave(vad, &x[static_cast<size_t>(f) * kFrame], kFrame, 0, 0), 0);
    if (!open && VD_GetVoiceStartFrame(vad) >= 0) {
      open = true;
      Utterance u;
      u.start_reported = (f + 1) * kFrame;
      u.start = (base + VD_GetVoiceStartFrame(vad)) * kFrame;
      found.push_back(u);
    }
    if (open && VD_GetVoiceStopFrame(vad) > 0) {
      Utterance& u = found.back();
      u.stop_reported = (f + 1) * kFrame;
      const int stop = VD_GetVoiceStopFrame(vad);
      const int length = VD_GetVoiceFrameNum(vad);
      EXPECT_EQ(stop, VD_GetVoiceStartFrame(vad) + length);
      u.stop = (base + stop) * kFrame;
      const float* voice = VD_GetFloatVoice(vad);
      u.voice_matches = std::equal(voice, voice + static_cast<size_t>(length) * kFrame, &x[u.start]);
      EXPECT_EQ(VD_RestartVad(vad), 0);
      base = f + 1;
      open = false;
    }
  }
  return found;
}

struct SceneCase {
  const char* name;
  double noise_rms;
  int end_frames;  // parameter 3, 0 for the default (45)
  uint64_t seed;
  double snr_db;
  int slack_ms;    // how late a start and how early or late an end may be reported
};
void PrintTo(const SceneCase& c, std::ostream* os) { *os << c.name; }

class BurstTest : public ::testing::TestWithParam<SceneCase> {};

TEST_P(BurstTest, ReportsStartAndEndOfEachBurst) {
  const SceneCase& c = GetParam();
  const int n = 12 * kRate;
  std::vector<Burst> bursts;
  const std::vector<float> x =
      Scene(n, c.noise_rms, c.snr_db, {2 * kRate, 6 * kRate, 19 * kRate / 2},
            {3 * kRate / 2, kRate, 6 * kRate / 5}, c.seed, &bursts);
  const int vad = VD_NewVad(1);
  ASSERT_GT(vad, 0);
  const int longest = 1000;
  ASSERT_EQ(VD_SetVadParam(vad, 7, &longest), 0);
  int silence = 45;
  if (c.end_frames > 0) {
    silence = c.end_frames;
    ASSERT_EQ(VD_SetVadParam(vad, 3, &silence), 0);
  }
  const std::vector<Utterance> found = Detect(vad, x);
  VD_DelVad(vad);

  ASSERT_EQ(found.size(), bursts.size());
  for (size_t b = 0; b < bursts.size(); ++b) {
    SCOPED_TRACE(::testing::Message() << "burst " << b << " voiced from " << bursts[b].onset / kMs
                                      << " ms to " << bursts[b].end / kMs << " ms");
    const Utterance& u = found[b];
    EXPECT_GE(u.start_reported, bursts[b].onset);
    EXPECT_LE(u.start_reported, bursts[b].onset + c.slack_ms * kMs);
    // The utterance keeps the onset (and a little before it); at low SNR the
    // softest first syllable may be missed.
    EXPECT_LE(u.start, bursts[b].onset + (c.slack_ms - 150) * kMs);
    EXPECT_GE(u.start, bursts[b].onset - 200 * kMs);
    const int wait = silence * 10 * kMs;
    EXPECT_GE(u.stop_reported, bursts[b].end + wait - c.slack_ms * kMs);
    EXPECT_LE(u.stop_reported, bursts[b].end + wait + c.slack_ms * kMs);
    // The utterance ends with the speech, not with the silence after it.
    EXPECT_NEAR(u.stop, bursts[b].end, c.slack_ms * kMs);
    EXPECT_TRUE(u.voice_matches);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, BurstTest,
    ::testing::Values(SceneCase{"QuietRoom", 3000.0, 0, 1, 10.0, 150},
                      SceneCase{"NoisyRoom", 60000.0, 0, 2, 10.0, 150},
                      SceneCase{"ShortEnd", 3000.0, 25, 3, 10.0, 150},
                      SceneCase{"LongEnd", 10000.0, 70, 4, 10.0, 150},
                      // At 3 dB the energy alone breaks the bursts apart; the
                      // estimator's certainty holds each one together.
                      SceneCase{"LowSnr", 3000.0, 0, 5, 3.0, 300},
                      SceneCase{"LowSnrNoisy", 60000.0, 0, 6, 3.0, 300}),
    [](const ::testing::TestParamInfo<SceneCase>& info) { return std::string(info.param.name); });

// Noise alone, from digital silence to loud, never starts an utterance.
TEST(VoiceActivity, NoStartOnNoiseAlone) {
  for (double rms : {0.0, 30.0, 3000.0, 300000.0}) {
    SCOPED_TRACE(::testing::Message() << "noise RMS " << rms);
    const std::vector<float> x = WhiteNoise(10 * kRate, rms, 17);
    const int vad = VD_NewVad(1);
    const std::vector<Utterance> found = Detect(vad, x);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(VD_GetVoiceStartFrame(vad), -1);
    EXPECT_EQ(VD_GetVoiceFrameNum(vad), 0);
    VD_DelVad(vad);
  }
}

void Feed(int vad, const std::vector<float>& x, int from_frame, int frames) {
  for (int f = from_frame; f < from_frame + frames; ++f) {
    ASSERT_GE(VD_InputFloatWave(vad, &x[static_cast<size_t>(f) * kFrame], kFrame, 0, 0), 0);
  }
}

// Stage 2 forces a wake word's audio into speech: VD_SetStart(0) and an end
// of 2000 frames before the frame, then back to the default end (45 frames,
// mode 1) once it knows whether a command follows.
TEST(VoiceActivity, SetStartForcesAStartOnTheNextFrame) {
  const std::vector<float> x = WhiteNoise(8 * kRate, 3000.0, 23);
  for (int back : {0, 3}) {
    SCOPED_TRACE(::testing::Message() << "back " << back);
    const int vad = VD_NewVad(1);
    Feed(vad, x, 0, 50);
    EXPECT_EQ(VD_GetVoiceStartFrame(vad), -1);
    const int hold = 2000, caller = 0;
    ASSERT_EQ(VD_SetStart(vad, back), 0);
    ASSERT_EQ(VD_SetVadParam(vad, 3, &hold), 0);
    ASSERT_EQ(VD_SetVadParam(vad, 10, &caller), 0);
    Feed(vad, x, 50, 1);
    EXPECT_EQ(VD_GetVoiceStartFrame(vad), 50 - back);
    ASSERT_EQ(VD_GetVoiceFrameNum(vad), back + 1);
    EXPECT_TRUE(std::equal(VD_GetFloatVoice(vad), VD_GetFloatVoice(vad) + (back + 1) * kFrame,
                           &x[static_cast<size_t>(50 - back) * kFrame]));
    // Noise goes on: the long end keeps the utterance open.
    Feed(vad, x, 51, 300);
    EXPECT_EQ(VD_GetVoiceStopFrame(vad), 0);
    EXPECT_EQ(VD_GetVoiceFrameNum(vad), back + 301);
    // The default end again: more than 45 frames of non-speech have passed,
    // so the next frame ends the utterance at its last speech frame, the
    // forced one.
    const int end = 45, one = 1;
    ASSERT_EQ(VD_SetVadParam(vad, 3, &end), 0);
    ASSERT_EQ(VD_SetVadParam(vad, 10, &one), 0);
    Feed(vad, x, 351, 1);
    EXPECT_EQ(VD_GetVoiceStopFrame(vad), 51);
    EXPECT_EQ(VD_GetVoiceFrameNum(vad), back + 1);
    VD_DelVad(vad);
  }
}

TEST(VoiceActivity, RestartForgetsTheUtterance) {
  std::vector<Burst> bursts;
  const std::vector<float> x = Scene(8 * kRate, 3000.0, 10.0, {kRate, 5 * kRate},
                                     {kRate, kRate}, 5, &bursts);
  const int vad = VD_NewVad(1);
  // Into the first burst: an utterance is open.
  const int into = (bursts[0].onset + 500 * kMs) / kFrame;
  Feed(vad, x, 0, into);
  ASSERT_GE(VD_GetVoiceStartFrame(vad), 0);
  ASSERT_GT(VD_GetVoiceFrameNum(vad), 0);
  ASSERT_EQ(VD_RestartVad(vad), 0);
  EXPECT_EQ(VD_GetVoiceStartFrame(vad), -1);
  EXPECT_EQ(VD_GetVoiceStopFrame(vad), 0);
  EXPECT_EQ(VD_GetVoiceFrameNum(vad), 0);
  // The rest of the scene from the restart on: the end of the first burst
  // does not count as an utterance of its own beyond what is heard from now,
  // and the second burst's start is counted in frames from the restart.
  std::vector<float> rest(x.begin() + static_cast<size_t>(into) * kFrame, x.end());
  const std::vector<Utterance> found = Detect(vad, rest);
  ASSERT_FALSE(found.empty());
  const Utterance& last = found.back();
  const int onset = bursts[1].onset - into * kFrame;
  EXPECT_LE(last.start, onset);
  EXPECT_GE(last.start, onset - 200 * kMs);
  VD_DelVad(vad);
}

// Parameter 7 bounds an utterance; parameter 10 decides whether the closing
// silence belongs to it.
TEST(VoiceActivity, LongestUtteranceAndEndingMode) {
  std::vector<Burst> bursts;
  // Words with short gaps for 6 s: one long utterance.
  const std::vector<float> x = Scene(8 * kRate, 3000.0, 15.0, {kRate}, {6 * kRate}, 8, &bursts);
  {
    const int vad = VD_NewVad(1);
    const int longest = 100;
    ASSERT_EQ(VD_SetVadParam(vad, 7, &longest), 0);
    const std::vector<Utterance> found = Detect(vad, x);
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[0].stop - found[0].start, 100 * kFrame);
    EXPECT_EQ(found[0].stop_reported, found[0].stop);  // reported on its last frame
    EXPECT_TRUE(found[0].voice_matches);
    VD_DelVad(vad);
  }
  for (int mode : {0, 1}) {
    SCOPED_TRACE(::testing::Message() << "ending mode " << mode);
    const int vad = VD_NewVad(1);
    const int end = 30;
    ASSERT_EQ(VD_SetVadParam(vad, 3, &end), 0);
    ASSERT_EQ(VD_SetVadParam(vad, 10, &mode), 0);
    const std::vector<Utterance> found = Detect(vad, x);
    ASSERT_EQ(found.size(), 1u);
    if (mode == 0) {
      EXPECT_EQ(found[0].stop, found[0].stop_reported);
    } else {
      EXPECT_EQ(found[0].stop, found[0].stop_reported - end * kFrame);
    }
    EXPECT_TRUE(found[0].voice_matches);
    VD_DelVad(vad);
  }
}

TEST(VoiceActivity, ParametersAreChecked) {
  const int vad = VD_NewVad(1);
  const int zero = 0, two = 2, five = 5, big = 7000, ok = 60;
  EXPECT_EQ(VD_SetVadParam(vad, 4, &ok), -1);
  EXPECT_EQ(VD_SetVadParam(vad, 3, &zero), -1);
  EXPECT_EQ(VD_SetVadParam(vad, 7, &five), -1);
  EXPECT_EQ(VD_SetVadParam(vad, 7, &big), -1);
  EXPECT_EQ(VD_SetVadParam(vad, 10, &two), -1);
  EXPECT_EQ(VD_SetVadParam(vad, 3, nullptr), -1);
  EXPECT_EQ(VD_SetVadParam(vad, 3, &ok), 0);
  std::vector<float> frame(kFrame, 0.f);
  EXPECT_EQ(VD_InputFloatWave(vad, frame.data(), 80, 0, 0), -1);
  EXPECT_EQ(VD_InputFloatWave(vad, nullptr, kFrame, 0, 0), -1);
  VD_DelVad(vad);
}

TEST(VoiceActivity, HandlesStayUniqueAndAreLimited) {
  const int first = VD_NewVad(1);
  ASSERT_GT(first, 0);
  ASSERT_EQ(VD_DelVad(first), 0);
  EXPECT_EQ(VD_DelVad(first), -1);
  EXPECT_EQ(VD_GetVoiceStartFrame(first), -1);
  EXPECT_EQ(VD_GetFloatVoice(first), nullptr);
  std::vector<int> all;
  for (int i = 0; i < 64; ++i) {
    const int h = VD_NewVad(i % 4);
    ASSERT_GT(h, 0) << "detector " << i;
    EXPECT_NE(h, first);  // the deleted handle is not handed out again
    all.push_back(h);
  }
  EXPECT_EQ(VD_NewVad(1), -1);
  for (int h : all) EXPECT_EQ(VD_DelVad(h), 0);
  EXPECT_EQ(VD_GetThresholdEnergy(first), 0.f);
  EXPECT_EQ(VAD_SysInit(), 1);
  EXPECT_EQ(VAD_SysExit(), 0);
  EXPECT_EQ(VAD_SysExit(), -1);
}

// The energy is amplitude-like in the input's units: a full-scale sine gives
// 663000 (2^21 / sqrt(2) / sqrt(5)); the threshold sits 6 dB (mode 1) above
// the level of steady noise.
TEST(VoiceActivity, EnergyScale) {
  const int vad = VD_NewVad(1);
  const std::vector<float> sine = Tone(kRate / 2, 1000.0, 2097152.0);
  Feed(vad, sine, 0, 50);
  EXPECT_NEAR(VD_GetLastFrameEnergy(vad), 663178.0, 663178.0 * 0.01);
  VD_DelVad(vad);

  for (int mode = 0; mode <= 3; ++mode) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    const int v = VD_NewVad(mode);
    const std::vector<float> noise = WhiteNoise(3 * kRate, 10000.0, 29);
    Feed(v, noise, 0, 3 * kRate / kFrame);
    const double expected = 10000.0 / std::sqrt(5.0) * std::pow(10.0, (4.0 + 2.0 * mode) / 20.0);
    // The floor settles a little below the mean level of the noise.
    EXPECT_NEAR(Db(VD_GetThresholdEnergy(v) / expected), -0.5, 1.0);
    VD_DelVad(v);
  }
}

}  // namespace
