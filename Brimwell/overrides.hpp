// Which of a planning context's methods a Python subclass (or instance)
// replaced, taken once per planner call: the planners ask the native model
// for everything else.
#pragma once

namespace brimwell {

struct Overrides {
  bool in_limits = false, is_valid = false, edge_valid = false, sample = false;
  // The module's forward_kinematics or in_collision is no longer the function
  // it imported (a test's stub, say): the collision test then goes through
  // those names.
  bool geometry = false;
  bool any() const { return in_limits || is_valid || edge_valid || sample || geometry; }
};

}  // namespace brimwell
