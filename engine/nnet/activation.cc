#include "engine/nnet/activation.h"

namespace __kestrel4__ {

namespace {

// Copies the block's tiles into the memory's output and points out at it.
ZMat_Neon* CopyBlock(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) {
  mem->ConfigMem(in);
  mem->out->Copy(in);
  out = mem->out;
  return out;
}

ZVec* CopyFrame(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) {
  mem->outVec->Copy(in);
  out = mem->outVec;
  return out;
}

}  // namespace

Nnet_Sigmoid::Nnet_Sigmoid(int dim) : Nnet_Component(dim, dim, "<Sigmoid>") {}
Nnet_Sigmoid::~Nnet_Sigmoid() {}
int Nnet_Sigmoid::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) {
  return CopyBlock(in, mem, out)->RowSigMoid();
}
int Nnet_Sigmoid::PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) {
  return CopyFrame(in, mem, out)->RowSigMoid();
}

Nnet_Tanh::Nnet_Tanh(int dim) : Nnet_Component(dim, dim, "<Tanh>") {}
Nnet_Tanh::~Nnet_Tanh() {}
int Nnet_Tanh::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) {
  return CopyBlock(in, mem, out)->RowTanh();
}
int Nnet_Tanh::PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) {
  return CopyFrame(in, mem, out)->RowTanh();
}

Nnet_Relu::Nnet_Relu(int dim) : Nnet_Component(dim, dim, "<Relu>") {}
Nnet_Relu::~Nnet_Relu() {}
int Nnet_Relu::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) {
  return CopyBlock(in, mem, out)->RowRelu();
}
int Nnet_Relu::PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) {
  return CopyFrame(in, mem, out)->RowRelu();
}

Nnet_SoftMax::Nnet_SoftMax(int dim) : Nnet_Component(dim, dim, "<Softmax>") {}
Nnet_SoftMax::~Nnet_SoftMax() {}
int Nnet_SoftMax::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) {
  mem->ConfigMem(in);
  in->CopyTo(mem->outPlain);
  mem->outPlain->RowSoftMax();
  mem->out->CopyFrom(mem->outPlain);
  out = mem->out;
  return 0;
}
int Nnet_SoftMax::PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) {
  return CopyFrame(in, mem, out)->RowSoftMax();
}

}  // namespace __kestrel4__
