// History rings of the engine, read backwards from the newest entry.
#ifndef KESTREL_CORE_BUFFERS_H
#define KESTREL_CORE_BUFFERS_H

#include "engine/core/mat.h"

namespace __kestrel4__ {

// Ring of L floats (audio samples or scores).
class ZVecBuff {
 public:
  explicit ZVecBuff(int L);
  ~ZVecBuff();
  ZVecBuff(const ZVecBuff&) = delete;
  ZVecBuff& operator=(const ZVecBuff&) = delete;

  // Appends n floats at the write position, wrapping at L.
  int PutBuff(const float* data, int n);
  // Copies the a - b floats from a back to b back (0 <= b <= a <= L), oldest
  // first.
  int GetBuff(float* dst, int a, int b);
  int Reset();
  int StoreFile(const char* path, int a, int b);

  int pos;
  ZVec* vec;
};

// Ring of R frames of C floats.
class ZMatBuff {
 public:
  ZMatBuff(int R, int C);
  ~ZMatBuff();
  ZMatBuff(const ZMatBuff&) = delete;
  ZMatBuff& operator=(const ZMatBuff&) = delete;

  // Copies n rows (each C floats) into the ring, advancing after each.
  int PutBuff(float** rows, int n);
  // The row k frames back: 1 is the newest, R (or 0) the oldest. No copy.
  float* GetBuff(int k);
  int Reset();

  int pos;
  ZMat* mat;
};

}  // namespace __kestrel4__

#endif
