#include "engine/nnet/blstm2.h"

#include <cstring>
#include <memory>

#include "engine/nnet/nnet_io.h"

namespace __kestrel4__ {

namespace {

inline void AddProduct(ZVec* y, const ZVec* a, const ZVec* b, int n) {
  for (int j = 0; j < n; ++j) y->data[j] = y->data[j] + a->data[j] * b->data[j];
}

inline void Multiply(ZVec* y, const ZVec* a, int n) {
  for (int j = 0; j < n; ++j) y->data[j] = y->data[j] * a->data[j];
}

ZVec* CopyOf(const ZVec* v) {
  ZVec* c = new ZVec(v->len);
  c->Copy(v);
  return c;
}

}  // namespace

Nnet_Memory_BLstm2::Nnet_Memory_BLstm2(Nnet_BLstm2* layer, int rows) : Nnet_Component_Memory(layer, rows) {
  const int C = layer->cellDim, P = layer->outDim / 2;
  gatesPlain = new ZMat(capacity, 4 * C);
  gates = new ZMat_Neon(capacity, 4 * C, false);
  for (Stream& s : stream) {
    s.z = new ZVec(4 * C);
    s.c = new ZVec(C);
    s.h = new ZVec(C);
    s.m = new ZVec(C);
    s.r = new ZVec(P);
    s.g = new ZVec(C);
    s.i = new ZVec(C);
    s.f = new ZVec(C);
    s.o = new ZVec(C);
  }
}

Nnet_Memory_BLstm2::~Nnet_Memory_BLstm2() {
  delete gatesPlain;
  delete gates;
  for (Stream& s : stream)
    for (ZVec* v : {s.z, s.c, s.h, s.m, s.r, s.g, s.i, s.f, s.o}) delete v;
}

int Nnet_Memory_BLstm2::ConfigMem(const ZMat_Neon* in) {
  const int grew = Nnet_Component_Memory::ConfigMem(in);
  if (grew) {
    const int C4 = gates->cols;
    delete gatesPlain;
    delete gates;
    gatesPlain = new ZMat(capacity, C4);
    gates = new ZMat_Neon(capacity, C4, false);
  }
  gatesPlain->ResetRow(in->rows);
  gates->ResetRow(in->rows);
  return grew;
}

Nnet_BLstm2::Nnet_BLstm2(int in, int out)
    : Nnet_Component(in, out, "<BLstmProjectedStreams>"), cellDim(0), gateDim(0), stream{} {}

Nnet_BLstm2::~Nnet_BLstm2() { Release(); }

void Nnet_BLstm2::Release() {
  for (Stream& s : stream) {
    delete s.bias;
    delete s.peepI;
    delete s.peepF;
    delete s.peepO;
    delete s.wxT;
    delete s.wr;
    delete s.proj;
    s = Stream{};
  }
}

int Nnet_BLstm2::SetParams(int C, const StreamParams& fwd, const StreamParams& bwd) {
  Release();
  cellDim = C;
  gateDim = 4 * C;
  const int P = outDim / 2;
  const StreamParams* in[2] = {&fwd, &bwd};
  for (int k = 0; k < 2; ++k) {
    Stream& s = stream[k];
    s.bias = CopyOf(in[k]->bias);
    s.peepI = CopyOf(in[k]->peepI);
    s.peepF = CopyOf(in[k]->peepF);
    s.peepO = CopyOf(in[k]->peepO);
    s.wxT = new ZMat_Neon(gateDim, inDim, true);
    s.wxT->CopyFrom(in[k]->wx);
    s.wr = new ZMat_Neon(gateDim, P, false);
    s.wr->CopyFrom(in[k]->wr);
    s.proj = new ZMat_Neon(P, C, false);
    s.proj->CopyFrom(in[k]->proj);
  }
  return 0;
}

int Nnet_BLstm2::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    if (outDim % 2 != 0)
      return r->Fail("the projected bidirectional LSTM needs an even output width, not " + std::to_string(outDim)),
             1;
    const int P = outDim / 2;
    std::string token;
    int C = 0;
    if (!r->Token(&token, "cell width") || !r->Dim(&C, "projected LSTM cell width")) return 1;
    float setting = 0.0f;
    for (int k = 0; k < 4; ++k)
      if (!r->Token(&token, "training settings") || !r->Float(&setting, "training settings")) return 1;
    std::unique_ptr<ZMat> wx[2], wr[2], proj[2];
    std::unique_ptr<ZVec> bias[2], pi[2], pf[2], po[2];
    StreamParams p[2];
    for (int k = 0; k < 2; ++k) {
      if (!r->Fits(4L * C * inDim, "projected LSTM input weights")) return 1;
      wx[k].reset(new ZMat(4 * C, inDim));
      if (!r->Mat(wx[k].get(), "projected LSTM input weights")) return 1;
      if (!r->Fits(4L * C * P, "projected LSTM recurrent weights")) return 1;
      wr[k].reset(new ZMat(4 * C, P));
      if (!r->Mat(wr[k].get(), "projected LSTM recurrent weights")) return 1;
      bias[k].reset(new ZVec(4 * C));
      pi[k].reset(new ZVec(C));
      pf[k].reset(new ZVec(C));
      po[k].reset(new ZVec(C));
      if (!r->Vec(bias[k].get(), "projected LSTM gate bias") || !r->Vec(pi[k].get(), "projected LSTM peepholes") ||
          !r->Vec(pf[k].get(), "projected LSTM peepholes") || !r->Vec(po[k].get(), "projected LSTM peepholes"))
        return 1;
      if (!r->Fits(static_cast<long>(P) * C, "projected LSTM projection")) return 1;
      proj[k].reset(new ZMat(P, C));
      if (!r->Mat(proj[k].get(), "projected LSTM projection")) return 1;
      p[k].wx = wx[k].get();
      p[k].wr = wr[k].get();
      p[k].bias = bias[k].get();
      p[k].peepI = pi[k].get();
      p[k].peepF = pf[k].get();
      p[k].peepO = po[k].get();
      p[k].proj = proj[k].get();
    }
    return SetParams(C, p[0], p[1]);
  });
}

