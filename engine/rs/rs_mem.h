// The sample-rate converter: planar float audio of any channel count,
// converted by a rational factor L/M. Each block of M new input samples
// yields L output samples as one product of the L x (M + T - 1) branch
// matrix with a window of the input, run on the tiled matrix x vector kernel
// (most cells of the matrix are zero, but the uniform shape suits the tiles).
// Input is gathered into batches of B blocks; buffers grow only by doubling.
#ifndef KESTREL_RS_RS_MEM_H
#define KESTREL_RS_RS_MEM_H

#include "engine/core/mat.h"
#include "engine/core/tiled.h"
#include "engine/rs/filter_design.h"

namespace __kestrel4__ {

// Most output samples per channel one call produces; input that would take
// a call beyond it is consumed without output (logged). Keeps the output
// buffer's doubling inside the int range.
constexpr int kRsMaxOutput = 1 << 28;

class ZRsMem {
 public:
  // Builds the converter. When the arguments cannot be served (a count or
  // rate below 1, a ratio beyond 16 either way, a filter or buffer beyond the
  // size limits) the refusal is logged and Ok() is false: such an object may
  // only be deleted.
  ZRsMem(int channels, int inRate, int outRate, int batch);
  ~ZRsMem();
  ZRsMem(const ZRsMem&) = delete;
  ZRsMem& operator=(const ZRsMem&) = delete;

  bool Ok() const { return ok; }

  // Consumes n samples of every channel. *out receives the output rows and
  // *outCount the samples per channel produced by this call; both belong to
  // the converter and stay valid until its next call.
  int Process(const float** in, int n, float*** out, int* outCount);
  // Converts the full input buffer: B blocks per channel, appended to the
  // output.
  int ProcessBatch();
  // Drops buffered input and history. The fill restarts at T (one more than
  // after construction), so later output is one input sample later than that
  // of a fresh converter.
  int Reset();

  int nChannels;
  int nInRate;
  int nOutRate;
  int M;  // decimation factor of the reduced, scaled ratio
  int L;  // interpolation factor (a multiple of 4: the tiles have 4 rows)
  int T;  // taps per branch
  int nBatch;
  int B;  // blocks per batch
  fa_resample_filter* filter;
  ZMat* A;             // L x (M + T - 1): row i is branch i reversed, at offset floor(i*M/L)
  ZMat_Neon* A_neon;   // its tiled copy, the one the products use
  ZVec* window;        // M + T - 1 input samples of one block
  ZVec* blockOut;      // the L outputs of one block
  ZMat* inBuf;         // channels x (B*M + T - 1), T - 1 samples of history first
  int inFill;
  int inLen;           // B*M + T - 1
  ZMat* outBuf;        // channels x outCap
  int outCount;
  int outCap;

 private:
  bool ok;
};

}  // namespace __kestrel4__

#endif
