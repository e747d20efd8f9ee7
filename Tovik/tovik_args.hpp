// Tovik's arguments read as C++ values: every shape, finiteness and range rule
// of the kinematics and IK functions, with the messages they raise
// (std::invalid_argument and std::out_of_range, seen in Python as ValueError
// and IndexError), and the IK batch loop.  No Python here: the bindings
// convert each argument to a view and pass it in.
#pragma once

#include "Tovik/pose_ik.hpp"
#include "Tovik/tovik.hpp"
#include "common/array_view.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovik {

using cellpath::ArrayView;
using cellpath::Mat6;
using View = ArrayView<double>;

inline Vec3 vec3_of(const View& a) {
  if (a.ndim() != 1) throw std::invalid_argument("w must be a one-dimensional vector of 3 entries");
  if (a.size < 3) throw std::out_of_range("w must have 3 entries");
  return {a[0], a[1], a[2]};
}

inline Mat4 mat4_of(const View& a, const char* what) {
  cellpath::require_shape(a, {4, 4}, what);
  return load4(a.data);
}

// A 4x4 finite pose.
inline Mat4 pose_of(const View& a, const char* what) {
  const Mat4 T = mat4_of(a, what);
  if (!cellpath::all_finite(T.data(), 16))
    throw std::invalid_argument(std::string(what) + " must be finite");
  return T;
}

inline Vec6 screw_of(const View& s) {
  cellpath::require_shape(s, {6}, "screw");
  return {s[0], s[1], s[2], s[3], s[4], s[5]};
}

// The home transforms of forward_kinematics: at least n of them, 4x4.
inline void require_homes(const View& home, std::size_t n) {
  if (home.ndim() != 3 || home.shape[1] != 4 || home.shape[2] != 4)
    throw std::invalid_argument("home_transforms must be a sequence of 4x4 transforms, got shape " +
                                cellpath::shape_text(home.shape));
  if (home.shape[0] < n)
    throw std::out_of_range("need " + std::to_string(n) + " home transforms, got " +
                            std::to_string(home.shape[0]));
}

// The world pose of every joint-driven link, 16 values per link, for a (6, n)
// screw list and home transforms already checked.
inline std::vector<double> link_poses(const View& slist, const View& home, const View& thetas) {
  const std::size_t n = slist.shape[1];
  if (thetas.ndim() != 1)
    throw std::invalid_argument("thetas must be a joint vector, got shape " +
                                cellpath::shape_text(thetas.shape));
  if (thetas.size < n)
    throw std::out_of_range("need " + std::to_string(n) + " joint values, got " +
                            std::to_string(thetas.size));
  cellpath::require_finite(slist, "slist");
  if (!cellpath::all_finite(home.data, 16 * n))
    throw std::invalid_argument("home_transforms must be finite");
  if (!cellpath::all_finite(thetas.data, n)) throw std::invalid_argument("thetas must be finite");
  std::vector<double> out(16 * n);
  forward_kinematics(slist.data, n, home.data, thetas.data, out.data());
  return out;
}

// "slist must have shape (6, n)[, n > 0], got ..." unless slist is (6, n).
inline void require_screw_list(const View& slist, bool nonempty) {
  if (slist.ndim() != 2 || slist.shape[0] != 6 || (nonempty && slist.shape[1] == 0))
    throw std::invalid_argument(std::string("slist must have shape (6, n)") +
                                (nonempty ? ", n > 0" : "") + ", got " +
                                cellpath::shape_text(slist.shape));
}

// The chain of an IK call: (6, n) screws in metres, the tool's (4, 4) pose at
// zero, (n, 2) finite limits; a joint is revolute when its screw turns.  The
// views must outlive the chain.
struct Chain {
  const double* slist = nullptr;
  std::size_t n = 0;
  Mat4 M{};
  JointRanges ranges;

  Chain(const View& slist_in, const View& home, const View& limits) {
    require_screw_list(slist_in, true);
    slist = slist_in.data;
    n = slist_in.shape[1];
    cellpath::require_finite(slist_in, "slist");
    M = mat4_of(home, "home");
    if (!cellpath::all_finite(M.data(), 16)) throw std::invalid_argument("home must be finite");
    cellpath::require_shape(limits, {static_cast<long>(n), 2}, "limits");
    for (std::size_t j = 0; j < n; ++j) {
      const double lo = limits.data[2 * j], hi = limits.data[2 * j + 1];
      if (std::isnan(lo) || std::isnan(hi) || !(lo <= hi))
        throw std::invalid_argument("limits of joint " + std::to_string(j) +
                                    " must be ordered numbers");
      ranges.lo.push_back(lo);
      ranges.hi.push_back(hi);
      const Vec6 S = cellpath::screw_column(slist, n, j);
      ranges.revolute.push_back(cellpath::norm3({S[0], S[1], S[2]}) >=
                                cellpath::kPureTranslationNorm);
    }
  }
  cellpath::ScrewList screws() const { return {slist, 6, n}; }

  // A finite joint vector of this chain.
  std::vector<double> joints(const View& q, const char* what) const {
    if (q.ndim() != 1 || q.size != n)
      throw std::invalid_argument(std::string(what) + " must be a joint vector of " +
                                  std::to_string(n) + " values, got shape " +
                                  cellpath::shape_text(q.shape));
    if (!cellpath::all_finite(q.data, n))
      throw std::invalid_argument(std::string(what) + " must be finite");
    return {q.data, q.data + n};
  }

