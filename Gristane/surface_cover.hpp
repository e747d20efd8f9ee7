// A link's surface as points in a tree of bounding spheres, in the link's
// own frame.  Every point of the mesh's surface lies within rho() of one of
// the points, and every point of a node lies within radius() - rho() of the
// node's centre: so the node's sphere holds every surface point its points
// stand for.  Tested against a distance bound, a node whose sphere is proven
// clear proves all of them; only the nodes that are not are opened.
#pragma once

#include "Gristane/geometry.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace gristane {

struct ModelStore;  // writes and reads the parts below (model_store.cpp)

struct CoverNode {
  double centre[3];
  double radius;  // covers the node's points and, with them, the surface they stand for
  std::uint32_t begin = 0, count = 0;  // the node's points, in tree order
  std::int32_t left = -1, right = -1;  // children, -1 for a leaf
};

class SurfaceCover {
 public:
  // A leaf holds at most this many points.
  static constexpr std::uint32_t kLeafPoints = 16;

  SurfaceCover() = default;
  // `spacing`: metres between neighbouring points along a triangle.  With
  // `surface_radii`, a node's radius also holds the surface around its
  // points (rho more); without, just the points themselves.
  SurfaceCover(const MeshRef& mesh, double spacing, bool surface_radii);

  bool empty() const { return nodes_.empty(); }
  std::size_t n_points() const { return points_.size() / 3; }
  const double* points() const { return points_.data(); }
  const std::vector<CoverNode>& nodes() const { return nodes_; }
  // The root's sphere.
  const double* centre() const { return nodes_.front().centre; }
  double radius() const { return nodes_.front().radius; }
  // How far a surface point may lie from the nearest of the points.
  double rho() const { return rho_; }

  // Depth first through the tree, each node's centre posed by T (row-major
  // 4x4, this cover's frame into another): a node for which settled(centre,
  // radius) holds is not opened; at a leaf, leaf(node, centre) decides, and
  // false ends the walk with false.  True when every leaf that was reached
  // passed.
  template <class Settled, class Leaf>
  bool walk(const double* T, Settled&& settled, Leaf&& leaf) const {
    if (nodes_.empty()) return true;
    std::int32_t stack[128];  // the tree's depth is about log2(points / leaf size)
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
      const CoverNode& n = nodes_[static_cast<std::size_t>(stack[--top])];
      double c[3];
      pose(T, n.centre, c);
      if (settled(c, n.radius)) continue;
      if (n.left < 0) {
        if (!leaf(n, c)) return false;
        continue;
      }
      stack[top++] = n.right;
      stack[top++] = n.left;
    }
    return true;
  }

  // The same walk, settled(centre, radius, key) deciding a node and setting
  // its key, and of two children to open the one with the smaller key (less
  // room) first: where something fails, the walk gets there sooner; where
  // nothing does, it opens the same nodes.  Settled children are never put on
  // the stack.
  template <class Settled, class Leaf>
  bool walk_tightest_first(const double* T, Settled&& settled, Leaf&& leaf) const {
    if (nodes_.empty()) return true;
    struct Open {
      std::int32_t node;
      double centre[3];
    };
    Open stack[128];
    int top = 0;
    {
      Open& root = stack[top++];
      root.node = 0;
      pose(T, nodes_[0].centre, root.centre);
      double key;
      if (settled(root.centre, nodes_[0].radius, key)) return true;
    }
    while (top > 0) {
      const Open o = stack[--top];
      const CoverNode& n = nodes_[static_cast<std::size_t>(o.node)];
      if (n.left < 0) {
        if (!leaf(n, o.centre)) return false;
        continue;
      }
      Open kids[2];
      double s[2];
      int k = 0;
      for (const std::int32_t child : {n.left, n.right}) {
        Open& c = kids[k];
        c.node = child;
        pose(T, nodes_[static_cast<std::size_t>(child)].centre, c.centre);
        if (!settled(c.centre, nodes_[static_cast<std::size_t>(child)].radius, s[k])) ++k;
      }
      if (k == 2 && s[0] < s[1]) std::swap(kids[0], kids[1]);
      for (int i = 0; i < k; ++i) stack[top++] = kids[i];
    }
    return true;
  }

  // w = T p for a row-major 4x4 rigid transform.
  static void pose(const double* T, const double* p, double* w) {
    for (int r = 0; r < 3; ++r)
      w[r] = T[r * 4 + 0] * p[0] + T[r * 4 + 1] * p[1] + T[r * 4 + 2] * p[2] + T[r * 4 + 3];
  }

 private:
  friend struct ModelStore;
  std::int32_t build(std::vector<std::uint32_t>& order, std::uint32_t begin, std::uint32_t end,
                     const std::vector<double>& pts, double extra);
  std::vector<double> points_;  // row-major (k, 3), grouped by leaf
  std::vector<CoverNode> nodes_;
  double rho_ = 0.0;
};

}  // namespace gristane
