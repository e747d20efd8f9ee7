// Pelmora's command line: the exact query of one joint vector, or of every row
// of a trajectory, and optionally the smallest distance between the arm and
// the environment.
#include "Pelmora/py_pelmora.hpp"
#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace pelmora_py {

namespace {

nb::object make_parser() {
  nb::object argparse = nb::module_::import_("argparse");
  nb::object parser = argparse.attr("ArgumentParser")(
      nb::arg("prog") = "Pelmora", nb::arg("allow_abbrev") = false,
      nb::arg("description") =
          "Exact mesh collision query of one joint vector on the capture cache beside the module "
          "(or the directory named by CELLPATH_CACHE_DIR, or --cache-dir): prints every pair of "
          "touching meshes, link against link and link against environment.  Consecutive links "
          "are not reported.  With --trajectory, every row of a trajectory instead.");
  parser.attr("add_argument")(
      "theta", nb::arg("nargs") = "*", nb::arg("metavar") = "ANGLE",
      nb::arg("help") = "joint angles in radians, one per joint (default: all zeros)");
  py::add_cache_dir_option(parser, g_module);
  parser.attr("add_argument")(
      "--trajectory", nb::arg("nargs") = "?", nb::arg("const") = "",
      nb::arg("default") = nb::none(), nb::arg("metavar") = "FILE",
      nb::arg("help") =
          "check every row of an (N, n_joints) .npy trajectory (default: the cache's "
          "JointAnglesToTravelAlong.npy): one line per colliding row and a summary; "
          "the exit status is 1 when any row collides");
  parser.attr("add_argument")(
      "--distance", nb::arg("action") = "store_true",
      nb::arg("help") =
          "also print the smallest distance in metres between a moving link and the "
          "environment, and the pair (over the whole trajectory with --trajectory)");
  parser.attr("add_argument")(
      "--allow-base-contacts", nb::arg("action") = "store_true",
      nb::arg("help") =
          "ignore what the fixed base touches in the environment at the zero configuration "
          "(a base bolted to its pedestal touches it in every configuration)");
  parser.attr("add_argument")(
      "--allow-fixed-contacts", nb::arg("action") = "store_true",
      nb::arg("help") =
          "ignore contacts between bodies that never move relative to each other: "
          "what the base touches at zero, and environment bodies touching each other "
          "(a table on a floor, shelf boards)");
  parser.attr("add_argument")(
      "--allow", nb::arg("action") = "append", nb::arg("default") = nb::list(),
      nb::arg("metavar") = "A,B",
      nb::arg("help") =
          "ignore contacts between objects A and B, each written kind:name as printed "
          "(env:pedestal,link:link_base) or as a plain name that only one object has; "
          "may be repeated");
  return parser;
}

// "kind:name" as the result prints it, or a plain name that only one object has.
nb::object cli_object(const Pelmora& self, const std::string& word, nb::handle parser) {
  const auto colon = word.find(':');
  if (colon != std::string::npos) {
    const std::string kind = word.substr(0, colon);
    if (kind == "link" || kind == "env") return nb::make_tuple(kind, word.substr(colon + 1));
  }
  std::vector<nb::object> found;
  for (const char* kind : {"link", "env"})
    for (nb::handle n : kind[0] == 'l' ? self.link_names : self.env_names)
      if (nb::cast<std::string>(n) == word) found.push_back(nb::make_tuple(kind, n));
  if (found.size() == 1) return found[0];
  parser.attr("error")(found.empty()
                           ? "--allow: no object is named '" + word +
                                 "' (write kind:name, e.g. env:" + word + ")"
                           : "--allow: both a link and an environment object are named '" + word +
                                 "'; write link:" + word + " or env:" + word);
  return nb::none();
}

bool starts_with(const std::string& w, const char* prefix) { return w.rfind(prefix, 0) == 0; }

void print(const std::string& line) { builtin("print")(line); }

std::string metres(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f m", d);
  return buf;
}

std::string pairs_text(nb::handle result) {
  std::vector<Pair> pairs;
  for (nb::handle p : result.attr("pairs")) pairs.push_back(pair_of(p));
  std::sort(pairs.begin(), pairs.end());
  std::string s;
  for (const Pair& p : pairs) s += (s.empty() ? "" : ", ") + pelmora::pair_line(p);
  return s;
}

// "smallest distance D m[ at row R]: env:a <-> link:b"
void print_smallest(Pelmora& self, nb::handle theta, const std::string& where) {
  nb::tuple best = smallest_distance(distances(self, theta, nb::none()));
  if (best[1].is_none()) {
    print("smallest distance: none measured (no environment body faces a moving link)");
    return;
  }
  print("smallest distance " + metres(nb::cast<double>(best[0])) + where + ": " +
        pelmora::pair_line(pair_of(best[1])));
}

// Every row of the trajectory: one line per colliding row, a summary, and with
// `distance` the smallest distance over all rows.  1 when any row collides.
int check_trajectory(Pelmora& self, nb::handle path, bool distance) {
  Array<double> traj = trajectory_arg(self, path);
  nb::list hits = query_trajectory(self, traj.owner, nb::none());
  for (nb::handle hit : hits) print("row " + py::str_of(hit[0]) + ": " + pairs_text(hit[1]));
  const std::size_t N = traj.shape[0], k = nb::len(hits);
  const std::string rows = std::to_string(N) + (N == 1 ? " row" : " rows");
  print(k == 0 ? py::str_of(path) + ": all " + rows + " collision-free"
               : py::str_of(path) + ": " + std::to_string(k) + " of " + rows + " in collision");
  if (distance && N > 0) {
    nb::object per_row = distance_trajectory(self, traj.owner, nb::none());
    const long r = nb::cast<long>(py::numpy().attr("argmin")(per_row));
    print_smallest(self, traj.owner[nb::int_(r)], " at row " + std::to_string(r));
  }
  return k == 0 ? 0 : 1;
}

}  // namespace

