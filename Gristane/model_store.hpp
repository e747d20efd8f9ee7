// Models kept between runs: the self-collision model, and the clearance's
// distance engine with the links' covers, written to bytes and read back
// exactly (the same doubles, the same trees, the same fields), so that a model
// read back answers bit for bit as the one built from the meshes did.
//
// A stored model is one file: a header (what it is, the key of everything it
// was built from, the payload's size and checksum) and the payload.  Nothing
// read is trusted: a header that does not fit, a checksum that does not
// match, or any size or index the queries would follow out of range refuses
// the whole file, and the caller builds the model again.
#pragma once

#include "Gristane/env_distance.hpp"
#include "Gristane/geometry.hpp"
#include "Gristane/self_collision.hpp"
#include "Gristane/surface_cover.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace gristane {

// A 64-bit hash of a stream of bytes (the xxHash64 construction: four lanes
// of multiply-rotate rounds, then an avalanche).  Fast enough to check a
// payload of a hundred megabytes in a few tens of milliseconds.
class Hash64 {
 public:
  explicit Hash64(std::uint64_t seed = 0);
  void update(const void* data, std::size_t n);
  template <class T>
  void value(const T& v) {
    static_assert(std::is_arithmetic_v<T>);
    update(&v, sizeof v);
  }
  std::uint64_t digest() const;

 private:
  std::uint64_t lanes_[4];
  std::uint64_t seed_, total_ = 0;
  unsigned char buffer_[32];
  std::size_t buffered_ = 0;
};

// What a stored model was built from: 128 bits, two hashes of the same bytes
// under different seeds.
struct ModelKey {
  std::uint64_t a = 0, b = 0;
  bool operator==(const ModelKey&) const = default;
};

class KeyHasher {
 public:
  KeyHasher();
  void update(const void* data, std::size_t n) {
    a_.update(data, n);
    b_.update(data, n);
  }
  template <class T>
  void value(const T& v) {
    a_.value(v);
    b_.value(v);
  }
  void values(const double* v, std::size_t n) {
    value(static_cast<std::uint64_t>(n));
    update(v, n * sizeof(double));
  }
  // A mesh by its sizes and the bytes of its vertices and faces.
  void mesh(const MeshRef& m);
  ModelKey key() const { return {a_.digest(), b_.digest()}; }

 private:
  Hash64 a_, b_;
};

enum class ModelKind : std::uint32_t { SelfCollision = 1, Clearance = 2 };

// The header's size, in front of every stored model's payload.
constexpr std::size_t kModelHeaderBytes = 64;

// Where a stored model's bytes go: the file's bytes in order (the header as
// kModelHeaderBytes zeros), then the header to be written over those zeros
// (it holds the payload's size and checksum, known only at the end).
class ModelSink {
 public:
  virtual ~ModelSink() = default;
  virtual void append(const unsigned char* data, std::size_t n) = 0;
  virtual void put_header(const unsigned char* header) = 0;
};

using LinkPairs = std::vector<std::pair<std::size_t, std::size_t>>;

// The self-collision model as the planning context finishes it (pairs
// narrowed, tables added), with the pairs allowed to touch.
struct SelfCollisionParts {
  std::unique_ptr<SelfCollisionModel> model;
  LinkPairs allowed;
};

// The clearance's engine and the covers of links 1 .. n: the proof's and the
// screen's coarser ones.
struct ClearanceParts {
  std::unique_ptr<EnvironmentDistance> env;
  std::vector<SurfaceCover> covers, screen;
};

void store_self_collision(const ModelKey& key, const SelfCollisionModel& model,
                          const LinkPairs& allowed, ModelSink& sink);
void store_clearance(const ModelKey& key, const EnvironmentDistance& env,
                     const std::vector<const SurfaceCover*>& covers,
                     const std::vector<const SurfaceCover*>& screen, ModelSink& sink);

// A stored file's parts read back, for an arm of `n_joints` joints
// (n_joints + 1 links) and `n_bodies` environment bodies, built under `key`;
// false, with `out` left empty, when the file is missing or unreadable or
// anything about it does not fit.
bool load_self_collision(const std::filesystem::path& file, const ModelKey& key,
                         std::size_t n_joints, SelfCollisionParts& out);
bool load_clearance(const std::filesystem::path& file, const ModelKey& key, std::size_t n_joints,
                    std::size_t n_bodies, ClearanceParts& out);

}  // namespace gristane
