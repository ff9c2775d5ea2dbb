#include "engine/core/buffers.h"

#include <cstdio>
#include <cstring>

namespace __kestrel4__ {

ZVecBuff::ZVecBuff(int L) : pos(0), vec(new ZVec(L)) {}
ZVecBuff::~ZVecBuff() { delete vec; }

int ZVecBuff::PutBuff(const float* data, int n) {
  const int L = vec->len;
  if (n >= L) {  // only the newest L samples survive
    data += n - L;
    n = L;
  }
  while (n > 0) {
    int piece = L - pos < n ? L - pos : n;
    std::memcpy(vec->data + pos, data, sizeof(float) * piece);
    data += piece;
    n -= piece;
    pos += piece;
    if (pos == L) pos = 0;
  }
  return 0;
}

int ZVecBuff::GetBuff(float* dst, int a, int b) {
  const int L = vec->len;
  int start = pos - a;
  if (start < 0) start += L;
  int n = a - b;
  while (n > 0) {
    int piece = L - start < n ? L - start : n;
    std::memcpy(dst, vec->data + start, sizeof(float) * piece);
    dst += piece;
    n -= piece;
    start += piece;
    if (start == L) start = 0;
  }
  return 0;
}

int ZVecBuff::Reset() {
  pos = 0;
  return vec->Clean();
}

int ZVecBuff::StoreFile(const char* path, int a, int b) {
  if (a - b <= 0) return 0;
  ZVec tmp(a - b);
  GetBuff(tmp.data, a, b);
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  std::fwrite(tmp.data, sizeof(float), a - b, f);
  std::fclose(f);
  return 0;
}

ZMatBuff::ZMatBuff(int R, int C) : pos(0), mat(new ZMat(R, C)) {}
ZMatBuff::~ZMatBuff() { delete mat; }

int ZMatBuff::PutBuff(float** rows, int n) {
  for (int i = 0; i < n; ++i) {
    std::memcpy(mat->row[pos], rows[i], sizeof(float) * mat->cols);
    if (++pos == mat->rows) pos = 0;
  }
  return 0;
}

float* ZMatBuff::GetBuff(int k) {
  int r = pos - k;
  while (r < 0) r += mat->rows;
  return mat->row[r];
}

int ZMatBuff::Reset() {
  pos = 0;
  return mat->Clean();
}

}  // namespace __kestrel4__
