// The affine layer y = W x + b. W is kept in both tile forms: the standard
// form for one frame (matrix x vector), the transposed form as the right
// operand of a block of frames (Y = X W^T + b), so neither path transposes at
// run time; the bias is pre-replicated into one tile row of four copies.
#ifndef KESTREL_NNET_AFFINE_H
#define KESTREL_NNET_AFFINE_H

#include "engine/nnet/component.h"

namespace __kestrel4__ {

class Nnet_AffineTransform : public Nnet_Component {
 public:
  // Dimensions only; the parameters come from ReadData or SetParams.
  Nnet_AffineTransform(int inDim, int outDim);
  ~Nnet_AffineTransform() override;

  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
  // Training settings (read and dropped), W (outDim x inDim), b (outDim).
  int ReadData(ZInput* in) override;
  // The same, with the training settings written as zeros.
  int WriteData(ZOutput* out) const override;

  // Installs W (outDim x inDim, one row per output) and b (outDim).
  int SetParams(const ZMat* W, const ZVec* b);

  ZVec* bias;
  ZMat_Neon* weight;   // W, standard form
  ZMat_Neon* weightT;  // W, transposed form: W^T in the standard form
  ZMat_Neon* bias4;    // 4 x outDim
};

}  // namespace __kestrel4__

#endif
