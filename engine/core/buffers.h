// History rings of the engine, read backwards from the newest entry: samples
// or scores (ZVecBuff), feature or score frames (ZMatBuff), a growable mono
// store (ZAudBuff_S) and the multi-channel audio ring from which the wake
// pipeline cuts the audio of a detected word (ZAudBuff).
//
// Positions are counted backwards: "a back" is the sample (or frame) a
// entries before the write position, so 1 back is the newest. Requests that
// reach further back than the ring holds are filled with zeros for the part
// the ring no longer has; nothing is ever read or written outside the ring.
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

  // Appends n floats at the write position, wrapping at L; the position ends
  // one past the last float written. Returns 0.
  int PutBuff(const float* data, int n);
  // Copies into dst the a - b floats from a back to b back (0 <= b <= a <= L),
  // oldest first. Returns 0.
  int GetBuff(float* dst, int a, int b);
  // Position 0 and the ring zeroed. Returns 0.
  int Reset();
  // Writes the floats GetBuff(a, b) would give to a new raw float file; the
  // dump is skipped when the file cannot be created. Returns 0.
  int StoreFile(const char* path, int a, int b);

  int pos;  // write position, 0 <= pos < L
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
  // Returns 0.
  int PutBuff(float** rows, int n);
  // The row k frames back: 1 is the newest, R (or 0) the oldest. The pointer
  // is into the ring (no copy) and stays valid until the ring is destroyed.
  float* GetBuff(int k);
  // Binary dump: int a - b, int C, then the a - b rows from a back to b + 1
  // back, oldest first. Skipped when the file cannot be created. Returns 0.
  int StoreFile(const char* path, int a, int b);
  // Write row 0 and the ring zeroed. Returns 0.
  int Reset();

  int pos;  // write row, 0 <= pos < R
  ZMat* mat;
};

// Growable mono sample store: appends without limit (doubling its capacity
// when needed) and is read backwards from its end.
class ZAudBuff_S {
 public:
  explicit ZAudBuff_S(int L);
  ~ZAudBuff_S();
  ZAudBuff_S(const ZAudBuff_S&) = delete;
  ZAudBuff_S& operator=(const ZAudBuff_S&) = delete;

  // Appends n floats; when they do not fit, the capacity becomes
  // 2 * (stored + n). Returns 0, or 1 (nothing appended, logged) when the
  // store cannot grow.
  int PutBuff(const float* data, int n);
  // Fills dst with the a - b floats from a back to b back (b <= a, b <=
  // stored), oldest first. When fewer than a floats are stored, the part
  // before the first stored float is zero and a marker line is logged.
  // Returns 0.
  int GetBuff(float* dst, int a, int b);
  // Stored count 0 and flag cleared; capacity and samples stay. Returns 0.
  int Reset();

  unsigned char bFlag;  // for the owner's use; the store only clears it
  int nLen;             // floats stored
  float* pData;
  int nCap;  // capacity in floats
};

// Multi-channel audio ring: one row of L samples per channel.
class ZAudBuff {
 public:
  ZAudBuff(int channels, int L);
  ~ZAudBuff();
  ZAudBuff(const ZAudBuff&) = delete;
  ZAudBuff& operator=(const ZAudBuff&) = delete;

  // Appends n samples of every channel (channels[c] holds n floats); a block
  // of L or more keeps only its last L samples, with the position at 0.
  // Returns 0.
  int PutAudio(const float** channels, int n);
  // For every channel c, copies into dst[c] the n - skip samples from n back
  // to skip back (0 <= skip <= n <= L), oldest first. Returns 0.
  int GetLastAudio(float** dst, int n, int skip);
  // The ring zeroed and the position 0. Returns 0.
  int Reset();

  int nChannel;
  int nLen;  // ring length L
  int nPos;  // write position, 0 <= nPos < L
  ZMat* pMat;
};

}  // namespace __kestrel4__

#endif
