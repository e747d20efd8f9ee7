// The planner's Python-facing entry points, shared between its binding files:
// segment planners, smoothing and densification (bindings.cpp), the
// bidirectional planner (connect_bindings.cpp), and the trajectory driver with
// its command line (driver.cpp).
#pragma once

#include "py_adapter.hpp"

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
nb::list plan_segment_connect_impl(nb::handle ctx_obj, nb::handle start_in, nb::handle goal_in,
                                   nb::handle rng, std::int64_t max_iters, double step,
                                   const std::string& stage);
nb::list smooth_path(nb::handle ctx_obj, nb::handle path_in, nb::handle rng, std::int64_t iters);
nb::object densify_values(const std::vector<std::vector<double>>& rows, double res);

void register_connect(nb::module_& m);
void register_driver(nb::module_& m);

}  // namespace brimwell_py
