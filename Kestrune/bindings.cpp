// Kestrune: checks that a capture cache is kinematically consistent.  A failed
// check raises AssertionError with its message; a passed one prints a line.
#include "Kestrune/kestrune.hpp"
#include "common/arm_scene.hpp"
#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace cellpath;
using cellpath::py::Array;

namespace {

nb::handle g_module;  // held by sys.modules for the interpreter's lifetime

constexpr long kNSample = 1000;
constexpr int kTrials = 5;

nb::object attr(const char* name) { return g_module.attr(name); }

[[noreturn]] void fail(const std::string& message) {
  PyErr_SetString(PyExc_AssertionError, message.c_str());
  throw nb::python_error();
}

std::string format(const char* fmt, double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, x);
  return buf;
}

// A finite (k, 3) point set.
Array<double> points_arg(nb::handle pts, const char* what) {
  Array<double> a = py::as_f64(pts);
  if (a.ndim() != 2 || a.shape[1] != 3)
    throw nb::value_error(
        (std::string(what) + " must have shape (k, 3), got " + py::shape_text(a.shape)).c_str());
  return a;
}

// Vertices of link `index`, at most n of them: a larger mesh is thinned to n
// distinct vertices drawn by a generator seeded with `seed`, so every run uses
// the same ones.
nb::object load_points(nb::handle cache_dir, long index, long n, long seed) {
  nb::module_ np = py::numpy();
  const std::string file = py::link_file(std::to_string(index));
  nb::object data = py::open_archive(py::join_path(cache_dir, file));
  nb::object V;
  try {
    V = py::archive_member(data, "V");
  } catch (...) {
    data.attr("close")();
    throw;
  }
  data.attr("close")();
  Array<double> v = points_arg(V, (file + ": V").c_str());
  if (!py::all_finite(v.data, v.size))
    throw nb::value_error((file + ": V holds NaN or infinite coordinates").c_str());
  const long rows = static_cast<long>(v.shape[0]);
  if (rows > n) {
    nb::object rng = np.attr("random").attr("default_rng")(seed);
    nb::object idx = rng.attr("choice")(rows, nb::arg("size") = n, nb::arg("replace") = false);
    V = V.attr("__getitem__")(idx);
  }
  return V;
}

double min_gap(nb::handle a_world, nb::handle b_world) {
  Array<double> a = points_arg(a_world, "a_world"), b = points_arg(b_world, "b_world");
  if (a.shape[0] == 0 || b.shape[0] == 0)
    throw nb::value_error("min_gap needs at least one point in each set");
  return kestrune::min_gap(a.data, a.shape[0], b.data, b.shape[0]);
}

// (n_links, 4, 4) link poses as an array view, or ValueError.
Array<double> poses_arg(nb::handle T, std::size_t n_links, const char* what) {
  Array<double> a = py::as_f64(T);
  if (a.ndim() != 3 || a.shape[0] != n_links || a.shape[1] != 4 || a.shape[2] != 4)
    throw nb::value_error((std::string(what) + " must have shape (" + std::to_string(n_links) +
                           ", 4, 4), got " + py::shape_text(a.shape))
                              .c_str());
  return a;
}

void test_home_pose_unchanged(nb::handle cache_dir) {
  nb::object handler = attr("RobotEnvironmentHandler")(cache_dir);
  nb::object init_obj = handler.attr("initialTransforms");
  const std::size_t n_links = nb::len(init_obj);
  Array<double> init = poses_arg(init_obj, n_links, "initialTransforms");
  const std::size_t n_joints = py::handler_joints(handler);
  Array<double> T =
      poses_arg(handler.attr("AcquireTransformsGivenq")(py::numpy().attr("zeros")(n_joints)),
                n_links, "AcquireTransformsGivenq(0)");
  const double diff = kestrune::max_abs_diff(T.data, init.data, T.size);
  const double tol = nb::cast<double>(attr("TOL"));
  if (!(diff < tol))
    fail("theta=0 FK does not match cached home transforms (max diff " +
         py::str_of(nb::float_(diff)) + ")");
  py::print_line("OK: theta=0 FK matches cached home transforms (max diff " + format("%.2e", diff) +
                 ").");
}

Mat4 load_pose(const double* p) {
  Mat4 T;
  for (int k = 0; k < 16; ++k) T[k] = p[k];
  return T;
}

std::vector<double> world_points(const std::vector<Array<double>>& local, const Array<double>& T,
                                 std::size_t i) {
  std::vector<double> out(local[i].size);
  kestrune::world_points(local[i].data, local[i].shape[0], load_pose(T.data + 16 * i), out.data());
  return out;
}

