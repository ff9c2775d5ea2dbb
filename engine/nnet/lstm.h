// LSTM layers: one cell (forward) or two (forward and backward, outputs side
// by side). A block of frames is one complete sequence: the cell state and the
// recurrent output start at zero in every call, and the backward cell runs
// from the block's last frame to its first. The input-to-gate product for the
// whole block is one blocked matrix product; only the recurrent product, the
// projection and the gate arithmetic run frame by frame.
//
// Gate pre-activations are four blocks of C values: candidate g, input gate i,
// forget gate f, output gate o.
#ifndef KESTREL_NNET_LSTM_H
#define KESTREL_NNET_LSTM_H

#include <string>

#include "engine/nnet/component.h"
#include "engine/nnet/layer_norm.h"

namespace __kestrel4__ {

class Nnet_Lstm_Cell;

// Per-call buffers of one cell.
class Nnet_Memory_Lstm_Cell {
 public:
  Nnet_Memory_Lstm_Cell(Nnet_Lstm_Cell* cell, int rows);
  virtual ~Nnet_Memory_Lstm_Cell();
  Nnet_Memory_Lstm_Cell(const Nnet_Memory_Lstm_Cell&) = delete;
  Nnet_Memory_Lstm_Cell& operator=(const Nnet_Memory_Lstm_Cell&) = delete;
  // Sizes the matrices for in's T rows (growing to 2T), clears the gates,
  // the cell state and the recurrent output.
  int ConfigMem(const ZMat_Neon* in);

  Nnet_Lstm_Cell* cell;
  int capacity;
  ZMat_Neon* gates;  // capacity x 4C
  ZMat* gatesPlain;  // capacity x 4C
  ZVec* z;           // 4C
  ZVec* g;
  ZVec* i;
  ZVec* f;
  ZVec* o;
  ZVec* c;
  ZVec* m;         // C each
  ZVec* r;         // R
  ZMat* outPlain;  // capacity x R
};

class Nnet_Lstm_Cell {
 public:
  // Plain parameters in the file's orientation.
  struct Params {
    int in = 0, out = 0, cell = 0;  // I, R, C
    bool layerNorm = false;
    bool peephole = false;
    float forgetBias = 0.0f;
    std::string activation;
    const ZMat* wx = nullptr;  // I x 4C, one row per input
    const ZMat* wr = nullptr;  // R x 4C, one row per recurrent input
    // With layer normalisation: input gate, candidate, forget gate, cell
    // output, output gate (C values each).
    const ZVec* normGain[5] = {};
    const ZVec* normBias[5] = {};
    const ZVec* gateBias = nullptr;  // 4C, without layer normalisation
    const ZVec* peepF = nullptr;     // C each, with peepholes
    const ZVec* peepI = nullptr;
    const ZVec* peepO = nullptr;
    const ZMat* proj = nullptr;  // C x R, only when C != R
  };

  Nnet_Lstm_Cell(int in, int out, bool forward);
  virtual ~Nnet_Lstm_Cell();
  Nnet_Lstm_Cell(const Nnet_Lstm_Cell&) = delete;
  Nnet_Lstm_Cell& operator=(const Nnet_Lstm_Cell&) = delete;

  // One cell record; its widths replace those given at construction.
  int ReadData(ZInput* in);
  int WriteData(ZOutput* out) const;
  int SetParams(const Params& p);
  // T frames in; the T x R result is a plain matrix of the cell memory.
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Memory_Lstm_Cell* mem, ZMat*& out);
  std::string Describe() const;

  int forward;
  int inDim, outDim, cellDim;  // I, R, C
  bool layerNorm, peephole;
  float forgetBias;
  std::string activation;
  ZMat_Neon* wx;  // I x 4C, standard form
  ZMat_Neon* wr;  // 4C x R in the standard form
  Nnet_LayerNorm* norms[5];
  ZVec* gateBias;
  ZVec* peepF;
  ZVec* peepI;
  ZVec* peepO;
  ZMat_Neon* proj;  // R x C in the standard form, only when C != R

 private:
  void Release();
};

class Nnet_Lstm;
class Nnet_BLstm;

class Nnet_Memory_Lstm : public Nnet_Component_Memory {
 public:
  Nnet_Memory_Lstm(Nnet_Lstm* layer, int rows);
  ~Nnet_Memory_Lstm() override;
  int ConfigMem(const ZMat_Neon* in) override;
  Nnet_Memory_Lstm_Cell* cellMem;
};

class Nnet_Memory_BLstm : public Nnet_Component_Memory {
 public:
  Nnet_Memory_BLstm(Nnet_BLstm* layer, int rows);
  ~Nnet_Memory_BLstm() override;
  int ConfigMem(const ZMat_Neon* in) override;
  Nnet_Memory_Lstm_Cell* fwdMem;
  Nnet_Memory_Lstm_Cell* bwdMem;
};

// "<LSTM>": one forward cell.
class Nnet_Lstm : public Nnet_Component {
 public:
  Nnet_Lstm(int inDim, int outDim);
  ~Nnet_Lstm() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
  Nnet_Component_Memory* GeneratePropagateMemory(int rows) override;
  int ReadData(ZInput* in) override;
  int WriteData(ZOutput* out) const override;
  bool HasFrameForm() const override { return false; }
  std::string Describe() const override;

  Nnet_Lstm_Cell* cell;
};

// "<BLSTM>" (also read from "<None>"): forward and backward cell.
class Nnet_BLstm : public Nnet_Component {
 public:
  Nnet_BLstm(int inDim, int outDim);
  ~Nnet_BLstm() override;
  int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) override;
  int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) override;
  Nnet_Component_Memory* GeneratePropagateMemory(int rows) override;
  int ReadData(ZInput* in) override;
  int WriteData(ZOutput* out) const override;
  bool HasFrameForm() const override { return false; }
  std::string Describe() const override;

  Nnet_Lstm_Cell* fwdCell;
  Nnet_Lstm_Cell* bwdCell;
};

}  // namespace __kestrel4__

#endif
