// Python registration of the CAD-side kinematics toolbox.
//
// The toolbox is written once, in kinematics_core, and bound into every
// extension module that offers it: `kinematics` itself, the modules that
// re-export all of it, and the capture module that carries a handful of its
// functions.  Each register_* call adds functions (and the constants they
// read) to the module `m` it is given.  Functions that talk to the host read
// `app` and `ui`, and their tunable constants, from that same module object
// at call time, so each module answers to its own host handles and to
// constants a caller changed on it.
//
// Host handles: call bind_host(m) during module initialisation (it imports
// the host API and sets m.app / m.ui, and m.adsk when asked); register_kinematics
// does it for you.
#pragma once

#include "kinematics/host.hpp"

#include <nanobind/nanobind.h>

namespace kinematics {

// m.app = adsk.core.Application.get(); m.ui = m.app.userInterface (and m.adsk).
// Raises ImportError when no host API (adsk) can be imported.
void bind_host(nanobind::module_& m, cellpath::host::Handles handles);

// Rigid-motion algebra: skew, vec3_to_so3, vee_so3, exp6, log3, log6,
// se3_to_vec, adT, inv_SE3, inv_homogeneous, wrap_to_pi, damped_pinv, and
// the constant DAMPING_LAMBDA.
void register_algebra(nanobind::module_& m);

// Space-frame kinematics: ForwardKinematicsInSpaceFrame, JacobianInSpaceFrame,
// InverseKinematicsInSpaceFrame, PositionIKInSpaceFrame, and the constants
// IK_MAX_ITERS, IK_DEFAULT_EOMG, IK_DEFAULT_EV, POSITION_IK_MAX_ITERS (the
// iteration limits are read from m at each call; the solvers log through m.app).
void register_chain(nanobind::module_& m);

// Design joints and frames: vec3, getTandSFromJoint,
// GetComponentGlobalTransformationmatrix, RelativeMatrix,
// TRelativeWhenTwoAreGround, GetTransformationmatrixRelativeM,
// GetZeroConfigurationMatrix, GetScrewAxes, and the constant CM_TO_M.
// (inv_homogeneous belongs to register_algebra.)
void register_design(nanobind::module_& m);

// Component motion and animation: npToMatrix3D, MoveComponentToGlobalTransform,
// clear_all_tracers, DoForwardKinematics, EndEffTransformProvidedJointAngles,
// AnimateIterativeIKSolverWithTracer, and the constants ANIM_STEPS,
// ANIM_FRAME_DELAY, TRACE_COLOR, TRACE_WEIGHT (read from m at each call).
void register_motion(nanobind::module_& m);

// Denavit-Hartenberg table: GetDHParameters, PrintDHTable.
void register_dh(nanobind::module_& m);

// Everything public of the kinematics module, host handles included:
// bind_host + all register_* groups above.
void register_kinematics(nanobind::module_& m,
                         cellpath::host::Handles handles = cellpath::host::Handles::app_and_ui);

// The six functions a capture module carries: vec3, getTandSFromJoint,
// GetComponentGlobalTransformationmatrix, skew, inv_SE3, adT.  Same behaviour
// as in kinematics; GetComponentGlobalTransformationmatrix shows its
// not-found message box through m.ui.  Does not set app/ui (call bind_host).
void register_carried_helpers(nanobind::module_& m);

// ---------------------------------------------------------------------------
// The same operations for C++ callers in other modules (no attribute lookup
// on the module's functions; `m` supplies app/ui).

// World transform (4x4 float64 array) of the first occurrence, in
// rootComponent.allOccurrences order, whose component is named `name`; None
// (after the message box "could not find component name <name>") when none is.
nanobind::object component_global_transform(nanobind::handle m, nanobind::handle name);

// (T, S) of a host joint: its geometry frame on `side` ("one" or other) and
// its world screw (6 entries, or 0 for a joint neither revolute nor slider).
nanobind::tuple joint_frame_and_screw(nanobind::handle jnt, nanobind::handle side);

}  // namespace kinematics
