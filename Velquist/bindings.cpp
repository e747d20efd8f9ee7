// Velquist: shows one arm configuration (the planner's colliding waypoint, typed
// joint angles or a random colliding sample) with the links that touch the
// environment in a warning colour.
#include "Velquist/docs.hpp"
#include "Velquist/velquist.hpp"
#include "common/arm_scene.hpp"
#include "common/file_path.hpp"
#include "common/py_cli.hpp"
#include "common/pybridge.hpp"
#include "common/viewer.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace nb = nanobind;
namespace doc = velquist::doc;
using namespace cellpath;

namespace {

nb::handle g_module;  // held by sys.modules for the interpreter's lifetime

constexpr long kMaxAttempts = 2000;

nb::object attr(const char* name) { return g_module.attr(name); }

// Random joint vectors over JOINT_RANGE until one puts a link other than the
// base into the environment.
nb::object find_colliding_theta(nb::handle handler, nb::handle rng, long max_attempts) {
  const std::size_t n_joints = py::handler_joints(handler);
  nb::object joint_range = attr("JOINT_RANGE");
  const py::ArmInspection arm(g_module, handler);
  nb::object lo = joint_range[0], hi = joint_range[1];
  for (long attempt = 0; attempt < max_attempts; ++attempt) {
    nb::object theta = rng.attr("uniform")(lo, hi, nb::arg("size") = n_joints);
    if (!arm.arm_hits(theta).empty()) return theta;
  }
  throw std::runtime_error("No colliding config found in " + std::to_string(max_attempts) +
                           " samples over theta in " + py::str_of(joint_range) + ".");
}

// The --theta text as a float array: split at commas, each piece read as
// Python's float() reads it (so a bad piece fails with float()'s own message).
nb::object parse_theta(const std::string& text) {
  std::vector<double> values;
  for (const std::string& piece : velquist::split_commas(text))
    values.push_back(nb::cast<double>(py::builtin("float")(nb::str(piece.c_str(), piece.size()))));
  return py::new_array(values);
}

// The planner's colliding waypoint (CollisionWaypoint.npz in the cache): its
// joint vector, and its index as the label.
nb::object waypoint_from_cache(const std::filesystem::path& cache_dir, std::size_t n_joints,
                               std::string& label) {
  py::OpenArchive archive(in_dir(cache_dir, "CollisionWaypoint.npz"));
  label = std::to_string(nb::cast<long>(py::builtin("int")(archive.member("index"))));
  nb::object theta = py::asarray_f64(archive.member("theta"));
  archive.close();
  if (nb::cast<std::size_t>(theta.attr("ndim")) != 1)
    throw nb::value_error("CollisionWaypoint.npz: theta must be a joint vector");
  velquist::require_joint_count(nb::len(theta), n_joints, "CollisionWaypoint.npz");
  return theta;
}

void main_entry(nb::handle argv_in) {
  const std::vector<std::string> argv =
      velquist::join_theta_value(nb::cast<std::vector<std::string>>(py::command_args(argv_in)));
  const cli::Parser command = velquist::command_line();
  nb::object args = py::make_parser(command, g_module).attr("parse_args")(nb::cast(argv));
  const cli::Values o = py::read_values(args, command);
  const std::filesystem::path cache = o.path("cache_dir");
  const bool random = o.flag("random");

  // Typed angles are read before the (slow) handler is built, so a typo fails at once.
  nb::object theta;
  if (!random && o.text("theta")) theta = parse_theta(*o.text("theta"));

  nb::object handler = attr("RobotEnvironmentHandler")(cache);
  capture::Capture capture = py::read_capture(cache);
  const std::size_t n_joints = py::handler_joints(handler);

  std::string label;
  if (random) {
    nb::object rng = py::default_rng(args.attr("seed"));
    theta = find_colliding_theta(handler, rng, kMaxAttempts);
    label = "random";
  } else if (theta.is_valid()) {
    velquist::require_joint_count(nb::len(theta), n_joints, "--theta");
    label = "n/a";
  } else {
    theta = waypoint_from_cache(cache, n_joints, label);
  }

  const py::ArmInspection arm(g_module, handler);
  const py::PosedHits posed = arm.posed(theta);
  py::print_line("Waypoint " + label);
  py::print_line("  theta: " + py::theta_text(theta));
  py::print_line(arm.hits_line(posed.hits));
  py::show_posed_arm(g_module, std::move(capture), posed, cache, "Velquist");
}

}  // namespace

NB_MODULE(Velquist, m) {
  g_module = m;
  // CACHE_DIR: the directory "cache" two levels above the one holding this module.
  py::define_viewer_module(m, doc::module, "cache", 3, true);
  // The handler class and voxel test this module builds on, bound under their names.
  py::define_voxel_inspection(m, nb::module_::import_("Sallowmere").attr("RobotEnvironmentHandler"),
                              nb::module_::import_("Gristane").attr("colliding_links"));
  m.attr("MAX_ATTEMPTS") = kMaxAttempts;
  m.def("find_colliding_theta", &find_colliding_theta, nb::arg("handler"), nb::arg("rng"),
        nb::arg("max_attempts") = kMaxAttempts, doc::find_colliding_theta);
  m.def("main", &main_entry, nb::arg("argv") = nb::none(), doc::main);
}
