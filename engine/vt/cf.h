// Confirmation classifier: a second network that scores a whole candidate
// segment at once. 40 log mel filter-bank features of the segment, mean and
// variance normalisation over the segment, the network over all frames as one
// block, then the average of the two class log-posteriors turned into a
// normalised log-probability of the wake-word class (output column 1).
#ifndef KESTREL_VT_CF_H
#define KESTREL_VT_CF_H

#include "engine/core/mat.h"
#include "engine/feature/fea1.h"
#include "engine/nnet/nnet.h"
#include "engine/nnet/nnet_memory.h"

namespace __kestrel4__ {

class ZCfMem2 {
 public:
  static constexpr int kFeaDim = 40;
  static constexpr int kMinFrames = 20;  // about 0.2 s: shorter segments score -100
  static constexpr float kTooShort = -100.0f;

  explicit ZCfMem2(const char* modelPath);
  ~ZCfMem2();
  ZCfMem2(const ZCfMem2&) = delete;
  ZCfMem2& operator=(const ZCfMem2&) = delete;

  // True when the network loaded and has at least the two class outputs.
  bool IsValid() const { return total != nullptr; }

  float check_buff(const float* samples, int count);
  float check_file(const char* path);
  int get_score(const float* samples, int count, float* sums, int sumCount);
  int DoCmvn(ZMat* feats);

  ZFea1* fea;
  Nnet* nnet;
  Nnet_Memory_Total* total;
  ZVec* globalMean;
  ZVec* globalVar;
  ZVec* shift;
  ZVec* scale;

 private:
  // Features, normalisation and the network over the segment; the frame
  // count, or 0 for a segment that is too short.
  int Evaluate(const float* samples, int count, ZMat*& out);
};

}  // namespace __kestrel4__

#endif
