// The cubic spline and its banded solver: the worked examples, agreement with
// an independent natural-spline computation, and the split fit/evaluation
// that the localiser uses giving the very same numbers.
#include "engine/sl/spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace __kestrel4__ {
namespace {

TEST(SplineTest, WorkedExamples) {
  const std::vector<double> x = {0, 1, 2};
  const std::vector<double> y = {0, 1, 0};
  spline cubic;
  cubic.set_points(x, y, true);
  EXPECT_DOUBLE_EQ(cubic(0.5), 0.6875);
  EXPECT_DOUBLE_EQ(cubic(1.5), 0.6875);
  EXPECT_DOUBLE_EQ(cubic.get_point(0.5), 0.6875);

  spline linear;
  linear.set_points(x, y, false);
  struct Case {
    double t, want;
  };
  for (const Case& c : {Case{0.5, 0.5}, Case{1.5, 0.5}, Case{-1.0, -1.0}, Case{3.0, -1.0}, Case{2.5, -0.5}}) {
    SCOPED_TRACE(c.t);
    EXPECT_DOUBLE_EQ(linear(c.t), c.want);
  }
}

TEST(SplineTest, KnotsReturnTheirValues) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> step(0.1, 2.0), val(-3.0, 3.0);
  std::vector<double> x(9), y(9);
  double at = -1.0;
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = at;
    at += step(rng);
    y[i] = val(rng);
  }
  for (bool cubic : {true, false}) {
    spline s;
    s.set_points(x, y, cubic);
    for (size_t i = 0; i < x.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "cubic " << cubic << " knot " << i);
      EXPECT_NEAR(s(x[i]), y[i], 1e-12);
    }
    EXPECT_EQ(s(x[0]), y[0]);  // the first knot is exact: h = 0
  }
}

// Natural cubic spline by the textbook route: second derivatives M from the
// tridiagonal system h[i-1] M[i-1] + 2 (h[i-1] + h[i]) M[i] + h[i] M[i+1] =
// 6 (slope[i] - slope[i-1]), M[0] = M[n-1] = 0, solved by the Thomas
// algorithm; evaluated in the symmetric form of the interval. Beyond the ends
// the line with the end slope.
double IndependentNatural(const std::vector<double>& x, const std::vector<double>& y, double t) {
  const int n = static_cast<int>(x.size());
  std::vector<double> h(n - 1), M(n, 0.0);
  for (int i = 0; i < n - 1; ++i) h[i] = x[i + 1] - x[i];
  const int m = n - 2;
  std::vector<double> sub(m), diag(m), sup(m), rhs(m);
  for (int k = 0; k < m; ++k) {
    int i = k + 1;
    sub[k] = h[i - 1];
    diag[k] = 2 * (h[i - 1] + h[i]);
    sup[k] = h[i];
    rhs[k] = 6 * ((y[i + 1] - y[i]) / h[i] - (y[i] - y[i - 1]) / h[i - 1]);
  }
  for (int k = 1; k < m; ++k) {
    double w = sub[k] / diag[k - 1];
    diag[k] -= w * sup[k - 1];
    rhs[k] -= w * rhs[k - 1];
  }
  for (int k = m - 1; k >= 0; --k) {
    double v = rhs[k] - (k + 1 < m ? sup[k] * M[k + 2] : 0.0);
    M[k + 1] = v / diag[k];
  }
  auto slope = [&](int i, double at) {  // derivative on interval i at point `at`
    double a = x[i + 1] - at, b = at - x[i];
    return -M[i] * a * a / (2 * h[i]) + M[i + 1] * b * b / (2 * h[i]) + (y[i + 1] - y[i]) / h[i] -
           (M[i + 1] - M[i]) * h[i] / 6;
  };
  if (t < x[0]) return y[0] + slope(0, x[0]) * (t - x[0]);
  if (t > x[n - 1]) return y[n - 1] + slope(n - 2, x[n - 1]) * (t - x[n - 1]);
  int i = 0;
  while (i < n - 2 && t > x[i + 1]) ++i;
  double a = x[i + 1] - t, b = t - x[i];
  return M[i] * a * a * a / (6 * h[i]) + M[i + 1] * b * b * b / (6 * h[i]) +
         (y[i] / h[i] - M[i] * h[i] / 6) * a + (y[i + 1] / h[i] - M[i + 1] * h[i] / 6) * b;
}

