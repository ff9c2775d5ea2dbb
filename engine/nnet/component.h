// The layer base class and the per-layer evaluation memory. A layer is
// read-only after loading and may be shared by any number of memories; every
// value it computes goes into the memory passed to it, which belongs to one
// engine instance.
#ifndef KESTREL_NNET_COMPONENT_H
#define KESTREL_NNET_COMPONENT_H

#include <string>

#include "engine/core/io.h"
#include "engine/core/mat.h"
#include "engine/core/tiled.h"

namespace __kestrel4__ {

class Nnet_Component;

// One layer's output buffers: the block result (tiled and plain) and the
// one-frame result. Buffers only grow (to twice the largest block seen).
class Nnet_Component_Memory {
 public:
  Nnet_Component_Memory(Nnet_Component* component, int rows);
  virtual ~Nnet_Component_Memory();
  Nnet_Component_Memory(const Nnet_Component_Memory&) = delete;
  Nnet_Component_Memory& operator=(const Nnet_Component_Memory&) = delete;

  // Prepares the buffers for a block of in's row count T; returns 1 when it
  // had to reallocate.
  virtual int ConfigMem(const ZMat_Neon* in);

  ZMat_Neon* out;  // capacity x outDim, standard form
  ZMat* outPlain;  // capacity x outDim
  int capacity;
  ZVec* outVec;  // outDim
  Nnet_Component* component;
};

class Nnet_Component {
 public:
  Nnet_Component(int inDim, int outDim, const char* name);
  virtual ~Nnet_Component();
  Nnet_Component(const Nnet_Component&) = delete;
  Nnet_Component& operator=(const Nnet_Component&) = delete;

  // A block of T frames (rows, standard tile form): the result goes into
  // mem's tiled output and `out` points at it. The base does nothing.
  virtual int PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out);
  // One frame: the result goes into mem's vector and `out` points at it. The
  // base (and every recurrent layer) does nothing and leaves `out` as it was.
  virtual int PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out);
  virtual Nnet_Component_Memory* GeneratePropagateMemory(int rows);
  // The layer's own data after the component header. Returns 0 when it was
  // read completely and agrees with the layer's dimensions.
  virtual int ReadData(ZInput* in);
  virtual int WriteData(ZOutput* out) const;
  // False for layers without a one-frame form (the recurrent ones).
  virtual bool HasFrameForm() const { return true; }
  // One line for listings: options and inner widths.
  virtual std::string Describe() const { return std::string(); }

  int inDim;
  int outDim;
  std::string name;
};

// Activation by name on a plain matrix or a vector, as the linear layer
// applies it: "Sigmoid", "Relu", "Tanh", "Softmax" (log-softmax), exact
// match; anything else is no activation.
void NnetActivate(const std::string& name, ZMat* m);
void NnetActivate(const std::string& name, ZVec* v);

}  // namespace __kestrel4__

#endif
