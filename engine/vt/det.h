// Per-word detector: scores the network output rows of one word and runs the
// candidate checks. (Interim form: scores nothing, until the dynamic
// programme and the checks land.)
#ifndef KESTREL_VT_DET_H
#define KESTREL_VT_DET_H

#include "engine/core/buffers.h"
#include "engine/vt/word.h"

namespace __kestrel4__ {

class ZVtDet {
 public:
  ZVtDet(ZVtWord* word, int shift, int delay);
  ~ZVtDet();
  ZVtDet(const ZVtDet&) = delete;
  ZVtDet& operator=(const ZVtDet&) = delete;

  int Reset();
  // Scores the newest `rows` rows of `out`; returns the result flags.
  int ProcessScore(int rows, ZMatBuff* out, ZVecBuff* audio, int flags);
  // Threshold tuning: the highest word score since the last reset.
  float GetBestScore(int rows, ZMatBuff* out, ZVecBuff* audio);
  // Fills the offsets for a reference end `a` frames after the newest row.
  WordDetInfo* GetDetWordInfo(int a);
  bool IsNeedReset() const { return nStatus == 102; }

  int SetDoSecSlCallback(w6_vt_dosecsl_cb fn, void* user);
  int SetCheckDirtyCallback(w6_vt_checkdirty_cb fn, void* user);
  int SetGetDataCallback(w6_vt_getdata_cb fn, void* user);

  w6_vt_dosecsl_cb fnDoSecSl;
  void* pDoSecSlUser;
  w6_vt_checkdirty_cb fnCheckDirty;
  void* pCheckDirtyUser;
  w6_vt_getdata_cb fnGetData;
  void* pGetDataUser;
  int nFrmShift;
  int nDelayFrm;
  ZVtWord* pWord;
  int nStatus;
  int nFrmCount;
  float fBestScore;
  WordDetInfo stDetInfo;
};

}  // namespace __kestrel4__

#endif
