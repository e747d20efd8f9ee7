// Pelmora's command line: the exact query of one joint vector, or of every row
// of a trajectory, and optionally the smallest distance between the arm and
// the environment.
#include "Pelmora/cli_core.hpp"
#include "Pelmora/docs.hpp"
#include "Pelmora/py_pelmora.hpp"
#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/mesh_archive.hpp"
#include "common/py_cli.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace pelmora_py {

namespace {

namespace cli = cellpath::cli;

void print_smallest(Pelmora& self, const Array<double>& theta, const std::string& where) {
  py::print_line(pelmora::smallest_line(pelmora::nearest(pose_distances(self, theta, {})), where));
}

// One line on stderr when the cache's trajectory was not written by the run its
// RunRecord.json describes (cellpath_cli.runs; nothing in a bare build tree).
void warn_if_not_one_run(const std::filesystem::path& cache_dir) {
  nb::object runs;
  try {
    runs = nb::module_::import_("cellpath_cli.runs");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    return;
  }
  runs.attr("warn_if_mixed")(cache_dir, nb::make_tuple("JointAnglesToTravelAlong.npy"), "Pelmora");
}

// Every row of the trajectory: one line per colliding row, a summary, and with
// `distance` the smallest distance over all rows.  1 when any row collides.
int check_trajectory(Pelmora& self, const std::filesystem::path& path, bool distance) {
  Array<double> traj = trajectory_arg(self, nb::cast(path));
  const auto hits = colliding_rows(self, traj, {});
  for (const auto& [r, pairs] : hits)
    py::print_line("row " + std::to_string(r) + ": " + pelmora::pairs_line(pairs));
  const std::size_t N = traj.shape[0];
  py::print_line(pelmora::trajectory_summary(path.native(), N, hits.size()));
  if (distance && N > 0) {
    const std::vector<double> per_row = trajectory_distances(self, traj, {});
    const std::size_t r = std::min_element(per_row.begin(), per_row.end()) - per_row.begin();
    print_smallest(self, py::as_f64(traj.owner[nb::int_(r)]), " at row " + std::to_string(r));
  }
  return hits.empty() ? 0 : 1;
}

// The angles are read, and counted against the cache's joints, before the
// meshes are loaded (seconds for a real arm), so a typo fails at once.
nb::list read_angles(const nb::list& words, const std::filesystem::path& cache_dir) {
  nb::list theta;
  for (nb::handle a : words) theta.append(builtin("float")(a));
  const std::filesystem::path screws = cellpath::in_dir(cache_dir, py::kScrewFile);
  std::error_code unreadable;
  if (nb::len(theta) > 0 && std::filesystem::is_regular_file(screws, unreadable)) {
    nb::object shape = py::load_npy(nb::cast(screws)).attr("shape");
    if (nb::len(shape) == 2 && nb::cast<std::size_t>(shape[1]) != nb::len(theta))
      throw nb::value_error(("expected " + py::str_of(shape[1]) + " joint angles, got (" +
                             std::to_string(nb::len(theta)) + ",)")
                                .c_str());
  }
  return theta;
}

// The --allow-... options as an allowed_pairs request; a word that names no
// object is the usage error std::invalid_argument says.
nb::list allowed_of(const Pelmora& self, const cli::Values& o) {
  nb::list allowed;
  if (o.flag("allow_base_contacts")) allowed.append("base");
  if (o.flag("allow_fixed_contacts")) allowed.append("fixed");
  const pelmora::SceneNames names{nb::cast<std::vector<std::string>>(self.link_names),
                                  nb::cast<std::vector<std::string>>(self.env_names)};
  for (const std::string& text : o.list("allow")) {
    const std::vector<std::string> parts = cellpath::split_commas(text);
    if (parts.size() != 2)
      throw std::invalid_argument("--allow takes two objects separated by a comma, got '" + text +
                                  "'");
    nb::list pair;
    for (const std::string& part : parts) {
      const auto found = pelmora::cli_object(names, part);
      if (const auto* error = std::get_if<std::string>(&found)) throw std::invalid_argument(*error);
      const auto& o = std::get<ObjectName>(found);
      pair.append(nb::make_tuple(o.kind, o.name));
    }
    allowed.append(nb::tuple(pair));
  }
  return allowed;
}

nb::object main_entry(nb::handle argv_in) {
  nb::list argv = py::command_args(argv_in);
  std::vector<std::optional<std::string>> words;
  for (nb::handle a : argv)
    words.push_back(nb::isinstance<nb::str>(a) ? std::optional(nb::cast<std::string>(a))
                                               : std::nullopt);
  const pelmora::SplitArgs split = pelmora::split_args(words);
  nb::list options, angles;
  for (std::size_t i : split.options) options.append(argv[i]);
  for (std::size_t i : split.angles) angles.append(argv[i]);

  nb::object parser = py::make_parser(pelmora::command_line(), g_module);
  const cli::Values o =
      py::read_values(parser.attr("parse_args")(options), pelmora::command_line());
  const std::filesystem::path cache_dir = o.path("cache_dir");
  const std::optional<std::string>& trajectory = o.text("trajectory");
  if (trajectory && nb::len(angles) > 0)
    parser.attr("error")(
        "--trajectory checks the rows of a trajectory file and takes no joint angles, got " +
        py::repr_of(angles));
  nb::list theta = read_angles(angles, cache_dir);

  Pelmora self = build_pelmora(cache_dir, true, {});
  // "No collisions" against nothing would read as a clear cell: say so.
  if (nb::len(self.env_names) == 0)
    cellpath::py::builtin("print")(
        "Pelmora: " + cache_dir.native() +
            " lists no environment bodies (meta.json's \"env\"): only the links "
            "are checked, against each other",
        nb::arg("file") = nb::module_::import_("sys").attr("stderr"));
  try {
    self.allowed_pairs = pair_set(resolve_allowed(self, allowed_request(allowed_of(self, o))));
  } catch (std::invalid_argument& e) {
    parser.attr("error")(std::string(e.what()));
  }
  if (trajectory) {
    const bool own = trajectory->empty();
    // pathlib's form of the file either way, as the summary line names it
    const std::filesystem::path path =
        own ? cellpath::in_dir(cache_dir, "JointAnglesToTravelAlong.npy")
            : py::path_arg(nb::str(trajectory->c_str(), trajectory->size()));
    if (own) warn_if_not_one_run(cache_dir);
    return nb::int_(check_trajectory(self, path, o.flag("distance")));
  }

  if (nb::len(theta) == 0)
    for (long i = 0; i < n_joints_of(self); ++i) theta.append(0.0);
  const nb::object q = theta;
  py::print_line(py::str_of(nb::str(query(self, q, {}))));
  if (o.flag("distance")) print_smallest(self, py::as_f64(q), "");
  return nb::none();
}

}  // namespace

void bind_command(nb::module_& m) {
  m.def("main", &main_entry, nb::arg("argv") = nb::none(), pelmora::doc::main);
}

}  // namespace pelmora_py
