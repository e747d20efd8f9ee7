// What Python's help() says about Wendacor's names.  Kept apart from the binding
// code (as generated docstring headers are), so the binding file reads as the
// names, their arguments and what they call.
#pragma once

namespace wendacor::doc {

inline constexpr const char* command =
    "Find a colliding and a collision-free configuration of the capture in CACHE_DIR (fixed "
    "seed), report them and show each.";
inline constexpr const char* find_configs =
    "(collide_theta, free_theta): the first colliding and the first collision-free joint "
    "vector drawn over JOINT_RANGE by a generator seeded with SEED (the zero vector is taken "
    "as the free one when it is free). RuntimeError when either is not found in MAX_ATTEMPTS "
    "samples.";
inline constexpr const char* render_scenario =
    "Print the voxel collision report of theta under `title` and show the arm there, touching "
    "links (the base included) in HIT_COLOR; the meshes come from cache_dir (default "
    "CACHE_DIR).";
inline constexpr const char* main =
    "Find both scenarios on the cache in CACHE_DIR (or --cache-dir DIR) and show them one "
    "after the other.";
inline constexpr const char* module =
    "Collision scenario check: a colliding and a collision-free configuration of a capture, "
    "found with a fixed seed, printed and shown.";

}  // namespace wendacor::doc
