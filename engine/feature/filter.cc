#include "engine/feature/filter.h"

namespace __kestrel4__ {

ZFilter::ZFilter(int l, int r, int in, int o) : left(l), right(r), inDim(in), outDim(o), out(new ZMat(16, o)) {}
ZFilter::~ZFilter() { delete out; }

int ZFilter::FilterFea(ZMat* /*in*/, int /*n*/, ZMat*& o, int& outN) {
  o = out;
  outN = 0;
  return 0;
}

int ZFilter::ResetFilter() { return 0; }

}  // namespace __kestrel4__
