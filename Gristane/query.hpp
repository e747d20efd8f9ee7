// Collision queries of posed link point sets against the occupancy grid.
//
// Same cell rule as collision.hpp (floor((w - origin) * inv_pitch), half-open
// cells, out of range = free), evaluated without calling floor: for a double
// x and a whole number n, floor(x) lies in [0, n) exactly when x does (NaN
// lies nowhere), and for such x truncation equals floor.  So the range test is
// made on x itself and the cast happens only after it passed.
#pragma once

#include "collision.hpp"

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

inline bool axis_cell(double x, std::int64_t n, std::int64_t& out) {
  if (!(x >= 0.0 && x < static_cast<double>(n))) return false;
  out = static_cast<std::int64_t>(x);
  return true;
}

// True when any point of `pts`, posed by T, lies in an occupied cell.
// (Compiled in the core library, optimised for speed: it is the planner's
// inner loop.)
bool link_hits_any(const PointsView& pts, const Mat4& T, const GridView& g);

}  // namespace gristane