nb::object main_entry(nb::handle argv_in) {
  nb::list argv;
  if (argv_in.is_none()) {
    nb::list all(nb::module_::import_("sys").attr("argv"));
    for (std::size_t i = 1; i < nb::len(all); ++i) argv.append(all[i]);
  } else {
    argv = nb::list(argv_in);
  }
  // Only the options themselves go through argparse: every other word is a
  // joint angle, converted with float() as it always was, so negative angles
  // in any spelling ("-1e-3", "-inf") stay angles.
  nb::list options, words;
  bool angles_only = false;
  const std::size_t n_args = nb::len(argv);
  for (std::size_t i = 0; i < n_args; ++i) {
    nb::object a = argv[i];
    const std::string w = nb::isinstance<nb::str>(a) ? nb::cast<std::string>(a) : std::string();
    if (angles_only) {
      words.append(a);
    } else if (w == "--") {
      angles_only = true;
    } else if (w == "-h" || w == "--help" || w == "--allow-base-contacts" ||
               w == "--allow-fixed-contacts" || w == "--distance" || starts_with(w, "--allow=") ||
               starts_with(w, "--cache-dir=") || starts_with(w, "--trajectory=")) {
      options.append(a);
    } else if (w == "--allow" || w == "--cache-dir") {
      options.append(a);
      if (i + 1 < n_args) options.append(argv[++i]);
    } else if (w == "--trajectory") {
      // The file is optional; a word that does not start with '-' is it.
      options.append(a);
      if (i + 1 < n_args && nb::isinstance<nb::str>(argv[i + 1]) &&
          !starts_with(nb::cast<std::string>(argv[i + 1]), "-"))
        options.append(argv[++i]);
    } else {
      words.append(a);
    }
  }
  nb::object parser = make_parser();
  nb::object args = parser.attr("parse_args")(options);
  nb::object trajectory = args.attr("trajectory");
  if (!trajectory.is_none() && nb::len(words) > 0)
    parser.attr("error")(
        "--trajectory checks the rows of a trajectory file and takes no joint angles, got " +
        py::str_of(nb::repr(words)));

  // The angles are read, and counted against the cache's joints, before the
  // meshes are loaded (seconds for a real arm), so a typo fails at once.
  nb::list theta;
  for (nb::handle a : words) theta.append(builtin("float")(a));
  nb::object screws = py::join_path(args.attr("cache_dir"), py::kScrewFile);
  if (nb::len(theta) > 0 && nb::cast<bool>(screws.attr("is_file")())) {
    nb::object shape = py::load_npy(screws).attr("shape");
    if (nb::len(shape) == 2 && nb::cast<std::size_t>(shape[1]) != nb::len(theta))
      throw nb::value_error(("expected " + py::str_of(shape[1]) + " joint angles, got (" +
                             std::to_string(nb::len(theta)) + ",)")
                                .c_str());
  }

  Pelmora self = build_pelmora(args.attr("cache_dir"), true, nb::none());
  nb::list allowed;
  if (nb::cast<bool>(args.attr("allow_base_contacts"))) allowed.append("base");
  if (nb::cast<bool>(args.attr("allow_fixed_contacts"))) allowed.append("fixed");
  for (nb::handle pair_text : args.attr("allow")) {
    nb::list parts = nb::list(pair_text.attr("split")(","));
    if (nb::len(parts) != 2)
      parser.attr("error")("--allow takes two objects separated by a comma, got '" +
                           nb::cast<std::string>(pair_text) + "'");
    allowed.append(nb::make_tuple(cli_object(self, nb::cast<std::string>(parts[0]), parser),
                                  cli_object(self, nb::cast<std::string>(parts[1]), parser)));
  }
  try {
    self.allowed_pairs = resolve_allowed(self, allowed);
  } catch (nb::builtin_exception& e) {
    parser.attr("error")(std::string(e.what()));
  }
  const bool distance = nb::cast<bool>(args.attr("distance"));

  if (!trajectory.is_none()) {
    nb::object path = nb::len(trajectory) > 0
                          ? nb::module_::import_("pathlib").attr("Path")(trajectory)
                          : py::join_path(self.cache_dir, "JointAnglesToTravelAlong.npy");
    return nb::int_(check_trajectory(self, path, distance));
  }

  nb::object q = nb::len(theta) > 0 ? nb::object(theta)
                                    : py::numpy().attr("zeros")(n_joints_of(self)).attr("tolist")();
  print(py::str_of(nb::str(query(self, q, nb::none()))));
  if (distance) print_smallest(self, q, "");
  return nb::none();
}

}  // namespace pelmora_py
