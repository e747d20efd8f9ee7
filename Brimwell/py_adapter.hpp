// The planner's side of the interpreter: the one adapter of a Python planning
// context to the planners' validity interface (validity.hpp), the progress
// bar on the terminal (progress.hpp), and a planner run, which goes without the
// interpreter, with a copy of the context's query data, when nothing of the
// context is Python.
#pragma once

#include "Brimwell/connect.hpp"
#include "Brimwell/context_dispatch.hpp"
#include "Brimwell/lazy_proof.hpp"
#include "Brimwell/planner_run.hpp"
#include "Brimwell/py_bridge.hpp"
#include "Brimwell/rrt_star.hpp"
#include "Brimwell/validity.hpp"

#include <optional>

namespace brimwell_py {

// A segment's start and goal: the caller's values converted by numpy to
// float64 (the planned path ends with the goal array itself), and read as
// joint vectors of the context's dimension once the context is known.
struct SegmentEnds {
  nb::object start, goal;
  std::vector<double> s, g;
  SegmentEnds(nb::handle start_in, nb::handle goal_in)
      : start(float64_array(start_in)), goal(float64_array(goal_in)) {}
  std::size_t read(std::size_t d) {
    s = joint_vector(start, d, "start");
    g = joint_vector(goal, d, "goal");
    return d;
  }
};

// ---------------------------------------------------------------------------
// The one adapter of a Python planning context: any object with a planning
// context's methods, or the native context with some of them (or the
// module's collision functions) replaced.  Who answers what is the
// dispatch's rule (context_dispatch.hpp); here the caller's answers are asked
// of Python.

class ContextAdapter final : public brimwell::ContextDispatch {
 public:
  explicit ContextAdapter(nb::handle ctx) : ctx_(nb::borrow(ctx)) {
    if (nb::isinstance<PlanningContext>(ctx)) {
      native_ = nb::inst_ptr<PlanningContext>(ctx);
      answer_natively(*native_->model, *native_->data, overrides_of(ctx),
                      native_->bounds.span_finite, kDefaults.context_edge_res);
    } else {
      const std::int64_t d = to_index(ctx.attr("n_joints"));
      if (d < 0) throw nb::value_error("ctx.n_joints must not be negative");
      answer_by_caller(static_cast<std::size_t>(d));
    }
  }

  nb::handle object() const { return ctx_; }
  void set_draws(Draws* draws) { draws_ = draws; }

  // edge_valid for the caller's own path entries (handed to Python unchanged).
  bool edge_valid_objects(nb::handle a, nb::handle b, const std::vector<double>& av,
                          const std::vector<double>& bv) {
    if (caller_edges()) return truthy(ctx_.attr("edge_valid")(a, b));
    return base_edge_valid(av.data(), bv.data(), kDefaults.context_edge_res);
  }

 private:
  bool caller_in_limits(const double* q) override {
    return truthy(ctx_.attr("in_limits")(to_numpy(q, dims())));
  }
  bool caller_is_valid(const double* q) override {
    return truthy(ctx_.attr("is_valid")(to_numpy(q, dims())));
  }
  bool caller_edge_valid(const double* a, const double* b) override {
    return truthy(ctx_.attr("edge_valid")(to_numpy(a, dims()), to_numpy(b, dims())));
  }
  std::vector<double> caller_sample() override {
    return joint_vector(ctx_.attr("sample")(draws_->rng()), dims(), "ctx.sample(rng)");
  }
  void uniform(double* out) override { draws_->uniform(*native_, out); }

  // in_collision(link_points[1:], stack(forward_kinematics(slist, home, q)),
  // grid, origin, pitch) through whatever the module's names are bound to now.
  bool caller_collides(const double* q) override {
    nb::module_ m = self_module();
    nb::object moving =
        m.attr("forward_kinematics")(native_->slist, native_->home_transforms, to_numpy(q, dims()));
    nb::object T = numpy().attr("stack")(moving);
    const HandlerGrid g = handler_grid(native_->handler);
    nb::object links = g.link_points[nb::slice(nb::int_(1), nb::none(), nb::none())];
    return truthy(m.attr("in_collision")(links, T, g.env_grid, g.env_origin, g.pitch));
  }

