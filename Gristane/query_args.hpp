// The voxel queries' and the distance engine's arguments, checked once their
// memory is in hand (Gristane/api.hpp and Gristane/distance_api.hpp hold the
// buffers): the grid and its origin, the link point sets, the transforms, the
// engine's settings.  Errors are std::invalid_argument with the user's words.
#pragma once

#include "Gristane/collision.hpp"
#include "Gristane/env_distance.hpp"
#include "Gristane/query.hpp"
#include "common/mesh.hpp"
#include "common/se3.hpp"
#include "common/strided_array.hpp"

#include <cstddef>
#include <vector>

namespace gristane {

using cellpath::StridedArray;

// The occupancy grid is a 3-D array of one-byte cells.
void require_grid_dims(const StridedArray& grid);

// The grid over `cells` (checked by require_grid_dims) with its lowest
// corner at `origin`, a finite 3-vector, and cells `pitch` apart.
GridView grid_of(const StridedArray& cells, const StridedArray& origin, double pitch);

// Link point set `i`, a (k, 3) float64 array read in place.
PointsView link_points_of(const StridedArray& points, std::size_t i);

// Transforms stacked in one (n, 4, 4) array, and transform `i` of them.
void require_stacked_transforms(const StridedArray& t);
cellpath::Mat4 stacked_transform(const StridedArray& t, std::size_t i);

// Transform `i` given on its own, a 4x4 array.
cellpath::Mat4 single_transform(const StridedArray& t, std::size_t i);

// The distance engine's settings with its cell and pad, checked.
EnvDistanceSettings distance_settings(double cell, double pad);

// What one pose of a link's cover tells the tests of the wide walk: the
// binary walk's verdict, the wide walk's on the vector and the portable path,
// the nodes each opened, the largest single-precision error of a posed centre
// and the walk's slack.
struct CoverWalk {
  bool binary = false, wide = false, portable = false;
  std::size_t wide_opened = 0, portable_opened = 0;
  double centre_error = 0.0, slack = 0.0;
};

// The cover of `mesh` (points `spacing` apart) posed by each of the `k`
// 4x4 `poses` and tested against the matching threshold.  A spacing so fine
// that it would sample the mesh into more than 1e7 points is refused.
std::vector<CoverWalk> cover_walks(const EnvironmentDistance& env, const cellpath::MeshRef& mesh,
                                   const double* poses, const double* thresholds, std::size_t k,
                                   double spacing);

}  // namespace gristane
