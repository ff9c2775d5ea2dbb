#include "engine/vt/sil_det.h"

#include <cmath>
#include <vector>

#include "engine/core/log.h"

namespace __kestrel4__ {

ZSilDet3::ZSilDet3(int shift, int win)
    : nShift(shift),
      nWin(win),
      fLowFactor(1.25f),
      fHighFactor(2.5f),
      fSilEnergy(0),
      fVtEnergy(0),
      fLeftAvg(0),
      fLeftMax(0),
      fRightMax(0),
      fSilShield(0),
      fLeftShield(0.3f),
      fRightShield(0.3f) {
  nFftLen = 2;
  while (nFftLen < nShift) nFftLen *= 2;
  pHamming = new float[nFftLen];
  for (int i = 0; i < nFftLen; ++i) {
    pHamming[i] = 0.54f - 0.45999998f * cosf(2.0f * static_cast<float>(M_PI) * i / (nFftLen - 1));
  }
  fftIn = static_cast<float*>(fftwf_malloc(sizeof(float) * nFftLen));
  fftOut = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (nFftLen / 2 + 1)));
  plan = fftwf_plan_dft_r2c_1d(nFftLen, fftIn, fftOut, FFTW_ESTIMATE);
}

ZSilDet3::~ZSilDet3() {
  fftwf_destroy_plan(plan);
  fftwf_free(fftIn);
  fftwf_free(fftOut);
  delete[] pHamming;
}

int ZSilDet3::Reset() {
  fSilEnergy = fVtEnergy = fLeftAvg = fLeftMax = fRightMax = fSilShield = 0;
  return 0;
}

int ZSilDet3::SetSilShield(float level) {
  fSilShield = level < 1000.0f ? 1000.0f : level;
  return 0;
}

float ZSilDet3::GetFrmEnergy(const float* frame) {
  for (int i = 0; i < nFftLen; ++i) fftIn[i] = frame[i] * pHamming[i];
  fftwf_execute(plan);
  const int B = (nFftLen / 2) * 3 / 4;
  double sum = 0.0;
  for (int k = 2; k < B; ++k) {
    float p = fftOut[k][0] * fftOut[k][0] + fftOut[k][1] * fftOut[k][1];
    sum += p;
  }
  return sqrtf(static_cast<float>(sum / nFftLen));
}

int ZSilDet3::FrameCount(int count) const { return count < nFftLen ? 0 : (count - nFftLen) / nShift + 1; }

float ZSilDet3::NormEnergy(float e) const {
  if (e < fSilEnergy) return 0.0f;
  if (e > fVtEnergy) return 1.0f;
  return (e - fSilEnergy) / (fVtEnergy - fSilEnergy);
}

float ZSilDet3::SetVtEnergy(const float* samples, int count) {
  fSilEnergy = fSilShield * fLowFactor;
  fVtEnergy = fSilShield * fHighFactor;
  const int F = FrameCount(count);
  double total = 0.0;
  for (int f = 0; f < F; ++f) total += GetFrmEnergy(samples + f * nShift);
  float E = F > 0 ? static_cast<float>(total / F) : 0.0f;
  if (E / 3 > fVtEnergy) fVtEnergy = E / 3;
  z_log(kLogInfo, "fVtEnergy %f", E);
  return E;
}

int ZSilDet3::Energies(const float* samples, int count, float* raw, float* norm) {
  const int F = FrameCount(count);
  for (int f = 0; f < F; ++f) {
    raw[f] = GetFrmEnergy(samples + f * nShift);
    norm[f] = NormEnergy(raw[f]);
  }
  return F;
}

float ZSilDet3::LoudestStretch(const float* v, int F) const {
  float best = 0.0f;
  bool any = false;
  for (int i = 0; i + nWin < F; ++i) {  // the last start, F - nWin, is not compared
    float s = 0.0f;
    for (int j = 0; j < nWin; ++j) s += v[i + j];
    if (!any || s > best) best = s;
    any = true;
  }
  return any ? best / nWin : 0.0f;
}

bool ZSilDet3::CheckLeftSilence(const float* samples, int count) {
  const int F = FrameCount(count);
  std::vector<float> raw(F > 0 ? F : 1), norm(F > 0 ? F : 1);
  Energies(samples, count, raw.data(), norm.data());
  fLeftMax = F > nWin ? LoudestStretch(norm.data(), F) : 0.0f;
  double total = 0.0;
  for (int f = 0; f < F; ++f) total += raw[f];
  fLeftAvg = F > 0 ? static_cast<float>(total / F) : 0.0f;
  PrintEnergy();
  if (fLeftMax < fLeftShield) {
    if (fLeftAvg < fSilShield) {
      fSilShield = fLeftAvg;
      fSilEnergy = fLeftAvg * fLowFactor;
    }
    return true;
  }
  return false;
}

bool ZSilDet3::CheckRightSilence(const float* samples, int count) {
  const int F = FrameCount(count);
  std::vector<float> raw(F > 0 ? F : 1), norm(F > 0 ? F : 1);
  Energies(samples, count, raw.data(), norm.data());
  if (F > nWin) {
    fRightMax = LoudestStretch(norm.data(), F);
  } else {
    float s = 0.0f;
    for (int f = 0; f < F; ++f) s += norm[f];
    fRightMax = F > 0 ? s / F : 0.0f;
  }
  PrintEnergy();
  return fRightMax < fRightShield;
}

void ZSilDet3::PrintEnergy() const {
  z_log(kLogInfo, "--------------fSilEnergy%f fVtEnergy%f fLeftAvg%f fLeftMax%f fSilShield%f fRightMax%f", fSilEnergy,
        fVtEnergy, fLeftAvg, fLeftMax, fSilShield, fRightMax);
}

}  // namespace __kestrel4__
