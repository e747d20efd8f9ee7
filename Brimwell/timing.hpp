// Timed trajectories along a planned joint path (Brimwell.time_parameterize).
#pragma once

#include "common/command_line.hpp"

#include <nanobind/nanobind.h>

namespace brimwell {

// Adds time_parameterize to the module.
void register_timing(nanobind::module_& m);

// The planner command line's timing options: --timed, --max-velocity V[,V...]
// and --max-acceleration A[,A...], added to its description.
void add_timing_options(cellpath::cli::Parser& command);

// The command line's timing options: the text as given (the run record keeps
// it) and the limits read from it (one float, or a float64 array per joint;
// None for a velocity limit the cache keeps).
struct TimingOptions {
  bool timed = false;
  nanobind::object max_velocity, max_acceleration;
  nanobind::object velocity_limits, acceleration_limits;
  bool joint_names = false;  // the CSV's columns named after JointNames.json
};

// Before planning: refuse timing options that cannot work (no acceleration
// limit, no velocity limit given or kept in the cache, malformed numbers), so a
// long plan is not wasted on them.
TimingOptions check_timing_options(nanobind::handle parser, nanobind::handle args,
                                   nanobind::handle cache_dir);

// After planning, with --timed: time the trajectory and check every sample
// with the plan's own planning context `ctx`.  Returns (summary line, {t, q,
// qd, qdd}, the CSV's bytes) for the caller to save with the trajectory, or
// None without --timed.  Raises what a timing that fails raises.
nanobind::object timed_outputs(const TimingOptions& options, nanobind::handle cache_dir,
                               nanobind::handle dense, nanobind::handle ctx);

// After the timed files are saved: the summary and the line that says where.
void say_timed_saved(nanobind::handle timed, nanobind::handle cache_dir);

}  // namespace brimwell
