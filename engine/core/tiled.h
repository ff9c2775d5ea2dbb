// The tiled matrix on which every network product runs: a float matrix held
// as 4 x 4 tiles of 64 bytes on 64-byte boundaries, cells column by column
// inside a tile, so that one tile column is one four-lane register. The
// blocked kernels (matrix x matrix here, matrix x vector as
// ZVec::Add_aAX_NENO) come in several processor paths that give identical
// bits; the path is chosen once per process (tile_kernels.h).
#ifndef KESTREL_CORE_TILED_H
#define KESTREL_CORE_TILED_H

#include "engine/core/io.h"
#include "engine/core/mat.h"

namespace __kestrel4__ {

class ZMat_Neon {
 public:
  // Standard form (transposed false): tile (I, J) covers rows 4I..4I+3 and
  // columns 4J..4J+3, tiles stored tile row by tile row. Transposed form:
  // the transpose of the rows x cols matrix held in the standard form.
  ZMat_Neon(int rows, int cols, bool transposed);
  ~ZMat_Neon();
  ZMat_Neon(const ZMat_Neon&) = delete;
  ZMat_Neon& operator=(const ZMat_Neon&) = delete;

  // m has this matrix's rows and cols (its padding columns zero).
  int CopyFrom(const ZMat* m);
  // Writes every real row of m over its whole padded width.
  int CopyTo(ZMat* m);
  int Clean();
  // Copies this matrix's blockRows x blockCols tiles from m.
  int Copy(const ZMat_Neon* m);
  // Every logical row <- v (builds the four-row bias matrices).
  int RowCopy_4(const ZVec* v);
  // Every tile row <- tile row 0 of m.
  int RowCopy_N(const ZMat_Neon* m);
  // Narrows the row count (standard form only); n must not exceed the
  // constructed row count.
  int ResetRow(int n);
  // Table lookups on every stored cell; sigmoid and tanh then put the
  // padding cells back to zero.
  int RowSigMoid();
  int RowTanh();
  int RowRelu();
  // this += A * B, all three in the standard form, A.blockCols ==
  // B.blockRows, this holding at least A.blockRows tile rows of
  // B.blockCols tiles. Allocates nothing.
  int Add_aAB_NEON(const ZMat_Neon* A, const ZMat_Neon* B);
  // Stored exactly like a plain matrix of (rows, cols).
  int Read(ZInput* in);
  int Write(ZOutput* out);
  int Print(const char* name);

  // Row count the storage was built for.
  int AllocRows() const { return allocRows; }

  bool transposed;
  int rows;
  int cols;
  int blockRows;
  int blockCols;
  float** blocks;  // blockRows x blockCols tiles of 16 floats, one contiguous area
  int padCount;
  int* padList;  // flat indices (tile * 16 + cell) of the padding cells, ascending
  float* scratch;

 private:
  void BuildPadList();
  int allocRows;
};

// ----------------------------------------------------------- kernel paths
// Every path computes each output cell with the same sequence of separately
// rounded multiplies and adds, so all paths give identical bits.
enum ZTilePath {
  kTilePathRef = 0,  // portable reference, always present
  kTilePathSse2 = 1,
  kTilePathAvx2 = 2,  // AVX2 without FMA
  kTilePathNeon = 3,
  kTilePathCount = 4,
};

// True when this build contains the path and the processor runs it.
bool z_tile_path_available(ZTilePath path);
const char* z_tile_path_name(ZTilePath path);
// The path in use; the first call picks the best one available.
ZTilePath z_tile_path();
// Makes `path` the process's path (tests and benchmarks compare paths);
// false, and no change, when the path is not available.
bool z_tile_force_path(ZTilePath path);

}  // namespace __kestrel4__

#endif
