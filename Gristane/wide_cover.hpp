// A cover's tree of spheres regrouped eight to a node, in single precision,
// so that one pass of 256-bit vector instructions settles eight spheres
// against the distance field at once.
//
// The binary tree (SurfaceCover) is walked one node at a time: every step
// waits on a field look-up before it knows which child to open, and a link
// near an obstacle takes tens of such steps.  Here a node holds the up to
// eight descendants that stand for it a few levels down, their look-ups made
// together, so a walk takes a third of the steps and the memory latency of
// eight look-ups overlaps.  Leaves are the binary tree's own and are tested
// as surface_clear tests them, in double precision.
//
// Single precision costs accuracy, not soundness.  Centres are kept from
// the root's centre, and posed relative to the field's corner, so every
// number stays within the link's and the field's extent (L metres together);
// each coordinate is then off by at most about 22 float roundings of L, and
// the cell's centre, the field's value and the radius (rounded up) by less.
// A sphere counts as settled only with slack() to spare beyond that: 64
// roundings of L.  So a sphere settled here is settled by the field in exact
// arithmetic too, and the walk's "clear" means what surface_clear's does.
// A machine without AVX2 and FMA takes the same steps lane by lane, with the
// same roundings, so plans do not depend on the machine.  Where the field is
// too large for 32-bit cell indices, the binary walk is used.
#pragma once

#include "Gristane/env_distance.hpp"
#include "Gristane/surface_cover.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace gristane {

class WideCover {
 public:
  static constexpr int kWidth = 8;

  struct alignas(32) Node {
    float x[kWidth], y[kWidth], z[kWidth], r[kWidth];
    // >= 0: the wide node below; < 0: -1 - the binary tree's leaf.
    std::int32_t next[kWidth];
    std::int32_t source[kWidth];  // the binary tree's node each lane stands for
    std::int32_t count;
  };

  WideCover() = default;
  explicit WideCover(const SurfaceCover& cover);

  bool empty() const { return nodes_.empty(); }
  const std::vector<Node>& nodes() const { return nodes_; }
  // The root's centre, from which the nodes' centres are kept, and radius.
  const double* centre() const { return centre_; }
  double radius() const { return radius_; }
  // The points of the binary tree's leaf b, eight to a block (radius: the
  // cover's rho): blocks leaf_block(b) on, (count + 7) / 8 of them.
  const Node& block(std::size_t k) const { return blocks_[k]; }
  std::int32_t leaf_block(std::size_t b) const { return leaf_block_[b]; }
  // Wide nodes on the longest way from the root to a leaf.
  int depth() const { return depth_; }
  // Binary nodes of the cover it was built from (a cheap check that the two
  // are used together).
  std::size_t source_nodes() const { return source_nodes_; }

  // Wide nodes a walk may pass through: its stack then never holds more than
  // 7 per level and 8 at the last.
  static constexpr int kMaxDepth = 32;

  // Depth first through the wide nodes: settle(node, room) returns the mask
  // of the node's lanes that need not be opened and sets each lane's room
  // (less: tighter); the open lanes go down, the tightest first, to their
  // wide node or to leaf(b) for the binary tree's leaf b, where false ends
  // the walk with false.  True when every leaf reached passed.
  template <class Settle, class Leaf>
  bool walk(Settle&& settle, Leaf&& leaf) const {
    std::int32_t stack[7 * kMaxDepth + kWidth];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
      const std::int32_t item = stack[--top];
      if (item < 0) {
        if (!leaf(-1 - item)) return false;
        continue;
      }
      const Node& n = nodes_[static_cast<std::size_t>(item)];
      alignas(32) float room[kWidth];
      const int settled = settle(n, room);
      // The open lanes, the one with the most room pushed first so that the
      // tightest is opened next: where something fails, the walk gets there
      // sooner.
      std::int32_t open[kWidth];
      float key[kWidth];
      int k = 0;
      for (int l = 0; l < n.count; ++l) {
        if (settled >> l & 1) continue;
        int at = k++;
        for (; at > 0 && key[at - 1] < room[l]; --at) {  // most room first
          key[at] = key[at - 1];
          open[at] = open[at - 1];
        }
        key[at] = room[l];
        open[at] = n.next[l];
      }
      for (int i = 0; i < k; ++i) stack[top++] = open[i];
    }
    return true;
  }

 private:
  std::int32_t build(const SurfaceCover& cover, std::int32_t node, int level);
  void build_blocks(const SurfaceCover& cover);
  std::vector<Node> nodes_;
  std::vector<Node> blocks_;
  std::vector<std::int32_t> leaf_block_;  // per binary node: its first block, -1 but for leaves
  double centre_[3] = {0, 0, 0}, radius_ = 0.0;
  int depth_ = 0;
  std::size_t source_nodes_ = 0;
};

// What a walk did, for tests: it takes the portable path when `portable` is
// set, and reports the wide nodes it opened, the largest distance between a
// sphere's centre posed in single precision and in double, and its slack.
struct WideWalkProbe {
  bool portable = false;
  std::size_t opened = 0;
  double centre_error = 0.0, slack = 0.0;
};

// surface_clear(cover, T, env, t, exact_up_to, certain), its spheres settled
// eight at a time through `wide` (built from `cover`) where the field allows,
// else by surface_clear itself.
bool wide_surface_clear(const WideCover& wide, const SurfaceCover& cover, const double* T,
                        const EnvironmentDistance& env, double t,
                        double exact_up_to = std::numeric_limits<double>::infinity(),
                        bool* certain = nullptr, WideWalkProbe* probe = nullptr);

}  // namespace gristane
