#include "Brimwell/context_models.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace brimwell {

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

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& s : names) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// The words messages use for a clearance per body: the default's metres, and
// the bodies kept a different distance from.
void say_clearance(ArmModel& model, const Clearance& arg, double top) {
  if (!arg.per_body) return;
  const double base = arg.has_default ? arg.metres : top;
  std::string note;
  for (const auto& [name, metres] : arg.bodies)
    if (metres != base)
      note +=
          (note.empty() ? " (" : ", ") + cellpath::python_float_text(metres) + " m from " + name;
  if (!note.empty()) note += ")";
  model.set_clearance_words(base, note);
}

void hash_meshes(gristane::KeyHasher& key, const std::vector<gristane::MeshRef>& meshes) {
  key.value(static_cast<std::uint64_t>(meshes.size()));
  for (const gristane::MeshRef& m : meshes) key.mesh(m);
}

// What the engine and the covers are built from (the clearance too: the
// exact test's candidate lists reach as far as it asks).
gristane::ModelKey clearance_key(gristane::KeyHasher hasher, double metres,
                                 const std::vector<double>& offsets,
                                 const std::vector<gristane::MeshRef>& bodies,
                                 const std::vector<gristane::MeshRef>& links,
                                 const ModelStore& store) {
  const gristane::EnvDistanceSettings field;
  for (double v : {metres, kClearanceSpacing, field.cell, field.pad, field.band, field.max_cells})
    hasher.value(v);
  if (!offsets.empty()) {  // none: the key of a single clearance, as before
    hasher.value(static_cast<std::uint64_t>(offsets.size()));
    for (double o : offsets) hasher.value(o);
  }
  store.released([&] {
    hash_meshes(hasher, bodies);
    hash_meshes(hasher, links);
  });
  return hasher.key();
}

// The key of what the self-collision model, its pairs and its tables are
// built from: the arm, its base pose, the build's settings and the meshes.
gristane::ModelKey self_collision_key(gristane::KeyHasher hasher, const cellpath::Mat4& base,
                                      const std::vector<gristane::MeshRef>& links,
                                      const ModelStore& store) {
  hasher.update(base.data(), sizeof base);
  const gristane::SelfCollisionSettings settings;
  for (double v :
       {settings.sample_spacing, settings.cell, settings.band, settings.reach, kTableCell})
    hasher.value(v);
  hasher.value(static_cast<std::uint64_t>(kTouchConfigs));
  hasher.value(kTouchSeed);
  store.released([&] { hash_meshes(hasher, links); });
  return hasher.key();
}

// Seconds on a real arm's meshes: said part by part, each part built with
// nothing else in the way (the context is not yet seen by any other thread).
// Returns the pairs allowed to touch.
std::vector<std::pair<std::size_t, std::size_t>> build_self_collision(
    ArmModel& model, const cellpath::Mat4& base, const std::vector<gristane::MeshRef>& links,
    const ModelStore& store, BuildWatch& watch) {
  watch.start("Self-collision model", 3);
  std::vector<std::pair<std::size_t, std::size_t>> all, touching;
  store.released([&] { all = model.build_self_collision(links, base); });
  watch.advance("pairs that always touch");
  store.released([&] { touching = model.always_touching(kTouchConfigs, kTouchSeed); });
  watch.advance("pair tables");
  auto allowed = model.allow_touching(all, touching);
  store.released([&] { model.build_pair_tables(kTableCell); });
  watch.advance("");
  watch.finish();
  return allowed;
}

}  // namespace

gristane::KeyHasher arm_key(const std::optional<gristane::ModelKey>& build, const ContextArm& arm,
                            gristane::ModelKind kind) {
  gristane::KeyHasher h;
  h.value(static_cast<std::uint32_t>(kind));
  if (build) {
    h.value(build->a);
    h.value(build->b);
  }
  h.value(static_cast<std::uint64_t>(arm.n));
  for (const std::vector<double>* v : {&arm.world_screws, &arm.homes, &arm.bounds.limits})
    h.values(v->data(), v->size());
  return h;
}

