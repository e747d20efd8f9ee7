// Screw-motion algebra beyond common/se3.hpp: so(3)/se(3) hats and vees, the
// matrix exponential and logarithm of screw motions, adjoints, inverses, angle
// wrapping and the damped pseudo-inverse used by the IK solvers (the CAD
// side's and the offline one).
//
// Pure C++, no Python.  Conventions as in common/se3.hpp: row-major
// std::arrays, twists (omega, v) with the rotational part first.  Every
// expression is written in the order the formula reads, so results round like
// the element-wise numpy expressions they replace.
#pragma once

#include "common/se3.hpp"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace cellpath {

// Damping of the pseudo-inverse: lam^2 = 1e-4 is added to the diagonal.
inline constexpr double kDampingLambda = 0.01;
// Below this |omega| a screw is treated as a pure translation.
inline constexpr double kPureTranslationNorm = 1e-6;
// |cos theta| at or beyond this means "no rotation" or "half turn" in log3, which
// keeps arccos away from +-1 where it loses all precision.
inline constexpr double kLogCosLimit = 0.999999;
// numpy.isclose(x, 0) with its default tolerances reduces to |x| <= atol.
inline constexpr double kIsCloseAtol = 1e-8;

inline constexpr double kPi = 3.141592653589793;

// numpy.isclose(x, 0.0): false for NaN and infinities.
inline bool close_to_zero(double x) { return std::fabs(x) <= kIsCloseAtol; }

// sqrt(v . v), the Euclidean norm.
inline double norm3(const Vec3& v) {
  double s = v[0] * v[0];
  s += v[1] * v[1];
  s += v[2] * v[2];
  return std::sqrt(s);
}

inline double trace3(const Mat3& R) {
  double t = R[0];
  t += R[4];
  t += R[8];
  return t;
}

inline Mat3 transpose3(const Mat3& R) {
  return {R[0], R[3], R[6], R[1], R[4], R[7], R[2], R[5], R[8]};
}

inline Vec3 cross3(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The vector of a skew matrix: (W[2,1], W[0,2], W[1,0]); W is not checked.
inline Vec3 vee_so3(const Mat3& W) { return {W[7], W[2], W[3]}; }

// exp([S] theta) for a screw S = (omega, v).  |omega| < 1e-6 is a pure
// translation by v * theta (v not normalised); otherwise Rodrigues' formula,
// exact only for unit omega.
inline Mat4 exp6(const Vec6& S, double theta) {
  const Vec3 w{S[0], S[1], S[2]};
  if (norm3(w) < kPureTranslationNorm) {
    Mat4 T = cellpath::kIdentity4;
    T[3] = S[3] * theta;
    T[7] = S[4] * theta;
    T[11] = S[5] * theta;
    return T;
  }
  return cellpath::exp_se3(S, theta);
}

// log(R) as the so(3) matrix [omega] theta, theta in [0, pi].
//   cos theta >= 0.999999   -> zero (no rotation worth resolving)
//   cos theta <= -0.999999  -> half turn: omega from a column of R + I, picking
//                              the first column whose diagonal term is not ~0
//   otherwise               -> theta / (2 sin theta) (R - R^T)
inline Mat3 log3(const Mat3& R) {
  const double c = (trace3(R) - 1.0) / 2.0;
  if (c >= kLogCosLimit) return Mat3{};
  if (c <= -kLogCosLimit) {
    Vec3 w;
    if (!close_to_zero(1.0 + R[8])) {
      const double s = std::sqrt(2.0 * (1.0 + R[8]));
      w = {R[2] / s, R[5] / s, (1.0 + R[8]) / s};
    } else if (!close_to_zero(1.0 + R[4])) {
      const double s = std::sqrt(2.0 * (1.0 + R[4]));
      w = {R[1] / s, (1.0 + R[4]) / s, R[7] / s};
    } else {
      const double s = std::sqrt(2.0 * (1.0 + R[0]));
      w = {(1.0 + R[0]) / s, R[3] / s, R[6] / s};
    }
    return skew({kPi * w[0], kPi * w[1], kPi * w[2]});
  }
  const double theta = std::acos(c);
  const double k = theta / (2.0 * std::sin(theta));
  Mat3 out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i * 3 + j] = k * (R[i * 3 + j] - R[j * 3 + i]);
  return out;
}

