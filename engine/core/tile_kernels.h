// The blocked kernels behind ZMat_Neon::Add_aAB_NEON and ZVec::Add_aAX_NENO,
// one table per processor path. Tiles are 16 floats, cell (r, c) at float
// 4c + r, tile (I, J) of a matrix with P tile columns at tile I * P + J.
//
// Contract shared by every path (the reason their results are bit-identical):
// each output cell starts from its stored value and receives, for tile index
// K ascending and k = 0..3 inside the tile, one multiply and one add, each
// rounded on its own. Paths may walk tiles in any order and put any cells
// side by side in a register, but never change one cell's sequence.
//
// This header is included by the per-path files, which are compiled with
// their own instruction-set flags: keep it free of inline code.
#ifndef KESTREL_CORE_TILE_KERNELS_H
#define KESTREL_CORE_TILE_KERNELS_H

namespace __kestrel4__ {

// c += a * b: a has aBlockRows x aBlockCols tiles, b has aBlockCols x
// bBlockCols tiles, c has tile rows of cBlockCols tiles (at least bBlockCols).
typedef void (*ZTileAddAB)(const float* a, int aBlockRows, int aBlockCols, const float* b, int bBlockCols, float* c,
                           int cBlockCols);
// y += a * x: a has blockRows x blockCols tiles; reads x[0 .. 4*blockCols),
// writes y[0 .. 4*blockRows).
typedef void (*ZTileAddAX)(const float* a, int blockRows, int blockCols, const float* x, float* y);

struct ZTileKernels {
  const char* name;
  ZTileAddAB addAB;
  ZTileAddAX addAX;
};

extern const ZTileKernels kTileKernelsRef;
#if defined(__x86_64__) || defined(__i386__)
extern const ZTileKernels kTileKernelsSse2;
extern const ZTileKernels kTileKernelsAvx2;
#endif
#if defined(__arm__) || defined(__aarch64__)
extern const ZTileKernels kTileKernelsNeon;
#endif

// The table in use (chosen on first use).
const ZTileKernels* z_tile_kernels();

}  // namespace __kestrel4__

#endif
