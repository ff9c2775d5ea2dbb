// The projected bidirectional LSTM ("<BLstmProjectedStreams>"): two streams
// (forward, backward) of C cells with peepholes, fixed table sigmoid and tanh,
// each projected to P = outDim / 2 outputs; output row = forward P values,
// then backward P values. Its file stores the input and recurrent matrices
// one row per gate unit.
#ifndef KESTREL_NNET_BLSTM2_H
#define KESTREL_NNET_BLSTM2_H

#include "engine/nnet/component.h"

namespace __kestrel4__ {

class Nnet_BLstm2;

class Nnet_Memory_BLstm2 : public Nnet_Component_Memory {
 public:
  Nnet_Memory_BLstm2(Nnet_BLstm2* layer, int rows);
  ~Nnet_Memory_BLstm2() override;
  int ConfigMem(const ZMat_Neon* in) override;

  struct Stream {
    ZVec *z, *c, *h, *m, *r, *g, *i, *f, *o;
  };
  ZMat* gatesPlain;  // capacity x 4C
  ZMat_Neon* gates;  // capacity x 4C
  Stream stream[2];  // forward, backward
};

class Nnet_BLstm2 : public Nnet_Component {
 public:
  // One stream's parameters in the file's orientation.
  struct StreamParams {
    const ZMat* wx = nullptr;  // 4C x inDim
    const ZMat* wr = nullptr;  // 4C x P
    const ZVec* bias = nullptr;  // 4C
    const ZVec* peepI = nullptr;  // C each
    const ZVec* peepF = nullptr;
    const ZVec* peepO = nullptr;
    const ZMat* proj = nullptr;  // P x C
  };
  struct Stream {
    ZVec *bias, *peepI, *peepF, *peepO;
    ZMat_Neon* wxT;   // Wx^T, inDim x 4C in the standard form
    ZMat_Neon* wr;    // 4C x P, standard form
    ZMat_Neon* proj;  // P x C, standard form
  };

  Nnet_BLstm2(int inDim, int outDim);
  ~Nnet_BLstm2() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
  Nnet_Component_Memory* GeneratePropagateMemory(int rows) override;
  int ReadData(ZInput* in) override;
  int WriteData(ZOutput* out) const override;
  bool HasFrameForm() const override { return false; }
  std::string Describe() const override;

  int SetParams(int cellDim, const StreamParams& fwd, const StreamParams& bwd);

  int cellDim;
  int gateDim;
  Stream stream[2];  // forward, backward

 private:
  void Release();
};

}  // namespace __kestrel4__

#endif
