#include "Sallowmere/handler_core.hpp"

#include "Tovik/tovik.hpp"
#include "common/capture.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sallowmere {

namespace {

bool is_transform_stack(const cellpath::ArrayView<double>& a) {
  return a.ndim() == 3 && a.shape[0] != 0 && a.shape[1] == 4 && a.shape[2] == 4;
}

}  // namespace

void check_home_transforms(const cellpath::ArrayView<double>& home) {
  if (!is_transform_stack(home))
    throw std::invalid_argument(
        "home transforms in meta.json must form an (n_links, 4, 4) array, got shape " +
        cellpath::shape_text(home.shape));
  cellpath::require_finite(home, "home transforms in meta.json");
  for (std::size_t k = 0; k < home.shape[0]; ++k) {
    const double defect = cellpath::capture::rigid_defect(home.data + 16 * k);
    if (!(defect <= cellpath::capture::kRigidTolerance))
      throw std::invalid_argument(
          "home transform " + std::to_string(k) +
          " in meta.json (links by index) is not a rigid motion (scaled, sheared or "
          "reflected): capture the cache again from an unscaled design");
  }
}

std::size_t joints_of(const cellpath::ArrayView<double>& home) {
  if (!is_transform_stack(home))
    throw std::invalid_argument("initialTransforms must have shape (n_links, 4, 4)");
  return home.shape[0] - 1;
}

void check_link_count(std::size_t n_points, std::size_t n_home) {
  if (n_points != n_home)
    throw std::invalid_argument("meta.json lists " + std::to_string(n_home) + " links but " +
                                std::to_string(n_points) +
                                " link meshes were loaded (duplicate link indices?)");
}

void check_theta(const cellpath::ArrayView<double>& theta, std::size_t n) {
  if (theta.ndim() != 1 || theta.size != n)
    throw std::invalid_argument("theta must be a joint vector of " + std::to_string(n) +
                                " values, got shape " + cellpath::shape_text(theta.shape));
  cellpath::require_finite(theta, "theta");
}

std::vector<double> voxelized_link(const gristane::MeshRef& mesh, double pitch, std::size_t index) {
  return gristane::voxelize_mesh(mesh, pitch, "link mesh " + std::to_string(index));
}

void link_transforms(const double* home, std::size_t n, const double* stored_screws, double scale,
                     const double* theta, double* out) {
  const std::vector<double> world =
      cellpath::capture::world_screws(stored_screws, n, scale, cellpath::load4(home));
  std::copy(home, home + 16, out);
  tovik::forward_kinematics(world.data(), n, home + 16, theta, out + 16);
}

std::vector<std::size_t> moving_hits(const gristane::PosedLinks& arm) {
  std::vector<std::size_t> hits = gristane::touching_links(arm, false);
  hits.erase(std::remove(hits.begin(), hits.end(), std::size_t{0}), hits.end());
  return hits;
}

}  // namespace sallowmere
