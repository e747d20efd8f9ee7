// The planner's adapters to Python: any object with a planning context's
// methods as the C++ planner sees it (the native context called directly, the
// rest through Python), and the progress line on the terminal.
#pragma once

#include "Brimwell/py_bridge.hpp"

#include "common/progress.hpp"

#include <optional>

namespace brimwell_py {

// A segment's start and goal: the caller's values converted by numpy to
// float64 (the planned path ends with the goal array itself), and read as
// joint vectors of the context's dimension once the context is known.
struct SegmentEnds {
  nb::object start, goal;
  std::vector<double> s, g;
  SegmentEnds(nb::handle start_in, nb::handle goal_in) {
    nb::module_ np = numpy();
    start = np.attr("asarray")(start_in, "dtype"_a = np.attr("float64"));
    goal = np.attr("asarray")(goal_in, "dtype"_a = np.attr("float64"));
  }
  std::size_t read(std::size_t d) {
    s = joint_vector(start, d, "start");
    g = joint_vector(goal, d, "goal");
    return d;
  }
};

// ---------------------------------------------------------------------------
// A planning context as the C++ planner sees it: the native one called
// directly, any other object (or an overridden method) through Python.

class ContextAdapter {
 public:
  ContextAdapter(nb::handle ctx) : ctx_(nb::borrow(ctx)) {
    if (nb::isinstance<PlanningContext>(ctx)) {
      native_ = nb::inst_ptr<PlanningContext>(ctx);
      queries_.emplace(*native_->model, kEdgeRes);
      over_ = overrides_of(ctx);
      d_ = native_->n;
    } else {
      const std::int64_t d = as_index(ctx.attr("n_joints"));
      if (d < 0) throw nb::value_error("ctx.n_joints must not be negative");
      d_ = static_cast<std::size_t>(d);
      over_.in_limits = over_.is_valid = over_.edge_valid = over_.sample = true;
    }
    scratch_.resize(d_);
  }

  std::size_t dims() const { return d_; }
  bool python_edge_valid() const { return over_.edge_valid; }
  bool fully_native() const { return native_ && !over_.any(); }
  nb::handle object() const { return ctx_; }
  PlanningContext* native() const { return native_; }
  // Whether a planner can run on this context without the interpreter: the
  // native context with nothing replaced, drawing natively from `draws`.
  bool runs_released(const Draws& draws) const {
    return fully_native() && draws.native() && native_->span_finite;
  }
  void set_draws(Draws* draws) { draws_ = draws; }

  bool in_limits(const double* q) {
    if (over_.in_limits) return truth(ctx_.attr("in_limits")(to_numpy(q, d_)));
    return native_->model->in_limits(q);
  }

  // The base is_valid: limits first, then the collision test.
  bool base_is_valid(const double* q) {
    if (!in_limits(q)) return false;
    brimwell::ArmModel& m = *native_->model;
    // With a clearance the distance engine is the environment test; the
    // module's voxel functions play no part.
    if (m.clearance_on()) return m.clear_at(q) && !m.self_collides(q);
    if (over_.geometry) {
      if (python_collides(q)) return false;
      if (!m.self_collision()) return true;
      m.pose(q);
      return !m.self_collides(q);
    }
    return !m.collides(q) && !m.self_collides(q);
  }

  // in_collision(link_points[1:], stack(forward_kinematics(slist, home, q)), grid,
  // origin, pitch) through whatever the module's names are bound to now.
  bool python_collides(const double* q) {
    nb::module_ m = self_module();
    nb::object h = native_->handler;
    nb::object moving =
        m.attr("forward_kinematics")(native_->slist, native_->home_transforms, to_numpy(q, d_));
    nb::object T = numpy().attr("stack")(moving);
    nb::object all_links = h.attr("link_points");
    nb::object links = all_links[nb::slice(nb::int_(1), nb::none(), nb::none())];
    return truth(m.attr("in_collision")(links, T, h.attr("env_grid"), h.attr("env_origin"),
                                        h.attr("pitch")));
  }

  bool is_valid(const double* q) {
    if (over_.is_valid) return truth(ctx_.attr("is_valid")(to_numpy(q, d_)));
    if (native_only()) return native_valid(q);
    return base_is_valid(q);
  }

  // Nothing Python-side observes the validity tests.
  bool native_only() const {
    return native_ && !over_.is_valid && !over_.in_limits &&
           (!over_.geometry || native_->model->clearance_on());
  }

  // The native test, remembering its last few answers.
  bool native_valid(const double* q) { return queries_->is_valid(q); }

  // A native context with a clearance proves its edges (the validity tests
  // are its own: no Python method stands in for them).
  bool proves_edges() const {
    return native_ && !over_.is_valid && !over_.in_limits && native_->model->clearance_on();
  }

