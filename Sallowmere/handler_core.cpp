#include "Sallowmere/handler_core.hpp"

#include "Tovik/tovik.hpp"
#include "common/capture.hpp"

#include <algorithm>
#include <string>

namespace sallowmere {

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
