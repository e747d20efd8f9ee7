// The occupancy grid as the voxel engine reads it, and the one cell rule.
//
// A world point lies in cell floor((w - origin) * inv_pitch) per axis (cells
// are half-open: a point on a lower face belongs to that cell); a point whose
// cell falls outside [0, shape) on any axis is outside the grid and never
// collides.  NaN, infinite and huge coordinates are simply "outside".
//
// The engine built on it: query.hpp (posed points against the grid, SIMD
// where available: the one leaf test), link_cloud.hpp (a link's points in a
// box tree) and occupancy_summary.hpp (which boxes of cells may be occupied).
#pragma once

#include "common/se3.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// The cell rule.  World coordinate w lies at grid coordinate
//   x = (w - origin) * inv_pitch
// (that order of operations, everywhere), in cell floor(x) when 0 <= x < n.
// For such x truncation equals floor, and a NaN x lies nowhere, so the range
// test comes first and the cast only after it passed.
inline double grid_coord(double w, double origin, double inv_pitch) {
  return (w - origin) * inv_pitch;
}

inline bool cell_of(double x, std::int64_t n, std::int64_t& out) {
  if (!(x >= 0.0 && x < static_cast<double>(n))) return false;
  out = static_cast<std::int64_t>(x);
  return true;
}

// The points of a box tree stored in leaf order: `build_nodes(order)` builds
// the nodes over the identity order of the k row-major points `pts`,
// rearranging it; the points are then copied in that order.
template <class BuildNodes>
inline std::vector<double> points_in_tree_order(const double* pts, std::size_t k,
                                                BuildNodes&& build_nodes) {
  std::vector<std::uint32_t> order(k);
  for (std::uint32_t i = 0; i < k; ++i) order[i] = i;
  build_nodes(order);
  std::vector<double> out(3 * k);
  for (std::size_t i = 0; i < k; ++i)
    for (int a = 0; a < 3; ++a) out[3 * i + a] = pts[3 * order[i] + a];
  return out;
}

// The split of a box tree over points (row-major (k, 3) `pts`): the points
// order[begin, end) rearranged so that the first half lies at or below the
// second along the longest side of their box [lo, hi]; returns the middle.
inline std::uint32_t median_split(std::vector<std::uint32_t>& order, std::uint32_t begin,
                                  std::uint32_t end, const double* pts, const double lo[3],
                                  const double hi[3]) {
  int axis = 0;
  for (int a = 1; a < 3; ++a)
    if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
  const std::uint32_t mid = begin + (end - begin) / 2;
  std::nth_element(
      order.begin() + begin, order.begin() + mid, order.begin() + end,
      [&](std::uint32_t x, std::uint32_t y) { return pts[3 * x + axis] < pts[3 * y + axis]; });
  return mid;
}

}  // namespace gristane
