// Python-facing entry points of the voxel library.  Every module that offers
// these functions (or calls them from C++) compiles this header, so the
// argument checks live in one place: inputs are converted by numpy, their
// shapes and values are checked here, and only then does C++ read them.  The
// work itself (voxelizing, marking the grid, unpacking a cached grid, the
// collision tests) is env_grid.hpp's, on C++ values; the long parts run with
// the interpreter released.
#pragma once

#include "Gristane/env_grid.hpp"
#include "Gristane/query_args.hpp"
#include "common/atomic_file.hpp"
#include "common/buffer.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gristane::api {

namespace nb = nanobind;
namespace py = cellpath::py;

using gristane::checked_pitch;

// Vertices as a contiguous float64 (n, 3) array of finite numbers.
inline py::Array<double> mesh_vertices(nb::handle vertices, const char* what = "vertices") {
  py::Array<double> v = py::as_f64(vertices);
  py::require_shape(v, {-1, 3}, what);
  py::require_finite(v, what);
  return v;
}

// Faces as a contiguous int64 (m, 3) array whose every entry indexes one of
// the n_vertices vertices (integer arrays only).
inline py::Array<std::int64_t> mesh_faces(nb::handle faces, std::size_t n_vertices,
                                          const char* what = "faces") {
  nb::object arr;
  py::Array<std::int64_t> f;
  if (!py::integer_faces(faces, arr, f))
    throw nb::value_error((std::string(what) + " must hold integer vertex indices, got dtype " +
                           nb::cast<std::string>(arr.attr("dtype").attr("name")))
                              .c_str());
  py::require_shape(f, {-1, 3}, what);
  py::require_face_indices(
      f.data, f.size, static_cast<std::int64_t>(n_vertices), [&](std::size_t k) {
        return std::string(what) + " refer to vertex " + std::to_string(f[k]) +
               " but there are only " + std::to_string(n_vertices) + " vertices";
      });
  return f;
}

// Row-major (k, 3) points as a float64 (k, 3) array.
inline nb::object points_to_numpy(const std::vector<double>& pts) {
  return py::new_array(pts, {pts.size() / 3, 3});
}

// ---------------------------------------------------------------------------
// Meshes and the environment grid

// A checked triangle mesh: float64 (n, 3) vertices and int64 (m, 3) faces.
// Empty (no geometry) until read.
struct MeshArrays {
  py::Array<double> v;
  py::Array<std::int64_t> f;
  MeshRef ref() const { return {v.data, v.size / 3, f.data, f.size / 3}; }
};

// The messages name the arrays "<what> vertices" and "<what> faces", or
// plainly "vertices" and "faces" when `what` is empty.
inline MeshArrays mesh_arrays(nb::handle vertices, nb::handle faces, const std::string& what) {
  const std::string prefix = what.empty() ? what : what + " ";
  MeshArrays m;
  m.v = mesh_vertices(vertices, (prefix + "vertices").c_str());
  m.f = mesh_faces(faces, m.v.shape[0], (prefix + "faces").c_str());
  return m;
}

// VoxelizeLink(vertices, faces, pitch): the centres of the voxels that fill
// the mesh's solid, in the mesh's own frame, float64 (k, 3).
inline nb::object voxelize_link(nb::handle vertices, nb::handle faces, double pitch) {
  checked_pitch(pitch);
  const MeshArrays m = mesh_arrays(vertices, faces, "");
  std::vector<double> pts;
  {
    nb::gil_scoped_release release;
    pts = voxelize_mesh(m.ref(), pitch, "mesh");
  }
  return points_to_numpy(pts);
}

inline std::vector<MeshRef> mesh_refs(const std::vector<MeshArrays>& meshes) {
  std::vector<MeshRef> refs;
  for (const MeshArrays& m : meshes) refs.push_back(m.ref());
  return refs;
}

