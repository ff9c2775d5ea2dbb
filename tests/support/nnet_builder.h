// Builds small networks in code and saves them as model files in the
// component format, so that a test can say "affine 87 x 16 with these
// weights, then softmax" and get a file the real loader reads:
//
//   testing_support::NnetBuilder b;
//   b.Affine(87, 16, weights, bias).Softmax(16);
//   ASSERT_TRUE(b.Write(path));
//
// Weight lists are row-major in the orientation the file stores (stated per
// layer below). An empty list is filled with uniform random values in
// [-scale, scale] from the builder's seeded generator (layer-normalisation
// gains around 1), so a test names only the values it cares about.
#ifndef KESTREL_TESTS_SUPPORT_NNET_BUILDER_H
#define KESTREL_TESTS_SUPPORT_NNET_BUILDER_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/nnet/nnet.h"

namespace testing_support {

struct LinearDesc {
  int in = 0, out = 0;
  int bottleneck = 0;  // 0: none
  bool layerNorm = false;
  std::string activation = "Sigmoid";  // "Sigmoid", "Relu", "Tanh", "Softmax", anything else: none
  std::vector<float> bnWeightT;        // in x bottleneck (one row per input)
  std::vector<float> bnBias;           // bottleneck
  std::vector<float> weightT;          // k x out, k = bottleneck or in (one row per input)
  std::vector<float> bias;             // out (without layer normalisation)
  std::vector<float> normGain, normBias;  // out (with layer normalisation)
};

struct LstmCellDesc {
  int in = 0, out = 0;  // I, R
  int cell = 0;         // C; 0 means C = R (no projection)
  bool layerNorm = false;
  bool peephole = false;
  float forgetBias = 0.0f;
  std::string activation = "Tanh";
  std::vector<float> wx;        // I x 4C (one row per input); gate blocks g, i, f, o
  std::vector<float> wr;        // R x 4C
  std::vector<float> gateBias;  // 4C (without layer normalisation)
  // Input gate, candidate, forget gate, cell output, output gate (C each).
  std::vector<float> normGain[5], normBias[5];
  std::vector<float> peepF, peepI, peepO;  // C each
  std::vector<float> proj;                 // C x R (when C != R)
};

struct BLstmProjectedDesc {
  int in = 0, out = 0;  // out even; P = out / 2 per stream
  int cell = 0;         // C
  struct Stream {
    std::vector<float> wx;    // 4C x in (one row per gate unit)
    std::vector<float> wr;    // 4C x P
    std::vector<float> bias;  // 4C
    std::vector<float> peepI, peepF, peepO;  // C each
    std::vector<float> proj;  // P x C
  } fwd, bwd;
};

class NnetBuilder {
 public:
  explicit NnetBuilder(uint32_t seed = 1, float scale = 0.3f);
  ~NnetBuilder();
  NnetBuilder(const NnetBuilder&) = delete;
  NnetBuilder& operator=(const NnetBuilder&) = delete;

  // W: out x in (one row per output), b: out.
  NnetBuilder& Affine(int in, int out, std::vector<float> W = {}, std::vector<float> b = {});
  NnetBuilder& Linear(LinearDesc desc);
  NnetBuilder& Sigmoid(int dim);
  NnetBuilder& Tanh(int dim);
  NnetBuilder& Relu(int dim);
  NnetBuilder& Softmax(int dim);
  NnetBuilder& Lstm(LstmCellDesc cell);
  // "<BLSTM>": both cells read the layer's input; outputs side by side.
  NnetBuilder& BLstm(LstmCellDesc fwd, LstmCellDesc bwd);
  NnetBuilder& BLstmProjected(BLstmProjectedDesc desc);
  // Log-priors the network adds (negated) to its outputs.
  NnetBuilder& Priors(const std::vector<float>& logPriors);

  // The network built so far (owned by the builder).
  __kestrel4__::Nnet* net() { return net_; }
  // Saves it in the component format; false when the file cannot be written.
  bool Write(const std::string& path) const;
  // The component-format bytes (without the file marker).
  std::string Bytes() const;

 private:
  std::vector<float> Fill(std::vector<float> v, size_t n, float center = 0.0f);
  __kestrel4__::Nnet* net_;
  std::mt19937 rng_;
  float scale_;
};

// A list of n zeros, for layers whose values a test spells out.
inline std::vector<float> Zeros(size_t n) { return std::vector<float>(n, 0.0f); }

// The log-priors file the wake engine reads beside its model (model path +
// ".prior"): one headed float vector.
bool WritePriorFile(const std::string& path, const std::vector<float>& logPriors);

// Temporary file path unique to this process.
std::string NnetTempPath(const std::string& name);

}  // namespace testing_support

#endif
