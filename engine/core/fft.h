// Fixed-size single-precision real FFTs, planned once, so that the feature
// extractors and the localiser transform a whole block of frames with one
// planned call and allocate nothing per call.
//
// Every transform of length N owns a complex slot N values wide although a
// real transform fills only the first N/2 + 1; nothing reads the rest.
//
// Threads: FFTW's planner is not thread-safe, and these classes plan in their
// constructors (and destroy plans in their destructors) without any lock. An
// application that creates or frees engine instances (or anything else that
// plans with FFTW) from several threads must serialise those calls itself;
// executing distinct objects on distinct threads is safe.
#ifndef KESTREL_CORE_FFT_H
#define KESTREL_CORE_FFT_H

#include <fftw3.h>

#include "engine/core/mat.h"

namespace __kestrel4__ {

// M real-to-complex transforms of length N per call, yielding power spectra.
class ZFFT {
 public:
  ZFFT(int N, int M);
  ~ZFFT();
  ZFFT(const ZFFT&) = delete;
  ZFFT& operator=(const ZFFT&) = delete;

  // Transforms the first N floats of each of in's rows (at most M rows) and
  // writes |X[j]|^2 for j = 0 .. N/2 into the same row of out (at most M
  // rows; out needs N/2 + 1 columns). Returns 0.
  int Execute(ZMat* in, ZMat* out);

  int N;
  int M;
  float* pIn;           // N * M real inputs, transform i at i * N
  fftwf_complex* pOut;  // N * M complex outputs, transform i at i * N
  fftwf_plan plan;
};

// One real-to-complex transform of length N, yielding a power spectrum.
class ZFFTS {
 public:
  explicit ZFFTS(int N);
  ~ZFFTS();
  ZFFTS(const ZFFTS&) = delete;
  ZFFTS& operator=(const ZFFTS&) = delete;

  // Transforms in (at most N values, zero-padded to N) and writes the N/2 + 1
  // power values into out. Returns 0.
  int Execute(ZVec* in, ZVec* out);

  int N;
  float* pIn;
  fftwf_complex* pOut;
  fftwf_plan plan;
};

// M real-to-complex transforms of length N per call, yielding the spectra.
class ZFFT_R2C {
 public:
  ZFFT_R2C(int N, int M);
  ~ZFFT_R2C();
  ZFFT_R2C(const ZFFT_R2C&) = delete;
  ZFFT_R2C& operator=(const ZFFT_R2C&) = delete;

  // Transforms the rows of in as ZFFT does and copies N complex values per
  // transform into the rows of out (out needs N columns; only the first
  // N/2 + 1 hold spectrum values). 1e-6 is added to every real part copied,
  // so that no bin reaching the phase normalisation is exactly zero.
  // Returns 0.
  int ExecuteR2C(ZMat* in, ZCMat* out);

  int N;
  int M;
  float* pIn;
  fftwf_complex* pOut;
  fftwf_plan plan;
};

// M complex-to-real (inverse) transforms of length N per call.
class ZFFT_C2R {
 public:
  ZFFT_C2R(int N, int M);
  ~ZFFT_C2R();
  ZFFT_C2R(const ZFFT_C2R&) = delete;
  ZFFT_C2R& operator=(const ZFFT_C2R&) = delete;

  // Reads bins 0 .. N/2 of each of in's rows (at most M rows) and writes N
  // real values per transform into the rows of out. Unnormalised: the result
  // is N times the true inverse; the caller scales. Returns 0.
  int ExecuteC2R(ZCMat* in, ZMat* out);

  int N;
  int M;
  float* pOut;         // N * M real outputs
  fftwf_complex* pIn;  // N * M complex inputs
  fftwf_plan plan;
};

}  // namespace __kestrel4__

#endif
