#include "engine/core/tiled.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/core/array.h"
#include "engine/core/tile_kernels.h"

#if defined(__arm__) && !defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace __kestrel4__ {

// ---------------------------------------------------------------- paths

namespace {

const ZTileKernels* TableOf(ZTilePath path) {
  switch (path) {
    case kTilePathRef:
      return &kTileKernelsRef;
#if defined(__x86_64__) || defined(__i386__)
    case kTilePathSse2:
      return &kTileKernelsSse2;
    case kTilePathAvx2:
      return &kTileKernelsAvx2;
#endif
#if defined(__arm__) || defined(__aarch64__)
    case kTilePathNeon:
      return &kTileKernelsNeon;
#endif
    default:
      return nullptr;
  }
}

bool ProcessorRuns(ZTilePath path) {
  switch (path) {
    case kTilePathRef:
      return true;
#if defined(__x86_64__) || defined(__i386__)
    case kTilePathSse2:
      return __builtin_cpu_supports("sse2");
    case kTilePathAvx2:
      // The check includes the operating system's support for the wide
      // registers.
      return __builtin_cpu_supports("avx2");
#endif
#if defined(__aarch64__)
    case kTilePathNeon:
      return true;
#elif defined(__arm__)
    case kTilePathNeon:
      return (getauxval(AT_HWCAP) & (1UL << 12)) != 0;  // HWCAP_NEON
#endif
    default:
      return false;
  }
}

ZTilePath BestPath() {
  static const ZTilePath kOrder[] = {kTilePathAvx2, kTilePathNeon, kTilePathSse2};
  for (ZTilePath p : kOrder)
    if (z_tile_path_available(p)) return p;
  return kTilePathRef;
}

// -1 until the first use picks a path.
std::atomic<int> g_path{-1};

}  // namespace

bool z_tile_path_available(ZTilePath path) { return TableOf(path) != nullptr && ProcessorRuns(path); }

const char* z_tile_path_name(ZTilePath path) {
  static const char* kNames[] = {"ref", "sse2", "avx2", "neon"};
  return path >= 0 && path < kTilePathCount ? kNames[path] : "unknown";
}

ZTilePath z_tile_path() {
  int p = g_path.load(std::memory_order_acquire);
  if (p < 0) {
    int expected = -1;
    g_path.compare_exchange_strong(expected, BestPath(), std::memory_order_acq_rel);
    p = g_path.load(std::memory_order_acquire);
  }
  return static_cast<ZTilePath>(p);
}

bool z_tile_force_path(ZTilePath path) {
  if (!z_tile_path_available(path)) return false;
  g_path.store(path, std::memory_order_release);
  return true;
}

const ZTileKernels* z_tile_kernels() { return TableOf(z_tile_path()); }

// ---------------------------------------------------------------- ZMat_Neon

namespace {

inline int CeilDiv4(int n) { return (n + 3) / 4; }

inline void Transpose16(float* t) {
  for (int r = 0; r < 4; ++r)
    for (int c = r + 1; c < 4; ++c) {
      float v = t[4 * r + c];
      t[4 * r + c] = t[4 * c + r];
      t[4 * c + r] = v;
    }
}

inline float* Tile(float** blocks, int index) { return blocks[0] + static_cast<size_t>(index) * 16; }

}  // namespace

ZMat_Neon::ZMat_Neon(int r, int c, bool t)
    : transposed(t),
      rows(r),
      cols(c),
      blockRows(t ? CeilDiv4(c) : CeilDiv4(r)),
      blockCols(t ? CeilDiv4(r) : CeilDiv4(c)),
      blocks(nullptr),
      padCount(0),
      padList(nullptr),
      scratch(nullptr),
      allocRows(r) {
  if (r > 0 && c > 0)
    blocks = reinterpret_cast<float**>(
        z_new_sse_ar2(sizeof(float), static_cast<size_t>(blockRows) * blockCols, 16, 64));
  scratch = static_cast<float*>(z_new_sse_ar1(sizeof(float), 16, 16));
  if (blocks == nullptr) blockRows = blockCols = 0;
  BuildPadList();
}

ZMat_Neon::~ZMat_Neon() {
  z_free_ar2(reinterpret_cast<void**>(blocks));
  std::free(padList);
  std::free(scratch);
}

void ZMat_Neon::BuildPadList() {
  if ((rows % 4 == 0 && cols % 4 == 0) || blocks == nullptr) return;
  // Mark every real cell through the ordinary fill and collect what stays 0.
  ZMat ones(rows, cols);
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) ones.row[i][j] = 1.0f;
  CopyFrom(&ones);
  const int cells = blockRows * blockCols * 16;
  const float* f = blocks[0];
  int n = 0;
  for (int i = 0; i < cells; ++i)
    if (f[i] < 0.5f) ++n;
  padList = static_cast<int*>(z_new_ar1(sizeof(int), n));
  if (padList != nullptr) {
    padCount = n;
    int k = 0;
    for (int i = 0; i < cells; ++i)
      if (f[i] < 0.5f) padList[k++] = i;
  }
  Clean();
}

