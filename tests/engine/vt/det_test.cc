// The word detector on hand-made network output rows: the dynamic programme's
// crossing and peak, the checks and their due rows, end of input, and the
// detection record. A two-phone word "a|# b|#": phone a scores output 1,
// phone b output 2; rows are 5 for the spoken phone and -10 otherwise.
#include "engine/vt/det.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

std::unique_ptr<ZVtWord> TwoPhoneWord() {
  auto word = std::make_unique<ZVtWord>();
  word->WordType = 1;
  word->WordContent = "ab";
  word->BlockMinFrmLen = 3;
  word->BlockMaxFrmLen = 30;
  word->BlockAvgScore = 3.0f;
  word->BlockMinScore = -1.0f;
  word->LeftSilOffset = word->RightSilOffset = 35;
  word->LeftSilSkip = word->RightSilSkip = 10;
  word->LeftSilShield = word->RightSilShield = 0.3f;
  word->LeftSilCheck = word->RightSilCheck = word->ClassifyCheck = false;
  word->CmdChangeAec = word->CmdChangeNoAec = false;
  auto* a = new ZPhoBatch(ZPhoBatch::kWordStart | ZPhoBatch::kBlockStart | ZPhoBatch::kBlockEnd, 1);
  auto* b = new ZPhoBatch(ZPhoBatch::kBlockStart | ZPhoBatch::kWordEnd | ZPhoBatch::kBlockEnd, 1);
  for (int i = 0; i < 3; ++i) {
    a->pId[i] = 1;
    b->pId[i] = 2;
  }
  word->SetPhoBatchLst({a, b});
  return word;
}

enum Frame { kA, kB, kSil };

// Feeds rows to a detector the way the engine does: the audio ring runs 16
// frames (the feature lookahead) ahead of the newest row. Audio frame k is
// the frame of row k; frames before row 1 are the "pre" audio.
class DetHarness {
 public:
  explicit DetHarness(ZVtWord* word, std::function<float(int frame, int i)> audioAt = nullptr)
      : det(word, 160, 16), out(1000, 2), audio(160000), audioAt_(audioAt) {
    for (int k = -99; k <= 16; ++k) PutAudio(k);
  }
  int Feed(Frame f, int flags = 0) { return FeedRow(f == kA ? 5.0f : -10.0f, f == kB ? 5.0f : -10.0f, flags); }
  // One row with the given scores of phones a and b.
  int FeedRow(float a, float b, int flags = 0) {
    float row[2] = {a, b};
    float* rows[1] = {row};
    out.PutBuff(rows, 1);
    ++fed;
    PutAudio(fed + 16);
    return det.ProcessScore(1, &out, &audio, flags);
  }
  // Feeds a sequence; returns the flags of each row (index 0 = row 1).
  std::vector<int> FeedAll(const std::vector<Frame>& frames, int flags = 0) {
    std::vector<int> r;
    for (Frame f : frames) r.push_back(Feed(f, flags));
    return r;
  }

  ZVtDet det;
  ZMatBuff out;
  ZVecBuff audio;
  int fed = 0;

 private:
  void PutAudio(int frame) {
    float s[160] = {};
    if (audioAt_)
      for (int i = 0; i < 160; ++i) s[i] = audioAt_(frame, i);
    audio.PutBuff(s, 160);
  }
  std::function<float(int, int)> audioAt_;
};

std::vector<Frame> Word(int a, int b, int sil) {
  std::vector<Frame> v(a, kA);
  v.insert(v.end(), b, kB);
  v.insert(v.end(), sil, kSil);
  return v;
}

int FirstNonZero(const std::vector<int>& flags) {
  for (size_t i = 0; i < flags.size(); ++i)
    if (flags[i] != 0) return static_cast<int>(i) + 1;
  return -1;
}

