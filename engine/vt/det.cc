#include "engine/vt/det.h"

#include <cfloat>
#include <cstring>

#include "engine/core/array.h"
#include "engine/core/log.h"

namespace __kestrel4__ {

namespace {

constexpr float kNegInf = -1e20f;  // the score of no path (0xE0AD78EC)
constexpr int kHistLen = 400;      // frames of score history (bounds a word to 4 s)
constexpr int kScratch = 48000;    // initial audio scratch, grown for longer windows
// Longest window handed to a check: the engine's 10 s of audio history. A
// candidate whose score kept rising for longer keeps the newest 10 s of its
// word, so neither the scratch nor the classifier grows without bound.
constexpr int kMaxWindowFrm = 1000;

}  // namespace

ZVtDet::ZVtDet(ZVtWord* word, int shift, int delay)
    : fnDoSecSl(nullptr),
      pDoSecSlUser(nullptr),
      fnCheckDirty(nullptr),
      pCheckDirtyUser(nullptr),
      fnGetData(nullptr),
      pGetDataUser(nullptr),
      nFrmShift(shift),
      nDelayFrm(delay),
      pWord(word),
      hCf(0),
      nHistLen(kHistLen) {
  stEmptyCell = ZVtCell{-2, kNegInf, kNegInf, kNegInf};
  const int cells = word->nStateNum * word->BlockMaxFrmLen;
  ppCell = reinterpret_cast<ZVtCell**>(z_new_ar2(sizeof(ZVtCell), nHistLen, cells > 0 ? cells : 1));
  pFrmScore = static_cast<float*>(z_new_ar1(sizeof(float), nHistLen));
  pFrmBest = static_cast<int*>(z_new_ar1(sizeof(int), nHistLen));
  if (word->ClassifyCheck) {
    hCf = w6_cf_create(word->ClassifyNnetPath.c_str());
    if (hCf == 0) {
      z_log(kLogError, "word %s: classifier %s cannot be used: its candidates will be cancelled",
            word->WordContent.c_str(), word->ClassifyNnetPath.c_str());
    }
  }
  pSilDet = new ZSilDet3(shift, 30);
  pSilDet->fLeftShield = word->LeftSilShield;
  pSilDet->fRightShield = word->RightSilShield;
  pAudio = new ZVec(kScratch);
  Reset();
}

ZVtDet::~ZVtDet() {
  z_free_ar2(reinterpret_cast<void**>(ppCell));
  std::free(pFrmScore);
  std::free(pFrmBest);
  delete pSilDet;
  if (hCf != 0) w6_cf_free(hCf);
  delete pAudio;
}

int ZVtDet::Reset() {
  nCurIdx = -1;
  nPrevIdx = 0;
  const int cells = pWord->nStateNum * pWord->BlockMaxFrmLen;
  for (int c = 0; c < cells; ++c) ppCell[nHistLen - 1][c] = stEmptyCell;
  std::memset(pFrmScore, 0, sizeof(float) * nHistLen);
  std::memset(pFrmBest, 0, sizeof(int) * nHistLen);
  nFrmCount = 0;
  nStatus = kStatusListen;
  nStartFrm = nPeakFrm = -1;
  nEnergyFrm = nLeftSilFrm = nCfFrm = nRightSilFrm = -1;
  fBestScore = -FLT_MAX;
  fPeakScore = kNegInf;
  std::memset(&stDetInfo, 0, sizeof(stDetInfo));
  return 0;
}

int ZVtDet::DynamicProgramming(const float* row) {
  nCurIdx = (nCurIdx + 1) % nHistLen;
  nPrevIdx = (nHistLen + nCurIdx - 1) % nHistLen;
  ZVtCell* R = ppCell[nCurIdx];
  const ZVtCell* Q = ppCell[nPrevIdx];
  const int T = pWord->BlockMaxFrmLen;
  const int minLen = pWord->BlockMinFrmLen;
  const float minAvg = static_cast<float>(minLen);

  for (int s = 0; s < pWord->nStateNum; ++s) {
    const ZPhoState* st = pWord->ppState[s];
    // The word list never holds a state without ids (such lists are refused
    // when the words are set); should one appear, it scores lowest.
    float o = kNegInf;
    for (int i = 0; i < st->nId; ++i) {
      float v = row[st->pId[i] - 1];
      if (i == 0 || v > o) o = v;
    }

    for (int k = 1; k < T; ++k) {
      int best = -1;
      float bestVal = kNegInf;
      for (int i = 0; i < st->nPrev; ++i) {
        int idx = st->pPrev[i] * T + k - 1;
        const ZVtCell& q = Q[idx];
        if (q.nFrom < -1) continue;
        float v = q.fAvg + q.fCarry;
        if (v > bestVal) {
          bestVal = v;
          best = idx;
        }
      }
      if (best >= 0) {
        float sum = o + Q[best].fSum;
        R[s * T + k] = ZVtCell{best, sum, sum / static_cast<float>(k + 1), Q[best].fCarry};
      } else {
        R[s * T + k] = stEmptyCell;
      }
    }

    if ((st->nFlag & 4) == 0) {
      R[s * T] = stEmptyCell;
    } else if (st->nFlag & 1) {
      R[s * T] = ZVtCell{-1, o, o, 0.0f};
    } else {
      int best = -1;
      float bestVal = kNegInf;
      for (int i = 1; i < st->nPrev; ++i) {
        for (int m = minLen; m < T; ++m) {
          int idx = st->pPrev[i] * T + m;
          const ZVtCell& q = Q[idx];
          if (!(q.fAvg > minAvg)) continue;
          float v = q.fAvg + q.fCarry;
          if (v > bestVal) {
            bestVal = v;
            best = idx;
          }
        }
      }
      R[s * T] = best >= 0 ? ZVtCell{best, o, o, bestVal} : stEmptyCell;
    }
  }

  pFrmBest[nCurIdx] = -1;
  pFrmScore[nCurIdx] = kNegInf;
  for (int s = 0; s < pWord->nStateNum; ++s) {
    if ((pWord->ppState[s]->nFlag & 2) == 0) continue;
    for (int m = minLen; m < T; ++m) {
      const ZVtCell& c = R[s * T + m];
      if (c.fAvg < pWord->BlockMinScore) continue;
      float w = (c.fAvg + c.fCarry) / static_cast<float>(pWord->nBlockNum);
      if (w > pFrmScore[nCurIdx]) {
        pFrmScore[nCurIdx] = w;
        pFrmBest[nCurIdx] = s * T + m;
      }
    }
  }
  return 0;
}

int ZVtDet::GetBestLen() {
  int idx = pFrmBest[nCurIdx];
  int frame = nCurIdx;
  int steps = 0;
  while (idx >= 0 && steps < nHistLen) {
    ++steps;
    int from = ppCell[frame][idx].nFrom;
    frame = (frame + nHistLen - 1) % nHistLen;
    idx = from;
  }
  return steps;
}

int ZVtDet::UpdateFrmScore(const float* row) {
  DynamicProgramming(row);
  const float prev = pFrmScore[nPrevIdx];
  const float cur = pFrmScore[nCurIdx];
  if (nStatus == kStatusListen) {
    if (prev < pWord->BlockAvgScore && pWord->BlockAvgScore < cur) {
      z_log(kLogInfo, "%d to vtdet_process", pWord->WordType);
      nStatus = kStatusCandidate;
      nStartFrm = nFrmCount - GetBestLen();
    }
  } else if (nStatus == kStatusCandidate && nPeakFrm == -1) {
    if (prev > cur) {
      nPeakFrm = nFrmCount;
      fPeakScore = prev;
      z_log(kLogInfo, "-------------%d BestScore: %f", pWord->WordType, prev);
    }
  }
  return 0;
}

int ZVtDet::ProcessScore(int rows, ZMatBuff* out, ZVecBuff* audio, int flags) {
  const bool aec = (flags & W6_VT_FLAG_AEC) != 0;
  const bool end = (flags & W6_VT_FLAG_END) != 0;
  int result = 0;
  for (int i = 0; i < rows; ++i) {
    const int a = rows - i;
    const float* row = out->GetBuff(a);
    ++nFrmCount;
    if (nPeakFrm == -1 && (nStatus == kStatusListen || nStatus == kStatusCandidate)) UpdateFrmScore(row);
    result |= CheckStatus(a, out, audio, aec);
  }
  if (end && nStatus == kStatusCandidate) {
    if (nPeakFrm == -1) {
      nPeakFrm = nFrmCount;
      fPeakScore = pFrmScore[nCurIdx];
      result |= CheckStatus(0, out, audio, aec);
    }
    if (nStatus == kStatusCandidate && nFrmCount < nRightSilFrm) {
      result |= pWord->CheckNoCmdChange(aec) ? W6_VT_CMD : W6_VT_NOCMD;
      nStatus = kStatusFinished;
    }
  }
  return result;
}

float ZVtDet::GetBestScore(int rows, ZMatBuff* out, ZVecBuff* /*audio*/) {
  for (int i = 0; i < rows; ++i) {
    const float* row = out->GetBuff(rows - i);
    ++nFrmCount;
    DynamicProgramming(row);
    if (pFrmScore[nCurIdx] > fBestScore) {
      fBestScore = pFrmScore[nCurIdx];
      nPeakFrm = nFrmCount;
      nStartFrm = nFrmCount - GetBestLen();
    }
  }
  return fBestScore;
}

WordDetInfo* ZVtDet::GetDetWordInfo(int a) {
  stDetInfo.StartOffset = nFrmShift * (nFrmCount - nStartFrm + a);
  stDetInfo.EndOffset = nFrmShift * (nFrmCount - nPeakFrm + a);
  return &stDetInfo;
}

int ZVtDet::CheckStatus(int a, ZMatBuff* out, ZVecBuff* audio, bool aec) {
  int r = 0;
  r |= ProcessMsg_Pre(a, out, audio, aec);
  r |= ProcessMsg_Energy(a, out, audio, aec);
  r |= ProcessMsg_LeftSil(a, out, audio, aec);
  r |= ProcessMsg_CfCheck(a, out, audio, aec);
  r |= ProcessMsg_Best(a, out, audio, aec);
  r |= ProcessMsg_RightSil(a, out, audio, aec);
  return r;
}

int ZVtDet::FetchAudio(int from, int to, ZVecBuff* audio) {
  if (from - to > kMaxWindowFrm) from = to + kMaxWindowFrm;
  const int frames = from - to;
  if (frames <= 0) return 0;
  const int n = frames * nFrmShift;
  if (pAudio->len < n) pAudio->CheckMaxSize(n);
  if (fnGetData != nullptr) {
    fnGetData(from, to, pAudio->data, pGetDataUser);
    return n;
  }
  // The channel-0 ring holds the last 10 s: a window reaching further back
  // (a score that kept rising for seconds) gets zeros for what is gone.
  const int ringFrames = audio->vec->len / nFrmShift;
  int lost = 0;
  if (from > ringFrames) {
    lost = (from - (to > ringFrames ? to : ringFrames)) * nFrmShift;
    std::memset(pAudio->data, 0, sizeof(float) * lost);
    from = ringFrames;
  }
  if (from > to) audio->GetBuff(pAudio->data + lost, from * nFrmShift, to * nFrmShift);
  return n;
}

int ZVtDet::ProcessMsg_Pre(int a, ZMatBuff*, ZVecBuff*, bool) {
  if (!Due(nPeakFrm)) return 0;
  const int W = WordStartBack(a);
  float level = 0.0f;
  if (fnDoSecSl != nullptr) {
    fnDoSecSl(W + pWord->LeftSilSkip + pWord->LeftSilOffset, W + pWord->LeftSilSkip, W, a, stDetInfo.Direction,
              &level, pDoSecSlUser);
    pSilDet->SetSilShield(level);
  } else {
    pSilDet->SetSilShield(1000.0f);
  }
  if (pWord->LeftSilCheck || pWord->RightSilCheck) nEnergyFrm = nFrmCount;
  nLeftSilFrm = nCfFrm = nFrmCount;
  return 0;
}

int ZVtDet::ProcessMsg_Energy(int a, ZMatBuff*, ZVecBuff* audio, bool) {
  if (!Due(nEnergyFrm)) return 0;
  const int W = WordStartBack(a);
  const int n = FetchAudio(W, a, audio);
  stDetInfo.WordEnergy = pSilDet->SetVtEnergy(pAudio->data, n);
  return 0;
}

int ZVtDet::ProcessMsg_LeftSil(int a, ZMatBuff*, ZVecBuff* audio, bool aec) {
  if (!Due(nLeftSilFrm)) return 0;
  if (!pWord->LeftSilCheck) return W6_VT_PRE;
  const int W = WordStartBack(a);
  const int n = FetchAudio(W + pWord->LeftSilSkip + pWord->LeftSilOffset, W + pWord->LeftSilSkip, audio);
  if (pSilDet->CheckLeftSilence(pAudio->data, n)) return W6_VT_PRE;
  if (aec) {
    z_log(kLogInfo, "---------------------REMOVE CHECK LEFT SILENCE IN AEC CONDITION");
    return W6_VT_PRE;
  }
  z_log(kLogInfo, "---------------------FAILED CHECK LEFT SILENCE");
  nStatus = kStatusFinished;
  return 0;
}

int ZVtDet::ProcessMsg_CfCheck(int a, ZMatBuff*, ZVecBuff* audio, bool) {
  if (!Due(nCfFrm)) return 0;
  if (!pWord->ClassifyCheck) return W6_VT_AWAKE;
  if (hCf == 0) {
    // The word asks for confirmation but its classifier could not be loaded
    // (logged when the detector was built): nothing can confirm it.
    z_log(kLogInfo, "word %s: no classifier to confirm the candidate: cancelled", pWord->WordContent.c_str());
    nStatus = kStatusFinished;
    return W6_VT_CANCEL;
  }
  const int W = WordStartBack(a);
  const int n = FetchAudio(W + 10, a + nDelayFrm - 10, audio);
  z_log(kLogInfo, "--------------Start cf");
  float score = w6_cf_check_buff(hCf, pAudio->data, n);
  z_log(kLogInfo, "--------------End cf");
  if (score > pWord->ClassifyNnetShield) {
    if (fnCheckDirty == nullptr || fnCheckDirty(pCheckDirtyUser, stDetInfo.Direction)) {
      z_log(kLogInfo, "--------------Dirty Check Successfully");
      return W6_VT_AWAKE;
    }
    z_log(kLogInfo, "--------------Dirty Check Failed");
  }
  nStatus = kStatusFinished;
  return W6_VT_CANCEL;
}

int ZVtDet::ProcessMsg_Best(int, ZMatBuff*, ZVecBuff*, bool) {
  if (!Due(nPeakFrm)) return 0;
  if (pWord->RightSilCheck) {
    int later = nFrmCount + pWord->RightSilSkip + pWord->RightSilOffset - nDelayFrm;
    nRightSilFrm = later > nFrmCount ? later : nFrmCount;
  } else {
    nRightSilFrm = nFrmCount;
  }
  return 0;
}

int ZVtDet::ProcessMsg_RightSil(int a, ZMatBuff*, ZVecBuff* audio, bool aec) {
  if (!Due(nRightSilFrm)) return 0;
  if (pWord->RightSilCheck) {
    const int n = FetchAudio(a + pWord->RightSilOffset, a, audio);
    if (!pSilDet->CheckRightSilence(pAudio->data, n)) {
      nStatus = kStatusFinished;
      return W6_VT_CMD;
    }
  }
  nStatus = kStatusFinished;
  return pWord->CheckNoCmdChange(aec) ? W6_VT_CMD : W6_VT_NOCMD;
}

int ZVtDet::SetDoSecSlCallback(w6_vt_dosecsl_cb fn, void* user) {
  fnDoSecSl = fn;
  pDoSecSlUser = user;
  return 0;
}

int ZVtDet::SetCheckDirtyCallback(w6_vt_checkdirty_cb fn, void* user) {
  fnCheckDirty = fn;
  pCheckDirtyUser = user;
  return 0;
}

int ZVtDet::SetGetDataCallback(w6_vt_getdata_cb fn, void* user) {
  fnGetData = fn;
  pGetDataUser = user;
  return 0;
}

}  // namespace __kestrel4__
