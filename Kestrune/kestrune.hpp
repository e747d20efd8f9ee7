// The arithmetic of the FK attachment check: link points carried into the world,
// the smallest distance between two point sets, and the largest pose error.
#pragma once

#include "common/se3.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

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
