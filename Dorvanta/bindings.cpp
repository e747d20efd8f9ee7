// Dorvanta: straight-line tool paths through target poses, their animation in
// the design, and the add-in entry point run(context).  Also offers the
// home-configuration functions and everything public of kinematics.
#include "Dorvanta/traveller.hpp"
#include "Quennet/register.hpp"
#include "kinematics/host.hpp"
#include "kinematics/register.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace nb = nanobind;
namespace host = cellpath::host;
namespace cpy = cellpath::py;
using cellpath::Mat4;

namespace {

// Restart draws and the non-convergence line as the module-level IK does them;
// fallbacks logged through the module's app.
struct PyHooks {
  nb::handle m;
  void normal(double* out, std::size_t n) { quennet::numpy_randn(out, n); }
  void not_converged() { quennet::print_not_converged(); }
  void fallback(std::size_t x) {
    host::log(m,
              host::format("segment {}: straight-line IK failed, using joint-space interpolation",
                           nb::int_(x)));
  }
};

nb::list configs_to_list(const dorvanta::Configs& c) {
  nb::list out;
  for (std::size_t i = 0; i < c.size(); ++i) out.append(host::vec_to_numpy(c.at(i), c.n));
  return out;
}

void require_nsamples(long nsamples) {
  if (nsamples < 2)
    throw nb::value_error(("nsamples must be at least 2 (a segment has a first and a last "
                           "configuration), got " +
                           std::to_string(nsamples))
                              .c_str());
}

// Run f, turning the damped solver's exact-zero pivot into numpy's error.
template <class F>
auto guarded(F&& f) {
  try {
    return f();
  } catch (const kinematics::SingularMatrix&) {
    nb::object err = nb::module_::import_("numpy").attr("linalg").attr("LinAlgError");
    host::raise(err.ptr(), nb::str("Singular matrix"));
  }
}

nb::object solve_cartesian_segment_py(nb::handle m, nb::handle iniFrame, nb::handle fiFrame,
                                      nb::handle seed, nb::handle ScrewAxis, nb::handle M,
                                      long nsamples) {
  const Mat4 ini = host::transform_arg(iniFrame, "iniFrame");
  const Mat4 fi = host::transform_arg(fiFrame, "fiFrame");
  cpy::Array<double> g = host::joint_vector_arg(seed, "seed");
  const quennet::ScrewArg S = quennet::screw_list_arg(ScrewAxis, g.size, "ScrewAxis");
  const Mat4 home = host::transform_arg(M, "M");
  PyHooks hooks{m};
  dorvanta::Configs out;
  const bool ok = guarded([&] {
    return dorvanta::solve_cartesian_segment(ini, fi, g.data, g.size, S.list, home, nsamples, out,
                                             hooks);
  });
  if (!ok) return nb::none();
  return configs_to_list(out);
}

nb::list joint_space_segment_py(nb::handle seed, nb::handle endConfig, long nsamples) {
  require_nsamples(nsamples);
  cpy::Array<double> a = host::joint_vector_arg(seed, "seed");
  cpy::Array<double> b = host::joint_vector_arg(endConfig, "endConfig");
  if (a.size != b.size)
    throw nb::value_error(("seed and endConfig must have the same length, got " +
                           std::to_string(a.size) + " and " + std::to_string(b.size))
                              .c_str());
  return configs_to_list(dorvanta::joint_space_segment(a.data, b.data, a.size, nsamples));
}

nb::tuple give_path_traveller(nb::handle m, nb::handle BaseFrameName,
                              nb::handle EndEffectorFrameName, nb::handle FramesArray,
                              nb::handle JointNames, long nsamples) {
  require_nsamples(nsamples);
  nb::tuple screw_and_m =
      quennet::retrieve_screw_at_home(m, JointNames, BaseFrameName, EndEffectorFrameName);
  nb::object ScrewAxis = screw_and_m[0], M = screw_and_m[1];
  nb::object initial_obj = quennet::retrieve_joint_angles(m, JointNames);
  cpy::Array<double> initial = cpy::as_f64(initial_obj);
  const std::size_t n = initial.size;

  cpy::Array<double> frames = cpy::as_f64(FramesArray);
  std::vector<Mat4> targets;
  if (frames.size != 0 || frames.ndim() == 3) {
    if (frames.ndim() != 3 || frames.shape[1] != 4 || frames.shape[2] != 4)
      throw nb::value_error(
          ("FramesArray must have shape (K, 4, 4), got " + cpy::shape_text(frames.shape)).c_str());
    for (std::size_t k = 0; k < frames.shape[0]; ++k) {
      Mat4 T;
      for (int e = 0; e < 16; ++e) T[e] = frames[16 * k + e];
      targets.push_back(T);
    }
  }
  const quennet::ScrewArg S = quennet::screw_list_arg(ScrewAxis, n, "ScrewAxis");
  const Mat4 home = host::transform_arg(M, "M");
  PyHooks hooks{m};
  dorvanta::Configs path;
  try {
    path = guarded(
        [&] { return dorvanta::travel(S.list, home, initial.data, n, targets, nsamples, hooks); });
  } catch (const dorvanta::Unreachable& e) {
    host::raise(PyExc_RuntimeError,
                host::format("waypoint {} unreachable: IK diverged even at the endpoint pose:\n{}",
                             nb::int_(e.leg), host::transform_to_numpy(e.pose)));
  }
  return nb::make_tuple(configs_to_list(path), ScrewAxis, M);
}

void animate_joint_angle_path(nb::handle m, nb::handle JointAngles, nb::handle JointNames,
                              nb::handle ScrewAxis, nb::handle M, nb::handle BaseTransform,
                              nb::handle frameDelay, nb::handle drawTraceArg) {
  const int truth = PyObject_IsTrue(drawTraceArg.ptr());
  if (truth < 0) throw nb::python_error();
  const bool drawTrace = truth != 0;
  nb::object adsk = host::adsk(m);
  nb::object root = host::root_component(m);
  std::vector<nb::object> frames;
  for (nb::handle c : nb::iter(JointAngles)) frames.push_back(cpy::as_f64(c).owner);
  if (frames.empty()) {
    host::log(m, std::string("no frames to animate"));
    return;
  }
  nb::list groups;
  for (nb::handle g : nb::iter(root.attr("customGraphicsGroups"))) groups.append(g);
  for (nb::handle g : groups) g.attr("deleteMe")();

  std::vector<double> origins;
  nb::object trace, trace_color;
  if (drawTrace) {
    const Mat4 base = host::transform_arg(BaseTransform, "BaseTransform");
    const Mat4 home = host::transform_arg(M, "M");
    cpy::Array<double> S = cpy::as_f64(ScrewAxis);
    if (S.ndim() != 2 || S.shape[0] != 6)
      throw nb::value_error(
          ("ScrewAxis must have shape (6, n), got " + cpy::shape_text(S.shape)).c_str());
    const kinematics::ScrewList list{S.data, 6, S.shape[1]};
    for (const nb::object& f : frames) {
      cpy::Array<double> conf = host::joint_vector_arg(f, "joint vector");
      if (conf.size > list.cols)
        throw nb::value_error(("a joint vector of " + std::to_string(conf.size) +
                               " values needs as many screws, ScrewAxis has " +
                               std::to_string(list.cols))
                                  .c_str());
      const Mat4 T_end = kinematics::forward_kinematics(list, conf.data, conf.size, home);
      const Mat4 T_glob = cellpath::mul4(base, T_end);
      origins.insert(origins.end(), {T_glob[3], T_glob[7], T_glob[11]});
    }
    trace = root.attr("customGraphicsGroups").attr("add")();
    nb::object color = adsk.attr("core").attr("Color").attr("create")(60, 60, 60, 60);
    trace_color = adsk.attr("fusion").attr("CustomGraphicsSolidColorEffect").attr("create")(color);
  }

  nb::object prev_pt = nb::none();
  nb::object sleep = m.attr("time").attr("sleep");
  for (std::size_t i = 0; i < frames.size(); ++i) {
    quennet::set_joint_angles(m, JointNames, frames[i]);
    if (drawTrace) {
      nb::object curr_pt = adsk.attr("core").attr("Point3D").attr("create")(
          origins[3 * i], origins[3 * i + 1], origins[3 * i + 2]);
      if (!prev_pt.is_none()) {
        nb::list xyz;
        for (const nb::object& p : {prev_pt, curr_pt}) {
          xyz.append(p.attr("x"));
          xyz.append(p.attr("y"));
          xyz.append(p.attr("z"));
        }
        nb::object coords =
            adsk.attr("fusion").attr("CustomGraphicsCoordinates").attr("create")(xyz);
        nb::object seg = trace.attr("addLines")(coords, nb::list(), false);
        seg.attr("color") = trace_color;
        seg.attr("weight") = nb::int_(2);
      }
      prev_pt = curr_pt;
    }
    host::do_events(m);
    sleep(frameDelay);
  }
}

// The add-in's work: plan the straight-line path through the two targets of the
// sample cell and animate it.  Every step goes through the module's own
// attributes, as the host-side script it stands for would.
void run_body(nb::handle m) {
  nb::object find = m.attr("GetComponentGlobalTransformationmatrix");
  nb::object relative = m.attr("TRelativeWhenTwoAreGround");
  nb::object T_w_base = find("Base");
  nb::list frames;
  for (const char* name : {"inicomp", "inicomp2"}) frames.append(relative(find(name), T_w_base));
  nb::object FramesArray = nb::module_::import_("numpy").attr("array")(frames);
  nb::list joints;
  for (const char* j : {"J1", "J2", "J3", "J4", "J5", "J6"}) joints.append(nb::str(j));
  nb::tuple planned =
      nb::tuple(m.attr("GivePathTraveller")("Base", "ToolFlange", FramesArray, joints));
  m.attr("AnimateJointAnglePath")(planned[0], joints, planned[1], planned[2], T_w_base,
                                  nb::arg("frameDelay") = 0.01);
}

// "Failed:\n" and the formatted traceback of the exception in flight.
void log_failure(nb::handle m, nb::python_error& e) {
  e.restore();
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  nb::object t = nb::steal(type), v = nb::steal(value), trace = nb::steal(tb);
  if (!trace.is_valid()) trace = nb::none();
  nb::object lines = nb::module_::import_("traceback")
                         .attr("format_exception")(t, v.is_valid() ? v : nb::none(), trace);
  nb::object text = nb::str("").attr("join")(lines);
  host::log(m, nb::steal(PyUnicode_Concat(nb::str("Failed:\n").ptr(), text.ptr())));
  if (PyErr_Occurred()) throw nb::python_error();
}

}  // namespace

