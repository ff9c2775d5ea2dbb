// Direction of a talker from M microphone channels at 16 kHz: every frame
// scores a fixed grid of candidate directions with phase-transform-weighted
// cross-correlations (GCC-PHAT) of all microphone pairs, read at the
// fractional lag each candidate predicts through a natural cubic spline. The
// per-frame scores go into a 20-second history; a query sums the frames of a
// time window and returns the best candidate.
//
// Angle convention: the lag table reads each pair's correlation at the delay
// of the second microphone minus the first, the opposite sign of the lag at
// which the correlation peaks. A talker at azimuth A is therefore reported at
// A + pi (its mirror through the array centre; for a flat array the elevation
// keeps its value). This is the system's convention: every consumer turns the
// azimuth back (the degree conversions subtract pi, the beamformer is steered
// with azimuth + pi). Keep it so.
#ifndef KESTREL_SL_SL_MEM_H
#define KESTREL_SL_SL_MEM_H

#include <vector>

#include "engine/core/fft.h"
#include "engine/core/mat.h"
#include "engine/sl/spline.h"

namespace __kestrel4__ {

class ZSlMem {
 public:
  static constexpr int kFftLen = 1024;
  static constexpr int kFrameLen = 1024;
  static constexpr int kHop = 256;
  static constexpr int kHistLen = 320000 / 256;  // 1250 frames, 20 s
  static constexpr int kMaxMics = 64;
  // Lags -L .. +L must be distinct correlation cells of a 1024-point frame.
  static constexpr int kMaxLag = kFftLen / 2 - 1;

  // positions: 3 floats (x, y, z in metres) per microphone; delays: one per
  // microphone in seconds (the channel's extra latency), or null. Check
  // Valid() before use: a geometry that cannot be localised in a frame is
  // refused (logged) and leaves the object unusable.
  ZSlMem(int M, const float* positions, const float* delays);
  virtual ~ZSlMem();
  ZSlMem(const ZSlMem&) = delete;
  ZSlMem& operator=(const ZSlMem&) = delete;

  bool Valid() const { return m_valid; }

  // Lag in samples at which the pair (i, j) is read for a source at (x, y,
  // z): distance to microphone j minus distance to microphone i, less the
  // difference of the channels' latencies.
  float GetDis(float x, float y, float z, int i, int j) const;
  // Appends n samples of every channel; runs a frame every 256 samples once
  // 1024 are buffered. Returns 0.
  int PutData(float** channels, int n);
  int ProcessSingleFrm();
  // Best candidate over the frames wholly inside the window from `from` to
  // `to` samples back from the newest input (at least four frames). out[0]
  // azimuth, out[1] elevation, radians. Returns 0.
  int GetCandidates(int from, int to, float* out);
  // Starts a new stream: empty frame buffer and history.
  int Reset();

  int nMic;
  ZMat* pPos;   // M x 3
  int nPair;
  int* pPair;   // 2 per pair, i < j
  int nCand;
  ZMat* pCand;  // K x 2: azimuth, elevation
  ZMat* pLag;   // P x K: position in the pair's lag window
  int nMaxLag;  // L
  int nFftLen;
  int nFrmLen;
  int nHop;
  spline mSpline;
  int nFill;
  ZMat* pFrame;     // M x 1024
  ZMat* pWinFrame;  // M x 1024
  ZVec* pWin;       // Hamming window
  ZCMat* pSpectrum;     // M x 1024
  ZCMat* pGcc;      // P x 1024
  ZMat* pPairMat;   // P x 2, the pair list as integer cells for CalcGcc
  ZMat* pCorr;      // P x 1024
  ZMat* pLagWin;    // P x (2L + 1)
  ZFFT_R2C* pFft;
  ZFFT_C2R* pIfft;  // null without pairs
  ZVec* pScore;     // K
  int nHistIdx;
  int nHistLen;
  ZMat* pHist;      // 1250 x K
  ZVec* pAcc;       // K

 private:
  int init(int M, const float* positions, const float* delays, int W, int H);

  float* pDelay;                       // per microphone, seconds; null when none given
  std::vector<spline::point> mLagPoint;  // P x K: the lag table's entries located among the knots
  std::vector<double> mKnotVal;          // 2L + 1 values of the pair being fitted
  bool m_valid;
};

}  // namespace __kestrel4__

#endif
