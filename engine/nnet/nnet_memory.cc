#include "engine/nnet/nnet_memory.h"

namespace __kestrel4__ {

Nnet_Memory_Batch::Nnet_Memory_Batch(Nnet* n, int /*batch*/, int /*skip*/)
    : nnet(n), output(new ZMat(16, n->outDim > 0 ? n->outDim : 1)) {}
Nnet_Memory_Batch::~Nnet_Memory_Batch() { delete output; }

int Nnet_Memory_Batch::GetOutPut(ZMat* /*feats*/, int n, ZMat*& out, int& outCount) {
  out = output;
  outCount = n < output->rows ? n : output->rows;
  return 0;
}

int Nnet_Memory_Batch::Reset() { return 0; }

}  // namespace __kestrel4__
