// The Pelmora object as Python sees it, and the pieces its three parts share:
// the collision query and allowed pairs (bindings.cpp), the distance queries
// (distance.cpp) and the command line (cli.cpp).  The rules themselves are in
// pelmora.hpp, allowed.hpp and distance_core.hpp; these functions read the
// object's attributes into C++ values and call them.
#pragma once

#include "Pelmora/allowed.hpp"
#include "Pelmora/distance_core.hpp"
#include "Pelmora/pelmora.hpp"
#include "Pelmora/py_result.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/vector.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace pelmora_py {

// The module lives as long as the interpreter (sys.modules holds it), so a
// plain handle is enough.
inline nb::handle g_module;

struct Pelmora {
  nb::object cache_dir, link_names, home_transforms, env_names, slist, joint_limits, n_joints;
  nb::object manager, adjacent_pairs;
  // Pairs that queries leave out on request (a set of pairs in result form);
  // the base's contacts with the environment at the zero joint vector, which
  // "base" stands for; and those plus the environment bodies' contacts among
  // themselves, which "fixed" stands for.
  nb::object allowed_pairs, base_contacts, fixed_contacts;
  // One python-fcl object per environment body and per moving link, built at
  // the first distance query (None until then).
  nb::object distance_objects = nb::none();
};

long n_joints_of(const Pelmora& self);
// The joint vector, checked: shape (n_joints,), finite.
const Array<double>& theta_arg(const Pelmora& self, const Array<double>& theta);
// An (N, n_joints) finite trajectory: an array, a .npy path, or a cache
// directory (its JointAnglesToTravelAlong.npy).
Array<double> trajectory_arg(const Pelmora& self, nb::handle trajectory);
pelmora::Kinematics load_kinematics(const Pelmora& self);
// An allowed_pairs argument as found (None, "base", "fixed" or a list of
// pairs), with the text of every piece an error could quote; it is judged
// against the scene only when a call resolves it.
pelmora::AllowedRequest allowed_request(nb::handle requested);
// The pairs one call leaves out: the object's own, plus those `extra` allows.
std::set<Pair> ignored_pairs(const Pelmora& self, const pelmora::AllowedRequest& extra);
std::set<Pair> resolve_allowed(const Pelmora& self, const pelmora::AllowedRequest& requested);
// Pose the links, run the all-pairs test, keep the pairs not ignored.
std::set<Pair> collide(const Pelmora& self, const std::vector<Mat4>& poses,
                       const std::set<Pair>& ignored);
nb::object query(const Pelmora& self, nb::handle theta, const pelmora::AllowedRequest& allowed);
// The colliding rows of a trajectory, (row, pairs), in row order.
std::vector<std::pair<std::size_t, std::set<Pair>>> colliding_rows(
    const Pelmora& self, const Array<double>& traj, const pelmora::AllowedRequest& allowed);
Pelmora build_pelmora(const std::filesystem::path& cache_dir, bool ignore_adjacent_links,
                      const pelmora::AllowedRequest& allowed);

// distance.cpp
std::vector<pelmora::PairDistance> pose_distances(Pelmora& self, const Array<double>& theta,
                                                  const pelmora::AllowedRequest& allowed);
// The smallest distance of every row of a checked trajectory.
std::vector<double> trajectory_distances(Pelmora& self, const Array<double>& traj,
                                         const pelmora::AllowedRequest& allowed);
// The class's distances and distance_trajectory.
void bind_distance_queries(nb::class_<Pelmora>& cls);

// cli.cpp: the module's main.
void bind_command(nb::module_& m);

}  // namespace pelmora_py

// allowed_pairs arguments arrive read (allowed_request); reading one cannot
// fail, so nothing is reported earlier than before.
namespace nanobind::detail {
template <>
struct type_caster<pelmora::AllowedRequest> {
  NB_TYPE_CASTER(pelmora::AllowedRequest, const_name("object"))
  bool from_python(handle src, uint32_t, cleanup_list*) {
    value = pelmora_py::allowed_request(src);
    return true;
  }
};
}  // namespace nanobind::detail
