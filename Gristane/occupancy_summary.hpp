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
//
// One summary serves every thread that queries the grid.  A superblock's slot
// is an atomic pointer: a query reads it with one acquire load (a plain load
// on x86, no lock); a missing superblock is built by the thread that needs it
// and published with a compare-and-swap, and a thread that loses the race
// drops its own copy (built from the same cells, so equal) for the winner's.
// Whatever one planner thread builds, the others and every later query use.
#pragma once

#include "Gristane/collision.hpp"

#include <atomic>
#include <cstdint>
#include <memory>

namespace gristane {

class OccupancySummary {
 public:
  explicit OccupancySummary(const GridView& grid);
  ~OccupancySummary();
  OccupancySummary(const OccupancySummary&) = delete;
  OccupancySummary& operator=(const OccupancySummary&) = delete;

  const GridView& grid() const { return grid_; }

  // Inclusive cell ranges [lo[a], hi[a]] per axis, already clamped to the grid
  // (0 <= lo <= hi < shape).  Safe from any number of threads at once.
  bool may_be_occupied(const std::int64_t lo[3], const std::int64_t hi[3]) const;

 private:
  struct Superblock {
    std::uint64_t blocks = 0;    // bit b: block b holds an occupied cell
    std::uint64_t sub[64] = {};  // per block: bit s: sub-block s holds one
  };

  const Superblock& superblock(std::int64_t sx, std::int64_t sy, std::int64_t sz) const;
  void build(Superblock& s, std::int64_t sx, std::int64_t sy, std::int64_t sz) const;

  GridView grid_;
  std::int64_t count_[3] = {0, 0, 0};  // superblocks per axis
  std::size_t total_ = 0;
  // Built superblocks (owned), null until first needed.
  std::unique_ptr<std::atomic<Superblock*>[]> supers_;
};

}  // namespace gristane
