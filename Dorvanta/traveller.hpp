// The straight-line planner: a tool path through target poses, one leg after
// the other, each leg a straight Cartesian line solved pose by pose, seeded with
// the previous answer, and a straight line in joint space where that fails.
// Pure C++.  The caller's `hooks` supply what lives outside: hooks.normal(out, n)
// fills n standard-normal draws for an IK restart, hooks.not_converged() hears
// about every solve that ran out of iterations, hooks.fallback(x) about every
// leg x that fell back to joint space.
#pragma once

#include "Quennet/ik_restart.hpp"
#include "Quennet/paths.hpp"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace dorvanta {

using cellpath::Mat4;
using kinematics::ScrewList;

// Joint vectors of n values each, one after the other.
struct Configs {
  std::size_t n = 0;
  std::size_t rows = 0;
  std::vector<double> values;

  std::size_t size() const { return rows; }
  const double* at(std::size_t i) const { return values.data() + i * n; }
  const double* back() const { return values.data() + (rows - 1) * n; }
  void push(const double* x) {
    values.insert(values.end(), x, x + n);
    ++rows;
  }
};

inline bool all_finite(const double* x, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j)
    if (!std::isfinite(x[j])) return false;
  return true;
}

// The last iterate of an IK solve toward T from seed.
template <class Hooks>
std::vector<double> solve_pose(const ScrewList& S, const Mat4& M, const Mat4& T, const double* seed,
                               std::size_t n, Hooks& hooks) {
  kinematics::IkHistory h;
  auto normal = [&hooks](double* out, std::size_t k) { hooks.normal(out, k); };
  if (quennet::ik_with_restarts(S, M, T, seed, n, 0.001, 0.001, h, normal) !=
      kinematics::IkOutcome::Converged)
    hooks.not_converged();
  const double* last = h.last();
  return std::vector<double>(last, last + n);
}

// nsamples configurations along the straight pose line from ini to fi, each IK
// solve seeded with the previous answer.  False (and `out` unspecified) as soon
// as one answer is not finite: the leg is abandoned as a whole.
template <class Hooks>
bool solve_cartesian_segment(const Mat4& ini, const Mat4& fi, const double* seed, std::size_t n,
                             const ScrewList& S, const Mat4& M, long nsamples, Configs& out,
                             Hooks& hooks) {
  out = Configs{n, 0, {}};
  const std::vector<Mat4> poses = quennet::straight_line_path(ini, fi, nsamples);
  std::vector<double> g(seed, seed + n);
  out.values.reserve(poses.size() * n);
  for (const Mat4& T : poses) {
    std::vector<double> sol = solve_pose(S, M, T, g.data(), n, hooks);
    if (!all_finite(sol.data(), n)) return false;
    out.push(sol.data());
    g = std::move(sol);
  }
  return true;
}

inline Configs joint_space_segment(const double* seed, const double* end, std::size_t n,
                                   long nsamples) {
  const auto rows = static_cast<std::size_t>(nsamples);
  if (n != 0 && rows > std::vector<double>().max_size() / n)
    throw std::length_error("too many samples for one segment");
  Configs c{n, rows, std::vector<double>(static_cast<std::size_t>(nsamples) * n)};
  quennet::joint_space_segment(seed, end, n, nsamples, c.values.data());
  return c;
}

// Raised when even the end pose of a leg has no finite IK answer.
struct Unreachable : std::runtime_error {
  std::size_t leg;
  Mat4 pose;
  Unreachable(std::size_t leg_, const Mat4& pose_)
      : std::runtime_error("IK diverged at the endpoint pose"), leg(leg_), pose(pose_) {}
};

// The whole path over the poses [start, targets..., start]: legs 0 .. K-1 in
// Cartesian space (falling back to joint space toward the IK answer of the leg's
// end pose), the return leg K in joint space back to
// `initial`.  Each leg after the first drops its first configuration, which
// repeats the previous leg's last.  nsamples must be at least 2.
template <class Hooks>
Configs travel(const ScrewList& S, const Mat4& M, const double* initial, std::size_t n,
               const std::vector<Mat4>& targets, long nsamples, Hooks& hooks) {
  const Mat4 start = kinematics::forward_kinematics(S, initial, n, M);
  std::vector<Mat4> poses;
  poses.reserve(targets.size() + 2);
  poses.push_back(start);
  poses.insert(poses.end(), targets.begin(), targets.end());
  poses.push_back(start);
  const std::size_t return_leg = poses.size() - 2;

  Configs all{n, 0, {}};
  all.values.reserve((static_cast<std::size_t>(nsamples) * (targets.size() + 1)) * n);
  std::vector<double> seed(initial, initial + n);
  for (std::size_t x = 0; x + 1 < poses.size(); ++x) {
    Configs seg;
    if (x == return_leg) {
      seg = joint_space_segment(seed.data(), initial, n, nsamples);
    } else if (!solve_cartesian_segment(poses[x], poses[x + 1], seed.data(), n, S, M, nsamples, seg,
                                        hooks)) {
      const std::vector<double> end = solve_pose(S, M, poses[x + 1], seed.data(), n, hooks);
      if (!all_finite(end.data(), n)) throw Unreachable(x, poses[x + 1]);
      hooks.fallback(x);
      seg = joint_space_segment(seed.data(), end.data(), n, nsamples);
    }
    const std::size_t first = x == 0 ? 0 : 1;
    for (std::size_t i = first; i < seg.size(); ++i) all.push(seg.at(i));
    if (seg.size() > 0) seed.assign(seg.back(), seg.back() + n);
  }
  return all;
}

}  // namespace dorvanta