// A zeroed 3-D bool array of the given shape, and the grid C++ writes into it.
inline nb::object new_grid(const std::int64_t shape[3], GridRef& g) {
  nb::module_ np = py::numpy();
  nb::object grid =
      np.attr("zeros")(nb::make_tuple(shape[0], shape[1], shape[2]), nb::arg("dtype") = "bool");
  auto view = nb::cast<nb::ndarray<bool, nb::ndim<3>, nb::c_contig, nb::device::cpu>>(grid);
  g.cells = reinterpret_cast<std::uint8_t*>(view.data());
  prefer_small_pages(g.cells, view.size());
  for (int a = 0; a < 3; ++a) {
    g.shape[a] = shape[a];
    g.stride[a] = view.stride(a);  // itemsize 1: elements are bytes
  }
  return grid;
}

// Explicit bounds of a grid: the (lo, hi) corners, pad not applied, and lo as
// numpy made it (the grid's origin as returned).
struct Bounds {
  double lo[3], hi[3];
  nb::object lo_obj;
};

// A bounds argument read: None is no bounds.
inline std::optional<Bounds> explicit_bounds(nb::handle bounds) {
  if (bounds.is_none()) return std::nullopt;
  if (nb::len(bounds) != 2) throw nb::value_error("bounds must be a pair (lo, hi) of 3-vectors");
  Bounds b;
  b.lo_obj = py::asarray_f64(bounds[0]);
  py::Array<double> l = py::as_f64(b.lo_obj);
  py::require_shape(l, {3}, "bounds[0]");
  py::Array<double> h = py::as_f64(bounds[1]);
  py::require_shape(h, {3}, "bounds[1]");
  std::copy(l.data, l.data + 3, b.lo);
  std::copy(h.data, h.data + 3, b.hi);
  return b;
}

// The grid for `meshes`: over explicit bounds as given (pad not applied),
// else over the union of the mesh boxes grown by `pad` on every side.
// Returns (grid, lo, pitch).
inline nb::tuple build_grid(const std::vector<MeshArrays>& meshes, const std::vector<Box>& boxes,
                            double pitch, const std::optional<Bounds>& bounds, double pad) {
  Bounds b;
  if (bounds) {
    b = *bounds;
  } else {
    padded_union(boxes, pad, b.lo, b.hi);
    b.lo_obj = py::new_array<double>({3}, b.lo);
  }
  std::int64_t shape[3];
  grid_shape(b.lo, b.hi, pitch, shape);
  GridRef g;
  nb::object grid = new_grid(shape, g);
  const std::vector<MeshRef> refs = mesh_refs(meshes);
  {
    nb::gil_scoped_release release;
    mark_meshes(refs, b.lo, pitch, g);
  }
  return nb::make_tuple(grid, b.lo_obj, nb::float_(pitch));
}

// build_env_grid(env_meshes, pitch, bounds=None, pad=5.0) for mesh objects
// that carry vertices, faces and bounds.
inline nb::tuple build_env_grid(nb::handle env_meshes, double pitch, nb::handle bounds,
                                double pad) {
  checked_pitch(pitch);
  std::vector<MeshArrays> meshes;
  std::vector<Box> boxes;
  for (nb::handle h : env_meshes) {
    const std::string what = "environment mesh " + std::to_string(meshes.size());
    meshes.push_back(mesh_arrays(h.attr("vertices"), h.attr("faces"), what));
    if (!bounds.is_none()) continue;
    nb::object b = h.attr("bounds");
    if (b.is_none()) throw nb::value_error((what + " has no bounds (no faces)").c_str());
    py::Array<double> bb = py::as_f64(b);
    py::require_shape(bb, {2, 3}, "mesh bounds");
    py::require_finite(bb, "mesh bounds");
    boxes.push_back({bb[0], bb[1], bb[2], bb[3], bb[4], bb[5]});
  }
  return build_grid(meshes, boxes, pitch, explicit_bounds(bounds), pad);
}

