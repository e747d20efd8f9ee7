// The planner's questions answered by the arm model alone, with no Python in
// the loop: what the native planning context does when nothing of it is
// overridden, and what a planner on a thread of its own runs on.
#pragma once

#include "Brimwell/arm_model.hpp"
#include "Brimwell/joint_space.hpp"
#include "Brimwell/validity.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell {

// numpy's bit generator interface (numpy/random/bitgen.h), used to draw the
// planner's uniform numbers without a Python call per draw.  Generator.random()
// is next_double(); Generator.uniform(low, high) with array bounds is
// low + (high - low) * next_double() per element in order: the same numbers,
// and the same state left behind, as numpy's own calls.
struct bitgen_t {
  void* state;
  std::uint64_t (*next_uint64)(void* st);
  std::uint32_t (*next_uint32)(void* st);
  double (*next_double)(void* st);
  std::uint64_t (*next_raw)(void* st);
};

// is_valid and edge_valid on a model with the data of one thread's queries:
// configurations tested by the model, remembering the last few answers (the
// planners ask about the same configuration several times in a row: a new
// node, then each edge ending at it, and the answer never changes); edges
// proven by the model when it has a clearance, else tested coarse to fine at
// `res` (nothing observes the order).
class NativeQueries {
 public:
  NativeQueries(const ArmModel& model, ArmData& data, double res)
      : model_(&model), data_(&data), res_(res), scratch_(model.n_joints()) {}

  std::size_t dims() const { return scratch_.size(); }

  bool is_valid(const double* q) {
    const std::size_t d = scratch_.size();
    for (Memo& m : memo_)
      if (m.used && std::equal(q, q + d, m.q.begin())) return m.valid;
    Memo& slot = memo_[memo_next_];
    memo_next_ = (memo_next_ + 1) % memo_.size();
    slot.q.assign(q, q + d);
    slot.valid = model_->is_valid(*data_, q);
    slot.used = true;
    return slot.valid;
  }

  // Nothing outside the model watches these tests (validity.hpp's rule).
  bool edge_valid(const double* a, const double* b) {
    return walk_edge(
        edge_walk(false, model_->clearance_on()), model_, data_, a, b, scratch_.size(), res_,
        [&](const double* q) { return is_valid(q); }, scratch_.data());
  }

 private:
  const ArmModel* model_;
  ArmData* data_;
  double res_;
  std::vector<double> scratch_;
  struct Memo {
    std::vector<double> q;
    bool valid = false, used = false;
  };
  std::array<Memo, 4> memo_;
  std::size_t memo_next_ = 0;
};

// A planner's whole context on its own thread: the shared model, data of
// its own (a copy of `from`, the data of the queries it continues: its
// exploring state and hints), the native queries, and uniform draws inside
// finite limits from a bit generator no one else draws from.
class NativeWorker {
 public:
  NativeWorker(const ArmModel& model, const ArmData& from, double res)
      : model_(&model),
        data_(from),
        queries_(model, data_, res),
        lower_(model.n_joints()),
        span_(model.n_joints()) {
    for (std::size_t k = 0; k < lower_.size(); ++k) {
      lower_[k] = model.lower(k);
      span_[k] = model.upper(k) - model.lower(k);
    }
  }
  NativeWorker(const NativeWorker&) = delete;
  NativeWorker& operator=(const NativeWorker&) = delete;

  void set_generator(bitgen_t* gen) { gen_ = gen; }
  const ArmModel& model() const { return *model_; }
  ArmData& data() { return data_; }

  bool is_valid(const double* q) { return queries_.is_valid(q); }
  bool edge_valid(const double* a, const double* b) { return queries_.edge_valid(a, b); }
  void sample(double* out) {
    for (std::size_t k = 0; k < lower_.size(); ++k) out[k] = lower_[k] + span_[k] * random();
  }
  double random() { return gen_->next_double(gen_->state); }

 private:
  const ArmModel* model_;
  ArmData data_;
  NativeQueries queries_;
  std::vector<double> lower_, span_;
  bitgen_t* gen_ = nullptr;
};

// Joint bounds as the planner uses them: an unbounded side is planned within
// +-2 pi.  `lim` holds (lower, upper) per joint; NaN is refused.
struct JointBounds {
  std::vector<double> limits;  // (n, 2), row-major
  std::vector<double> lower, upper, span;
  bool span_finite = true;  // then draws are lower + span * uniform
};

inline JointBounds planning_bounds(const double* lim, std::size_t n) {
  constexpr double kTwoPi = 2.0 * 3.141592653589793;  // 2 * numpy.pi
  JointBounds b;
  for (std::size_t k = 0; k < n; ++k) {
    double lo = lim[2 * k], hi = lim[2 * k + 1];
    if (std::isnan(lo) || std::isnan(hi))
      throw std::invalid_argument("JointLimits.npy holds NaN for joint " + std::to_string(k));
    if (std::isinf(lo) && lo < 0) lo = -kTwoPi;
    if (std::isinf(hi) && hi > 0) hi = kTwoPi;
    b.limits.insert(b.limits.end(), {lo, hi});
    b.lower.push_back(lo);
    b.upper.push_back(hi);
    b.span.push_back(hi - lo);
    if (!std::isfinite(hi - lo)) b.span_finite = false;
  }
  return b;
}

// When a progress display is due, counted in calls: pending signals are
// looked for every 256th call, the clock every 16th, and a redraw comes at
// most every 100 ms.  A loop without the interpreter asks every 256th call.
class RedrawClock {
 public:
  bool signals_due() { return (++calls_ & 255) == 0; }
  bool redraw_due() {
    if ((calls_ & 15) != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return true;
  }
  bool released_call_due() { return (++released_calls_ & 255) == 0; }
  // The next signals_due() is true.
  void check_signals_next() { calls_ = 255; }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  std::uint64_t calls_ = 0, released_calls_ = 0;
};

// The note after a planner's progress bar.
inline std::string tree_note(std::size_t nodes, double best) {
  char buf[120];
  if (std::isfinite(best))
    std::snprintf(buf, sizeof buf, "%zu tree nodes, best goal cost %.3f", nodes, best);
  else
    std::snprintf(buf, sizeof buf, "%zu tree nodes, goal not reached yet", nodes);
  return buf;
}

// A planner's progress display that shows nothing (a worker thread cannot
// write to Python's stderr).
struct NoProgress {
  void tick(std::int64_t, std::size_t, double) {}
};

}  // namespace brimwell
