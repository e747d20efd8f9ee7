// A coarse, lazily built summary of the environment grid that answers "may any
// cell of this box be occupied?" without reading the cells themselves.
//
// The grid is cut into superblocks of 64^3 cells, each made of 4^3 blocks of
// 16^3 cells, each made of 4^3 sub-blocks of 4^3 cells.  A superblock records
// one bit per non-empty block and, per block, one bit per non-empty sub-block.
// A superblock is built the first time a query touches it, so only the region
// the arm sweeps is ever read: the default grid has well over 10^9 cells and
// most of it stays untouched (and, being numpy's zero-filled allocation, never
// even mapped).
//
// The answer is conservative: `false` means every cell of the box is free;
// `true` means some sub-block overlapping the box holds an occupied cell, and
// the caller must test the points exactly.
#pragma once

#include "Gristane/collision.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace gristane {

class OccupancySummary {
 public:
  explicit OccupancySummary(const GridView& grid);
  // A copy starts with the superblocks built so far and builds on its own:
  // a planner on another thread gets one, since building writes the summary.
  OccupancySummary(const OccupancySummary& other);
  OccupancySummary& operator=(const OccupancySummary&) = delete;
  // Takes over the superblocks that `other`, a copy of this summary, built
  // and this one has not.
  void absorb(OccupancySummary& other);

  const GridView& grid() const { return grid_; }

  // Inclusive cell ranges [lo[a], hi[a]] per axis, already clamped to the grid
  // (0 <= lo <= hi < shape).
  bool may_be_occupied(const std::int64_t lo[3], const std::int64_t hi[3]);

 private:
  struct Superblock {
    std::uint64_t blocks = 0;    // bit b: block b holds an occupied cell
    std::uint64_t sub[64] = {};  // per block: bit s: sub-block s holds one
  };

  const Superblock& superblock(std::int64_t sx, std::int64_t sy, std::int64_t sz);
  void build(Superblock& s, std::int64_t sx, std::int64_t sy, std::int64_t sz) const;

  GridView grid_;
  std::int64_t count_[3] = {0, 0, 0};  // superblocks per axis
  std::vector<std::unique_ptr<Superblock>> supers_;
};

}  // namespace gristane
