// The neural network container: a list of layers loaded from a model file.
// (Interim form: records the model's dimensions only, until the layers land.)
#ifndef KESTREL_NNET_NNET_H
#define KESTREL_NNET_NNET_H

#include "engine/core/mat.h"

namespace __kestrel4__ {

class Nnet {
 public:
  // Loads path in the component format, or the legacy format when `legacy`.
  Nnet(const char* path, bool legacy);
  ~Nnet();
  Nnet(const Nnet&) = delete;
  Nnet& operator=(const Nnet&) = delete;

  // Installs log-priors: copies outDim values, negated, into `prior`.
  int SetPrior(const float* p);
  // True when the model loaded into a usable network.
  bool IsValid() const { return valid; }

  bool valid;
  int inDim;
  int outDim;
  bool usePrior;
  ZVec* prior;
};

}  // namespace __kestrel4__

#endif