// The same grid for meshes given as arrays (the handler's path): a mesh's
// box is that of its referenced vertices, as trimesh computes its bounds.
inline nb::tuple build_env_grid_arrays(const std::vector<MeshArrays>& meshes, double pitch,
                                       nb::handle bounds, double pad) {
  checked_pitch(pitch);
  const std::vector<Box> boxes =
      bounds.is_none() ? referenced_boxes(mesh_refs(meshes)) : std::vector<Box>{};
  return build_grid(meshes, boxes, pitch, explicit_bounds(bounds), pad);
}

// ---------------------------------------------------------------------------
// Collision queries

// Checked query inputs: the link point sets and transforms paired from
// position `first` on (stopping at the shorter sequence), and the grid.
struct Query : PosedLinks {
  std::vector<py::StridedView> owners;
  py::StridedView grid_buf;
};

inline GridView grid_view(nb::handle env_grid, nb::handle env_origin, double pitch,
                          py::StridedView& buf) {
  checked_pitch(pitch);
  buf = py::StridedView(env_grid, py::Elem::byte);
  require_grid_dims(buf.array());
  const py::StridedView origin(env_origin, py::Elem::f64);
  return grid_of(buf.array(), origin.array(), pitch);
}

inline Query query_inputs(nb::handle links, nb::handle transforms, nb::handle env_grid,
                          nb::handle env_origin, double pitch, std::size_t first) {
  Query q;
  q.grid = grid_view(env_grid, env_origin, pitch, q.grid_buf);
  const std::size_t end = std::min(nb::len(links), nb::len(transforms));
  if (first >= end) return q;
  q.owners.reserve(end - first);  // the views stay where the point sets read them
  q.points.reserve(end - first);
  q.transforms.reserve(end - first);
  for (std::size_t i = first; i < end; ++i) {
    q.owners.emplace_back(links[i], py::Elem::f64);
    q.points.push_back(link_points_of(q.owners.back().array(), i));
  }
  if (PyObject_CheckBuffer(transforms.ptr())) {
    const py::StridedView t(transforms, py::Elem::f64);
    require_stacked_transforms(t.array());
    for (std::size_t i = first; i < end; ++i)
      q.transforms.push_back(stacked_transform(t.array(), i));
  } else {
    for (std::size_t i = first; i < end; ++i)
      q.transforms.push_back(
          single_transform(py::StridedView(transforms[i], py::Elem::f64).array(), i));
  }
  return q;
}

// ---------------------------------------------------------------------------
// Voxel cache file

// Archives are written whole, by the one atomic writer.
using py::savez_compressed_atomic;

inline void save_cache(nb::handle path, nb::handle link_points, nb::handle env_grid,
                       nb::handle env_origin, double pitch) {
  checked_pitch(pitch);
  nb::module_ np = py::numpy();
  nb::dict payload;
  const std::size_t n = nb::len(link_points);
  for (std::size_t i = 0; i < n; ++i) {
    nb::object a = py::asarray_f64(py::real_numbers(link_points[i]));
    if (nb::cast<int>(a.attr("ndim")) != 2 || nb::cast<std::size_t>(a.attr("shape")[1]) != 3)
      throw nb::value_error(
          ("link point set " + std::to_string(i) + " must have shape (k, 3)").c_str());
    payload[("link_" + std::to_string(i)).c_str()] = a;
  }
  nb::object grid = np.attr("asarray")(env_grid);
  if (nb::cast<int>(grid.attr("ndim")) != 3) throw nb::value_error("env_grid must be a 3-D array");
  if (!grid.attr("dtype").equal(nb::str("bool"))) grid = grid.attr("astype")("bool");
  py::Array<double> o = py::as_f64(env_origin);
  py::require_shape(o, {3}, "env_origin");
  const py::Array<bool> cells = py::as_array<bool>(grid);
  const std::vector<std::int64_t> shape(cells.shape.begin(), cells.shape.end());
  payload["env_grid"] = py::new_array(
      pack_cells(reinterpret_cast<const std::uint8_t*>(cells.data), std::int64_t(cells.size)));
  payload["env_shape"] = py::new_array(shape);
  payload["env_origin"] = o.owner;
  payload["pitch"] = py::new_array<double>({}, &pitch);
  const std::int64_t n_links = static_cast<std::int64_t>(n);
  payload["n_links"] = py::new_array<std::int64_t>({}, &n_links);
  savez_compressed_atomic(path, payload);
}

