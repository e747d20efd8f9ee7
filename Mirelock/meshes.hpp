// Mesh arithmetic of the scene capture: host centimetres to cache metres,
// several bodies stacked into one mesh, component-frame vertices carried into
// the world frame.  Pure C++ on row-major buffers.
#pragma once

#include "common/capture.hpp"
#include "common/mesh.hpp"
#include "common/se3.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirelock {

using cellpath::Mat4;

// The host reports centimetres; the cache stores metres.
inline constexpr double kCmToM = cellpath::capture::kMetresPerCentimetre;

using cellpath::Mesh;

// Appends a body's mesh to `into`, shifting its indices past the vertices
// already there so they keep pointing at the body's own vertices.
inline void append_body(Mesh& into, const double* V, std::size_t nv, const std::int64_t* F,
                        std::size_t nf) {
  const auto offset = static_cast<std::int64_t>(into.vertices());
  into.V.insert(into.V.end(), V, V + 3 * nv);
  into.F.reserve(into.F.size() + 3 * nf);
  for (std::size_t k = 0; k < 3 * nf; ++k) into.F.push_back(F[k] + offset);
}

// Row vectors into the world: V_world = V R^T + t for T = (R, t).
inline void to_world(const double* V, std::size_t n, const Mat4& T, double* out) {
  cellpath::transform_points(V, n, T, out);
}

}  // namespace mirelock
