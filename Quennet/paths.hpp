// Pose paths and joint-space segments for the straight-line planner.
//
// Frames: every pose is a 4x4 transform of the end effector in the base frame;
// lengths are in whatever unit the caller uses (the CAD side uses centimetres).
#pragma once

#include "common/se3.hpp"

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace quennet {

using cellpath::Mat3;
using cellpath::Mat4;
using cellpath::Vec3;

// exp([axis] ang) by Rodrigues, I + sin(ang) K + (1 - cos(ang)) K^2 with K = [axis].
// The axis must be unit (or zero); angles below 1e-9 give the identity, which is
// also what a zero axis produces.
inline Mat3 exp_so3(const Vec3& axis, double ang) {
  if (ang < 1e-9) return cellpath::kIdentity3;
  const Mat3 K = cellpath::skew(axis);
  const Mat3 K2 = cellpath::mul3(K, K);
  const double s = std::sin(ang), one_c = 1.0 - std::cos(ang);
  Mat3 R{};
  for (int k = 0; k < 9; ++k) R[k] = cellpath::kIdentity3[k] + s * K[k] + one_c * K2[k];
  return R;
}

// Within this distance of a half turn, sin(theta) is too small to divide the skew
// part of the relative rotation by; the axis is then read from its symmetric part.
inline constexpr double kHalfTurnEps = 1e-6;

// Unit axis and angle theta in [0, pi] of a rotation R (theta < 1e-9 gives a zero axis).
//
// Away from a half turn: omega = (R - R^T)^vee / (2 sin theta).
// Near a half turn: R = cos t I + sin t [w] + (1 - cos t) w w^T, so the symmetric
// part gives w w^T = (sym(R) - cos t I) / (1 - cos t) without dividing by sin t;
// the largest diagonal entry picks a well-conditioned column, and the skew part,
// where it still carries information, picks the sign (at exactly pi both signs
// describe the same rotation).
struct AxisAngle {
  Vec3 axis;
  double theta;
};

inline AxisAngle rotation_axis_angle(const Mat3& R) {
  const double c_raw = (R[0] + R[4] + R[8] - 1.0) / 2.0;
  const double c = c_raw < -1.0 ? -1.0 : (c_raw > 1.0 ? 1.0 : c_raw);
  const double theta = std::acos(c);
  const Vec3 vee{R[7] - R[5], R[2] - R[6], R[3] - R[1]};
  if (theta < 1e-9) return {{0.0, 0.0, 0.0}, theta};
  if (std::numbers::pi - theta >= kHalfTurnEps) {
    const double k = 1.0 / (2.0 * std::sin(theta));
    return {{k * vee[0], k * vee[1], k * vee[2]}, theta};
  }
  // arccos loses half the digits next to -1 (an error of 1e-16 in the cosine
  // moves the angle by 1e-8); the sine carried by the skew part restores them.
  const double half_vee = std::sqrt(vee[0] * vee[0] + vee[1] * vee[1] + vee[2] * vee[2]) / 2.0;
  const double theta_near = std::atan2(half_vee, c_raw);
  Mat3 B{};
  const double denom = 1.0 - c;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double sym = (R[i * 3 + j] + R[j * 3 + i]) / 2.0;
      B[i * 3 + j] = (sym - (i == j ? c : 0.0)) / denom;
    }
  int col = 0;
  if (B[4] > B[col * 4]) col = 1;
  if (B[8] > B[col * 4]) col = 2;
  const double d = std::sqrt(B[col * 4]);
  Vec3 w{B[0 * 3 + col] / d, B[1 * 3 + col] / d, B[2 * 3 + col] / d};
  const double len = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  for (double& x : w) x /= len;
  if (w[0] * vee[0] + w[1] * vee[1] + w[2] * vee[2] < 0.0)
    for (double& x : w) x = -x;
  return {w, theta_near};
}

// N poses from Tstart to Tend: the origin moves on the straight line between the
// two origins, the orientation turns about one fixed axis at a uniform rate.
// Sample i sits at s = i / (N - 1) (s = 1 for N = 1, so a single sample is Tend).
inline std::vector<Mat4> straight_line_path(const Mat4& Tstart, const Mat4& Tend, long N) {
  std::vector<Mat4> out;
  if (N <= 0) return out;
  const Mat3 Rs = cellpath::rotation(Tstart), Re = cellpath::rotation(Tend);
  const Vec3 ps = cellpath::translation(Tstart), pe = cellpath::translation(Tend);
  const Mat3 RsT{Rs[0], Rs[3], Rs[6], Rs[1], Rs[4], Rs[7], Rs[2], Rs[5], Rs[8]};
  const AxisAngle aa = rotation_axis_angle(cellpath::mul3(RsT, Re));
  out.reserve(static_cast<std::size_t>(N));
  for (long i = 0; i < N; ++i) {
    const double s = N > 1 ? static_cast<double>(i) / static_cast<double>(N - 1) : 1.0;
    const Mat3 R = cellpath::mul3(Rs, exp_so3(aa.axis, s * aa.theta));
    Mat4 T = cellpath::kIdentity4;
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) T[r * 4 + k] = R[r * 3 + k];
      T[r * 4 + 3] = (1 - s) * ps[r] + s * pe[r];
    }
    out.push_back(T);
  }
  return out;
}

// nsamples joint vectors from seed to end inclusive, seed + (s / (nsamples - 1)) (end - seed),
// per joint and without wrapping.  The last vector is `end` itself rather than
// seed + 1.0 (end - seed), which can miss it by a rounding step: a return leg
// must land exactly on the pose it returns to.  Requires nsamples >= 2 (checked
// by the caller).  `out` receives nsamples * n values, one vector after the other.
inline void joint_space_segment(const double* seed, const double* end, std::size_t n, long nsamples,
                                double* out) {
  const double denom = static_cast<double>(nsamples - 1);
  for (long s = 0; s + 1 < nsamples; ++s) {
    const double f = static_cast<double>(s) / denom;
    for (std::size_t j = 0; j < n; ++j) out[s * n + j] = seed[j] + f * (end[j] - seed[j]);
  }
  for (std::size_t j = 0; j < n; ++j) out[(nsamples - 1) * n + j] = end[j];
}

}  // namespace quennet