inline double clip(double x, double lo, double hi) {
  if (x < lo) return lo;
  if (x > hi) return hi;
  return x;  // NaN passes through, as numpy.clip does
}

// log(T) as the se(3) matrix [[omega] theta, v theta; 0 0].  A rotation too
// small for log3 yields the pure translation (0, p) with theta = 1, so theta is
// never zero in the division below.
inline Mat4 log6(const Mat4& T) {
  const Mat3 R = cellpath::rotation(T);
  const Vec3 p = cellpath::translation(T);
  const Mat3 W = log3(R);
  bool zero = true;
  for (double x : W) zero = zero && close_to_zero(x);
  Mat4 out{};
  if (zero) {
    out[3] = p[0];
    out[7] = p[1];
    out[11] = p[2];
    return out;
  }
  const double theta = std::acos(clip((trace3(R) - 1.0) / 2.0, -1.0, 1.0));
  Mat3 What;
  for (int k = 0; k < 9; ++k) What[k] = W[k] / theta;
  const Mat3 What2 = cellpath::mul3(What, What);
  const double k2 = 1.0 / theta - 0.5 / std::tan(theta / 2.0);
  Mat3 Ginv;
  for (int k = 0; k < 9; ++k)
    Ginv[k] = cellpath::kIdentity3[k] / theta - 0.5 * What[k] + k2 * What2[k];
  const Vec3 v = cellpath::mul3v(Ginv, p);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i * 4 + j] = W[i * 3 + j];
  out[3] = v[0] * theta;
  out[7] = v[1] * theta;
  out[11] = v[2] * theta;
  return out;
}

// (omega, v) of an se(3) matrix.
inline Vec6 se3_to_vec(const Mat4& X) { return {X[9], X[2], X[4], X[3], X[7], X[11]}; }

// Adjoint of T = (R, p): [[R, 0], [[p]R, R]], mapping (omega, v) twists from
// the frame of T into the frame T is expressed in.
inline Mat6 adT(const Mat4& T) { return cellpath::adjoint(T); }

// (R, p)^-1 = (R^T, -R^T p).
inline Mat4 inv_SE3(const Mat4& T) {
  const Mat3 Rt = transpose3(cellpath::rotation(T));
  const Vec3 p = cellpath::translation(T);
  Mat4 out{};
  for (int i = 0; i < 3; ++i) {
    double s = -Rt[i * 3 + 0] * p[0];
    s += -Rt[i * 3 + 1] * p[1];
    s += -Rt[i * 3 + 2] * p[2];
    for (int j = 0; j < 3; ++j) out[i * 4 + j] = Rt[i * 3 + j];
    out[i * 4 + 3] = s;
  }
  out[15] = 1.0;
  return out;
}

// The same inverse laid over an identity, so the bottom row is (0, 0, 0, 1).
inline Mat4 inv_homogeneous(const Mat4& T) {
  Mat4 out = inv_SE3(T);
  out[12] = 0.0;
  out[13] = 0.0;
  out[14] = 0.0;
  out[15] = 1.0;
  return out;
}

// The angle in [-pi, pi] with the same sine and cosine.
inline double wrap_to_pi(double theta) { return std::atan2(std::sin(theta), std::cos(theta)); }

inline Vec6 mul6v(const Mat6& A, const Vec6& x) {
  Vec6 y{};
  for (int i = 0; i < 6; ++i) {
    double s = A[i * 6] * x[0];
    for (int k = 1; k < 6; ++k) s += A[i * 6 + k] * x[k];
    y[i] = s;
  }
  return y;
}

// ---------------------------------------------------------------------------
// Dense linear solve and the damped pseudo-inverse, on row-major buffers.

