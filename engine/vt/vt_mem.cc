#include "engine/vt/vt_mem.h"

#include <cfloat>
#include <climits>
#include <cstring>

#include "engine/core/log.h"

namespace __kestrel4__ {

namespace {

constexpr int kAudioHistory = 10 * 16000;  // samples of channel 0 kept
constexpr int kOutputHistory = 1000;       // network output rows kept

void ReleaseList(WordInfo*& records, std::vector<ZVtWord*>& words) {
  for (ZVtWord* w : words) delete w;
  words.clear();
  delete[] records;
  records = nullptr;
}

}  // namespace

ZVtMem::ZVtMem(ZVtSto* sto, int channels)
    : fnDoSecSl(nullptr),
      pDoSecSlUser(nullptr),
      fnCheckDirty(nullptr),
      pCheckDirtyUser(nullptr),
      fnGetData(nullptr),
      pGetDataUser(nullptr),
      pSto(sto),
      bWordsChanged(false),
      nWordNum(0),
      pWordInfo(nullptr),
      pDetWordInfo(nullptr),
      nDetNum(0),
      pDetResult(nullptr),
      ppDet(nullptr),
      nActiveDet(-1) {
  pFea = new ZFea2(sto->nSampleRate, sto->nBlockFrm, channels);
  const int D = pFea->GetFeaDim();
  vecFilter.push_back(new ZFilter_Delt(-2, 2, D, 2 * D));
  vecFilter.push_back(new ZFilter_Delt(-2, 2, 2 * D, 3 * D));
  vecFilter.push_back(new ZFilter_Norm(-4, 7, 3 * D, 3 * D));
  vecFilter.push_back(new ZFilter_Cmb(-5, 5, 3 * D, 33 * D));
  pNnetMem = new Nnet_Memory_Batch(sto->pNnet, 4, 3);
  pOutBuff = new ZMatBuff(kOutputHistory, sto->pNnet->outDim);
  pAudBuff = new ZVecBuff(kAudioHistory);
}

ZVtMem::~ZVtMem() {
  ReleaseDetectors();
  if (pDetWordInfo != pWordInfo) ReleaseList(pDetWordInfo, vecDetWord);
  ReleaseList(pWordInfo, vecWord);
  for (ZFilter* f : vecFilter) delete f;
  delete pFea;
  delete pNnetMem;
  delete pOutBuff;
  delete pAudBuff;
}

void ZVtMem::ReleaseDetectors() {
  for (int i = 0; i < nDetNum; ++i) delete ppDet[i];
  delete[] ppDet;
  delete[] pDetResult;
  ppDet = nullptr;
  pDetResult = nullptr;
  nDetNum = 0;
}

int ZVtMem::SetWords(const WordInfo* words, int n) {
  if (n <= 0) return bWordsChanged ? 0 : 1;
  std::vector<ZVtWord*> built = pSto->ParseWordTriPhoLst(words, n);
  if (static_cast<int>(built.size()) != n) {
    for (ZVtWord* w : built) delete w;
    z_log(kLogInfo, "w6_vt_setwords: %d of %d words could be built: the word list is unchanged",
          static_cast<int>(built.size()), n);
    return bWordsChanged ? 0 : 1;
  }
  // A list that was set but never got detectors is dropped right away; the
  // list the running detectors read stays until they are rebuilt.
  if (pWordInfo != pDetWordInfo) ReleaseList(pWordInfo, vecWord);
  pWordInfo = new WordInfo[n];
  std::memcpy(pWordInfo, words, sizeof(WordInfo) * n);
  vecWord = built;
  nWordNum = n;
  bWordsChanged = true;
  return 0;
}

int ZVtMem::GetWords(const WordInfo** words, int* n) {
  *words = pWordInfo;
  *n = nWordNum;
  return 0;
}

int ZVtMem::CheckWordsChanged() {
  if (!bWordsChanged || nActiveDet != -1) return 0;
  bWordsChanged = false;
  ReleaseDetectors();
  if (pDetWordInfo != pWordInfo) ReleaseList(pDetWordInfo, vecDetWord);
  pDetWordInfo = pWordInfo;
  vecDetWord = vecWord;
  if (nWordNum > 0) {
    nDetNum = nWordNum;
    pDetResult = new int[nDetNum]();
    ppDet = new ZVtDet*[nDetNum];
    for (int i = 0; i < nDetNum; ++i) {
      ppDet[i] = new ZVtDet(vecDetWord[i], pSto->nFrmShift, pSto->nDelayFrm);
      ppDet[i]->SetDoSecSlCallback(fnDoSecSl, pDoSecSlUser);
      ppDet[i]->SetCheckDirtyCallback(fnCheckDirty, pCheckDirtyUser);
      ppDet[i]->SetGetDataCallback(fnGetData, pGetDataUser);
    }
  }
  nActiveDet = -1;
  return 0;
}

int ZVtMem::GetDnnOutput(const float** channels, int n, ZMat*& out, int& m) {
  pFea->ContinueFb(channels, n, out, m);
  for (ZFilter* f : vecFilter) {
    if (m <= 0) return 0;
    f->FilterFea(out, m, out, m);
  }
  if (m > 0) pNnetMem->GetOutPut(out, m, out, m);
  return 0;
}

void ZVtMem::FeedRings(const float** channels, int n, int& m) {
  ZMat* out = nullptr;
  m = 0;
  GetDnnOutput(channels, n, out, m);
  // The detectors score every row of the call out of the output ring and cut
  // their windows, up to a few seconds before a row, out of the audio ring.
  // A call longer than the rings were made for grows them (kept from then
  // on): all its rows stay in the output ring, and 10 s of audio before its
  // first sample stay in the audio ring.
  if (n > pAudBuff->vec->len - kAudioHistory / 2 && n <= INT_MAX - kAudioHistory) GrowAudio(n + kAudioHistory);
  if (m > pOutBuff->mat->rows) GrowOutput(m);
  pAudBuff->PutBuff(channels[0], n);
  if (m > 0) pOutBuff->PutBuff(out->row, m);
}

void ZVtMem::GrowAudio(int len) {
  ZVecBuff* grown = new ZVecBuff(len);
  ZVecBuff* old = pAudBuff;
  // Oldest first: from the write position to the end, then the start.
  grown->PutBuff(old->vec->data + old->pos, old->vec->len - old->pos);
  grown->PutBuff(old->vec->data, old->pos);
  pAudBuff = grown;
  delete old;
}

void ZVtMem::GrowOutput(int rows) {
  ZMatBuff* grown = new ZMatBuff(rows, pOutBuff->mat->cols);
  ZMatBuff* old = pOutBuff;
  grown->PutBuff(old->mat->row + old->pos, old->mat->rows - old->pos);
  grown->PutBuff(old->mat->row, old->pos);
  pOutBuff = grown;
  delete old;
}

int ZVtMem::Detect(const float** channels, int n, int flags) {
  CheckWordsChanged();
  if (n <= 0) return 0;
  int m = 0;
  FeedRings(channels, n, m);
  if (nActiveDet != -1 && ppDet[nActiveDet]->IsNeedReset()) nActiveDet = -1;
  for (int i = 0; i < nDetNum; ++i)
    if (ppDet[i]->IsNeedReset()) ppDet[i]->Reset();
  if (nDetNum > 0) std::memset(pDetResult, 0, sizeof(int) * nDetNum);
  for (int i = 0; i < nDetNum; ++i) pDetResult[i] = ppDet[i]->ProcessScore(m, pOutBuff, pAudBuff, flags);
  if (nActiveDet == -1) {
    for (int i = 0; i < nDetNum; ++i) {
      if (pDetResult[i] & W6_VT_PRE) {
        nActiveDet = i;
        break;
      }
    }
  }
  return nActiveDet == -1 ? 0 : pDetResult[nActiveDet];
}

int ZVtMem::GetDetWordInfo(const WordInfo** word, const WordDetInfo** info, int pendingFrames) {
  if (nActiveDet == -1) {
    *word = nullptr;
    *info = nullptr;
    return 1;
  }
  *word = &pDetWordInfo[nActiveDet];
  *info = ppDet[nActiveDet]->GetDetWordInfo(pendingFrames + pSto->nDelayFrm);
  return 0;
}

int ZVtMem::Reset() {
  nActiveDet = -1;
  pFea->ResetFb();
  for (ZFilter* f : vecFilter) f->ResetFilter();
  pNnetMem->Reset();
  for (int i = 0; i < nDetNum; ++i) ppDet[i]->Reset();
  pOutBuff->Reset();
  pAudBuff->Reset();
  return 0;
}

float ZVtMem::GetBestScore(const float** channels, int n) {
  CheckWordsChanged();
  if (nDetNum == 0) {
    // Threshold tuning needs a word; without one the audio is still consumed.
    int m = 0;
    if (n > 0) FeedRings(channels, n, m);
    return -FLT_MAX;
  }
  nActiveDet = 0;
  int m = 0;
  if (n > 0) FeedRings(channels, n, m);
  return ppDet[0]->GetBestScore(m, pOutBuff, pAudBuff);
}

int ZVtMem::SetDoSecSlCallback(w6_vt_dosecsl_cb fn, void* user) {
  fnDoSecSl = fn;
  pDoSecSlUser = user;
  for (int i = 0; i < nDetNum; ++i) ppDet[i]->SetDoSecSlCallback(fn, user);
  return 0;
}

int ZVtMem::SetCheckDirtyCallback(w6_vt_checkdirty_cb fn, void* user) {
  fnCheckDirty = fn;
  pCheckDirtyUser = user;
  for (int i = 0; i < nDetNum; ++i) ppDet[i]->SetCheckDirtyCallback(fn, user);
  return 0;
}

int ZVtMem::SetGetDataCallback(w6_vt_getdata_cb fn, void* user) {
  fnGetData = fn;
  pGetDataUser = user;
  for (int i = 0; i < nDetNum; ++i) ppDet[i]->SetGetDataCallback(fn, user);
  return 0;
}

}  // namespace __kestrel4__
