// How far a link can move while the joints move along a straight line in
// joint space: the bound that proves an edge free between its checks.
//
// A point p of link i moves at speed sum_k |dq_k/dt| * |w_k| * dist(p, axis
// k) over the revolute joints k <= i (|dq_k/dt| * |v_k| for a prismatic
// one).  The distance from p to axis k never exceeds the length of the chain
// of points o_k, o_k+1, ..., o_i, p, where o_j is a point of axis j: each
// step of that chain is fixed in one link (axes j and j + 1 both move with
// link j), so it is measured once, at zero.  A prismatic joint in the chain
// lengthens it by at most its largest travel.  Along a straight edge each
// joint moves monotonically, so every point of link i stays within
//     sum_k coef(i, k) * |b_k - a_k|
// of where it started, with coef(i, k) = |w_k| * (chain length from axis k
// to link i's bounding sphere, plus its radius).
//
// Where the links' poses at the middle of a piece of the edge are known, a
// tighter bound: over the piece the distance from link i to axis k is at most
// its distance there (sphere centre to the axis line, plus the radius) plus
// how far the joints after k can move the link relative to that axis.
#pragma once

#include "common/se3.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace gristane {

class MotionBound {
 public:
  MotionBound() = default;
  // screws: the n world-frame screws at zero; home: world poses of links
  // 1 .. n at zero; centres (link frame) and radii: a sphere holding each
  // moving link's geometry; lower, upper: joint limits (finite).
  MotionBound(std::size_t n, const cellpath::Vec6* screws, const cellpath::Mat4* home,
              const double* centres, const double* radii, const double* lower, const double* upper)
      : n_(n),
        coef_(n * n, 0.0),
        centres_(centres, centres + 3 * n),
        radii_(radii, radii + n),
        axis_(n),
        revolute_(n),
        rate_(n) {
    std::vector<cellpath::Vec3> o(n);
    std::vector<double> travel(n);
    read_axes(screws, home, lower, upper, o, travel);
    if (n > 0)
      for (int a = 0; a < 3; ++a) first_axis_point_[a] = o[0][a];
    for (std::size_t i = 0; i < n; ++i) {
      const cellpath::Mat4& T = home[i];
      const double* c = centres + 3 * i;
      cellpath::Vec3 C;
      for (int r = 0; r < 3; ++r)
        C[r] = T[r * 4] * c[0] + T[r * 4 + 1] * c[1] + T[r * 4 + 2] * c[2] + T[r * 4 + 3];
      for (std::size_t k = 0; k <= i; ++k)
        coef_[i * n + k] =
            revolute_[k]
                ? rate_[k] * chain_length(o, travel, k, i, C, radii[i]) * (1.0 + 1e-12) + 1e-12
                : rate_[k];
    }
  }

  // out[i]: how far any point of link i + 1 can move over a straight move of
  // |dq| per joint.
  void bound(const double* dq_abs, double* out) const {
    for (std::size_t i = 0; i < n_; ++i) {
      double s = 0.0;
      for (std::size_t k = 0; k <= i; ++k) s += coef_[i * n_ + k] * dq_abs[k];
      out[i] = s * (1.0 + 1e-12);
    }
  }
  double coef(std::size_t i, std::size_t k) const { return coef_[i * n_ + k]; }

  // A ball that holds every link at every configuration: around a point of
  // the first joint's axis, the longest chain to a link's bounding sphere.
  // False when the first joint slides (no such ball).
  bool reach(double centre[3], double& radius) const {
    if (n_ == 0 || !revolute_[0]) return false;
    for (int a = 0; a < 3; ++a) centre[a] = first_axis_point_[a];
    radius = 0.0;
    for (std::size_t i = 0; i < n_; ++i) radius = std::max(radius, coef_[i * n_] / rate_[0]);
    return true;
  }

  // out[i]: how far any point of link i + 1 can move while the joints move
  // by at most |dq| * half from the configuration at which links 1 .. n are
  // posed at `poses` (poses[i] is link i + 1's world pose); never more than
  // bound() gives for the same motion.
  void piece_bound(const cellpath::Mat4* poses, const double* dq_abs, double half,
                   double* out) const {
    for (std::size_t i = 0; i < n_; ++i) out[i] = link_piece_bound(poses, dq_abs, half, i, 0);
  }

