// The planner's Python-facing pieces shared between its binding files: the
// module's tuning values and the driver's arguments read into C++ values,
// the caller's generators, and the registration of each file's functions.
#pragma once

#include "Brimwell/command.hpp"
#include "Brimwell/docs.hpp"
#include "Brimwell/py_adapter.hpp"
#include "Brimwell/trajectory.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brimwell_py {

namespace doc = brimwell::doc;

using brimwell::Budget;
using brimwell::PlanFailure;
using brimwell::Planner;
using brimwell::PlannerSettings;

// The module's tuning values as they are now (segments.cpp).
PlannerSettings settings_from_module();
Planner planner_of(nb::handle name);
Budget budget_of(const PlannerSettings& settings, Planner planner, nb::handle max_iters,
                 nb::handle time_limit);

// Several problems' generators, one per problem, spawned from the seed
// (parallel.cpp).
std::vector<nb::object> problem_generators(nb::handle seed, std::size_t count);

// The driver's random generators: the run's one generator (numpy's
// default_rng of the seed, made at once), which segment after segment draws
// from, or with jobs one generator per segment, spawned from the seed the
// first time one is asked for.
class RunGenerators {
 public:
  explicit RunGenerators(nb::object seed) : seed_(std::move(seed)), run_(default_rng(seed_)) {}

  nb::handle run() const { return run_; }
  const std::vector<nb::object>& per_segment(std::size_t segments) {
    if (spawned_.empty() && segments > 0) spawned_ = problem_generators(seed_, segments);
    return spawned_;
  }

 private:
  nb::object seed_, run_;
  std::vector<nb::object> spawned_;
};

// The driver's work on its own context `ctx`, from the checked waypoints to
// the dense trajectory (segments.cpp).
brimwell::Trajectory plan_on_context(ContextAdapter& ctx, const std::filesystem::path& cache_dir,
                                     RunGenerators& generators,
                                     const brimwell::TrajectoryRequest& request);

// plan_segment_connect with a progress stage name (connect_bindings.cpp).
nb::list plan_segment_connect_impl(ContextAdapter& ctx, SegmentEnds& ends, nb::handle rng,
                                   std::int64_t max_iters, double step, const std::string& stage);

// Several problems on threads (parallel.cpp).  generator_states: the bit
// generators of `rngs` for native draws (alive as long as `rngs`); jobs_of: a
// `jobs` argument (None: one per core).
std::vector<brimwell::bitgen_t*> generator_states(const std::vector<nb::object>& rngs,
                                                  const std::vector<std::size_t>& which);
std::size_t jobs_of(nb::handle jobs);
inline void without_interpreter(const std::function<void()>& work) {
  nb::gil_scoped_release release;
  work();
}

// One line each on why a waypoint is refused (explain.cpp): the joints out of
// their limits; the links and obstacles in contact.
void explain_limits(const PlanningContext& ctx, const std::filesystem::path& cache_dir,
                    std::size_t index, const std::vector<double>& q);
void explain_contacts(const PlanningContext& ctx, const std::filesystem::path& cache_dir,
                      std::size_t index, const std::vector<double>& q);
void save_colliding_waypoint(nb::handle cache_dir, std::int64_t index, nb::handle theta_in);

void register_connect(nb::module_& m);
void register_parallel(nb::module_& m);
void register_driver(nb::module_& m);

}  // namespace brimwell_py

// Timed trajectories along a planned joint path (timing.cpp).
namespace brimwell {

// Adds time_parameterize to the module.
void register_timing(nanobind::module_& m);

// What a timed plan saves beside the trajectory.
struct TimedFiles {
  std::string summary;    // the line said once they are saved
  nanobind::dict arrays;  // {t, q, qd, qdd}, for TimedTrajectory.npz
  std::string csv;        // TimedTrajectory.csv
};

// After planning, with --timed: time the planned rows `path` and check every
// sample with the plan's own planning context `ctx`.  Nothing without
// --timed.  Raises what a timing that fails raises.
std::optional<TimedFiles> timed_outputs(const TimingOptions& options,
                                        const std::filesystem::path& cache_dir,
                                        const cellpath::ArrayView<double>& path,
                                        nanobind::handle ctx);

// After the timed files are saved: the summary and the line that says where.
void say_timed_saved(const TimedFiles& timed, const std::filesystem::path& cache_dir);

}  // namespace brimwell