int ZMat_Neon::CopyFrom(const ZMat* m) {
  if (blocks == nullptr) return 0;
  if (!transposed) {
    for (int I = 0; I < blockRows; ++I)
      for (int J = 0; J < blockCols; ++J) {
        float* t = Tile(blocks, I * blockCols + J);
        for (int r = 0; r < 4 && 4 * I + r < rows; ++r) std::memcpy(t + 4 * r, m->row[4 * I + r] + 4 * J, 16);
        Transpose16(t);
      }
  } else {
    for (int I = 0; I < blockRows; ++I)
      for (int J = 0; J < blockCols; ++J) {
        float* t = Tile(blocks, I * blockCols + J);
        for (int r = 0; r < 4 && 4 * J + r < rows; ++r) std::memcpy(t + 4 * r, m->row[4 * J + r] + 4 * I, 16);
      }
  }
  return 0;
}

int ZMat_Neon::CopyTo(ZMat* m) {
  if (blocks == nullptr) return 0;
  if (!transposed) {
    for (int I = 0; I < blockRows; ++I)
      for (int J = 0; J < blockCols; ++J) {
        std::memcpy(scratch, Tile(blocks, I * blockCols + J), 64);
        Transpose16(scratch);
        for (int r = 0; r < 4 && 4 * I + r < rows; ++r) std::memcpy(m->row[4 * I + r] + 4 * J, scratch + 4 * r, 16);
      }
  } else {
    for (int I = 0; I < blockRows; ++I)
      for (int J = 0; J < blockCols; ++J) {
        const float* t = Tile(blocks, I * blockCols + J);
        for (int r = 0; r < 4 && 4 * J + r < rows; ++r) std::memcpy(m->row[4 * J + r] + 4 * I, t + 4 * r, 16);
      }
  }
  return 0;
}

int ZMat_Neon::Clean() {
  if (blocks != nullptr) std::memset(blocks[0], 0, sizeof(float) * 16 * blockRows * blockCols);
  return 0;
}

int ZMat_Neon::Copy(const ZMat_Neon* m) {
  if (blocks != nullptr) std::memcpy(blocks[0], m->blocks[0], sizeof(float) * 16 * blockRows * blockCols);
  return 0;
}

int ZMat_Neon::RowCopy_4(const ZVec* v) {
  ZMat tmp(rows, cols);
  tmp.RowCopy(v);
  return CopyFrom(&tmp);
}

int ZMat_Neon::RowCopy_N(const ZMat_Neon* m) {
  if (blocks == nullptr) return 0;
  const size_t bytes = sizeof(float) * 16 * blockCols;
  for (int I = 0; I < blockRows; ++I) std::memcpy(Tile(blocks, I * blockCols), m->blocks[0], bytes);
  return 0;
}

int ZMat_Neon::ResetRow(int n) {
  rows = n;
  blockRows = CeilDiv4(n);
  return 0;
}

int ZMat_Neon::RowSigMoid() {
  if (blocks == nullptr) return 0;
  float* f = blocks[0];
  const int cells = 16 * blockRows * blockCols;
  for (int i = 0; i < cells; ++i) f[i] = ZMat::m_plogtab2[z_tab_index(f[i])];
  for (int i = 0; i < padCount; ++i) f[padList[i]] = 0.0f;
  return 0;
}

int ZMat_Neon::RowTanh() {
  if (blocks == nullptr) return 0;
  float* f = blocks[0];
  const int cells = 16 * blockRows * blockCols;
  for (int i = 0; i < cells; ++i) f[i] = ZMat::m_plogtab3[z_tab_index(f[i])];
  for (int i = 0; i < padCount; ++i) f[padList[i]] = 0.0f;
  return 0;
}

int ZMat_Neon::RowRelu() {
  if (blocks == nullptr) return 0;
  float* f = blocks[0];
  const int cells = 16 * blockRows * blockCols;
  for (int i = 0; i < cells; ++i)
    if (f[i] < 0.0f) f[i] = 0.0f;
  return 0;
}

int ZMat_Neon::Add_aAB_NEON(const ZMat_Neon* A, const ZMat_Neon* B) {
  if (A->blockRows <= 0 || A->blockCols <= 0 || B->blockCols <= 0) return 0;
  z_tile_kernels()->addAB(A->blocks[0], A->blockRows, A->blockCols, B->blocks[0], B->blockCols, blocks[0], blockCols);
  return 0;
}

int ZMat_Neon::Read(ZInput* in) {
  ZMat tmp(rows, cols);
  tmp.Read(in);
  return CopyFrom(&tmp);
}

int ZMat_Neon::Write(ZOutput* out) {
  ZMat tmp(rows, cols);
  CopyTo(&tmp);
  return tmp.Write(out);
}

int ZMat_Neon::Print(const char* name) {
  ZMat tmp(rows, cols);
  CopyTo(&tmp);
  return tmp.Print(name);
}

// ---------------------------------------------------------------- ZVec

int ZVec::Add_aAX_NENO(const ZMat_Neon* A, const ZVec* x) {
  if (A->blockRows <= 0 || A->blockCols <= 0) return 0;
  z_tile_kernels()->addAX(A->blocks[0], A->blockRows, A->blockCols, x->data, data);
  return 0;
}

}  // namespace __kestrel4__
