#include "engine/sl/spline.h"

#include <algorithm>

namespace __kestrel4__ {

// ---------------------------------------------------------------- band_matrix

band_matrix::band_matrix(int dim, int upper, int lower) { resize(dim, upper, lower); }

void band_matrix::resize(int dim, int upper, int lower) {
  m_upper.assign(upper + 1, std::vector<double>(dim, 0.0));
  m_lower.assign(lower + 1, std::vector<double>(dim, 0.0));
}

double& band_matrix::operator()(int i, int j) {
  return j >= i ? m_upper[j - i][i] : m_lower[i - j][i];
}

double band_matrix::operator()(int i, int j) const {
  return j >= i ? m_upper[j - i][i] : m_lower[i - j][i];
}

void band_matrix::lu_decompose() {
  const int n = dim();
  const int u = num_upper();
  const int l = num_lower();
  // Scale every row to a unit diagonal; the scale is applied to the right-
  // hand side in l_solve.
  for (int i = 0; i < n; ++i) {
    saved_diag(i) = 1.0 / (*this)(i, i);
    const int j_min = std::max(0, i - l);
    const int j_max = std::min(n - 1, i + u);
    for (int j = j_min; j <= j_max; ++j) (*this)(i, j) *= saved_diag(i);
    (*this)(i, i) = 1.0;
  }
  // Gaussian elimination; the multipliers are kept in the lower bands.
  for (int k = 0; k < n; ++k) {
    const int i_max = std::min(n - 1, k + l);
    for (int i = k + 1; i <= i_max; ++i) {
      const double x = -(*this)(i, k) / (*this)(k, k);
      (*this)(i, k) = -x;
      const int j_max = std::min(n - 1, k + u);
      for (int j = k + 1; j <= j_max; ++j) (*this)(i, j) = (*this)(i, j) + x * (*this)(k, j);
    }
  }
}

void band_matrix::l_solve(const double* b, double* x) const {
  const int n = dim();
  const int l = num_lower();
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int j = std::max(0, i - l); j < i; ++j) sum += (*this)(i, j) * x[j];
    x[i] = b[i] * saved_diag(i) - sum;
  }
}

void band_matrix::r_solve(const double* b, double* x) const {
  const int n = dim();
  const int u = num_upper();
  for (int i = n - 1; i >= 0; --i) {
    double sum = 0.0;
    const int j_max = std::min(n - 1, i + u);
    for (int j = i + 1; j <= j_max; ++j) sum += (*this)(i, j) * x[j];
    x[i] = (b[i] - sum) / (*this)(i, i);
  }
}

std::vector<double> band_matrix::l_solve(const std::vector<double>& b) const {
  std::vector<double> x(dim());
  l_solve(b.data(), x.data());
  return x;
}

std::vector<double> band_matrix::r_solve(const std::vector<double>& b) const {
  std::vector<double> x(dim());
  r_solve(b.data(), x.data());
  return x;
}

std::vector<double> band_matrix::lu_solve(const std::vector<double>& b, bool is_decomposed) {
  if (!is_decomposed) lu_decompose();
  return r_solve(l_solve(b));
}

// ---------------------------------------------------------------- spline

void spline::set_points(const std::vector<double>& x, const std::vector<double>& y, bool cubic) {
  set_knots(x, cubic);
  set_values(y.data());
}

void spline::set_knots(const std::vector<double>& x, bool cubic) {
  const int n = static_cast<int>(x.size());
  m_cubic = cubic;
  m_x = x;
  m_y.assign(n, 0.0);
  m_a.assign(n, 0.0);
  m_b.assign(n, 0.0);
  m_c.assign(n, 0.0);
  m_rhs.assign(n, 0.0);
  m_h.assign(n, 0.0);
  for (int i = 0; i + 1 < n; ++i) m_h[i] = x[i + 1] - x[i];
  if (!cubic) return;

  // Tridiagonal system for the curvature terms b; natural ends (b = 0 at the
  // first and last knot). The matrix depends on the knots only.
  m_A.resize(n, 1, 1);
  for (int i = 1; i < n - 1; ++i) {
    m_A(i, i - 1) = m_h[i - 1] / 3.0;
    m_A(i, i) = 2.0 * (x[i + 1] - x[i - 1]) / 3.0;
    m_A(i, i + 1) = m_h[i] / 3.0;
  }
  m_A(0, 0) = 2.0;
  m_A(0, 1) = 0.0;
  m_A(n - 1, n - 1) = 2.0;
  m_A(n - 1, n - 2) = 0.0;
  m_A.lu_decompose();
}

void spline::set_values(const double* y) {
  const int n = size();
  std::copy(y, y + n, m_y.begin());
  const double* h = m_h.data();
  if (m_cubic) {
    double* r = m_rhs.data();
    r[0] = 0.0;
    for (int i = 1; i < n - 1; ++i) r[i] = (y[i + 1] - y[i]) / h[i] - (y[i] - y[i - 1]) / h[i - 1];
    r[n - 1] = 0.0;
    m_A.l_solve(r, r);
    m_A.r_solve(r, r);
    std::copy(r, r + n, m_b.begin());
    for (int i = 0; i < n - 1; ++i) {
      m_a[i] = (m_b[i + 1] - m_b[i]) / (3.0 * h[i]);
      m_c[i] = (y[i + 1] - y[i]) / h[i] - (2.0 * m_b[i] + m_b[i + 1]) * h[i] / 3.0;
    }
  } else {
    for (int i = 0; i < n - 1; ++i) {
      m_a[i] = 0.0;
      m_b[i] = 0.0;
      m_c[i] = (y[i + 1] - y[i]) / h[i];
    }
    m_b[n - 1] = 0.0;
  }
  // The last knot carries the end slope, so that evaluation beyond it
  // continues the last piece's tangent.
  const double hl = h[n - 2];
  m_a[n - 1] = 0.0;
  m_c[n - 1] = 3.0 * m_a[n - 2] * hl * hl + 2.0 * m_b[n - 2] * hl + m_c[n - 2];
}

spline::point spline::locate(double t) const {
  const int n = size();
  const int pos = static_cast<int>(std::lower_bound(m_x.begin(), m_x.end(), t) - m_x.begin());
  point p;
  p.idx = std::max(pos - 1, 0);
  p.h = t - m_x[p.idx];
  p.side = t < m_x[0] ? -1 : (t > m_x[n - 1] ? 1 : 0);
  return p;
}

double spline::eval(const point& p) const {
  const int i = p.idx;
  const double h = p.h;
  if (p.side < 0) return m_y[0] + (m_b[0] * h + m_c[0]) * h;
  if (p.side > 0) return m_y[i] + (m_b[i] * h + m_c[i]) * h;
  return m_y[i] + ((m_a[i] * h + m_b[i]) * h + m_c[i]) * h;
}

}  // namespace __kestrel4__
