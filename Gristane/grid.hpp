// The environment occupancy grid: its size for an extent and a pitch, and the
// marking of occupied cells.  The grid's memory belongs to the caller (numpy
// allocates it zeroed); only the cells that become occupied are written, so
// the untouched bulk of a large grid never becomes resident.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gristane {

// Axis-aligned box of the vertices that some face refers to (unreferenced
// vertices do not count).  Returns false when no face exists.
bool referenced_bounds(const double* vertices, std::size_t n_vertices, const std::int64_t* faces,
                       std::size_t n_faces, double lo[3], double hi[3]);

// Cells per axis for the box [lo, hi] at `pitch`: ceil((hi - lo) / pitch),
// with no extra cell, so an extent of exactly 3 pitches gives 3 cells.  Throws
// std::invalid_argument (before any integer conversion) when an extent is not
// finite, negative, or the grid would be absurdly large.
void grid_shape(const double lo[3], const double hi[3], double pitch, std::int64_t shape[3]);

// A writable grid: one byte per cell at the given byte strides.
struct GridRef {
  std::uint8_t* cells = nullptr;
  std::int64_t shape[3] = {0, 0, 0};
  std::int64_t stride[3] = {0, 0, 0};
};

// Ask the kernel to back this (zeroed, untouched) memory with small pages.
// A grid is written sparsely, a few cells per plane; with transparent huge
// pages each touched plane would commit 2 MiB instead of a few 4 KiB pages.
// Advice only: does nothing where it is not supported.
void prefer_small_pages(void* data, std::size_t bytes);

// Set the cell floor((p - lo) / pitch) of every point p (row-major (k, 3))
// that falls inside the grid; points outside are dropped.  Returns the number
// of points that landed inside.
std::size_t mark_points(const double* points, std::size_t k, const double lo[3], double pitch,
                        const GridRef& grid);

}  // namespace gristane
