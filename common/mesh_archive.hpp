// Reading the triangle-mesh archives of a capture cache ("link_<i>.npz",
// "env_<name>.npz": a float64 (n, 3) array "V" and an integer (m, 3) array "F").
//
// The archives are read by numpy with pickling off.  Before a mesh is handed to
// trimesh (and through it to FCL or OpenGL, which index the vertex buffer with
// the face array without any check) the arrays are checked here: a face index
// outside the vertex list or a non-finite vertex would otherwise be read out of
// bounds or poison the collision tree.
#pragma once

#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>

namespace cellpath::py {

namespace nb = nanobind;

// str(x) as a std::string.  (Takes a handle on purpose: nb::str applied to an
// attribute accessor would try to cast the value to const char*.)
inline std::string str_of(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }
inline std::string path_text(nb::handle path) { return str_of(path); }

// Raise ValueError unless V is (n, 3) finite and F is (m, 3) integer with every
// entry in [0, n).
inline void check_mesh_arrays(nb::handle V, nb::handle F, nb::handle path) {
  const std::string where = path_text(path);
  Array<double> v = as_f64(V);
  if (v.ndim() != 2 || v.shape[1] != 3)
    throw nb::value_error((where + ": vertex array V must have shape (n, 3), got " +
                           shape_text(v.shape))
                              .c_str());
  if (!all_finite(v.data, v.size))
    throw nb::value_error((where + ": vertex array V holds NaN or infinite coordinates").c_str());

  nb::object f_arr = numpy().attr("asarray")(F);
  const std::string kind = nb::cast<std::string>(f_arr.attr("dtype").attr("kind"));
  if (kind != "i" && kind != "u")
    throw nb::value_error((where + ": face array F must hold integer vertex indices, got dtype " +
                           str_of(f_arr.attr("dtype")))
                              .c_str());
  Array<std::int64_t> f = as_array<std::int64_t>(f_arr);
  if (f.ndim() != 2 || f.shape[1] != 3)
    throw nb::value_error((where + ": face array F must have shape (m, 3), got " +
                           shape_text(f.shape))
                              .c_str());
  const auto n_vertices = static_cast<std::int64_t>(v.shape[0]);
  for (std::size_t k = 0; k < f.size; ++k)
    if (f[k] < 0 || f[k] >= n_vertices)
      throw nb::value_error((where + ": face " + std::to_string(k / 3) + " refers to vertex " +
                             std::to_string(f[k]) + ", but the mesh has " +
                             std::to_string(n_vertices) + " vertices")
                                .c_str());
}

// Open an .npz archive with pickling off; a file that is not an archive is a
// ValueError rather than a confusing indexing error later.
inline nb::object open_archive(nb::handle path) {
  nb::module_ np = numpy();
  nb::object data = np.attr("load")(path, nb::arg("allow_pickle") = false);
  nb::object npz_type = nb::module_::import_("numpy.lib.npyio").attr("NpzFile");
  if (!nb::isinstance(data, npz_type))
    throw nb::value_error((path_text(path) + " is not an .npz archive").c_str());
  return data;
}

// Read member `key` of an open archive; a missing member raises numpy's own KeyError.
inline nb::object archive_member(nb::handle data, const char* key) {
  return data.attr("__getitem__")(key);
}

struct MeshArrays {
  nb::object V, F;
};

// The checked "V" and "F" arrays of a mesh archive, exactly as stored.
inline MeshArrays load_mesh_arrays(nb::handle path) {
  nb::object data = open_archive(path);
  MeshArrays m;
  try {
    m.V = archive_member(data, "V");
    m.F = archive_member(data, "F");
  } catch (...) {
    data.attr("close")();
    throw;
  }
  data.attr("close")();
  check_mesh_arrays(m.V, m.F, path);
  return m;
}

// trimesh.Trimesh built from the archive with processing off, so vertex order
// and count stay exactly as captured.
inline nb::object load_trimesh(nb::handle path) {
  MeshArrays m = load_mesh_arrays(path);
  nb::object Trimesh = nb::module_::import_("trimesh").attr("Trimesh");
  return Trimesh(nb::arg("vertices") = m.V, nb::arg("faces") = m.F, nb::arg("process") = false);
}

// `dir / name` for a pathlib.Path (or anything pathlib accepts).
inline nb::object join_path(nb::handle dir, const std::string& name) {
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  return Path(dir).attr("__truediv__")(name);
}

}  // namespace cellpath::py
