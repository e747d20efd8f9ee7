// Kestrune: checks that a capture cache is kinematically consistent.  A failed
// check raises AssertionError with its message; a passed one prints a line.
#include "Kestrune/docs.hpp"
#include "Kestrune/kestrune.hpp"
#include "common/arm_scene.hpp"
#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/mesh_archive.hpp"
#include "common/py_cli.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace nb = nanobind;
namespace doc = kestrune::doc;
using namespace cellpath;
using cellpath::py::Array;

namespace {

nb::handle g_module;  // held by sys.modules for the interpreter's lifetime

constexpr long kNSample = 1000;
constexpr int kTrials = 5;

nb::object attr(const char* name) { return g_module.attr(name); }

// Vertices of link `index`, at most n of them: a larger mesh is thinned to n
// distinct vertices drawn by a generator seeded with `seed`, so every run uses
// the same ones.
nb::object load_points(const std::filesystem::path& cache_dir, long index, long n, long seed) {
  const std::string file = py::link_file(std::to_string(index));
  py::OpenArchive archive(in_dir(cache_dir, file));
  nb::object V = archive.member("V");
  archive.close();
  const Array<double> v = py::as_f64(V);
  kestrune::require_vertices(v, file + ": V");
  const long rows = static_cast<long>(v.shape[0]);
  if (rows > n) {
    nb::object rng = py::default_rng(nb::int_(seed));
    V = V[rng.attr("choice")(rows, nb::arg("size") = n, nb::arg("replace") = false)];
  }
  return V;
}

// b_world is read once a_world has passed its check, so a_world's fault is
// the one reported.
double min_gap(const Array<double>& a_world, nb::handle b_world) {
  kestrune::require_points(a_world, "a_world");
  const Array<double> b = py::as_f64(b_world);
  kestrune::require_points(b, "b_world");
  nb::gil_scoped_release nogil;
  return kestrune::min_gap(a_world, b);
}

// The handler a check builds on the cache (the module's RobotEnvironmentHandler,
// which a user may replace) and its links' home poses, checked.
struct Arm {
  nb::object handler;
  std::size_t n_links;
  Array<double> home;

  explicit Arm(nb::handle cache_dir) : handler(attr("RobotEnvironmentHandler")(cache_dir)) {
    nb::object home_obj = handler.attr("initialTransforms");
    n_links = nb::len(home_obj);
    home = checked(py::as_f64(home_obj), "initialTransforms");
  }
  // (n_links, 4, 4) poses the handler gave.
  Array<double> checked(Array<double> T, const char* what) const {
    kestrune::require_poses(T, n_links, what);
    return T;
  }
  Array<double> posed(nb::handle theta, const char* what) const {
    return checked(py::as_f64(handler.attr("AcquireTransformsGivenq")(theta)), what);
  }
};

void test_home_pose_unchanged(nb::handle cache_dir) {
  const Arm arm(cache_dir);
  const std::size_t n_joints = py::handler_joints(arm.handler);
  Array<double> T =
      arm.posed(py::new_array(std::vector<double>(n_joints)), "AcquireTransformsGivenq(0)");
  py::print_line(kestrune::home_pose_report(T, arm.home, nb::cast<double>(attr("TOL"))));
}

void test_mesh_connectivity_off_home(nb::handle cache_dir) {
  const Arm arm(cache_dir);
  const std::size_t n_links = arm.n_links;
  const std::filesystem::path cache = py::path_arg(cache_dir);

  std::vector<Array<double>> held;  // keeps the views of `links` alive
  kestrune::LinkPoints links;
  for (std::size_t i = 0; i < n_links; ++i) {
    held.push_back(py::as_f64(load_points(cache, static_cast<long>(i), kNSample, 0)));
    if (held.back().shape[0] == 0)
      throw nb::value_error(("link_" + std::to_string(i) + ".npz has no vertices").c_str());
    links.local.push_back(held.back());
  }
  // The gaps are a million distances a pair: the interpreter is free meanwhile.
  const auto gaps = [&](const Array<double>& T) {
    nb::gil_scoped_release nogil;
    return links.gaps(T);
  };
  const std::vector<double> home_gaps = gaps(arm.home);

  nb::object rng = py::default_rng(nb::int_(1));
  const double slack = nb::cast<double>(attr("GAP_SLACK"));
  for (int trial = 0; trial < kTrials; ++trial) {
    nb::object theta =
        rng.attr("uniform")(-std::numbers::pi, std::numbers::pi, nb::arg("size") = n_links - 1);
    kestrune::check_attached(gaps(arm.posed(theta, "AcquireTransformsGivenq")), home_gaps, slack,
                             trial, [&] { return py::theta_text(theta); });
  }
  py::print_line("OK: adjacent link meshes stay attached (within " + py::str_of(attr("GAP_SLACK")) +
                 " m of home gap) across 5 random configurations.");
}

void main_entry(nb::handle argv) {
  const nb::object dir =
      nb::cast(py::parse_command(kestrune::command_line(), g_module, argv).path("cache_dir"));
  test_home_pose_unchanged(dir);
  test_mesh_connectivity_off_home(dir);
  py::print_line("\nAll FK attachment checks passed.");
}

}  // namespace

NB_MODULE(Kestrune, m) {
  g_module = m;
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const kestrune::CheckFailed& e) {
      PyErr_SetString(PyExc_AssertionError, e.what());
    }
  });
  m.doc() = doc::module;
  // The directory "cache" two levels above the one holding this module.
  nb::object cache_dir = py::set_cache_dir(m, "cache", 3);
  py::set_values(m, {{"TOL", nb::float_(1e-06)},
                     {"N_SAMPLE", nb::int_(kNSample)},
                     {"GAP_SLACK", nb::float_(0.02)},
                     {"RobotEnvironmentHandler",
                      nb::module_::import_("Sallowmere").attr("RobotEnvironmentHandler")}});

  m.def("load_points", &load_points, nb::arg("cache_dir"), nb::arg("index"),
        nb::arg("n") = kNSample, nb::arg("seed") = 0, doc::load_points);
  m.def("min_gap", &min_gap, nb::arg("a_world"), nb::arg("b_world"), doc::min_gap);
  m.def("test_home_pose_unchanged", &test_home_pose_unchanged, nb::arg("cache_dir") = cache_dir,
        doc::test_home_pose_unchanged);
  m.def("test_mesh_connectivity_off_home", &test_mesh_connectivity_off_home,
        nb::arg("cache_dir") = cache_dir, doc::test_mesh_connectivity_off_home);
  m.def("main", &main_entry, nb::arg("argv") = nb::none(), doc::main);
}
