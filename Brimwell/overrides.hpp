// Which of a planning context's methods a Python subclass (or instance)
// replaced, taken once per planner call: the planners ask the native model
// for everything else.  Base methods call each other through `self`, as
// Python methods would, so an override is honoured wherever the base
// implementation would call it.
//
// Trampolines (NB_TRAMPOLINE / NB_OVERRIDE) would keep a plain context free
// of the interpreter (they cache per class that nothing is overridden), but
// they are not used here, for three reasons: they look an override up on the
// class only, so a method assigned on an instance of a subclass (honoured
// since the first release) would be ignored; the planner must know before it
// walks an edge whether Python watches its configuration tests (they then
// come in edge order, validity.hpp), which a trampoline only answers one call
// at a time; and a context need not be a PlanningContext at all, so the
// adapter of other objects stays in any case.
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