int Nnet_BLstm2::WriteData(ZOutput* out) const {
  out->WriteToken("<CellDim>");
  out->WriteBasicType(&cellDim);
  const float zero = 0.0f;
  for (const char* t : {"<ClipGradient>", "<MaxNorm>", "<LearnRateCoef>", "<BiasLearnRateCoef>"}) {
    out->WriteToken(t);
    out->WriteBasicType(&zero);
  }
  for (const Stream& s : stream) {
    s.wxT->Write(out);
    s.wr->Write(out);
    s.bias->Write(out);
    s.peepI->Write(out);
    s.peepF->Write(out);
    s.peepO->Write(out);
    s.proj->Write(out);
  }
  return 0;
}

std::string Nnet_BLstm2::Describe() const {
  return "cell " + std::to_string(cellDim) + " per stream, projection to " + std::to_string(outDim / 2) +
         " per stream, peepholes";
}

Nnet_Component_Memory* Nnet_BLstm2::GeneratePropagateMemory(int rows) { return new Nnet_Memory_BLstm2(this, rows); }

int Nnet_BLstm2::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* base, ZMat_Neon*& out) {
  auto* mem = static_cast<Nnet_Memory_BLstm2*>(base);
  mem->ConfigMem(in);
  const int T = in->rows, C = cellDim, P = outDim / 2;
  for (int k = 0; k < 2; ++k) {
    const Stream& s = stream[k];
    Nnet_Memory_BLstm2::Stream& v = mem->stream[k];
    mem->gates->Clean();
    mem->gates->Add_aAB_NEON(in, s.wxT);
    mem->gates->CopyTo(mem->gatesPlain);
    mem->gatesPlain->RowAdd(s.bias);
    v.c->Clean();
    v.r->Clean();
    for (int n = 0; n < T; ++n) {
      const int t = k == 0 ? n : T - 1 - n;
      std::memcpy(v.z->data, mem->gatesPlain->row[t], sizeof(float) * 4 * C);
      v.z->Add_aAX_NENO(s.wr, v.r);
      std::memcpy(v.g->data, v.z->data, sizeof(float) * C);
      std::memcpy(v.i->data, v.z->data + C, sizeof(float) * C);
      std::memcpy(v.f->data, v.z->data + 2 * C, sizeof(float) * C);
      std::memcpy(v.o->data, v.z->data + 3 * C, sizeof(float) * C);
      AddProduct(v.i, s.peepI, v.c, C);
      v.i->RowSigMoid();
      AddProduct(v.f, s.peepF, v.c, C);
      v.f->RowSigMoid();
      v.g->RowTanh();
      Multiply(v.c, v.f, C);
      AddProduct(v.c, v.i, v.g, C);
      v.h->Copy(v.c);
      v.h->RowTanh();
      AddProduct(v.o, s.peepO, v.c, C);
      v.o->RowSigMoid();
      v.m->Copy(v.h);
      Multiply(v.m, v.o, C);
      v.r->Clean();
      v.r->Add_aAX_NENO(s.proj, v.m);
      std::memcpy(mem->outPlain->row[t] + k * P, v.r->data, sizeof(float) * P);
    }
  }
  mem->out->CopyFrom(mem->outPlain);
  out = mem->out;
  return 0;
}

int Nnet_BLstm2::PropagateFnc_Vec(const ZVec*, Nnet_Component_Memory*, ZVec*&) { return 0; }

}  // namespace __kestrel4__
