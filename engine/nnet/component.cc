#include "engine/nnet/component.h"

namespace __kestrel4__ {

Nnet_Component_Memory::Nnet_Component_Memory(Nnet_Component* c, int rows)
    : out(nullptr), outPlain(nullptr), capacity(rows < 1 ? 1 : rows), outVec(nullptr), component(c) {
  out = new ZMat_Neon(capacity, c->outDim, false);
  outPlain = new ZMat(capacity, c->outDim);
  outVec = new ZVec(c->outDim);
}

Nnet_Component_Memory::~Nnet_Component_Memory() {
  delete out;
  delete outPlain;
  delete outVec;
}

int Nnet_Component_Memory::ConfigMem(const ZMat_Neon* in) {
  const int T = in->rows;
  int grew = 0;
  if (T > capacity) {
    capacity = 2 * T;
    delete out;
    delete outPlain;
    // Freshly built, so the tiled matrix's padding list is that of the new
    // capacity.
    out = new ZMat_Neon(capacity, component->outDim, false);
    outPlain = new ZMat(capacity, component->outDim);
    grew = 1;
  }
  out->ResetRow(T);
  outPlain->ResetRow(T);
  return grew;
}

Nnet_Component::Nnet_Component(int in, int out, const char* n) : inDim(in), outDim(out), name(n) {}

Nnet_Component::~Nnet_Component() {}

int Nnet_Component::PropagateFnc_Mat(ZMat_Neon*, Nnet_Component_Memory*, ZMat_Neon*&) { return 0; }

int Nnet_Component::PropagateFnc_Vec(const ZVec*, Nnet_Component_Memory*, ZVec*&) { return 0; }

Nnet_Component_Memory* Nnet_Component::GeneratePropagateMemory(int rows) {
  return new Nnet_Component_Memory(this, rows);
}

int Nnet_Component::ReadData(ZInput*) { return 0; }

int Nnet_Component::WriteData(ZOutput*) const { return 0; }

void NnetActivate(const std::string& name, ZMat* m) {
  if (name == "Sigmoid")
    m->RowSigMoid();
  else if (name == "Relu")
    m->RowRelu();
  else if (name == "Tanh")
    m->RowTanh();
  else if (name == "Softmax")
    m->RowSoftMax();
}

void NnetActivate(const std::string& name, ZVec* v) {
  if (name == "Sigmoid")
    v->RowSigMoid();
  else if (name == "Relu")
    v->RowRelu();
  else if (name == "Tanh")
    v->RowTanh();
  else if (name == "Softmax")
    v->RowSoftMax();
}

}  // namespace __kestrel4__
