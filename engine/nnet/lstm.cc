#include "engine/nnet/lstm.h"

#include <cstring>
#include <memory>

#include "engine/nnet/nnet_io.h"

namespace __kestrel4__ {

namespace {

// y[j] = y[j] + a[j] * b[j]
inline void AddProduct(ZVec* y, const ZVec* a, const ZVec* b, int n) {
  for (int j = 0; j < n; ++j) y->data[j] = y->data[j] + a->data[j] * b->data[j];
}

// y[j] = y[j] * a[j]
inline void Multiply(ZVec* y, const ZVec* a, int n) {
  for (int j = 0; j < n; ++j) y->data[j] = y->data[j] * a->data[j];
}

template <typename T>
using Own = std::unique_ptr<T>;

}  // namespace

// ------------------------------------------------------------ cell memory

Nnet_Memory_Lstm_Cell::Nnet_Memory_Lstm_Cell(Nnet_Lstm_Cell* owner, int rows)
    : cell(owner), capacity(rows < 1 ? 1 : rows) {
  const int C = owner->cellDim, R = owner->outDim;
  gates = new ZMat_Neon(capacity, 4 * C, false);
  gatesPlain = new ZMat(capacity, 4 * C);
  z = new ZVec(4 * C);
  g = new ZVec(C);
  i = new ZVec(C);
  f = new ZVec(C);
  o = new ZVec(C);
  c = new ZVec(C);
  m = new ZVec(C);
  r = new ZVec(R);
  outPlain = new ZMat(capacity, R);
}

Nnet_Memory_Lstm_Cell::~Nnet_Memory_Lstm_Cell() {
  delete gates;
  delete gatesPlain;
  delete z;
  delete g;
  delete i;
  delete f;
  delete o;
  delete c;
  delete m;
  delete r;
  delete outPlain;
}

int Nnet_Memory_Lstm_Cell::ConfigMem(const ZMat_Neon* in) {
  const int T = in->rows;
  if (T > capacity) {
    capacity = 2 * T;
    const int C4 = gates->cols, R = outPlain->cols;
    delete gates;
    delete gatesPlain;
    delete outPlain;
    gates = new ZMat_Neon(capacity, C4, false);
    gatesPlain = new ZMat(capacity, C4);
    outPlain = new ZMat(capacity, R);
  }
  gates->ResetRow(T);
  gatesPlain->ResetRow(T);
  outPlain->ResetRow(T);
  gates->Clean();
  c->Clean();
  r->Clean();
  return 1;
}

// ------------------------------------------------------------ cell

Nnet_Lstm_Cell::Nnet_Lstm_Cell(int in, int out, bool fwd)
    : forward(fwd ? 1 : 0),
      inDim(in),
      outDim(out),
      cellDim(out),
      layerNorm(false),
      peephole(false),
      forgetBias(0.0f),
      wx(nullptr),
      wr(nullptr),
      norms{},
      gateBias(nullptr),
      peepF(nullptr),
      peepI(nullptr),
      peepO(nullptr),
      proj(nullptr) {}

Nnet_Lstm_Cell::~Nnet_Lstm_Cell() { Release(); }

void Nnet_Lstm_Cell::Release() {
  delete wx;
  delete wr;
  for (Nnet_LayerNorm*& n : norms) {
    delete n;
    n = nullptr;
  }
  delete gateBias;
  delete peepF;
  delete peepI;
  delete peepO;
  delete proj;
  wx = wr = proj = nullptr;
  gateBias = peepF = peepI = peepO = nullptr;
}

int Nnet_Lstm_Cell::SetParams(const Params& p) {
  Release();
  inDim = p.in;
  outDim = p.out;
  cellDim = p.cell;
  layerNorm = p.layerNorm;
  peephole = p.peephole;
  forgetBias = p.forgetBias;
  activation = p.activation;
  const int C = cellDim;
  wx = new ZMat_Neon(inDim, 4 * C, false);
  wx->CopyFrom(p.wx);
  wr = new ZMat_Neon(outDim, 4 * C, true);
  wr->CopyFrom(p.wr);
  if (layerNorm) {
    for (int k = 0; k < 5; ++k) {
      norms[k] = new Nnet_LayerNorm(C);
      norms[k]->gain->Copy(p.normGain[k]);
      norms[k]->bias->Copy(p.normBias[k]);
    }
  } else {
    gateBias = new ZVec(4 * C);
    gateBias->Copy(p.gateBias);
  }
  if (peephole) {
    peepF = new ZVec(C);
    peepF->Copy(p.peepF);
    peepI = new ZVec(C);
    peepI->Copy(p.peepI);
    peepO = new ZVec(C);
    peepO->Copy(p.peepO);
  }
  if (C != outDim) {
    proj = new ZMat_Neon(C, outDim, true);
    proj->CopyFrom(p.proj);
  }
  return 0;
}

int Nnet_Lstm_Cell::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    Params p;
    std::string act;
    if (!r->Dim(&p.in, "LSTM cell input width") || !r->Dim(&p.out, "LSTM cell output width") ||
        !r->Dim(&p.cell, "LSTM cell width") || !r->Flag(&p.layerNorm, "LSTM cell flags") ||
        !r->Flag(&p.peephole, "LSTM cell flags") || !r->Float(&p.forgetBias, "LSTM forget-gate bias") ||
        !r->Token(&act, "LSTM cell activation"))
      return 1;
    p.activation = act;
    const int I = p.in, R = p.out, C = p.cell;
    if (!r->Fits(4L * C * I, "LSTM input weights")) return 1;
    Own<ZMat> wxm(new ZMat(I, 4 * C));
    if (!r->Mat(wxm.get(), "LSTM input weights")) return 1;
    if (!r->Fits(4L * C * R, "LSTM recurrent weights")) return 1;
    Own<ZMat> wrm(new ZMat(R, 4 * C));
    if (!r->Mat(wrm.get(), "LSTM recurrent weights")) return 1;
    p.wx = wxm.get();
    p.wr = wrm.get();
    Own<ZVec> gains[5], biases[5], gb, pf, pi, po;
    Own<ZMat> pm;
    if (p.layerNorm) {
      for (int k = 0; k < 5; ++k) {
        gains[k].reset(new ZVec(C));
        biases[k].reset(new ZVec(C));
        if (!r->Vec(gains[k].get(), "LSTM layer-normalisation gain") ||
            !r->Vec(biases[k].get(), "LSTM layer-normalisation bias"))
          return 1;
        p.normGain[k] = gains[k].get();
        p.normBias[k] = biases[k].get();
      }
    } else {
      gb.reset(new ZVec(4 * C));
      if (!r->Vec(gb.get(), "LSTM gate bias")) return 1;
      p.gateBias = gb.get();
    }
    if (p.peephole) {
      pf.reset(new ZVec(C));
      pi.reset(new ZVec(C));
      po.reset(new ZVec(C));
      if (!r->Vec(pf.get(), "LSTM peephole weights") || !r->Vec(pi.get(), "LSTM peephole weights") ||
          !r->Vec(po.get(), "LSTM peephole weights"))
        return 1;
      p.peepF = pf.get();
      p.peepI = pi.get();
      p.peepO = po.get();
    }
    if (C != R) {
      if (!r->Fits(static_cast<long>(C) * R, "LSTM projection")) return 1;
      pm.reset(new ZMat(C, R));
      if (!r->Mat(pm.get(), "LSTM projection")) return 1;
      p.proj = pm.get();
    }
    return SetParams(p);
  });
}

