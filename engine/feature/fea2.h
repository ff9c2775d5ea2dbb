// Streaming multi-channel filter-bank extractor of the wake-word engine.
// (Interim form: consumes audio and yields no frames until the filter-bank
// computation lands.)
#ifndef KESTREL_FEATURE_FEA2_H
#define KESTREL_FEATURE_FEA2_H

#include "engine/core/mat.h"

namespace __kestrel4__ {

class ZFea2 {
 public:
  ZFea2(int sampleRate, int blockFrm, int channels);
  ~ZFea2();
  ZFea2(const ZFea2&) = delete;
  ZFea2& operator=(const ZFea2&) = delete;

  // Consumes `samples` samples of every channel; `out` receives the output
  // matrix and `frames` the number of new D-dimensional frames in its first
  // rows (a multiple of the block size, possibly 0).
  int ContinueFb(const float** channels, int samples, ZMat*& out, int& frames);
  int ResetFb();
  int GetFeaDim() const { return feaDim; }

  int feaDim;
  ZMat* out;
};

}  // namespace __kestrel4__

#endif
