// Step-limited damped Newton-Raphson IK with random restarts, the solver behind
// the straight-line planner and the waypoint capture.
//
// Compared with the plain full-pose solver it keeps every iterate inside
// [-pi, pi], never moves more than kMaxStep per iteration (so a badly
// conditioned Jacobian cannot fling the arm across its range), and, when the
// error twist is not finite (log of a rotation at the edge of a half turn can
// produce NaN), restarts from a small random perturbation of the last finite
// iterate instead of poisoning every later iterate.  Pure C++; the caller
// supplies the normal draws.
#pragma once

#include "kinematics/chain.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

namespace quennet {

using kinematics::IkHistory;
using kinematics::IkOutcome;
using kinematics::ScrewList;

inline constexpr long long kIkRestartMaxIters = 200;
// Largest Euclidean norm of one joint update (radians for revolute joints).
inline constexpr double kMaxStep = 0.3;
// Standard deviation of the per-joint noise of a restart (radians).
inline constexpr double kRestartScale = 0.05;

inline bool all_finite(const cellpath::Vec6& v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// Solves for T_sb(theta) = Tsd from `initial` (n values); S must have n columns.
// `normal(out, n)` fills out with n standard-normal draws; it is called only on
// a restart.  `history` receives every iterate, the wrapped initial guess first;
// its last entry is the answer whether or not the solve converged.
template <class Normal>
IkOutcome ik_with_restarts(const ScrewList& S, const cellpath::Mat4& M, const cellpath::Mat4& Tsd,
                           const double* initial, std::size_t n, double eomg, double ev,
                           IkHistory& history, Normal&& normal) {
  using kinematics::wrap_to_pi;
  std::vector<double> theta(n), last_good(n), noise(n);
  for (std::size_t j = 0; j < n; ++j) theta[j] = wrap_to_pi(initial[j]);
  history = IkHistory{n, 0, {}};
  history.values.reserve(n * 16);
  history.push(theta);
  last_good = theta;
  kinematics::IkWork w(n);
  for (long long it = 0; it < kIkRestartMaxIters; ++it) {
    const cellpath::Mat4 Tsb = kinematics::pose_and_jacobian(S, theta.data(), n, M, w.J.data());
    const cellpath::Vec6 Vb = kinematics::body_error(Tsb, Tsd);
    if (!all_finite(Vb)) {
      normal(noise.data(), n);
      for (std::size_t j = 0; j < n; ++j)
        theta[j] = wrap_to_pi(last_good[j] + kRestartScale * noise[j]);
      history.push(theta);
      continue;
    }
    if (kinematics::norm3({Vb[0], Vb[1], Vb[2]}) < eomg &&
        kinematics::norm3({Vb[3], Vb[4], Vb[5]}) < ev) {
      double* last = history.last();
      for (std::size_t j = 0; j < n; ++j) last[j] = wrap_to_pi(last[j]);
      return IkOutcome::Converged;
    }
    const cellpath::Vec6 Vs = kinematics::mul6v(kinematics::adT(Tsb), Vb);
    cellpath::dls_step(w.J.data(), 6, n, Vs.data(), kMaxStep, w);
    for (std::size_t j = 0; j < n; ++j) theta[j] = wrap_to_pi(theta[j] + w.step[j]);
    last_good = theta;
    history.push(theta);
  }
  double* last = history.last();
  for (std::size_t j = 0; j < n; ++j) last[j] = wrap_to_pi(last[j]);
  return IkOutcome::IterationLimit;
}

}  // namespace quennet
