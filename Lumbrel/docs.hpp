// What Python's help() says about Lumbrel's names.  Kept apart from the binding
// code (as generated docstring headers are), so the binding file reads as the
// names, their arguments and what they call.
#pragma once

namespace lumbrel::doc {

inline constexpr const char* command =
    "Show the capture cache (links at their home poses and the environment) in a viewer window.";
inline constexpr const char* build_scene =
    "A trimesh.Scene of the cache in cache_dir (default CACHE_DIR) described by the parsed "
    "meta.json: one node per link (named after it, at its home pose) and one per environment "
    "body.";
inline constexpr const char* main =
    "Show the cache in CACHE_DIR (or --cache-dir DIR) in a viewer window; returns when the "
    "window is closed.";
inline constexpr const char* module =
    "Cache viewer: the captured arm at its home pose and its surroundings in a viewer window.";

}  // namespace lumbrel::doc
