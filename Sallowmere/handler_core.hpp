// What RobotEnvironmentHandler computes, on C++ values: the link point sets,
// the link poses for a joint vector, and the links that touch the grid.  The
// handler (handler.hpp) reads its attributes into these values on every call
// and turns the answers back into Python objects.
#pragma once

#include "Gristane/env_grid.hpp"
#include "Gristane/geometry.hpp"
#include "common/array_view.hpp"

#include <cstddef>
#include <vector>

namespace sallowmere {

// The checks of the handler's arrays; std::invalid_argument names what is wrong.
//
// Home transforms read from meta.json: (n_links, 4, 4), n_links >= 1, finite.
void check_home_transforms(const cellpath::ArrayView<double>& home);
// The joints of an arm with these home transforms (its initialTransforms).
std::size_t joints_of(const cellpath::ArrayView<double>& home);
// As many link point sets as home transforms: duplicated indices in meta.json
// would pair point sets with the wrong home transforms without any error later.
void check_link_count(std::size_t n_points, std::size_t n_home);
// A joint vector of n finite values.
void check_theta(const cellpath::ArrayView<double>& theta, std::size_t n);

// The filled voxel centres of link mesh `index` (checked), row-major (k, 3).
std::vector<double> voxelized_link(const gristane::MeshRef& mesh, double pitch, std::size_t index);

// World transform of every link for joint vector theta (n values): entry 0
// (the base) is its home transform, entry i the product of exponentials of
// the world-frame screws (from the stored (6, n) list, linear rows scaled by
// `scale`) times home transform i.  home: n + 1 row-major 4x4; out likewise.
void link_transforms(const double* home, std::size_t n, const double* stored_screws, double scale,
                     const double* theta, double* out);

// Positions of the posed links that touch an occupied cell, the base (0) left out.
std::vector<std::size_t> moving_hits(const gristane::PosedLinks& arm);

}  // namespace sallowmere
