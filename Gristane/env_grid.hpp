// The environment grid and the voxel cache from C++ values: the extent of the
// meshes, their voxels marked in a grid, the cells of a bit-packed grid, and
// the links of a posed arm that touch occupied cells.  Errors are
// std::invalid_argument with the message the user sees.
#pragma once

#include "Gristane/collision.hpp"
#include "Gristane/geometry.hpp"
#include "Gristane/grid.hpp"
#include "Gristane/query.hpp"
#include "common/array_view.hpp"
#include "common/se3.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace gristane {

inline constexpr const char* kNoEnvironment =
    "the capture has no environment bodies: the environment grid needs at least one "
    "environment mesh or explicit bounds";

// One mesh's axis-aligned box: min corner, max corner.
using Box = std::array<double, 6>;

// A pitch must be a finite positive length; everything downstream divides by
// it.  Returns it, or throws std::invalid_argument saying what it got.
double checked_pitch(double pitch);

// Each mesh's box as trimesh computes its bounds (that of the vertices its
// faces refer to); "environment mesh <i> has no bounds" for one without faces.
std::vector<Box> referenced_boxes(const std::vector<MeshRef>& meshes);

// The cells of a stored grid of `shape` (each size checked already), which
// its `packed_bytes` bytes must hold exactly (unpack_cells' layout).
std::int64_t stored_grid_cells(const std::int64_t shape[3], std::size_t packed_bytes);

// The union of the boxes grown by `pad` on every side.
void padded_union(const std::vector<Box>& boxes, double pad, double lo[3], double hi[3]);

// Filled voxel centres of a mesh whose faces are checked, row-major (k, 3);
// `what` names the mesh when it has no triangles.
std::vector<double> voxelize_mesh(const MeshRef& m, double pitch, const std::string& what);

// Marks the filled voxels of every mesh ("environment mesh <i>") in the grid
// whose cell (0, 0, 0) starts at lo.
void mark_meshes(const std::vector<MeshRef>& meshes, const double lo[3], double pitch,
                 const GridRef& grid);

// Sets the cells (numbered row-major, `total` of them) whose bit is set in
// `packed`, first cell in the most significant bit; untouched cells stay as
// they are, so a sparse grid stays sparse in memory.
void unpack_cells(const std::uint8_t* packed, std::size_t bytes, std::int64_t total,
                  std::uint8_t* cells);

// The inverse: one bit per cell (set when the cell is nonzero), first cell in
// the most significant bit, the last byte padded with zeros.
std::vector<std::uint8_t> pack_cells(const std::uint8_t* cells, std::int64_t total);

// The rows of points given as (k, 3), or one point as (3,).
inline std::size_t point_rows(const cellpath::ArrayView<double>& p) {
  if (!(p.ndim() == 2 && p.shape[1] == 3) && !(p.ndim() == 1 && p.size == 3))
    throw std::invalid_argument("points must have shape (k, 3), got " +
                                cellpath::shape_text(p.shape));
  return p.size / 3;
}

// Links paired with their world transforms, tested against one grid.
struct PosedLinks {
  std::vector<PointsView> points;
  std::vector<cellpath::Mat4> transforms;
  GridView grid;
};

// Positions of the links with a point in an occupied cell, ascending; with
// `first_only`, at most the first.
std::vector<std::size_t> touching_links(const PosedLinks& q, bool first_only);

}  // namespace gristane
