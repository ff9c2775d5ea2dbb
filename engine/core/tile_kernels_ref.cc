// Portable reference of the blocked kernels, written in exactly the order the
// device's NEON code runs: for the matrix product, tile row I of C is swept
// once per K, and every column of a C tile takes its four products one after
// the other, each multiply and each add rounded on its own. The SIMD paths are
// tested against this file bit for bit; keep it even where no build uses it.
#include <cstddef>

#include "engine/core/tile_kernels.h"

namespace __kestrel4__ {

namespace {

void AddABRef(const float* a, int aBlockRows, int aBlockCols, const float* b, int bBlockCols, float* c,
              int cBlockCols) {
  for (int I = 0; I < aBlockRows; ++I) {
    for (int K = 0; K < aBlockCols; ++K) {
      const float* at = a + (static_cast<size_t>(I) * aBlockCols + K) * 16;
      const float* bt = b + static_cast<size_t>(K) * bBlockCols * 16;
      float* ct = c + static_cast<size_t>(I) * cBlockCols * 16;
      for (int J = 0; J < bBlockCols; ++J, bt += 16, ct += 16) {
        for (int col = 0; col < 4; ++col) {
          for (int r = 0; r < 4; ++r) {
            float acc = ct[4 * col + r];
            float p;
            p = at[0 + r] * bt[4 * col + 0];
            acc = acc + p;
            p = at[4 + r] * bt[4 * col + 1];
            acc = acc + p;
            p = at[8 + r] * bt[4 * col + 2];
            acc = acc + p;
            p = at[12 + r] * bt[4 * col + 3];
            acc = acc + p;
            ct[4 * col + r] = acc;
          }
        }
      }
    }
  }
}

void AddAXRef(const float* a, int blockRows, int blockCols, const float* x, float* y) {
  for (int I = 0; I < blockRows; ++I) {
    float acc[4] = {y[4 * I], y[4 * I + 1], y[4 * I + 2], y[4 * I + 3]};
    const float* at = a + static_cast<size_t>(I) * blockCols * 16;
    for (int J = 0; J < blockCols; ++J, at += 16) {
      const float* xj = x + 4 * J;
      for (int r = 0; r < 4; ++r) {
        float p;
        p = at[0 + r] * xj[0];
        acc[r] = acc[r] + p;
        p = at[4 + r] * xj[1];
        acc[r] = acc[r] + p;
        p = at[8 + r] * xj[2];
        acc[r] = acc[r] + p;
        p = at[12 + r] * xj[3];
        acc[r] = acc[r] + p;
      }
    }
    for (int r = 0; r < 4; ++r) y[4 * I + r] = acc[r];
  }
}

}  // namespace

const ZTileKernels kTileKernelsRef = {"ref", AddABRef, AddAXRef};

}  // namespace __kestrel4__
