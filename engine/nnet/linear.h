// The linear layer: an optional linear bottleneck (no nonlinearity between its
// two matrices), then the main matrix, then either a bias or a layer
// normalisation, then an activation chosen by name. The file stores both
// matrices one row per INPUT (the transposes of what the one-frame path
// multiplies); each is held in both tile forms, like the affine layer's.
#ifndef KESTREL_NNET_LINEAR_H
#define KESTREL_NNET_LINEAR_H

#include <string>

#include "engine/nnet/component.h"
#include "engine/nnet/layer_norm.h"

namespace __kestrel4__ {

class Nnet_LinearTransform;

class Nnet_Component_Memory_LinearTransfrom : public Nnet_Component_Memory {
 public:
  Nnet_Component_Memory_LinearTransfrom(Nnet_LinearTransform* layer, int rows);
  ~Nnet_Component_Memory_LinearTransfrom() override;
  int ConfigMem(const ZMat_Neon* in) override;

  ZVec* bnVec;      // b, only with a bottleneck
  ZMat_Neon* bnOut;  // capacity x b, only with a bottleneck
};

class Nnet_LinearTransform : public Nnet_Component {
 public:
  // Plain parameters in the file's orientation (one row per input).
  struct Params {
    bool layerNorm = false;
    bool bottleneck = false;
    std::string activation;
    const ZMat* bnWeightT = nullptr;  // inDim x b
    const ZVec* bnBias = nullptr;     // b
    const ZMat* weightT = nullptr;    // k x outDim, k = b or inDim
    const ZVec* bias = nullptr;       // outDim, without layer normalisation
    const ZVec* normGain = nullptr;   // outDim, with layer normalisation
    const ZVec* normBias = nullptr;   // outDim, with layer normalisation
  };

  Nnet_LinearTransform(int inDim, int outDim);
  ~Nnet_LinearTransform() override;

  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
  Nnet_Component_Memory* GeneratePropagateMemory(int rows) override;
  int ReadData(ZInput* in) override;
  int WriteData(ZOutput* out) const override;
  std::string Describe() const override;

  // The legacy model's layer: bare floats, every matrix one row per OUTPUT
  // (bottleneck b x inDim first when `bottleneck`, then outDim x k), each
  // followed by its bias.
  int ReadData_Old(ZInput* in, bool layerNorm, bool bottleneck, int b, const std::string& activation);

  int SetParams(const Params& p);

  bool layerNorm;
  Nnet_LayerNorm* norm;
  bool bottleneck;
  int bottleneckDim;
  ZMat_Neon* bnWeightT;  // B_W^T, inDim x b, standard form (block path)
  ZMat_Neon* bnBias4;    // 4 x b
  ZMat_Neon* weightT;    // W^T, k x outDim, standard form (block path)
  ZMat_Neon* bias4;      // 4 x outDim
  ZMat_Neon* bnWeight;   // B_W, b x inDim in the standard form (one frame)
  ZVec* bnBias;          // b
  ZMat_Neon* weight;     // W, outDim x k in the standard form (one frame)
  ZVec* bias;            // outDim; zero with layer normalisation
  std::string activation;

 private:
  void Release();
};

}  // namespace __kestrel4__

#endif
