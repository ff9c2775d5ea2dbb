// SSE2 path of the blocked kernels (the x86 baseline). One register holds one
// tile column, exactly as on the device; the difference from the reference is
// only the walk: each C tile stays in registers for the whole K sweep (two
// tiles at a time), which does not change any cell's sequence of operations.
#include <emmintrin.h>

#include <cstddef>

#include "engine/core/tile_kernels.h"

namespace __kestrel4__ {

namespace {

inline __m128 Lane(__m128 v, int k) {
  switch (k) {
    case 0:
      return _mm_shuffle_ps(v, v, 0x00);
    case 1:
      return _mm_shuffle_ps(v, v, 0x55);
    case 2:
      return _mm_shuffle_ps(v, v, 0xAA);
    default:
      return _mm_shuffle_ps(v, v, 0xFF);
  }
}

// NT tiles of one C tile row: columns held in registers over all K.
template <int NT>
inline void TilesAB(const float* arow, int aBlockCols, const float* b, int bBlockCols, float* ct) {
  __m128 acc[NT][4];
#pragma GCC unroll 4
  for (int t = 0; t < NT; ++t)
#pragma GCC unroll 4
    for (int col = 0; col < 4; ++col) acc[t][col] = _mm_load_ps(ct + 16 * t + 4 * col);
  const float* bt = b;
  for (int K = 0; K < aBlockCols; ++K, bt += static_cast<size_t>(bBlockCols) * 16) {
    const float* at = arow + static_cast<size_t>(K) * 16;
    __m128 a0 = _mm_load_ps(at);
    __m128 a1 = _mm_load_ps(at + 4);
    __m128 a2 = _mm_load_ps(at + 8);
    __m128 a3 = _mm_load_ps(at + 12);
#pragma GCC unroll 4
    for (int t = 0; t < NT; ++t) {
#pragma GCC unroll 4
      for (int col = 0; col < 4; ++col) {
        __m128 bc = _mm_load_ps(bt + 16 * t + 4 * col);
        __m128 s = acc[t][col];
        s = _mm_add_ps(s, _mm_mul_ps(a0, Lane(bc, 0)));
        s = _mm_add_ps(s, _mm_mul_ps(a1, Lane(bc, 1)));
        s = _mm_add_ps(s, _mm_mul_ps(a2, Lane(bc, 2)));
        s = _mm_add_ps(s, _mm_mul_ps(a3, Lane(bc, 3)));
        acc[t][col] = s;
      }
    }
  }
#pragma GCC unroll 4
  for (int t = 0; t < NT; ++t)
#pragma GCC unroll 4
    for (int col = 0; col < 4; ++col) _mm_store_ps(ct + 16 * t + 4 * col, acc[t][col]);
}

void AddABSse2(const float* a, int aBlockRows, int aBlockCols, const float* b, int bBlockCols, float* c,
               int cBlockCols) {
  for (int I = 0; I < aBlockRows; ++I) {
    const float* arow = a + static_cast<size_t>(I) * aBlockCols * 16;
    float* crow = c + static_cast<size_t>(I) * cBlockCols * 16;
    int J = 0;
    for (; J + 2 <= bBlockCols; J += 2) TilesAB<2>(arow, aBlockCols, b + 16 * J, bBlockCols, crow + 16 * J);
    if (J < bBlockCols) TilesAB<1>(arow, aBlockCols, b + 16 * J, bBlockCols, crow + 16 * J);
  }
}

// NI tile rows of y at once, so that the dependent adds of one row overlap
// with those of the others.
template <int NI>
inline void RowsAX(const float* a, int blockCols, const float* x, float* y) {
  __m128 acc[NI];
  const float* at[NI];
#pragma GCC unroll 8
  for (int i = 0; i < NI; ++i) {
    acc[i] = _mm_loadu_ps(y + 4 * i);
    at[i] = a + static_cast<size_t>(i) * blockCols * 16;
  }
  for (int J = 0; J < blockCols; ++J) {
    __m128 xv = _mm_loadu_ps(x + 4 * J);
    __m128 x0 = Lane(xv, 0), x1 = Lane(xv, 1), x2 = Lane(xv, 2), x3 = Lane(xv, 3);
#pragma GCC unroll 8
    for (int i = 0; i < NI; ++i) {
      const float* t = at[i] + 16 * J;
      __m128 s = acc[i];
      s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t), x0));
      s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t + 4), x1));
      s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t + 8), x2));
      s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t + 12), x3));
      acc[i] = s;
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < NI; ++i) _mm_storeu_ps(y + 4 * i, acc[i]);
}

void AddAXSse2(const float* a, int blockRows, int blockCols, const float* x, float* y) {
  int I = 0;
  for (; I + 8 <= blockRows; I += 8) RowsAX<8>(a + static_cast<size_t>(I) * blockCols * 16, blockCols, x, y + 4 * I);
  for (; I < blockRows; ++I) RowsAX<1>(a + static_cast<size_t>(I) * blockCols * 16, blockCols, x, y + 4 * I);
}

}  // namespace

const ZTileKernels kTileKernelsSse2 = {"sse2", AddABSse2, AddAXSse2};

}  // namespace __kestrel4__