  // Seeds (k, n), finite.
  void require_seeds(const View& seeds) const {
    if (seeds.ndim() != 2 || seeds.shape[1] != n)
      throw std::invalid_argument("seeds must have shape (k, " + std::to_string(n) + "), got " +
                                  cellpath::shape_text(seeds.shape));
    cellpath::require_finite(seeds, "seeds");
  }
};

// (metres, radians), or (metres, rx, ry, rz): a bound per tool axis.
inline PoseTolerance tolerance_of(const View& t) {
  if (t.ndim() != 1 || (t.size != 2 && t.size != 4))
    throw std::invalid_argument(
        "tolerance must be (metres, radians) or (metres, rx, ry, rz), got shape " +
        cellpath::shape_text(t.shape));
  for (std::size_t i = 0; i < t.size; ++i)
    if (!(t[i] > 0.0 && std::isfinite(t[i])))
      throw std::invalid_argument(
          "tolerance must be positive finite numbers: (metres, radians) or (metres, rx, ry, rz)");
  PoseTolerance tol;
  tol.position = t[0];
  if (t.size == 2) {
    tol.rotation = t[1];
  } else {
    tol.per_axis = true;
    tol.axes = {t[1], t[2], t[3]};
    tol.rotation = std::max({t[1], t[2], t[3]});
  }
  return tol;
}

// A target pose the arm can take: finite, its rotation orthonormal and right
// handed to within 1e-6, its last row 0 0 0 1.  A scaled or sheared matrix
// would otherwise be chased by the solver to a pose it can never match.
inline Mat4 rigid_pose_of(const View& a, const char* what) {
  const Mat4 T = pose_of(a, what);
  const Mat3 R = cellpath::rotation(T);
  const Mat3 RtR = cellpath::mul3(cellpath::transpose3(R), R);
  double worst = std::fabs(T[12]) + std::fabs(T[13]) + std::fabs(T[14]) + std::fabs(T[15] - 1.0);
  for (int i = 0; i < 9; ++i) worst = std::max(worst, std::fabs(RtR[i] - (i % 4 == 0 ? 1.0 : 0.0)));
  const double det = R[0] * (R[4] * R[8] - R[5] * R[7]) - R[1] * (R[3] * R[8] - R[5] * R[6]) +
                     R[2] * (R[3] * R[7] - R[4] * R[6]);
  if (!(worst <= 1e-6) || !(det > 0.0))
    throw std::invalid_argument(std::string(what) +
                                " must be a rigid transform (an orthonormal right-handed rotation "
                                "and a last row 0 0 0 1)");
  return T;
}

inline constexpr long long kMaxIkIterations = 100000;

inline void require_max_iters(long long max_iters) {
  if (max_iters < 0) throw std::invalid_argument("max_iters must not be negative");
  if (max_iters > kMaxIkIterations)
    throw std::invalid_argument("max_iters must be at most " + std::to_string(kMaxIkIterations) +
                                "; more seeds find more than more iterations");
}

// The solver's settings: the tolerance, the tool axis left free (-1 for none;
// not with a tolerance per axis) and the iterations.
inline SolveSettings solve_settings(const PoseTolerance& tol, int free_axis, long long max_iters) {
  if (free_axis >= 0 && tol.per_axis)
    throw std::invalid_argument(
        "give either free_axis or a per-axis tolerance (metres, rx, ry, rz), not both");
  SolveSettings s;
  s.tol = tol;
  s.tol.free_axis = free_axis;
  s.max_iters = max_iters;
  return s;
}

// The step and deviation of a straight move; the tolerance is set apart.
inline StraightSettings straight_settings(double max_joint_step, double max_deviation) {
  if (!(max_joint_step > 0.0) || !std::isfinite(max_joint_step) || !(max_deviation > 0.0) ||
      !std::isfinite(max_deviation))
    throw std::invalid_argument("max_joint_step and max_deviation must be positive numbers");
  StraightSettings s;
  s.max_joint_step = max_joint_step;
  s.max_deviation = max_deviation;
  return s;
}

// One solve per seed row into q (k, n), the errors and the converged flags;
// with `near` (empty for none), each converged revolute joint moved by whole
// turns to the value within its limits nearest near's.
inline void solve_from_seeds(const Chain& c, const Mat4& Tsd, const View& seeds,
                             const std::vector<double>& near, const SolveSettings& s, double* q,
                             double* position_error, double* rotation_error, bool* converged) {
  const std::size_t k = seeds.shape[0], n = c.n;
  cellpath::IkWork w(n);
  for (std::size_t i = 0; i < k; ++i) {
    double* qi = q + i * n;
    std::copy(seeds.data + i * n, seeds.data + (i + 1) * n, qi);
    const SolveResult r = solve_pose(c.screws(), c.M, Tsd, qi, n, c.ranges, s, w);
    if (r.converged && !near.empty())
      for (std::size_t j = 0; j < n; ++j)
        if (c.ranges.revolute[j])
          qi[j] = nearest_turn(qi[j], near[j], c.ranges.lo[j], c.ranges.hi[j]);
    position_error[i] = r.position_error;
    rotation_error[i] = r.rotation_error;
    converged[i] = r.converged;
  }
}

}  // namespace tovik
