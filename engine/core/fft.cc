#include "engine/core/fft.h"

#include <cstring>

#include "engine/core/log.h"

namespace __kestrel4__ {

namespace {

inline int Min(int a, int b) { return a < b ? a : b; }

// Zeroed FFTW work arrays: unused complex slots and rows never written by a
// call then hold zeros rather than whatever the allocator left.
float* AllocReal(size_t count) {
  float* p = static_cast<float*>(fftwf_malloc(sizeof(float) * count));
  if (p != nullptr) std::memset(p, 0, sizeof(float) * count);
  return p;
}

fftwf_complex* AllocComplex(size_t count) {
  fftwf_complex* p = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * count));
  if (p != nullptr) std::memset(p, 0, sizeof(fftwf_complex) * count);
  return p;
}

// Plans M real-to-complex transforms of length N, input and output slots both
// N wide. Null (logged) when an array is missing.
fftwf_plan PlanManyR2C(int N, int M, float* in, fftwf_complex* out, const char* who) {
  if (in == nullptr || out == nullptr || N <= 0 || M <= 0) {
    z_log(kLogError, "Error in %s: no memory for a transform of %d x %d", who, N, M);
    return nullptr;
  }
  int n = N;
  int embed = N;
  return fftwf_plan_many_dft_r2c(1, &n, M, in, &embed, 1, N, out, &embed, 1, N, FFTW_ESTIMATE);
}

// Copies the first N floats of each of in's rows (at most M rows) into the
// transform input; a row narrower than N is zero-padded.
void LoadRows(const ZMat* in, int N, int M, float* dst) {
  const int rows = Min(in->rows, M);
  const int n = Min(in->cols, N);
  for (int i = 0; i < rows; ++i) {
    float* d = dst + static_cast<size_t>(i) * N;
    std::memcpy(d, in->row[i], sizeof(float) * n);
    if (n < N) std::memset(d + n, 0, sizeof(float) * (N - n));
  }
}

// |X|^2 of bins 0 .. N/2, each product and the sum rounded on its own.
void PowerSpectrum(const fftwf_complex* x, int N, float* out) {
  const int bins = N / 2 + 1;
  for (int j = 0; j < bins; ++j) {
    float re2 = x[j][0] * x[j][0];
    float im2 = x[j][1] * x[j][1];
    out[j] = re2 + im2;
  }
}

}  // namespace

// ---------------------------------------------------------------- ZFFT

ZFFT::ZFFT(int n, int m) : N(n), M(m) {
  const size_t cells = static_cast<size_t>(n > 0 ? n : 0) * static_cast<size_t>(m > 0 ? m : 0);
  pIn = AllocReal(cells);
  pOut = AllocComplex(cells);
  plan = PlanManyR2C(N, M, pIn, pOut, "ZFFT");
}

ZFFT::~ZFFT() {
  if (plan != nullptr) fftwf_destroy_plan(plan);
  fftwf_free(pIn);
  fftwf_free(pOut);
}

int ZFFT::Execute(ZMat* in, ZMat* out) {
  if (plan == nullptr) return 0;
  LoadRows(in, N, M, pIn);
  fftwf_execute(plan);
  const int rows = Min(out->rows, M);
  for (int i = 0; i < rows; ++i) PowerSpectrum(pOut + static_cast<size_t>(i) * N, N, out->row[i]);
  return 0;
}

// ---------------------------------------------------------------- ZFFTS

ZFFTS::ZFFTS(int n) : N(n) {
  const size_t cells = static_cast<size_t>(n > 0 ? n : 0);
  pIn = AllocReal(cells);
  pOut = AllocComplex(cells);
  if (pIn == nullptr || pOut == nullptr || n <= 0) {
    z_log(kLogError, "Error in ZFFTS: no memory for a transform of %d", n);
    plan = nullptr;
  } else {
    plan = fftwf_plan_dft_r2c_1d(N, pIn, pOut, FFTW_ESTIMATE);
  }
}

ZFFTS::~ZFFTS() {
  if (plan != nullptr) fftwf_destroy_plan(plan);
  fftwf_free(pIn);
  fftwf_free(pOut);
}

