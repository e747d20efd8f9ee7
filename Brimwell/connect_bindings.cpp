// plan_segment_connect: the bidirectional planner of connect.hpp, run over the
// native context directly or over any Python context through its adapter.
#include "Brimwell/connect.hpp"
#include "Brimwell/py_planning.hpp"

#include <nanobind/stl/string.h>

namespace brimwell_py {

nb::list plan_segment_connect_impl(nb::handle ctx_obj, nb::handle start_in, nb::handle goal_in,
                                   nb::handle rng, std::int64_t max_iters, double step,
                                   const std::string& stage,
                                   std::chrono::steady_clock::time_point deadline) {
  SegmentEnds ends(start_in, goal_in);
  ContextAdapter ctx(ctx_obj);
  const std::size_t d = ends.read(ctx.dims());
  if (!cellpath::py::all_finite(ends.s.data(), d) || !cellpath::py::all_finite(ends.g.data(), d))
    throw nb::value_error("start and goal must hold finite joint values");

  brimwell::ConnectSettings settings;
  settings.max_iters = max_iters;
  settings.step = step;
  settings.deadline = deadline;
  Draws draws(rng, ctx.fully_native());
  ctx.set_draws(&draws);
  brimwell::ConnectResult r;
  {
    Progress progress(stage, max_iters);
    if (ctx.runs_released(draws))
      r = run_released(ctx, draws, progress,
                       [&](brimwell::NativeWorker& w, ReleasedProgress& watch) {
                         return brimwell::plan_rrt_connect(w, w, watch, settings, d, ends.s.data(),
                                                           ends.g.data());
                       });
    else
      r = brimwell::plan_rrt_connect(ctx, draws, progress, settings, d, ends.s.data(),
                                     ends.g.data());
  }
  if (r.status == brimwell::ConnectStatus::Failed)
    throw PlanFailure(
        "RRT-Connect failed to connect start " + py_str(ends.start) + " to goal " +
        py_str(ends.goal) + " within " + std::to_string(max_iters) + " iterations" +
        (std::chrono::steady_clock::now() >= deadline ? " (time limit reached)" : ""));
  // Start (a copy) ... goal (the caller's array, as converted).
  nb::list path;
  const std::size_t m = r.rows.size() / d;
  for (std::size_t k = 0; k + 1 < m; ++k) path.append(to_numpy(r.rows.data() + k * d, d));
  path.append(ends.goal);
  return path;
}

namespace {

nb::list plan_segment_connect(nb::handle ctx, nb::handle start, nb::handle goal, nb::handle rng,
                              std::int64_t max_iters, double step) {
  return plan_segment_connect_impl(ctx, start, goal, rng, max_iters, step, "RRT-Connect");
}

}  // namespace

void register_connect(nb::module_& m) {
  m.def("plan_segment_connect", &plan_segment_connect, "ctx"_a, "start"_a, "goal"_a, "rng"_a,
        "max_iters"_a = kMaxIters, "step"_a = kStep,
        "Bidirectional RRT-Connect from start to goal over straight joint-space edges checked "
        "by ctx, with the path already shortened (greedy and random shortcuts drawn from rng, "
        "then every entry whose neighbours are joined by a valid edge dropped).  Returns the "
        "list of configurations: a copy of start first, goal last, every consecutive pair "
        "passing ctx.edge_valid.  A valid direct edge gives [start, goal] without drawing from "
        "rng.  Raises RuntimeError when the trees do not meet within max_iters extensions.");
}

}  // namespace brimwell_py
