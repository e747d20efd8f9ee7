// Command-line handling of the collision viewer that needs no Python.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velquist {

// argparse takes "--theta -1.57,0.5" for two options, since the value starts
// with "-" and is not a plain negative number.  Joining such a value to its
// option ("--theta=-1.57,0.5") lets joint vectors with a negative first angle be
// typed as they naturally are.  A following long option ("--random") or "-h" is
// left alone, so "--theta --random" still reports the missing value.
inline std::vector<std::string> join_theta_value(const std::vector<std::string>& argv) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (a == "--") {  // everything after it is positional: keep as typed
      out.insert(out.end(), argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
      break;
    }
    if (a == "--theta" && i + 1 < argv.size()) {
      const std::string& v = argv[i + 1];
      if (v.size() >= 1 && v[0] == '-' && v.rfind("--", 0) != 0 && v != "-h") {
        out.push_back(a + "=" + v);
        ++i;
        continue;
      }
    }
    out.push_back(a);
  }
  return out;
}

// "a,b,c" -> {"a", "b", "c"}; an empty piece stays an (invalid) empty piece.
inline std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    out.push_back(
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

}  // namespace velquist
