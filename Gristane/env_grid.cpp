#include "Gristane/env_grid.hpp"

#include "Gristane/voxelize.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace gristane {

double checked_pitch(double pitch) {
  if (!std::isfinite(pitch) || !(pitch > 0.0))
    throw std::invalid_argument("pitch must be a finite positive number, got " +
                                cellpath::python_float_text(pitch));
  return pitch;
}

std::vector<Box> referenced_boxes(const std::vector<MeshRef>& meshes) {
  std::vector<Box> boxes;
  for (std::size_t i = 0; i < meshes.size(); ++i) {
    Box b;
    const MeshRef& m = meshes[i];
    if (!referenced_bounds(m.vertices, m.n_vertices, m.faces, m.n_faces, b.data(), b.data() + 3))
      throw std::invalid_argument("environment mesh " + std::to_string(i) +
                                  " has no bounds (no faces)");
    boxes.push_back(b);
  }
  return boxes;
}

std::int64_t stored_grid_cells(const std::int64_t shape[3], std::size_t packed_bytes) {
  // Compared in floating point first, so that sizes whose product would
  // overflow are refused rather than wrapped.
  const double cells =
      static_cast<double>(shape[0]) * static_cast<double>(shape[1]) * static_cast<double>(shape[2]);
  const char* mismatch = "voxel cache grid shape does not match its packed cells";
  if (cells > 8.0 * static_cast<double>(packed_bytes) + 8.0) throw std::invalid_argument(mismatch);
  const std::int64_t total = shape[0] * shape[1] * shape[2];
  if (static_cast<std::int64_t>(packed_bytes) != (total + 7) / 8)
    throw std::invalid_argument(mismatch);
  return total;
}

void padded_union(const std::vector<Box>& boxes, double pad, double lo[3], double hi[3]) {
  if (boxes.empty()) throw std::invalid_argument(kNoEnvironment);
  if (!std::isfinite(pad)) throw std::invalid_argument("pad must be finite");
  for (int a = 0; a < 3; ++a) {
    lo[a] = boxes[0][a];
    hi[a] = boxes[0][3 + a];
    for (const Box& b : boxes) {
      lo[a] = std::min(lo[a], b[a]);
      hi[a] = std::max(hi[a], b[3 + a]);
    }
    lo[a] = lo[a] - pad;
    hi[a] = hi[a] + pad;
  }
}

std::vector<double> voxelize_mesh(const MeshRef& m, double pitch, const std::string& what) {
  if (m.n_faces == 0) throw std::invalid_argument(what + " has no triangles to voxelize");
  return voxelize_filled(m.vertices, m.n_vertices, m.faces, m.n_faces, pitch);
}

void mark_meshes(const std::vector<MeshRef>& meshes, const double lo[3], double pitch,
                 const GridRef& grid) {
  for (std::size_t i = 0; i < meshes.size(); ++i) {
    const std::vector<double> pts =
        voxelize_mesh(meshes[i], pitch, "environment mesh " + std::to_string(i));
    mark_points(pts.data(), pts.size() / 3, lo, pitch, grid);
  }
}

void unpack_cells(const std::uint8_t* packed, std::size_t bytes, std::int64_t total,
                  std::uint8_t* cells) {
  for (std::size_t b = 0; b < bytes; ++b) {
    const std::uint8_t byte = packed[b];
    if (byte == 0) continue;
    for (int bit = 0; bit < 8; ++bit) {
      const std::int64_t cell = static_cast<std::int64_t>(8 * b) + bit;
      if (cell < total && (byte & (0x80u >> bit))) cells[cell] = 1;
    }
  }
}

std::vector<std::uint8_t> pack_cells(const std::uint8_t* cells, std::int64_t total) {
  std::vector<std::uint8_t> packed(static_cast<std::size_t>((total + 7) / 8), 0);
  for (std::int64_t i = 0; i < total; ++i)
    if (cells[i]) packed[static_cast<std::size_t>(i >> 3)] |= std::uint8_t(0x80u >> (i & 7));
  return packed;
}

std::vector<std::size_t> touching_links(const PosedLinks& q, bool first_only) {
  std::vector<std::size_t> hits;
  for (std::size_t i = 0; i < q.points.size(); ++i)
    if (link_hits_any(q.points[i], q.transforms[i], q.grid)) {
      hits.push_back(i);
      if (first_only) break;
    }
  return hits;
}

}  // namespace gristane
