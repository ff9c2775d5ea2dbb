// Silence checker of a word detector: measures the energy of a candidate
// word and decides whether the stretches before and after it are silent.
// Energies are per 256-sample analysis frame over the speech band (125 Hz to
// ~5.9 kHz at 16 kHz), normalised between a silence level and a word level,
// and judged on the loudest 30-frame stretch of a window.
#ifndef KESTREL_VT_SIL_DET_H
#define KESTREL_VT_SIL_DET_H

#include <fftw3.h>

namespace __kestrel4__ {

class ZSilDet3 {
 public:
  ZSilDet3(int shift, int win);
  ~ZSilDet3();
  ZSilDet3(const ZSilDet3&) = delete;
  ZSilDet3& operator=(const ZSilDet3&) = delete;

  int Reset();
  // The reference silence level, never below 1000.
  int SetSilShield(float level);
  // Energy of one frame of nFftLen samples.
  float GetFrmEnergy(const float* frame);
  // Measures the word and sets both normalisation levels; returns the word's
  // mean frame energy.
  float SetVtEnergy(const float* samples, int count);
  float NormEnergy(float e) const;
  bool CheckLeftSilence(const float* samples, int count);
  bool CheckRightSilence(const float* samples, int count);
  void PrintEnergy() const;

  int nShift;
  int nWin;
  int nFftLen;
  float* pHamming;
  float fLowFactor;
  float fHighFactor;
  float fSilEnergy;
  float fVtEnergy;
  float fLeftAvg;
  float fLeftMax;
  float fRightMax;
  float fSilShield;
  float fLeftShield;
  float fRightShield;

 private:
  int FrameCount(int count) const;
  // Raw and normalised energies of the frames of a window; returns F.
  int Energies(const float* samples, int count, float* raw, float* norm);
  // Largest mean of nWin consecutive values over the starts 0 ... F - nWin - 1.
  float LoudestStretch(const float* v, int F) const;

  float* fftIn;
  fftwf_complex* fftOut;
  fftwf_plan plan;
};

}  // namespace __kestrel4__

#endif
