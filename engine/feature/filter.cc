#include "engine/feature/filter.h"

#include <cstring>

namespace __kestrel4__ {

namespace {

// Statistics of the engine's 87-value frames (29 filter-bank values, their
// deltas, their second-order deltas); the 88th entries are never used.
const float kNormMean[88] = {
    15.999028f, 16.606985f, 16.638456f, 16.974909f, 17.159355f, 17.10782f,
    16.965805f, 16.832441f, 16.77111f, 16.71107f, 16.734055f, 16.775206f,
    16.867884f, 16.933413f, 16.909723f, 16.917803f, 17.068787f, 17.275574f,
    17.388647f, 17.38818f, 17.461212f, 17.589249f, 16.701677f, 16.571339f,
    16.381836f, 16.247192f, 16.087757f, 15.8371525f, 15.404978f, 0.0011494f,
    0.0010173f, 0.0008637f, 0.0008497f, 0.0007389f, 0.0006822f, 0.000714f,
    0.0007231f, 0.0006424f, 0.00056f, 0.0005213f, 0.0004211f, 0.0002511f,
    8.13e-05f, -4.23e-05f, -4.3e-05f, 4.33e-05f, 0.0001192f, 0.0001339f,
    8.99e-05f, 2.18e-05f, 1.4e-06f, 5.15e-05f, 6.7e-05f, 5.26e-05f,
    7.56e-05f, 0.0001079f, 7.28e-05f, 1.51e-05f, -0.01529f, -0.0158032f,
    -0.0159841f, -0.0162367f, -0.0163882f, -0.0165462f, -0.0167098f, -0.0168513f,
    -0.0170111f, -0.0171102f, -0.0172736f, -0.0174784f, -0.0176892f, -0.0178534f,
    -0.0179263f, -0.0179864f, -0.0181543f, -0.018276f, -0.0182311f, -0.0181999f,
    -0.018339f, -0.0185275f, -0.0173732f, -0.0174342f, -0.0174987f, -0.0174639f,
    -0.0173187f, -0.0170296f, -0.0164782f,
    0.0f};
const float kNormStd[88] = {
    3.6834488f, 3.7444546f, 3.7366984f, 3.8071036f, 3.8643873f, 3.842906f,
    3.7959638f, 3.7250116f, 3.6527643f, 3.6066942f, 3.572371f, 3.533284f,
    3.5043569f, 3.468067f, 3.404491f, 3.3499923f, 3.3384132f, 3.3518388f,
    3.3654323f, 3.3439443f, 3.3363743f, 3.3672435f, 5.387532f, 5.3231144f,
    5.23738f, 5.1989098f, 5.171674f, 5.1255817f, 5.0392685f, 0.6847376f,
    0.714054f, 0.7247341f, 0.7453557f, 0.7599887f, 0.7595286f, 0.7498437f,
    0.7371762f, 0.7261569f, 0.7191843f, 0.7174401f, 0.7178849f, 0.7180113f,
    0.7161793f, 0.7089777f, 0.7024556f, 0.7017723f, 0.7045895f, 0.7076374f,
    0.7077351f, 0.7110642f, 0.7169318f, 0.6949537f, 0.6927273f, 0.6930136f,
    0.6941982f, 0.6923096f, 0.6844098f, 0.6697469f, 0.232771f, 0.2431262f,
    0.2475486f, 0.2549773f, 0.2596903f, 0.2569836f, 0.2497762f, 0.2426901f,
    0.2369795f, 0.2338764f, 0.2330832f, 0.2336972f, 0.2337191f, 0.2329607f,
    0.2301853f, 0.2274966f, 0.2263993f, 0.2268861f, 0.2283831f, 0.2285734f,
    0.2296042f, 0.231371f, 0.2242439f, 0.2243714f, 0.2250304f, 0.2255793f,
    0.2254038f, 0.2237812f, 0.2202581f,
    0.0f};

constexpr int kNormTabLen = 87;

inline int Min(int a, int b) { return a < b ? a : b; }

}  // namespace

// ---------------------------------------------------------------- ZFilter

ZFilter::ZFilter(int left, int right, int inDim, int outDim)
    : bFirstIn(true),
      bFirstOut(true),
      nLeftIdx(0),
      nRightIdx(0),
      nCentreIdx(0),
      nInDim(0),
      nWinLen(0),
      nHistNum(0),
      pHistMat(nullptr),
      nOutDim(0),
      nOutCap(0),
      nOutNum(0),
      pOutMat(nullptr),
      ppWin(nullptr) {
  InitFilter(left, right, inDim, outDim);
}

ZFilter::~ZFilter() { Release(); }

void ZFilter::Release() {
  delete pHistMat;
  delete pOutMat;
  delete[] ppWin;
  pHistMat = nullptr;
  pOutMat = nullptr;
  ppWin = nullptr;
}

int ZFilter::InitFilter(int left, int right, int inDim, int outDim) {
  Release();
  const int m = left < 0 ? left : 0;
  nLeftIdx = left - m;
  nRightIdx = right - m;
  nCentreIdx = -m;
  nWinLen = (right >= 0 ? right - m : -m) + 1;
  nInDim = inDim;
  nOutDim = outDim;
  nHistNum = 0;
  nOutNum = 0;
  pHistMat = new ZMat(nWinLen - 1, inDim);
  nOutCap = 16;
  pOutMat = new ZMat(nOutCap, outDim);
  ppWin = new float*[nWinLen];
  bFirstIn = true;
  bFirstOut = true;
  return 0;
}

int ZFilter::FilterFea(ZMat* in, int n, ZMat*& out, int& outN) {
  if (n < 0) n = 0;
  // Every call emits at most nHistNum + n frames (the first window's extra
  // leading frames included), so this bound never lets a call write past
  // the output matrix.
  if (nHistNum + n > nOutCap) {
    delete pOutMat;
    nOutCap = nHistNum + n + 16;
    pOutMat = new ZMat(nOutCap, nOutDim);
  }
  if (n > 0 && bFirstIn) {
    OnFirstInFrame(in->row[0]);
    bFirstIn = false;
  }
  nOutNum = 0;
  const size_t rowBytes = sizeof(float) * nInDim;
  if (nHistNum + n < nWinLen) {
    for (int i = 0; i < n; ++i) std::memcpy(pHistMat->row[nHistNum + i], in->row[i], rowBytes);
    nHistNum += n;
  } else {
    for (int i = nWinLen - 1 - nHistNum; i < n; ++i) {
      for (int k = 0; k < nWinLen; ++k) ppWin[nWinLen - 1 - k] = k <= i ? in->row[i - k] : pHistMat->row[nHistNum + i - k];
      DoSingleFilter(ppWin, bFirstOut);
      if (i == n - 1) {
        // The newest nWinLen - 1 frames become the history. A window entry
        // that lies in the history sits at or after the row it moves to, so
        // copying upwards never overwrites a frame still to be moved.
        for (int e = 1; e < nWinLen; ++e)
          if (pHistMat->row[e - 1] != ppWin[e]) std::memcpy(pHistMat->row[e - 1], ppWin[e], rowBytes);
      }
      bFirstOut = false;
      nOutNum += 1;
    }
    nHistNum = nWinLen - 1;
  }
  out = pOutMat;
  outN = nOutNum;
  return 0;
}

int ZFilter::ResetFilter() {
  bFirstIn = true;
  bFirstOut = true;
  nHistNum = 0;
  nOutNum = 0;
  return 0;
}

int ZFilter::OnResetFilter() { return 0; }

// ---------------------------------------------------------------- ZFilter_Delt

ZFilter_Delt::ZFilter_Delt(int left, int right, int inDim, int outDim) : ZFilter(left, right, inDim, outDim) {}

int ZFilter_Delt::DoSingleFilter(float** x, bool /*first*/) {
  float* out = pOutMat->row[nOutNum];
  std::memcpy(out, x[nCentreIdx], sizeof(float) * nInDim);
  // Deltas of the last d input values: the first delta filter differentiates
  // the whole filter-bank frame, the second only the deltas it was given.
  const int d = nOutDim - nInDim;
  const int o = nInDim - d;
  const float* x0 = x[nLeftIdx] + o;
  const float* x1 = x[nLeftIdx + 1] + o;
  const float* x3 = x[nRightIdx - 1] + o;
  const float* x4 = x[nRightIdx] + o;
  for (int i = 0; i < d; ++i) {
    float outer = x4[i] - x0[i];
    float inner = x3[i] - x1[i];
    out[nInDim + i] = (2.0f * outer + inner) / 10.0f;
  }
  return 0;
}

int ZFilter_Delt::OnFirstInFrame(float* /*frame*/) { return 0; }

// ---------------------------------------------------------------- ZFilter_Norm

ZFilter_Norm::ZFilter_Norm(int left, int right, int inDim, int outDim)
    : ZFilter(left, right, inDim, outDim), pMean(new float[inDim > 0 ? inDim : 1]), pStd(new float[inDim > 0 ? inDim : 1]) {
  // Values past the table are passed through unchanged (mean 0, deviation 1)
  // rather than divided by the table's zero end entry.
  for (int j = 0; j < inDim; ++j) {
    pMean[j] = j < kNormTabLen ? kNormMean[j] : 0.0f;
    pStd[j] = j < kNormTabLen ? kNormStd[j] : 1.0f;
  }
}

ZFilter_Norm::~ZFilter_Norm() {
  delete[] pMean;
  delete[] pStd;
}

int ZFilter_Norm::DoSingleFilter(float** x, bool first) {
  const int dim = Min(nInDim, nOutDim);
  if (first) {
    for (int k = nLeftIdx; k < nCentreIdx; ++k) {
      float* out = pOutMat->row[nOutNum + k - nLeftIdx];
      for (int j = 0; j < dim; ++j) out[j] = (x[k][j] - pMean[j]) / pStd[j];
    }
    nOutNum += nCentreIdx - nLeftIdx;
  }
  float* out = pOutMat->row[nOutNum];
  const float* c = x[nCentreIdx];
  for (int j = 0; j < dim; ++j) out[j] = (c[j] - pMean[j]) / pStd[j];
  return 0;
}

int ZFilter_Norm::OnFirstInFrame(float* /*frame*/) { return 0; }

// ---------------------------------------------------------------- ZFilter_Cmb

ZFilter_Cmb::ZFilter_Cmb(int left, int right, int inDim, int outDim) : ZFilter(left, right, inDim, outDim) {}

int ZFilter_Cmb::DoSingleFilter(float** x, bool /*first*/) {
  float* out = pOutMat->row[nOutNum];
  const int frames = Min(nWinLen, nInDim > 0 ? nOutDim / nInDim : 0);
  for (int k = 0; k < frames; ++k) std::memcpy(out + k * nInDim, x[k], sizeof(float) * nInDim);
  return 0;
}

int ZFilter_Cmb::OnFirstInFrame(float* frame) {
  for (int r = nLeftIdx; r < nCentreIdx; ++r) std::memcpy(pHistMat->row[r], frame, sizeof(float) * nInDim);
  nHistNum = nCentreIdx;
  return 0;
}

}  // namespace __kestrel4__
