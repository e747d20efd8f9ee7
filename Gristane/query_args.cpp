#include "Gristane/query_args.hpp"

#include "Gristane/surface_cover.hpp"
#include "Gristane/wide_cover.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace gristane {

void require_grid_dims(const StridedArray& grid) {
  if (grid.ndim != 3)
    throw std::invalid_argument("env_grid must be a 3-D array, got " + std::to_string(grid.ndim) +
                                " dimensions");
}

GridView grid_of(const StridedArray& cells, const StridedArray& origin, double pitch) {
  if (origin.ndim != 1 || origin.shape[0] != 3)
    throw std::invalid_argument("env_origin must have shape (3,)");
  GridView g;
  g.cells = reinterpret_cast<const std::uint8_t*>(cells.data);
  for (int a = 0; a < 3; ++a) {
    g.shape[a] = cells.shape[a];
    g.stride[a] = cells.strides[a];
    g.origin[a] = origin.f64_at(a * origin.strides[0]);
    if (!std::isfinite(g.origin[a])) throw std::invalid_argument("env_origin must be finite");
  }
  g.inv_pitch = 1.0 / pitch;
  return g;
}

PointsView link_points_of(const StridedArray& points, std::size_t i) {
  if (points.ndim != 2 || points.shape[1] != 3)
    throw std::invalid_argument("link point set " + std::to_string(i) + " must have shape (k, 3)");
  PointsView p;
  p.base = points.data;
  p.k = points.shape[0];
  p.row_stride = points.strides[0];
  p.col_stride = points.strides[1];
  return p;
}

namespace {

cellpath::Mat4 read_transform(const StridedArray& v, std::int64_t offset, int row_axis) {
  cellpath::Mat4 T;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      T[4 * r + c] = v.f64_at(offset + r * v.strides[row_axis] + c * v.strides[row_axis + 1]);
  return T;
}

double mesh_area(const cellpath::MeshRef& m) {
  double area = 0.0;
  for (std::size_t f = 0; f < m.n_faces; ++f) {
    const double* p[3];
    for (int c = 0; c < 3; ++c) p[c] = m.vertices + 3 * m.faces[3 * f + c];
    const double u[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
    const double v[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
    area += 0.5 * std::hypot(u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                             u[0] * v[1] - u[1] * v[0]);
  }
  return area;
}

}  // namespace

void require_stacked_transforms(const StridedArray& t) {
  if (t.ndim != 3 || t.shape[1] != 4 || t.shape[2] != 4)
    throw std::invalid_argument("T_world_link must be a sequence of 4x4 transforms");
}

cellpath::Mat4 stacked_transform(const StridedArray& t, std::size_t i) {
  return read_transform(t, static_cast<std::int64_t>(i) * t.strides[0], 1);
}

cellpath::Mat4 single_transform(const StridedArray& t, std::size_t i) {
  if (t.ndim != 2 || t.shape[0] != 4 || t.shape[1] != 4)
    throw std::invalid_argument("transform " + std::to_string(i) + " must be 4x4");
  return read_transform(t, 0, 0);
}

EnvDistanceSettings distance_settings(double cell, double pad) {
  if (!(cell > 0.0) || !std::isfinite(cell))
    throw std::invalid_argument("cell must be a positive number of metres");
  if (!(pad >= 0.0) || !std::isfinite(pad))
    throw std::invalid_argument("pad must be a finite number of metres, not negative");
  EnvDistanceSettings s;
  s.cell = cell;
  s.pad = pad;
  return s;
}

std::vector<CoverWalk> cover_walks(const EnvironmentDistance& env, const cellpath::MeshRef& mesh,
                                   const double* poses, const double* thresholds, std::size_t k,
                                   double spacing) {
  // A spacing far finer than the mesh would sample it for hours.
  if (spacing > 0.0 && !(mesh_area(mesh) / (spacing * spacing) <= 1e7))
    throw std::invalid_argument("spacing too fine for this mesh (more than 1e7 points)");
  const SurfaceCover cover(mesh, spacing, true);
  const WideCover wide(cover);
  std::vector<CoverWalk> out;
  for (std::size_t i = 0; i < k; ++i) {
    const double* T = poses + 16 * i;
    const double t = thresholds[i];
    CoverWalk w;
    w.binary = surface_clear(cover, T, env, t);
    WideWalkProbe vec, port;
    port.portable = true;
    w.wide = wide_surface_clear(wide, cover, T, env, t, HUGE_VAL, nullptr, &vec);
    w.portable = wide_surface_clear(wide, cover, T, env, t, HUGE_VAL, nullptr, &port);
    w.wide_opened = vec.opened;
    w.portable_opened = port.opened;
    w.centre_error = std::max(vec.centre_error, port.centre_error);
    w.slack = vec.slack;
    out.push_back(w);
  }
  return out;
}

}  // namespace gristane
