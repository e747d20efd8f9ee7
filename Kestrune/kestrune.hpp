// The arithmetic of the FK attachment check: link points carried into the world,
// the smallest distance between two point sets, and the largest pose error.
#pragma once

#include "common/array_view.hpp"
#include "common/command_line.hpp"
#include "common/se3.hpp"
#include "common/text.hpp"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune {

using cellpath::Mat4;

// out[k] = R p_k + t for the m row-major points p (link frame) of a link at T.
inline void world_points(const double* p, std::size_t m, const Mat4& T, double* out) {
  cellpath::transform_points(p, m, T, out);
}

// min over all pairs (i, j) of |a_i - b_j|, with the squared distance summed
// x, y, z in that order; sqrt is monotonic and correctly rounded, so taking it
// once at the end gives the same value as the minimum of the distances.  A NaN
// distance makes the result NaN, as a minimum over an array would.  Both sets
// must be non-empty.
inline double min_gap(const double* a, std::size_t na, const double* b, std::size_t nb) {
  double best = std::numeric_limits<double>::infinity();
  bool nan = false;
  for (std::size_t i = 0; i < na; ++i) {
    const double ax = a[3 * i], ay = a[3 * i + 1], az = a[3 * i + 2];
    for (std::size_t j = 0; j < nb; ++j) {
      const double dx = ax - b[3 * j], dy = ay - b[3 * j + 1], dz = az - b[3 * j + 2];
      double d2 = dx * dx;
      d2 += dy * dy;
      d2 += dz * dz;
      if (d2 < best) best = d2;
      nan |= std::isnan(d2);
    }
  }
  return nan ? std::numeric_limits<double>::quiet_NaN() : std::sqrt(best);
}

// max |x_k - y_k| over n entries, NaN if any difference is NaN.
inline double max_abs_diff(const double* x, const double* y, std::size_t n) {
  double best = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double d = std::fabs(x[k] - y[k]);
    if (std::isnan(d)) return d;
    if (d > best) best = d;
  }
  return best;
}

}  // namespace kestrune

namespace kestrune {

using View = cellpath::ArrayView<double>;

// The check's one option.
inline cellpath::cli::Parser command_line() {
  return {.raw_description = true,
          .arguments = {{.flag = "--cache-dir",
                         .cache_dir = true,
                         .cache_dir_help = "Cache directory to test against"}}};
}

// A failed check: its message is the AssertionError the user sees.
struct CheckFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline std::string format(const char* fmt, double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, x);
  return buf;
}

// A (k, 3) point set.
inline void require_points(const View& a, const std::string& what) {
  if (a.ndim() != 2 || a.shape[1] != 3)
    throw std::invalid_argument(what + " must have shape (k, 3), got " +
                                cellpath::shape_text(a.shape));
}

// A link's stored vertices (`what` names the array): (k, 3) points, finite.
inline void require_vertices(const View& v, const std::string& what) {
  require_points(v, what);
  if (!cellpath::all_finite(v.data, v.size))
    throw std::invalid_argument(what + " holds NaN or infinite coordinates");
}

// The smallest distance between two checked point sets, each non-empty.
inline double min_gap(const View& a, const View& b) {
  if (a.shape[0] == 0 || b.shape[0] == 0)
    throw std::invalid_argument("min_gap needs at least one point in each set");
  return min_gap(a.data, a.shape[0], b.data, b.shape[0]);
}

// (n_links, 4, 4) link poses.
inline void require_poses(const View& a, std::size_t n_links, const std::string& what) {
  if (a.ndim() != 3 || a.shape[0] != n_links || a.shape[1] != 4 || a.shape[2] != 4)
    throw std::invalid_argument(what + " must have shape (" + std::to_string(n_links) +
                                ", 4, 4), got " + cellpath::shape_text(a.shape));
}

// Forward kinematics at zero (T) against the captured home poses (init), both
// checked (n_links, 4, 4): the line to print, or CheckFailed.
inline std::string home_pose_report(const View& T, const View& init, double tol) {
  const double diff = max_abs_diff(T.data, init.data, T.size);
  if (!(diff < tol))
    throw CheckFailed("theta=0 FK does not match cached home transforms (max diff " +
                      cellpath::python_float_text(diff) + ")");
  return "OK: theta=0 FK matches cached home transforms (max diff " + format("%.2e", diff) + ").";
}

// The link-frame point sets of every link, and the smallest gap between
// consecutive links for a set of (n_links, 4, 4) poses.
struct LinkPoints {
  std::vector<View> local;  // (k_i, 3) each, k_i > 0

  double gap(const View& T, std::size_t i) const {
    const std::vector<double> a = world(T, i), b = world(T, i + 1);
    return min_gap(a.data(), local[i].shape[0], b.data(), local[i + 1].shape[0]);
  }
  std::vector<double> gaps(const View& T) const {
    std::vector<double> out;
    for (std::size_t i = 0; i + 1 < local.size(); ++i) out.push_back(gap(T, i));
    return out;
  }

 private:
  std::vector<double> world(const View& T, std::size_t i) const {
    std::vector<double> out(local[i].size);
    world_points(local[i].data, local[i].shape[0], cellpath::load4(T.data + 16 * i), out.data());
    return out;
  }
};

// CheckFailed when a consecutive pair's gap at a trial (`gaps`, as
// LinkPoints::gaps gives them) grew by GAP_SLACK or more over its home gap;
// theta_text() writes the trial's joint vector for the message.
template <class ThetaText>
void check_attached(const std::vector<double>& gaps, const std::vector<double>& home_gaps,
                    double slack, int trial, ThetaText&& theta_text) {
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    const double g = gaps[i];
    if (!(g < home_gaps[i] + slack))
      throw CheckFailed(
          "trial " + std::to_string(trial) + ", theta=" + theta_text() + ": link " +
          std::to_string(i) + "<->" + std::to_string(i + 1) + " gap grew to " + format("%.4f", g) +
          " m (home gap " + format("%.4f", home_gaps[i]) +
          " m) -- links detached. This is the 'links tear apart' failure mode: home_transform "
          "and the screw list were captured at different reference configs.");
  }
}

}  // namespace kestrune
