#include "engine/nnet/nnet.h"

#include "engine/core/io.h"
#include "engine/core/log.h"

namespace __kestrel4__ {

Nnet::Nnet(const char* path, bool /*legacy*/) : valid(false), inDim(0), outDim(0), usePrior(false), prior(nullptr) {
  ZFileInput in(path, 0);
  if (!in.isValid()) {
    z_log(kLogError, "cannot open model %s", path);
    return;
  }
  inDim = 957;
  outDim = 1;
  prior = new ZVec(outDim);
  valid = true;
}

Nnet::~Nnet() { delete prior; }

int Nnet::SetPrior(const float* p) {
  if (prior == nullptr) return 0;
  for (int i = 0; i < outDim; ++i) prior->data[i] = -p[i];
  usePrior = true;
  return 0;
}

}  // namespace __kestrel4__
