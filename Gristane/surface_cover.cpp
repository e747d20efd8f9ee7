#include "Gristane/surface_cover.hpp"

#include "Gristane/collision.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace gristane {

namespace {

constexpr std::uint32_t kLeafPoints = SurfaceCover::kLeafPoints;
// Rounding of posed points and of the bounds is many orders of magnitude
// under this; it keeps every radius on the safe side.
constexpr double kSlack = 1e-9;

}  // namespace

SurfaceCover::SurfaceCover(const MeshRef& mesh, double spacing, bool surface_radii) {
  if (!(spacing > 0.0)) throw std::invalid_argument("surface spacing must be positive");
  rho_ = kCoverFactor * spacing;
  if (mesh.n_faces == 0) return;
  std::vector<double> pts = surface_points(mesh, spacing);
  const std::size_t k = pts.size() / 3;
  if (k >= (std::size_t{1} << 31)) throw std::length_error("link surface sampled too finely");
  nodes_.reserve(2 * (k / kLeafPoints + 1));
  const double extra = surface_radii ? rho_ : 0.0;
  points_ = points_in_tree_order(pts.data(), k, [&](std::vector<std::uint32_t>& order) {
    build(order, 0, static_cast<std::uint32_t>(k), pts, extra);
  });
}

std::int32_t SurfaceCover::build(std::vector<std::uint32_t>& order, std::uint32_t begin,
                                 std::uint32_t end, const std::vector<double>& pts, double extra) {
  double lo[3], hi[3];
  for (int a = 0; a < 3; ++a) lo[a] = hi[a] = pts[3 * order[begin] + a];
  for (std::uint32_t i = begin + 1; i < end; ++i)
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], pts[3 * order[i] + a]);
      hi[a] = std::max(hi[a], pts[3 * order[i] + a]);
    }
  const auto index = static_cast<std::int32_t>(nodes_.size());
  nodes_.emplace_back();
  {
    CoverNode& n = nodes_.back();
    for (int a = 0; a < 3; ++a) n.centre[a] = 0.5 * (lo[a] + hi[a]);
    double r2 = 0.0;
    for (std::uint32_t i = begin; i < end; ++i) {
      const double* p = &pts[3 * order[i]];
      const double dx = p[0] - n.centre[0], dy = p[1] - n.centre[1], dz = p[2] - n.centre[2];
      r2 = std::max(r2, dx * dx + dy * dy + dz * dz);
    }
    n.radius = (std::sqrt(r2) + extra) * (1.0 + 1e-12) + kSlack;
    n.begin = begin;
    n.count = end - begin;
  }
  if (end - begin <= kLeafPoints) return index;
  const std::uint32_t mid = median_split(order, begin, end, pts.data(), lo, hi);
  const std::int32_t left = build(order, begin, mid, pts, extra);
  const std::int32_t right = build(order, mid, end, pts, extra);
  nodes_[index].left = left;
  nodes_[index].right = right;
  return index;
}

}  // namespace gristane
