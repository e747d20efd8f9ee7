// The planning context's slow models kept in its cache directory, in a
// hidden folder `.models`, one file each (self_collision.bin,
// clearance.bin), and read back instead of built while nothing they were
// built from has changed.  What they were built from is a key: the meshes,
// the arm's kinematics and limits, every setting of the build, and this
// build of the module itself (a rebuilt module may build differently).
// Storing is a saving, never a condition: a cache directory that cannot be
// written, or a file that cannot be read or does not fit, only means the
// model is built as before.
#pragma once

#include "Brimwell/context_models.hpp"
#include "Gristane/model_store.hpp"

#include <filesystem>
#include <functional>
#include <optional>

namespace brimwell {

// A hash of the module's own file (the shared object this code was loaded
// from): models built by another build of the module (whose construction may
// differ in any detail) are not taken.  Read once per process; none when the
// file cannot be read.
std::optional<gristane::ModelKey> module_build();

// One stored model's file, `name`.bin in the folder `dir` (the cache
// directory's .models; none without a cache directory or a module build to
// key the file by: then nothing is read or written).  `released` runs slow
// work without the interpreter lock; `tidy` removes from a folder the
// temporary files of writers killed half-way (as large as the model), before
// a write, as the commands tidy theirs.
class StoredModel {
 public:
  using Released = std::function<void(const std::function<void()>&)>;
  using Tidy = std::function<void(const std::filesystem::path&)>;
  StoredModel(const std::optional<std::filesystem::path>& dir, const char* name, Released released,
              Tidy tidy);

  // Whether there is a place for the file at all.
  bool on() const { return on_; }
  // Its path, for the loaders (which read it without the interpreter).
  const std::filesystem::path& path() const { return native_; }

  // The file as the model builders see it: its path, the write that puts the
  // bytes a store produces in place whole (a temporary file beside it, then a
  // rename; nothing, and no error, where the directory cannot be written),
  // and the slow work run without the interpreter lock.  Lives as long as
  // this object.
  ModelStore place() const;

 private:
  void write_with(const std::function<void(gristane::ModelSink&)>& store) const;
  bool on_ = false;
  std::filesystem::path native_;
  Released released_;
  Tidy tidy_;
};

}  // namespace brimwell
