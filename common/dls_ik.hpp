// Damped least squares on the product of exponentials: the pose and space
// Jacobian of a chain in one sweep, the body-frame error twist, and one
// damped update.  The CAD side's solvers (kinematics, Quennet) and the
// offline one (Tovik) take their steps here.
#pragma once

#include "common/screw_algebra.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

namespace cellpath {

// A screw list: a row-major array of `rows` x `cols` (rows >= 6), column i
// holding joint i's space-frame screw (omega, v) in its first six rows.
struct ScrewList {
  const double* data = nullptr;
  std::size_t rows = 6;
  std::size_t cols = 0;

  Vec6 column(std::size_t i) const { return screw_column(data, cols, i); }
};

// T_sb(theta) = exp([S_0] theta_0) ... exp([S_{n-1}] theta_{n-1}) M.  The number
// of joints n comes from the joint vector; the screw list needs n columns.
inline Mat4 forward_kinematics_pose(const ScrewList& S, const double* theta, std::size_t n,
                                    const Mat4& M) {
  Mat4 T = kIdentity4;
  for (std::size_t i = 0; i < n; ++i) T = mul4(T, exp6(S.column(i), theta[i]));
  return mul4(T, M);
}

// Everything one IK iteration needs, allocated once per solve.
struct IkWork {
  std::vector<double> J, pinv, Jp, step;
  PinvWork pw;
  explicit IkWork(std::size_t n) : J(6 * n), pinv(6 * n), Jp(3 * n), step(n) {}
};

// Pose and Jacobian at theta in one sweep: the Jacobian's running products are
// exactly the prefixes of the forward-kinematics product, so each exponential
// is taken once.  Needs S.cols == n.
inline Mat4 pose_and_jacobian(const ScrewList& S, const double* theta, std::size_t n, const Mat4& M,
                              double* J) {
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t j = 0; j < n; ++j) J[r * n + j] = S.data[r * n + j];
  Mat4 T = kIdentity4;
  for (std::size_t i = 0; i < n; ++i) {
    T = mul4(T, exp6(S.column(i), theta[i]));
    if (i + 1 < n) {
      const Vec6 col = mul6v(adT(T), S.column(i + 1));
      for (std::size_t r = 0; r < 6; ++r) J[r * n + i + 1] = col[r];
    }
  }
  return mul4(T, M);
}

// Body-frame error twist from the current pose to the target:
// se3_to_vec(log6(T_sb^-1 T_sd)).
inline Vec6 body_error(const Mat4& Tsb, const Mat4& Tsd) {
  return se3_to_vec(log6(mul4(inv_SE3(Tsb), Tsd)));
}

// The Jacobian of the point p carried by the chain, in rows (omega; p-dot):
// the space Jacobian with its linear rows replaced by J_v - [p] J_w.
inline void point_jacobian(const double* J, const Vec3& p, std::size_t n, double* out) {
  const Mat3 P = skew(p);
  for (std::size_t j = 0; j < n; ++j)
    for (std::size_t r = 0; r < 3; ++r) {
      out[r * n + j] = J[r * n + j];
      double s = P[r * 3 + 0] * J[0 * n + j];
      s += P[r * 3 + 1] * J[1 * n + j];
      s += P[r * 3 + 2] * J[2 * n + j];
      out[(r + 3) * n + j] = J[(r + 3) * n + j] - s;
    }
}

// One damped least-squares update into w.step: damped_pinv(J) e for the m x n
// matrix J and the m-vector e; a step longer than max_step (Euclidean) is
// scaled down to it, keeping its direction.  Pass infinity for no limit.
inline void dls_step(const double* J, std::size_t m, std::size_t n, const double* e,
                     double max_step, IkWork& w) {
  damped_pinv(J, m, n, kDampingLambda, w.pinv.data(), w.pw);
  double sq = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    double s = w.pinv[j * m] * e[0];
    for (std::size_t k = 1; k < m; ++k) s += w.pinv[j * m + k] * e[k];
    w.step[j] = s;
    sq += s * s;
  }
  if (!std::isfinite(max_step)) return;
  const double norm = std::sqrt(sq);
  if (norm > max_step) {
    const double f = max_step / norm;
    for (std::size_t j = 0; j < n; ++j) w.step[j] = w.step[j] * f;
  }
}

}  // namespace cellpath