void test_mesh_connectivity_off_home(nb::handle cache_dir) {
  nb::module_ np = py::numpy();
  nb::object handler = attr("RobotEnvironmentHandler")(cache_dir);
  nb::object init_obj = handler.attr("initialTransforms");
  const std::size_t n_links = nb::len(init_obj);
  Array<double> init = poses_arg(init_obj, n_links, "initialTransforms");

  std::vector<Array<double>> local;
  for (std::size_t i = 0; i < n_links; ++i) {
    Array<double> pts = py::as_f64(load_points(cache_dir, static_cast<long>(i), kNSample, 0));
    if (pts.shape[0] == 0)
      throw nb::value_error(("link_" + std::to_string(i) + ".npz has no vertices").c_str());
    local.push_back(std::move(pts));
  }
  auto gap = [&](const Array<double>& T, std::size_t i) {
    const std::vector<double> a = world_points(local, T, i), b = world_points(local, T, i + 1);
    return kestrune::min_gap(a.data(), local[i].shape[0], b.data(), local[i + 1].shape[0]);
  };
  std::vector<double> home_gaps;
  for (std::size_t i = 0; i + 1 < n_links; ++i) home_gaps.push_back(gap(init, i));

  nb::object rng = np.attr("random").attr("default_rng")(1);
  const std::size_t n_joints = n_links - 1;
  const double slack = nb::cast<double>(attr("GAP_SLACK"));
  for (int trial = 0; trial < kTrials; ++trial) {
    nb::object theta =
        rng.attr("uniform")(-std::numbers::pi, std::numbers::pi, nb::arg("size") = n_joints);
    Array<double> T = poses_arg(handler.attr("AcquireTransformsGivenq")(theta), n_links,
                                "AcquireTransformsGivenq");
    for (std::size_t i = 0; i + 1 < n_links; ++i) {
      const double g = gap(T, i);
      if (!(g < home_gaps[i] + slack))
        fail("trial " + std::to_string(trial) + ", theta=" + py::theta_text(theta) + ": link " +
             std::to_string(i) + "<->" + std::to_string(i + 1) + " gap grew to " +
             format("%.4f", g) + " m (home gap " + format("%.4f", home_gaps[i]) +
             " m) -- links detached. This is the 'links tear apart' failure mode: home_transform "
             "and the screw list were captured at different reference configs.");
    }
  }
  py::print_line("OK: adjacent link meshes stay attached (within " + py::str_of(attr("GAP_SLACK")) +
                 " m of home gap) across 5 random configurations.");
}

void main_entry(nb::handle argv) {
  nb::module_ argparse = nb::module_::import_("argparse");
  nb::object cache_dir = attr("CACHE_DIR");
  nb::object parser = argparse.attr("ArgumentParser")(
      nb::arg("formatter_class") = argparse.attr("RawDescriptionHelpFormatter"));
  parser.attr("add_argument")(
      "--cache-dir", nb::arg("type") = nb::module_::import_("pathlib").attr("Path"),
      nb::arg("default") = cache_dir,
      nb::arg("help") =
          "Cache directory to test against (default: " + py::str_of(cache_dir) + ").");
  nb::object args = parser.attr("parse_args")(argv);
  nb::object dir = args.attr("cache_dir");
  test_home_pose_unchanged(dir);
  test_mesh_connectivity_off_home(dir);
  py::print_line("\nAll FK attachment checks passed.");
}

}  // namespace

NB_MODULE(Kestrune, m) {
  g_module = m;
  m.doc() =
      "FK attachment check of a capture cache: forward kinematics at theta = 0 reproduces "
      "the home poses, and consecutive links stay attached when the arm moves.";
  // The directory "cache" two levels above the one holding this module.
  nb::object cache_dir = py::set_cache_dir(m, "cache", 3);
  m.attr("TOL") = 1e-06;
  m.attr("N_SAMPLE") = kNSample;
  m.attr("GAP_SLACK") = 0.02;
  m.attr("RobotEnvironmentHandler") =
      nb::module_::import_("Sallowmere").attr("RobotEnvironmentHandler");

  m.def("load_points", &load_points, nb::arg("cache_dir"), nb::arg("index"),
        nb::arg("n") = kNSample, nb::arg("seed") = 0,
        "The link-frame vertices of link `index` (array V of link_<index>.npz), thinned to n "
        "distinct vertices chosen with a generator seeded with `seed` when there are more.");
  m.def("min_gap", &min_gap, nb::arg("a_world"), nb::arg("b_world"),
        "The smallest distance between any point of a_world and any point of b_world.");
  m.def("test_home_pose_unchanged", &test_home_pose_unchanged, nb::arg("cache_dir") = cache_dir,
        "Assert that forward kinematics at the zero joint vector reproduces every captured home "
        "pose to within TOL.");
  m.def("test_mesh_connectivity_off_home", &test_mesh_connectivity_off_home,
        nb::arg("cache_dir") = cache_dir,
        "Assert that, over five fixed random configurations, the smallest gap between every "
        "two consecutive links grows by less than GAP_SLACK over its home value.");
  m.def("main", &main_entry, nb::arg("argv") = nb::none(),
        "Run both checks on --cache-dir and report.");
}
