#include "engine/core/buffers.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/core/array.h"
#include "engine/core/log.h"

namespace __kestrel4__ {

namespace {

// Copies n floats (n <= L) of a ring of L floats starting at index start
// (0 <= start < L), wrapping once at most.
void CopyFromRing(const float* ring, int L, int start, int n, float* dst) {
  const int first = L - start < n ? L - start : n;
  std::memcpy(dst, ring + start, sizeof(float) * first);
  if (n > first) std::memcpy(dst + first, ring, sizeof(float) * (n - first));
}

// Copies n floats (n <= L) into a ring of L floats from index start,
// wrapping once at most; returns the index one past the last float written.
int CopyToRing(float* ring, int L, int start, const float* src, int n) {
  const int first = L - start < n ? L - start : n;
  std::memcpy(ring + start, src, sizeof(float) * first);
  if (n > first) std::memcpy(ring, src + first, sizeof(float) * (n - first));
  int end = start + n;
  return end >= L ? end - L : end;
}

}  // namespace

// ---------------------------------------------------------------- ZVecBuff

ZVecBuff::ZVecBuff(int L) : pos(0), vec(new ZVec(L)) {}
ZVecBuff::~ZVecBuff() { delete vec; }

int ZVecBuff::PutBuff(const float* data, int n) {
  const int L = vec->len;
  if (L <= 0 || n <= 0) return 0;
  if (n > L) {
    // Only the newest L floats survive; they land where writing all n would
    // have put them, so the position ends as if every float was written.
    const int skip = n - L;
    data += skip;
    pos = (pos + skip % L) % L;
    n = L;
  }
  pos = CopyToRing(vec->data, L, pos, data, n);
  return 0;
}

int ZVecBuff::GetBuff(float* dst, int a, int b) {
  const int L = vec->len;
  if (b < 0 || a <= b) return 0;
  // Anything further back than the ring reaches is silence.
  if (a > L) {
    const int lost = (a - L < a - b) ? a - L : a - b;
    std::memset(dst, 0, sizeof(float) * lost);
    dst += lost;
    a -= lost;
    if (a <= b) return 0;
  }
  int start = pos - a;
  if (start < 0) start += L;
  CopyFromRing(vec->data, L, start, a - b, dst);
  return 0;
}

int ZVecBuff::Reset() {
  pos = 0;
  return vec->Clean();
}

int ZVecBuff::StoreFile(const char* path, int a, int b) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  // Written in slices through a small stack buffer: a dump needs no heap.
  float chunk[1024];
  while (a > b) {
    const int n = a - b < 1024 ? a - b : 1024;
    GetBuff(chunk, a, a - n);
    std::fwrite(chunk, sizeof(float), n, f);
    a -= n;
  }
  std::fclose(f);
  return 0;
}

// ---------------------------------------------------------------- ZMatBuff

ZMatBuff::ZMatBuff(int R, int C) : pos(0), mat(new ZMat(R, C)) {}
ZMatBuff::~ZMatBuff() { delete mat; }

int ZMatBuff::PutBuff(float** rows, int n) {
  if (mat->rows <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    std::memcpy(mat->row[pos], rows[i], sizeof(float) * mat->cols);
    if (++pos == mat->rows) pos = 0;
  }
  return 0;
}

float* ZMatBuff::GetBuff(int k) {
  const int R = mat->rows;
  int r = (pos - k) % R;
  if (r < 0) r += R;
  return mat->row[r];
}

int ZMatBuff::StoreFile(const char* path, int a, int b) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  const int32_t count = a - b > 0 ? a - b : 0;
  const int32_t cols = mat->cols;
  std::fwrite(&count, sizeof(count), 1, f);
  std::fwrite(&cols, sizeof(cols), 1, f);
  for (int k = a; k > b; --k) std::fwrite(GetBuff(k), sizeof(float), cols, f);
  std::fclose(f);
  return 0;
}

int ZMatBuff::Reset() {
  pos = 0;
  return mat->Clean();
}

// ---------------------------------------------------------------- ZAudBuff_S