TEST(DetTest, CrossingPeakAndAllStagesOnThePeakRow) {
  auto word = TwoPhoneWord();
  testing_support::LogCapture log;
  DetHarness h(word.get());
  std::vector<int> flags = h.FeedAll(Word(10, 10, 5));
  // Row 13 is the first whose best path closes a 4-frame block of b (3 b
  // frames and one a frame: (5 + 1.25) / 2 = 3.125 > 3); the score stays 5
  // through row 20 and first falls on row 21, the peak.
  EXPECT_EQ(FirstNonZero(flags), 21);
  EXPECT_EQ(flags[20], W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  // Every a-block length scores the same 5; ties go to the first candidate,
  // the shortest block (4 frames): the path at the crossing is rows 6 to 13.
  EXPECT_EQ(h.det.nStartFrm, 5);
  EXPECT_EQ(h.det.nPeakFrm, 21);
  EXPECT_TRUE(h.det.IsNeedReset());
  EXPECT_TRUE(log.Has("1 to vtdet_process", 4)) << log.Dump();
  EXPECT_TRUE(log.Has("-------------1 BestScore: 5.000000", 4)) << log.Dump();

  // Measured from 16 frames after the newest row: back to the word's start
  // and to its peak.
  const WordDetInfo* info = h.det.GetDetWordInfo(16);
  EXPECT_EQ(info->StartOffset, 160 * (25 - 5 + 16));
  EXPECT_EQ(info->EndOffset, 160 * (25 - 21 + 16));
  EXPECT_EQ(info->WordEnergy, 0.0f);  // no silence check configured

  // Finished: later rows score nothing until the detector is reset.
  EXPECT_EQ(h.Feed(kA), 0);
  h.det.Reset();
  EXPECT_EQ(h.det.nStatus, ZVtDet::kStatusListen);
  EXPECT_EQ(FirstNonZero(h.FeedAll(Word(10, 10, 2))), 21);
}

TEST(DetTest, ScoresThatNeverCrossOrStartAboveGiveNothing) {
  struct Case {
    const char* name;
    std::vector<Frame> frames;
  } cases[] = {
      {"wrong order", Word(0, 10, 0)},
      {"only a", Word(20, 0, 5)},
      {"b then a", [] {
         auto v = Word(0, 10, 0);
         auto w = Word(10, 0, 5);
         v.insert(v.end(), w.begin(), w.end());
         return v;
       }()},
      {"blocks too short", Word(3, 3, 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto word = TwoPhoneWord();
    DetHarness h(word.get());
    EXPECT_EQ(FirstNonZero(h.FeedAll(c.frames)), -1);
    EXPECT_EQ(h.det.nStatus, ZVtDet::kStatusListen);
  }
}

TEST(DetTest, ForcedCmdFollowsTheEchoCondition) {
  auto word = TwoPhoneWord();
  word->CmdChangeAec = true;
  testing_support::LogCapture log;
  DetHarness aec(word.get());
  EXPECT_EQ(aec.FeedAll(Word(10, 10, 5), W6_VT_FLAG_AEC)[20], W6_VT_PRE | W6_VT_AWAKE | W6_VT_CMD);
  EXPECT_TRUE(log.Has("--------------change to cmd in aec condition")) << log.Dump();
  DetHarness quiet(word.get());
  EXPECT_EQ(quiet.FeedAll(Word(10, 10, 5))[20], W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
}

TEST(DetTest, EndOfInputForcesThePeakStages) {
  auto word = TwoPhoneWord();
  DetHarness h(word.get());
  std::vector<int> flags = h.FeedAll(Word(10, 10, 0));  // score flat at 5: no peak yet
  EXPECT_EQ(FirstNonZero(flags), -1);
  EXPECT_EQ(h.det.nStatus, ZVtDet::kStatusCandidate);
  EXPECT_EQ(h.det.ProcessScore(0, &h.out, &h.audio, W6_VT_FLAG_END), W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  EXPECT_EQ(h.det.nPeakFrm, 20);
  EXPECT_TRUE(h.det.IsNeedReset());
}

// White noise loud enough to read as speech to the silence checker.
float Loud(int frame, int i) {
  static std::vector<float> noise = [] {
    std::mt19937 rng(11);
    std::normal_distribution<float> g(0.0f, 20000.0f);
    std::vector<float> v(160 * 64);
    for (float& x : v) x = g(rng);
    return v;
  }();
  return noise[(((frame % 64) + 64) % 64) * 160 + i];
}

TEST(DetTest, RightSilenceDecidesCmdOrNocmdTwentyNineRowsLater) {
  struct Case {
    const char* name;
    bool burstAfterWord;
    int expected;
  } cases[] = {{"silence after the word", false, W6_VT_NOCMD}, {"speech after the word", true, W6_VT_CMD}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto word = TwoPhoneWord();
    word->RightSilCheck = true;
    bool burst = c.burstAfterWord;
    DetHarness h(word.get(), [burst](int frame, int i) {
      if (frame >= 1 && frame <= 20) return Loud(frame, i);        // the word
      if (burst && frame > 20 && frame <= 70) return Loud(frame, i);  // speech right after it
      return 0.0f;
    });
    std::vector<int> flags = h.FeedAll(Word(10, 10, 40));
    EXPECT_EQ(flags[20], W6_VT_PRE | W6_VT_AWAKE);
    EXPECT_GT(h.det.stDetInfo.WordEnergy, 0.0f);
    // Due 10 + 35 - 16 = 29 rows after the peak.
    EXPECT_EQ(h.det.nRightSilFrm, 50);
    EXPECT_EQ(FirstNonZero(std::vector<int>(flags.begin() + 21, flags.end())), 50 - 21);
    EXPECT_EQ(flags[49], c.expected);
  }
}

TEST(DetTest, EndOfInputWhileWaitingForTheRightWindow) {
  auto word = TwoPhoneWord();
  word->RightSilCheck = true;
  DetHarness h(word.get());
  h.FeedAll(Word(10, 10, 5));
  ASSERT_EQ(h.det.nStatus, ZVtDet::kStatusCandidate);
  EXPECT_EQ(h.Feed(kSil, W6_VT_FLAG_END), W6_VT_NOCMD);  // no measurement
  EXPECT_TRUE(h.det.IsNeedReset());
}

TEST(DetTest, LeftSilenceFailsQuietlyOrIsIgnoredUnderEcho) {
  auto loudBefore = [](int frame, int i) { return frame <= -5 ? Loud(frame, i) : 0.0f; };
  {
    auto word = TwoPhoneWord();
    word->LeftSilCheck = true;
    testing_support::LogCapture log;
    DetHarness h(word.get(), loudBefore);
    EXPECT_EQ(FirstNonZero(h.FeedAll(Word(10, 10, 5))), -1);  // ends without any flag
    EXPECT_TRUE(h.det.IsNeedReset());
    EXPECT_TRUE(log.Has("---------------------FAILED CHECK LEFT SILENCE")) << log.Dump();
  }
  {
    auto word = TwoPhoneWord();
    word->LeftSilCheck = true;
    testing_support::LogCapture log;
    DetHarness h(word.get(), loudBefore);
    EXPECT_EQ(h.FeedAll(Word(10, 10, 5), W6_VT_FLAG_AEC)[20], W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
    EXPECT_TRUE(log.Has("---------------------REMOVE CHECK LEFT SILENCE IN AEC CONDITION")) << log.Dump();
  }
  {
    auto word = TwoPhoneWord();
    word->LeftSilCheck = true;
    DetHarness h(word.get());  // silence before the word passes
    EXPECT_EQ(h.FeedAll(Word(10, 10, 5))[20], W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
  }
}

// The callbacks receive the documented windows; the direction lands in the
// detection record and the fetched audio replaces the ring's.
TEST(DetTest, CallbacksSeeTheWordsWindows) {
  auto word = TwoPhoneWord();
  word->RightSilCheck = true;
  struct Seen {
    int leftFrom = 0, leftTo = 0, wordFrom = 0, wordTo = 0;
    std::vector<std::pair<int, int>> fetches;
  } seen;
  DetHarness h(word.get());
  h.det.SetDoSecSlCallback(
      [](int lf, int lt, int wf, int wt, float* dir, float* sil, void* user) {
        auto* s = static_cast<Seen*>(user);
        s->leftFrom = lf;
        s->leftTo = lt;
        s->wordFrom = wf;
        s->wordTo = wt;
        dir[0] = 1.5f;
        dir[1] = 0.25f;
        *sil = 4000.0f;
        return 0;
      },
      &seen);
  h.det.SetGetDataCallback(
      [](int from, int to, float* dst, void* user) {
        static_cast<Seen*>(user)->fetches.push_back({from, to});
        for (int i = 0; i < (from - to) * 160; ++i) dst[i] = 0.0f;
        return 0;
      },
      &seen);
  h.FeedAll(Word(10, 10, 1));
  // At the peak (row 21, a = 1): W = C - S + a + D = 21 - 5 + 1 + 16 = 33.
  EXPECT_EQ(seen.leftFrom, 33 + 10 + 35);
  EXPECT_EQ(seen.leftTo, 33 + 10);
  EXPECT_EQ(seen.wordFrom, 33);
  EXPECT_EQ(seen.wordTo, 1);
  EXPECT_EQ(h.det.pSilDet->fSilShield, 4000.0f);
  EXPECT_EQ(h.det.stDetInfo.Direction[0], 1.5f);
  ASSERT_EQ(seen.fetches.size(), 1u);  // the word energy
  EXPECT_EQ(seen.fetches[0], std::make_pair(33, 1));
}

// Both phones score ever higher: the best path is always the newest eight
// rows, so the word score rises on every row and the candidate only peaks
// when the rise stops, 15 s after its start.
TEST(DetTest, ACandidateRisingForSecondsFetchesAtMostTenSeconds) {
  for (bool callback : {false, true}) {
    SCOPED_TRACE(callback ? "fetch callback" : "channel-0 ring");
    auto word = TwoPhoneWord();
    word->LeftSilCheck = word->RightSilCheck = true;
    std::vector<std::pair<int, int>> fetches;
    DetHarness h(word.get());
    if (callback) {
      h.det.SetGetDataCallback(
          [](int from, int to, float* dst, void* user) {
            static_cast<std::vector<std::pair<int, int>>*>(user)->push_back({from, to});
            for (int i = 0; i < (from - to) * 160; ++i) dst[i] = 0.0f;
            return 0;
          },
          &fetches);
    }
    int flags = 0;
    for (int r = 1; r <= 1500; ++r) flags |= h.FeedRow(5.0f + 0.001f * r, 5.0f + 0.001f * r);
    ASSERT_EQ(flags, 0);
    ASSERT_EQ(h.det.nStatus, ZVtDet::kStatusCandidate);
    ASSERT_EQ(h.det.nPeakFrm, -1);
    EXPECT_EQ(h.Feed(kSil), W6_VT_PRE | W6_VT_AWAKE);  // the peak: digital silence passes the left check
    EXPECT_EQ(h.det.nPeakFrm, 1501);
    // The word energy window would span the whole 1500-row candidate plus
    // the lookahead; it keeps the newest 1000 frames.
    EXPECT_LE(h.det.pAudio->len, 1000 * 160);
    if (callback) {
      ASSERT_EQ(fetches.size(), 2u);                       // word energy, left silence
      EXPECT_EQ(fetches[0], std::make_pair(1 + 1000, 1));  // a = 1 at the peak row
      const int W = 1501 - h.det.nStartFrm + 1 + 16;
      EXPECT_EQ(fetches[1], std::make_pair(W + 45, W + 10));  // 35 frames: not cut
    }
  }
}

TEST(DetTest, AWordWhoseClassifierDidNotLoadIsCancelled) {
  auto word = TwoPhoneWord();
  word->ClassifyCheck = true;
  word->ClassifyNnetPath = "/nonexistent/cf.nnet";
  // Even a threshold below anything the classifier family can answer
  // (-100 for no classifier) must not let the word through unconfirmed.
  word->ClassifyNnetShield = -1000.0f;
  testing_support::LogCapture log;
  DetHarness h(word.get());
  EXPECT_EQ(h.det.hCf, 0);
  EXPECT_EQ(h.FeedAll(Word(10, 10, 5))[20], W6_VT_PRE | W6_VT_CANCEL);
  EXPECT_TRUE(h.det.IsNeedReset());
}

TEST(DetTest, DirectionCheckCanOnlyCancelAConfirmedWord) {
  auto word = TwoPhoneWord();
  DetHarness h(word.get());
  // No classifier configured: the direction check is not consulted.
  h.det.SetCheckDirtyCallback([](void*, float*) { return false; }, nullptr);
  EXPECT_EQ(h.FeedAll(Word(10, 10, 5))[20], W6_VT_PRE | W6_VT_AWAKE | W6_VT_NOCMD);
}

TEST(DetTest, BestScoreForThresholdTuning) {
  auto word = TwoPhoneWord();
  DetHarness h(word.get());
  EXPECT_EQ(h.det.fBestScore, -FLT_MAX);
  for (Frame f : Word(10, 10, 5)) {
    float row[2] = {f == kA ? 5.0f : -10.0f, f == kB ? 5.0f : -10.0f};
    float* rows[1] = {row};
    h.out.PutBuff(rows, 1);
    h.det.GetBestScore(1, &h.out, &h.audio);
  }
  EXPECT_EQ(h.det.fBestScore, 5.0f);
  EXPECT_EQ(h.det.nPeakFrm, 14);  // first row that reached it
  EXPECT_EQ(h.det.nStartFrm, 6);  // two 4-frame blocks: rows 7 to 14
}

}  // namespace
}  // namespace __kestrel4__
