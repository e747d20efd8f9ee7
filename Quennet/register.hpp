// Python registration of the home-configuration functions: the step-limited IK
// with restarts, straight-line pose paths, reading and driving the design's
// joints, the screw list at the home configuration and the waypoint IK.
//
// Written once and bound into every module that offers them (Quennet and the
// straight-line planner Dorvanta).  The host-facing functions read `app`,
// `adsk` and the design helpers (GetComponentGlobalTransformationmatrix,
// getTandSFromJoint) from the module they were registered into, at call time.
#pragma once

#include "Quennet/ik_restart.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace quennet {

namespace nb = nanobind;

// Adds InverseKinematicsInSpaceFrame2, StraightLineCartesianPath,
// RetrieveJointAnglesAtConfig, SetRobotJointAngles, RetrieveScrewAtHomeConfig
// and SolveWaypointJointAngles to m.  m must already hold app, ui, adsk and the
// design helpers of kinematics.
void register_quennet(nb::module_& m);

// ---------------------------------------------------------------------------
// The same operations for C++ callers in the modules that carry them.

// Standard-normal draws from numpy's global generator, np.random.randn(n).
void numpy_randn(double* out, std::size_t n);

// The line the IK with restarts prints on standard output when it runs out of
// iterations: "IK did not converge in 200 iterations".
void print_not_converged();

// The design's current joint values, by name (float64 array).
nb::object retrieve_joint_angles(nb::handle m, nb::handle joint_names);

// Drives the named joints to the given values (no event pump).
void set_joint_angles(nb::handle m, nb::handle joint_names, nb::handle angles);

// (sp, M) of the arm at its home configuration; the joints are restored.
nb::tuple retrieve_screw_at_home(nb::handle m, nb::handle joint_names, nb::handle base_name,
                                 nb::handle end_effector_name);

// A (6, n) screw list argument, viewed as a ScrewList that stays valid while
// `owner` lives.  Raises ValueError unless its shape is exactly (6, n).
struct ScrewArg {
  nb::object owner;
  ScrewList list;
};
ScrewArg screw_list_arg(nb::handle x, std::size_t n, const char* what);

}  // namespace quennet
