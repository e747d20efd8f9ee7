// The one seam between the planners and whatever answers their questions
// (as OMPL's state validity checker and motion validator): the planners,
// the smoother and the trajectory checks ask only these.
//
// The planners are templates over any type with these members: the native
// worker (native_context.hpp) is used as it is, with no virtual call in the
// inner loops.  Validity is the same contract for a context chosen at run
// time; the only implementation beside the native one is the adapter of a
// Python context (py_adapter.hpp).
#pragma once

#include "Brimwell/arm_model.hpp"
#include "Brimwell/joint_space.hpp"

#include <cstddef>

namespace brimwell {

// A model and the data its queries keep, together.
struct NativeArm {
  const ArmModel* model = nullptr;
  ArmData* data = nullptr;
  explicit operator bool() const { return model != nullptr; }
};

class Validity {
 public:
  virtual std::size_t dims() const = 0;
  virtual bool in_limits(const double* q) = 0;
  virtual bool is_valid(const double* q) = 0;
  // The straight edge a -> b: b is tested, a is not.
  virtual bool edge_valid(const double* a, const double* b) = 0;
  // One uniform draw per joint.
  virtual void sample(double* out) = 0;
  // The model whose edges are proven lazily (lazy_proof.hpp), with the data
  // of the queries asked of it, when the context asks for that and nothing
  // outside the model answers for edges; none otherwise.
  virtual NativeArm lazy_arm() { return {}; }

 protected:
  ~Validity() = default;
};

// How an edge's configurations are tested.
enum class EdgeWalk {
  InOrder,       // a + (b - a) i / n for i = 1 .. n
  CoarseToFine,  // the same configurations, collisions met after fewer tests
  Proven,        // the model proves the whole edge clear (a clearance is set)
};

// The rule, in one place: when anything outside the model watches the
// configuration tests (a Python is_valid or in_limits, a replaced collision
// function), they come in edge order; otherwise the model proves the edge
// when it has a clearance, and tests it coarse to fine when it has not.
inline EdgeWalk edge_walk(bool observed, bool clearance) {
  if (observed) return EdgeWalk::InOrder;
  return clearance ? EdgeWalk::Proven : EdgeWalk::CoarseToFine;
}

// The edge a -> b walked as `walk` says, each configuration tested by
// valid(q); `model` and `data` are needed for Proven only.  `scratch` holds
// d doubles.
template <class Valid>
bool walk_edge(EdgeWalk walk, const ArmModel* model, ArmData* data, const double* a,
               const double* b, std::size_t d, double res, Valid&& valid, double* scratch) {
  switch (walk) {
    case EdgeWalk::Proven:
      return model->edge_checked(*data, a, b);
    case EdgeWalk::CoarseToFine:
      return edge_valid_coarse_to_fine(a, b, d, res, valid, scratch);
    case EdgeWalk::InOrder:
      break;
  }
  return edge_valid(a, b, d, res, valid, scratch);
}

}  // namespace brimwell
