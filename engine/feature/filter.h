// The feature filter chain of the wake-word engine: first-order deltas,
// deltas of the deltas, normalisation with a built-in mean and deviation, and
// splicing of neighbouring frames. Each filter slides a window of frames
// (left context, centre, right context) over the stream, keeps the frames it
// still needs between calls and emits one frame per window position, so its
// output lags its input by the right context.
#ifndef KESTREL_FEATURE_FILTER_H
#define KESTREL_FEATURE_FILTER_H

#include "engine/core/mat.h"

namespace __kestrel4__ {

class ZFilter {
 public:
  // A window from `left` to `right` frames around the centre (left < 0 <
  // right in the engine's chain); inDim values in, outDim values out per
  // frame.
  ZFilter(int left, int right, int inDim, int outDim);
  virtual ~ZFilter();
  ZFilter(const ZFilter&) = delete;
  ZFilter& operator=(const ZFilter&) = delete;

  // Sets up (or re-sets up) the window, the history and the output matrix.
  // Returns 0.
  int InitFilter(int left, int right, int inDim, int outDim);
  // Consumes the first n rows of `in`; `out` receives the filter's output
  // matrix (owned by the filter, overwritten by its next call) and `outN`
  // the frames emitted, 0 while the filter waits for its right context.
  // Returns 0.
  int FilterFea(ZMat* in, int n, ZMat*& out, int& outN);
  // Forgets the history and re-arms the first-frame behaviours. Returns 0.
  int ResetFilter();

  // Hook for filters with state of their own; no filter here uses it.
  virtual int OnResetFilter();
  // Computes the output frame(s) of one window (oldest frame first) into the
  // output matrix from row nOutNum on; `first` is true for the first window
  // after construction or reset.
  virtual int DoSingleFilter(float** window, bool first) = 0;
  // Called once with the first input frame after construction or reset.
  virtual int OnFirstInFrame(float* frame) = 0;

  bool bFirstIn;
  bool bFirstOut;
  int nLeftIdx;
  int nRightIdx;
  int nCentreIdx;
  int nInDim;
  int nWinLen;
  int nHistNum;  // input frames held from earlier calls (< nWinLen)
  ZMat* pHistMat;
  int nOutDim;
  int nOutCap;
  int nOutNum;  // frames emitted by the current call
  ZMat* pOutMat;
  float** ppWin;

 private:
  void Release();
};

// Delta regression over five frames: the centre frame followed by the deltas
// of its last (outDim - inDim) values.
class ZFilter_Delt : public ZFilter {
 public:
  ZFilter_Delt(int left, int right, int inDim, int outDim);
  int DoSingleFilter(float** window, bool first) override;
  int OnFirstInFrame(float* frame) override;
};

// (x - mean) / std with the built-in statistics of the engine's 87-value
// frames. The first window also emits the frames before its centre, so no
// frame is lost at the start.
class ZFilter_Norm : public ZFilter {
 public:
  ZFilter_Norm(int left, int right, int inDim, int outDim);
  ~ZFilter_Norm() override;
  int DoSingleFilter(float** window, bool first) override;
  int OnFirstInFrame(float* frame) override;

  float* pMean;
  float* pStd;
};

// Splicing: the concatenation of all window frames, oldest first. The first
// frame is its own left context (the history is padded with copies of it).
class ZFilter_Cmb : public ZFilter {
 public:
  ZFilter_Cmb(int left, int right, int inDim, int outDim);
  int DoSingleFilter(float** window, bool first) override;
  int OnFirstInFrame(float* frame) override;
};

}  // namespace __kestrel4__

#endif