// One member of an open archive, with its dtype kind and shape checked.
inline nb::object member(const py::OpenArchive& d, const std::string& key, const char* kinds,
                         int ndim) {
  nb::object a = d.member(key.c_str());
  const std::string kind = nb::cast<std::string>(a.attr("dtype").attr("kind"));
  if (kind.size() != 1 || std::string(kinds).find(kind[0]) == std::string::npos ||
      nb::cast<int>(a.attr("ndim")) != ndim)
    throw nb::value_error(("voxel cache member '" + key + "' has the wrong type or shape").c_str());
  return a;
}

inline nb::tuple load_cache_members(const py::OpenArchive& d) {
  nb::object n_obj = member(d, "n_links", "iu", 0).attr("item")();
  if (n_obj < nb::int_(0) || n_obj > nb::int_(std::int64_t(1) << 40))
    throw nb::value_error("voxel cache stores an impossible link count");
  const std::int64_t n = nb::cast<std::int64_t>(n_obj);
  nb::list links;
  for (std::int64_t i = 0; i < n; ++i) {
    nb::object a = member(d, "link_" + std::to_string(i), "fiu", 2);
    if (nb::cast<std::size_t>(a.attr("shape")[1]) != 3)
      throw nb::value_error(
          ("voxel cache member 'link_" + std::to_string(i) + "' must have shape (k, 3)").c_str());
    links.append(py::asarray_f64(a));
  }
  nb::object shape_obj = member(d, "env_shape", "iu", 1);
  if (nb::len(shape_obj) != 3)
    throw nb::value_error("voxel cache member 'env_shape' must hold 3 sizes");
  std::int64_t shape[3];
  for (int a = 0; a < 3; ++a) {
    // Compare as Python integers, so a huge uint64 size cannot wrap.
    nb::object s = shape_obj[a].attr("item")();
    if (s < nb::int_(0) || s > nb::int_(std::int64_t(1) << 40))
      throw nb::value_error("voxel cache stores an impossible grid shape");
    shape[a] = nb::cast<std::int64_t>(s);
  }
  nb::object packed_obj = member(d, "env_grid", "u", 1);
  if (nb::cast<std::size_t>(packed_obj.attr("itemsize")) != 1)
    throw nb::value_error("voxel cache member 'env_grid' must be uint8");
  py::Array<std::uint8_t> packed = py::as_array<std::uint8_t>(packed_obj);
  const std::int64_t total = stored_grid_cells(shape, packed.size);
  nb::object origin = member(d, "env_origin", "f", 1);
  if (nb::len(origin) != 3)
    throw nb::value_error("voxel cache member 'env_origin' must have shape (3,)");
  const double pitch = nb::cast<double>(member(d, "pitch", "fiu", 0).attr("item")());
  if (!std::isfinite(pitch) || !(pitch > 0.0))
    throw nb::value_error("voxel cache stores an invalid pitch");

  // Only the set bits are written into the zeroed grid.
  GridRef g;
  nb::object grid = new_grid(shape, g);
  {
    nb::gil_scoped_release release;
    unpack_cells(packed.data, packed.size, total, g.cells);
  }
  return nb::make_tuple(links, grid, origin, nb::float_(pitch));
}

inline nb::tuple load_cache(nb::handle path) {
  py::OpenArchive archive(path, "not a voxel cache archive (.npz)");
  nb::tuple out = load_cache_members(archive);
  archive.close();
  return out;
}

}  // namespace gristane::api
