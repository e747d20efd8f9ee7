// Command-line handling of the collision viewer that needs no Python.
#pragma once

#include "common/command_line.hpp"
#include "common/text.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace velquist {

// The viewer's options.
inline cellpath::cli::Parser command_line() {
  using cellpath::cli::Default;
  using cellpath::cli::Type;
  return {
      .raw_description = true,
      .arguments = {
          {.flag = "--cache-dir", .cache_dir = true, .cache_dir_help = "Cache directory to load"},
          {.flag = "--theta",
           .help = "Comma-separated joint angles to render directly instead of reading "
                   "Cache/CollisionWaypoint.npz, e.g. "
                   "'-1.5708,-0.7854,-1.5708,-3.927,-1.5708,0'.",
           .type = Type::str,
           .default_value = Default::none},
          {.flag = "--random",
           .help = "Search for and render a random colliding configuration instead of "
                   "reading --theta or Cache/CollisionWaypoint.npz.",
           .action = "store_true"},
          {.flag = "--seed",
           .help = "Seed for --random (default: fresh entropy each run).",
           .type = Type::integer,
           .default_value = Default::none},
      }};
}

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

using cellpath::split_commas;

// One angle per joint, or std::invalid_argument naming where the angles came from.
inline void require_joint_count(std::size_t given, std::size_t n_joints,
                                const std::string& source) {
  if (given != n_joints)
    throw std::invalid_argument(source + " gives " + std::to_string(given) + " joint angle" +
                                (given == 1 ? "" : "s") + ", but the arm has " +
                                std::to_string(n_joints) +
                                " joints; give exactly one angle per joint");
}

}  // namespace velquist