void check_clearance_names(Clearance& a, const std::vector<std::string>& names) {
  a.names = names;
  std::vector<char> named(a.names.size(), 0);
  for (const auto& [name, metres] : a.bodies) {
    bool found = false;
    for (std::size_t b = 0; b < a.names.size(); ++b)
      if (a.names[b] == name) named[b] = 1, found = true;
    if (!found)
      throw std::invalid_argument(
          "clearance: the cache has no environment body named '" + name + "' (" +
          (a.names.empty() ? std::string("it lists none") : "its bodies: " + joined(a.names)) +
          ")");
  }
  if (a.has_default) return;
  std::vector<std::string> rest;
  for (std::size_t b = 0; b < a.names.size(); ++b)
    if (!named[b]) rest.push_back(a.names[b]);
  if (!rest.empty())
    throw std::invalid_argument(
        "clearance: the dict has no \"default\" for the bodies it does not name (" + joined(rest) +
        "); add \"default\": METRES");
}

std::vector<double> body_clearances(const Clearance& arg, std::size_t n_bodies) {
  std::vector<double> out(n_bodies, arg.metres);
  if (!arg.per_body || arg.bodies.empty()) return out;
  if (arg.names.size() != n_bodies)
    throw std::invalid_argument("clearance per body: meta.json lists " +
                                std::to_string(arg.names.size()) +
                                " environment bodies but the handler loaded " +
                                std::to_string(n_bodies) + ", so the names cannot be matched");
  for (const auto& [name, metres] : arg.bodies)
    for (std::size_t b = 0; b < n_bodies; ++b)
      if (arg.names[b] == name) out[b] = metres;
  return out;
}

// Rounded so that top - offset is never below the body's own clearance.
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

void set_up_clearance(ArmModel& model, gristane::KeyHasher arm, const Clearance& arg,
                      const std::vector<gristane::MeshRef>& bodies,
                      const std::vector<gristane::MeshRef>& links, const ModelStore& store) {
  // The engine proves the largest clearance asked; a body asked less has it
  // as an offset to its distance.
  const std::vector<double> per_body = body_clearances(arg, bodies.size());
  double metres = arg.metres;
  if (arg.per_body && !per_body.empty())
    metres = *std::max_element(per_body.begin(), per_body.end());
  const std::vector<double> offsets = clearance_offsets(per_body, metres);
  const gristane::ModelKey key = clearance_key(arm, metres, offsets, bodies, links, store);
  gristane::ClearanceParts parts;
  bool loaded = false;
  if (store.path)
    store.released([&] {
      loaded = gristane::load_clearance(*store.path, key, links.size(), bodies.size(), parts);
    });
  if (loaded) {
    model.set_clearance(metres, std::move(parts.env), std::move(parts.covers),
                        std::move(parts.screen));
    say_clearance(model, arg, metres);
    return;
  }
  store.released([&] { model.build_clearance(metres, bodies, links, kClearanceSpacing, offsets); });
  say_clearance(model, arg, metres);
  if (!store.path) return;
  std::vector<const gristane::SurfaceCover*> covers, screen;
  for (std::size_t i = 1; i <= links.size(); ++i) {
    covers.push_back(&model.cover(i));
    screen.push_back(&(*model.screen_covers())[i - 1]);
  }
  store.write([&](gristane::ModelSink& sink) {
    gristane::store_clearance(key, model.environment(), covers, screen, sink);
  });
}

std::vector<std::pair<std::size_t, std::size_t>> set_up_self_collision(
    ArmModel& model, gristane::KeyHasher arm, const cellpath::Mat4& base,
    const std::vector<gristane::MeshRef>& links, const ModelStore& store, BuildWatch& watch) {
  const gristane::ModelKey key = self_collision_key(arm, base, links, store);
  gristane::SelfCollisionParts parts;
  bool loaded = false;
  if (store.path)
    store.released(
        [&] { loaded = gristane::load_self_collision(*store.path, key, links.size() - 1, parts); });
  if (loaded) {
    model.set_self_collision(std::move(parts.model), base);
    return parts.allowed;
  }
  const auto allowed = build_self_collision(model, base, links, store, watch);
  if (store.path)
    store.write([&](gristane::ModelSink& sink) {
      gristane::store_self_collision(key, *model.self_collision(), allowed, sink);
    });
  return allowed;
}

}  // namespace brimwell
