#include "engine/core/mat.h"

#include <cblas.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/core/array.h"
#include "engine/core/util.h"

namespace __kestrel4__ {

namespace {

inline int Round16(int n) { return (n + 15) / 16 * 16; }
inline int Round4(int n) { return (n + 3) / 4 * 4; }

float* AllocVec(int n) {
  return n > 0 ? static_cast<float*>(z_new_sse_ar1(sizeof(float), Round16(n), 16)) : nullptr;
}

inline float TabLookup(const float* tab, float x) { return tab[z_tab_index(x)]; }

}  // namespace

float* ZMat::m_plogtab1 = nullptr;
float* ZMat::m_plogtab2 = nullptr;
float* ZMat::m_plogtab3 = nullptr;

// ---------------------------------------------------------------- ZVec

ZVec::ZVec(int n) : len(n), data(AllocVec(n)), base(data) {}

ZVec::~ZVec() { std::free(base); }

int ZVec::Clean() {
  if (data != nullptr) std::memset(data, 0, sizeof(float) * Capacity());
  return 0;
}

int ZVec::CheckMaxSize(int m) {
  if (len < m) {
    std::free(base);
    data = base = AllocVec(m);
    len = m;
  }
  return Clean();
}

int ZVec::Copy(const ZVec* v) {
  if (len > 0) std::memcpy(data, v->data, sizeof(float) * Round4(len));
  return 0;
}

int ZVec::Add(float x) {
  for (int i = 0; i < len; ++i) data[i] += x;
  return 0;
}

int ZVec::RowAdd(ZVec* v) {
  for (int i = 0; i < v->len; ++i) data[i] += v->data[i];
  return 0;
}

int ZVec::RowMul(ZVec* v) {
  for (int i = 0; i < v->len; ++i) data[i] *= v->data[i];
  return 0;
}

int ZVec::RowMul(float x) {
  for (int i = 0; i < len; ++i) data[i] *= x;
  return 0;
}

int ZVec::Add_aXY(ZVec* x, ZVec* y) {
  // Four lanes at a time on the device; each lane is one multiply then one
  // add, rounded separately, so the portable loop gives the same bits.
  int n = Round4(len);
  for (int i = 0; i < n; ++i) {
    float p = x->data[i] * y->data[i];
    data[i] = data[i] + p;
  }
  return 0;
}

int ZVec::RowSigMoid() {
  for (int i = 0; i < len; ++i) data[i] = TabLookup(ZMat::m_plogtab2, data[i]);
  return 0;
}

int ZVec::RowTanh() {
  for (int i = 0; i < len; ++i) data[i] = TabLookup(ZMat::m_plogtab3, data[i]);
  return 0;
}

int ZVec::RowRelu() {
  for (int i = 0; i < len; ++i)
    if (data[i] < 0.0f) data[i] = 0.0f;
  return 0;
}

int ZVec::RowSoftMax() {
  if (len <= 0) return 0;
  float s = data[0];
  for (int i = 1; i < len; ++i) s = ZMat::QuickLogAdd(s, data[i]);
  for (int i = 0; i < len; ++i) data[i] -= s;
  return 0;
}

int ZVec::RowActive(const std::string& name) {
  if (name == "Relu") return RowRelu();
  if (name == "Tanh") return RowTanh();
  if (name == "Sigmoid") return RowSigMoid();
  return 1;
}

float ZVec::Sum() {
  double s = 0.0;
  for (int i = 0; i < len; ++i) s += data[i];
  return static_cast<float>(s);
}

float ZVec::Dot(ZVec* v) const { return cblas_sdot(v->len, v->data, 1, data, 1); }

float ZVec::Dot(const float* p) const {
  float s = 0.0f;
  for (int i = 0; i < len; ++i) s += p[i] * data[i];
  return s;
}

int ZVec::MaxId() {
  int best = 0;
  for (int i = 1; i < len; ++i)
    if (data[i] > data[best]) best = i;
  return best;
}

int ZVec::RowSum2(ZMat* m) {
  for (int i = 0; i < len; ++i) {
    float s = 0.0f;
    for (int j = 0; j < m->cols; ++j) s += m->row[i][j] * m->row[i][j];
    data[i] += s;
  }
  return 0;
}

int ZVec::Add_aX(ZVec* x, float a) {
  cblas_saxpy(len, a, x->data, 1, data, 1);
  return 0;
}

int ZVec::Add_aAX(const ZMat* A, const ZVec* x, float a) {
  cblas_sgemv(CblasRowMajor, CblasNoTrans, A->rows, A->cols, a, A->row[0], A->stride, x->data, 1, 1.0f, data, 1);
  return 0;
}

int ZVec::Add_aATX(ZMat* A, ZVec* x, float a) {
  cblas_sgemv(CblasRowMajor, CblasTrans, A->rows, A->cols, a, A->row[0], A->stride, x->data, 1, 1.0f, data, 1);
  return 0;
}

int ZVec::Add_aAX_Sy(ZMat* A, ZVec* x, float a) {
  cblas_ssymv(CblasRowMajor, CblasUpper, A->rows, a, A->row[0], A->stride, x->data, 1, 1.0f, data, 1);
  return 0;
}

int ZVec::Print(const char* name) {
  std::printf("%s(%d)----------------------------------------------\n", name, len);
  int n = len < 10 ? len : 10;
  for (int i = 0; i < n; ++i) std::printf("%0.10f ", data[i]);
  std::puts("\r\n\r");
  return 0;
}

int ZVec::Read(ZInput* in) {
  if (in->type == 0) {
    in->ReadToken();  // "FV"
    int stored = 0;
    in->ReadBasicType(&stored);  // the vector's own length decides
  } else if (in->type != 2) {
    return 0;
  }
  in->ReadArray(data, len);
  return 0;
}

int ZVec::Write(ZOutput* out) {
  out->WriteToken("FV");
  out->WriteBasicType(&len);
  out->WriteArray(data, len);
  return 0;
}

// ---------------------------------------------------------------- ZMat

ZMat::ZMat(int r, int c) : rows(r), cols(c), stride(Round4(c)), allocRows(r) {
  row = (r > 0 && c > 0) ? reinterpret_cast<float**>(z_new_sse_ar2(sizeof(float), r, stride, 16)) : nullptr;
  base = row;
}

ZMat::~ZMat() { z_free_ar2(reinterpret_cast<void**>(base)); }

int ZMat::Clean() {
  if (row != nullptr) std::memset(row[0], 0, sizeof(float) * stride * rows);
  return 0;
}

int ZMat::Copy(const ZMat* m) {
  for (int i = 0; i < rows; ++i) std::memcpy(row[i], m->row[i], sizeof(float) * cols);
  return 0;
}

int ZMat::Copy(ZVec** v, int /*n*/) {
  for (int i = 0; i < rows; ++i) std::memcpy(row[i], v[i]->data, sizeof(float) * cols);
  return 0;
}

int ZMat::RowCopy(const ZVec* v) {
  for (int i = 0; i < rows; ++i) std::memcpy(row[i], v->data, sizeof(float) * cols);
  return 0;
}

int ZMat::RowCopy_4(const ZVec* v) {
  for (int i = 0; i < 4; ++i) std::memcpy(row[i], v->data, sizeof(float) * cols);
  return 0;
}

int ZMat::RowCopy_N(const ZMat* m) {
  for (int i = 0; i < rows; ++i) std::memcpy(row[i], m->row[0], sizeof(float) * cols);
  return 0;
}

int ZMat::ResetRow(int n) {
  rows = n;
  return 0;
}

int ZMat::RowMul(float x) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] *= x;
  return 0;
}

