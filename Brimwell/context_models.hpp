// The planning context's slow models from the meshes: the self-collision
// model with the pairs that may touch, and the distance engine of a
// clearance (one number of metres for every obstacle, or metres per body).
// Both are read back from the file the context keeps them in while nothing
// they are built from changes, else built and stored.
#pragma once

#include "Brimwell/arm_model.hpp"
#include "Brimwell/context_arm.hpp"
#include "Gristane/model_store.hpp"
#include "common/se3.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace brimwell {

// Where a model is kept and how the slow work runs: `path` is none when
// nothing is stored; `write` puts the bytes a store produces in place whole;
// `released` runs work that needs nothing of the caller's language runtime
// (a binding lets other threads run meanwhile).
struct ModelStore {
  std::optional<std::filesystem::path> path;
  std::function<void(const std::function<void(gristane::ModelSink&)>&)> write;
  std::function<void(const std::function<void()>&)> released;
};

// A slow build said part by part (a progress bar on a terminal).
struct BuildWatch {
  virtual ~BuildWatch() = default;
  virtual void start(const char* what, long parts) = 0;
  virtual void advance(const std::string& next) = 0;
  virtual void finish() = 0;
};

// The clearance a context is given: metres for every body (`metres`, the
// default), or per body by name with the default for the others.
struct Clearance {
  bool on = false;
  bool per_body = false;
  bool has_default = false;
  double metres = 0.0;  // the default
  std::vector<std::pair<std::string, double>> bodies;
  std::vector<std::string> names;  // the cache's environment bodies, in order
};

// A per-body clearance's names against the cache's bodies `names` (meta.json's
// order, the order the handler loads them in): each name one of them, and
// every body named or given the default; std::invalid_argument otherwise.
void check_clearance_names(Clearance& clearance, const std::vector<std::string>& names);

// lazy_proof proves the edges of a clearance, so it needs one.
inline void require_lazy_clearance(bool lazy, bool clearance_on) {
  if (lazy && !clearance_on)
    throw std::invalid_argument(
        "lazy_proof needs a clearance (clearance=0.0 or more): without one no edge is proven");
}

// Metres per environment body, in the handler's envmesh order.
std::vector<double> body_clearances(const Clearance& clearance, std::size_t n_bodies);

// Per body, how much less than the largest clearance `top` it is kept from
// (empty when none is: the engine is then exactly the uniform one).
std::vector<double> clearance_offsets(const std::vector<double>& per_body, double top);

// The key every stored model of the arm starts from: the build of the code
// that writes it (none when unknown), the world screws, the home poses and
// the planning limits.  The caller adds its meshes and settings.
gristane::KeyHasher arm_key(const std::optional<gristane::ModelKey>& build, const ContextArm& arm,
                            gristane::ModelKind kind);

// The distance engine of `bodies` and the moving links' meshes `links` into
// `model`, keyed by `arm` (the arm's own key) and what it is built from.
void set_up_clearance(ArmModel& model, gristane::KeyHasher arm, const Clearance& clearance,
                      const std::vector<gristane::MeshRef>& bodies,
                      const std::vector<gristane::MeshRef>& links, const ModelStore& store);

// The self-collision model of the link meshes `links` (base first) into
// `model`; returns the pairs allowed to touch.
std::vector<std::pair<std::size_t, std::size_t>> set_up_self_collision(
    ArmModel& model, gristane::KeyHasher arm, const cellpath::Mat4& base,
    const std::vector<gristane::MeshRef>& links, const ModelStore& store, BuildWatch& watch);

}  // namespace brimwell
