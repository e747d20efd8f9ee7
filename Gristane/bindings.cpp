// Gristane: the offline side's voxel collision model.
#include "Gristane/api.hpp"
#include "Gristane/distance_api.hpp"
#include "Gristane/docs.hpp"
#include "Gristane/model_store.hpp"

#include <nanobind/stl/vector.h>

namespace nb = nanobind;
namespace doc = gristane::doc;
namespace api = gristane::api;

namespace {

void bind_voxel_model(nb::module_& m) {
  m.def("VoxelizeLink", &api::voxelize_link, nb::arg("vertices"), nb::arg("faces"),
        nb::arg("pitch"), doc::VoxelizeLink);

  m.def("build_env_grid", &api::build_env_grid, nb::arg("env_meshes"), nb::arg("pitch"),
        nb::arg("bounds") = nb::none(), nb::arg("pad") = 5.0, doc::build_env_grid);

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
      doc::in_collision);
  def_query(
      "colliding_links", [](const api::Query& q) { return gristane::touching_links(q, false); },
      doc::colliding_links);

  m.def("save_cache", &api::save_cache, nb::arg("path"), nb::arg("link_points"),
        nb::arg("env_grid"), nb::arg("env_origin"), nb::arg("pitch"), doc::save_cache);

  m.def("load_cache", &api::load_cache, nb::arg("path"), doc::load_cache);
}

void bind_environment_distance(nb::module_& m) {
  nb::class_<api::PyEnvironmentDistance>(m, "EnvironmentDistance", doc::EnvironmentDistance)
      .def(nb::init<nb::handle, double, double, nb::handle>(), nb::arg("meshes"),
           nb::arg("cell") = 0.005, nb::arg("pad") = 0.2, nb::arg("offsets").none() = nb::none(),
           doc::environment_distance_init)
      .def("lower_bound", &api::PyEnvironmentDistance::lower_bound, nb::arg("points"),
           doc::lower_bound)
      .def("distance", &api::PyEnvironmentDistance::distance, nb::arg("points"), doc::distance)
      .def("_cover_walks", &api::PyEnvironmentDistance::cover_walks, nb::arg("vertices"),
           nb::arg("faces"), nb::arg("poses"), nb::arg("thresholds"), nb::arg("spacing"),
           doc::cover_walks)
      .def_prop_ro("cell", &api::PyEnvironmentDistance::cell, doc::cell)
      .def_prop_ro("shape", &api::PyEnvironmentDistance::shape, doc::shape)
      .def_prop_ro("nbytes", &api::PyEnvironmentDistance::nbytes, "Bytes the field takes.")
      .def_prop_ro("origin", &api::PyEnvironmentDistance::origin, doc::origin)
      .def_prop_ro("closed", &api::PyEnvironmentDistance::closed, doc::closed);
}

}  // namespace

NB_MODULE(Gristane, m) {
  m.doc() = doc::module;
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
      nb::arg("data"), nb::arg("seed") = 0, doc::xxh64);
}
