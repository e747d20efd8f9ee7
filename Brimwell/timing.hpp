// Timed trajectories along a planned joint path (Brimwell.time_parameterize).
#pragma once

#include "Brimwell/command.hpp"

#include <nanobind/nanobind.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brimwell {

// Adds time_parameterize to the module.
void register_timing(nanobind::module_& m);

// Before planning: the refusal of timing options that cannot work (no
// acceleration limit, no velocity limit given or kept in the cache, malformed
// numbers, a list that does not fit the arm), so a long plan is not wasted on
// them; "" when they can, with the limits read into `options`.
std::string check_timing_options(TimingOptions& options, const std::filesystem::path& cache_dir);

// What a timed plan saves beside the trajectory.
struct TimedFiles {
  std::string summary;    // the line said once they are saved
  nanobind::dict arrays;  // {t, q, qd, qdd}, for TimedTrajectory.npz
  std::string csv;        // TimedTrajectory.csv
};

// After planning, with --timed: time the trajectory and check every sample
// with the plan's own planning context `ctx`.  Nothing without --timed.
// Raises what a timing that fails raises.
std::optional<TimedFiles> timed_outputs(const TimingOptions& options,
                                        const std::filesystem::path& cache_dir,
                                        nanobind::handle dense, nanobind::handle ctx);

// After the timed files are saved: the summary and the line that says where.
void say_timed_saved(const TimedFiles& timed, const std::filesystem::path& cache_dir);

}  // namespace brimwell