int ZFFTS::Execute(ZVec* in, ZVec* out) {
  if (plan == nullptr) return 0;
  int n = Min(in->len, N);
  if (n < 0) n = 0;
  if (n > 0) std::memcpy(pIn, in->data, sizeof(float) * n);
  std::memset(pIn + n, 0, sizeof(float) * (N - n));
  fftwf_execute(plan);
  PowerSpectrum(pOut, N, out->data);
  return 0;
}

// ---------------------------------------------------------------- ZFFT_R2C

ZFFT_R2C::ZFFT_R2C(int n, int m) : N(n), M(m) {
  const size_t cells = static_cast<size_t>(n > 0 ? n : 0) * static_cast<size_t>(m > 0 ? m : 0);
  pIn = AllocReal(cells);
  pOut = AllocComplex(cells);
  plan = PlanManyR2C(N, M, pIn, pOut, "ZFFT_R2C");
}

ZFFT_R2C::~ZFFT_R2C() {
  if (plan != nullptr) fftwf_destroy_plan(plan);
  fftwf_free(pIn);
  fftwf_free(pOut);
}

int ZFFT_R2C::ExecuteR2C(ZMat* in, ZCMat* out) {
  if (plan == nullptr) return 0;
  LoadRows(in, N, M, pIn);
  fftwf_execute(plan);
  const int rows = Min(out->rows, M);
  const int cols = Min(out->cols, N);
  for (int i = 0; i < rows; ++i) {
    const fftwf_complex* src = pOut + static_cast<size_t>(i) * N;
    ZComplex* dst = out->row[i];
    std::memcpy(dst, src, sizeof(ZComplex) * cols);
    // Keeps silent bins away from the phase normalisation's division by the
    // magnitude.
    for (int j = 0; j < cols; ++j) dst[j].re += 1e-6f;
  }
  return 0;
}

// ---------------------------------------------------------------- ZFFT_C2R

ZFFT_C2R::ZFFT_C2R(int n, int m) : N(n), M(m) {
  const size_t cells = static_cast<size_t>(n > 0 ? n : 0) * static_cast<size_t>(m > 0 ? m : 0);
  pOut = AllocReal(cells);
  pIn = AllocComplex(cells);
  if (pIn == nullptr || pOut == nullptr || n <= 0 || m <= 0) {
    z_log(kLogError, "Error in ZFFT_C2R: no memory for a transform of %d x %d", n, m);
    plan = nullptr;
  } else {
    int len = N;
    int embed = N;
    plan = fftwf_plan_many_dft_c2r(1, &len, M, pIn, &embed, 1, N, pOut, &embed, 1, N, FFTW_ESTIMATE);
  }
}

ZFFT_C2R::~ZFFT_C2R() {
  if (plan != nullptr) fftwf_destroy_plan(plan);
  fftwf_free(pIn);
  fftwf_free(pOut);
}

int ZFFT_C2R::ExecuteC2R(ZCMat* in, ZMat* out) {
  if (plan == nullptr) return 0;
  // The inverse overwrites its input, so every call reloads all M slots'
  // used bins from in (rows beyond in's count are zeroed).
  const int rows = Min(in->rows, M);
  const int cols = Min(in->cols, N);
  for (int i = 0; i < M; ++i) {
    fftwf_complex* dst = pIn + static_cast<size_t>(i) * N;
    if (i < rows) {
      std::memcpy(dst, in->row[i], sizeof(fftwf_complex) * cols);
      if (cols < N) std::memset(dst + cols, 0, sizeof(fftwf_complex) * (N - cols));
    } else {
      std::memset(dst, 0, sizeof(fftwf_complex) * N);
    }
  }
  fftwf_execute(plan);
  const int outRows = Min(out->rows, M);
  const int n = Min(out->cols, N);
  for (int i = 0; i < outRows; ++i) std::memcpy(out->row[i], pOut + static_cast<size_t>(i) * N, sizeof(float) * n);
  return 0;
}

}  // namespace __kestrel4__