NB_MODULE(Dorvanta, m) {
  m.doc() =
      "Straight-line planner for an arm modelled in the CAD host: tool paths through "
      "target poses on straight Cartesian legs (joint-space fallback), their animation "
      "in the design, and the add-in entry point run; also offers the home-"
      "configuration functions of Quennet and every public function of kinematics.";
  kinematics::register_kinematics(m, cellpath::host::Handles::with_adsk);
  quennet::register_quennet(m);
  m.attr("time") = nb::module_::import_("time");
  nb::object mod = nb::borrow(m);

  host::def_on(
      m, "_solveCartesianSegment", &solve_cartesian_segment_py, nb::arg("iniFrame"),
      nb::arg("fiFrame"), nb::arg("seed"), nb::arg("ScrewAxis"), nb::arg("M"), nb::arg("nsamples"),
      "Joint vectors along the straight pose line from iniFrame to fiFrame (nsamples poses, "
      "base frame), each solved by the IK with restarts from the previous answer; None when "
      "any answer is not finite.");

  m.def("_jointSpaceSegment", &joint_space_segment_py, nb::arg("seed"), nb::arg("endConfig"),
        nb::arg("nsamples"),
        "nsamples joint vectors evenly spaced from seed to endConfig inclusive, per joint and "
        "without wrapping.  nsamples below 2 raises ValueError.");

  host::def_on(
      m, "GivePathTraveller", &give_path_traveller, nb::arg("BaseFrameName"),
      nb::arg("EndEffectorFrameName"), nb::arg("FramesArray"), nb::arg("JointNames"),
      nb::arg("nsamples") = 20,
      "(path, ScrewAxis, M): joint vectors that take the end effector from its current pose "
      "through each target pose of FramesArray (base frame) on straight lines and back to "
      "the current joint values in joint space.  A leg whose straight line cannot be solved "
      "is interpolated in joint space (logged); an unreachable target raises RuntimeError.");

  host::def_on(
      m, "AnimateJointAnglePath", &animate_joint_angle_path, nb::arg("JointAngles"),
      nb::arg("JointNames"), nb::arg("ScrewAxis"), nb::arg("M"), nb::arg("BaseTransform"),
      nb::arg("frameDelay") = 0.01, nb::arg("drawTrace") = nb::bool_(true),
      "Play a joint path back on the design's arm, one frame per joint vector with a pause "
      "of frameDelay seconds, after deleting every custom-graphics group of the root "
      "component; with drawTrace, the tool-frame origin's path is drawn as grey segments.  "
      "The arm is left at the last frame.");

  m.def(
      "run",
      [mod](nb::handle _context) {
        (void)_context;
        nb::object body = nb::cpp_function([mod]() { run_body(mod); });
        try {
          body();
        } catch (nb::python_error& e) {
          log_failure(mod, e);
        }
      },
      nb::arg("_context").none(),
      "Add-in entry point: plan the straight-line path from the arm's pose through the "
      "components \"inicomp\" and \"inicomp2\" and back, and animate it.  Any failure is "
      "logged as \"Failed:\" with its traceback and never reaches the host.");
}
