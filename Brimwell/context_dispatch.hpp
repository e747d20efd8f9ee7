// Which answers a planning context gives itself and which its caller gives:
// a method a subclass or an instance replaced, the module's collision
// functions once replaced, or a context that is some other object altogether
// answer through the caller; everything else is the native model's, whose
// methods call each other through the context as Python methods would (an
// overridden is_valid is heard by the native edge_valid).  The calls into the
// caller are made by the binding side (py_adapter.hpp); the rule of who
// answers is here, with no Python.
#pragma once

#include "Brimwell/native_context.hpp"
#include "Brimwell/overrides.hpp"
#include "Brimwell/validity.hpp"
#include "common/array_view.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <vector>

namespace brimwell {

class ContextDispatch : public Validity {
 public:
  std::size_t dims() const override { return d_; }
  // The caller answers for edges: its edge_valid gets the caller's own values.
  bool caller_edges() const { return over_.edge_valid; }
  // Nothing but the native context between two draws.
  bool draws_natively() const { return model_ && !over_.any(); }
  // The native context with nothing replaced, inside finite limits: a planner
  // on it runs without the interpreter.
  bool fully_native() const { return draws_natively() && span_finite_; }
  // The context's model and data when a planner may use them without the
  // interpreter (fully_native), else none.
  NativeArm native_arm() const { return fully_native() ? NativeArm{model_, data_} : NativeArm{}; }
  // Edges are proven by the model (a clearance, and no edge_valid of the caller's).
  bool proves_edges() const { return walk_ == EdgeWalk::Proven && !over_.edge_valid; }
  NativeArm lazy_arm() override {
    if (!(model_ && model_->lazy() && proves_edges())) return {};
    return {model_, data_};
  }

  bool in_limits(const double* q) override {
    if (over_.in_limits) return caller_in_limits(q);
    return model_->in_limits(q);
  }

  bool is_valid(const double* q) override {
    if (over_.is_valid) return caller_is_valid(q);
    if (walk_ != EdgeWalk::InOrder) return queries_->is_valid(q);
    return base_is_valid(q);
  }

  bool edge_valid(const double* a, const double* b) override {
    if (over_.edge_valid) return caller_edge_valid(a, b);
    return base_edge_valid(a, b, res_);
  }

  void sample(double* out) override {
    if (!over_.sample) return uniform(out);
    const std::vector<double> v = caller_sample();
    if (!cellpath::all_finite(v.data(), d_))
      throw std::invalid_argument("ctx.sample(rng) returned NaN or infinite joint values");
    std::copy(v.begin(), v.end(), out);
  }

  // The native context's own methods (what PlanningContext.is_valid and
  // edge_valid answer): limits first, then the collision test.
  bool base_is_valid(const double* q) {
    if (!in_limits(q)) return false;
    const ArmModel& m = *model_;
    ArmData& d = *data_;
    if (m.clearance_on()) return m.clear_at(d, q) && !m.self_collides(d, q);
    if (!caller_geometry_) return !m.collides(d, q) && !m.self_collides(d, q);
    if (caller_collides(q)) return false;
    if (!m.self_collision()) return true;
    m.pose(d, q);
    return !m.self_collides(d, q);
  }

  bool base_edge_valid(const double* a, const double* b, double res) {
    return walk_edge(
        walk_, model_, data_, a, b, d_, res, [&](const double* q) { return is_valid(q); },
        scratch_.data());
  }

 protected:
  ContextDispatch() = default;
  ~ContextDispatch() = default;

  // The native context: its model, the data of its queries on this thread,
  // and what the caller replaced; edges of the native edge_valid at `res`.
  void answer_natively(const ArmModel& model, ArmData& data, const Overrides& over,
                       bool span_finite, double res) {
    model_ = &model;
    data_ = &data;
    over_ = over;
    d_ = model.n_joints();
    span_finite_ = span_finite;
    res_ = res;
    queries_.emplace(model, data, res);
    settle();
  }

  // Any other object with a planning context's methods: all of them its own.
  void answer_by_caller(std::size_t d) {
    d_ = d;
    over_.in_limits = over_.is_valid = over_.edge_valid = over_.sample = true;
    settle();
  }

  // The caller's answers (its replaced methods, the module's collision
  // functions as now bound, the draws of its generator).
  virtual bool caller_in_limits(const double* q) = 0;
  virtual bool caller_is_valid(const double* q) = 0;
  virtual bool caller_edge_valid(const double* a, const double* b) = 0;
  virtual std::vector<double> caller_sample() = 0;
  virtual bool caller_collides(const double* q) = 0;
  // One uniform draw per joint within the limits, from the caller's generator.
  virtual void uniform(double* out) = 0;

 private:
  void settle() {
    // With a clearance the distance engine is the environment test; the
    // module's collision functions play no part.
    const bool clearance = model_ && model_->clearance_on();
    caller_geometry_ = over_.geometry && !clearance;
    walk_ = edge_walk(over_.is_valid || over_.in_limits || caller_geometry_, clearance);
    scratch_.resize(d_);
  }

  const ArmModel* model_ = nullptr;
  ArmData* data_ = nullptr;  // the context's own
  Overrides over_;
  bool caller_geometry_ = false, span_finite_ = true;
  EdgeWalk walk_ = EdgeWalk::InOrder;
  std::size_t d_ = 0;
  double res_ = 0.0;
  std::vector<double> scratch_;
  std::optional<NativeQueries> queries_;
};

}  // namespace brimwell
