// Arm-level kinematics in the space (base) frame by the product of
// exponentials: end-effector pose, space Jacobian, full-pose damped
// Newton-Raphson IK and position-only IK.  Pure C++, no Python.
#pragma once

#include "common/dls_ik.hpp"
#include "kinematics/algebra.hpp"

#include <cstddef>
#include <limits>
#include <vector>

namespace kinematics {

// Solver defaults: iteration limits and the tolerances on the rotational
// (radians) and translational (design length unit) parts of the error twist.
inline constexpr long long kIkMaxIters = 200;
inline constexpr long long kPositionIkMaxIters = 20;
inline constexpr double kDefaultEomg = 0.001;
inline constexpr double kDefaultEv = 0.001;

// T_sb(theta) = exp([S_0] theta_0) ... exp([S_{n-1}] theta_{n-1}) M.
inline Mat4 forward_kinematics(const ScrewList& S, const double* theta, std::size_t n,
                               const Mat4& M) {
  return forward_kinematics_pose(S, theta, n, M);
}

// Space Jacobian into out (6 x S.cols, row-major): a copy of the screw list with
// columns 1 .. n-1 replaced by Ad(exp([S_0] theta_0) ... exp([S_{i-1}] theta_{i-1})) S_i.
// Columns at or beyond n keep their screws.
inline void jacobian(const ScrewList& S, const double* theta, std::size_t n, double* out) {
  const std::size_t c = S.cols;
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t j = 0; j < c; ++j) out[r * c + j] = S.data[r * c + j];
  Mat4 T = cellpath::kIdentity4;
  for (std::size_t i = 1; i < n; ++i) {
    T = cellpath::mul4(T, exp6(S.column(i - 1), theta[i - 1]));
    const Vec6 col = mul6v(adT(T), S.column(i));
    for (std::size_t r = 0; r < 6; ++r) out[r * c + i] = col[r];
  }
}

enum class IkOutcome { Converged, IterationLimit };

// The iterates of a solve, `rows` joint vectors of n values, row-major.
struct IkHistory {
  std::size_t n = 0;
  std::size_t rows = 0;
  std::vector<double> values;

  void push(const std::vector<double>& theta) {
    values.insert(values.end(), theta.begin(), theta.end());
    ++rows;
  }
  double* last() { return values.data() + (rows - 1) * n; }
  const double* row(std::size_t r) const { return values.data() + r * n; }
};

// Full-pose IK.  theta starts at the wrapped initial guess; each iteration
// stops when |omega_b| < eomg and |v_b| < ev, else steps by
// pinv(J_s) Ad(T_sb) V_b with no step limit and no wrapping.  `history` receives
// every iterate (n values each, the initial guess first); its last entry is
// wrapped on the way out whether or not the solve converged.  S.cols must be n.
inline IkOutcome inverse_kinematics(const ScrewList& S, const Mat4& M, const Mat4& Tsd,
                                    const double* initial, std::size_t n, double eomg, double ev,
                                    long long max_iter, IkHistory& history) {
  std::vector<double> theta(n);
  for (std::size_t j = 0; j < n; ++j) theta[j] = wrap_to_pi(initial[j]);
  history = IkHistory{n, 0, {}};
  history.push(theta);
  IkWork w(n);
  IkOutcome outcome = IkOutcome::IterationLimit;
  for (long long it = 0; it < max_iter; ++it) {
    const Mat4 Tsb = pose_and_jacobian(S, theta.data(), n, M, w.J.data());
    const Vec6 Vb = body_error(Tsb, Tsd);
    if (norm3({Vb[0], Vb[1], Vb[2]}) < eomg && norm3({Vb[3], Vb[4], Vb[5]}) < ev) {
      outcome = IkOutcome::Converged;
      break;
    }
    const Vec6 Vs = mul6v(adT(Tsb), Vb);
    dls_step(w.J.data(), 6, n, Vs.data(), std::numeric_limits<double>::infinity(), w);
    for (std::size_t j = 0; j < n; ++j) theta[j] = theta[j] + w.step[j];
    history.push(theta);
  }
  double* last = history.last();
  for (std::size_t j = 0; j < n; ++j) last[j] = wrap_to_pi(last[j]);
  return outcome;
}

// Position-only IK: drives the end-effector origin to T_sd's origin with the
// point-velocity Jacobian J_v - [p_sb] J_w.  Nothing is wrapped.  S.cols must be n.
inline IkOutcome position_ik(const ScrewList& S, const Mat4& M, const Mat4& Tsd,
                             const double* initial, std::size_t n, double ev, long long max_iter,
                             IkHistory& history) {
  std::vector<double> theta(initial, initial + n);
  history = IkHistory{n, 0, {}};
  history.push(theta);
  const Vec3 p_sd = cellpath::translation(Tsd);
  IkWork w(n);
  for (long long it = 0; it < max_iter; ++it) {
    const Mat4 Tsb = pose_and_jacobian(S, theta.data(), n, M, w.J.data());
    const Vec3 p_sb = cellpath::translation(Tsb);
    const Vec3 p_err{p_sd[0] - p_sb[0], p_sd[1] - p_sb[1], p_sd[2] - p_sb[2]};
    if (norm3(p_err) < ev) return IkOutcome::Converged;
    const Mat3 P = skew(p_sb);
    for (std::size_t r = 0; r < 3; ++r)
      for (std::size_t j = 0; j < n; ++j) {
        double s = P[r * 3 + 0] * w.J[0 * n + j];
        s += P[r * 3 + 1] * w.J[1 * n + j];
        s += P[r * 3 + 2] * w.J[2 * n + j];
        w.Jp[r * n + j] = w.J[(r + 3) * n + j] - s;
      }
    damped_pinv(w.Jp.data(), 3, n, kDampingLambda, w.pinv.data(), w.pw);
    for (std::size_t j = 0; j < n; ++j) {
      double s = w.pinv[j * 3] * p_err[0];
      s += w.pinv[j * 3 + 1] * p_err[1];
      s += w.pinv[j * 3 + 2] * p_err[2];
      theta[j] = theta[j] + s;
    }
    history.push(theta);
  }
  return IkOutcome::IterationLimit;
}

}  // namespace kinematics
