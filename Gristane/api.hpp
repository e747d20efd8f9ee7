// Python-facing entry points of the voxel library.  Every module that offers
// these functions (or calls them from C++) compiles this header, so the
// argument checks live in one place: inputs are converted by numpy, their
// shapes and values are checked here, and only then does C++ read them.
#pragma once

#include "common/pybridge.hpp"
#include "voxelize.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace gristane::api {

namespace nb = nanobind;
namespace py = cellpath::py;

// A float as Python prints it.
inline std::string float_text(double x) { return nb::cast<std::string>(nb::repr(nb::float_(x))); }

// A pitch must be a finite positive length; everything downstream divides by it.
inline double checked_pitch(double pitch) {
  if (!std::isfinite(pitch) || !(pitch > 0.0))
    throw nb::value_error(("pitch must be a finite positive number, got " + float_text(pitch)).c_str());
  return pitch;
}

// Vertices as a contiguous float64 (n, 3) array of finite numbers.
inline py::Array<double> mesh_vertices(nb::handle vertices, const char* what = "vertices") {
  py::Array<double> v = py::as_f64(vertices);
  py::require_shape(v, {-1, 3}, what);
  py::require_finite(v, what);
  return v;
}

// Faces as a contiguous int64 (m, 3) array whose every entry indexes one of
// the n_vertices vertices.  Only integer arrays are taken: a float index
// would have to be rounded, and a silent rounding would hide a broken file.
inline py::Array<std::int64_t> mesh_faces(nb::handle faces, std::size_t n_vertices,
                                          const char* what = "faces") {
  nb::module_ np = py::numpy();
  nb::object arr = np.attr("asarray")(faces);
  const std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
  const bool empty = nb::cast<std::size_t>(arr.attr("size")) == 0;
  if (kind != "i" && kind != "u" && !empty)
    throw nb::value_error((std::string(what) + " must hold integer vertex indices, got dtype " +
                           nb::cast<std::string>(arr.attr("dtype").attr("name")))
                              .c_str());
  // uint64 indices beyond the int64 range wrap to negative here and are
  // rejected by the range test below.
  py::Array<std::int64_t> f = py::as_array<std::int64_t>(
      arr.attr("astype")(np.attr("int64"), nb::arg("copy") = false));
  py::require_shape(f, {-1, 3}, what);
  const auto n = static_cast<std::int64_t>(n_vertices);
  for (std::size_t i = 0; i < f.size; ++i)
    if (f[i] < 0 || f[i] >= n)
      throw nb::index_error((std::string(what) + " refer to vertex " + std::to_string(f[i]) +
                             " but there are only " + std::to_string(n_vertices) + " vertices")
                                .c_str());
  return f;
}

// Filled voxel centres of a checked mesh, row-major (k, 3).
inline std::vector<double> voxelize(const py::Array<double>& v, const py::Array<std::int64_t>& f,
                                    double pitch, const char* what = "mesh") {
  if (f.shape[0] == 0) throw nb::value_error((std::string(what) + " has no triangles to voxelize").c_str());
  return voxelize_filled(v.data, v.shape[0], f.data, f.shape[0], pitch);
}

inline nb::object points_to_numpy(const std::vector<double>& pts) {
  double* dst = nullptr;
  nb::object arr = py::new_f64({pts.size() / 3, 3}, &dst);
  for (std::size_t i = 0; i < pts.size(); ++i) dst[i] = pts[i];
  return arr;
}

// VoxelizeLink(vertices, faces, pitch): the centres of the voxels that fill
// the mesh's solid, in the mesh's own frame, float64 (k, 3).
inline nb::object voxelize_link(nb::handle vertices, nb::handle faces, double pitch) {
  checked_pitch(pitch);
  py::Array<double> v = mesh_vertices(vertices);
  py::Array<std::int64_t> f = mesh_faces(faces, v.shape[0]);
  return points_to_numpy(voxelize(v, f, pitch));
}

}  // namespace gristane::api
