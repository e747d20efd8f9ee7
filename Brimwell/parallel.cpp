// Several independent problems planned at once: each on a thread of its own
// with a worker copy of the native context (no interpreter), each drawing
// from a generator of its own, derived from one seed, so the answers do not
// depend on how many threads share the work or in which order they finish.
#include "Brimwell/py_planning.hpp"

#include <nanobind/stl/string.h>

#include <thread>

namespace brimwell_py {

std::vector<nb::object> problem_generators(nb::handle seed, std::size_t count) {
  nb::object children = numpy().attr("random").attr("SeedSequence")(seed).attr("spawn")(count);
  std::vector<nb::object> out;
  for (nb::handle child : children) out.push_back(default_rng(child));
  return out;
}

std::vector<brimwell::bitgen_t*> generator_states(const std::vector<nb::object>& rngs,
                                                  const std::vector<std::size_t>& which) {
  std::vector<brimwell::bitgen_t*> out;
  for (std::size_t i : which) out.push_back(bitgen_state(rngs[i].attr("bit_generator")));
  return out;
}

std::size_t jobs_of(nb::handle jobs) {
  if (jobs.is_none()) return std::max(1u, std::thread::hardware_concurrency());
  std::int64_t n = 0;
  bool ok = !PyBool_Check(jobs.ptr());
  if (ok) {
    try {
      n = to_index(jobs);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
      ok = false;
    }
  }
  if (!ok || n < 1)
    throw nb::value_error(("jobs must be a positive integer, got " + repr_of(jobs)).c_str());
  return static_cast<std::size_t>(n);
}

namespace {

nb::list plan_segments(nb::handle ctx_obj, nb::handle starts, nb::handle goals, nb::handle seed,
                       nb::handle jobs_in, std::int64_t max_iters, double step) {
  const std::size_t jobs = jobs_of(jobs_in);
  const std::size_t count = nb::len(starts);
  brimwell::require_as_many_goals(count, nb::len(goals));
  std::vector<SegmentEnds> ends;
  for (std::size_t i = 0; i < count; ++i)
    ends.emplace_back(starts[nb::int_(i)], goals[nb::int_(i)]);
  const std::vector<nb::object> rngs = problem_generators(seed, count);
  nb::list out;
  if (!nb::isinstance<PlanningContext>(ctx_obj) || !ContextAdapter(ctx_obj).fully_native()) {
    // A context with Python in it answers on the interpreter's thread, one
    // problem after the other.
    for (std::size_t i = 0; i < count; ++i) {
      try {
        ContextAdapter ctx(ctx_obj);
        out.append(plan_segment_connect_impl(ctx, ends[i], rngs[i], max_iters, step,
                                             "RRT-Connect " + std::to_string(i)));
      } catch (const PlanFailure& e) {
        throw PlanFailure("problem " + std::to_string(i) + ": " + e.what());
      }
    }
    return out;
  }
  ContextAdapter ctx(ctx_obj);
  std::vector<std::size_t> all(count);
  std::vector<const double*> s, g;
  for (std::size_t i = 0; i < count; ++i) {
    all[i] = i;
    const std::size_t d = ends[i].read(ctx.dims());
    brimwell::require_finite_ends(ends[i].s.data(), ends[i].g.data(), d,
                                  "problem " + std::to_string(i) + ": ");
    s.push_back(ends[i].s.data());
    g.push_back(ends[i].g.data());
  }
  const std::vector<brimwell::ConnectResult> results = brimwell::plan_on_workers(
      ctx.native_arm(), kDefaults.context_edge_res, kDefaults.connect(max_iters, step), s, g,
      generator_states(rngs, all), jobs, without_interpreter);
  const std::size_t d = ctx.dims();
  for (std::size_t i = 0; i < count; ++i)
    if (results[i].status == brimwell::ConnectStatus::Failed)
      throw PlanFailure("problem " + std::to_string(i) + ": " +
                        brimwell::failure_text("RRT-Connect", str_of(ends[i].start),
                                               str_of(ends[i].goal), max_iters));
  for (std::size_t i = 0; i < count; ++i) out.append(path_list(results[i].rows, d, ends[i].goal));
  return out;
}

}  // namespace

void register_parallel(nb::module_& m) {
  m.def("plan_segments", &plan_segments, "ctx"_a, "starts"_a, "goals"_a, "seed"_a,
        "jobs"_a = nb::none(), "max_iters"_a = kDefaults.max_iters, "step"_a = kDefaults.step,
        doc::kPlanSegments);
}

}  // namespace brimwell_py
