#include "engine/sl/sl_mem.h"

#include <cmath>
#include <cstring>

#include "engine/core/log.h"

namespace __kestrel4__ {

namespace {

constexpr float kPi = 3.1415927f;
constexpr double kTwoPi = 6.283185307179586;
constexpr float kSampleRate = 16000.0f;
constexpr float kSoundSpeed = 343.3f;  // metres per second
constexpr float kSourceDist = 3.0f;    // candidate sources lie 3 m from the origin
constexpr int kGridWidth = 72;         // azimuths on the horizontal ring
constexpr int kGridRings = 18;         // elevation rings, 5 degrees apart

// Integers travel through CalcGcc's pair matrix in the bits of its cells.
void PutIntCell(float* cell, int v) { std::memcpy(cell, &v, sizeof(int)); }

}  // namespace

ZSlMem::ZSlMem(int M, const float* positions, const float* delays)
    : nMic(0),
      pPos(nullptr),
      nPair(0),
      pPair(nullptr),
      nCand(0),
      pCand(nullptr),
      pLag(nullptr),
      nMaxLag(0),
      nFftLen(kFftLen),
      nFrmLen(kFrameLen),
      nHop(kHop),
      nFill(0),
      pFrame(nullptr),
      pWinFrame(nullptr),
      pWin(nullptr),
      pSpectrum(nullptr),
      pGcc(nullptr),
      pPairMat(nullptr),
      pCorr(nullptr),
      pLagWin(nullptr),
      pFft(nullptr),
      pIfft(nullptr),
      pScore(nullptr),
      nHistIdx(0),
      nHistLen(kHistLen),
      pHist(nullptr),
      pAcc(nullptr),
      pDelay(nullptr),
      m_valid(false) {
  m_valid = init(M, positions, delays, kGridWidth, kGridRings) == 0;
}

ZSlMem::~ZSlMem() {
  delete pPos;
  delete[] pPair;
  delete pCand;
  delete pLag;
  delete pFrame;
  delete pWinFrame;
  delete pWin;
  delete pSpectrum;
  delete pGcc;
  delete pPairMat;
  delete pCorr;
  delete pLagWin;
  delete pFft;
  delete pIfft;
  delete pScore;
  delete pHist;
  delete pAcc;
  delete[] pDelay;
}

int ZSlMem::init(int M, const float* positions, const float* delays, int W, int H) {
  if (M < 1 || M > kMaxMics) {
    z_log(kLogError, "ZSlMem: %d microphones; the localiser takes 1 to %d", M, kMaxMics);
    return 1;
  }
  if (positions == nullptr) {
    z_log(kLogError, "ZSlMem: no microphone positions");
    return 1;
  }
  for (int i = 0; i < 3 * M; ++i) {
    if (!std::isfinite(positions[i])) {
      z_log(kLogError, "ZSlMem: microphone %d has a position that is not a finite number", i / 3);
      return 1;
    }
  }
  if (delays != nullptr) {
    for (int i = 0; i < M; ++i) {
      if (!std::isfinite(delays[i])) {
        z_log(kLogError, "ZSlMem: microphone %d has a delay that is not a finite number", i);
        return 1;
      }
    }
  }

  // Positions, delays and the pair list (0,1), (0,2), ..., (M-2,M-1).
  nMic = M;
  pPos = new ZMat(M, 3);
  for (int i = 0; i < M; ++i) {
    for (int c = 0; c < 3; ++c) pPos->row[i][c] = positions[3 * i + c];
  }
  if (delays != nullptr) {
    pDelay = new float[M];
    std::memcpy(pDelay, delays, sizeof(float) * M);
  }
  nPair = M * (M - 1) / 2;
  pPair = new int[2 * nPair + 2];
  pPairMat = new ZMat(nPair, 2);
  for (int i = 0, p = 0; i < M; ++i) {
    for (int j = i + 1; j < M; ++j, ++p) {
      pPair[2 * p] = i;
      pPair[2 * p + 1] = j;
      PutIntCell(&pPairMat->row[p][0], i);
      PutIntCell(&pPairMat->row[p][1], j);
    }
  }

  // Direction grid: H elevation rings from the horizon up in steps of
  // pi / (2H), each with as many azimuths as W times the ring's cosine, then
  // the zenith.
  int K = 0;
  for (int i = 0; i < H; ++i) {
    float e = (static_cast<float>(i) * kPi / static_cast<float>(H)) * 0.5f;
    K += static_cast<int>(static_cast<float>(W) * cosf(e));
  }
  if (H > 1) ++K;
  nCand = K;
  pCand = new ZMat(K, 2);
  int k = 0;
  for (int i = 0; i < H; ++i) {
    float e = (static_cast<float>(i) * kPi / static_cast<float>(H)) * 0.5f;
    int n = static_cast<int>(static_cast<float>(W) * cosf(e));
    for (int j = 0; j < n; ++j, ++k) {
      pCand->row[k][0] = static_cast<float>(static_cast<double>(j) * kTwoPi / static_cast<double>(n));
      pCand->row[k][1] = e;
    }
  }
  if (H > 1) {
    pCand->row[k][0] = 0.0f;
    pCand->row[k][1] = 1.5707964f;
  }

  // Lag table: each pair's delay for each candidate, shifted by the largest
  // lag L so that it indexes the pair's window of lags -L .. +L.
  pLag = new ZMat(nPair, K);
  float largest = 0.0f;
  for (int c = 0; c < K; ++c) {
    float az = pCand->row[c][0];
    float el = pCand->row[c][1];
    float x = kSourceDist * cosf(az) * cosf(el);
    float y = kSourceDist * sinf(az) * cosf(el);
    float z = kSourceDist * sinf(el);
    for (int p = 0; p < nPair; ++p) {
      float d = GetDis(x, y, z, pPair[2 * p], pPair[2 * p + 1]);
      pLag->row[p][c] = d;
      if (std::fabs(d) > largest) largest = std::fabs(d);
    }
  }
  // A frame holds lags up to 511 samples either way; microphones (or channel
  // latencies) further apart than that cannot be localised in it, and their
  // lag windows would reach outside the correlation.
  if (!(largest < static_cast<float>(kMaxLag))) {
    z_log(kLogError, "ZSlMem: the microphones are %.1f samples of lag apart; a frame holds at most %d",
          static_cast<double>(largest), kMaxLag);
    return 1;
  }
  nMaxLag = static_cast<int>(largest) + 1;
  const int L = nMaxLag;
  for (int p = 0; p < nPair; ++p) {
    for (int c = 0; c < K; ++c) pLag->row[p][c] = pLag->row[p][c] + static_cast<float>(L);
  }

  // The spline's knots are the whole lags 0 .. 2L of every window and never
  // change, so the fit's matrix is decomposed once and every table entry is
  // located among the knots once.
  std::vector<double> knots(2 * L + 1);
  for (int i = 0; i <= 2 * L; ++i) knots[i] = static_cast<double>(i);
  mSpline.set_knots(knots, true);
  mKnotVal.assign(2 * L + 1, 0.0);
  mLagPoint.resize(static_cast<size_t>(nPair) * K);
  for (int p = 0; p < nPair; ++p) {
    for (int c = 0; c < K; ++c) mLagPoint[static_cast<size_t>(p) * K + c] = mSpline.locate(pLag->row[p][c]);
  }

  // Hamming window.
  pWin = new ZVec(nFrmLen);
  for (int i = 0; i < nFrmLen; ++i) {
    pWin->data[i] = 0.54f - 0.46f * cosf(static_cast<float>(2 * i) * kPi / static_cast<float>(nFftLen - 1));
  }

  pFrame = new ZMat(M, nFrmLen);
  pWinFrame = new ZMat(M, nFrmLen);
  pSpectrum = new ZCMat(M, nFftLen);
  pGcc = new ZCMat(nPair, nFftLen);
  pCorr = new ZMat(nPair, nFftLen);
  pLagWin = new ZMat(nPair, 2 * L + 1);
  pFft = new ZFFT_R2C(nFftLen, M);
  if (nPair > 0) pIfft = new ZFFT_C2R(nFftLen, nPair);
  pScore = new ZVec(K);
  pHist = new ZMat(nHistLen, K);
  pAcc = new ZVec(K);

  bool ok = pPos->row && pCand->row && pWin->data && pFrame->row && pWinFrame->row && pSpectrum->row &&
            pScore->data && pHist->row && pAcc->data && pFft->pIn && pFft->pOut && pFft->plan;
  if (nPair > 0) {
    ok = ok && pPairMat->row && pLag->row && pGcc->row && pCorr->row && pLagWin->row && pIfft->pIn &&
         pIfft->pOut && pIfft->plan;
  }
  if (!ok) {
    z_log(kLogError, "ZSlMem: out of memory for %d microphones", M);
    return 1;
  }
  return 0;
}

float ZSlMem::GetDis(float x, float y, float z, int i, int j) const {
  const float* pi = pPos->row[i];
  const float* pj = pPos->row[j];
  float xi = x - pi[0], yi = y - pi[1], zi = z - pi[2];
  float xj = x - pj[0], yj = y - pj[1], zj = z - pj[2];
  float di = sqrtf(xi * xi + yi * yi + zi * zi);
  float dj = sqrtf(xj * xj + yj * yj + zj * zj);
  float d = (dj - di) * kSampleRate / kSoundSpeed;
  if (pDelay != nullptr) d -= (pDelay[i] - pDelay[j]) * kSampleRate;
  return d;
}

int ZSlMem::PutData(float** channels, int n) {
  int done = 0;
  while (done < n) {
    int take = nFrmLen - nFill;
    if (take > n - done) take = n - done;
    for (int m = 0; m < nMic; ++m) std::memcpy(pFrame->row[m] + nFill, channels[m] + done, sizeof(float) * take);
    nFill += take;
    done += take;
    if (nFill == nFrmLen) {
      ProcessSingleFrm();
      // Frames start every hop and overlap by the rest.
      const int keep = nFrmLen - nHop;
      for (int m = 0; m < nMic; ++m) std::memmove(pFrame->row[m], pFrame->row[m] + nHop, sizeof(float) * keep);
      nFill = keep;
    }
  }
  return 0;
}

int ZSlMem::ProcessSingleFrm() {
  const int N = nFftLen;
  const int L = nMaxLag;
  const int K = nCand;
  for (int m = 0; m < nMic; ++m) {
    const float* in = pFrame->row[m];
    float* out = pWinFrame->row[m];
    for (int i = 0; i < nFrmLen; ++i) out[i] = in[i] * pWin->data[i];
  }
  pFft->ExecuteR2C(pWinFrame, pSpectrum);

  float* score = pScore->data;
  for (int c = 0; c < K; ++c) score[c] = 0.0f;
  if (nPair > 0) {
    ZCMat::CalcGcc(pSpectrum, pPairMat, pGcc);
    // A bin whose cross-spectrum is exactly zero has no phase: the
    // normalisation leaves not-a-number there, which would spread through
    // the inverse transform into every score of the frame and from there into
    // every query over the next 20 s. Such a bin contributes nothing.
    for (int p = 0; p < nPair; ++p) {
      ZComplex* g = pGcc->row[p];
      for (int b = 0; b <= N / 2; ++b) {
        if (std::isnan(g[b].re) || std::isnan(g[b].im)) g[b].re = g[b].im = 0.0f;
      }
    }
    pIfft->ExecuteC2R(pGcc, pCorr);

    const float scale = 1.0f / static_cast<float>(N);
    for (int p = 0; p < nPair; ++p) {
      // Lags -L .. -1 sit at the end of the circular correlation, 0 .. L at
      // its start.
      const float* corr = pCorr->row[p];
      float* win = pLagWin->row[p];
      for (int k = 0; k < L; ++k) win[k] = corr[N - L + k];
      for (int k = 0; k <= L; ++k) win[L + k] = corr[k];
      for (int k = 0; k <= 2 * L; ++k) win[k] = win[k] * scale;

      for (int k = 0; k <= 2 * L; ++k) mKnotVal[k] = static_cast<double>(win[k]);
      mSpline.set_values(mKnotVal.data());
      const spline::point* pt = &mLagPoint[static_cast<size_t>(p) * K];
      for (int c = 0; c < K; ++c) score[c] += mSpline.eval(pt[c]);
    }
  }

  std::memcpy(pHist->row[nHistIdx], score, sizeof(float) * K);
  nHistIdx = nHistIdx + 1 == nHistLen ? 0 : nHistIdx + 1;
  return 0;
}

int ZSlMem::GetCandidates(int from, int to, float* out) {
  // Frames wholly inside the window, counted back from the newest (k = 1).
  long long first = (static_cast<long long>(from) - nFrmLen) / nHop + 1;
  long long last = to / nHop;
  if (last + 3 >= first) first = last + 4;
  // Frames older than the history are not there (and a wrapped index would
  // count newer ones twice).
  if (first > nHistLen) first = nHistLen;
  if (last < 0) last = 0;

  const int K = nCand;
  float* acc = pAcc->data;
  for (int c = 0; c < K; ++c) acc[c] = 0.0f;
  for (long long k = first; k > last; --k) {
    int r = static_cast<int>((nHistIdx - k) % nHistLen);
    if (r < 0) r += nHistLen;
    const float* row = pHist->row[r];
    for (int c = 0; c < K; ++c) acc[c] = acc[c] + row[c];
  }
  // The first of equal best scores wins.
  int best = 0;
  for (int c = 1; c < K; ++c) {
    if (acc[c] > acc[best]) best = c;
  }
  out[0] = pCand->row[best][0];
  out[1] = pCand->row[best][1];
  return 0;
}

int ZSlMem::Reset() {
  // A new stream: neither the buffered samples nor the scores of the old one
  // may reach a query of the new one.
  nFill = 0;
  nHistIdx = 0;
  pFrame->Clean();
  pHist->Clean();
  return 0;
}

}  // namespace __kestrel4__
