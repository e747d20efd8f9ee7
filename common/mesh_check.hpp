// The rule every reader of a triangle mesh applies to its faces before any
// vertex is looked up: each index names one of the mesh's vertices.  Pure C++;
// common/mesh_archive.hpp turns a failure into the one mesh index error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cellpath {

// The position of the first of `count` face entries outside [0, n_vertices),
// or `count` when every entry is in range.
inline std::size_t first_bad_face_entry(const std::int64_t* faces, std::size_t count,
                                        std::int64_t n_vertices) {
  for (std::size_t k = 0; k < count; ++k)
    if (faces[k] < 0 || faces[k] >= n_vertices) return k;
  return count;
}

}  // namespace cellpath
