// Writes the tiny acoustic model the README example runs on in the test
// suite: an affine layer from the engine's 957 spliced features to 8 outputs,
// then log-softmax, in the component format.
#include <cstdio>

#include "engine/core/io.h"
#include "engine/core/mat.h"

using namespace __kestrel4__;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_model OUT\n");
    return 2;
  }
  ZFileOutput out(argv[1], 0);
  if (!out.isValid()) {
    std::fprintf(stderr, "make_model: cannot write %s\n", argv[1]);
    return 1;
  }
  int outputs = 8, in = 957;
  float coef = 1.0f;
  out.WriteToken("<Nnet>");
  out.WriteToken("<AffineTransform>");
  out.WriteBasicType(&outputs);
  out.WriteBasicType(&in);
  for (const char* t : {"<LearnRateCoef>", "<BiasLearnRateCoef>", "<MaxNorm>"}) {
    out.WriteToken(t);
    out.WriteBasicType(&coef);
  }
  ZMat w(outputs, in);
  w.Write(&out);
  ZVec b(outputs);
  b.Write(&out);
  out.WriteToken("<Softmax>");
  out.WriteBasicType(&outputs);
  out.WriteBasicType(&outputs);
  out.WriteToken("</Nnet>");
  return 0;
}