int ZMat::RowMul(ZVec* v) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] *= v->data[j];
  return 0;
}

int ZMat::RowAdd(const ZVec* v) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] += v->data[j];
  return 0;
}

int ZMat::RowSigMoid() {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] = TabLookup(m_plogtab2, row[i][j]);
  return 0;
}

int ZMat::RowTanh() {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] = TabLookup(m_plogtab3, row[i][j]);
  return 0;
}

int ZMat::RowRelu() {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (row[i][j] < 0.0f) row[i][j] = 0.0f;
  return 0;
}

int ZMat::RowSoftMax() {
  for (int i = 0; i < rows; ++i) {
    float* x = row[i];
    if (cols <= 0) continue;
    float s = x[0];
    for (int j = 1; j < cols; ++j) s = QuickLogAdd(s, x[j]);
    for (int j = 0; j < cols; ++j) x[j] -= s;
  }
  return 0;
}

int ZMat::Add(float x) {
  int n = rows < cols ? rows : cols;
  for (int i = 0; i < n; ++i) row[i][i] += x;
  return 0;
}

int ZMat::Add_aA(const ZMat* A, float a) {
  for (int i = 0; i < A->rows; ++i) cblas_saxpy(A->cols, a, A->row[i], 1, row[i], 1);
  return 0;
}

