// The planning context's geometry beyond the voxel grid, from the meshes the
// handler loaded: the self-collision model with the pairs that may touch, and
// the distance engine of a clearance (context_models.hpp builds them).  Both
// are kept in the cache directory and read back while nothing they are built
// from changes (stored_models.hpp).
#include "Brimwell/context_models.hpp"
#include "Brimwell/py_bridge.hpp"
#include "Brimwell/stored_models.hpp"

#include "common/mesh_archive.hpp"
#include "common/text.hpp"

#include <nanobind/stl/string.h>

#include <optional>

namespace brimwell_py {

namespace {

// Mesh i from the handler's `linkmesh` or `envmesh` ('V_<i>' (k, 3) float64,
// 'F_<i>' (m, 3) integer indices); without an entry, no geometry.
gristane::api::MeshArrays link_mesh(nb::handle meshes, std::size_t i, const char* what = "link ") {
  gristane::api::MeshArrays out;
  const std::string vk = "V_" + std::to_string(i), fk = "F_" + std::to_string(i);
  using cellpath::py::contains;
  if (!contains(meshes, nb::str(vk.c_str())) || !contains(meshes, nb::str(fk.c_str()))) return out;
  nb::module_ np = numpy();
  out.v =
      cellpath::py::as_f64(np.attr("ascontiguousarray")(meshes[vk.c_str()], "dtype"_a = "float64"));
  const std::string name = what + std::to_string(i) + "'s mesh";
  brimwell::check_mesh_vertices(out.v, name);
  out.f = cellpath::py::as_array<std::int64_t>(
      np.attr("ascontiguousarray")(meshes[fk.c_str()], "dtype"_a = "int64"));
  brimwell::check_mesh_faces(out.f, name);
  const std::string bad = brimwell::bad_face_text(out.f, out.v.size / 3, name);
  if (!bad.empty()) cellpath::py::raise_mesh_index_error(bad);
  return out;
}

// Where a context keeps its models: .models in the handler's cache directory,
// none when the handler has no cache that is a path, or when no module build
// keys the files.
std::optional<std::filesystem::path> models_dir(const PlanningContext& c) {
  if (!brimwell::module_build()) return std::nullopt;
  nb::object cache = nb::getattr(c.handler, "cache", nb::none());
  if (cache.is_none()) return std::nullopt;
  try {
    return cellpath::py::path_arg(cache) / ".models";
  } catch (nb::python_error& e) {
    // An interrupt goes on.
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
}

// A context's stored model `name`, its slow work done without the interpreter
// lock, and the killed writers' temporaries tidied by the commands' own rule
// (cellpath_cli.runs) before a write.
brimwell::StoredModel stored_model(const PlanningContext& c, const char* name) {
  return brimwell::StoredModel(
      models_dir(c), name,
      [](const std::function<void()>& work) {
        nb::gil_scoped_release release;
        work();
      },
      [](const std::filesystem::path& dir) {
        try {
          nb::module_::import_("cellpath_cli.runs").attr("remove_litter")(dir);
        } catch (nb::python_error& e) {
          if (!e.matches(PyExc_Exception)) throw;
        }
      });
}

}  // namespace

void enable_clearance(PlanningContext& c, const brimwell::ContextArm& arm,
                      const ClearanceArg& arg) {
  nb::object links = nb::getattr(c.handler, "linkmesh", nb::none());
  nb::object env = nb::getattr(c.handler, "envmesh", nb::none());
  if (links.is_none() || !nb::hasattr(links, "__contains__") || env.is_none() ||
      !nb::hasattr(env, "__contains__"))
    throw nb::value_error(
        "clearance needs the meshes: the environment handler has no linkmesh or envmesh");
  std::vector<gristane::api::MeshArrays> owned;
  std::vector<gristane::MeshRef> bodies;
  for (std::size_t k = 0; cellpath::py::contains(env, nb::str(("V_" + std::to_string(k)).c_str()));
       ++k) {
    owned.push_back(link_mesh(env, k, "environment body "));
    bodies.push_back(owned.back().ref());
  }
  std::vector<gristane::MeshRef> link_refs;
  for (std::size_t i = 1; i <= c.n; ++i) {
    owned.push_back(link_mesh(links, i));
    link_refs.push_back(owned.back().ref());
  }
  const brimwell::StoredModel stored = stored_model(c, "clearance");
  brimwell::set_up_clearance(
      *c.model, brimwell::arm_key(brimwell::module_build(), arm, gristane::ModelKind::Clearance),
      arg, bodies, link_refs, stored.place());
}

void enable_self_collision(PlanningContext& c, const brimwell::ContextArm& arm) {
  nb::object meshes = nb::getattr(c.handler, "linkmesh", nb::none());
  if (meshes.is_none() || !nb::hasattr(meshes, "__contains__"))
    throw nb::value_error(
        "self-collision needs the link meshes: the environment handler has no linkmesh");
  std::vector<gristane::api::MeshArrays> owned;
  for (std::size_t i = 0; i <= c.n; ++i) owned.push_back(link_mesh(meshes, i));
  std::vector<gristane::MeshRef> refs;
  for (const gristane::api::MeshArrays& mesh : owned) refs.push_back(mesh.ref());
  const brimwell::StoredModel stored = stored_model(c, "self_collision");
  TerminalBar watch;  // a slow build's progress on a terminal
  const auto allowed = brimwell::set_up_self_collision(
      *c.model,
      brimwell::arm_key(brimwell::module_build(), arm, gristane::ModelKind::SelfCollision),
      arm.base, refs, stored.place(), watch);
  nb::list pairs;
  for (const auto& [i, j] : allowed) pairs.append(nb::make_tuple(i, j));
  c.allowed_pairs = nb::tuple(pairs);
}

}  // namespace brimwell_py
