// plan_segment_connect: the bidirectional planner of connect.hpp, run over the
// native context directly or over any Python context through its adapter.
#include "Brimwell/py_planning.hpp"

#include <nanobind/stl/string.h>

namespace brimwell_py {

nb::list plan_segment_connect_impl(ContextAdapter& ctx, SegmentEnds& ends, nb::handle rng,
                                   std::int64_t max_iters, double step, const std::string& stage) {
  const std::size_t d = ends.read(ctx.dims());
  brimwell::require_finite_ends(ends.s.data(), ends.g.data(), d);
  refuse_invalid_ends(ctx, ends);
  const brimwell::ConnectResult r = run_connect_proving(
      ctx, rng, kDefaults.connect(max_iters, step), ends.s.data(), ends.g.data(), stage);
  if (r.status == brimwell::ConnectStatus::Failed)
    throw PlanFailure(
        brimwell::failure_text("RRT-Connect", str_of(ends.start), str_of(ends.goal), max_iters));
  return path_list(r.rows, d, ends.goal);
}

namespace {

nb::list plan_segment_connect(nb::handle ctx, nb::handle start, nb::handle goal, nb::handle rng,
                              std::int64_t max_iters, double step) {
  SegmentEnds ends(start, goal);
  ContextAdapter adapter(ctx);
  return plan_segment_connect_impl(adapter, ends, rng, max_iters, step, "RRT-Connect");
}

}  // namespace

void register_connect(nb::module_& m) {
  m.def("plan_segment_connect", &plan_segment_connect, "ctx"_a, "start"_a, "goal"_a, "rng"_a,
        "max_iters"_a = kDefaults.max_iters, "step"_a = kDefaults.step, doc::kPlanSegmentConnect);
}

}  // namespace brimwell_py
