#include "Gristane/occupancy_summary.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace gristane {

namespace {

// Both levels index a 4x4x4 arrangement by bit x*16 + y*4 + z.
constexpr int bit_of(int x, int y, int z) { return x * 16 + y * 4 + z; }

// kAxisRange[axis][a][b]: the bits whose coordinate on `axis` lies in [a, b].
struct AxisRanges {
  std::uint64_t m[3][4][4] = {};
  constexpr AxisRanges() {
    for (int a = 0; a < 4; ++a)
      for (int b = a; b < 4; ++b)
        for (int x = 0; x < 4; ++x)
          for (int y = 0; y < 4; ++y)
            for (int z = 0; z < 4; ++z) {
              const std::uint64_t bit = std::uint64_t{1} << bit_of(x, y, z);
              if (x >= a && x <= b) m[0][a][b] |= bit;
              if (y >= a && y <= b) m[1][a][b] |= bit;
              if (z >= a && z <= b) m[2][a][b] |= bit;
            }
  }
};
constexpr AxisRanges kAxisRange{};

inline std::uint64_t box_bits(const int lo[3], const int hi[3]) {
  return kAxisRange.m[0][lo[0]][hi[0]] & kAxisRange.m[1][lo[1]][hi[1]] &
         kAxisRange.m[2][lo[2]][hi[2]];
}

inline std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

}  // namespace

OccupancySummary::OccupancySummary(const GridView& grid) : grid_(grid) {
  std::size_t total = 1;
  for (int a = 0; a < 3; ++a) {
    count_[a] = grid.shape[a] > 0 ? ceil_div(grid.shape[a], 64) : 0;
    total *= static_cast<std::size_t>(count_[a]);
  }
  total_ = total;
  supers_ = std::make_unique<std::atomic<Superblock*>[]>(total);
  for (std::size_t k = 0; k < total; ++k) supers_[k].store(nullptr, std::memory_order_relaxed);
}

OccupancySummary::~OccupancySummary() {
  for (std::size_t k = 0; k < total_; ++k) delete supers_[k].load(std::memory_order_relaxed);
}

const OccupancySummary::Superblock& OccupancySummary::superblock(std::int64_t sx, std::int64_t sy,
                                                                 std::int64_t sz) const {
  std::atomic<Superblock*>& slot =
      supers_[static_cast<std::size_t>((sx * count_[1] + sy) * count_[2] + sz)];
  Superblock* built = slot.load(std::memory_order_acquire);
  if (built) return *built;
  auto s = std::make_unique<Superblock>();
  build(*s, sx, sy, sz);
  // Another thread may have built it meanwhile: its copy stays, ours goes.
  if (slot.compare_exchange_strong(built, s.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire))
    return *s.release();
  return *built;
}

void OccupancySummary::build(Superblock& s, std::int64_t sx, std::int64_t sy,
                             std::int64_t sz) const {
  const std::int64_t x0 = sx * 64, x1 = std::min(x0 + 64, grid_.shape[0]);
  const std::int64_t y0 = sy * 64, y1 = std::min(y0 + 64, grid_.shape[1]);
  const std::int64_t z0 = sz * 64, z1 = std::min(z0 + 64, grid_.shape[2]);
  const bool contiguous_z = grid_.stride[2] == 1;
  for (std::int64_t x = x0; x < x1; ++x)
    for (std::int64_t y = y0; y < y1; ++y) {
      const std::uint8_t* row = grid_.cells + x * grid_.stride[0] + y * grid_.stride[1];
      const int bx = static_cast<int>((x >> 4) & 3), by = static_cast<int>((y >> 4) & 3);
      const int ux = static_cast<int>((x >> 2) & 3), uy = static_cast<int>((y >> 2) & 3);
      if (contiguous_z) {
        // Most rows are empty: test 8 bytes at a time before looking closer.
        std::int64_t z = z0;
        for (; z + 8 <= z1; z += 8) {
          std::uint64_t word;
          std::memcpy(&word, row + z, 8);
          if (word == 0) continue;
          for (std::int64_t k = z; k < z + 8; ++k)
            if (row[k]) {
              const int b = bit_of(bx, by, static_cast<int>((k >> 4) & 3));
              s.blocks |= std::uint64_t{1} << b;
              s.sub[b] |= std::uint64_t{1} << bit_of(ux, uy, static_cast<int>((k >> 2) & 3));
            }
        }
        for (; z < z1; ++z)
          if (row[z]) {
            const int b = bit_of(bx, by, static_cast<int>((z >> 4) & 3));
            s.blocks |= std::uint64_t{1} << b;
            s.sub[b] |= std::uint64_t{1} << bit_of(ux, uy, static_cast<int>((z >> 2) & 3));
          }
      } else {
        for (std::int64_t z = z0; z < z1; ++z)
          if (row[z * grid_.stride[2]]) {
            const int b = bit_of(bx, by, static_cast<int>((z >> 4) & 3));
            s.blocks |= std::uint64_t{1} << b;
            s.sub[b] |= std::uint64_t{1} << bit_of(ux, uy, static_cast<int>((z >> 2) & 3));
          }
      }
    }
}

bool OccupancySummary::may_be_occupied(const std::int64_t lo[3], const std::int64_t hi[3]) const {
  for (std::int64_t sx = lo[0] >> 6; sx <= hi[0] >> 6; ++sx)
    for (std::int64_t sy = lo[1] >> 6; sy <= hi[1] >> 6; ++sy)
      for (std::int64_t sz = lo[2] >> 6; sz <= hi[2] >> 6; ++sz) {
        const Superblock& s = superblock(sx, sy, sz);
        if (!s.blocks) continue;
        const std::int64_t sc[3] = {sx, sy, sz};
        // The part of the query box inside this superblock, in blocks (0..3).
        int blo[3], bhi[3];
        for (int a = 0; a < 3; ++a) {
          blo[a] = (lo[a] >> 6) == sc[a] ? static_cast<int>((lo[a] >> 4) & 3) : 0;
          bhi[a] = (hi[a] >> 6) == sc[a] ? static_cast<int>((hi[a] >> 4) & 3) : 3;
        }
        std::uint64_t candidates = s.blocks & box_bits(blo, bhi);
        while (candidates) {
          const int b = __builtin_ctzll(candidates);
          candidates &= candidates - 1;
          const std::int64_t block[3] = {sx * 4 + (b >> 4), sy * 4 + ((b >> 2) & 3),
                                         sz * 4 + (b & 3)};
          // The part of the query box inside this block, in sub-blocks (0..3).
          int ulo[3], uhi[3];
          for (int a = 0; a < 3; ++a) {
            ulo[a] = (lo[a] >> 4) == block[a] ? static_cast<int>((lo[a] >> 2) & 3) : 0;
            uhi[a] = (hi[a] >> 4) == block[a] ? static_cast<int>((hi[a] >> 2) & 3) : 3;
          }
          if (s.sub[b] & box_bits(ulo, uhi)) return true;
        }
      }
  return false;
}

}  // namespace gristane
