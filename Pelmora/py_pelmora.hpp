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
// The pairs one call leaves out: the object's own, plus those `extra` allows
// (None, "base", "fixed" or a list of pairs).
std::set<Pair> ignored_pairs(const Pelmora& self, nb::handle extra);
std::set<Pair> resolve_allowed(const Pelmora& self, nb::handle requested);
// Pose the links, run the all-pairs test, keep the pairs not ignored.
std::set<Pair> collide(const Pelmora& self, const std::vector<Mat4>& poses,
                       const std::set<Pair>& ignored);
nb::object query(const Pelmora& self, nb::handle theta, nb::handle allowed);
// The colliding rows of a trajectory, (row, pairs), in row order.
std::vector<std::pair<std::size_t, std::set<Pair>>> colliding_rows(const Pelmora& self,
                                                                   const Array<double>& traj,
                                                                   nb::handle allowed);
Pelmora build_pelmora(nb::handle cache_dir, bool ignore_adjacent_links, nb::handle allowed);

// distance.cpp
std::vector<pelmora::PairDistance> pose_distances(Pelmora& self, nb::handle theta,
                                                  nb::handle allowed);
nb::dict distances(Pelmora& self, nb::handle theta, nb::handle allowed);
// The smallest distance of every row of a checked trajectory.
std::vector<double> trajectory_distances(Pelmora& self, const Array<double>& traj,
                                         nb::handle allowed);
nb::object distance_trajectory(Pelmora& self, nb::handle trajectory, nb::handle allowed);

// cli.cpp
nb::object main_entry(nb::handle argv);

}  // namespace pelmora_py
