// Quennet: the arm's joint state, its screws at the home configuration, the
// step-limited IK with restarts, straight-line pose paths and the waypoint IK,
// next to everything public of the CAD-side kinematics toolbox.
#include "Quennet/register.hpp"
#include "kinematics/register.hpp"

#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(Quennet, m) {
  m.doc() =
      "Home-configuration retrieval for an arm modelled in the CAD host: joint angles "
      "by name, the screw list and end-effector home transform in the base frame, a "
      "step-limited IK with random restarts, straight-line Cartesian pose paths and "
      "waypoint IK; also offers every public function of kinematics.";
  kinematics::register_kinematics(m, cellpath::host::Handles::with_adsk);
  quennet::register_quennet(m);
}
