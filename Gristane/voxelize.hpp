// Solid voxelization of a triangle mesh: the centres of the voxels that cover
// the mesh surface at a given pitch, with the enclosed interior filled, in the
// order trimesh's `Trimesh(v, f, process=False).voxelized(pitch).fill().points`
// lists them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace gristane {

// vertices: row-major (n_vertices, 3); faces: row-major (n_faces, 3) indices
// into the vertices, already checked to be in range by the caller; pitch > 0
// and finite.  Returns the filled voxel centres, row-major (k, 3).
std::vector<double> voxelize_filled(const double* vertices, std::size_t n_vertices,
                                    const std::int64_t* faces, std::size_t n_faces, double pitch);

}  // namespace gristane
