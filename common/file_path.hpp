// Paths of a cache's files in C++, written as pathlib writes them, so that a
// message naming a file reads the same whichever side built its path.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace cellpath {

// `dir / name` as pathlib joins them, for a `dir` in pathlib's own form (".",
// or without a trailing separator, as str(pathlib.Path(x)) gives it) and a
// relative `name`: empty and "." parts of the name are left out, and a
// directory "." is left out before a name.
inline std::filesystem::path in_dir(const std::filesystem::path& dir, std::string_view name) {
  std::string out = dir.native() == "." ? std::string() : dir.native();
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t slash = name.find('/', start);
    if (slash == std::string_view::npos) slash = name.size();
    const std::string_view part = name.substr(start, slash - start);
    if (!part.empty() && part != ".") {
      if (!out.empty() && out.back() != '/') out += '/';
      out += part;
    }
    start = slash + 1;
  }
  return out.empty() ? std::filesystem::path(".") : std::filesystem::path(out);
}

// Name of the environment variable that, when set at import, replaces every
// module's default cache directory (modules installed into site-packages would
// otherwise default to a directory inside the install folder).
inline constexpr const char* kCacheDirEnv = "CELLPATH_CACHE_DIR";

// The default cache directory of the module whose file is `module_file`: the
// directory `name` found by going `levels_up` directories up from that file
// (1 = the directory that holds it), unless CELLPATH_CACHE_DIR names another.
inline std::filesystem::path default_cache_dir(const std::filesystem::path& module_file,
                                               const char* name, int levels_up = 1) {
  const char* env = std::getenv(kCacheDirEnv);
  if (env != nullptr && *env != '\0') return env;
  std::filesystem::path dir = std::filesystem::weakly_canonical(module_file);
  for (int i = 0; i < levels_up; ++i) dir = dir.parent_path();
  return dir / name;
}

}  // namespace cellpath
