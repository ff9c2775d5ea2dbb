// Layer normalisation: each frame's values are brought to zero mean and unit
// variance (statistics in double), then scaled and shifted by learnt vectors.
// Used inside linear layers and LSTM cells, never as a layer of its own.
#ifndef KESTREL_NNET_LAYER_NORM_H
#define KESTREL_NNET_LAYER_NORM_H

#include "engine/core/io.h"
#include "engine/core/mat.h"

namespace __kestrel4__ {

class Nnet_LayerNorm {
 public:
  explicit Nnet_LayerNorm(int n);
  virtual ~Nnet_LayerNorm();
  Nnet_LayerNorm(const Nnet_LayerNorm&) = delete;
  Nnet_LayerNorm& operator=(const Nnet_LayerNorm&) = delete;

  // Gain vector, then bias vector (headed on type 0 streams). 0 on success.
  int ReadData(ZInput* in);
  int WriteData(ZOutput* out) const;
  // In place: the first n values of v, or of every row of m.
  int PropagateFnc_Vec(ZVec* v) const;
  int PropagateFnc_Mat(ZMat* m) const;

  int n;
  ZVec* gain;
  ZVec* bias;
};

// The normalisation step alone on n values: (x - mean) / sqrt(var + 1e-5),
// computed in double and stored as float. Shared with the network's score
// normalisation.
void NnetNormalizeRow(float* x, int n);

}  // namespace __kestrel4__

#endif
