// Host handles and the registration groups put together.
#include "kinematics/register.hpp"

#include "kinematics/defs.hpp"

namespace kinematics {

namespace nb = nanobind;

void bind_host(nb::module_& m, cellpath::host::Handles handles) {
  cellpath::host::attach_host(m, handles);
}

void register_kinematics(nb::module_& m, cellpath::host::Handles handles) {
  bind_host(m, handles);
  register_algebra(m);
  register_chain(m);
  register_design(m);
  register_motion(m);
  register_dh(m);
}

void register_carried_helpers(nb::module_& m) {
  def_vec3(m);
  def_getTandSFromJoint(m);
  def_GetComponentGlobalTransformationmatrix(m);
  def_skew(m);
  def_inv_SE3(m);
  def_adT(m);
}

}  // namespace kinematics
