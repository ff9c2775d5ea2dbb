// The feature filter chain: deltas, normalisation and splicing, each a
// streaming filter with left and right context.
// (Interim form: the filters pass nothing on until the chain lands.)
#ifndef KESTREL_FEATURE_FILTER_H
#define KESTREL_FEATURE_FILTER_H

#include "engine/core/mat.h"

namespace __kestrel4__ {

class ZFilter {
 public:
  ZFilter(int left, int right, int inDim, int outDim);
  virtual ~ZFilter();
  // Consumes the first n rows of `in`; `out` receives the filter's output
  // matrix and `outN` the frames emitted (0 while it waits for context).
  virtual int FilterFea(ZMat* in, int n, ZMat*& out, int& outN);
  virtual int ResetFilter();

  int left, right, inDim, outDim;
  ZMat* out;
};

class ZFilter_Delt : public ZFilter {
 public:
  using ZFilter::ZFilter;
};
class ZFilter_Norm : public ZFilter {
 public:
  using ZFilter::ZFilter;
};
class ZFilter_Cmb : public ZFilter {
 public:
  using ZFilter::ZFilter;
};

}  // namespace __kestrel4__

#endif
