// Gristane: the offline side's voxel collision model.
#include "api.hpp"

namespace nb = nanobind;

NB_MODULE(Gristane, m) {
  m.doc() = "Voxel collision model: link point sets, the environment occupancy grid, "
            "collision tests of posed links against it, and a voxel cache file.";
  m.def("VoxelizeLink", &gristane::api::voxelize_link, nb::arg("vertices"), nb::arg("faces"),
        nb::arg("pitch"),
        "Centres of the voxels, at the given pitch, that cover a triangle mesh and fill its "
        "interior, in the mesh's own frame: float64 (k, 3).  The mesh is taken exactly as "
        "given (no merging or repair).");
}
