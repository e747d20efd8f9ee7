// What Python's help() says about Kestrune's names.  Kept apart from the binding
// code (as generated docstring headers are), so the binding file reads as the
// names, their arguments and what they call.
#pragma once

namespace kestrune::doc {

inline constexpr const char* module =
    "FK attachment check of a capture cache: forward kinematics at theta = 0 reproduces the "
    "home poses, and consecutive links stay attached when the arm moves.";
inline constexpr const char* load_points =
    "The link-frame vertices of link `index` (array V of link_<index>.npz), thinned to n "
    "distinct vertices chosen with a generator seeded with `seed` when there are more.";
inline constexpr const char* min_gap =
    "The smallest distance between any point of a_world and any point of b_world.";
inline constexpr const char* test_home_pose_unchanged =
    "Assert that forward kinematics at the zero joint vector reproduces every captured home "
    "pose to within TOL.";
inline constexpr const char* test_mesh_connectivity_off_home =
    "Assert that, over five fixed random configurations, the smallest gap between every two "
    "consecutive links grows by less than GAP_SLACK over its home value.";
inline constexpr const char* main = "Run both checks on --cache-dir and report.";

}  // namespace kestrune::doc