int Nnet_Lstm_Cell::WriteData(ZOutput* out) const {
  out->WriteBasicType(&inDim);
  out->WriteBasicType(&outDim);
  out->WriteBasicType(&cellDim);
  NnetWriteFlag(out, layerNorm);
  NnetWriteFlag(out, peephole);
  out->WriteBasicType(&forgetBias);
  out->WriteToken(activation.c_str());
  wx->Write(out);
  wr->Write(out);
  if (layerNorm) {
    for (const Nnet_LayerNorm* n : norms) n->WriteData(out);
  } else {
    gateBias->Write(out);
  }
  if (peephole) {
    peepF->Write(out);
    peepI->Write(out);
    peepO->Write(out);
  }
  if (proj != nullptr) proj->Write(out);
  return 0;
}

std::string Nnet_Lstm_Cell::Describe() const {
  std::string s = "cell " + std::to_string(cellDim) + ", activation " +
                  (activation.empty() ? std::string("none") : activation);
  if (peephole) s += ", peepholes";
  if (layerNorm) s += ", layer normalisation";
  if (!layerNorm && forgetBias != 0.0f) s += ", forget bias " + std::to_string(forgetBias);
  if (proj != nullptr) s += ", projection to " + std::to_string(outDim);
  return s;
}

int Nnet_Lstm_Cell::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Memory_Lstm_Cell* mem, ZMat*& out) {
  mem->ConfigMem(in);
  const int T = in->rows, C = cellDim, R = outDim;
  mem->gates->Add_aAB_NEON(in, wx);
  mem->gates->CopyTo(mem->gatesPlain);
  ZVec *z = mem->z, *g = mem->g, *i = mem->i, *f = mem->f, *o = mem->o, *c = mem->c, *m = mem->m, *r = mem->r;
  for (int n = 0; n < T; ++n) {
    const int t = forward ? n : T - 1 - n;
    std::memcpy(z->data, mem->gatesPlain->row[t], sizeof(float) * 4 * C);
    if (!layerNorm) z->RowAdd(gateBias);
    z->Add_aAX_NENO(wr, r);
    std::memcpy(g->data, z->data, sizeof(float) * C);
    std::memcpy(i->data, z->data + C, sizeof(float) * C);
    std::memcpy(f->data, z->data + 2 * C, sizeof(float) * C);
    std::memcpy(o->data, z->data + 3 * C, sizeof(float) * C);
    if (layerNorm) {
      if (peephole) {
        AddProduct(f, peepF, c, C);
        AddProduct(i, peepI, c, C);
      }
      norms[0]->PropagateFnc_Vec(i);
      norms[1]->PropagateFnc_Vec(g);
      norms[2]->PropagateFnc_Vec(f);
      f->RowSigMoid();
      Multiply(c, f, C);
      i->RowSigMoid();
      g->RowActive(activation);
      AddProduct(c, i, g, C);
      if (peephole) AddProduct(o, peepO, c, C);
      m->Copy(c);
      norms[3]->PropagateFnc_Vec(m);
      m->RowActive(activation);
      norms[4]->PropagateFnc_Vec(o);
      o->RowSigMoid();
    } else {
      f->Add(forgetBias);
      if (peephole) AddProduct(f, peepF, c, C);
      f->RowSigMoid();
      if (peephole) AddProduct(i, peepI, c, C);
      i->RowSigMoid();
      g->RowActive(activation);
      Multiply(c, f, C);
      AddProduct(c, i, g, C);
      if (peephole) AddProduct(o, peepO, c, C);
      o->RowSigMoid();
      m->Copy(c);
      m->RowActive(activation);
    }
    Multiply(m, o, C);
    if (proj == nullptr) {
      r->Copy(m);
    } else {
      r->Clean();
      r->Add_aAX_NENO(proj, m);
    }
    std::memcpy(mem->outPlain->row[t], r->data, sizeof(float) * R);
  }
  out = mem->outPlain;
  return 0;
}

