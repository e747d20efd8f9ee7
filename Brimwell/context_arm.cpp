#include "Brimwell/context_arm.hpp"

#include "common/array_view.hpp"

#include <stdexcept>
#include <string>

namespace brimwell {

ContextArm context_arm(const cellpath::capture::Capture& capture, double scale) {
  ContextArm arm;
  arm.n = capture.n_joints;
  arm.base = capture.links.at(0).home.value();
  arm.world_screws = cellpath::capture::world_screws(capture.screws.data(), arm.n, scale, arm.base);
  for (std::size_t i = 1; i < capture.links.size(); ++i)
    arm.homes.insert(arm.homes.end(), capture.links[i].home->begin(), capture.links[i].home->end());

  const std::vector<std::size_t>& shape = capture.limits_shape;
  if (shape.size() != 2 || shape[1] != 2)
    throw std::invalid_argument("JointLimits.npy must have shape (n, 2), got " +
                                cellpath::shape_text(shape));
  if (shape[0] != arm.n)
    throw std::invalid_argument("JointLimits.npy has " + std::to_string(shape[0]) +
                                " rows but ScrewAxis.npy has " + std::to_string(arm.n) +
                                " joint columns");
  arm.bounds = planning_bounds(capture.limits.data(), arm.n);
  return arm;
}

}  // namespace brimwell