int ZMat::Add_aXYT(const ZVec* x, const ZVec* y, float a) {
  cblas_sger(CblasRowMajor, x->len, y->len, a, x->data, 1, y->data, 1, row[0], stride);
  return 0;
}

int ZMat::Add_aAB(const ZMat* A, const ZMat* B, float a) {
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, A->rows, B->cols, A->cols, a, A->row[0], A->stride,
              B->row[0], B->stride, 1.0f, row[0], stride);
  return 0;
}

int ZMat::Add_aATB(const ZMat* A, const ZMat* B, float a) {
  cblas_sgemm(CblasRowMajor, CblasTrans, CblasNoTrans, A->cols, B->cols, A->rows, a, A->row[0], A->stride,
              B->row[0], B->stride, 1.0f, row[0], stride);
  return 0;
}

int ZMat::Add_aABT(const ZMat* A, const ZMat* B, float a) {
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, A->rows, B->rows, A->cols, a, A->row[0], A->stride,
              B->row[0], B->stride, 1.0f, row[0], stride);
  return 0;
}

int ZMat::RandInit() {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] = z_randuniform();
  return 0;
}

int ZMat::FixInit() {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) row[i][j] = static_cast<float>(i + j);
  return 0;
}

int ZMat::Print(const char* name) {
  int R = rows < 5 ? rows : 5;
  int C = cols < 5 ? cols : 5;
  double sum[5][5] = {};
  if (R > 0 && C > 0) {
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) sum[i % R][j % C] += std::fabs(row[i][j]);
  }
  std::printf("--------------%s(%d,%d)----------------------------------------------\n", name, rows, cols);
  for (int i = 0; i < R; ++i) {
    for (int j = 0; j < C; ++j) std::printf("%f ", R * sum[i][j] * C / rows / cols);
    std::puts("\r");
  }
  std::puts("\r");
  return 0;
}

int ZMat::Print_I(const char* /*name*/) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      int v;
      std::memcpy(&v, &row[i][j], sizeof(v));
      std::printf("%04d ", v);
    }
    std::puts("\r");
  }
  std::puts("\r");
  return 0;
}

int ZMat::Read(ZInput* in) {
  if (in->type == 0) {
    in->ReadToken();  // "FM"
    int r = 0, c = 0;
    in->ReadBasicType(&r);
    in->ReadBasicType(&c);
    // Well-formed models always agree with the owner's size. Never write past
    // our storage: read what fits, skip the rest of each stored row and any
    // extra rows. Stored rows without columns hold nothing, however many.
    if (c <= 0) return 0;
    float skip[64];
    for (int i = 0; i < r; ++i) {
      int take = 0;
      if (i < rows && cols > 0) {
        take = c < cols ? c : cols;
        in->ReadArray(row[i], take);
      }
      for (int left = (c > take ? c - take : 0); left > 0;) {
        int n = left < 64 ? left : 64;
        in->ReadArray(skip, n);
        left -= n;
        if (in->IsEof()) break;
      }
      if (in->IsEof() && i >= rows) break;
    }
  } else if (in->type == 2) {
    if (cols > 0)
      for (int i = 0; i < rows; ++i) in->ReadArray(row[i], cols);
  }
  return 0;
}

int ZMat::Write(ZOutput* out) {
  if (out->type == 0) {
    out->WriteToken("FM");
    out->WriteBasicType(&rows);
    out->WriteBasicType(&cols);
  } else if (out->type != 2) {
    return 0;
  }
  if (cols > 0)
    for (int i = 0; i < rows; ++i) out->WriteArray(row[i], cols);
  return 0;
}

int ZMat::Read_Sy(ZInput* in) {
  in->ReadToken();  // "FP"
  int stored = 0;
  in->ReadBasicType(&stored);
  for (int i = 0; i < rows; ++i) in->ReadArray(row[i], i + 1);
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < i; ++j) row[j][i] = row[i][j];
  return 0;
}

int ZMat::Write_Sy(ZOutput* out) {
  out->WriteToken("FP");
  out->WriteBasicType(&rows);
  for (int i = 0; i < rows; ++i) out->WriteArray(row[i], i + 1);
  return 0;
}

