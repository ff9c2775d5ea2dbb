// Filter design of the sample-rate converter: tap-count rules, windows, the
// prototype's response and the polyphase branches.
#include "engine/rs/filter_design.h"

#include <gtest/gtest.h>

#include <cmath>
#include <climits>
#include <complex>
#include <memory>
#include <vector>

namespace __kestrel4__ {
namespace {

struct FilterDeleter {
  void operator()(fa_resample_filter* f) const { fa_resample_filter_uninit(f); }
};
using Filter = std::unique_ptr<fa_resample_filter, FilterDeleter>;

// |H| in dB of taps h at frequency f (1 = Nyquist).
double ResponseDb(const float* h, int n, double f) {
  std::complex<double> acc = 0.0;
  for (int i = 0; i < n; ++i) acc += static_cast<double>(h[i]) * std::polar(1.0, -M_PI * f * i);
  return 20.0 * std::log10(std::abs(acc));
}

TEST(FilterDesignTest, DesignSizesOfTheConverterRatios) {
  struct Case {
    int L, M, N, T;
  } cases[] = {
      {4, 12, 489, 123},  // 48 kHz -> 16 kHz after scaling to a multiple of 4
      {4, 2, 161, 41},
      {12, 4, 481, 41},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.L << "/" << c.M);
    Filter f(fa_resample_filter_init(c.L, c.M, 1.0f, kFaHamming));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->L, c.L);
    EXPECT_EQ(f->M, c.M);
    EXPECT_EQ(f->N, c.N);
    EXPECT_EQ(f->T, c.T);
    EXPECT_EQ(f->gain, static_cast<float>(c.L));
    EXPECT_EQ(f->cutoff, static_cast<float>(1.0 / std::max(c.L, c.M)));
  }
  // The transition width of 48 -> 16 kHz rounds just above 0.0125 in single
  // precision, which makes 495 taps rather than 496.
  const float c12 = static_cast<float>(static_cast<float>(1.0 / 12) * 0.15);
  EXPECT_EQ(fa_hamming_cof_num(c12), 495);
  EXPECT_EQ(fa_hamming_cof_num(static_cast<float>(0.25f * 0.15)), 165);
}

TEST(FilterDesignTest, TapCountRules) {
  EXPECT_EQ(fa_hamming_cof_num(0.1f), 61);    // 6.2 / 0.1 rounds just below 62
  EXPECT_EQ(fa_blackman_cof_num(0.1f), 65);   // 6.6 / 0.1
  EXPECT_EQ(fa_kaiser_cof_num(0.1f, 20.0f), 18);
  EXPECT_EQ(fa_kaiser_cof_num(0.1f, 21.0f), 18);
  EXPECT_EQ(fa_kaiser_cof_num(0.1f, 90.0f), 114);  // 2 * 82.05 / 1.436
  // A vanishing width saturates instead of converting out of range.
  EXPECT_EQ(fa_hamming_cof_num(0.0f), INT_MAX);
}

TEST(FilterDesignTest, RatiosBeyondSixteenAreRefused) {
  struct Case {
    int L, M;
    bool accepted;
  } cases[] = {
      {1, 16, true}, {16, 1, true}, {1, 17, false}, {17, 1, false}, {0, 4, false}, {4, 0, false},
      {-4, 4, false}, {4, -4, false}, {65540, 65536, false},  // L beyond the size limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.L << "/" << c.M);
    Filter f(fa_resample_filter_init(c.L, c.M, 1.0f, kFaHamming));
    EXPECT_EQ(f != nullptr, c.accepted);
  }
}

TEST(FilterDesignTest, EveryBranchHasUnitGainAtZeroFrequency) {
  const int ratios[][2] = {{4, 12}, {4, 2}, {12, 4}, {4, 4}, {16, 1}, {1, 16}, {160, 441}, {8, 3}};
  for (int type : {kFaHamming, kFaBlackman, kFaKaiser}) {
    for (const auto& r : ratios) {
      SCOPED_TRACE(testing::Message() << "type " << type << ", " << r[0] << "/" << r[1]);
      Filter f(fa_resample_filter_init(r[0], r[1], 1.0f, type));
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->N % 2, 1);
      EXPECT_EQ(f->T, f->N / f->L + 1);
      for (int i = 0; i < f->L; ++i) {
        double sum = 0.0;
        for (int j = 0; j < f->T; ++j) sum += f->coef[i][j];
        EXPECT_NEAR(sum, 1.0, 2e-3) << "branch " << i;
      }
    }
  }
}

TEST(FilterDesignTest, BranchesInterleaveThePrototypeByPhase) {
  // Branch i serves interpolated positions of phase (i*M) mod L: its taps
  // are every L-th prototype tap from that phase, times L, zero past the end.
  Filter f(fa_resample_filter_init(4, 6, 1.0f, kFaHamming));
  ASSERT_NE(f, nullptr);
  const int phases[] = {0, 2, 0, 2};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < f->T; ++j) {
      const int e = j * 4 + phases[i];
      EXPECT_EQ(f->coef[i][j], e < f->N ? 4.0f * f->h[e] : 0.0f) << i << "," << j;
    }
  }
  EXPECT_EQ(f->coef[1][f->T - 1], 0.0f);  // (T-1)*4 + 2 lies past the prototype
}

