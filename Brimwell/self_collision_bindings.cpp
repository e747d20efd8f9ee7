// The planning context's geometry beyond the voxel grid, from the meshes the
// handler loaded: the self-collision model with the pairs that may touch, and
// the distance engine of a clearance.  Both are kept in the cache directory
// and read back while nothing they are built from changes
// (stored_models.hpp).
#include "Brimwell/py_bridge.hpp"
#include "Brimwell/stored_models.hpp"

#include "Brimwell/progress.hpp"
#include "common/mesh_archive.hpp"
#include "common/text.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>

namespace brimwell_py {

namespace {

// Random in-limit joint vectors a pair must touch in, every one of them, to
// count as built to touch (a link nested in its neighbour's housing), and the
// seed of their fixed sequence.
constexpr std::size_t kTouchConfigs = 1000;
constexpr std::uint64_t kTouchSeed = 0x5e1fc0111de5ULL;
// Joint-space cell of the tables that clear pairs of links two apart.
constexpr double kTableCell = 0.02;

// Metres between the points that stand for a link's surface in the clearance
// test: every surface point lies within 0.6 of this (3 mm) of one of them.
constexpr double kClearanceSpacing = 0.005;

// Mesh i from the handler's `linkmesh` or `envmesh` ('V_<i>' (k, 3) float64,
// 'F_<i>' (m, 3) integer indices); without an entry, no geometry.
gristane::api::MeshArrays link_mesh(nb::handle meshes, std::size_t i, const char* what = "link ") {
  gristane::api::MeshArrays out;
  const std::string vk = "V_" + std::to_string(i), fk = "F_" + std::to_string(i);
  if (!truth(meshes.attr("__contains__")(vk)) || !truth(meshes.attr("__contains__")(fk)))
    return out;
  nb::module_ np = numpy();
  out.v = cellpath::py::as_f64(
      np.attr("ascontiguousarray")(meshes[vk.c_str()], "dtype"_a = np.attr("float64")));
  const Array<double>& V = out.v;
  const std::string name = what + std::to_string(i) + "'s mesh";
  if (V.size != 0 && !(V.ndim() == 2 && V.shape[1] == 3))
    throw nb::value_error(
        (name + ": vertices must have shape (k, 3), got " + cellpath::py::shape_text(V.shape))
            .c_str());
  cellpath::py::require_finite(V, name.c_str());
  out.f = cellpath::py::as_array<std::int64_t>(
      np.attr("ascontiguousarray")(meshes[fk.c_str()], "dtype"_a = np.attr("int64")));
  const Array<std::int64_t>& F = out.f;
  if (F.size != 0 && !(F.ndim() == 2 && F.shape[1] == 3))
    throw nb::value_error((name + ": faces must have shape (m, 3)").c_str());
  const std::size_t nv = V.size / 3;
  cellpath::py::require_face_indices(
      F.data, F.size - F.size % 3, static_cast<std::int64_t>(nv), [&](std::size_t k) {
        return name + ": a face names vertex " + std::to_string(F.data[k]) + " of " +
               std::to_string(nv);
      });
  return out;
}

// The words messages use for a clearance per body: the default's metres, and
// the bodies kept a different distance from.
void say_clearance(PlanningContext& c, const ClearanceArg& arg, double top) {
  if (!arg.per_body) return;
  const double base = arg.has_default ? arg.metres : top;
  std::string note;
  for (const auto& [name, metres] : arg.bodies)
    if (metres != base)
      note +=
          (note.empty() ? " (" : ", ") + cellpath::python_float_text(metres) + " m from " + name;
  if (!note.empty()) note += ")";
  c.model->set_clearance_words(base, note);
}

void hash_meshes(gristane::KeyHasher& key, const std::vector<gristane::MeshRef>& meshes) {
  key.value(static_cast<std::uint64_t>(meshes.size()));
  for (const gristane::MeshRef& m : meshes) key.mesh(m);
}

}  // namespace

// Per body, how much less than the largest clearance `top` it is kept from
// (empty when none is: the engine is then exactly the uniform one), rounded
// so that top - offset is never below the body's own clearance.
std::vector<double> clearance_offsets(const std::vector<double>& per_body, double top) {
  std::vector<double> offsets;
  bool any = false;
  for (double m : per_body) {
    double o = top - m;
    while (o > 0.0 && top - o < m) o = std::nextafter(o, 0.0);
    offsets.push_back(o);
    any = any || o > 0.0;
  }
  if (!any) offsets.clear();
  return offsets;
}

namespace {

// What the engine and the covers are built from (the clearance too: the
// exact test's candidate lists reach as far as it asks).
gristane::ModelKey clearance_key(PlanningContext& c, double metres,
                                 const std::vector<double>& offsets,
                                 const std::vector<gristane::MeshRef>& bodies,
                                 const std::vector<gristane::MeshRef>& link_refs) {
  gristane::KeyHasher hasher = arm_key(c, gristane::ModelKind::Clearance);
  const gristane::EnvDistanceSettings field;
  for (double v : {metres, kClearanceSpacing, field.cell, field.pad, field.band, field.max_cells})
    hasher.value(v);
  if (!offsets.empty()) {  // none: the key of a single clearance, as before
    hasher.value(static_cast<std::uint64_t>(offsets.size()));
    for (double o : offsets) hasher.value(o);
  }
  nb::gil_scoped_release release;
  hash_meshes(hasher, bodies);
  hash_meshes(hasher, link_refs);
  return hasher.key();
}

}  // namespace

void enable_clearance(PlanningContext& c, const ClearanceArg& arg) {
  nb::object links = nb::getattr(c.handler, "linkmesh", nb::none());
  nb::object env = nb::getattr(c.handler, "envmesh", nb::none());
  if (links.is_none() || !nb::hasattr(links, "__contains__") || env.is_none() ||
      !nb::hasattr(env, "__contains__"))
    throw nb::value_error(
        "clearance needs the meshes: the environment handler has no linkmesh or envmesh");
  std::vector<gristane::api::MeshArrays> owned;
  std::vector<gristane::MeshRef> bodies;
  for (std::size_t k = 0; truth(env.attr("__contains__")("V_" + std::to_string(k))); ++k) {
    owned.push_back(link_mesh(env, k, "environment body "));
    bodies.push_back(owned.back().ref());
  }
  std::vector<gristane::MeshRef> link_refs;
  for (std::size_t i = 1; i <= c.n; ++i) {
    owned.push_back(link_mesh(links, i));
    link_refs.push_back(owned.back().ref());
  }
  // The engine proves the largest clearance asked; a body asked less has it
  // as an offset to its distance.
  const std::vector<double> per_body = body_clearances(arg, bodies.size());
  double metres = arg.metres;
  if (arg.per_body && !per_body.empty())
    metres = *std::max_element(per_body.begin(), per_body.end());
  const std::vector<double> offsets = clearance_offsets(per_body, metres);
  StoredModel stored(c, "clearance");
  const gristane::ModelKey key = clearance_key(c, metres, offsets, bodies, link_refs);
  gristane::ClearanceParts parts;
  bool loaded = false;
  if (stored.on()) {
    nb::gil_scoped_release release;
    loaded = gristane::load_clearance(stored.path(), key, c.n, bodies.size(), parts);
  }
  if (loaded) {
    c.model->set_clearance(metres, std::move(parts.env), std::move(parts.covers),
                           std::move(parts.screen));
    say_clearance(c, arg, metres);
    return;
  }
  {
    // The context is not yet seen by any other thread: its model is built
    // without the interpreter.
    nb::gil_scoped_release release;
    c.model->build_clearance(metres, bodies, link_refs, kClearanceSpacing, offsets);
  }
  say_clearance(c, arg, metres);
  std::vector<const gristane::SurfaceCover*> covers, screen;
  for (std::size_t i = 1; i <= c.n; ++i) {
    covers.push_back(&c.model->cover(i));
    screen.push_back(&(*c.model->screen_covers())[i - 1]);
  }
  stored.write([&](gristane::ModelSink& sink) {
    gristane::store_clearance(key, c.model->environment(), covers, screen, sink);
  });
}

namespace {

// The link meshes of the context's handler, base first.
std::vector<gristane::api::MeshArrays> handler_link_meshes(PlanningContext& c) {
  nb::object meshes = nb::getattr(c.handler, "linkmesh", nb::none());
  if (meshes.is_none() || !nb::hasattr(meshes, "__contains__"))
    throw nb::value_error(
        "self-collision needs the link meshes: the environment handler has no linkmesh");
  std::vector<gristane::api::MeshArrays> owned;
  for (std::size_t i = 0; i <= c.n; ++i) owned.push_back(link_mesh(meshes, i));
  return owned;
}

// The key of what the self-collision model, its pairs and its tables are
// built from: the arm, its base pose, the build's settings and the meshes.
gristane::ModelKey self_collision_key(PlanningContext& c, const cellpath::Mat4& base,
                                      const std::vector<gristane::MeshRef>& refs) {
  gristane::KeyHasher hasher = arm_key(c, gristane::ModelKind::SelfCollision);
  hasher.update(base.data(), sizeof base);
  const gristane::SelfCollisionSettings settings;
  for (double v :
       {settings.sample_spacing, settings.cell, settings.band, settings.reach, kTableCell})
    hasher.value(v);
  hasher.value(static_cast<std::uint64_t>(kTouchConfigs));
  hasher.value(kTouchSeed);
  nb::gil_scoped_release release;
  hash_meshes(hasher, refs);
  return hasher.key();
}

void set_allowed_pairs(PlanningContext& c,
                       const std::vector<std::pair<std::size_t, std::size_t>>& allowed) {
  nb::list pairs;
  for (const auto& [i, j] : allowed) pairs.append(nb::make_tuple(i, j));
  c.allowed_pairs = nb::tuple(pairs);
}

// Seconds on a real arm's meshes: said on a terminal, part by part, each
// part built without the interpreter (the context is not yet seen by any
// other thread).  Returns the pairs allowed to touch.
std::vector<std::pair<std::size_t, std::size_t>> build_self_collision(
    PlanningContext& c, const cellpath::Mat4& base, const std::vector<gristane::MeshRef>& refs) {
  brimwell_py::StepProgress progress("Self-collision model", 3);
  std::vector<std::pair<std::size_t, std::size_t>> all, touching;
  {
    nb::gil_scoped_release release;
    all = c.model->build_self_collision(refs, base);
  }
  progress.advance("pairs that always touch");
  {
    nb::gil_scoped_release release;
    touching = c.model->always_touching(kTouchConfigs, kTouchSeed);
  }
  progress.advance("pair tables");
  // The model is owned by the arm now; narrow its pairs there.
  auto allowed = c.model->allow_touching(all, touching);
  {
    nb::gil_scoped_release release;
    c.model->build_pair_tables(kTableCell);
  }
  progress.advance();
  return allowed;
}

}  // namespace

void enable_self_collision(PlanningContext& c, const cellpath::Mat4& base) {
  const std::vector<gristane::api::MeshArrays> owned = handler_link_meshes(c);
  std::vector<gristane::MeshRef> refs;
  for (const gristane::api::MeshArrays& mesh : owned) refs.push_back(mesh.ref());
  StoredModel stored(c, "self_collision");
  const gristane::ModelKey key = self_collision_key(c, base, refs);
  gristane::SelfCollisionParts parts;
  bool loaded = false;
  if (stored.on()) {
    nb::gil_scoped_release release;
    loaded = gristane::load_self_collision(stored.path(), key, c.n, parts);
  }
  if (loaded) {
    c.model->set_self_collision(std::move(parts.model), base);
    set_allowed_pairs(c, parts.allowed);
    return;
  }
  const auto allowed = build_self_collision(c, base, refs);
  set_allowed_pairs(c, allowed);
  stored.write([&](gristane::ModelSink& sink) {
    gristane::store_self_collision(key, *c.model->self_collision(), allowed, sink);
  });
}

}  // namespace brimwell_py
