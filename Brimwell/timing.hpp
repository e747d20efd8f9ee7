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

// After planning, with --timed: time the trajectory and check every sample
// with the plan's own planning context `ctx`.  Returns (summary line, {t, q,
// qd, qdd}, the CSV's bytes) for the caller to save with the trajectory, or
// None without --timed.  Raises what a timing that fails raises.
nanobind::object timed_outputs(nanobind::handle args, nanobind::handle cache_dir,
                               nanobind::handle dense, nanobind::handle ctx);

// After the timed files are saved: the summary and the line that says where.
void say_timed_saved(nanobind::handle timed, nanobind::handle cache_dir);

}  // namespace brimwell
