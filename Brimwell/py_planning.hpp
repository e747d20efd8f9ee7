// The planner's Python-facing entry points, shared between its binding files:
// segment planners, smoothing and densification (bindings.cpp), the
// bidirectional planner (connect_bindings.cpp), and the trajectory driver with
// its command line (driver.cpp).
#pragma once

#include "Brimwell/py_adapter.hpp"

#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell_py {

// A segment planner that ran out of iterations (a RuntimeError in Python).
struct PlanFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

nb::list plan_segment_impl(nb::handle ctx_obj, nb::handle start_in, nb::handle goal_in,
                           nb::handle rng, std::int64_t max_iters, double step, double goal_bias,
                           const std::string& stage);
nb::list plan_segment_connect_impl(
    nb::handle ctx_obj, nb::handle start_in, nb::handle goal_in, nb::handle rng,
    std::int64_t max_iters, double step, const std::string& stage,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
// The driver's choice of segment planner and its budget (segments.cpp).
enum class Planner { RrtStar, Connect, Auto };
struct Budget {
  std::int64_t max_iters = kMaxIters;  // of each planner's first attempt
  double time_limit =
      std::numeric_limits<double>::infinity();  // per segment, seconds; inf: no retries
};
inline constexpr double kAutoTimeLimit = 5.0;
inline constexpr double kRetryGrowth = 4.0;
inline constexpr const char* kLinearSegmentsFile = "LinearSegments.npz";

Planner planner_of(nb::handle name);
Budget budget_of(Planner planner, nb::handle max_iters, nb::handle time_limit);
std::vector<std::vector<double>> plan_one_segment(Planner planner, const Budget& budget,
                                                  nb::handle ctx_obj, nb::object start,
                                                  nb::object goal, nb::handle rng,
                                                  const std::string& seg, std::size_t n);
// A segment planned on a worker thread: its lines for the terminal, then its
// entries after the start, or the reason it failed.
struct PlannedSegment {
  std::vector<std::string> lines;
  std::vector<std::vector<double>> rows;
  std::string failure;  // empty when planned
};
std::map<std::size_t, PlannedSegment> plan_connect_segments(
    const Budget& budget, nb::handle ctx_obj, const std::vector<std::vector<double>>& waypoints,
    const std::vector<std::size_t>& todo, nb::handle rngs, std::size_t jobs);
std::map<std::size_t, std::vector<std::vector<double>>> load_given_segments(
    nb::handle cache_dir, const std::vector<std::vector<double>>& waypoints);
std::vector<std::vector<double>> check_given_segment(nb::handle ctx_obj,
                                                     const std::vector<std::vector<double>>& rows,
                                                     const std::string& seg);

nb::list smooth_path(nb::handle ctx_obj, nb::handle path_in, nb::handle rng, std::int64_t iters);
nb::object densify_values(const std::vector<std::vector<double>>& rows, double res);

// One line each on why a waypoint is refused (explain.cpp): the joints out of
// their limits; the links and obstacles in contact.
void explain_limits(nb::handle ctx_obj, nb::handle cache_dir, std::size_t index,
                    const std::vector<double>& q);
void explain_contacts(nb::handle ctx_obj, nb::handle cache_dir, std::size_t index,
                      nb::handle theta);

// Several problems on threads (parallel.cpp).  problem_generators: one
// generator per problem, spawned from the seed; jobs_of: a `jobs` argument
// (None: one per core); plans_natively: whether a context can be planned
// without the interpreter (native, nothing overridden); run_on_workers: calls
// plan(worker, i) for every i < count on up to `jobs` threads, the
// interpreter lock released, and rethrows the first problem's error.
nb::list problem_generators(nb::handle seed, std::size_t count);
std::size_t jobs_of(nb::handle jobs);
bool plans_natively(nb::handle ctx_obj);
void run_on_workers(nb::handle ctx_obj, std::size_t count, std::size_t jobs,
                    const std::function<void(brimwell::NativeWorker&, std::size_t)>& plan);

void register_connect(nb::module_& m);
void register_parallel(nb::module_& m);
void register_driver(nb::module_& m);

}  // namespace brimwell_py