  // The same for link i + 1 alone, counting only joints first .. i: how far
  // it can move relative to link `first` (the base for 0), which joints
  // 1 .. first carry rigidly along with it.  Two links' distance changes
  // by no more than that, far less than their two motions in the world.
  double link_piece_bound(const cellpath::Mat4* poses, const double* dq_abs, double half,
                          std::size_t i, std::size_t first) const {
    {
      const cellpath::Mat4& Ti = poses[i];
      const double* c = &centres_[3 * i];
      double C[3];
      for (int r = 0; r < 3; ++r)
        C[r] = Ti[r * 4] * c[0] + Ti[r * 4 + 1] * c[1] + Ti[r * 4 + 2] * c[2] + Ti[r * 4 + 3];
      double total = 0.0, loose = 0.0, after = 0.0;  // after: motion due to joints k+1 .. i
      for (std::size_t kk = i + 1; kk-- > first;) {
        const double step = dq_abs[kk] * half;
        const double worst = coef_[i * n_ + kk] * step;
        loose += worst;
        if (!revolute_[kk]) {
          total += worst;
        } else {
          // The axis where link kk + 1 (which it turns) is posed now.
          const cellpath::Mat4& Tk = poses[kk];
          const Axis& A = axis_[kk];
          double P[3], D[3];
          for (int r = 0; r < 3; ++r) {
            P[r] = Tk[r * 4] * A.point[0] + Tk[r * 4 + 1] * A.point[1] +
                   Tk[r * 4 + 2] * A.point[2] + Tk[r * 4 + 3];
            D[r] = Tk[r * 4] * A.dir[0] + Tk[r * 4 + 1] * A.dir[1] + Tk[r * 4 + 2] * A.dir[2];
          }
          const double v[3] = {C[0] - P[0], C[1] - P[1], C[2] - P[2]};
          const double along = v[0] * D[0] + v[1] * D[1] + v[2] * D[2];
          const double perp2 =
              std::max(0.0, v[0] * v[0] + v[1] * v[1] + v[2] * v[2] - along * along);
          const double reach = std::sqrt(perp2) + radii_[i] + after;
          total += std::min(worst, rate_[kk] * reach * step);
        }
        after += worst;
      }
      // Rounding: a relative part-per-million and a nanometre, both far under
      // what the bound leaves over.
      return std::min(total, loose) * (1.0 + 1e-6) + 1e-9;
    }
  }

 private:
  // Each joint's rate; for a turning joint a point of its axis (o, world
  // frame at zero) and the axis in the frame of the link it turns (it never
  // moves there); for a sliding joint its largest travel.
  void read_axes(const cellpath::Vec6* screws, const cellpath::Mat4* home, const double* lower,
                 const double* upper, std::vector<cellpath::Vec3>& o, std::vector<double>& travel) {
    for (std::size_t k = 0; k < n_; ++k) {
      const cellpath::Vec6& S = screws[k];
      revolute_[k] = cellpath::turn_rate2(S) > 1e-24;
      if (revolute_[k]) {
        const cellpath::ScrewAxis axis = cellpath::screw_axis(S);
        rate_[k] = axis.rate;
        o[k] = axis.point;
        const cellpath::Mat4& H = home[k];
        const cellpath::Vec3& d = axis.dir;
        const double r[3] = {o[k][0] - H[3], o[k][1] - H[7], o[k][2] - H[11]};
        for (int a = 0; a < 3; ++a) {
          axis_[k].point[a] = H[0 * 4 + a] * r[0] + H[1 * 4 + a] * r[1] + H[2 * 4 + a] * r[2];
          axis_[k].dir[a] = H[0 * 4 + a] * d[0] + H[1 * 4 + a] * d[1] + H[2 * 4 + a] * d[2];
        }
      } else {
        rate_[k] = std::sqrt(S[3] * S[3] + S[4] * S[4] + S[5] * S[5]);
        travel[k] = std::max(std::fabs(lower[k]), std::fabs(upper[k])) * rate_[k];
      }
    }
  }

  // The chain from turning joint k's axis through the axes of the turning
  // joints after it to link i's bounding sphere (centre C at zero, radius r),
  // each sliding joint on the way adding its largest travel.
  double chain_length(const std::vector<cellpath::Vec3>& o, const std::vector<double>& travel,
                      std::size_t k, std::size_t i, const cellpath::Vec3& C, double r) const {
    using cellpath::dist;
    double length = 0.0, pending = 0.0;
    cellpath::Vec3 anchor = o[k];
    for (std::size_t j = k + 1; j <= i; ++j) {
      if (revolute_[j]) {
        length += dist(o[j], anchor) + pending;
        pending = 0.0;
        anchor = o[j];
      } else {
        pending += travel[j];
      }
    }
    length += dist(C, anchor) + pending + r;
    return length;
  }

  struct Axis {
    double point[3], dir[3];
  };
  std::size_t n_ = 0;
  std::vector<double> coef_;  // row i: link i + 1, column k: joint k + 1
  std::vector<double> centres_, radii_;
  std::vector<Axis> axis_;  // joint k's axis in link k + 1's frame
  std::vector<char> revolute_;
  std::vector<double> rate_;
  double first_axis_point_[3] = {0, 0, 0};
};

}  // namespace gristane
