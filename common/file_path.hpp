// Paths of a cache's files in C++, written as pathlib writes them, so that a
// message naming a file reads the same whichever side built its path.
#pragma once

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

}  // namespace cellpath
