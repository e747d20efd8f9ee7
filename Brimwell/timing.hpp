// Timed trajectories along a planned joint path (Brimwell.time_parameterize).
#pragma once

#include <nanobind/nanobind.h>

namespace brimwell {

// Adds time_parameterize to the module.
void register_timing(nanobind::module_& m);

// The planner command line's timing options: --timed, --max-velocity V[,V...]
// and --max-acceleration A[,A...], added to its argparse parser.
void add_timing_options(nanobind::handle parser);

// Before planning: refuse timing options that cannot work (no acceleration
// limit, no velocity limit given or kept in the cache, malformed numbers), so a
// long plan is not wasted on them.
void check_timing_options(nanobind::handle parser, nanobind::handle args,
                          nanobind::handle cache_dir);

// After planning, with --timed: time the saved trajectory, check every sample
// with the plan's own planning context `ctx`, and write TimedTrajectory.npz
// and TimedTrajectory.csv beside it.
void write_timed_trajectory(nanobind::handle args, nanobind::handle cache_dir,
                            nanobind::handle dense, nanobind::handle ctx);

// Before planning, with --timed: remove TimedTrajectory.npz and .csv of an
// earlier run, so a run that fails leaves none that belong to another plan.
void remove_timed_trajectory(nanobind::handle args, nanobind::handle cache_dir);

}  // namespace brimwell
