// kinematics: the CAD side's kinematics toolbox, bound to the running host.
#include "kinematics/register.hpp"

namespace nb = nanobind;

NB_MODULE(kinematics, m) {
  m.doc() =
      "Kinematics of a CAD-modelled arm: rigid-motion algebra, space-frame forward "
      "kinematics, Jacobian and iterative IK, joint frames and screws read from the "
      "design, component motion with animated IK and traces, and a DH table.";
  kinematics::register_kinematics(m);
}
