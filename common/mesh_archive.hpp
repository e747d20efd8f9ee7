// Reading the triangle-mesh archives of a capture cache ("link_<i>.npz",
// "env_<name>.npz": a float64 (n, 3) array "V" and an integer (m, 3) array "F").
//
// The archives are read by numpy with pickling off.  Before a mesh is handed to
// trimesh (and through it to FCL or OpenGL, which index the vertex buffer with
// the face array without any check) the arrays are checked here: a face index
// outside the vertex list or a non-finite vertex would otherwise be read out of
// bounds or poison the collision tree.  A bad face index raises the same error
// type in every module (see mesh_index_error).
#pragma once

#include "common/mesh.hpp"
#include "common/mesh_check.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace cellpath::py {

namespace nb = nanobind;

// The error a face index outside its vertex list raises, in every reader: it
// is at once an IndexError (an index out of range) and a ValueError (a broken
// file), so callers that catch either keep working.  Created once per
// interpreter and kept in sys.modules, so every module raises the very same type.
inline nb::object mesh_index_error() {
  return shared_error_type(
      "MeshIndexError",
      "A triangle names a vertex its mesh does not have (an IndexError and a ValueError).",
      PyExc_IndexError, PyExc_ValueError);
}

[[noreturn]] inline void raise_mesh_index_error(const std::string& message) {
  PyErr_SetString(mesh_index_error().ptr(), message.c_str());
  throw nb::python_error();
}

// Every one of the `count` int64 face entries indexes one of `n_vertices`
// vertices, or the mesh index error with `message(k)` for the first entry k
// that does not.
template <class Message>
inline void require_face_indices(const std::int64_t* f, std::size_t count, std::int64_t n_vertices,
                                 Message&& message) {
  const std::size_t k = first_bad_face_entry(f, count, n_vertices);
  if (k < count) raise_mesh_index_error(message(k));
}

inline void check_face_indices(const Array<std::int64_t>& f, std::int64_t n_vertices,
                               const std::string& where) {
  require_face_indices(f.data, f.size, n_vertices,
                       [&](std::size_t k) { return bad_face_text(where, f, k, n_vertices); });
}

// F as int64 faces when numpy holds it as integers (an empty F may have any
// dtype): a float index would have to be rounded, and a silent rounding
// would hide a broken file.  False, with F as numpy reads it in `arr`, for
// any other dtype.  uint64 indices beyond the int64 range wrap to negative
// here and are refused by the range test.
inline bool integer_faces(nb::handle F, nb::object& arr, Array<std::int64_t>& out) {
  nb::module_ np = numpy();
  arr = np.attr("asarray")(F);
  const std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
  const bool empty = nb::cast<std::size_t>(arr.attr("size")) == 0;
  if (kind != "i" && kind != "u" && !empty) return false;
  out = as_array<std::int64_t>(arr.attr("astype")("int64", nb::arg("copy") = false));
  return true;
}

// The "V" and "F" arrays of a mesh archive exactly as stored, and C++'s views
// of them once checked (v float64, f int64).
struct StoredMesh {
  nb::object V, F;
  Array<double> v;
  Array<std::int64_t> f;

  // A copy in C++ arrays.
  Mesh mesh() const {
    Mesh m;
    m.V.assign(v.data, v.data + v.size);
    m.F.assign(f.data, f.data + f.size);
    return m;
  }
};

// The one mesh check: V is (n, 3) finite, F is (m, 3) integer (an empty F may
// have any dtype) with every entry in [0, n).  Shape, dtype and finiteness are
// ValueErrors; an index out of range is the mesh index error.  `where` names
// the file in the messages.
inline void check_mesh_arrays(StoredMesh& m, const std::string& where) {
  m.v = as_f64(m.V);
  check_vertex_array(m.v, where);
  nb::object f_arr;
  if (!integer_faces(m.F, f_arr, m.f))
    throw nb::value_error((where + ": face array F must hold integer vertex indices, got dtype " +
                           str_of(f_arr.attr("dtype")))
                              .c_str());
  check_face_shape(m.f, where);
  check_face_indices(m.f, static_cast<std::int64_t>(m.v.shape[0]), where);
}

// Open an .npz archive with pickling off; a file that is not an archive is a
// ValueError (saying `refusal`, by default that the path is not an archive)
// rather than a confusing indexing error later.
inline nb::object open_archive(nb::handle path, const char* refusal = nullptr) {
  nb::module_ np = numpy();
  nb::object data = np.attr("load")(path, nb::arg("allow_pickle") = false);
  nb::object npz_type = nb::module_::import_("numpy.lib.npyio").attr("NpzFile");
  if (!nb::isinstance(data, npz_type))
    throw nb::value_error(refusal ? refusal : (str_of(path) + " is not an .npz archive").c_str());
  return data;
}

// An archive open for reading its members, closed when done: by close(),
// whose error is the caller's, or, when an error leaves the reader early, on
// the way out (the reader's error is the one to report).
class OpenArchive {
 public:
  explicit OpenArchive(nb::handle path, const char* refusal = nullptr)
      : data_(open_archive(path, refusal)) {}
  explicit OpenArchive(const std::filesystem::path& path, const char* refusal = nullptr)
      : OpenArchive(nb::cast(path), refusal) {}
  OpenArchive(const OpenArchive&) = delete;
  OpenArchive& operator=(const OpenArchive&) = delete;
  ~OpenArchive() {
    if (!data_.is_valid()) return;
    try {
      close();
    } catch (nb::python_error&) {
    }
  }

  // Member `key`; a missing member raises numpy's own KeyError.
  nb::object member(nb::handle key) const { return data_[key]; }
  nb::object member(const char* key) const { return data_[key]; }
  // The names of its members.
  nb::list names() const { return nb::list(data_.attr("files")); }

  void close() { nb::object(std::move(data_)).attr("close")(); }

 private:
  nb::object data_;
};

// The checked "V" and "F" arrays of a mesh archive, exactly as stored.  A
// missing array is a KeyError naming the file, so that a broken mesh is not
// taken for a broken meta.json.
inline StoredMesh load_mesh_arrays(nb::handle path) {
  OpenArchive archive(path);
  auto member = [&](const char* key) {
    try {
      return archive.member(key);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_KeyError)) throw;
      throw nb::key_error((str_of(path) + " has no '" + key + "' array").c_str());
    }
  };
  StoredMesh m;
  m.V = member("V");
  m.F = member("F");
  archive.close();
  check_mesh_arrays(m, str_of(path));
  return m;
}

// The checked mesh of an archive, copied into C++ arrays.
inline Mesh read_mesh(const std::filesystem::path& path) {
  return load_mesh_arrays(nb::cast(path)).mesh();
}

// trimesh.Trimesh of a mesh, processing off, so vertex order and count stay as captured.
inline nb::object trimesh_of(const Mesh& m) {
  nb::object Trimesh = nb::module_::import_("trimesh").attr("Trimesh");
  return Trimesh(nb::arg("vertices") = new_array<double>({m.vertices(), 3}, m.V.data()),
                 nb::arg("faces") = new_array<std::int64_t>({m.faces(), 3}, m.F.data()),
                 nb::arg("process") = false);
}

// trimesh.Trimesh of the archive's checked mesh.
inline nb::object load_trimesh(nb::handle path) {
  return trimesh_of(load_mesh_arrays(path).mesh());
}

}  // namespace cellpath::py
