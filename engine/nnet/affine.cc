#include "engine/nnet/affine.h"

#include "engine/nnet/nnet_io.h"

namespace __kestrel4__ {

Nnet_AffineTransform::Nnet_AffineTransform(int in, int out)
    : Nnet_Component(in, out, "<AffineTransform>"), bias(nullptr), weight(nullptr), weightT(nullptr), bias4(nullptr) {}

Nnet_AffineTransform::~Nnet_AffineTransform() {
  delete bias;
  delete weight;
  delete weightT;
  delete bias4;
}

int Nnet_AffineTransform::SetParams(const ZMat* W, const ZVec* b) {
  delete bias;
  delete weight;
  delete weightT;
  delete bias4;
  bias = new ZVec(outDim);
  bias->Copy(b);
  weight = new ZMat_Neon(outDim, inDim, false);
  weight->CopyFrom(W);
  weightT = new ZMat_Neon(outDim, inDim, true);
  weightT->CopyFrom(W);
  bias4 = new ZMat_Neon(4, outDim, false);
  bias4->RowCopy_4(bias);
  return 0;
}

int Nnet_AffineTransform::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    std::string token;
    float setting = 0.0f;
    for (int k = 0; k < 3; ++k)
      if (!r->Token(&token, "training settings") || !r->Float(&setting, "training settings")) return 1;
    if (!r->Fits(static_cast<long>(outDim) * inDim, "affine weights")) return 1;
    ZMat W(outDim, inDim);
    ZVec b(outDim);
    if (!r->Mat(&W, "affine weights") || !r->Vec(&b, "affine bias")) return 1;
    return SetParams(&W, &b);
  });
}

int Nnet_AffineTransform::WriteData(ZOutput* out) const {
  const float zero = 0.0f;
  for (const char* t : {"<LearnRateCoef>", "<BiasLearnRateCoef>", "<MaxNorm>"}) {
    out->WriteToken(t);
    out->WriteBasicType(&zero);
  }
  weight->Write(out);
  bias->Write(out);
  return 0;
}

int Nnet_AffineTransform::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* mem, ZMat_Neon*& out) {
  mem->ConfigMem(in);
  ZMat_Neon* y = mem->out;
  y->RowCopy_N(bias4);
  y->Add_aAB_NEON(in, weightT);
  out = y;
  return 0;
}

int Nnet_AffineTransform::PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* mem, ZVec*& out) {
  ZVec* y = mem->outVec;
  y->Copy(bias);
  y->Add_aAX_NENO(weight, in);
  out = y;
  return 0;
}

}  // namespace __kestrel4__
