// Streaming evaluation of a network over a stream of frames.
// (Interim form until the layers land.)
#ifndef KESTREL_NNET_NNET_MEMORY_H
#define KESTREL_NNET_NNET_MEMORY_H

#include "engine/core/mat.h"
#include "engine/nnet/nnet.h"

namespace __kestrel4__ {

class Nnet_Memory_Batch {
 public:
  // Evaluates every `skip`-th frame, `batch` evaluations per block.
  Nnet_Memory_Batch(Nnet* nnet, int batch, int skip);
  ~Nnet_Memory_Batch();
  Nnet_Memory_Batch(const Nnet_Memory_Batch&) = delete;
  Nnet_Memory_Batch& operator=(const Nnet_Memory_Batch&) = delete;

  // Feeds n feature rows; `out` receives exactly n result rows.
  int GetOutPut(ZMat* feats, int n, ZMat*& out, int& outCount);
  int Reset();

  Nnet* nnet;
  ZMat* output;
};

}  // namespace __kestrel4__

#endif
