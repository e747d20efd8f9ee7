// The voxel collision rule, shared by every module that asks "does this posed
// link touch the environment?".
//
// A world point p lies in cell floor((p - origin) * inv_pitch) per axis (cells
// are half-open: a point on a lower face belongs to that cell); a point whose
// cell index falls outside [0, shape) on any axis is outside the grid and never
// collides.  The range test is made on the floored double before any cast, so
// NaN, infinite and huge coordinates are simply "outside".
#pragma once

#include "common/se3.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace gristane {

using cellpath::Mat4;

// A 3-D occupancy grid read in place (any strides, one byte per cell, nonzero =
// occupied) together with its placement in the world.
struct GridView {
  const std::uint8_t* cells = nullptr;
  std::int64_t shape[3] = {0, 0, 0};
  std::int64_t stride[3] = {0, 0, 0};  // in bytes
  double origin[3] = {0, 0, 0};
  double inv_pitch = 1.0;

  bool occupied(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return cells[i * stride[0] + j * stride[1] + k * stride[2]] != 0;
  }
};

// Cell index along one axis, or false when the coordinate is outside the grid.
inline bool cell_index(double w, double origin, double inv_pitch, std::int64_t n,
                       std::int64_t& out) {
  const double f = std::floor((w - origin) * inv_pitch);
  if (!(f >= 0.0 && f < static_cast<double>(n))) return false;  // NaN fails too
  out = static_cast<std::int64_t>(f);
  return true;
}

// World position of a link point: R p + t, summed in the order written.
inline void transform_point(const Mat4& T, const double* p, double* w) {
  for (int r = 0; r < 3; ++r) {
    double s = p[0] * T[r * 4 + 0];
    s += p[1] * T[r * 4 + 1];
    s += p[2] * T[r * 4 + 2];
    w[r] = s + T[r * 4 + 3];
  }
}

// True when any of the k points (row-major (k, 3), link frame) posed by T lies
// in an occupied cell.  Stops at the first hit.
inline bool link_hits(const double* pts, std::size_t k, const Mat4& T, const GridView& g) {
  for (std::size_t n = 0; n < k; ++n) {
    double w[3];
    transform_point(T, pts + 3 * n, w);
    std::int64_t i, j, l;
    if (!cell_index(w[0], g.origin[0], g.inv_pitch, g.shape[0], i)) continue;
    if (!cell_index(w[1], g.origin[1], g.inv_pitch, g.shape[1], j)) continue;
    if (!cell_index(w[2], g.origin[2], g.inv_pitch, g.shape[2], l)) continue;
    if (g.occupied(i, j, l)) return true;
  }
  return false;
}

}  // namespace gristane
