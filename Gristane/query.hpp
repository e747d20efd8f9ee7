// Collision queries of posed link point sets against the occupancy grid.
//
// The cell rule is collision.hpp's (grid_coord, cell_of).
#pragma once

#include "Gristane/collision.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace gristane {

// k points of one link, row-major triples at byte strides (row, coordinate).
struct PointsView {
  const char* base = nullptr;
  std::int64_t k = 0;
  std::int64_t row_stride = 24;
  std::int64_t col_stride = 8;

  double at(std::int64_t n, int a) const {
    double x;
    std::memcpy(&x, base + n * row_stride + a * col_stride, sizeof x);
    return x;
  }
};

// The leaf test: true when any point of `pts`, posed by T, lies in an occupied
// cell.  Four points at a time where the CPU and the layout allow (the same
// operations in the same order, so every point gets the same cell), else one
// by one; stops at the first hit.
bool points_hit(const PointsView& pts, const Mat4& T, const GridView& g);

// The same answer for a whole link, faster when most of it is far from any
// occupied cell: boxes of its points proved free are skipped, the rest goes
// through the leaf test.  (The stateless in_collision / colliding_links.)
bool link_hits_any(const PointsView& pts, const Mat4& T, const GridView& g);

}  // namespace gristane
