// Gristane: the offline side's voxel collision model.
#include "Gristane/api.hpp"
#include "Gristane/distance_api.hpp"
#include "Gristane/model_store.hpp"

#include <nanobind/stl/vector.h>

namespace nb = nanobind;
namespace api = gristane::api;

namespace {

void bind_voxel_model(nb::module_& m) {
  m.def("VoxelizeLink", &api::voxelize_link, nb::arg("vertices"), nb::arg("faces"),
        nb::arg("pitch"),
        "Centres of the voxels, at the given pitch, that cover a triangle mesh and fill its "
        "interior, in the mesh's own frame: float64 (k, 3).  The mesh is taken exactly as "
        "given (no merging or repair).");

  m.def("build_env_grid", &api::build_env_grid, nb::arg("env_meshes"), nb::arg("pitch"),
        nb::arg("bounds") = nb::none(), nb::arg("pad") = 5.0,
        "Occupancy grid of the environment meshes (objects with vertices, faces and bounds): "
        "returns (grid, lo, pitch) with grid a 3-D bool array whose cell (i, j, k) spans "
        "lo + pitch * [i, i+1) x [j, j+1) x [k, k+1).  Without bounds the grid covers the "
        "union of the meshes' bounding boxes plus `pad` metres on every side; with bounds "
        "(lo, hi) it covers exactly that box and voxels outside it are dropped.");

  // The two stateless queries take the same arguments and pair links with
  // transforms the same way (api::query_inputs); they differ in what they
  // report of the touching links (gristane::touching_links).
  auto def_query = [&m](const char* name, auto report, const char* doc) {
    m.def(
        name,
        [report](nb::handle links, nb::handle T, nb::handle grid, nb::handle origin, double pitch) {
          return report(api::query_inputs(links, T, grid, origin, pitch, 0));
        },
        nb::arg("link_points_local"), nb::arg("T_world_link"), nb::arg("env_grid"),
        nb::arg("env_origin"), nb::arg("pitch"), doc);
  };
  def_query(
      "in_collision",
      [](const api::Query& q) { return !gristane::touching_links(q, true).empty(); },
      "True when a point of some link, posed by its world transform, lies in an occupied "
      "cell.  Links and transforms are paired by position up to the shorter sequence; points "
      "outside the grid (including non-finite ones) never collide.");
  def_query(
      "colliding_links", [](const api::Query& q) { return gristane::touching_links(q, false); },
      "Positions, ascending, of every link that has a point in an occupied cell (same "
      "pairing and cell rule as in_collision).");

  m.def("save_cache", &api::save_cache, nb::arg("path"), nb::arg("link_points"),
        nb::arg("env_grid"), nb::arg("env_origin"), nb::arg("pitch"),
        "Store link point sets and the environment grid (bit-packed) in one compressed .npz "
        "archive; '.npz' is appended to a path that lacks it.");

  m.def("load_cache", &api::load_cache, nb::arg("path"),
        "Read an archive written by save_cache: (link_points, grid, env_origin, pitch).");
}

void bind_environment_distance(nb::module_& m) {
  nb::class_<api::PyEnvironmentDistance>(
      m, "EnvironmentDistance",
      "How far points are from the environment's solids: a mesh whose every edge belongs to "
      "exactly two faces is solid (distance 0 inside), any other is its surface alone.  "
      "lower_bound reads a distance field (cells of `cell` metres over the meshes' box padded "
      "by `pad`, values rounded down to 0.1 mm): never more than the true distance, and 0 or "
      "less wherever it proves nothing.  distance is exact (point-triangle distances and the "
      "parity of a ray's crossings).  The planner's clearance test is built on it.")
      .def(nb::init<nb::handle, double, double, nb::handle>(), nb::arg("meshes"),
           nb::arg("cell") = 0.005, nb::arg("pad") = 0.2, nb::arg("offsets").none() = nb::none(),
           "meshes: (vertices, faces) pairs, or objects with vertices and faces, in world "
           "coordinates.  offsets: metres added to each mesh's distance (finite, >= 0); the "
           "field then bounds min over meshes of (distance + offset), which is how a clearance "
           "per body is proven.")
      .def("lower_bound", &api::PyEnvironmentDistance::lower_bound, nb::arg("points"),
           "A proven lower bound of each point's distance, float64 (k,).")
      .def("distance", &api::PyEnvironmentDistance::distance, nb::arg("points"),
           "The exact distance of each point to the solids, float64 (k,); inf without meshes.")
      .def("_cover_walks", &api::PyEnvironmentDistance::cover_walks, nb::arg("vertices"),
           nb::arg("faces"), nb::arg("poses"), nb::arg("thresholds"), nb::arg("spacing"),
           "For tests: a link cover's walks, binary and wide, at each pose.")
      .def_prop_ro("cell", &api::PyEnvironmentDistance::cell, "The field's cell edge in metres.")
      .def_prop_ro("shape", &api::PyEnvironmentDistance::shape, "Cells of the field along x, y, z.")
      .def_prop_ro("nbytes", &api::PyEnvironmentDistance::nbytes, "Bytes the field takes.")
      .def_prop_ro("origin", &api::PyEnvironmentDistance::origin,
                   "The field's lowest corner; cell (i, j, k) spans origin + cell * [i, i+1) x ...")
      .def_prop_ro("closed", &api::PyEnvironmentDistance::closed, "Per mesh, whether it is solid.");
}

}  // namespace

NB_MODULE(Gristane, m) {
  m.doc() =
      "Voxel collision model: link point sets, the environment occupancy grid, "
      "collision tests of posed links against it, and a voxel cache file.";
  bind_voxel_model(m);
  bind_environment_distance(m);

  // The checksum of a stored model's payload, for tools and tests that write
  // or check such files.
  m.def(
      "_xxh64",
      [](nb::bytes data, std::uint64_t seed) {
        gristane::Hash64 h(seed);
        h.update(data.c_str(), data.size());
        return h.digest();
      },
      nb::arg("data"), nb::arg("seed") = 0, "XXH64 of `data` (bytes) with `seed`.");
}
