#include "engine/rs/rs_mem.h"

#include <cstdint>
#include <cstring>

#include "engine/core/log.h"
#include "engine/core/util.h"

namespace __kestrel4__ {

namespace {

// Largest branch matrix and input buffer (in floats, padding included) a
// converter builds. Ordinary rate pairs stay below (48000 -> 16000 needs 536
// cells, 16000 -> 44100 about 1.2 million, 16000 -> 11025 about 4.6 million);
// coprime rates such as 44101 and 16000 would need gigabytes and are refused.
constexpr int64_t kMaxCells = int64_t{1} << 23;
constexpr int kInitialCapacity = 1024;

inline int64_t Round4(int64_t n) { return (n + 3) / 4 * 4; }

}  // namespace

ZRsMem::ZRsMem(int channels, int inRate, int outRate, int batch)
    : nChannels(channels),
      nInRate(inRate),
      nOutRate(outRate),
      M(0),
      L(0),
      T(0),
      nBatch(batch),
      B(0),
      filter(nullptr),
      A(nullptr),
      A_neon(nullptr),
      window(nullptr),
      blockOut(nullptr),
      inBuf(nullptr),
      inFill(0),
      inLen(0),
      outBuf(nullptr),
      outCount(0),
      outCap(kInitialCapacity),
      ok(false) {
  if (channels < 1 || inRate < 1 || outRate < 1 || batch < 1) {
    z_log(kLogError, "Error in w6_rs_create: channels %d, rates %d -> %d, batch %d", channels, inRate, outRate,
          batch);
    return;
  }
  const int g = z_gcd(inRate, outRate);
  int64_t m = inRate / g;
  int64_t l = outRate / g;
  // The tiled product works on groups of 4 rows.
  while (l % 4 != 0) {
    l *= 2;
    m *= 2;
  }
  if (l <= INT32_MAX && m <= INT32_MAX) {
    filter = fa_resample_filter_init(static_cast<int>(l), static_cast<int>(m), 1.0f, kFaHamming);
  }
  if (filter == nullptr) {
    z_log(kLogError, "Error in w6_rs_create: cannot convert %d Hz to %d Hz: the ratio %lld/%lld is beyond 16 or too fine", inRate, outRate,
          static_cast<long long>(l), static_cast<long long>(m));
    return;
  }
  M = filter->M;
  L = filter->L;
  T = filter->T;
  const int64_t cols = int64_t{M} + T - 1;

  int64_t blocks = batch / z_gcd(L, batch);  // lcm(L, batch) / L
  while ((blocks * channels) % 4 != 0) blocks *= 2;
  const int64_t len = blocks * M + T - 1;
  if (int64_t{L} * Round4(cols) > kMaxCells || int64_t{channels} * Round4(len) > kMaxCells ||
      int64_t{channels} * Round4(blocks * L) > kMaxCells) {
    z_log(kLogError,
          "Error in w6_rs_create: cannot convert %d Hz to %d Hz with %d channels and batch %d: the filter or the "
          "buffers would be too large",
          inRate, outRate, channels, batch);
    return;
  }
  B = static_cast<int>(blocks);
  inLen = static_cast<int>(len);
  inFill = T - 1;

  A = new ZMat(L, static_cast<int>(cols));
  A_neon = new ZMat_Neon(L, static_cast<int>(cols), false);
  window = new ZVec(static_cast<int>(cols));
  blockOut = new ZVec(L);
  inBuf = new ZMat(channels, inLen);
  while (outCap < B * L) outCap *= 2;
  outBuf = new ZMat(channels, outCap);
  if (A->row == nullptr || A_neon->blocks == nullptr || window->data == nullptr || blockOut->data == nullptr ||
      inBuf->row == nullptr || outBuf->row == nullptr) {
    z_log(kLogError, "Error in w6_rs_create: out of memory");
    return;
  }
  // Branch i computes output phase (i*M) mod L from the inputs ending at
  // floor(i*M/L): laid out reversed, one row of A times the block's window
  // is the branch's convolution sum.
  for (int i = 0; i < L; ++i) {
    const int offset = static_cast<int>(static_cast<int64_t>(i) * M / L);
    for (int j = 0; j < T; ++j) A->row[i][offset + j] = filter->coef[i][T - 1 - j];
  }
  A_neon->CopyFrom(A);
  ok = true;
}

ZRsMem::~ZRsMem() {
  delete outBuf;
  delete inBuf;
  delete blockOut;
  delete window;
  delete A_neon;
  delete A;
  fa_resample_filter_uninit(filter);
}

int ZRsMem::Process(const float** in, int n, float*** out, int* outCountPtr) {
  outCount = 0;
  outBuf->Clean();
  int done = 0;
  while (done < n) {
    const int k = n - done < inLen - inFill ? n - done : inLen - inFill;
    for (int c = 0; c < nChannels; ++c) {
      std::memcpy(inBuf->row[c] + inFill, in[c] + done, sizeof(float) * static_cast<size_t>(k));
    }
    inFill += k;
    done += k;
    if (inFill == inLen) {
      ProcessBatch();
      // Keep the last T - 1 samples as the history of the next batch.
      for (int c = 0; c < nChannels; ++c) {
        std::memmove(inBuf->row[c], inBuf->row[c] + static_cast<size_t>(B) * M, sizeof(float) * (T - 1));
      }
      inFill = T - 1;
    }
  }
  if (out != nullptr) *out = outBuf->row;
  if (outCountPtr != nullptr) *outCountPtr = outCount;
  return 0;
}

int ZRsMem::ProcessBatch() {
  const int produced = B * L;
  if (int64_t{outCount} + produced > kRsMaxOutput) {
    z_log(kLogError, "Error in w6_rs_process_float: more than %d samples in one call, %d dropped", kRsMaxOutput,
          produced);
    return 0;
  }
  if (outCount + produced > outCap) {
    // Only a call that brings more input than any before grows the output.
    const int cap = 2 * (outCount + produced);
    ZMat* grown = new ZMat(nChannels, cap);
    if (grown->row == nullptr) {
      z_log(kLogError, "Error in w6_rs_process_float: out of memory, %d samples dropped", produced);
      delete grown;
      return 0;
    }
    for (int c = 0; c < nChannels; ++c) {
      std::memcpy(grown->row[c], outBuf->row[c], sizeof(float) * static_cast<size_t>(outCount));
    }
    delete outBuf;
    outBuf = grown;
    outCap = cap;
  }
  const size_t cols = static_cast<size_t>(window->len);
  for (int c = 0; c < nChannels; ++c) {
    const float* src = inBuf->row[c];
    float* dst = outBuf->row[c] + outCount;
    for (int j = 0; j < B; ++j) {
      // The window keeps its zero padding: the tiles read whole groups of 4.
      std::memcpy(window->data, src + static_cast<size_t>(j) * M, sizeof(float) * cols);
      blockOut->Clean();
      blockOut->Add_aAX_NENO(A_neon, window);
      std::memcpy(dst + static_cast<size_t>(j) * L, blockOut->data, sizeof(float) * L);
    }
  }
  outCount += produced;
  return 0;
}

int ZRsMem::Reset() {
  inFill = T;
  inBuf->Clean();
  return 0;
}

}  // namespace __kestrel4__
