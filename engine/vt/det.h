// Per-word detector. Scores each network output row of one word by dynamic
// programming over the word's state graph (blocks of 4 to 30 frames, a
// block's score the mean of its frames', the word's score the mean of its
// blocks'), finds a candidate when the score crosses the word's threshold
// and, once the score peaks, runs the checks in a fixed order: direction
// (callback), word energy, silence before the word, confirmation classifier
// with the direction check, silence after the word.
#ifndef KESTREL_VT_DET_H
#define KESTREL_VT_DET_H

#include <cstdint>

#include "engine/core/buffers.h"
#include "engine/core/mat.h"
#include "engine/vt/sil_det.h"
#include "engine/vt/word.h"
#include "include/kestrel.h"

namespace __kestrel4__ {

// One dynamic-programming cell: where the path came from (-1 at the word's
// first frame, -2 for an empty cell), the current block's frame-score sum
// and average, and the sum of the averages of the completed blocks.
struct ZVtCell {
  int nFrom;
  float fSum;
  float fAvg;
  float fCarry;
};

class ZVtDet {
 public:
  static constexpr int kStatusListen = 100;
  static constexpr int kStatusCandidate = 101;
  static constexpr int kStatusFinished = 102;

  ZVtDet(ZVtWord* word, int shift, int delay);
  ~ZVtDet();
  ZVtDet(const ZVtDet&) = delete;
  ZVtDet& operator=(const ZVtDet&) = delete;

  int Reset();
  // Scores the newest `rows` rows of `out`; returns the W6_VT_* flags.
  int ProcessScore(int rows, ZMatBuff* out, ZVecBuff* audio, int flags);
  // Threshold tuning: the highest word score since the last reset.
  float GetBestScore(int rows, ZMatBuff* out, ZVecBuff* audio);
  // Fills the offsets for a reference end `a` frames after the newest row;
  // the record belongs to the detector.
  WordDetInfo* GetDetWordInfo(int a);
  bool IsNeedReset() const { return nStatus == kStatusFinished; }
  bool IsNeedDnn() const { return nPeakFrm == -1; }

  int SetDoSecSlCallback(w6_vt_dosecsl_cb fn, void* user);
  int SetCheckDirtyCallback(w6_vt_checkdirty_cb fn, void* user);
  int SetGetDataCallback(w6_vt_getdata_cb fn, void* user);

  int DynamicProgramming(const float* row);
  int GetBestLen();
  int UpdateFrmScore(const float* row);
  int CheckStatus(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);
  int ProcessMsg_Pre(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);
  int ProcessMsg_Energy(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);
  int ProcessMsg_LeftSil(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);
  int ProcessMsg_CfCheck(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);
  int ProcessMsg_Best(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);
  int ProcessMsg_RightSil(int a, ZMatBuff* out, ZVecBuff* audio, bool aec);

  w6_vt_dosecsl_cb fnDoSecSl;
  void* pDoSecSlUser;
  w6_vt_checkdirty_cb fnCheckDirty;
  void* pCheckDirtyUser;
  w6_vt_getdata_cb fnGetData;
  void* pGetDataUser;
  int nFrmShift;
  int nDelayFrm;
  ZVtWord* pWord;
  ZSilDet3* pSilDet;
  int64_t hCf;
  int nHistLen;
  int nCurIdx;
  int nPrevIdx;
  ZVtCell** ppCell;
  float* pFrmScore;
  int* pFrmBest;
  int nStatus;
  int nFrmCount;
  int nStartFrm;
  int nPeakFrm;
  int nEnergyFrm;
  int nLeftSilFrm;
  int nCfFrm;
  int nRightSilFrm;
  float fBestScore;
  float fPeakScore;  // the word score at the candidate's peak (for tools and logs)
  WordDetInfo stDetInfo;
  ZVtCell stEmptyCell;
  ZVec* pAudio;

 private:
  // The word start, in frames back from the newest audio, for a row `a`
  // rows back from the newest.
  int WordStartBack(int a) const { return nFrmCount - nStartFrm + a + nDelayFrm; }
  // Fetches the audio from `from` to `to` frames back into pAudio (a window
  // longer than the 10 s audio history keeps its newest 10 s); returns the
  // number of samples.
  int FetchAudio(int from, int to, ZVecBuff* audio);
  bool Due(int row) const { return nStatus == kStatusCandidate && nFrmCount == row; }
};

}  // namespace __kestrel4__

#endif
