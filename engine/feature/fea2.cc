#include "engine/feature/fea2.h"

namespace __kestrel4__ {

ZFea2::ZFea2(int /*sampleRate*/, int blockFrm, int /*channels*/) : feaDim(29), out(new ZMat(blockFrm, 29)) {}
ZFea2::~ZFea2() { delete out; }

int ZFea2::ContinueFb(const float** /*channels*/, int /*samples*/, ZMat*& o, int& frames) {
  o = out;
  frames = 0;
  return 0;
}

int ZFea2::ResetFb() { return 0; }

}  // namespace __kestrel4__