  bool base_edge_valid(const double* a, const double* b, double res) {
    if (proves_edges()) return native_->model->edge_proven(a, b);
    // A Python is_valid (or collision test) sees its calls in edge order;
    // the native test alone may go coarse to fine.
    if (native_only())
      return brimwell::edge_valid_coarse_to_fine(
          a, b, d_, res, [&](const double* q) { return native_valid(q); }, scratch_.data());
    return brimwell::edge_valid(
        a, b, d_, res, [&](const double* q) { return is_valid(q); }, scratch_.data());
  }

  bool edge_valid(const double* a, const double* b) {
    if (over_.edge_valid) return truth(ctx_.attr("edge_valid")(to_numpy(a, d_), to_numpy(b, d_)));
    return base_edge_valid(a, b, kEdgeRes);
  }

  // The same, for the caller's own path entries (handed over unchanged).
  bool edge_valid_objects(nb::handle a, nb::handle b, const std::vector<double>& av,
                          const std::vector<double>& bv) {
    if (over_.edge_valid) return truth(ctx_.attr("edge_valid")(a, b));
    return base_edge_valid(av.data(), bv.data(), kEdgeRes);
  }

  void sample(double* out) {
    if (over_.sample) {
      nb::object r = ctx_.attr("sample")(draws_->rng());
      std::vector<double> v = joint_vector(r, d_, "ctx.sample(rng)");
      if (!cellpath::py::all_finite(v.data(), d_))
        throw nb::value_error("ctx.sample(rng) returned NaN or infinite joint values");
      for (std::size_t k = 0; k < d_; ++k) out[k] = v[k];
      return;
    }
    draws_->uniform(*native_, out);
  }

 private:
  nb::object ctx_;
  PlanningContext* native_ = nullptr;
  Overrides over_;
  std::size_t d_ = 0;
  Draws* draws_ = nullptr;
  std::vector<double> scratch_;
  std::optional<brimwell::NativeQueries> queries_;
};

// ---------------------------------------------------------------------------
// Progress on a terminal: a tqdm bar (common/progress.hpp) that appears once the
// work has run for a while, updated at most every 100 ms and erased when the
// work ends; nothing at all when the output is not a terminal.  Also where long
// loops let Ctrl-C through.

class Progress {
 public:
  Progress(std::string stage, std::int64_t total) : stage_(std::move(stage)), total_(total) {
    last_ = std::chrono::steady_clock::now();
  }
  ~Progress() { clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Planner ticks: iteration, tree size, best goal cost so far.
  void tick(std::int64_t iteration, std::size_t nodes, double best) {
    if (!poll()) return;
    char buf[120];
    if (std::isfinite(best))
      std::snprintf(buf, sizeof buf, "%zu tree nodes, best goal cost %.3f", nodes, best);
    else
      std::snprintf(buf, sizeof buf, "%zu tree nodes, goal not reached yet", nodes);
    show(iteration, buf);
  }

  // The same from a loop that runs without the interpreter lock: the lock is
  // taken back only every 256th call, to let Ctrl-C through and redraw when due.
  void tick_released(std::int64_t iteration, std::size_t nodes, double best) {
    if ((++released_calls_ & 255) != 0) return;
    nb::gil_scoped_acquire acquire;
    calls_ = 255;  // poll() checks for signals now, and redraws if it is time
    tick(iteration, nodes, best);
  }

  // Other loops: items done out of the total.
  void count(std::int64_t done) {
    if (poll()) show(done, {});
  }

  void clear() noexcept { bar_.reset(); }

 private:
  // True when it is time to redraw.  Checks for pending signals every few
  // hundred calls, so Ctrl-C interrupts a long plan.
  bool poll() {
    if ((++calls_ & 255) == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
    if ((calls_ & 15) != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return true;
  }

  void show(std::int64_t done, const std::string& note) {
    if (!bar_) bar_.emplace(stage_, static_cast<long>(total_), "it");
    bar_->set(static_cast<long>(done), note);
  }

  std::string stage_;
  std::int64_t total_;
  std::optional<cellpath::py::StepProgress> bar_;
  std::chrono::steady_clock::time_point last_;
  std::uint64_t calls_ = 0, released_calls_ = 0;
};

// A planner's watch while it runs without the interpreter lock.
struct ReleasedProgress {
  Progress& progress;
  void tick(std::int64_t iteration, std::size_t nodes, double best) {
    progress.tick_released(iteration, nodes, best);
  }
};

// plan(worker, watch) run on this thread with the interpreter lock released:
// on a worker copy of the context's model drawing from `draws`' generator
// (whose lock Draws holds), the model then taking back what the worker
// learnt.  Another thread may meanwhile use the same context.
template <class Plan>
auto run_released(ContextAdapter& ctx, Draws& draws, Progress& progress, Plan&& plan) {
  brimwell::ArmModel& model = *ctx.native()->model;
  brimwell::NativeWorker worker(model, kEdgeRes);
  worker.set_generator(draws.bitgen());
  ReleasedProgress watch{progress};
  auto result = [&] {
    nb::gil_scoped_release release;
    return plan(worker, watch);
  }();
  model.absorb(worker.model());
  return result;
}

}  // namespace brimwell_py
