// One-shot log mel filter-bank extractor of the confirmation classifier: one
// mono segment in, all its frames out (25 ms frames every 10 ms, K filters
// from 20 Hz to 8 kHz), with no dither and no state between calls.
//
// Samples are taken as they come, unscaled; the energy floor (1e-7) is in
// those units. The constructor plans an FFT: see engine/core/fft.h on
// creating extractors from several threads.
#ifndef KESTREL_FEATURE_FEA1_H
#define KESTREL_FEATURE_FEA1_H

#include "engine/core/fft.h"
#include "engine/core/mat.h"

namespace __kestrel4__ {

class ZFea1 {
 public:
  // The confirmation classifier uses ZFea1(16000, 40).
  ZFea1(int sampleRate, int filters);
  ~ZFea1();
  ZFea1(const ZFea1&) = delete;
  ZFea1& operator=(const ZFea1&) = delete;

  int InitMelPos(float loHz, float hiHz, ZVec* boundaries, ZVec* weights);
  int GenFbData(const float* power, ZVec* boundaries, ZVec* weights, float* out);
  // All frames of one segment: (count - 400) / 160 + 1 frames, none for
  // fewer than 400 samples. `out` is the extractor's matrix (valid until its
  // next call) with its row count set to the number of frames. Returns 0.
  int ExtractFBank(const float* samples, int count, ZMat*& out);

  int nSampleRate;
  int nFftLen;
  int nFrmLen;
  int nFrmShift;
  int nFilter;
  ZVec* pMelPos;
  ZVec* pMelWeight;
  float fPreEmph;
  ZVec* pWindow;
  ZVec* pFrame;
  ZVec* pSpectrum;
  ZFFTS* pFft;
  int nOutCap;
  ZMat* pOutMat;
};

}  // namespace __kestrel4__

#endif
