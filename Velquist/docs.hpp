// What Python's help() says about Velquist's names.  Kept apart from the binding
// code (as generated docstring headers are), so the binding file reads as the
// names, their arguments and what they call.
#pragma once

namespace velquist::doc {

inline constexpr const char* find_colliding_theta =
    "Draw joint vectors uniformly over JOINT_RANGE with rng until one makes a link other than "
    "the base touch the environment, and return it; RuntimeError after max_attempts misses.";
inline constexpr const char* main =
    "Print and show one configuration: --random, --theta or the cache's CollisionWaypoint.npz, "
    "in that order of preference.";
inline constexpr const char* module =
    "Collision viewer: one arm configuration in a viewer window, links that touch the "
    "environment drawn in a warning colour.";

}  // namespace velquist::doc
