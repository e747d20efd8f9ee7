#include "Brimwell/context_arm.hpp"

#include "common/array_view.hpp"
#include "common/mesh_check.hpp"

#include <algorithm>
#include <cstdint>
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

void add_home_links(cellpath::capture::Capture& capture, const cellpath::ArrayView<double>& init) {
  const std::size_t n = capture.n_joints;
  if (init.ndim() != 3 || init.shape[0] != n + 1 || init.shape[1] != 4 || init.shape[2] != 4)
    throw std::invalid_argument(
        "the handler's initialTransforms must hold " + std::to_string(n + 1) +
        " transforms (base and one per joint), got shape " + cellpath::shape_text(init.shape));
  cellpath::require_finite(init, "initialTransforms");
  for (std::size_t i = 0; i <= n; ++i) {
    cellpath::capture::Link link;
    link.index = static_cast<std::int64_t>(i);
    link.home.emplace();
    std::copy(init.data + 16 * i, init.data + 16 * (i + 1), link.home->begin());
    capture.links.push_back(std::move(link));
  }
}

void require_point_set_count(std::size_t count, std::size_t n) {
  if (count != n + 1)
    throw std::invalid_argument("the handler has " + std::to_string(count) +
                                " link point sets, expected " + std::to_string(n + 1) +
                                " (base and one per joint)");
}

LinkCloud moving_cloud(const cellpath::ArrayView<double>& p, std::size_t i) {
  if (!(p.ndim() == 2 && p.shape[1] == 3) && p.size != 0)
    throw std::invalid_argument("link point set " + std::to_string(i) +
                                " must have shape (k, 3), got " + cellpath::shape_text(p.shape));
  return LinkCloud(p.data, p.size / 3);
}

void check_mesh_vertices(const cellpath::ArrayView<double>& v, const std::string& name) {
  if (v.size != 0 && !(v.ndim() == 2 && v.shape[1] == 3))
    throw std::invalid_argument(name + ": vertices must have shape (k, 3), got " +
                                cellpath::shape_text(v.shape));
  cellpath::require_finite(v, name.c_str());
}

void check_mesh_faces(const cellpath::ArrayView<std::int64_t>& f, const std::string& name) {
  if (f.size != 0 && !(f.ndim() == 2 && f.shape[1] == 3))
    throw std::invalid_argument(name + ": faces must have shape (m, 3)");
}

std::string bad_face_text(const cellpath::ArrayView<std::int64_t>& f, std::size_t n_vertices,
                          const std::string& name) {
  const std::size_t count = f.size - f.size % 3;
  const std::size_t k =
      cellpath::first_bad_face_entry(f.data, count, static_cast<std::int64_t>(n_vertices));
  if (k >= count) return {};
  return name + ": a face names vertex " + std::to_string(f.data[k]) + " of " +
         std::to_string(n_vertices);
}

}  // namespace brimwell
