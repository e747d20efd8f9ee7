// TEMPORARY: delegates to trimesh until the native voxelizer lands.
#include "voxelize.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

namespace nb = nanobind;

namespace gristane {

std::vector<double> voxelize_filled(const double* vertices, std::size_t n_vertices,
                                    const std::int64_t* faces, std::size_t n_faces, double pitch) {
  nb::module_ np = nb::module_::import_("numpy");
  nb::module_ trimesh = nb::module_::import_("trimesh");
  nb::list v, f;
  for (std::size_t i = 0; i < n_vertices; ++i)
    v.append(nb::make_tuple(vertices[3 * i], vertices[3 * i + 1], vertices[3 * i + 2]));
  for (std::size_t i = 0; i < n_faces; ++i)
    f.append(nb::make_tuple(faces[3 * i], faces[3 * i + 1], faces[3 * i + 2]));
  nb::object V = np.attr("asarray")(v, nb::arg("dtype") = np.attr("float64")).attr("reshape")(-1, 3);
  nb::object F = np.attr("asarray")(f, nb::arg("dtype") = np.attr("int64")).attr("reshape")(-1, 3);
  nb::object mesh = trimesh.attr("Trimesh")(nb::arg("vertices") = V, nb::arg("faces") = F,
                                            nb::arg("process") = false);
  nb::object pts = np.attr("ascontiguousarray")(
      mesh.attr("voxelized")(nb::arg("pitch") = pitch).attr("fill")().attr("points"),
      nb::arg("dtype") = np.attr("float64"));
  auto view = nb::cast<nb::ndarray<const double, nb::c_contig, nb::device::cpu>>(pts);
  return std::vector<double>(view.data(), view.data() + view.size());
}

}  // namespace gristane