// ------------------------------------------------------------ layers

Nnet_Memory_Lstm::Nnet_Memory_Lstm(Nnet_Lstm* layer, int rows)
    : Nnet_Component_Memory(layer, rows), cellMem(new Nnet_Memory_Lstm_Cell(layer->cell, rows)) {}

Nnet_Memory_Lstm::~Nnet_Memory_Lstm() { delete cellMem; }

int Nnet_Memory_Lstm::ConfigMem(const ZMat_Neon* in) {
  const int grew = Nnet_Component_Memory::ConfigMem(in);
  cellMem->ConfigMem(in);
  return grew;
}

Nnet_Memory_BLstm::Nnet_Memory_BLstm(Nnet_BLstm* layer, int rows)
    : Nnet_Component_Memory(layer, rows),
      fwdMem(new Nnet_Memory_Lstm_Cell(layer->fwdCell, rows)),
      bwdMem(new Nnet_Memory_Lstm_Cell(layer->bwdCell, rows)) {}

Nnet_Memory_BLstm::~Nnet_Memory_BLstm() {
  delete fwdMem;
  delete bwdMem;
}

int Nnet_Memory_BLstm::ConfigMem(const ZMat_Neon* in) {
  const int grew = Nnet_Component_Memory::ConfigMem(in);
  bwdMem->ConfigMem(in);
  fwdMem->ConfigMem(in);
  return grew;
}

