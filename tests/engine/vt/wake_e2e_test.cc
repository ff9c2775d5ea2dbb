// The wake-word engine end to end, through its exported functions only: a
// word of three tones (tests/support/wake_fixture.h) spoken into 16 kHz
// audio, fed in 1920-sample blocks as the pipeline feeds it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "include/kestrel.h"
#include "tests/support/log_capture.h"
#include "tests/support/nnet_builder.h"
#include "tests/support/wake_fixture.h"

namespace {

using testing_support::Scene;
using testing_support::ToneWord;

constexpr int kBlock = 1920;

struct Detection {
  int flags = 0;          // every flag of the candidate, ORed over the calls
  int firstCall = -1;     // call that reported pre (or the first flag)
  int fedAtFirst = 0;     // samples fed up to and including that call
  WordDetInfo info = {};  // the record right after that call
  std::string word;
};

class WakeE2eTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_ = new std::string(testing_support::NnetTempPath("tones.nnet"));
    table_ = new std::string(testing_support::NnetTempPath("tones.phones"));
    ASSERT_TRUE(ToneWord::WriteModel(*model_));
    ASSERT_TRUE(ToneWord::WritePhoneTable(*table_));
  }
  void SetUp() override {
    ASSERT_EQ(w6_vt_sysinit(model_->c_str(), table_->c_str()), 0);
    h_ = w6_vt_create(1);
    ASSERT_NE(h_, 0);
  }
  void TearDown() override {
    w6_vt_free(h_);
    w6_vt_sysexit();
  }

  void SetWord(const WordInfo& w) { ASSERT_EQ(w6_vt_setwords(h_, &w, 1), 0); }

  // Feeds the scene block by block (the last block with `lastFlags`);
  // returns what the engine reported.
  Detection Run(const Scene& scene, int flags = 0, int lastFlags = -1) {
    Detection d;
    const std::vector<float>& s = scene.samples;
    int call = 0;
    for (size_t at = 0; at < s.size(); at += kBlock, ++call) {
      const int n = static_cast<int>(std::min<size_t>(kBlock, s.size() - at));
      const float* ch[1] = {s.data() + at};
      const bool last = at + kBlock >= s.size();
      const int f = w6_vt_process(h_, ch, n, last && lastFlags >= 0 ? lastFlags : flags);
      if (f != 0 && d.firstCall < 0) {
        d.firstCall = call;
        d.fedAtFirst = static_cast<int>(at) + n;
        const WordInfo* w = nullptr;
        const WordDetInfo* info = nullptr;
        if (w6_vt_getdetwordinfo(h_, &w, &info, 0) == 0) {
          d.info = *info;
          d.word = w->WordContent;
        }
      }
      d.flags |= f;
    }
    return d;
  }

  static std::string* model_;
  static std::string* table_;
  int64_t h_ = 0;
};

std::string* WakeE2eTest::model_ = nullptr;
std::string* WakeE2eTest::table_ = nullptr;

Scene Spoken(double before = 1.0, double after = 1.0) {
  Scene s;
  s.Quiet(before).Tones().Quiet(after);
  return s;
}

