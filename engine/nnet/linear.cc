#include "engine/nnet/linear.h"

#include "engine/nnet/nnet_io.h"

namespace __kestrel4__ {

namespace {

// A ZMat_Neon holding m in the standard form (transposed false) or m^T in the
// standard form (transposed true).
ZMat_Neon* Tiled(const ZMat* m, bool transposed) {
  ZMat_Neon* t = new ZMat_Neon(m->rows, m->cols, transposed);
  t->CopyFrom(m);
  return t;
}

ZMat* TransposeOf(const ZMat& m) {
  ZMat* t = new ZMat(m.cols, m.rows);
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.cols; ++j) t->row[j][i] = m.row[i][j];
  return t;
}

}  // namespace

Nnet_Component_Memory_LinearTransfrom::Nnet_Component_Memory_LinearTransfrom(Nnet_LinearTransform* layer, int rows)
    : Nnet_Component_Memory(layer, rows), bnVec(nullptr), bnOut(nullptr) {
  if (layer->bottleneck) {
    bnVec = new ZVec(layer->bottleneckDim);
    bnOut = new ZMat_Neon(capacity, layer->bottleneckDim, false);
  }
}

Nnet_Component_Memory_LinearTransfrom::~Nnet_Component_Memory_LinearTransfrom() {
  delete bnVec;
  delete bnOut;
}

int Nnet_Component_Memory_LinearTransfrom::ConfigMem(const ZMat_Neon* in) {
  const int grew = Nnet_Component_Memory::ConfigMem(in);
  if (bnOut != nullptr) {
    if (grew) {
      const int b = bnOut->cols;
      delete bnOut;
      bnOut = new ZMat_Neon(capacity, b, false);
    }
    bnOut->ResetRow(in->rows);
  }
  return grew;
}

Nnet_LinearTransform::Nnet_LinearTransform(int in, int out)
    : Nnet_Component(in, out, "<LinearTransform>"),
      layerNorm(false),
      norm(nullptr),
      bottleneck(false),
      bottleneckDim(0),
      bnWeightT(nullptr),
      bnBias4(nullptr),
      weightT(nullptr),
      bias4(nullptr),
      bnWeight(nullptr),
      bnBias(nullptr),
      weight(nullptr),
      bias(nullptr) {}

Nnet_LinearTransform::~Nnet_LinearTransform() { Release(); }

void Nnet_LinearTransform::Release() {
  delete norm;
  delete bnWeightT;
  delete bnBias4;
  delete weightT;
  delete bias4;
  delete bnWeight;
  delete bnBias;
  delete weight;
  delete bias;
  norm = nullptr;
  bnWeightT = bnBias4 = weightT = bias4 = bnWeight = weight = nullptr;
  bnBias = bias = nullptr;
}

int Nnet_LinearTransform::SetParams(const Params& p) {
  Release();
  layerNorm = p.layerNorm;
  bottleneck = p.bottleneck;
  activation = p.activation;
  bottleneckDim = bottleneck ? p.bnWeightT->cols : 0;
  if (bottleneck) {
    bnWeightT = Tiled(p.bnWeightT, false);
    bnWeight = Tiled(p.bnWeightT, true);
    bnBias = new ZVec(bottleneckDim);
    bnBias->Copy(p.bnBias);
    bnBias4 = new ZMat_Neon(4, bottleneckDim, false);
    bnBias4->RowCopy_4(bnBias);
  }
  weightT = Tiled(p.weightT, false);
  weight = Tiled(p.weightT, true);
  bias = new ZVec(outDim);
  if (layerNorm) {
    norm = new Nnet_LayerNorm(outDim);
    norm->gain->Copy(p.normGain);
    norm->bias->Copy(p.normBias);
  } else {
    bias->Copy(p.bias);
  }
  bias4 = new ZMat_Neon(4, outDim, false);
  bias4->RowCopy_4(bias);
  return 0;
}

int Nnet_LinearTransform::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    Params p;
    std::string act;
    if (!r->Flag(&p.layerNorm, "linear layer flags") || !r->Flag(&p.bottleneck, "linear layer flags") ||
        !r->Token(&act, "linear layer activation"))
      return 1;
    p.activation = act;
    int b = 0;
    ZMat* bnW = nullptr;
    ZVec* bnB = nullptr;
    int status = 1;
    ZMat* W = nullptr;
    ZVec* bias_ = nullptr;
    ZVec* gain = nullptr;
    ZVec* nbias = nullptr;
    do {
      if (p.bottleneck) {
        if (!r->Dim(&b, "bottleneck width") ||
            !r->Fits(static_cast<long>(inDim) * b, "bottleneck weights"))
          break;
        bnW = new ZMat(inDim, b);
        bnB = new ZVec(b);
        if (!r->Mat(bnW, "bottleneck weights") || !r->Vec(bnB, "bottleneck bias")) break;
      }
      const int k = p.bottleneck ? b : inDim;
      if (!r->Fits(static_cast<long>(k) * outDim, "linear weights")) break;
      W = new ZMat(k, outDim);
      if (!r->Mat(W, "linear weights")) break;
      if (p.layerNorm) {
        gain = new ZVec(outDim);
        nbias = new ZVec(outDim);
        if (!r->Vec(gain, "layer-normalisation gain") || !r->Vec(nbias, "layer-normalisation bias")) break;
      } else {
        bias_ = new ZVec(outDim);
        if (!r->Vec(bias_, "linear bias")) break;
      }
      p.bnWeightT = bnW;
      p.bnBias = bnB;
      p.weightT = W;
      p.bias = bias_;
      p.normGain = gain;
      p.normBias = nbias;
      status = SetParams(p);
    } while (false);
    delete bnW;
    delete bnB;
    delete W;
    delete bias_;
    delete gain;
    delete nbias;
    return status;
  });
}

