#include "engine/nnet/layer_norm.h"

#include <cmath>

#include "engine/nnet/nnet_io.h"

namespace __kestrel4__ {

void NnetNormalizeRow(float* x, int n) {
  if (n <= 0) return;
  double s = 0.0, s2 = 0.0;
  for (int i = 0; i < n; ++i) {
    s += x[i];
    s2 += static_cast<double>(x[i]) * x[i];
  }
  const double mean = s / n;
  double var = s2 / n - mean * mean;
  // The one-pass variance can come out a hair below zero for nearly constant
  // rows of large values; a negative value would turn the row into NaN.
  if (var < 0.0) var = 0.0;
  const double sd = std::sqrt(var + static_cast<double>(1e-5f));
  for (int i = 0; i < n; ++i) x[i] = static_cast<float>((x[i] - mean) / sd);
}

Nnet_LayerNorm::Nnet_LayerNorm(int width) : n(width), gain(new ZVec(width)), bias(new ZVec(width)) {}

Nnet_LayerNorm::~Nnet_LayerNorm() {
  delete gain;
  delete bias;
}

int Nnet_LayerNorm::ReadData(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    return r->Vec(gain, "layer-normalisation gain") && r->Vec(bias, "layer-normalisation bias") ? 0 : 1;
  });
}

int Nnet_LayerNorm::WriteData(ZOutput* out) const {
  gain->Write(out);
  bias->Write(out);
  return 0;
}

int Nnet_LayerNorm::PropagateFnc_Vec(ZVec* v) const {
  NnetNormalizeRow(v->data, n);
  for (int i = 0; i < n; ++i) v->data[i] *= gain->data[i];
  for (int i = 0; i < n; ++i) v->data[i] += bias->data[i];
  return 0;
}

int Nnet_LayerNorm::PropagateFnc_Mat(ZMat* m) const {
  for (int r = 0; r < m->rows; ++r) {
    float* x = m->row[r];
    NnetNormalizeRow(x, n);
    for (int i = 0; i < n; ++i) x[i] *= gain->data[i];
    for (int i = 0; i < n; ++i) x[i] += bias->data[i];
  }
  return 0;
}

}  // namespace __kestrel4__
