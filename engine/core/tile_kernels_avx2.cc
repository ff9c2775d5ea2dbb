// AVX2 path of the blocked kernels, compiled with -mavx2 -mno-fma: separate
// multiplies and adds, eight lanes wide, so two tiles go through one
// instruction. The matrix product turns the tiles around inside registers:
// one register holds row r of two neighbouring C tiles, the A cell (r, k) is a
// broadcast load, and row k of the two B tiles comes from a transpose, so the
// eight lanes are eight cells that each take exactly their own products, k
// ascending, K ascending. Each group of C tiles stays in registers for the
// whole K sweep.
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

// 4 x 4 transpose inside each 128-bit half.
inline void Transpose4(__m256& r0, __m256& r1, __m256& r2, __m256& r3) {
  __m256 t0 = _mm256_unpacklo_ps(r0, r1);
  __m256 t1 = _mm256_unpackhi_ps(r0, r1);
  __m256 t2 = _mm256_unpacklo_ps(r2, r3);
  __m256 t3 = _mm256_unpackhi_ps(r2, r3);
  r0 = _mm256_shuffle_ps(t0, t2, 0x44);
  r1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  r2 = _mm256_shuffle_ps(t1, t3, 0x44);
  r3 = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// GI tile rows of C times 2 * NP tile columns, starting at a = A(I, 0),
// b = B(0, J), c = C(I, J).
template <int GI, int NP>
inline void BlockAB(const float* a, int aBlockCols, const float* b, int bBlockCols, float* c, int cBlockCols) {
  __m256 acc[GI][NP][4];
#pragma GCC unroll 2
  for (int g = 0; g < GI; ++g) {
#pragma GCC unroll 2
    for (int p = 0; p < NP; ++p) {
      const float* ct = c + (static_cast<size_t>(g) * cBlockCols + 2 * p) * kTile;
      __m256* v = acc[g][p];
      v[0] = Pair(ct, ct + kTile);
      v[1] = Pair(ct + 4, ct + kTile + 4);
      v[2] = Pair(ct + 8, ct + kTile + 8);
      v[3] = Pair(ct + 12, ct + kTile + 12);
      Transpose4(v[0], v[1], v[2], v[3]);  // columns -> rows
    }
  }
  const float* bt = b;
  for (int K = 0; K < aBlockCols; ++K, bt += static_cast<size_t>(bBlockCols) * kTile) {
#pragma GCC unroll 2
    for (int p = 0; p < NP; ++p) {
      const float* bp = bt + 2 * p * kTile;
      __m256 br[4];
      br[0] = Pair(bp, bp + kTile);
      br[1] = Pair(bp + 4, bp + kTile + 4);
      br[2] = Pair(bp + 8, bp + kTile + 8);
      br[3] = Pair(bp + 12, bp + kTile + 12);
      Transpose4(br[0], br[1], br[2], br[3]);  // br[k] = row k of both B tiles
#pragma GCC unroll 2
      for (int g = 0; g < GI; ++g) {
        const float* at = a + (static_cast<size_t>(g) * aBlockCols + K) * kTile;
        __m256* v = acc[g][p];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
#pragma GCC unroll 4
          for (int r = 0; r < 4; ++r) v[r] = _mm256_add_ps(v[r], _mm256_mul_ps(_mm256_broadcast_ss(at + 4 * k + r), br[k]));
        }
      }
    }
  }
#pragma GCC unroll 2
  for (int g = 0; g < GI; ++g) {
#pragma GCC unroll 2
    for (int p = 0; p < NP; ++p) {
      float* ct = c + (static_cast<size_t>(g) * cBlockCols + 2 * p) * kTile;
      __m256* v = acc[g][p];
      Transpose4(v[0], v[1], v[2], v[3]);  // rows -> columns
#pragma GCC unroll 4
      for (int col = 0; col < 4; ++col) {
        _mm_store_ps(ct + 4 * col, _mm256_castps256_ps128(v[col]));
        _mm_store_ps(ct + kTile + 4 * col, _mm256_extractf128_ps(v[col], 1));
      }
    }
  }
}

