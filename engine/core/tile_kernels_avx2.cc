// AVX2 path of the blocked kernels, compiled with -mavx2 -mno-fma: separate
// multiplies and adds, eight lanes wide, so two tile columns (or two tile
// rows) go through one instruction. Every lane is one output cell that takes
// exactly its own products, k ascending within a tile, K ascending across
// tiles, as in the reference.
#include <immintrin.h>

#include <cstddef>

#include "engine/core/tile_kernels.h"

namespace __kestrel4__ {

namespace {

constexpr size_t kTile = 16;

// [lo 4 floats | hi 4 floats]
inline __m256 Pair(const float* lo, const float* hi) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(lo)), _mm_load_ps(hi), 1);
}

// One sweep of C tile rows I..I+GI-1 over tile columns [0, n) with the A
// tiles of one K: every C tile gets the four products of that K. Lanes: two
// neighbouring columns of one C tile ([col c | col c+1], contiguous in the
// tile); the A column k is repeated in both halves ([a_k | a_k]) and B's
// cells (k, c) and (k, c+1) are spread over the matching halves by an
// in-lane permute of the loaded [B col c | B col c+1].
template <int GI>
inline void SweepAB(const float* a, size_t aRowStride, const float* bt, float* c, size_t cRowStride, int n) {
  __m256 ak[GI][4];
#pragma GCC unroll 2
  for (int g = 0; g < GI; ++g)
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
      ak[g][k] = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(a + g * aRowStride + 4 * k));
  for (int J = 0; J < n; ++J) {
    const float* bj = bt + J * kTile;
    const __m256 b01 = _mm256_load_ps(bj);
    const __m256 b23 = _mm256_load_ps(bj + 8);
    __m256 c01[GI], c23[GI];
#pragma GCC unroll 2
    for (int g = 0; g < GI; ++g) {
      c01[g] = _mm256_load_ps(c + g * cRowStride + J * kTile);
      c23[g] = _mm256_load_ps(c + g * cRowStride + J * kTile + 8);
    }
#define KESTREL_TILE_STEP(k, imm)                                           \
  {                                                                         \
    const __m256 p01 = _mm256_permute_ps(b01, imm);                         \
    const __m256 p23 = _mm256_permute_ps(b23, imm);                         \
    for (int g = 0; g < GI; ++g) {                                          \
      c01[g] = _mm256_add_ps(c01[g], _mm256_mul_ps(ak[g][k], p01));         \
      c23[g] = _mm256_add_ps(c23[g], _mm256_mul_ps(ak[g][k], p23));         \
    }                                                                       \
  }
    KESTREL_TILE_STEP(0, 0x00)
    KESTREL_TILE_STEP(1, 0x55)
    KESTREL_TILE_STEP(2, 0xAA)
    KESTREL_TILE_STEP(3, 0xFF)
#undef KESTREL_TILE_STEP
#pragma GCC unroll 2
    for (int g = 0; g < GI; ++g) {
      _mm256_store_ps(c + g * cRowStride + J * kTile, c01[g]);
      _mm256_store_ps(c + g * cRowStride + J * kTile + 8, c23[g]);
    }
  }
}

// C tile columns are taken in blocks of 512 (32 KB of C per tile row) while K
// runs over the whole shared dimension: the block of C stays close in the
// cache and B is read in long contiguous runs. (Measured on the acoustic
// model's shapes; whole rows of a 5191-wide B were half as fast.)
constexpr int kJBlock = 512;

void AddABAvx2(const float* a, int aBlockRows, int aBlockCols, const float* b, int bBlockCols, float* c,
               int cBlockCols) {
  const size_t aRowStride = static_cast<size_t>(aBlockCols) * kTile;
  const size_t bRowStride = static_cast<size_t>(bBlockCols) * kTile;
  const size_t cRowStride = static_cast<size_t>(cBlockCols) * kTile;
  for (int J0 = 0; J0 < bBlockCols; J0 += kJBlock) {
    const int n = bBlockCols - J0 < kJBlock ? bBlockCols - J0 : kJBlock;
    for (int K = 0; K < aBlockCols; ++K) {
      const float* bt = b + K * bRowStride + J0 * kTile;
      int I = 0;
      for (; I + 2 <= aBlockRows; I += 2)
        SweepAB<2>(a + I * aRowStride + K * kTile, aRowStride, bt, c + I * cRowStride + J0 * kTile, cRowStride, n);
      if (I < aBlockRows)
        SweepAB<1>(a + I * aRowStride + K * kTile, aRowStride, bt, c + I * cRowStride + J0 * kTile, cRowStride, n);
    }
  }
}

// Matrix x vector: one register holds the four accumulators of two
// neighbouring tile rows (contiguous in y); NP such pairs run side by side.
template <int NP>
inline void PairsAX(const float* a, int blockCols, const float* x, float* y) {
  const size_t rowStride = static_cast<size_t>(blockCols) * kTile;
  __m256 acc[NP];
#pragma GCC unroll 4
  for (int p = 0; p < NP; ++p) acc[p] = _mm256_loadu_ps(y + 8 * p);
  for (int J = 0; J < blockCols; ++J) {
    const __m256 x0 = _mm256_broadcast_ss(x + 4 * J);
    const __m256 x1 = _mm256_broadcast_ss(x + 4 * J + 1);
    const __m256 x2 = _mm256_broadcast_ss(x + 4 * J + 2);
    const __m256 x3 = _mm256_broadcast_ss(x + 4 * J + 3);
#pragma GCC unroll 4
    for (int p = 0; p < NP; ++p) {
      const float* t0 = a + 2 * p * rowStride + J * kTile;
      const float* t1 = t0 + rowStride;
      __m256 s = acc[p];
      s = _mm256_add_ps(s, _mm256_mul_ps(Pair(t0, t1), x0));
      s = _mm256_add_ps(s, _mm256_mul_ps(Pair(t0 + 4, t1 + 4), x1));
      s = _mm256_add_ps(s, _mm256_mul_ps(Pair(t0 + 8, t1 + 8), x2));
      s = _mm256_add_ps(s, _mm256_mul_ps(Pair(t0 + 12, t1 + 12), x3));
      acc[p] = s;
    }
  }
#pragma GCC unroll 4
  for (int p = 0; p < NP; ++p) _mm256_storeu_ps(y + 8 * p, acc[p]);
}

inline void SingleAX(const float* a, int blockCols, const float* x, float* y) {
  __m128 s = _mm_loadu_ps(y);
  for (int J = 0; J < blockCols; ++J) {
    const float* t = a + J * kTile;
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t), _mm_broadcast_ss(x + 4 * J)));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t + 4), _mm_broadcast_ss(x + 4 * J + 1)));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t + 8), _mm_broadcast_ss(x + 4 * J + 2)));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(t + 12), _mm_broadcast_ss(x + 4 * J + 3)));
  }
  _mm_storeu_ps(y, s);
}

void AddAXAvx2(const float* a, int blockRows, int blockCols, const float* x, float* y) {
  const size_t rowStride = static_cast<size_t>(blockCols) * kTile;
  int I = 0;
  for (; I + 8 <= blockRows; I += 8) PairsAX<4>(a + I * rowStride, blockCols, x, y + 4 * I);
  for (; I + 2 <= blockRows; I += 2) PairsAX<1>(a + I * rowStride, blockCols, x, y + 4 * I);
  if (I < blockRows) SingleAX(a + I * rowStride, blockCols, x, y + 4 * I);
}

}  // namespace

const ZTileKernels kTileKernelsAvx2 = {"avx2", AddABAvx2, AddAXAvx2};

}  // namespace __kestrel4__
