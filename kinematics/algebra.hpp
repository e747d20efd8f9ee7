// The CAD side's rigid-motion algebra is the shared one (common/): the same
// functions serve the offline inverse kinematics.
#pragma once

#include "common/screw_algebra.hpp"

namespace kinematics {

using namespace cellpath;  // NOLINT: these names are the module's own vocabulary

}  // namespace kinematics