// The same for a single tile column (the odd one at the end of a tile row).
template <int GI>
inline void SingleAB(const float* a, int aBlockCols, const float* b, int bBlockCols, float* c, int cBlockCols) {
  __m128 acc[GI][4];
#pragma GCC unroll 2
  for (int g = 0; g < GI; ++g) {
    const float* ct = c + static_cast<size_t>(g) * cBlockCols * kTile;
    __m128* v = acc[g];
    v[0] = _mm_load_ps(ct);
    v[1] = _mm_load_ps(ct + 4);
    v[2] = _mm_load_ps(ct + 8);
    v[3] = _mm_load_ps(ct + 12);
    _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
  }
  const float* bt = b;
  for (int K = 0; K < aBlockCols; ++K, bt += static_cast<size_t>(bBlockCols) * kTile) {
    __m128 br0 = _mm_load_ps(bt), br1 = _mm_load_ps(bt + 4), br2 = _mm_load_ps(bt + 8), br3 = _mm_load_ps(bt + 12);
    _MM_TRANSPOSE4_PS(br0, br1, br2, br3);
    const __m128 br[4] = {br0, br1, br2, br3};
#pragma GCC unroll 2
    for (int g = 0; g < GI; ++g) {
      const float* at = a + (static_cast<size_t>(g) * aBlockCols + K) * kTile;
      __m128* v = acc[g];
#pragma GCC unroll 4
      for (int k = 0; k < 4; ++k) {
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r) v[r] = _mm_add_ps(v[r], _mm_mul_ps(_mm_broadcast_ss(at + 4 * k + r), br[k]));
      }
    }
  }
#pragma GCC unroll 2
  for (int g = 0; g < GI; ++g) {
    float* ct = c + static_cast<size_t>(g) * cBlockCols * kTile;
    __m128* v = acc[g];
    _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
    _mm_store_ps(ct, v[0]);
    _mm_store_ps(ct + 4, v[1]);
    _mm_store_ps(ct + 8, v[2]);
    _mm_store_ps(ct + 12, v[3]);
  }
}

template <int GI>
inline void TileRowsAB(const float* a, int aBlockCols, const float* b, int bBlockCols, float* c, int cBlockCols) {
  int J = 0;
  // Eight accumulator registers per group: enough independent add chains to
  // keep both adders busy.
  constexpr int kPairs = GI == 1 ? 2 : 1;
  for (; J + 2 * kPairs <= bBlockCols; J += 2 * kPairs)
    BlockAB<GI, kPairs>(a, aBlockCols, b + J * kTile, bBlockCols, c + J * kTile, cBlockCols);
  for (; J + 2 <= bBlockCols; J += 2) BlockAB<GI, 1>(a, aBlockCols, b + J * kTile, bBlockCols, c + J * kTile, cBlockCols);
  if (J < bBlockCols) SingleAB<GI>(a, aBlockCols, b + J * kTile, bBlockCols, c + J * kTile, cBlockCols);
}

void AddABAvx2(const float* a, int aBlockRows, int aBlockCols, const float* b, int bBlockCols, float* c,
               int cBlockCols) {
  int I = 0;
  for (; I + 2 <= aBlockRows; I += 2)
    TileRowsAB<2>(a + static_cast<size_t>(I) * aBlockCols * kTile, aBlockCols, b, bBlockCols,
                  c + static_cast<size_t>(I) * cBlockCols * kTile, cBlockCols);
  if (I < aBlockRows)
    TileRowsAB<1>(a + static_cast<size_t>(I) * aBlockCols * kTile, aBlockCols, b, bBlockCols,
                  c + static_cast<size_t>(I) * cBlockCols * kTile, cBlockCols);
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
