// One wake-word engine instance: turns blocks of multi-channel float audio
// into per-word detection results. Per call: filter-bank frames -> feature
// filters -> batched network evaluation -> one detector per configured word.
#ifndef KESTREL_VT_VT_MEM_H
#define KESTREL_VT_VT_MEM_H

#include <vector>

#include "engine/core/buffers.h"
#include "engine/feature/fea2.h"
#include "engine/feature/filter.h"
#include "engine/nnet/nnet_memory.h"
#include "engine/vt/det.h"
#include "engine/vt/vt_sto.h"
#include "engine/vt/word.h"
#include "include/kestrel.h"

namespace __kestrel4__ {

class ZVtMem {
 public:
  ZVtMem(ZVtSto* sto, int channels);
  ~ZVtMem();
  ZVtMem(const ZVtMem&) = delete;
  ZVtMem& operator=(const ZVtMem&) = delete;

  int SetWords(const WordInfo* words, int n);
  int GetWords(const WordInfo** words, int* n);
  int Detect(const float** channels, int n, int flags);
  int GetDetWordInfo(const WordInfo** word, const WordDetInfo** info, int pendingFrames);
  int Reset();
  float GetBestScore(const float** channels, int n);
  int SetDoSecSlCallback(w6_vt_dosecsl_cb fn, void* user);
  int SetCheckDirtyCallback(w6_vt_checkdirty_cb fn, void* user);
  int SetGetDataCallback(w6_vt_getdata_cb fn, void* user);

  int CheckWordsChanged();
  int GetDnnOutput(const float** channels, int n, ZMat*& out, int& m);

  w6_vt_dosecsl_cb fnDoSecSl;
  void* pDoSecSlUser;
  w6_vt_checkdirty_cb fnCheckDirty;
  void* pCheckDirtyUser;
  w6_vt_getdata_cb fnGetData;
  void* pGetDataUser;
  std::vector<ZFilter*> vecFilter;
  ZFea2* pFea;
  ZVtSto* pSto;
  Nnet_Memory_Batch* pNnetMem;
  bool bWordsChanged;
  // The current list: what w6_vt_getwords returns.
  int nWordNum;
  WordInfo* pWordInfo;
  std::vector<ZVtWord*> vecWord;
  // The list the detectors were built from; it differs from the current list
  // while a replacement waits for the active detection to finish, and stays
  // alive until the detectors are rebuilt.
  WordInfo* pDetWordInfo;
  std::vector<ZVtWord*> vecDetWord;
  int nDetNum;
  int* pDetResult;
  ZVtDet** ppDet;
  int nActiveDet;
  // Rings of network output rows (1000) and of channel-0 samples (10 s);
  // a call longer than they were made for grows them.
  ZMatBuff* pOutBuff;
  ZVecBuff* pAudBuff;

 private:
  void FeedRings(const float** channels, int n, int& m);
  void GrowAudio(int len);
  void GrowOutput(int rows);
  void ReleaseDetectors();
};

}  // namespace __kestrel4__

#endif
