// The triangle mesh of the offline side: row-major (n, 3) float64 vertices and
// (m, 3) int64 faces indexing them.  `Mesh` owns its arrays (a capture's link
// or body, a host triangulation); `MeshRef` reads one in place, wherever its
// arrays live.  Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cellpath {

// A triangle mesh read in place: vertices row-major (n, 3), faces row-major
// (m, 3) indices, already checked to be in range.
struct MeshRef {
  const double* vertices = nullptr;
  std::size_t n_vertices = 0;
  const std::int64_t* faces = nullptr;
  std::size_t n_faces = 0;
};

struct Mesh {
  std::vector<double> V;
  std::vector<std::int64_t> F;
  std::size_t vertices() const { return V.size() / 3; }
  std::size_t faces() const { return F.size() / 3; }
  MeshRef ref() const { return {V.data(), vertices(), F.data(), faces()}; }
};

}  // namespace cellpath