ZAudBuff_S::ZAudBuff_S(int L) : bFlag(0), nLen(0), pData(nullptr), nCap(L > 0 ? L : 0) {
  if (nCap > 0) {
    pData = static_cast<float*>(z_new_ar1(sizeof(float), nCap));
    if (pData == nullptr) {
      z_log(kLogError, "Error in ZAudBuff_S: no memory for %d samples", nCap);
      nCap = 0;
    }
  }
}

ZAudBuff_S::~ZAudBuff_S() { std::free(pData); }

int ZAudBuff_S::PutBuff(const float* data, int n) {
  if (n <= 0) return 0;
  const int64_t need = static_cast<int64_t>(nLen) + n;
  if (need > nCap) {
    const int64_t cap = 2 * need;
    // The capacity is an int count of floats; a store that would pass it is
    // refused rather than wrapped.
    float* grown = cap > INT32_MAX ? nullptr : static_cast<float*>(z_new_ar1(sizeof(float), static_cast<size_t>(cap)));
    if (grown == nullptr) {
      z_log(kLogError, "Error in ZAudBuff_S: cannot grow to %lld samples", static_cast<long long>(cap));
      return 1;
    }
    if (nLen > 0) std::memcpy(grown, pData, sizeof(float) * nLen);
    std::free(pData);
    pData = grown;
    nCap = static_cast<int>(cap);
  }
  std::memcpy(pData + nLen, data, sizeof(float) * n);
  nLen += n;
  return 0;
}

int ZAudBuff_S::GetBuff(float* dst, int a, int b) {
  if (b < 0 || a <= b) return 0;
  const int count = a - b;
  int lead = 0;  // zeros for the part before the first stored float
  if (a > nLen) {
    z_log(kLogInfo, "xfffffffffffxfffffffffffxfffffffffffxfffffffffffxfffffffffffxfffffffffff");
    lead = a - nLen < count ? a - nLen : count;
    std::memset(dst, 0, sizeof(float) * lead);
  }
  const int copy = count - lead;
  if (copy > 0) std::memcpy(dst + lead, pData + (nLen - (a - lead)), sizeof(float) * copy);
  return 0;
}

int ZAudBuff_S::Reset() {
  nLen = 0;
  bFlag = 0;
  return 0;
}

// ---------------------------------------------------------------- ZAudBuff

ZAudBuff::ZAudBuff(int channels, int L) : nChannel(channels), nLen(L), nPos(0), pMat(new ZMat(channels, L)) {}

ZAudBuff::~ZAudBuff() { delete pMat; }

int ZAudBuff::PutAudio(const float** channels, int n) {
  const int L = nLen;
  if (L <= 0 || n <= 0) return 0;
  if (n >= L) {
    nPos = 0;
    for (int c = 0; c < nChannel; ++c) std::memcpy(pMat->row[c], channels[c] + (n - L), sizeof(float) * L);
    return 0;
  }
  int end = 0;
  for (int c = 0; c < nChannel; ++c) end = CopyToRing(pMat->row[c], L, nPos, channels[c], n);
  nPos = end;
  return 0;
}

int ZAudBuff::GetLastAudio(float** dst, int n, int skip) {
  const int L = nLen;
  if (skip < 0 || n <= skip) return 0;
  // Audio further back than the ring reaches is silence.
  int lost = 0;
  if (n > L) {
    lost = (n - L < n - skip) ? n - L : n - skip;
    for (int c = 0; c < nChannel; ++c) std::memset(dst[c], 0, sizeof(float) * lost);
    n -= lost;
    if (n <= skip) return 0;
  }
  const int p = nPos;
  for (int c = 0; c < nChannel; ++c) {
    const float* ring = pMat->row[c];
    float* d = dst[c] + lost;
    if (n < p) {
      std::memcpy(d, ring + (p - n), sizeof(float) * (n - skip));
    } else if (skip > p) {
      std::memcpy(d, ring + (p + L - n), sizeof(float) * (n - skip));
    } else {
      std::memcpy(d, ring + (L - (n - p)), sizeof(float) * (n - p));
      std::memcpy(d + (n - p), ring, sizeof(float) * (p - skip));
    }
  }
  return 0;
}

int ZAudBuff::Reset() {
  nPos = 0;
  return pMat->Clean();
}

}  // namespace __kestrel4__