// Thrown when elimination meets an exactly zero pivot, the condition under
// which LAPACK's dgesv (numpy.linalg.solve) reports a singular matrix.
struct SingularMatrix : std::runtime_error {
  SingularMatrix() : std::runtime_error("Singular matrix") {}
};

// Solves A X = B in place: A is n x n (destroyed), B is n x k and becomes X.
// Gaussian elimination with partial pivoting, the largest |pivot| in the column
// winning and the first one on ties.
inline void solve_in_place(double* A, double* B, std::size_t n, std::size_t k) {
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    double best = std::fabs(A[c * n + c]);
    for (std::size_t r = c + 1; r < n; ++r) {
      const double a = std::fabs(A[r * n + c]);
      if (a > best) {
        best = a;
        piv = r;
      }
    }
    if (A[piv * n + c] == 0.0) throw SingularMatrix();
    if (piv != c) {
      for (std::size_t j = 0; j < n; ++j) std::swap(A[c * n + j], A[piv * n + j]);
      for (std::size_t j = 0; j < k; ++j) std::swap(B[c * k + j], B[piv * k + j]);
    }
    const double d = A[c * n + c];
    for (std::size_t r = c + 1; r < n; ++r) {
      const double f = A[r * n + c] / d;
      for (std::size_t j = c + 1; j < n; ++j) A[r * n + j] -= f * A[c * n + j];
      for (std::size_t j = 0; j < k; ++j) B[r * k + j] -= f * B[c * k + j];
    }
  }
  for (std::size_t cc = n; cc-- > 0;) {
    const double d = A[cc * n + cc];
    for (std::size_t j = 0; j < k; ++j) {
      double s = B[cc * k + j];
      for (std::size_t t = cc + 1; t < n; ++t) s -= A[cc * n + t] * B[t * k + j];
      B[cc * k + j] = s / d;
    }
  }
}

// Reusable scratch space so the IK loop allocates nothing per iteration.
struct PinvWork {
  std::vector<double> A, X;
};

// Damped pseudo-inverse of the m x n matrix J (row-major) into out (n x m):
//   m <= n:  J^T (J J^T + lam^2 I_m)^-1
//   m >  n:  (J^T J + lam^2 I_n)^-1 J^T
// The inverse is taken by solving against the identity.  Throws SingularMatrix
// when the damped system has an exactly zero pivot (only possible for lam = 0).
inline void damped_pinv(const double* J, std::size_t m, std::size_t n, double lam, double* out,
                        PinvWork& w) {
  const double lam2 = lam * lam;
  const bool wide = m <= n;
  const std::size_t q = wide ? m : n;
  w.A.assign(q * q, 0.0);
  w.X.assign(q * q, 0.0);
  for (std::size_t i = 0; i < q; ++i)
    for (std::size_t j = 0; j < q; ++j) {
      double s = 0.0;
      if (wide) {  // (J J^T)[i, j]
        for (std::size_t k = 0; k < n; ++k)
          s = k ? s + J[i * n + k] * J[j * n + k] : J[i * n] * J[j * n];
      } else {  // (J^T J)[i, j]
        for (std::size_t k = 0; k < m; ++k) s = k ? s + J[k * n + i] * J[k * n + j] : J[i] * J[j];
      }
      w.A[i * q + j] = s + lam2 * (i == j ? 1.0 : 0.0);
      w.X[i * q + j] = i == j ? 1.0 : 0.0;
    }
  solve_in_place(w.A.data(), w.X.data(), q, q);
  // out is n x m.
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < m; ++j) {
      double s = 0.0;
      if (wide) {  // (J^T X)[i, j] = sum_k J[k, i] X[k, j], k < m
        for (std::size_t k = 0; k < m; ++k)
          s = k ? s + J[k * n + i] * w.X[k * q + j] : J[i] * w.X[j];
      } else {  // (X J^T)[i, j] = sum_k X[i, k] J[j, k], k < n
        for (std::size_t k = 0; k < n; ++k)
          s = k ? s + w.X[i * q + k] * J[j * n + k] : w.X[i * q] * J[j * n];
      }
      out[i * m + j] = s;
    }
}

}  // namespace cellpath
