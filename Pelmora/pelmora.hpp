// Exact mesh collision query, the parts that need no Python: object names and
// the pairs of them that touch, which pairs are ignored, how a result reads as
// text, and where every link is for a joint vector.
//
// Objects are named (kind, name) with kind "link" or "env".  A pair is two
// names in ascending order (kind first, then name; std::string compares UTF-8
// bytes, which orders like Python compares the code points of str).
#pragma once

#include "Tovik/tovik.hpp"
#include "common/array_view.hpp"
#include "common/capture.hpp"
#include "common/se3.hpp"

#include <algorithm>
#include <cstddef>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

using cellpath::Mat4;
using cellpath::Mat6;
using cellpath::Vec6;

struct ObjectName {
  std::string kind, name;
  auto operator<=>(const ObjectName&) const = default;
};

using Pair = std::pair<ObjectName, ObjectName>;

inline Pair ordered_pair(ObjectName a, ObjectName b) {
  if (b < a) std::swap(a, b);
  return {std::move(a), std::move(b)};
}

inline bool is_link_pair(const Pair& p) {
  return p.first.kind == "link" && p.second.kind == "link";
}

// One link and one environment object; generally, two objects of different kinds.
inline bool is_env_pair(const Pair& p) { return p.first.kind != p.second.kind; }

// "kind:name <-> kind:name"
inline std::string pair_line(const Pair& p) {
  return p.first.kind + ":" + p.first.name + " <-> " + p.second.kind + ":" + p.second.name;
}

// The text form of a query result, given the joint vector already as list text:
//   CollisionResult(theta=[...], no collisions)
//   CollisionResult(theta=[...]):\n  a <-> b\n  c <-> d      (pairs ascending)
inline std::string result_text(const std::string& theta_list, std::vector<Pair> pairs) {
  if (pairs.empty()) return "CollisionResult(theta=" + theta_list + ", no collisions)";
  std::sort(pairs.begin(), pairs.end());
  std::string s = "CollisionResult(theta=" + theta_list + "):\n  ";
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i) s += "\n  ";
    s += pair_line(pairs[i]);
  }
  return s;
}

// The kinematic model of the arm in the world frame: one space-frame screw per
// joint and one home pose per link (entry 0 the fixed base).
struct Kinematics {
  std::vector<Vec6> screws;  // world frame, linear part in metres
  std::vector<Mat4> homes;   // n_joints + 1 link poses at the zero joint vector
};

// `slist` is a row-major (6, n) screw list already in metres, `homes` n + 1
// row-major 4x4 poses.
inline Kinematics make_kinematics(const double* slist, std::size_t n, const double* homes) {
  Kinematics k;
  k.homes.reserve(n + 1);
  for (std::size_t i = 0; i <= n; ++i) k.homes.push_back(tovik::load4(homes + 16 * i));
  // The captured screws are expressed in the base link's frame.
  const Mat6 Ad = cellpath::adjoint(k.homes[0]);
  k.screws.reserve(n);
  for (std::size_t j = 0; j < n; ++j)
    k.screws.push_back(cellpath::capture::carry_screw(Ad, tovik::screw_column(slist, n, j)));
  return k;
}

// World pose of every link for joint vector `theta` (n entries): the base stays
// at its home pose, link i + 1 is exp([S_0] t_0) ... exp([S_i] t_i) M_{i+1}.
inline std::vector<Mat4> pose_links(const Kinematics& k, const double* theta) {
  const std::size_t n = k.screws.size();
  std::vector<Mat4> out(n + 1);
  out[0] = k.homes[0];
  cellpath::forward_kinematics(
      n, [&](std::size_t i) { return k.screws[i]; }, [&](std::size_t i) { return k.homes[i + 1]; },
      [&](std::size_t i) { return theta[i]; },
      [&](std::size_t i, const Mat4& T) { out[i + 1] = T; });
  return out;
}

}  // namespace pelmora