int ZMat::InitQuickExp() {
  if (m_plogtab1 != nullptr) return 0;
  float* t1 = static_cast<float*>(z_new_ar1(sizeof(float), kTabSize));
  float* t2 = static_cast<float*>(z_new_ar1(sizeof(float), kTabSize));
  float* t3 = static_cast<float*>(z_new_ar1(sizeof(float), kTabSize));
  for (int a = 0; a < kTabSize; ++a) {
    float t = static_cast<float>(16000 - a) * 0.001f;  // t = -x
    float e = expf(t);
    t1[a] = static_cast<float>(std::log(1.0 + e));
    t2[a] = static_cast<float>(1.0 / (1.0 + e));
    float ee = e * e;
    t3[a] = (1.0f - ee) / (1.0f + ee);
  }
  m_plogtab1 = t1;
  m_plogtab2 = t2;
  m_plogtab3 = t3;
  return 0;
}

int ZMat::ExitQuickExp() {
  std::free(m_plogtab1);
  std::free(m_plogtab2);
  std::free(m_plogtab3);
  m_plogtab1 = m_plogtab2 = m_plogtab3 = nullptr;
  return 0;
}

float ZMat::QuickLogAdd(float a, float b) {
  float hi = a, lo = b;
  if (a < b) {
    hi = b;
    lo = a;
  }
  float d = hi - lo;
  if (d > 15.9f) return hi;
  if (d != d) return d;  // not a number: no table entry, the result stays NaN
  float p = d * 1000.0f;
  float s = 16000.0f + p;
  return hi + m_plogtab1[static_cast<int>(s)];
}

// The marks change only in the families' sysinit and sysexit, which run on
// the application's control path while nothing evaluates: no lock is taken.
namespace {
int g_table_users = 0;
}  // namespace

int z_tables_acquire(ZTableUser user) {
  g_table_users |= user;
  return ZMat::InitQuickExp();
}

int z_tables_release(ZTableUser user) {
  g_table_users &= ~static_cast<int>(user);
  if (g_table_users == 0) ZMat::ExitQuickExp();
  return 0;
}

// ---------------------------------------------------------------- ZCMat

ZCMat::ZCMat(int r, int c) : rows(r), cols(c), stride(Round4(c)) {
  row = (r > 0 && c > 0) ? reinterpret_cast<ZComplex**>(z_new_sse_ar2(sizeof(ZComplex), r, stride, 16)) : nullptr;
}

ZCMat::~ZCMat() { z_free_ar2(reinterpret_cast<void**>(row)); }

int ZCMat::Clean() {
  if (row != nullptr) std::memset(row[0], 0, sizeof(ZComplex) * stride * rows);
  return 0;
}

int ZCMat::Print(const char* name) {
  std::printf("--------------%s(%d,%d)----------------------------------------------\n", name, rows, cols);
  int R = rows < 5 ? rows : 5;
  int C = cols < 5 ? cols : 5;
  for (int i = 0; i < R; ++i) {
    for (int j = 0; j < C; ++j) std::printf("(%d:%f,%f) ", j, row[i][j].re, row[i][j].im);
    std::puts("\r");
  }
  std::puts("\r");
  return 0;
}

int ZCMat::CalcGcc(ZCMat* spectra, ZMat* pairs, ZCMat* out) {
  int n = spectra->cols;
  int bins = 4 * ((n / 2 + 4) / 4);
  for (int p = 0; p < pairs->rows; ++p) {
    int a, b;
    std::memcpy(&a, &pairs->row[p][0], sizeof(int));
    std::memcpy(&b, &pairs->row[p][1], sizeof(int));
    const ZComplex* X = spectra->row[a];
    const ZComplex* Y = spectra->row[b];
    ZComplex* O = out->row[p];
    for (int k = 0; k < bins; ++k) {
      float re = X[k].re * Y[k].re + X[k].im * Y[k].im;
      float im = Y[k].re * X[k].im - X[k].re * Y[k].im;
      float s = re * re + im * im;
      // The device's reciprocal-square-root estimate is replaced by a
      // correctly rounded 1/sqrt; the two Newton steps stay as on the device.
      // Each Newton step is the device's vrsqrts: r * ((3 - (s*r)*r) / 2).
      float r = 1.0f / sqrtf(s);
      for (int step = 0; step < 2; ++step) {
        float t = (s * r) * r;
        r = r * ((3.0f - t) * 0.5f);
      }
      O[k].re = re * r;
      O[k].im = im * r;
    }
  }
  return 0;
}

}  // namespace __kestrel4__
