// A stored model's file: the key of a file's bytes, and a model written whole
// (a temporary file beside the target, synced, then renamed over it), so
// that a reader never meets half a model and a failed write never destroys
// the one before.
#pragma once

#include "Gristane/model_store.hpp"

#include <filesystem>
#include <functional>
#include <optional>

namespace brimwell {

// The key of the bytes of `file`, or none when it cannot be read.
std::optional<gristane::ModelKey> file_key(const std::filesystem::path& file);

// Puts the bytes `store(sink)` produces in place as `target`.  The temporary
// is named ".NAME.PID.THREAD.tmp", as the command layer's tidying knows a
// writer's temporaries (it removes those of writers that are gone).  False,
// with nothing left behind, when the file system refuses (a read-only or full
// disk); what `store` throws is thrown on, the temporary removed.
bool write_model_file(const std::filesystem::path& target,
                      const std::function<void(gristane::ModelSink&)>& store);

}  // namespace brimwell
