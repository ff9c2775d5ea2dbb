#include "engine/nnet/nnet_memory.h"

#include <algorithm>
#include <cstring>

namespace __kestrel4__ {

namespace {

// Dimensions of an unusable network still give valid (tiny) buffers.
inline int AtLeast1(int n) { return n < 1 ? 1 : n; }

void CopyRow(const ZMat* src, int from, ZMat* dst, int to, int cols) {
  std::memcpy(dst->row[to], src->row[from], sizeof(float) * cols);
}

}  // namespace

// ---------------------------------------------------------------- batch

Nnet_Memory_Batch::Nnet_Memory_Batch(Nnet* n, int rows, int s)
    : nnet(n),
      output(nullptr),
      framesPerBatch(AtLeast1(rows) * AtLeast1(s)),
      batchRows(AtLeast1(rows)),
      skip(AtLeast1(s)),
      pending(0),
      frameInPlain(nullptr),
      frameInT(nullptr),
      frameOutPlain(nullptr) {
  const int in = AtLeast1(n->inDim), out = AtLeast1(n->outDim);
  for (Nnet_Component* c : n->components) memories.push_back(c->GeneratePropagateMemory(batchRows));
  output = new ZMat(10 * framesPerBatch, out);
  lastOut = new ZVec(out);
  batchIn = new ZMat(batchRows, in);
  batchInT = new ZMat_Neon(batchRows, in, false);
  batchOut = new ZMat(batchRows, out);
  frameIn = new ZVec(in);
  frameOut = new ZVec(out);
  if (!n->HasFrameForm()) {
    frameInPlain = new ZMat(1, in);
    frameInT = new ZMat_Neon(1, in, false);
    frameOutPlain = new ZMat(1, out);
  }
}

Nnet_Memory_Batch::~Nnet_Memory_Batch() {
  for (Nnet_Component_Memory* m : memories) delete m;
  delete output;
  delete lastOut;
  delete batchIn;
  delete batchInT;
  delete batchOut;
  delete frameIn;
  delete frameOut;
  delete frameInPlain;
  delete frameInT;
  delete frameOutPlain;
}

void Nnet_Memory_Batch::CopyFeatureRow(const ZMat* feats, int row, float* dst) const {
  // A feature chain narrower than the model's input leaves the missing
  // columns at 0 rather than reading past the row.
  const int cols = std::min(feats->cols, nnet->inDim);
  std::memcpy(dst, feats->row[row], sizeof(float) * cols);
  if (cols < nnet->inDim) std::memset(dst + cols, 0, sizeof(float) * (nnet->inDim - cols));
}

int Nnet_Memory_Batch::ProcessBatch() {
  batchInT->CopyFrom(batchIn);
  ZMat_Neon* cur = batchInT;
  for (size_t k = 0; k < memories.size(); ++k) nnet->components[k]->PropagateFnc_Mat(cur, memories[k], cur);
  cur->CopyTo(batchOut);
  nnet->ProcessPrior_Mat(batchOut);
  return 0;
}

int Nnet_Memory_Batch::ProcessSingle() {
  if (frameInT != nullptr) {
    std::memcpy(frameInPlain->row[0], frameIn->data, sizeof(float) * nnet->inDim);
    frameInT->CopyFrom(frameInPlain);
    ZMat_Neon* cur = frameInT;
    for (size_t k = 0; k < memories.size(); ++k) nnet->components[k]->PropagateFnc_Mat(cur, memories[k], cur);
    cur->CopyTo(frameOutPlain);
    std::memcpy(frameOut->data, frameOutPlain->row[0], sizeof(float) * nnet->outDim);
  } else {
    ZVec* cur = frameIn;
    for (size_t k = 0; k < memories.size(); ++k) nnet->components[k]->PropagateFnc_Vec(cur, memories[k], cur);
    frameOut->Copy(cur);
  }
  nnet->ProcessPrior_Vec(frameOut);
  return 0;
}

int Nnet_Memory_Batch::GetOutPut(ZMat* feats, int n, ZMat*& out, int& outCount) {
  if (n < 0 || !nnet->IsValid()) n = 0;
  if (output->allocRows < n) {
    const int cols = output->cols;
    delete output;
    output = new ZMat(2 * n, cols);
  }
  output->ResetRow(n);
  const int A = batchRows, S = skip, D = nnet->outDim;
  int p = 0;
  // Finish the window the previous call opened.
  if (pending > 0) {
    while (pending < S && p < n) {
      std::memcpy(output->row[p], lastOut->data, sizeof(float) * D);
      ++p;
      ++pending;
    }
    if (pending == S) pending = 0;
  }
  while (p + A * S <= n) {
    for (int k = 0; k < A; ++k) CopyFeatureRow(feats, p + k * S, batchIn->row[k]);
    ProcessBatch();
    for (int k = 0; k < A; ++k)
      for (int j = 0; j < S; ++j) CopyRow(batchOut, k, output, p + k * S + j, D);
    p += A * S;
  }
  while (p + S <= n) {
    CopyFeatureRow(feats, p, frameIn->data);
    ProcessSingle();
    for (int j = 0; j < S; ++j) std::memcpy(output->row[p + j], frameOut->data, sizeof(float) * D);
    p += S;
  }
  if (p < n) {
    pending = n - p;
    CopyFeatureRow(feats, p, frameIn->data);
    ProcessSingle();
    for (int j = p; j < n; ++j) std::memcpy(output->row[j], frameOut->data, sizeof(float) * D);
    lastOut->Copy(frameOut);
  }
  out = output;
  outCount = n;
  return 0;
}

int Nnet_Memory_Batch::Reset() {
  pending = 0;
  return 0;
}

// ---------------------------------------------------------------- total

Nnet_Memory_Total::Nnet_Memory_Total(Nnet* n) : capacity(100), nnet(n) {
  const int inD = AtLeast1(n->inDim), outD = AtLeast1(n->outDim);
  in = new ZMat(capacity, inD);
  inT = new ZMat_Neon(capacity, inD, false);
  out = new ZMat(capacity, outD);
  for (Nnet_Component* c : n->components) memories.push_back(c->GeneratePropagateMemory(100));
}

Nnet_Memory_Total::~Nnet_Memory_Total() {
  delete in;
  delete inT;
  delete out;
  for (Nnet_Component_Memory* m : memories) delete m;
}

int Nnet_Memory_Total::GetOutPut(ZMat* feats, int n, ZMat*& result, int& outCount) {
  if (n < 0 || !nnet->IsValid()) n = 0;
  if (n > capacity) {
    const int inD = in->cols, outD = out->cols;
    delete in;
    delete inT;
    delete out;
    capacity = n;
    in = new ZMat(capacity, inD);
    inT = new ZMat_Neon(capacity, inD, false);
    out = new ZMat(capacity, outD);
  }
  in->ResetRow(n);
  inT->ResetRow(n);
  out->ResetRow(n);
  if (n > 0) {
    const int cols = std::min(feats->cols, nnet->inDim);
    for (int i = 0; i < n; ++i) {
      std::memcpy(in->row[i], feats->row[i], sizeof(float) * cols);
      if (cols < nnet->inDim) std::memset(in->row[i] + cols, 0, sizeof(float) * (nnet->inDim - cols));
    }
    inT->CopyFrom(in);
    ZMat_Neon* cur = inT;
    for (size_t k = 0; k < memories.size(); ++k) nnet->components[k]->PropagateFnc_Mat(cur, memories[k], cur);
    cur->CopyTo(out);
    out->RowSoftMax();
    nnet->ProcessPrior_Mat(out);
  }
  result = out;
  outCount = n;
  return 0;
}

}  // namespace __kestrel4__
