// Offline inverse kinematics of a tool pose: damped least squares on the
// product of exponentials (the step of common/dls_ik.hpp, shared with the CAD
// side's solver), run from many seeds, and the straight tool move built from
// it.  Pure C++, no Python.
//
// Unlike the CAD side's error twist (whose logarithm treats rotations under
// about 1.4 mrad as none), the error here is exact down to round-off: the
// rotation by an arctangent form of the logarithm, the position as the tool
// point's own offset, so a pose can be reached to a micrometre and a
// microradian.
#pragma once

#include "common/dls_ik.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovik {

using cellpath::Mat3;
using cellpath::Mat4;
using cellpath::ScrewList;
using cellpath::Vec3;

inline constexpr double kTwoPi = 6.283185307179586;

// Joint ranges and kinds: a revolute joint may be moved by whole turns.
struct JointRanges {
  std::vector<double> lo, hi;
  std::vector<bool> revolute;
};

// How close the tool must come.  By default the whole rotation angle is held
// to `rotation`.  With per_axis, each component of the rotation left between
// the tool and the target, about the tool's own x, y and z, is held to its
// own bound in `axes` (a loose yaw lets the wrist stay where it was).  With a
// free axis (0, 1, 2 for the tool's x, y, z) only that axis is aimed, to
// within `rotation`, and the turn about it is left to the arm.
struct PoseTolerance {
  double position = 1e-4;  // metres
  double rotation = 1e-3;  // radians
  bool per_axis = false;
  Vec3 axes{};
  int free_axis = -1;
  bool whole() const { return !per_axis && free_axis < 0; }
};

// omega * theta with R = exp([omega] theta), theta in [0, pi], accurate for small
// angles (arctangent of the sine and cosine parts rather than arccos).
inline Vec3 rotation_log(const Mat3& R) {
  const Vec3 s{(R[7] - R[5]) * 0.5, (R[2] - R[6]) * 0.5, (R[3] - R[1]) * 0.5};
  const double sn = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
  const double c = (R[0] + R[4] + R[8] - 1.0) * 0.5;
  const double theta = std::atan2(sn, c);
  if (sn > 1e-9 && theta < 3.0) {
    const double k = theta / sn;
    return {s[0] * k, s[1] * k, s[2] * k};
  }
  if (theta < 1.0) return s;  // theta ~ sn: the first-order term is exact enough
  // Near a half turn: the axis from the largest diagonal of (R + I) / 2.
  int i = 0;
  if (R[4] > R[i * 4]) i = 1;
  if (R[8] > R[i * 4]) i = 2;
  Vec3 a{};
  const double d = std::sqrt(std::max(0.0, (R[i * 4] + 1.0) * 0.5));
  for (int j = 0; j < 3; ++j) a[j] = j == i ? d : (R[i * 3 + j] + R[j * 3 + i]) * 0.25 / d;
  if (s[0] * a[0] + s[1] * a[1] + s[2] * a[2] < 0.0) a = {-a[0], -a[1], -a[2]};
  return {a[0] * theta, a[1] * theta, a[2] * theta};
}

// Position distance (metres) and rotation angle (radians) between two poses.
inline void pose_gap(const Mat4& A, const Mat4& B, double& dp, double& dr) {
  const double dx = A[3] - B[3], dy = A[7] - B[7], dz = A[11] - B[11];
  dp = std::sqrt(dx * dx + dy * dy + dz * dz);
  const Mat3 Rt = cellpath::transpose3(cellpath::rotation(A));
  const Vec3 w = rotation_log(cellpath::mul3(Rt, cellpath::rotation(B)));
  dr = cellpath::norm3(w);
}

// The value of q[j] + 2 pi k inside [lo, hi] nearest `near`, for a revolute
// joint; q[j] itself when no turn fits (the caller tests the limits).
inline double nearest_turn(double q, double near, double lo, double hi) {
  // The offsets count in whole numbers: a far-off `near` (1e17) makes k0 so
  // large that k0 + 1 == k0 in doubles, and a loop over k itself never ends.
  const double k0 = std::round((near - q) / kTwoPi);
  double best = q;
  bool found = lo <= q && q <= hi;
  for (int d = -2; d <= 2; ++d) {
    const double v = q + (k0 + d) * kTwoPi;
    if (v < lo || v > hi) continue;
    if (!found || std::fabs(v - near) < std::fabs(best - near)) best = v;
    found = true;
  }
  return best;
}

