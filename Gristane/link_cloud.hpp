// One link's point set, arranged for fast "does this posed link touch the
// environment?" queries.
//
// The points are grouped into a binary tree of boxes (split at the median of
// the longest side, down to a few dozen points per leaf).  A query poses each
// box, turns its world bounds into a range of grid cells and asks the
// occupancy summary whether any cell in that range may be occupied; only the
// leaves that survive get the exact per-point cell test, which alone decides a
// hit.  Skipping a box is safe because every point inside it provably lands in
// a cell of the range (see `cell_range`), so the answer is exactly that of
// testing every point.
#pragma once

#include "Gristane/collision.hpp"
#include "Gristane/occupancy_summary.hpp"
#include "Gristane/query.hpp"

#include <cstdint>
#include <vector>

namespace gristane {

class LinkCloud {
 public:
  // `points`: row-major (k, 3) in the link's frame.  The order of the points is
  // irrelevant to the answer, so they are stored regrouped by leaf.
  LinkCloud(const double* points, std::size_t k);

  std::size_t size() const { return points_.size() / 3; }

  // True when any point posed by T lies in an occupied cell.
  bool hits(const cellpath::Mat4& T, const OccupancySummary& summary) const;

 private:
  struct Node {
    double centre[3];  // centre of the box of the node's points (link frame)
    double half[3];    // half extents
    double reach[3];   // |centre| + half per axis: bounds |coordinate| of every point
    std::uint32_t begin = 0, count = 0;  // the node's points
    std::int32_t left = -1, right = -1;  // children, or -1 for a leaf
  };

  enum class Range { Outside, Cells, Unknown };
  Range cell_range(const Node& n, const cellpath::Mat4& T, const GridView& g, std::int64_t lo[3],
                   std::int64_t hi[3]) const;
  std::int32_t build(std::vector<std::uint32_t>& order, std::uint32_t begin, std::uint32_t end,
                     const double* pts);

  std::vector<double> points_;  // regrouped, row-major (k, 3)
  std::vector<Node> nodes_;     // nodes_[0] is the root when non-empty
};

}  // namespace gristane
