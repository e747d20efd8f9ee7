// Pelmora's command line without Python: which words are options, how an
// object named on the command line is found, and the lines it prints.
#pragma once

#include "Pelmora/allowed.hpp"
#include "Pelmora/distance_core.hpp"
#include "Pelmora/pelmora.hpp"
#include "common/command_line.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace pelmora {

// The options argparse reads (the joint angles are read apart, see split_args).
inline cellpath::cli::Parser command_line() {
  using cellpath::cli::Default;
  return {
      .prog = "Pelmora",
      .description =
          "Exact mesh collision query of one joint vector on the capture cache beside the module "
          "(or the directory named by CELLPATH_CACHE_DIR, or --cache-dir): prints every pair of "
          "touching meshes, link against link and link against environment.  Consecutive links "
          "are not reported.  With --trajectory, every row of a trajectory instead.",
      .allow_abbrev = false,
      .arguments = {
          {.flag = "theta",
           .help = "joint angles in radians, one per joint (default: all zeros)",
           .nargs = "*",
           .metavar = "ANGLE"},
          {.flag = "--cache-dir", .cache_dir = true},
          {.flag = "--trajectory",
           .help = "check every row of an (N, n_joints) .npy trajectory (default: the cache's "
                   "JointAnglesToTravelAlong.npy): one line per colliding row and a summary; "
                   "the exit status is 1 when any row collides",
           .nargs = "?",
           .metavar = "FILE",
           .const_value = "",
           .default_value = Default::none},
          {.flag = "--distance",
           .help = "also print the smallest distance in metres between a moving link and the "
                   "environment, and the pair (over the whole trajectory with --trajectory)",
           .action = "store_true"},
          {.flag = "--allow-base-contacts",
           .help = "ignore what the fixed base touches in the environment at the zero "
                   "configuration (a base bolted to its pedestal touches it in every "
                   "configuration)",
           .action = "store_true"},
          {.flag = "--allow-fixed-contacts",
           .help = "ignore contacts between bodies that never move relative to each other: "
                   "what the base touches at zero, and environment bodies touching each other "
                   "(a table on a floor, shelf boards)",
           .action = "store_true"},
          {.flag = "--allow",
           .help = "ignore contacts between objects A and B, each written kind:name as printed "
                   "(env:pedestal,link:link_base) or as a plain name that only one object has; "
                   "may be repeated",
           .action = "append",
           .metavar = "A,B",
           .default_value = Default::empty_list},
      }};
}

// The command line split into what argparse reads and the joint angles.
// Only the options themselves go through argparse: every other word is a
// joint angle, converted with float() as it always was, so negative angles in
// any spelling ("-1e-3", "-inf") stay angles.  An argument that is no str
// (nullopt) is a joint angle.
struct SplitArgs {
  std::vector<std::size_t> options, angles;  // indices into argv
};

inline SplitArgs split_args(const std::vector<std::optional<std::string>>& argv) {
  using cellpath::starts_with;
  SplitArgs out;
  bool angles_only = false;
  const auto word = [&](std::size_t i) { return argv[i].value_or(std::string()); };
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string w = word(i);
    if (angles_only) {
      out.angles.push_back(i);
    } else if (w == "--") {
      angles_only = true;
    } else if (w == "-h" || w == "--help" || w == "--allow-base-contacts" ||
               w == "--allow-fixed-contacts" || w == "--distance" || starts_with(w, "--allow=") ||
               starts_with(w, "--cache-dir=") || starts_with(w, "--trajectory=")) {
      out.options.push_back(i);
    } else if (w == "--allow" || w == "--cache-dir") {
      out.options.push_back(i);
      if (i + 1 < argv.size()) out.options.push_back(++i);
    } else if (w == "--trajectory") {
      // The file is optional; a word that does not start with '-' is it.
      out.options.push_back(i);
      if (i + 1 < argv.size() && argv[i + 1] && !starts_with(*argv[i + 1], "-"))
        out.options.push_back(++i);
    } else {
      out.angles.push_back(i);
    }
  }
  return out;
}

// An object named on the command line: "kind:name" as the result prints it,
// or a plain name that only one object has.  A string is the usage error.
inline std::variant<ObjectName, std::string> cli_object(const SceneNames& scene,
                                                        const std::string& word) {
  const auto colon = word.find(':');
  if (colon != std::string::npos) {
    const std::string kind = word.substr(0, colon);
    if (kind == "link" || kind == "env") return ObjectName{kind, word.substr(colon + 1)};
  }
  std::vector<ObjectName> found;
  for (const char* kind : {"link", "env"}) {
    const std::vector<std::string>& names = kind[0] == 'l' ? scene.links : scene.envs;
    if (std::find(names.begin(), names.end(), word) != names.end()) found.push_back({kind, word});
  }
  if (found.size() == 1) return found[0];
  if (found.empty())
    return "--allow: no object is named '" + word + "' (write kind:name, e.g. env:" + word + ")";
  return "--allow: both a link and an environment object are named '" + word +
         "'; write link:" + word + " or env:" + word;
}

inline std::string metres(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f m", d);
  return buf;
}

// "a <-> b, c <-> d", the pairs ascending.
inline std::string pairs_line(const std::set<Pair>& pairs) {
  std::string s;
  for (const Pair& p : pairs) s += (s.empty() ? "" : ", ") + pair_line(p);
  return s;
}

// The trajectory summary: "<path>: all N rows collision-free" or
// "<path>: k of N rows in collision".
inline std::string trajectory_summary(const std::string& path, std::size_t rows,
                                      std::size_t colliding) {
  const std::string n = std::to_string(rows) + (rows == 1 ? " row" : " rows");
  return colliding == 0 ? path + ": all " + n + " collision-free"
                        : path + ": " + std::to_string(colliding) + " of " + n + " in collision";
}

// "smallest distance D m[ at row R]: env:a <-> link:b"
inline std::string smallest_line(const std::optional<PairDistance>& best,
                                 const std::string& where) {
  if (!best) return "smallest distance: none measured (no environment body faces a moving link)";
  return "smallest distance " + metres(best->second) + where + ": " + pair_line(best->first);
}

}  // namespace pelmora