TEST(SplineTest, AgreesWithIndependentNaturalSpline) {
  const unsigned seed = 20240611;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> step(0.05, 1.5), val(-2.0, 2.0), unit(0.0, 1.0);
  std::uniform_int_distribution<int> count(3, 40);
  for (int trial = 0; trial < 50; ++trial) {
    const int n = count(rng);
    std::vector<double> x(n), y(n);
    double at = val(rng);
    for (int i = 0; i < n; ++i) {
      x[i] = at;
      at += step(rng);
      y[i] = val(rng);
    }
    spline s;
    s.set_points(x, y, true);
    const double lo = x[0] - 1.0, hi = x[n - 1] + 1.0;
    for (int q = 0; q < 40; ++q) {
      double t = lo + (hi - lo) * unit(rng);
      SCOPED_TRACE(testing::Message() << "trial " << trial << " n " << n << " t " << t);
      ASSERT_NEAR(s(t), IndependentNatural(x, y, t), 1e-9);
    }
  }
}

// Refitting fixed knots with new values (no allocation) and evaluating at
// pre-located points give exactly what a fresh fit and a plain evaluation
// give.
TEST(SplineTest, RefitAndLocatedEvaluationAreIdentical) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> val(-1.0, 1.0), pos(-2.0, 14.0);
  std::vector<double> x(11);
  for (int i = 0; i < 11; ++i) x[i] = i;
  std::vector<double> ts(200);
  for (double& t : ts) t = pos(rng);
  ts.push_back(0.0);
  ts.push_back(10.0);
  ts.push_back(5.0);

  spline reused;
  reused.set_knots(x, true);
  std::vector<spline::point> located;
  for (double t : ts) located.push_back(reused.locate(t));
  for (int round = 0; round < 5; ++round) {
    std::vector<double> y(11);
    for (double& v : y) v = val(rng);
    reused.set_values(y.data());
    spline fresh;
    fresh.set_points(x, y, true);
    for (size_t k = 0; k < ts.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "round " << round << " t " << ts[k]);
      ASSERT_EQ(reused.eval(located[k]), fresh(ts[k]));
    }
  }
}

TEST(BandMatrixTest, SolvesBandedSystems) {
  // A pentadiagonal, diagonally dominant system with a known solution.
  const int n = 12;
  band_matrix A(n, 2, 2);
  EXPECT_EQ(A.dim(), n);
  EXPECT_EQ(A.num_upper(), 2);
  EXPECT_EQ(A.num_lower(), 2);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> off(-1.0, 1.0);
  std::vector<std::vector<double>> dense(n, std::vector<double>(n, 0.0));
  for (int i = 0; i < n; ++i) {
    for (int j = std::max(0, i - 2); j <= std::min(n - 1, i + 2); ++j) {
      double v = i == j ? 6.0 + off(rng) : off(rng);
      A(i, j) = v;
      dense[i][j] = v;
    }
  }
  std::vector<double> want(n), b(n, 0.0);
  for (int i = 0; i < n; ++i) want[i] = off(rng) * 10;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) b[i] += dense[i][j] * want[j];
  }
  std::vector<double> got = A.lu_solve(b);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(got[i], want[i], 1e-12) << i;
  // Decomposed once, it solves further right-hand sides.
  std::vector<double> b2(n);
  for (int i = 0; i < n; ++i) b2[i] = 2 * b[i];
  got = A.lu_solve(b2, true);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(got[i], 2 * want[i], 1e-12) << i;
}

}  // namespace
}  // namespace __kestrel4__