TEST_F(WakeE2eTest, TheToneWordIsFoundWhereItWasSpoken) {
  SetWord(ToneWord::Word());
  Scene scene = Spoken();
  Detection d = Run(scene);
  EXPECT_EQ(d.flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  EXPECT_EQ(d.word, "tones");
  // Offsets count back from the end of the audio fed so far.
  const int startBack = d.fedAtFirst - scene.wordStart;
  const int endBack = d.fedAtFirst - scene.wordEnd;
  SCOPED_TRACE("fed " + std::to_string(d.fedAtFirst));
  EXPECT_NEAR(d.info.StartOffset, startBack, 5 * 160);
  EXPECT_NEAR(d.info.EndOffset, endBack, 5 * 160);
}

TEST_F(WakeE2eTest, WrongOrderOrNoiseAloneIsNoWord) {
  SetWord(ToneWord::Word());
  struct Case {
    const char* name;
    Scene scene;
  } cases[] = {
      {"hi mid lo", [] { Scene s; s.Quiet(1.0).Tones({2, 1, 0}).Quiet(1.0); return s; }()},
      {"lo hi mid", [] { Scene s; s.Quiet(1.0).Tones({0, 2, 1}).Quiet(1.0); return s; }()},
      {"noise", [] { Scene s; s.Quiet(0.5).Noise(2.0, 3000.0f).Quiet(0.5); return s; }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w6_vt_reset(h_);
    EXPECT_EQ(Run(c.scene).flags, 0);
  }
}

TEST_F(WakeE2eTest, SpeechRightAfterTheWordReportsCmd) {
  WordInfo w = ToneWord::Word();
  w.RightSilCheck = 1;
  SetWord(w);
  Scene quiet = Spoken();
  EXPECT_EQ(Run(quiet).flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  w6_vt_reset(h_);
  Scene burst;
  burst.Quiet(1.0).Tones().Noise(0.6, 6000.0f).Quiet(0.6);
  EXPECT_EQ(Run(burst).flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_CMD);
}

TEST_F(WakeE2eTest, ClassifierBelowTheWordsThresholdCancels) {
  // A confirmation network that always says (ln 0.2, ln 0.8): score -0.223.
  std::string cf = testing_support::NnetTempPath("tones_cf.nnet");
  testing_support::NnetBuilder b;
  b.Affine(40, 2, testing_support::Zeros(80), {std::log(0.2f), std::log(0.8f)}).Softmax(2);
  ASSERT_TRUE(b.Write(cf));
  WordInfo w = ToneWord::Word();
  w.ClassifyCheck = 1;
  strcpy(w.ClassifyNnetPath, cf.c_str());
  struct Case {
    float shield;
    int flags;
  } cases[] = {{0.0f, W6_VT_PRE | W6_VT_CANCEL}, {-0.3f, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shield);
    w.ClassifyNnetShield = c.shield;
    SetWord(w);
    w6_vt_reset(h_);
    testing_support::LogCapture log;
    EXPECT_EQ(Run(Spoken()).flags, c.flags);
    EXPECT_TRUE(log.Has("--------------Start cf")) << log.Dump();
  }
}

TEST_F(WakeE2eTest, LoudNoiseBeforeTheWordFailsTheLeftCheckUnlessEchoRuns) {
  WordInfo w = ToneWord::Word();
  w.LeftSilCheck = 1;
  SetWord(w);
  auto scene = [] {
    Scene s;
    s.Quiet(0.5).Noise(0.6, 6000.0f).Quiet(0.1).Tones().Quiet(1.0);
    return s;
  };
  {
    testing_support::LogCapture log;
    EXPECT_EQ(Run(scene()).flags, 0);  // ends silently
    EXPECT_TRUE(log.Has("---------------------FAILED CHECK LEFT SILENCE")) << log.Dump();
  }
  w6_vt_reset(h_);
  {
    testing_support::LogCapture log;
    EXPECT_EQ(Run(scene(), W6_VT_FLAG_AEC).flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
    EXPECT_TRUE(log.Has("---------------------REMOVE CHECK LEFT SILENCE IN AEC CONDITION")) << log.Dump();
  }
  w6_vt_reset(h_);
  EXPECT_EQ(Run(Spoken()).flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);  // quiet before: passes
}

TEST_F(WakeE2eTest, EndOfInputWhileTheScoreRisesDecidesInThatCall) {
  SetWord(ToneWord::Word());
  // The input stops 100 ms after the word: with the features' lookahead the
  // detector has scored only part of the last, rising tone.
  Scene scene;
  scene.Quiet(1.0).Tones().Quiet(0.1);
  Detection open = Run(scene);
  EXPECT_EQ(open.flags, 0);  // still rising: no peak yet
  w6_vt_reset(h_);
  Detection ended = Run(scene, 0, W6_VT_FLAG_END);
  EXPECT_EQ(ended.flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  EXPECT_EQ(ended.firstCall, static_cast<int>((scene.samples.size() + kBlock - 1) / kBlock) - 1);
}

// A caller may hand the engine a whole recording at once: a call longer than
// the engine's 10 s of history is scored row by row like a stream of blocks,
// and the windows of a word early in the call still reach the audio before it.
TEST_F(WakeE2eTest, OneLongCallFindsTheWordLikeBlocksDo) {
  auto once = [this](const Scene& scene, int flags) {
    const float* ch[1] = {scene.samples.data()};
    Detection d;
    d.flags = w6_vt_process(h_, ch, static_cast<int>(scene.samples.size()), flags);
    const WordInfo* w = nullptr;
    const WordDetInfo* info = nullptr;
    if (w6_vt_getdetwordinfo(h_, &w, &info, 0) == 0) d.info = *info;
    return d;
  };
  WordInfo w = ToneWord::Word();
  w.LeftSilCheck = 1;
  SetWord(w);
  {
    Scene scene;
    scene.Quiet(1.0).Tones().Quiet(12.0);
    Detection d = once(scene, 0);
    EXPECT_EQ(d.flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
    const int n = static_cast<int>(scene.samples.size());
    EXPECT_NEAR(d.info.StartOffset, n - scene.wordStart, 5 * 160);
    EXPECT_NEAR(d.info.EndOffset, n - scene.wordEnd, 5 * 160);
  }
  w6_vt_reset(h_);
  {
    Scene scene;
    scene.Quiet(0.5).Noise(0.6, 6000.0f).Quiet(0.1).Tones().Quiet(12.0);
    testing_support::LogCapture log;
    EXPECT_EQ(once(scene, 0).flags, 0);  // the noise before the word is still heard
    EXPECT_TRUE(log.Has("---------------------FAILED CHECK LEFT SILENCE")) << log.Dump();
  }
}

struct Windows {
  int calls = 0;
  int leftFrom = 0, leftTo = 0, wordFrom = 0, wordTo = 0;
  bool accept = true;
  int checks = 0;
};

TEST_F(WakeE2eTest, DirectionCallbackWindowsAndTheDirectionCheck) {
  std::string cf = testing_support::NnetTempPath("tones_cf2.nnet");
  testing_support::NnetBuilder b;
  b.Affine(40, 2, testing_support::Zeros(80), {std::log(0.2f), std::log(0.8f)}).Softmax(2);
  ASSERT_TRUE(b.Write(cf));
  WordInfo w = ToneWord::Word();
  w.ClassifyCheck = 1;
  strcpy(w.ClassifyNnetPath, cf.c_str());
  Windows seen;
  w6_vt_set_dosecsl_cb(
      h_,
      [](int lf, int lt, int wf, int wt, float* dir, float* sil, void* user) {
        auto* s = static_cast<Windows*>(user);
        ++s->calls;
        s->leftFrom = lf;
        s->leftTo = lt;
        s->wordFrom = wf;
        s->wordTo = wt;
        dir[0] = 0.5f;
        dir[1] = 0.1f;
        *sil = 2000.0f;
        return 0;
      },
      &seen);
  w6_vt_set_checkdirty_cb(
      h_,
      [](void* user, float* dir) {
        auto* s = static_cast<Windows*>(user);
        ++s->checks;
        return s->accept && dir[0] == 0.5f;
      },
      &seen);
  SetWord(w);
  Detection d = Run(Spoken());
  EXPECT_EQ(d.flags, W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  ASSERT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.checks, 1);
  EXPECT_EQ(d.info.Direction[0], 0.5f);
  // Left window: 35 frames ending 10 frames before the word; the word span
  // runs from its start to the newest row the detector saw.
  EXPECT_EQ(seen.leftFrom - seen.leftTo, 35);
  EXPECT_EQ(seen.leftTo - seen.wordFrom, 10);
  // The word span is the path (the three 20-frame tones) plus the 16-frame
  // lookahead.
  EXPECT_NEAR(seen.wordFrom - seen.wordTo, 60 + 16, 4);

  seen.accept = false;
  w6_vt_reset(h_);
  EXPECT_EQ(Run(Spoken()).flags, W6_VT_PRE | W6_VT_CANCEL);
  EXPECT_EQ(seen.checks, 2);
}

}  // namespace
