// Independent segments planned on several threads: each problem draws from a
// generator of its own, derived from one seed, so the answers do not depend
// on how many threads share the work or in which order they finish.
#include "Brimwell/connect.hpp"
#include "Brimwell/py_planning.hpp"

#include <atomic>
#include <exception>
#include <thread>

#include <nanobind/stl/string.h>

namespace brimwell_py {

nb::list problem_generators(nb::handle seed, std::size_t count) {
  nb::object random = numpy().attr("random");
  nb::object children = random.attr("SeedSequence")(seed).attr("spawn")(count);
  nb::list out;
  for (nb::handle child : children) out.append(random.attr("default_rng")(child));
  return out;
}

std::size_t jobs_of(nb::handle jobs) {
  if (jobs.is_none()) return std::max(1u, std::thread::hardware_concurrency());
  std::int64_t n = 0;
  bool ok = !PyBool_Check(jobs.ptr());
  if (ok) {
    try {
      n = as_index(jobs);
    } catch (nb::python_error&) {
      ok = false;
    }
  }
  if (!ok || n < 1)
    throw nb::value_error(
        ("jobs must be a positive integer, got " + py_str(nb::repr(jobs))).c_str());
  return static_cast<std::size_t>(n);
}

bool plans_natively(nb::handle ctx_obj) {
  if (!nb::isinstance<PlanningContext>(ctx_obj)) return false;
  ContextAdapter ctx(ctx_obj);
  return ctx.fully_native() && nb::inst_ptr<PlanningContext>(ctx_obj)->span_finite;
}

void run_on_workers(nb::handle ctx_obj, std::size_t count, std::size_t jobs,
                    const std::function<void(brimwell::NativeWorker&, std::size_t)>& plan) {
  const brimwell::ArmModel& model = *nb::inst_ptr<PlanningContext>(ctx_obj)->model;
  const std::size_t threads = std::max<std::size_t>(1, std::min(jobs, count));
  // Each worker's copy of the model is taken while the interpreter lock
  // keeps every other user of the context away.
  std::vector<std::unique_ptr<brimwell::NativeWorker>> workers;
  for (std::size_t t = 0; t < threads; ++t)
    workers.push_back(std::make_unique<brimwell::NativeWorker>(model, kEdgeRes));
  std::vector<std::exception_ptr> errors(count);
  std::atomic<std::size_t> next{0};
  auto work = [&](brimwell::NativeWorker* w) {
    for (std::size_t i = next++; i < count; i = next++) {
      try {
        plan(*w, i);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  {
    nb::gil_scoped_release release;
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) {
      try {
        pool.emplace_back(work, workers[t].get());
      } catch (const std::system_error&) {
        break;  // no thread to be had: the others take its share
      }
    }
    work(workers[0].get());
    for (std::thread& th : pool) th.join();
  }
  for (std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

namespace {

std::string failure_text(const SegmentEnds& ends, std::int64_t max_iters) {
  return "RRT-Connect failed to connect start " + py_str(ends.start) + " to goal " +
         py_str(ends.goal) + " within " + std::to_string(max_iters) + " iterations";
}

nb::list plan_segments(nb::handle ctx_obj, nb::handle starts, nb::handle goals, nb::handle seed,
                       nb::handle jobs_in, std::int64_t max_iters, double step) {
  const std::size_t jobs = jobs_of(jobs_in);
  const std::size_t count = nb::len(starts);
  if (nb::len(goals) != count)
    throw nb::value_error(("starts and goals must be as many, got " + std::to_string(count) +
                           " and " + std::to_string(nb::len(goals)))
                              .c_str());
  std::vector<SegmentEnds> ends;
  ends.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    ends.emplace_back(starts[nb::int_(i)], goals[nb::int_(i)]);
  nb::list rngs = problem_generators(seed, count);
  nb::list out;
  if (!plans_natively(ctx_obj)) {
    // A context with Python in it answers on the interpreter's thread, one
    // problem after the other.
    for (std::size_t i = 0; i < count; ++i) {
      try {
        out.append(plan_segment_connect_impl(ctx_obj, ends[i].start, ends[i].goal, rngs[i],
                                             max_iters, step, "RRT-Connect " + std::to_string(i)));
      } catch (const PlanFailure& e) {
        throw PlanFailure("problem " + std::to_string(i) + ": " + e.what());
      }
    }
    return out;
  }
  const std::size_t d = nb::inst_ptr<PlanningContext>(ctx_obj)->n;
  std::vector<bitgen_t*> gens(count);
  for (std::size_t i = 0; i < count; ++i) {
    ends[i].read(d);
    if (!cellpath::py::all_finite(ends[i].s.data(), d) ||
        !cellpath::py::all_finite(ends[i].g.data(), d))
      throw nb::value_error(
          ("problem " + std::to_string(i) + ": start and goal must hold finite joint values")
              .c_str());
    nb::object capsule = rngs[i].attr("bit_generator").attr("capsule");
    void* p = PyCapsule_GetPointer(capsule.ptr(), "BitGenerator");
    if (!p) throw nb::python_error();
    gens[i] = static_cast<bitgen_t*>(p);  // lives as long as rngs[i]
  }
  brimwell::ConnectSettings settings;
  settings.max_iters = max_iters;
  settings.step = step;
  std::vector<brimwell::ConnectResult> results(count);
  run_on_workers(ctx_obj, count, jobs, [&](brimwell::NativeWorker& w, std::size_t i) {
    w.set_generator(gens[i]);
    brimwell::NoProgress quiet;
    results[i] =
        brimwell::plan_rrt_connect(w, w, quiet, settings, d, ends[i].s.data(), ends[i].g.data());
  });
  for (std::size_t i = 0; i < count; ++i)
    if (results[i].status == brimwell::ConnectStatus::Failed)
      throw PlanFailure("problem " + std::to_string(i) + ": " + failure_text(ends[i], max_iters));
  for (std::size_t i = 0; i < count; ++i) {
    nb::list path;
    const std::size_t m = results[i].rows.size() / d;
    for (std::size_t k = 0; k + 1 < m; ++k)
      path.append(to_numpy(results[i].rows.data() + k * d, d));
    path.append(ends[i].goal);
    out.append(path);
  }
  return out;
}

}  // namespace

void register_parallel(nb::module_& m) {
  m.def(
      "plan_segments", &plan_segments, "ctx"_a, "starts"_a, "goals"_a, "seed"_a,
      "jobs"_a = nb::none(), "max_iters"_a = kMaxIters, "step"_a = kStep,
      "Plan a batch of independent problems, starts[i] to goals[i], as plan_segment_connect "
      "does (RRT-Connect, shortened), on `jobs` threads (default: one per core).  Problem i "
      "draws from numpy.random.default_rng(numpy.random.SeedSequence(seed).spawn(len(starts))[i]), "
      "so the answer is the same for every number of threads.  Only a native PlanningContext "
      "with none of its methods replaced is planned on several threads, without the "
      "interpreter lock; any other context is planned one problem after the other.  Returns "
      "one path per problem; raises RuntimeError naming the first problem that cannot be planned.");
}

}  // namespace brimwell_py
