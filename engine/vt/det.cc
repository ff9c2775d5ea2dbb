#include "engine/vt/det.h"

#include <cfloat>
#include <cstring>

namespace __kestrel4__ {

ZVtDet::ZVtDet(ZVtWord* word, int shift, int delay)
    : fnDoSecSl(nullptr),
      pDoSecSlUser(nullptr),
      fnCheckDirty(nullptr),
      pCheckDirtyUser(nullptr),
      fnGetData(nullptr),
      pGetDataUser(nullptr),
      nFrmShift(shift),
      nDelayFrm(delay),
      pWord(word) {
  Reset();
}

ZVtDet::~ZVtDet() {}

int ZVtDet::Reset() {
  nStatus = 100;
  nFrmCount = 0;
  fBestScore = -FLT_MAX;
  std::memset(&stDetInfo, 0, sizeof(stDetInfo));
  return 0;
}

int ZVtDet::ProcessScore(int rows, ZMatBuff* /*out*/, ZVecBuff* /*audio*/, int /*flags*/) {
  nFrmCount += rows;
  return 0;
}

float ZVtDet::GetBestScore(int rows, ZMatBuff* /*out*/, ZVecBuff* /*audio*/) {
  nFrmCount += rows;
  return fBestScore;
}

WordDetInfo* ZVtDet::GetDetWordInfo(int /*a*/) { return &stDetInfo; }

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
