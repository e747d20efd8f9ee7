// Single-function registrations shared between the full module and the subset
// a capture module carries (see register.hpp).
#pragma once

#include <nanobind/nanobind.h>

namespace kinematics {

void def_skew(nanobind::module_& m);
void def_adT(nanobind::module_& m);
void def_inv_SE3(nanobind::module_& m);
void def_vec3(nanobind::module_& m);
void def_getTandSFromJoint(nanobind::module_& m);
void def_GetComponentGlobalTransformationmatrix(nanobind::module_& m);

}  // namespace kinematics