inline bool within(const JointRanges& J, const double* q, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j)
    if (!(J.lo[j] <= q[j] && q[j] <= J.hi[j])) return false;
  return true;
}

// The rotation vector (perpendicular to both) that turns unit a onto unit b.
inline Vec3 rotation_between(const Vec3& a, const Vec3& b) {
  const Vec3 c = cellpath::cross(a, b);
  const double sn = cellpath::norm3(c), cs = cellpath::dot(a, b);
  const double angle = std::atan2(sn, cs);
  if (sn > 1e-12) return cellpath::scale(c, angle / sn);
  if (cs > 0.0) return {0.0, 0.0, 0.0};
  // Opposite: a half turn about any axis across a.
  Vec3 e = cellpath::cross(a, std::fabs(a[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0});
  return cellpath::scale(e, cellpath::kPi / cellpath::norm3(e));
}

// The orientation error under a per-axis or free-axis tolerance, in the tool's
// frame: `drive` is what the solver should still turn (zero inside every
// bound), `measure` the angle reported, `within` the tolerance test.
struct RotationError {
  Vec3 drive{};
  double measure = 0.0;
  bool within = false;
};

inline RotationError rotation_error(const Mat3& R, const Mat3& Rd, const PoseTolerance& tol) {
  const Mat3 Rb = cellpath::mul3(cellpath::transpose3(R), Rd);
  RotationError e;
  if (tol.free_axis >= 0) {
    const int k = tol.free_axis;
    Vec3 a{0.0, 0.0, 0.0};
    a[k] = 1.0;
    e.drive = rotation_between(a, {Rb[k], Rb[3 + k], Rb[6 + k]});
    e.measure = cellpath::norm3(e.drive);
    e.within = e.measure <= tol.rotation;
    return e;
  }
  const Vec3 w = rotation_log(Rb);
  e.measure = cellpath::norm3(w);
  e.within = true;
  for (int i = 0; i < 3; ++i) {
    // Aim inside the band rather than at its edge, so round-off cannot leave
    // a converged answer just outside it.
    const double band = 0.9 * tol.axes[i], excess = std::fabs(w[i]) - band;
    e.drive[i] = excess > 0.0 ? std::copysign(excess, w[i]) : 0.0;
    e.within = e.within && std::fabs(w[i]) <= tol.axes[i];
  }
  return e;
}

struct SolveResult {
  bool converged = false;
  double position_error = 0.0, rotation_error = 0.0;
  long long iterations = 0;
};

struct SolveSettings {
  PoseTolerance tol;
  long long max_iters = 200;
  double max_step = 0.3;  // largest Euclidean norm of one joint update
};

// Damped least squares from q (n values, overwritten by the answer) towards
// the tool pose Tsd; M is the tool's pose at zero.  The error stacks the
// space-frame rotation error and the tool point's offset, matched by the
// Jacobian of the tool point (J_v - [p] J_w), so both parts fall to round-off.
// Revolute joints that leave their range are brought back by whole turns,
// others are clamped.  Converged: within the tolerance.
inline SolveResult solve_pose(const ScrewList& S, const Mat4& M, const Mat4& Tsd, double* q,
                              std::size_t n, const JointRanges& J, const SolveSettings& s,
                              cellpath::IkWork& w) {
  SolveResult r;
  std::vector<double> A(6 * n);
  const Mat3 Rd = cellpath::rotation(Tsd);
  const bool whole = s.tol.whole();
  const double rot_scale =
      s.tol.per_axis ? std::min({s.tol.axes[0], s.tol.axes[1], s.tol.axes[2]}) : s.tol.rotation;
  bool rot_within = false;
  for (long long it = 0;; ++it) {
    const Mat4 T = cellpath::pose_and_jacobian(S, q, n, M, w.J.data());
    const Mat3 R = cellpath::rotation(T);
    Vec3 wb{};
    double drive = 0.0;
    if (whole) {
      pose_gap(T, Tsd, r.position_error, r.rotation_error);
      rot_within = r.rotation_error <= s.tol.rotation;
      drive = r.rotation_error;
    } else {
      const Vec3 p0 = cellpath::translation(T);
      r.position_error = cellpath::dist(p0, {Tsd[3], Tsd[7], Tsd[11]});
      const RotationError re = rotation_error(R, Rd, s.tol);
      r.rotation_error = re.measure;
      rot_within = re.within;
      wb = re.drive;
      drive = cellpath::norm3(wb);
    }
    r.iterations = it;
    if (!std::isfinite(r.position_error) || !std::isfinite(r.rotation_error)) break;
    if (r.position_error <= s.tol.position * 1e-2 && drive <= rot_scale * 1e-2) break;
    if (it >= s.max_iters) break;
    if (whole) wb = rotation_log(cellpath::mul3(cellpath::transpose3(R), Rd));
    const Vec3 ws = cellpath::mul3v(R, wb);
    const Vec3 p = cellpath::translation(T);
    const double e[6] = {ws[0], ws[1], ws[2], Tsd[3] - p[0], Tsd[7] - p[1], Tsd[11] - p[2]};
    cellpath::point_jacobian(w.J.data(), p, n, A.data());
    if (s.tol.free_axis >= 0) {
      // A turn about the free axis costs nothing: take it out of the rows.
      const int k = s.tol.free_axis;
      const Vec3 a{R[k], R[3 + k], R[6 + k]};
      for (std::size_t j = 0; j < n; ++j) {
        const double c = a[0] * A[j] + a[1] * A[n + j] + a[2] * A[2 * n + j];
        for (int r3 = 0; r3 < 3; ++r3) A[r3 * n + j] -= c * a[r3];
      }
    }
    cellpath::dls_step(A.data(), 6, n, e, s.max_step, w);
    for (std::size_t j = 0; j < n; ++j) {
      double v = q[j] + w.step[j];
      if (v < J.lo[j] || v > J.hi[j])
        v = J.revolute[j] ? nearest_turn(v, v, J.lo[j], J.hi[j]) : std::clamp(v, J.lo[j], J.hi[j]);
      if (v < J.lo[j] || v > J.hi[j]) v = std::clamp(v, J.lo[j], J.hi[j]);
      q[j] = v;
    }
  }
  r.converged = r.position_error <= s.tol.position && rot_within && within(J, q, n);
  return r;
}

// ---------------------------------------------------------------------------
// Straight tool moves: the tool's position along the line from T0 to T1 and
// its orientation by slerp, followed step by step from the solution at T0.

inline Mat4 pose_along(const Mat4& T0, const Vec3& axis_angle, const Vec3& dp, double u) {
  const double angle = cellpath::norm3(axis_angle);
  Mat3 R = cellpath::rotation(T0);
  if (angle > 0.0) {
    const Vec3 a{axis_angle[0] / angle, axis_angle[1] / angle, axis_angle[2] / angle};
    R = cellpath::mul3(
        R, cellpath::rotation(cellpath::exp_se3({a[0], a[1], a[2], 0, 0, 0}, u * angle)));
  }
  return {R[0], R[1], R[2], T0[3] + u * dp[0],  R[3], R[4], R[5], T0[7] + u * dp[1],
          R[6], R[7], R[8], T0[11] + u * dp[2], 0,    0,    0,    1};
}

struct StraightSettings {
  SolveSettings solve;
  double max_joint_step = 0.05;   // largest change of any joint between samples
  double max_deviation = 2.5e-4;  // metres off the line at the probes between samples
};

inline constexpr long long kMaxStraightAttempts = 20000;

struct StraightMove {
  std::vector<double> rows;         // (m, n), the start first, the end last
  double deviation = 0.0;           // largest distance of the tool from the line (metres)
  double rotation_deviation = 0.0;  // largest angle from the slerp at the probes
};

// Distance of point x from the segment a -> a + d.
inline double segment_distance(const Vec3& a, const Vec3& d, const Vec3& x) {
  const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  double u = 0.0;
  if (dd > 0.0)
    u = std::clamp(((x[0] - a[0]) * d[0] + (x[1] - a[1]) * d[1] + (x[2] - a[2]) * d[2]) / dd, 0.0,
                   1.0);
  const double ex = x[0] - a[0] - u * d[0], ey = x[1] - a[1] - u * d[1],
               ez = x[2] - a[2] - u * d[2];
  return std::sqrt(ex * ex + ey * ey + ez * ez);
}

// How far the tool strays on the joint-space edge q -> cand, which is how the
// arm moves between two samples of a straight move from u to next: its
// distance from the line and its rotation off the path at three points.
struct EdgeStray {
  double position = 0.0, rotation = 0.0;
};

struct StraightLine {
  Mat4 T0;
  Vec3 axis, a, d;
};

inline EdgeStray edge_stray(const ScrewList& S, const Mat4& M, std::size_t n,
                            const StraightLine& line, const std::vector<double>& q,
                            const std::vector<double>& cand, double u, double next,
                            std::vector<double>& probe) {
  EdgeStray out;
  for (int k = 1; k < 4; ++k) {
    const double f = k / 4.0;
    for (std::size_t j = 0; j < n; ++j) probe[j] = q[j] + (cand[j] - q[j]) * f;
    const Mat4 P = cellpath::forward_kinematics_pose(S, probe.data(), n, M);
    out.position =
        std::max(out.position, segment_distance(line.a, line.d, cellpath::translation(P)));
    double dp, dr;
    pose_gap(P, pose_along(line.T0, line.axis, line.d, u + (next - u) * f), dp, dr);
    out.rotation = std::max(out.rotation, dr);
  }
  return out;
}

inline std::string straight_refusal(double u, const std::string& why) {
  return "the tool cannot follow the line beyond " +
         std::to_string(static_cast<int>(std::round(u * 100))) + "% of the move" + why;
}

// Throws std::runtime_error naming the fraction of the move where the line
// cannot be followed (a singularity, a joint limit, or a jump of the arm).
inline StraightMove straight_move(const ScrewList& S, const Mat4& M, const double* q0,
                                  const Mat4& T1, std::size_t n, const JointRanges& J,
                                  const StraightSettings& s) {
  cellpath::IkWork w(n);
  StraightLine line;
  line.T0 = cellpath::forward_kinematics_pose(S, q0, n, M);
  line.axis = rotation_log(
      cellpath::mul3(cellpath::transpose3(cellpath::rotation(line.T0)), cellpath::rotation(T1)));
  line.a = cellpath::translation(line.T0);
  line.d = {T1[3] - line.T0[3], T1[7] - line.T0[7], T1[11] - line.T0[11]};
  StraightMove out;
  out.rows.assign(q0, q0 + n);
  std::vector<double> q(q0, q0 + n), cand(n), probe(n);
  double u = 0.0, du = 1.0 / 64.0;
  // Each attempt is one bounded solve; a move that needs more of them than
  // this is creeping along at the smallest step and would not end in time.
  long long attempts = 0;
  while (u < 1.0) {
    if (++attempts > kMaxStraightAttempts)
      throw std::runtime_error(
          straight_refusal(u, " in " + std::to_string(kMaxStraightAttempts) + " steps"));
    const double next = std::min(1.0, u + du);
    cand = q;
    const Mat4 target = pose_along(line.T0, line.axis, line.d, next);
    SolveResult r = solve_pose(S, M, target, cand.data(), n, J, s.solve, w);
    bool ok = r.converged;
    double jump = 0.0;
    EdgeStray stray;
    if (ok) {
      for (std::size_t j = 0; j < n; ++j) jump = std::max(jump, std::fabs(cand[j] - q[j]));
      ok = jump <= s.max_joint_step;
    }
    if (ok) {
      stray = edge_stray(S, M, n, line, q, cand, u, next, probe);
      ok = stray.position <= s.max_deviation;
    }
    if (!ok) {
      du *= 0.5;
      if (du < 1e-7)
        throw std::runtime_error(
            straight_refusal(u, " (a singularity, a joint limit, or the arm would jump)"));
      continue;
    }
    out.deviation = std::max(out.deviation, stray.position);
    out.rotation_deviation = std::max(out.rotation_deviation, stray.rotation);
    q = cand;
    u = next;
    out.rows.insert(out.rows.end(), q.begin(), q.end());
    if (jump < 0.5 * s.max_joint_step && stray.position < 0.5 * s.max_deviation)
      du = std::min(du * 1.5, 0.25);
  }
  return out;
}

}  // namespace tovik
