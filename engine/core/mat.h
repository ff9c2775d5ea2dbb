// Float vectors and matrices with padded, aligned storage, the complex matrix
// of spectra, and the three process-wide lookup tables through which every
// sigmoid, tanh and log-domain addition of the network is evaluated.
//
// Vectors hold ceil(len/16)*16 floats, matrix rows are padded to a multiple
// of 4 floats and 16-byte aligned, so the four-wide kernels never need a tail.
// General products go to CBLAS; the network's hot paths use the tiled matrix
// (tiled.h).
#ifndef KESTREL_CORE_MAT_H
#define KESTREL_CORE_MAT_H

#include <string>

#include "engine/core/io.h"

namespace __kestrel4__ {

class ZMat;
class ZMat_Neon;

// Lookup tables: entry a stands for x = (a - 16000) / 1000, x in [-16, 16].
constexpr int kTabSize = 32001;
constexpr int kTabMid = 16000;

// Table index of x for sigmoid/tanh/log-add: the clamp at +-15.9 and the
// truncated single-precision index of the reference implementation.
// A value that is not a number (a corrupt model, a broken input) takes entry
// 0 instead of an index far outside the table.
inline int z_tab_index(float x) {
  if (!(x >= -15.9f)) return 0;
  if (x > 15.9f) return kTabSize - 1;
  float p = x * 1000.0f;
  float s = 16000.0f + p;
  return static_cast<int>(s);
}

class ZVec {
 public:
  explicit ZVec(int n);
  ~ZVec();
  ZVec(const ZVec&) = delete;
  ZVec& operator=(const ZVec&) = delete;

  int Clean();
  int CheckMaxSize(int m);
  int Copy(const ZVec* v);
  int Add(float x);
  int RowAdd(ZVec* v);
  int RowMul(ZVec* v);
  int RowMul(float x);
  int Add_aXY(ZVec* x, ZVec* y);
  int Add_aAX_NENO(const ZMat_Neon* A, const ZVec* x);  // defined with the tiled kernels
  int RowSigMoid();
  int RowTanh();
  int RowRelu();
  int RowSoftMax();
  int RowActive(const std::string& name);
  float Sum();
  float Dot(ZVec* v) const;
  float Dot(const float* p) const;
  int MaxId();
  int RowSum2(ZMat* m);
  int Add_aX(ZVec* x, float a);
  int Add_aAX(const ZMat* A, const ZVec* x, float a);
  int Add_aATX(ZMat* A, ZVec* x, float a);
  int Add_aAX_Sy(ZMat* A, ZVec* x, float a);
  int Print(const char* name);
  int Read(ZInput* in);
  int Write(ZOutput* out);

  // Floats the storage holds (len rounded up to 16).
  int Capacity() const { return (len + 15) / 16 * 16; }

  int len;
  float* data;
  float* base;
};

class ZMat {
 public:
  ZMat(int rows, int cols);
  ~ZMat();
  ZMat(const ZMat&) = delete;
  ZMat& operator=(const ZMat&) = delete;

  int Clean();
  int Copy(const ZMat* m);
  int Copy(ZVec** v, int n);
  int RowCopy(const ZVec* v);
  int RowCopy_4(const ZVec* v);
  int RowCopy_N(const ZMat* m);
  int ResetRow(int n);
  int RowMul(float x);
  int RowMul(ZVec* v);
  int RowAdd(const ZVec* v);
  int RowSigMoid();
  int RowTanh();
  int RowRelu();
  int RowSoftMax();
  int Add(float x);
  int Add_aA(const ZMat* A, float a);
  int Add_aXYT(const ZVec* x, const ZVec* y, float a);
  int Add_aAB(const ZMat* A, const ZMat* B, float a);
  int Add_aATB(const ZMat* A, const ZMat* B, float a);
  int Add_aABT(const ZMat* A, const ZMat* B, float a);
  int RandInit();
  int FixInit();
  int Print(const char* name);
  int Print_I(const char* name);
  int Read(ZInput* in);
  int Write(ZOutput* out);
  int Read_Sy(ZInput* in);
  int Write_Sy(ZOutput* out);

  static int InitQuickExp();
  static int ExitQuickExp();
  static float QuickLogAdd(float a, float b);

  static float* m_plogtab1;  // ln(1 + e^-x)
  static float* m_plogtab2;  // sigmoid
  static float* m_plogtab3;  // tanh

  int rows;
  int cols;
  int stride;
  float** row;
  float** base;
  int allocRows;  // rows the storage was built for (ResetRow narrows `rows`)
};

struct ZComplex {
  float re;
  float im;
};

class ZCMat {
 public:
  ZCMat(int rows, int cols);
  ~ZCMat();
  ZCMat(const ZCMat&) = delete;
  ZCMat& operator=(const ZCMat&) = delete;

  int Clean();
  int Print(const char* name);
  // Phase transform of the cross-spectra of microphone pairs: for each pair
  // row (two int microphone indices stored in the float cells) and each of
  // the first ceil4(N/2 + 1) bins, X * conj(Y) scaled to unit magnitude.
  static int CalcGcc(ZCMat* spectra, ZMat* pairs, ZCMat* out);

  int rows;
  int cols;
  int stride;
  ZComplex** row;
};

// The lookup tables are shared by three engine families (wake word,
// classifier, localiser). Each family's *_sysinit marks itself as a user and
// its *_sysexit unmarks itself; the tables are released only when no family
// is left, so one family's exit never pulls them from under another that
// still evaluates. A family holds at most one mark, so a repeated sysinit
// needs no matching extra sysexit.
enum ZTableUser { kTablesVt = 1, kTablesCf = 2, kTablesSl = 4 };
int z_tables_acquire(ZTableUser user);
int z_tables_release(ZTableUser user);

}  // namespace __kestrel4__

#endif
