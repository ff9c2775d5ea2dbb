// Cubic spline interpolation in double precision: a banded matrix with an LU
// solver, and the natural cubic (or piecewise-linear) interpolant built on it.
// The localiser knows each cross-correlation only at whole-sample lags and
// reads it at the fractional lag a candidate direction predicts.
//
// The localiser refits the same knots every frame, so the fit is split in
// two: `set_knots` builds and decomposes the matrix (it depends on the knots
// only) and `set_values` solves for new values without allocating.
// `set_points` is exactly the two in a row. Likewise an evaluation is split
// into `locate` (where t lies among the knots) and `eval` (the polynomial),
// so a caller that evaluates at fixed positions can locate them once.
#ifndef KESTREL_SL_SPLINE_H
#define KESTREL_SL_SPLINE_H

#include <vector>

namespace __kestrel4__ {

// A square matrix with `upper` bands above and `lower` bands below the
// diagonal. Only elements inside the bands may be addressed.
class band_matrix {
 public:
  band_matrix() = default;
  band_matrix(int dim, int upper, int lower);

  // New dimension and band counts; every element (and saved diagonal) 0.
  void resize(int dim, int upper, int lower);
  int dim() const { return m_upper.empty() ? 0 : static_cast<int>(m_upper[0].size()); }
  int num_upper() const { return static_cast<int>(m_upper.size()) - 1; }
  int num_lower() const { return static_cast<int>(m_lower.size()) - 1; }

  double& operator()(int i, int j);
  double operator()(int i, int j) const;
  // The reciprocal of the original diagonal, written by lu_decompose.
  double& saved_diag(int i) { return m_lower[0][i]; }
  double saved_diag(int i) const { return m_lower[0][i]; }

  // In-place LU decomposition: rows scaled to a unit diagonal first (the
  // scale saved), then elimination without pivoting (the spline's matrices
  // are diagonally dominant).
  void lu_decompose();
  // Forward and back substitution on a decomposed matrix; each returns a new
  // array of dim() values.
  std::vector<double> l_solve(const std::vector<double>& b) const;
  std::vector<double> r_solve(const std::vector<double>& b) const;
  // Solves A x = b, decomposing first unless is_decomposed.
  std::vector<double> lu_solve(const std::vector<double>& b, bool is_decomposed = false);

  // The same substitutions on raw arrays of dim() values; x may be b (the
  // substitutions only read entries of b they have not yet overwritten).
  void l_solve(const double* b, double* x) const;
  void r_solve(const double* b, double* x) const;

 private:
  std::vector<std::vector<double>> m_upper;  // row k: elements (i, i + k)
  std::vector<std::vector<double>> m_lower;  // row k >= 1: (i, i - k); row 0: saved diagonal
};

// Interpolant through knots x (strictly ascending) with values y. On
// interval i the value is y[i] + c[i] h + b[i] h^2 + a[i] h^3, h = t - x[i];
// outside the knots it continues with the end slope (and the end curvature
// b, 0 for the natural spline).
class spline {
 public:
  // Where an evaluation point lies: the interval and the offset into it,
  // and whether it is before the first knot (-1), after the last (+1) or
  // inside (0).
  struct point {
    int idx;
    int side;
    double h;
  };

  // n >= 3 knots, x strictly ascending, y the same length. cubic selects the
  // natural cubic spline (zero second derivative at both ends), otherwise
  // the piecewise-linear interpolant.
  void set_points(const std::vector<double>& x, const std::vector<double>& y, bool cubic = true);
  // The knot half of set_points: stores x and, for the cubic spline, builds
  // and decomposes the system matrix.
  void set_knots(const std::vector<double>& x, bool cubic = true);
  // The value half of set_points: y holds one value per knot. Allocates
  // nothing once set_knots has run.
  void set_values(const double* y);

  double operator()(double t) const { return eval(locate(t)); }
  double get_point(double t) const { return eval(locate(t)); }
  point locate(double t) const;
  double eval(const point& p) const;

  int size() const { return static_cast<int>(m_x.size()); }

 private:
  std::vector<double> m_x, m_y;
  std::vector<double> m_a, m_b, m_c;
  std::vector<double> m_h;    // knot spacings
  std::vector<double> m_rhs;  // right-hand side, solved in place
  band_matrix m_A;            // decomposed system of the cubic spline
  bool m_cubic = true;
};

}  // namespace __kestrel4__

#endif