int Nnet_LinearTransform::ReadData_Old(ZInput* in, bool ln, bool bn, int b, const std::string& act) {
  return NnetInput::Use(in, [&](NnetInput* r) {
    Params p;
    p.layerNorm = ln;
    p.bottleneck = bn;
    p.activation = act;
    const int k = bn ? b : inDim;
    ZMat* bnW = nullptr;
    ZMat* bnWT = nullptr;
    ZVec* bnB = nullptr;
    ZMat* W = nullptr;
    ZMat* WT = nullptr;
    ZVec* bias_ = new ZVec(outDim);
    ZVec* gain = nullptr;
    ZVec* nbias = nullptr;
    int status = 1;
    do {
      if (bn) {
        if (!r->Fits(static_cast<long>(b) * inDim, "bottleneck weights")) break;
        bnW = new ZMat(b, inDim);
        bnB = new ZVec(b);
        if (!r->Mat(bnW, "bottleneck weights") || !r->Vec(bnB, "bottleneck bias")) break;
        bnWT = TransposeOf(*bnW);
      }
      if (!r->Fits(static_cast<long>(outDim) * k, "layer weights")) break;
      W = new ZMat(outDim, k);
      if (!r->Mat(W, "layer weights") || !r->Vec(bias_, "layer bias")) break;
      WT = TransposeOf(*W);
      if (ln) {
        // The legacy format has no normalisation vectors: unit gain, no shift.
        gain = new ZVec(outDim);
        nbias = new ZVec(outDim);
        gain->Add(1.0f);
      }
      p.bnWeightT = bnWT;
      p.bnBias = bnB;
      p.weightT = WT;
      p.bias = bias_;
      p.normGain = gain;
      p.normBias = nbias;
      status = SetParams(p);
    } while (false);
    delete bnW;
    delete bnWT;
    delete bnB;
    delete W;
    delete WT;
    delete bias_;
    delete gain;
    delete nbias;
    return status;
  });
}

int Nnet_LinearTransform::WriteData(ZOutput* out) const {
  NnetWriteFlag(out, layerNorm);
  NnetWriteFlag(out, bottleneck);
  out->WriteToken(activation.c_str());
  if (bottleneck) {
    out->WriteBasicType(&bottleneckDim);
    bnWeightT->Write(out);
    bnBias->Write(out);
  }
  weightT->Write(out);
  if (layerNorm)
    norm->WriteData(out);
  else
    bias->Write(out);
  return 0;
}

std::string Nnet_LinearTransform::Describe() const {
  std::string s = "activation " + (activation.empty() ? std::string("none") : activation);
  if (bottleneck) s += ", bottleneck " + std::to_string(bottleneckDim);
  if (layerNorm) s += ", layer normalisation";
  return s;
}

Nnet_Component_Memory* Nnet_LinearTransform::GeneratePropagateMemory(int rows) {
  return new Nnet_Component_Memory_LinearTransfrom(this, rows);
}

int Nnet_LinearTransform::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* base, ZMat_Neon*& out) {
  auto* mem = static_cast<Nnet_Component_Memory_LinearTransfrom*>(base);
  mem->ConfigMem(in);
  ZMat_Neon* x = in;
  if (bottleneck) {
    mem->bnOut->RowCopy_N(bnBias4);
    mem->bnOut->Add_aAB_NEON(in, bnWeightT);
    x = mem->bnOut;
  }
  ZMat_Neon* y = mem->out;
  y->RowCopy_N(bias4);
  y->Add_aAB_NEON(x, weightT);
  y->CopyTo(mem->outPlain);
  if (layerNorm) norm->PropagateFnc_Mat(mem->outPlain);
  NnetActivate(activation, mem->outPlain);
  y->CopyFrom(mem->outPlain);
  out = y;
  return 0;
}

int Nnet_LinearTransform::PropagateFnc_Vec(const ZVec* in, Nnet_Component_Memory* base, ZVec*& out) {
  auto* mem = static_cast<Nnet_Component_Memory_LinearTransfrom*>(base);
  const ZVec* x = in;
  if (bottleneck) {
    mem->bnVec->Copy(bnBias);
    mem->bnVec->Add_aAX_NENO(bnWeight, in);
    x = mem->bnVec;
  }
  ZVec* y = mem->outVec;
  y->Copy(bias);
  y->Add_aAX_NENO(weight, x);
  if (layerNorm) norm->PropagateFnc_Vec(y);
  NnetActivate(activation, y);
  out = y;
  return 0;
}

}  // namespace __kestrel4__
