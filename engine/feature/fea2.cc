#include "engine/feature/fea2.h"

#include <cstdint>
#include <cstring>

#include "engine/core/log.h"
#include "engine/core/util.h"
#include "engine/feature/fbank.h"

namespace __kestrel4__ {

namespace {

constexpr int kFeaDim = 29;      // 22 low + 7 high filters
constexpr int kLowPoints = 24;   // 22 filters, 125 Hz .. 3800 Hz
constexpr int kHighPoints = 9;   // 7 filters, 4000 Hz .. 7800 Hz
constexpr int kInitialOutCap = 100;

}  // namespace

ZFea2::ZFea2(int sampleRate, int blockFrames, int channels)
    : nBlockFrm(0),
      nSampleRate(0),
      nChannel(0),
      nFftLen(0),
      nFrmLen(0),
      nFrmShift(0),
      nFeaDim(0),
      pMelPos1(nullptr),
      pMelWeight1(nullptr),
      pMelPos2(nullptr),
      pMelWeight2(nullptr),
      nBuffLen(0),
      nBlockLen(0),
      fPreEmph(0.0f),
      pBlockBuff(nullptr),
      pWindow(nullptr),
      pFrmMat(nullptr),
      pSpecMat(nullptr),
      pFft(nullptr),
      nOutFrm(0),
      nOutCap(0),
      pOutMat(nullptr) {
  InitFb(sampleRate, blockFrames, channels);
}

ZFea2::~ZFea2() { Release(); }

void ZFea2::Release() {
  delete pMelPos1;
  delete pMelWeight1;
  delete pMelPos2;
  delete pMelWeight2;
  delete pBlockBuff;
  delete pWindow;
  delete pFrmMat;
  delete pSpecMat;
  delete pFft;
  delete pOutMat;
  pMelPos1 = pMelWeight1 = pMelPos2 = pMelWeight2 = pWindow = nullptr;
  pBlockBuff = pFrmMat = pSpecMat = pOutMat = nullptr;
  pFft = nullptr;
}

int ZFea2::InitFb(int sampleRate, int blockFrames, int channels) {
  Release();
  nSampleRate = sampleRate;
  nBlockFrm = blockFrames;
  nChannel = channels;
  nFeaDim = kFeaDim;
  nBuffLen = 0;
  nOutFrm = 0;
  fPreEmph = 0.97f;
  // The output matrix exists even when set-up fails, so a caller always gets
  // a valid (empty) result.
  nOutCap = kInitialOutCap;
  pOutMat = new ZMat(nOutCap, nFeaDim);
  if (sampleRate == 16000) {
    nFftLen = 512;
    nFrmLen = 400;
    nFrmShift = 160;
  } else if (sampleRate == 8000) {
    nFftLen = 256;
    nFrmLen = 200;
    nFrmShift = 80;
  } else {
    z_log(kLogInfo, "ZFea2: unsupported sample rate %d (8000 or 16000)", sampleRate);
    return 1;
  }
  if (blockFrames < 1 || channels < 1) {
    z_log(kLogInfo, "ZFea2: %d frames per block and %d channels cannot make features", blockFrames, channels);
    return 1;
  }
  nBlockLen = nFrmLen + nFrmShift * (nBlockFrm - 1);

  pMelPos1 = new ZVec(kLowPoints);
  pMelWeight1 = new ZVec(nFftLen / 2 + 1);
  InitMelPos(125.0f, 3800.0f, pMelPos1, pMelWeight1);
  if (sampleRate == 16000) {
    pMelPos2 = new ZVec(kHighPoints);
    pMelWeight2 = new ZVec(nFftLen / 2 + 1);
    InitMelPos2(4000.0f, 7800.0f, pMelPos2, pMelWeight2);
  }

  pBlockBuff = new ZMat(nChannel, nBlockLen);
  pWindow = new ZVec(nFftLen);
  z_hamming(pWindow->data, nFrmLen);
  pFrmMat = new ZMat(nBlockFrm * nChannel, nFftLen);
  pSpecMat = new ZMat(nBlockFrm * nChannel, nFftLen / 2 + 1);
  pFft = new ZFFT(nFftLen, nBlockFrm * nChannel);
  return 0;
}

int ZFea2::InitMelPos(float loHz, float hiHz, ZVec* boundaries, ZVec* weights) {
  z_init_melbank(nSampleRate, nFftLen, loHz, hiHz, false, boundaries, weights);
  return 0;
}

int ZFea2::InitMelPos2(float loHz, float hiHz, ZVec* boundaries, ZVec* weights) {
  z_init_melbank(nSampleRate, nFftLen, loHz, hiHz, true, boundaries, weights);
  return 0;
}

int ZFea2::GenFbData(const float* power, ZVec* boundaries, ZVec* weights, float* out) {
  z_apply_melbank(power, boundaries, weights, out);
  return 0;
}

int ZFea2::ProBlockBuff() {
  const int B = nBlockFrm;
  pFrmMat->Clean();
  for (int c = 0; c < nChannel; ++c)
    for (int k = 0; k < B; ++k)
      std::memcpy(pFrmMat->row[c * B + k], pBlockBuff->row[c] + k * nFrmShift, sizeof(float) * nFrmLen);

  // Dither drawn sample by sample from the first row on, then per row: mean
  // removal and pre-emphasis.
  for (int r = 0; r < pFrmMat->rows; ++r) {
    float* x = pFrmMat->row[r];
    for (int j = 0; j < nFrmLen; ++j) x[j] += z_randgauss();
    z_dc_preemph(x, nFrmLen, fPreEmph);
  }
  // The window is zero past the frame, so the rows are zero-padded FFT inputs.
  pFrmMat->RowMul(pWindow);
  pFft->Execute(pFrmMat, pSpecMat);

  const int bins = nFftLen / 2 + 1;
  if (nChannel > 1) {
    const float C = static_cast<float>(nChannel);
    for (int k = 0; k < B; ++k) {
      float* s0 = pSpecMat->row[k];
      for (int j = 0; j < bins; ++j) {
        float s = s0[j];
        for (int c = 1; c < nChannel; ++c) s += pSpecMat->row[c * B + k][j];
        s0[j] = s / C;
      }
    }
  }

  for (int k = 0; k < B; ++k) {
    float* out = pOutMat->row[nOutFrm + k];
    std::memset(out, 0, sizeof(float) * nFeaDim);
    GenFbData(pSpecMat->row[k], pMelPos1, pMelWeight1, out);
    if (pMelPos2 != nullptr) GenFbData(pSpecMat->row[k], pMelPos2, pMelWeight2, out + (kLowPoints - 2));
    z_floor_log(out, nFeaDim);
  }
  return 0;
}

int ZFea2::ContinueFb(const float** channels, int samples, ZMat*& out, int& frames) {
  out = pOutMat;
  frames = 0;
  nOutFrm = 0;
  if (pFft == nullptr) return 1;
  if (samples <= 0) return 0;

  // A call yields at most (held + new) / shift frames.
  const int64_t demand = (static_cast<int64_t>(samples) + nBuffLen) / nFrmShift;
  if (demand > nOutCap) {
    delete pOutMat;
    nOutCap = static_cast<int>(2 * demand);
    pOutMat = new ZMat(nOutCap, nFeaDim);
    out = pOutMat;
  }

  const int step = nBlockFrm * nFrmShift;  // samples a block advances
  const int keep = nBlockLen - step;       // overlap carried to the next block
  int used = 0;
  while (used < samples) {
    const int take = samples - used < nBlockLen - nBuffLen ? samples - used : nBlockLen - nBuffLen;
    for (int c = 0; c < nChannel; ++c)
      std::memcpy(pBlockBuff->row[c] + nBuffLen, channels[c] + used, sizeof(float) * take);
    nBuffLen += take;
    used += take;
    if (nBuffLen == nBlockLen) {
      ProBlockBuff();
      for (int c = 0; c < nChannel; ++c)
        std::memmove(pBlockBuff->row[c], pBlockBuff->row[c] + step, sizeof(float) * keep);
      nBuffLen = keep;
      nOutFrm += nBlockFrm;
    }
  }
  frames = nOutFrm;
  return 0;
}

int ZFea2::ResetFb() {
  nBuffLen = 0;
  return 0;
}

}  // namespace __kestrel4__
