// NEON path of the blocked kernels, the device's own: whole tile columns as
// quad registers, multiply by lane, the next tiles of B and C prefetched.
// Multiplies and adds are separate instructions (never fused), so each lane
// rounds exactly as the reference does. Note: 32-bit ARM NEON always flushes
// subnormal numbers to zero, so on that processor only normal-range values
// give the reference's bits.
#include <arm_neon.h>

#include "engine/core/tile_kernels.h"

namespace __kestrel4__ {

namespace {

inline float32x4_t MulAdd(float32x4_t acc, float32x4_t a, float32x2_t b, int lane) {
  return vaddq_f32(acc, lane == 0 ? vmulq_lane_f32(a, b, 0) : vmulq_lane_f32(a, b, 1));
}

void AddABNeon(const float* a, int aBlockRows, int aBlockCols, const float* b, int bBlockCols, float* c,
               int cBlockCols) {
  for (int I = 0; I < aBlockRows; ++I) {
    for (int K = 0; K < aBlockCols; ++K) {
      const float* at = a + (static_cast<unsigned long>(I) * aBlockCols + K) * 16;
      const float32x4_t a0 = vld1q_f32(at);
      const float32x4_t a1 = vld1q_f32(at + 4);
      const float32x4_t a2 = vld1q_f32(at + 8);
      const float32x4_t a3 = vld1q_f32(at + 12);
      const float* bt = b + static_cast<unsigned long>(K) * bBlockCols * 16;
      float* ct = c + static_cast<unsigned long>(I) * cBlockCols * 16;
      for (int J = 0; J < bBlockCols; ++J, bt += 16, ct += 16) {
        __builtin_prefetch(bt + 16);
        __builtin_prefetch(ct + 16, 1);
        for (int col = 0; col < 4; ++col) {
          const float32x4_t bc = vld1q_f32(bt + 4 * col);
          const float32x2_t lo = vget_low_f32(bc);
          const float32x2_t hi = vget_high_f32(bc);
          float32x4_t s = vld1q_f32(ct + 4 * col);
          s = MulAdd(s, a0, lo, 0);
          s = MulAdd(s, a1, lo, 1);
          s = MulAdd(s, a2, hi, 0);
          s = MulAdd(s, a3, hi, 1);
          vst1q_f32(ct + 4 * col, s);
        }
      }
    }
  }
}

void AddAXNeon(const float* a, int blockRows, int blockCols, const float* x, float* y) {
  for (int I = 0; I < blockRows; ++I) {
    float32x4_t s = vld1q_f32(y + 4 * I);
    const float* at = a + static_cast<unsigned long>(I) * blockCols * 16;
    for (int J = 0; J < blockCols; ++J, at += 16) {
      __builtin_prefetch(at + 16);
      const float32x4_t xv = vld1q_f32(x + 4 * J);
      const float32x2_t lo = vget_low_f32(xv);
      const float32x2_t hi = vget_high_f32(xv);
      s = MulAdd(s, vld1q_f32(at), lo, 0);
      s = MulAdd(s, vld1q_f32(at + 4), lo, 1);
      s = MulAdd(s, vld1q_f32(at + 8), hi, 0);
      s = MulAdd(s, vld1q_f32(at + 12), hi, 1);
    }
    vst1q_f32(y + 4 * I, s);
  }
}

}  // namespace

const ZTileKernels kTileKernelsNeon = {"neon", AddABNeon, AddAXNeon};

}  // namespace __kestrel4__
