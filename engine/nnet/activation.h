// Activation layers: sigmoid and tanh by table, ReLU, and log-softmax. They
// have no data of their own; inDim == outDim.
#ifndef KESTREL_NNET_ACTIVATION_H
#define KESTREL_NNET_ACTIVATION_H

#include "engine/nnet/component.h"

namespace __kestrel4__ {

class Nnet_Sigmoid : public Nnet_Component {
 public:
  explicit Nnet_Sigmoid(int dim);
  ~Nnet_Sigmoid() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
};

class Nnet_Tanh : public Nnet_Component {
 public:
  explicit Nnet_Tanh(int dim);
  ~Nnet_Tanh() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
};

class Nnet_Relu : public Nnet_Component {
 public:
  explicit Nnet_Relu(int dim);
  ~Nnet_Relu() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
};

// Log-softmax: the natural logarithm of the softmax, not the probability.
class Nnet_SoftMax : public Nnet_Component {
 public:
  explicit Nnet_SoftMax(int dim);
  ~Nnet_SoftMax() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
};

}  // namespace __kestrel4__

#endif