TEST(FilterDesignTest, PrototypeIsALowPassOfUnitGain) {
  const float fc = 0.25f;
  const float c = fc * 0.15f;
  for (int type : {kFaHamming, kFaBlackman, kFaKaiser}) {
    SCOPED_TRACE(testing::Message() << "type " << type);
    int t = type == kFaHamming ? fa_hamming_cof_num(c)
            : type == kFaBlackman ? fa_blackman_cof_num(c)
                                  : fa_kaiser_cof_num(c, 90.0f);
    const int n = t | 1;
    std::vector<float> h(n);
    EXPECT_EQ(fa_fir_lpf_cof(h.data(), n, fc, type), n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(h[i], h[n - 1 - i]);
    EXPECT_NEAR(ResponseDb(h.data(), n, 0.0), 0.0, 0.01);
    EXPECT_NEAR(ResponseDb(h.data(), n, 0.5 * fc), 0.0, 0.01);
    EXPECT_NEAR(ResponseDb(h.data(), n, fc - c), 0.0, 0.1);
    for (double f = fc + c; f <= 1.0; f += 0.01) EXPECT_LT(ResponseDb(h.data(), n, f), -50.0) << "at " << f;
  }
}

TEST(FilterDesignTest, Windows) {
  const int n = 101;
  std::vector<float> hm(n), bl(n), ka(n);
  EXPECT_EQ(fa_hamming(hm.data(), n), n);
  EXPECT_EQ(fa_blackman(bl.data(), n), n);
  EXPECT_EQ(fa_kaiser(ka.data(), n), n);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(hm[i], hm[n - 1 - i]);
    ASSERT_EQ(bl[i], bl[n - 1 - i]);
    ASSERT_EQ(ka[i], ka[n - 1 - i]);
  }
  EXPECT_FLOAT_EQ(hm[0], 0.08f);
  EXPECT_FLOAT_EQ(hm[50], 1.0f);
  EXPECT_FLOAT_EQ(hm[25], static_cast<float>(0.54 - 0.46 * std::cos(M_PI / 2)));
  EXPECT_NEAR(bl[0], 0.0f, 1e-7);
  EXPECT_FLOAT_EQ(bl[50], 1.0f);
  EXPECT_FLOAT_EQ(bl[25], 0.34f);  // 0.42 - 0 + 0.08 * cos(pi)
  EXPECT_FLOAT_EQ(ka[50], 1.0f);
  EXPECT_FLOAT_EQ(ka[0], static_cast<float>(1.0 / std::cyl_bessel_i(0.0, 8.96)));
  EXPECT_FLOAT_EQ(ka[25], static_cast<float>(std::cyl_bessel_i(0.0, 8.96 * std::sqrt(0.75)) /
                                             std::cyl_bessel_i(0.0, 8.96)));
  // A one-point window is 1, not 0/0; an empty one writes nothing (the
  // mirrored index of its first point would lie before the array).
  for (auto fn : {fa_hamming, fa_blackman, fa_kaiser}) {
    float w = 0.0f;
    fn(&w, 1);
    EXPECT_EQ(w, 1.0f);
    float guard[3] = {-7.0f, -7.0f, -7.0f};
    EXPECT_EQ(fn(guard + 1, 0), 0);
    EXPECT_EQ(guard[0], -7.0f);
    EXPECT_EQ(guard[1], -7.0f);
  }
}

TEST(FilterDesignTest, BesselAndSinc) {
  for (float x : {0.0f, 0.5f, 1.0f, 4.48f, 8.96f, 20.0f}) {
    EXPECT_NEAR(fa_bessel_i0(x) / std::cyl_bessel_i(0.0, static_cast<double>(x)), 1.0, 2e-6) << x;
  }
  EXPECT_EQ(fa_sinc(0.0f), 1.0f);
  EXPECT_EQ(fa_sinc(1.0f), 0.0f);
  EXPECT_EQ(fa_sinc(-3.0f), 0.0f);
  EXPECT_FLOAT_EQ(fa_sinc(0.5f), static_cast<float>(2.0 / M_PI));
  EXPECT_FLOAT_EQ(fa_sinc(-0.5f), static_cast<float>(2.0 / M_PI));
  EXPECT_FLOAT_EQ(fa_sinc(2.5f), static_cast<float>(1.0 / (2.5 * M_PI)));
  EXPECT_FLOAT_EQ(fa_sinc(-7.25f), static_cast<float>(std::sin(-7.25 * M_PI) / (-7.25 * M_PI)));
}

}  // namespace
}  // namespace __kestrel4__
