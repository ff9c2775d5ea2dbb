// Streaming log mel filter-bank extractor of the wake-word engine.
//
// ZFea2 takes blocks
// of multi-channel audio of any length, keeps the samples that do not yet
// fill a block, computes four frames of every channel with one batched FFT,
// averages the channels' power spectra and yields 29 log energies per 10 ms
// frame (22 filters from 125 Hz to 3.8 kHz, 7 from 4 to 7.8 kHz).
//
// Samples are taken as they come, unscaled; the dither (standard deviation 1,
// drawn from the process-wide generator) and the energy floor (1e-7) are in
// those units.
//
// The constructor plans an FFT: see engine/core/fft.h on creating
// extractors from several threads.
#ifndef KESTREL_FEATURE_FEA2_H
#define KESTREL_FEATURE_FEA2_H

#include "engine/core/fft.h"
#include "engine/core/mat.h"

namespace __kestrel4__ {

class ZFea2 {
 public:
  // Sample rate 16000 or 8000; blockFrames frames per batched FFT (4 in the
  // engine); channels input channels.
  ZFea2(int sampleRate, int blockFrames, int channels);
  ~ZFea2();
  ZFea2(const ZFea2&) = delete;
  ZFea2& operator=(const ZFea2&) = delete;

  // Returns 0, or 1 (logged; the extractor then yields no frames) for a rate
  // other than 8000 or 16000 or a block or channel count below 1.
  int InitFb(int sampleRate, int blockFrames, int channels);
  int InitMelPos(float loHz, float hiHz, ZVec* boundaries, ZVec* weights);
  int InitMelPos2(float loHz, float hiHz, ZVec* boundaries, ZVec* weights);
  int GenFbData(const float* power, ZVec* boundaries, ZVec* weights, float* out);
  // Turns the full block buffer into nBlockFrm frames appended to the output
  // matrix at row nOutFrm.
  int ProBlockBuff();
  // Consumes `samples` samples of every channel; `out` receives the output
  // matrix (owned by the extractor, overwritten by its next call) and
  // `frames` the number of new frames in its first rows: a multiple of the
  // block size, possibly 0. Samples short of a block are kept for the next
  // call. Returns 0 (1 with no frames when set-up failed).
  int ContinueFb(const float** channels, int samples, ZMat*& out, int& frames);
  // Drops the samples held in the block buffer. Returns 0.
  int ResetFb();
  int GetFeaDim() const { return nFeaDim; }

  int nBlockFrm;
  int nSampleRate;
  int nChannel;
  int nFftLen;
  int nFrmLen;
  int nFrmShift;
  int nFeaDim;
  ZVec* pMelPos1;
  ZVec* pMelWeight1;
  ZVec* pMelPos2;  // null at 8000 Hz
  ZVec* pMelWeight2;
  int nBuffLen;   // samples held per channel
  int nBlockLen;  // samples that make a full block
  float fPreEmph;
  ZMat* pBlockBuff;  // nChannel rows of nBlockLen samples
  ZVec* pWindow;     // Hamming over nFrmLen entries, zero up to nFftLen
  ZMat* pFrmMat;     // row c * nBlockFrm + k: frame k of channel c
  ZMat* pSpecMat;    // power spectra of the frame rows
  ZFFT* pFft;
  int nOutFrm;
  int nOutCap;
  ZMat* pOutMat;

 private:
  void Release();
};

}  // namespace __kestrel4__

#endif
