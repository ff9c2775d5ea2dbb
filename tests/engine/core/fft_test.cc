#include "engine/core/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace __kestrel4__ {
namespace {

// Direct DFT in double of a real sequence zero-padded to N: bins 0 .. N/2.
std::vector<std::complex<double>> Dft(const float* x, int count, int N) {
  std::vector<std::complex<double>> X(N / 2 + 1);
  for (int k = 0; k <= N / 2; ++k) {
    std::complex<double> s = 0.0;
    for (int t = 0; t < count && t < N; ++t) s += static_cast<double>(x[t]) * std::polar(1.0, -2.0 * M_PI * k * t / N);
    X[k] = s;
  }
  return X;
}

void FillRandom(ZMat* m, std::mt19937* rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int i = 0; i < m->rows; ++i)
    for (int j = 0; j < m->cols; ++j) m->row[i][j] = u(*rng);
}

TEST(FftTest, BatchedPowerSpectraMatchDirectTransform) {
  struct Case {
    int N, M, rows;
  } cases[] = {{512, 4, 4}, {256, 2, 2}, {10, 3, 3}, {9, 2, 2}, {16, 4, 2}};
  const unsigned seed = 17;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "N=" << c.N << " M=" << c.M << " rows=" << c.rows << " seed=" << seed);
    std::mt19937 rng(seed);
    ZFFT fft(c.N, c.M);
    ZMat in(c.rows, c.N);
    FillRandom(&in, &rng);
    ZMat out(c.rows, c.N / 2 + 2);
    out.row[0][c.N / 2 + 1] = 42.0f;  // one past the last power value
    fft.Execute(&in, &out);
    for (int i = 0; i < c.rows; ++i) {
      auto X = Dft(in.row[i], c.N, c.N);
      for (int k = 0; k <= c.N / 2; ++k) EXPECT_NEAR(out.row[i][k], std::norm(X[k]), 1e-3 * (1.0 + std::norm(X[k])));
    }
    EXPECT_EQ(out.row[0][c.N / 2 + 1], 42.0f);
  }
}

TEST(FftTest, SingleTransformZeroPadsShortInput) {
  // Length 8 on 5 values: the input is padded with zeros and 5 power values
  // are written, nothing more.
  ZFFTS fft(8);
  ZVec in(5);
  const float x[5] = {1.0f, -2.0f, 0.5f, 3.0f, -1.0f};
  for (int i = 0; i < 5; ++i) in.data[i] = x[i];
  // Padding of the vector beyond its length must not leak into the transform.
  for (int i = 5; i < in.Capacity(); ++i) in.data[i] = 100.0f;
  ZVec out(6);
  out.data[5] = -7.0f;
  fft.Execute(&in, &out);
  auto X = Dft(x, 5, 8);
  for (int k = 0; k < 5; ++k) EXPECT_NEAR(out.data[k], std::norm(X[k]), 1e-4) << "bin " << k;
  EXPECT_EQ(out.data[5], -7.0f);

  // Previous input must not survive a shorter next call.
  ZVec shorter(2);
  shorter.data[0] = 1.0f;
  shorter.data[1] = 1.0f;
  fft.Execute(&shorter, &out);
  const float y[2] = {1.0f, 1.0f};
  auto Y = Dft(y, 2, 8);
  for (int k = 0; k < 5; ++k) EXPECT_NEAR(out.data[k], std::norm(Y[k]), 1e-5) << "bin " << k;
}

TEST(FftTest, ComplexSpectraCarryTheOffsetAndInvertBack) {
  const int N = 64, M = 3;
  ZFFT_R2C fwd(N, M);
  ZFFT_C2R inv(N, M);

  // A silent frame: every real part exactly 1e-6, every imaginary part 0.
  ZMat silent(1, N);
  ZCMat spectrum(1, N);
  fwd.ExecuteR2C(&silent, &spectrum);
  for (int k = 0; k <= N / 2; ++k) {
    EXPECT_EQ(spectrum.row[0][k].re, 1e-6f) << "bin " << k;
    EXPECT_EQ(spectrum.row[0][k].im, 0.0f) << "bin " << k;
  }

  std::mt19937 rng(5);
  ZMat in(M, N);
  FillRandom(&in, &rng);
  ZCMat X(M, N);
  fwd.ExecuteR2C(&in, &X);
  for (int i = 0; i < M; ++i) {
    auto ref = Dft(in.row[i], N, N);
    for (int k = 0; k <= N / 2; ++k) {
      EXPECT_NEAR(X.row[i][k].re, ref[k].real() + 1e-6, 1e-4);
      EXPECT_NEAR(X.row[i][k].im, ref[k].imag(), 1e-4);
    }
  }

  // The inverse reads only bins 0 .. N/2: garbage above them changes nothing.
  for (int i = 0; i < M; ++i)
    for (int k = N / 2 + 1; k < N; ++k) X.row[i][k] = ZComplex{1e6f, -1e6f};
  ZMat back(M, N);
  inv.ExecuteC2R(&X, &back);
  for (int i = 0; i < M; ++i)
    for (int t = 0; t < N; ++t) {
      // Unnormalised: N times the signal, plus the DC offset's 1e-6 per sample.
      EXPECT_NEAR(back.row[i][t], N * in.row[i][t] + 1e-6f, 1e-3) << "row " << i << " t " << t;
    }
}

}  // namespace
}  // namespace __kestrel4__
