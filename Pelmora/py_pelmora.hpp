// The Pelmora object as Python sees it, and the pieces its three parts share:
// the collision query and allowed pairs (bindings.cpp), the distance queries
// (distance.cpp) and the command line (cli.cpp).
#pragma once

#include "Pelmora/pelmora.hpp"
#include "Pelmora/py_result.hpp"
#include "common/pybridge.hpp"

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
// The joint vector as float64, shape (n_joints,), finite.
Array<double> theta_arg(const Pelmora& self, nb::handle theta);
// An (N, n_joints) finite trajectory: an array, a .npy path, or a cache
// directory (its JointAnglesToTravelAlong.npy).
Array<double> trajectory_arg(const Pelmora& self, nb::handle trajectory);
pelmora::Kinematics load_kinematics(const Pelmora& self);
nb::dict pose_map(const Pelmora& self, const std::vector<Mat4>& poses);
nb::dict forward_kinematics_py(const Pelmora& self, nb::handle theta);
// The pairs one call leaves out: the object's own, plus those `extra` allows
// (None, "base", "fixed" or a list of pairs).
std::set<Pair> ignored_pairs(const Pelmora& self, nb::handle extra);
nb::set resolve_allowed(const Pelmora& self, nb::handle requested);
// Pose the links, run the all-pairs test, keep the pairs not ignored.
nb::set collide(const Pelmora& self, const nb::dict& poses, const std::set<Pair>& ignored);
nb::object query(const Pelmora& self, nb::handle theta, nb::handle allowed);
nb::list query_trajectory(const Pelmora& self, nb::handle trajectory, nb::handle allowed);
Pelmora build_pelmora(nb::handle cache_dir, bool ignore_adjacent_links, nb::handle allowed);

// distance.cpp
nb::dict distances(Pelmora& self, nb::handle theta, nb::handle allowed);
nb::object distance_trajectory(Pelmora& self, nb::handle trajectory, nb::handle allowed);
// The smallest entry of a distances() map as (distance, pair), (inf, None) when empty.
nb::tuple smallest_distance(nb::handle distance_map);

// cli.cpp
nb::object main_entry(nb::handle argv);

}  // namespace pelmora_py
