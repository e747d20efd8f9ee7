// One planner run on a context that may hold the caller's answers: where it
// runs (on the context itself, drawing from the caller's generator, or, when
// nothing of the context is the caller's and the generator's state can be
// read directly, on a worker of the native model with the interpreter let
// go), and the progress it shows on the way.  The binding side gives the
// context's adapter, the generator, the display and the letting go
// (py_adapter.hpp); the rule is here, with no Python.
#pragma once

#include "Brimwell/connect.hpp"
#include "Brimwell/context_dispatch.hpp"
#include "Brimwell/native_context.hpp"
#include "Brimwell/segment_core.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell {

// Where progress is shown (a bar on a terminal that appears once the work has
// run for a while), and the interpreter's part in a long loop: the interrupts
// it lets through and its lock.
class ProgressDisplay {
 public:
  virtual void show(std::int64_t done, const std::string& note) = 0;
  virtual void clear() noexcept = 0;
  // Raises when an interrupt (Ctrl-C) is pending.
  virtual void check_interrupts() = 0;
  // f run holding the interpreter, from a loop that runs without it.
  virtual void holding_interpreter(const std::function<void()>& f) = 0;
  // work run without the interpreter.
  virtual void released(const std::function<void()>& work) = 0;

 protected:
  ~ProgressDisplay() = default;
};

// A loop's progress: redrawn at most every 100 ms, erased when the work ends;
// also where long loops let Ctrl-C through.
class Progress {
 public:
  explicit Progress(ProgressDisplay& display) : display_(display) {}
  ~Progress() { display_.clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Planner ticks: iteration, tree size, best goal cost so far.
  void tick(std::int64_t iteration, std::size_t nodes, double best) {
    if (poll()) display_.show(iteration, tree_note(nodes, best));
  }

  // The same from a loop that runs without the interpreter lock: the lock is
  // taken back only every 256th call, to let Ctrl-C through and redraw when due.
  void tick_released(std::int64_t iteration, std::size_t nodes, double best) {
    if (!clock_.released_call_due()) return;
    display_.holding_interpreter([&] {
      clock_.check_signals_next();
      tick(iteration, nodes, best);
    });
  }

  // Other loops: items done out of the total.
  void count(std::int64_t done) {
    if (poll()) display_.show(done, {});
  }

 private:
  // True when it is time to redraw; pending interrupts raise.
  bool poll() {
    if (clock_.signals_due()) display_.check_interrupts();
    return clock_.redraw_due();
  }

  ProgressDisplay& display_;
  RedrawClock clock_;
};

// A planner's watch while it runs without the interpreter lock.
struct ReleasedProgress {
  Progress& progress;
  void tick(std::int64_t iteration, std::size_t nodes, double best) {
    progress.tick_released(iteration, nodes, best);
  }
};

// plan(context, random, watch) on `ctx` (a ContextDispatch) drawing from
// `draws` (the caller's generator: random(), and bitgen(), its C state when a
// planner may draw from it without the interpreter): on a worker of the native
// model with the interpreter let go when nothing of the context is the
// caller's and the draws are native, else on ctx itself.  Let go, the run
// works on a copy of the context's data (another thread may meanwhile use the
// context) and the context's data is that copy afterwards: the queries go on
// from where the run left them, as they would had it run here.  `res`: the
// worker's edge resolution.
template <class Context, class Draws, class Plan>
auto run_planner(Context& ctx, Draws& draws, ProgressDisplay& display, double res, Plan&& plan) {
  Progress progress(display);
  if (!(ctx.fully_native() && draws.bitgen())) return plan(ctx, draws, progress);
  const NativeArm arm = ctx.native_arm();
  NativeWorker worker(*arm.model, *arm.data, res);
  worker.set_generator(draws.bitgen());
  ReleasedProgress watch{progress};
  std::optional<decltype(plan(worker, worker, watch))> result;
  display.released([&] { result.emplace(plan(worker, worker, watch)); });
  *arm.data = std::move(worker.data());
  return std::move(*result);
}

// A batch of problems: as many goals as starts.
inline void require_as_many_goals(std::size_t starts, std::size_t goals) {
  if (goals != starts)
    throw std::invalid_argument("starts and goals must be as many, got " + std::to_string(starts) +
                                " and " + std::to_string(goals));
}

// A segment's start and goal, d values each, finite ("problem i: " before the
// words for problem i of a batch).
inline void require_finite_ends(const double* start, const double* goal, std::size_t d,
                                const std::string& problem = "") {
  if (!cellpath::all_finite(start, d) || !cellpath::all_finite(goal, d))
    throw std::invalid_argument(problem + "start and goal must hold finite joint values");
}

// A batch of independent RRT-Connect problems on workers of the native model
// (run_on_workers: up to `jobs` threads, run inside `released`), problem i
// from starts[i] to goals[i] drawing from gens[i], so that the answers depend
// neither on the number of threads nor on the order they finish in.
inline std::vector<ConnectResult> plan_on_workers(
    NativeArm arm, double res, const ConnectSettings& settings,
    const std::vector<const double*>& starts, const std::vector<const double*>& goals,
    const std::vector<bitgen_t*>& gens, std::size_t jobs,
    const std::function<void(const std::function<void()>&)>& released) {
  const std::size_t d = arm.model->n_joints();
  std::vector<ConnectResult> results(starts.size());
  run_on_workers(
      arm, res, starts.size(), jobs,
      [&](NativeWorker& w, std::size_t i) {
        w.set_generator(gens[i]);
        NoProgress quiet;
        results[i] = plan_rrt_connect(w, w, quiet, settings, d, starts[i], goals[i]);
      },
      released);
  return results;
}

}  // namespace brimwell