namespace pelmora {

using View = cellpath::ArrayView<double>;

// The checks on an object's arm model, in the order they are made: the screw
// list first (before the home poses are read), then the home poses and the
// link names, then finiteness.
inline void require_slist(const View& slist, long n) {
  if (slist.ndim() != 2 || slist.shape[0] != 6 || static_cast<long>(slist.shape[1]) != n)
    throw std::invalid_argument("slist must have shape (6, " + std::to_string(n) + "), got " +
                                cellpath::shape_text(slist.shape));
}

inline Kinematics kinematics_of(const View& slist, const View& homes, std::size_t n_link_names,
                                long n) {
  if (homes.ndim() != 3 || static_cast<long>(homes.shape[0]) != n + 1 || homes.shape[1] != 4 ||
      homes.shape[2] != 4)
    throw std::invalid_argument("home_transforms must hold " + std::to_string(n + 1) +
                                " 4x4 transforms, got shape " + cellpath::shape_text(homes.shape));
  if (static_cast<long>(n_link_names) != n + 1)
    throw std::invalid_argument("link_names must name " + std::to_string(n + 1) + " links, got " +
                                std::to_string(n_link_names));
  cellpath::require_finite(slist, "slist");
  cellpath::require_finite(homes, "home_transforms");
  return make_kinematics(slist.data, static_cast<std::size_t>(n), homes.data);
}

// A joint vector's shape: (n,).  (Its finiteness is checked by the caller,
// whose message shows the values.)
inline void require_joint_vector(const View& theta, long n) {
  if (theta.ndim() != 1 || static_cast<long>(theta.shape[0]) != n)
    throw std::invalid_argument("expected " + std::to_string(n) + " joint angles, got " +
                                cellpath::shape_text(theta.shape));
}

// An (N, n) finite trajectory.
inline void require_trajectory(const View& traj, long n) {
  if (traj.ndim() != 2 || static_cast<long>(traj.shape[1]) != n)
    throw std::invalid_argument("expected a trajectory of shape (N, " + std::to_string(n) +
                                "), one row of joint angles per configuration, got " +
                                cellpath::shape_text(traj.shape));
  if (!cellpath::all_finite(traj.data, traj.size))
    throw std::invalid_argument("trajectory joint angles must be finite");
}

// A capture has one fewer joint than links: the base is fixed.
// FCL places a mesh by a rotation and a translation only, so a home pose that
// scales, shears or reflects its link cannot be posed faithfully: refused.
inline void require_rigid_homes(const cellpath::capture::Capture& capture) {
  for (const cellpath::capture::Link& link : capture.links)
    if (!(cellpath::capture::rigid_defect(link.home->data()) <= cellpath::capture::kRigidTolerance))
      throw std::invalid_argument("home_transform of link " + link.name +
                                  " in meta.json is not a rigid motion (scaled, sheared or "
                                  "reflected): capture the cache again from an unscaled design");
}

// The columns of a stored screw list of numpy shape `shape`, which must be (6, n).
inline std::size_t stored_screw_columns(const std::vector<std::size_t>& shape) {
  if (shape.size() != 2 || shape[0] != 6)
    throw std::invalid_argument("ScrewAxis.npy must hold a (6, n) screw list, got shape " +
                                cellpath::shape_text(shape));
  return shape[1];
}

// FCL builds a bounding-volume tree over the triangles and dereferences an
// empty one during queries (the process dies), so a mesh without triangles is
// refused while the cache is read.
inline void require_triangles(const cellpath::Mesh& mesh, const std::string& path) {
  if (mesh.faces() == 0)
    throw std::invalid_argument(
        path + ": the mesh has no triangles, so it cannot take part in collision queries");
}

inline void require_joint_count(std::size_t n_joints, std::size_t n_links) {
  if (n_joints + 1 != n_links)
    throw std::invalid_argument("expected one fewer joint than links (base is fixed), got " +
                                std::to_string(n_joints) + " joints and " +
                                std::to_string(n_links) + " links");
}

}  // namespace pelmora