  nb::object ctx_;
  PlanningContext* native_ = nullptr;
  Draws* draws_ = nullptr;
};

// One planner run on `ctx` drawing from `draws` (planner_run.hpp), its
// progress shown as `stage`.
template <class Plan>
auto run_planner(ContextAdapter& ctx, Draws& draws, const std::string& stage, std::int64_t total,
                 Plan&& plan) {
  ctx.set_draws(&draws);
  TerminalBar display(stage, total);
  return brimwell::run_planner(ctx, draws, display, kDefaults.context_edge_res, plan);
}

// A planned path as the planners' functions return it: start (a copy) ...
// goal (the caller's array, as converted), from rows of d joints whose last
// is the goal.
inline nb::list path_list(const std::vector<double>& rows, std::size_t d, nb::handle goal) {
  nb::list path;
  for (std::size_t off = 0; off + d < rows.size(); off += d) path.append(to_numpy(&rows[off], d));
  path.append(goal);
  return path;
}

// A proof about a path covers its ends: where the context proves edges (a
// clearance), an end it refuses is an error now rather than after a search
// that cannot succeed (or, before proofs included their ends, a path that
// began in contact).
inline void refuse_invalid_ends(ContextAdapter& ctx, const SegmentEnds& ends) {
  if (!ctx.proves_edges()) return;
  const char* what[2] = {"start", "goal"};
  const std::vector<double>* q[2] = {&ends.s, &ends.g};
  const nb::object* shown[2] = {&ends.start, &ends.goal};
  for (int k = 0; k < 2; ++k)
    if (!ctx.is_valid(q[k]->data()))
      throw nb::value_error((std::string(what[k]) + " " + str_of(*shown[k]) +
                             " is not valid here (limits, clearance or self-collision): no "
                             "proven path can " +
                             (k == 0 ? "begin" : "end") + " there")
                                .c_str());
}

// RRT* from start to goal on ctx, drawing from rng.
inline brimwell::RrtResult run_rrt_star(ContextAdapter& ctx, nb::handle rng,
                                        const brimwell::RrtSettings& settings, const double* start,
                                        const double* goal, const std::string& stage) {
  Draws draws(rng, ctx.draws_natively());
  return run_planner(ctx, draws, stage, settings.max_iters, [&](auto& c, auto& r, auto& w) {
    return brimwell::plan_rrt_star(c, r, w, settings, ctx.dims(), start, goal);
  });
}

// RRT-Connect from start to goal on ctx, drawing from rng.
inline brimwell::ConnectResult run_connect(ContextAdapter& ctx, nb::handle rng,
                                           const brimwell::ConnectSettings& settings,
                                           const double* start, const double* goal,
                                           const std::string& stage) {
  Draws draws(rng, ctx.draws_natively());
  return run_planner(ctx, draws, stage, settings.max_iters, [&](auto& c, auto& r, auto& w) {
    return brimwell::plan_rrt_connect(c, r, w, settings, ctx.dims(), start, goal);
  });
}

// RRT-Connect from start to goal on ctx, drawing from rng; lazily proven
// (lazy_proof.hpp) when the context asks for it.
inline brimwell::ConnectResult run_connect_proving(ContextAdapter& ctx, nb::handle rng,
                                                   const brimwell::ConnectSettings& settings,
                                                   const double* start, const double* goal,
                                                   const std::string& stage) {
  const brimwell::NativeArm lazy = ctx.lazy_arm();
  if (!lazy) return run_connect(ctx, rng, settings, start, goal, stage);
  brimwell::LazyReport report;
  return brimwell::connect_lazily(
      *lazy.model, *lazy.data, settings, start, goal,
      [&](const brimwell::ConnectSettings& s, const double* a, const double* b) {
        return run_connect(ctx, rng, s, a, b, stage);
      },
      report);
}

}  // namespace brimwell_py
