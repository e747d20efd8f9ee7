#include "Gristane/link_cloud.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace gristane {

namespace {

constexpr std::uint32_t kLeafPoints = 32;

// Relative slack added to a posed box before it is turned into cells.  The
// exact per-point position R p + t is rounded in three additions and three
// products, so it differs from the real value by a few units in the last place
// of |R| |p| + |t|; 1e-9 of that magnitude covers the rounding of both the
// per-point sum and the box computation many times over, while widening the box
// by nothing a metre-scale grid would notice.
constexpr double kSlack = 1e-9;

}  // namespace

LinkCloud::LinkCloud(const double* points, std::size_t k) {
  if (k >= (std::size_t{1} << 31)) throw std::length_error("link point set too large");
  if (k == 0) return;
  nodes_.reserve(2 * (k / kLeafPoints + 1));
  points_ = points_in_tree_order(points, k, [&](std::vector<std::uint32_t>& order) {
    build(order, 0, static_cast<std::uint32_t>(k), points);
  });
}

std::int32_t LinkCloud::build(std::vector<std::uint32_t>& order, std::uint32_t begin,
                              std::uint32_t end, const double* pts) {
  double lo[3], hi[3];
  for (int a = 0; a < 3; ++a) lo[a] = hi[a] = pts[3 * order[begin] + a];
  for (std::uint32_t i = begin + 1; i < end; ++i)
    for (int a = 0; a < 3; ++a) {
      const double v = pts[3 * order[i] + a];
      lo[a] = std::min(lo[a], v);
      hi[a] = std::max(hi[a], v);
    }
  const auto index = static_cast<std::int32_t>(nodes_.size());
  nodes_.emplace_back();
  {
    Node& n = nodes_.back();
    for (int a = 0; a < 3; ++a) {
      n.centre[a] = 0.5 * (lo[a] + hi[a]);
      n.half[a] = 0.5 * (hi[a] - lo[a]);
      // A non-finite point never lands in a cell; if it makes the box
      // non-finite, `cell_range` reports the box unknown and the exact test decides.
      n.reach[a] = std::max(std::fabs(lo[a]), std::fabs(hi[a]));
    }
    n.begin = begin;
    n.count = end - begin;
  }
  if (end - begin <= kLeafPoints) return index;

  const std::uint32_t mid = median_split(order, begin, end, pts, lo, hi);
  const std::int32_t left = build(order, begin, mid, pts);
  const std::int32_t right = build(order, mid, end, pts);
  nodes_[index].left = left;
  nodes_[index].right = right;
  return index;
}

LinkCloud::Range LinkCloud::cell_range(const Node& n, const cellpath::Mat4& T, const GridView& g,
                                       std::int64_t lo[3], std::int64_t hi[3]) const {
  for (int r = 0; r < 3; ++r) {
    const double* row = &T[r * 4];
    const double a0 = std::fabs(row[0]), a1 = std::fabs(row[1]), a2 = std::fabs(row[2]);
    const double centre =
        row[0] * n.centre[0] + row[1] * n.centre[1] + row[2] * n.centre[2] + row[3];
    const double half = a0 * n.half[0] + a1 * n.half[1] + a2 * n.half[2];
    const double magnitude =
        a0 * n.reach[0] + a1 * n.reach[1] + a2 * n.reach[2] + std::fabs(row[3]);
    const double slack = kSlack * (1.0 + magnitude);
    // x -> floor((x - origin) * inv_pitch) never decreases as x grows (each
    // rounded step is monotone), so points between wlo and whi land in cells
    // between flo and fhi.
    const double wlo = centre - half - slack, whi = centre + half + slack;
    const double flo = std::floor(grid_coord(wlo, g.origin[r], g.inv_pitch));
    const double fhi = std::floor(grid_coord(whi, g.origin[r], g.inv_pitch));
    if (!(flo <= fhi)) return Range::Unknown;  // NaN somewhere
    const auto extent = static_cast<double>(g.shape[r]);
    if (fhi < 0.0 || flo >= extent) return Range::Outside;
    lo[r] = flo < 0.0 ? 0 : static_cast<std::int64_t>(flo);
    hi[r] = fhi >= extent ? g.shape[r] - 1 : static_cast<std::int64_t>(fhi);
  }
  return Range::Cells;
}

bool LinkCloud::hits(const cellpath::Mat4& T, const OccupancySummary& summary) const {
  if (nodes_.empty()) return false;
  const GridView& g = summary.grid();
  // The tree is balanced (median splits), so its depth is about log2(k / 32).
  std::int32_t stack[96];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const Node& n = nodes_[static_cast<std::size_t>(stack[--top])];
    std::int64_t lo[3], hi[3];
    const Range range = cell_range(n, T, g, lo, hi);
    if (range == Range::Outside) continue;
    const bool leaf = n.left < 0;
    if (range == Range::Cells && !summary.may_be_occupied(lo, hi)) continue;
    if (leaf || range == Range::Unknown) {
      PointsView leaf_points;
      leaf_points.base = reinterpret_cast<const char*>(points_.data() + 3 * std::size_t{n.begin});
      leaf_points.k = n.count;
      if (points_hit(leaf_points, T, g)) return true;
      continue;
    }
    stack[top++] = n.right;
    stack[top++] = n.left;
  }
  return false;
}

}  // namespace gristane
