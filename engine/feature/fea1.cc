#include "engine/feature/fea1.h"

#include <cstring>

#include "engine/feature/fbank.h"

namespace __kestrel4__ {

ZFea1::ZFea1(int sampleRate, int filters)
    : nSampleRate(sampleRate),
      nFftLen(512),
      nFrmLen(400),
      nFrmShift(160),
      nFilter(filters > 0 ? filters : 1),
      pMelPos(new ZVec(nFilter + 2)),
      pMelWeight(new ZVec(nFftLen / 2 + 1)),
      fPreEmph(0.97f),
      pWindow(new ZVec(nFrmLen)),
      pFrame(new ZVec(nFrmLen)),
      pSpectrum(new ZVec(nFftLen / 2 + 1)),
      pFft(new ZFFTS(nFftLen)),
      nOutCap(100),
      pOutMat(new ZMat(nOutCap, nFilter)) {
  InitMelPos(20.0f, 8000.0f, pMelPos, pMelWeight);
  z_hamming(pWindow->data, nFrmLen);
}

ZFea1::~ZFea1() {
  delete pMelPos;
  delete pMelWeight;
  delete pWindow;
  delete pFrame;
  delete pSpectrum;
  delete pFft;
  delete pOutMat;
}

int ZFea1::InitMelPos(float loHz, float hiHz, ZVec* boundaries, ZVec* weights) {
  z_init_melbank(nSampleRate, nFftLen, loHz, hiHz, false, boundaries, weights);
  return 0;
}

int ZFea1::GenFbData(const float* power, ZVec* boundaries, ZVec* weights, float* out) {
  z_apply_melbank(power, boundaries, weights, out);
  return 0;
}

int ZFea1::ExtractFBank(const float* samples, int count, ZMat*& out) {
  // (count - 400) / 160 would round a short segment's negative count up to
  // zero; a segment shorter than one frame has no frame.
  const int F = count < nFrmLen ? 0 : (count - nFrmLen) / nFrmShift + 1;
  if (F > nOutCap) {
    delete pOutMat;
    nOutCap = 2 * F;
    pOutMat = new ZMat(nOutCap, nFilter);
  }
  pOutMat->ResetRow(F);
  for (int f = 0; f < F; ++f) {
    float* x = pFrame->data;
    std::memcpy(x, samples + static_cast<size_t>(f) * nFrmShift, sizeof(float) * nFrmLen);
    z_dc_preemph(x, nFrmLen, fPreEmph);
    pFrame->RowMul(pWindow);
    pFft->Execute(pFrame, pSpectrum);
    float* row = pOutMat->row[f];
    GenFbData(pSpectrum->data, pMelPos, pMelWeight, row);
    z_floor_log(row, nFilter);
  }
  out = pOutMat;
  return 0;
}

}  // namespace __kestrel4__
