// Evaluation of a shared, read-only network. Everything that changes while a
// network runs lives here, owned by one engine instance:
// - Nnet_Memory_Batch runs a stream of feature frames with frame skipping:
//   only the first frame of every window of `skip` frames is evaluated (on a
//   grid that stays aligned across calls) and its result repeated for the
//   window; `batchRows` such frames go through the layers as one block when
//   the call brings enough frames, one by one otherwise.
// - Nnet_Memory_Total runs a whole segment as one block (a complete utterance
//   for the recurrent layers).
// Buffers grow geometrically and are then reused: the steady state allocates
// nothing.
#ifndef KESTREL_NNET_NNET_MEMORY_H
#define KESTREL_NNET_NNET_MEMORY_H

#include <vector>

#include "engine/core/mat.h"
#include "engine/core/tiled.h"
#include "engine/nnet/component.h"
#include "engine/nnet/nnet.h"

namespace __kestrel4__ {

class Nnet_Memory_Batch {
 public:
  // The wake-word instance uses batchRows 4 and skip 3 (12 frames a block).
  Nnet_Memory_Batch(Nnet* nnet, int batchRows, int skip);
  virtual ~Nnet_Memory_Batch();
  Nnet_Memory_Batch(const Nnet_Memory_Batch&) = delete;
  Nnet_Memory_Batch& operator=(const Nnet_Memory_Batch&) = delete;

  // Feeds rows 0..n-1 of feats (inDim columns; missing columns count as 0)
  // and returns in `out` this memory's matrix of exactly n result rows, one
  // per input frame (outCount = n). `out` belongs to the memory and stays
  // valid until the next call. n may be 0: nothing is evaluated and an open
  // window stays open.
  int GetOutPut(ZMat* feats, int n, ZMat*& out, int& outCount);
  // The next call starts a new skip window.
  int Reset();

  int ProcessBatch();   // batchIn -> batchOut, block path, corrections applied
  int ProcessSingle();  // frameIn -> frameOut, one-frame path, corrections applied

  Nnet* nnet;
  std::vector<Nnet_Component_Memory*> memories;
  ZMat* output;
  int framesPerBatch;
  int batchRows;
  int skip;
  int pending;  // rows of the open skip window already emitted; 0: none open
  ZVec* lastOut;
  ZMat* batchIn;
  ZMat_Neon* batchInT;
  ZMat* batchOut;
  ZVec* frameIn;
  ZVec* frameOut;

 private:
  void CopyFeatureRow(const ZMat* feats, int row, float* dst) const;
  // Networks with recurrent layers have no one-frame form: a single frame
  // goes through the block path as a block of one.
  ZMat* frameInPlain;
  ZMat_Neon* frameInT;
  ZMat* frameOutPlain;
};

class Nnet_Memory_Total {
 public:
  explicit Nnet_Memory_Total(Nnet* nnet);
  virtual ~Nnet_Memory_Total();
  Nnet_Memory_Total(const Nnet_Memory_Total&) = delete;
  Nnet_Memory_Total& operator=(const Nnet_Memory_Total&) = delete;

  // Evaluates rows 0..n-1 of feats as one block and returns the n result
  // rows (log-softmax of every row, then the output corrections). `out`
  // belongs to the memory and stays valid until the next call.
  int GetOutPut(ZMat* feats, int n, ZMat*& out, int& outCount);
  int Reset() { return 0; }

  int capacity;
  ZMat* in;
  ZMat_Neon* inT;
  ZMat* out;
  Nnet* nnet;
  std::vector<Nnet_Component_Memory*> memories;
};

}  // namespace __kestrel4__

#endif
