// The rule every reader of a triangle mesh applies to its faces before any
// vertex is looked up: each index names one of the mesh's vertices.  Pure C++;
// common/mesh_archive.hpp turns a failure into the one mesh index error.
#pragma once

#include "common/array_view.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace cellpath {

// The position of the first of `count` face entries outside [0, n_vertices),
// or `count` when every entry is in range.
inline std::size_t first_bad_face_entry(const std::int64_t* faces, std::size_t count,
                                        std::int64_t n_vertices) {
  for (std::size_t k = 0; k < count; ++k)
    if (faces[k] < 0 || faces[k] >= n_vertices) return k;
  return count;
}

// A mesh archive's vertex array V (from the file `where`): (n, 3), finite.
inline void check_vertex_array(const ArrayView<double>& v, const std::string& where) {
  if (v.ndim() != 2 || v.shape[1] != 3)
    throw std::invalid_argument(where + ": vertex array V must have shape (n, 3), got " +
                                shape_text(v.shape));
  if (!all_finite(v.data, v.size))
    throw std::invalid_argument(where + ": vertex array V holds NaN or infinite coordinates");
}

// Its face array F, read as integers: (m, 3).
inline void check_face_shape(const ArrayView<std::int64_t>& f, const std::string& where) {
  if (f.ndim() != 2 || f.shape[1] != 3)
    throw std::invalid_argument(where + ": face array F must have shape (m, 3), got " +
                                shape_text(f.shape));
}

// The words for face entry `k` of `f` naming a vertex the mesh in `where` lacks.
inline std::string bad_face_text(const std::string& where, const ArrayView<std::int64_t>& f,
                                 std::size_t k, std::int64_t n_vertices) {
  return where + ": face " + std::to_string(k / 3) + " refers to vertex " + std::to_string(f[k]) +
         ", but the mesh has " + std::to_string(n_vertices) + " vertices";
}

}  // namespace cellpath