Nnet_Lstm::Nnet_Lstm(int in, int out) : Nnet_Component(in, out, "<LSTM>"), cell(new Nnet_Lstm_Cell(in, out, true)) {}

Nnet_Lstm::~Nnet_Lstm() { delete cell; }

int Nnet_Lstm::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    if (cell->ReadData(r) != 0) return 1;
    if (cell->inDim != inDim || cell->outDim != outDim)
      return r->Fail("the LSTM cell maps " + std::to_string(cell->inDim) + " -> " + std::to_string(cell->outDim) +
                     " but the layer header says " + std::to_string(inDim) + " -> " + std::to_string(outDim)),
             1;
    return 0;
  });
}

int Nnet_Lstm::WriteData(ZOutput* out) const { return cell->WriteData(out); }

std::string Nnet_Lstm::Describe() const { return cell->Describe(); }

Nnet_Component_Memory* Nnet_Lstm::GeneratePropagateMemory(int rows) { return new Nnet_Memory_Lstm(this, rows); }

int Nnet_Lstm::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* base, ZMat_Neon*& out) {
  auto* mem = static_cast<Nnet_Memory_Lstm*>(base);
  mem->ConfigMem(in);
  ZMat* plain = nullptr;
  cell->PropagateFnc_Mat(in, mem->cellMem, plain);
  mem->out->CopyFrom(plain);
  out = mem->out;
  return 0;
}

int Nnet_Lstm::PropagateFnc_Vec(const ZVec*, Nnet_Component_Memory*, ZVec*&) { return 0; }

Nnet_BLstm::Nnet_BLstm(int in, int out)
    : Nnet_Component(in, out, "<BLSTM>"),
      fwdCell(new Nnet_Lstm_Cell(in, out / 2, true)),
      bwdCell(new Nnet_Lstm_Cell(in, out / 2, false)) {}

Nnet_BLstm::~Nnet_BLstm() {
  delete fwdCell;
  delete bwdCell;
}

int Nnet_BLstm::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    if (fwdCell->ReadData(r) != 0 || bwdCell->ReadData(r) != 0) return 1;
    if (fwdCell->inDim != inDim || bwdCell->inDim != inDim || fwdCell->outDim + bwdCell->outDim != outDim)
      return r->Fail("the bidirectional LSTM cells map " + std::to_string(fwdCell->inDim) + " -> " +
                     std::to_string(fwdCell->outDim) + " and " + std::to_string(bwdCell->inDim) + " -> " +
                     std::to_string(bwdCell->outDim) + " but the layer header says " + std::to_string(inDim) +
                     " -> " + std::to_string(outDim)),
             1;
    return 0;
  });
}

int Nnet_BLstm::WriteData(ZOutput* out) const {
  fwdCell->WriteData(out);
  return bwdCell->WriteData(out);
}

std::string Nnet_BLstm::Describe() const {
  return "forward: " + fwdCell->Describe() + "; backward: " + bwdCell->Describe();
}

Nnet_Component_Memory* Nnet_BLstm::GeneratePropagateMemory(int rows) { return new Nnet_Memory_BLstm(this, rows); }

int Nnet_BLstm::PropagateFnc_Mat(ZMat_Neon* in, Nnet_Component_Memory* base, ZMat_Neon*& out) {
  auto* mem = static_cast<Nnet_Memory_BLstm*>(base);
  mem->ConfigMem(in);
  ZMat* fwd = nullptr;
  ZMat* bwd = nullptr;
  fwdCell->PropagateFnc_Mat(in, mem->fwdMem, fwd);
  bwdCell->PropagateFnc_Mat(in, mem->bwdMem, bwd);
  const int Rf = fwdCell->outDim, Rb = bwdCell->outDim;
  for (int t = 0; t < in->rows; ++t) {
    std::memcpy(mem->outPlain->row[t], fwd->row[t], sizeof(float) * Rf);
    std::memcpy(mem->outPlain->row[t] + Rf, bwd->row[t], sizeof(float) * Rb);
  }
  mem->out->CopyFrom(mem->outPlain);
  out = mem->out;
  return 0;
}

int Nnet_BLstm::PropagateFnc_Vec(const ZVec*, Nnet_Component_Memory*, ZVec*&) { return 0; }

}  // namespace __kestrel4__
