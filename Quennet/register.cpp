// Python face of the home-configuration functions (see register.hpp).
#include "Quennet/register.hpp"

#include "Quennet/paths.hpp"
#include "common/capture.hpp"
#include "kinematics/chain.hpp"
#include "kinematics/host.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace quennet {

namespace host = cellpath::host;
namespace cpy = cellpath::py;
using cellpath::Mat4;

namespace {

// numpy.linalg.LinAlgError for a damped system that cannot be solved (only
// reachable with non-finite screws or targets).
[[noreturn]] void raise_singular() {
  nb::object err = nb::module_::import_("numpy").attr("linalg").attr("LinAlgError");
  host::raise(err.ptr(), nb::str("Singular matrix"));
}

nb::list history_to_list(const IkHistory& h) {
  nb::list out;
  for (std::size_t r = 0; r < h.rows; ++r) out.append(host::vec_to_numpy(h.row(r), h.n));
  return out;
}

nb::list ik_with_restarts_py(nb::handle InitialTheta, nb::handle Tsd, nb::handle M,
                             nb::handle Slist, double eomg, double ev) {
  cpy::Array<double> init = host::joint_vector_arg(InitialTheta, "InitialTheta");
  const Mat4 target = host::transform_arg(Tsd, "Tsd");
  const Mat4 home = host::transform_arg(M, "M");
  const ScrewArg S = screw_list_arg(Slist, init.size, "Slist");
  IkHistory h;
  IkOutcome outcome;
  try {
    outcome =
        ik_with_restarts(S.list, home, target, init.data, init.size, eomg, ev, h, numpy_randn);
  } catch (const kinematics::SingularMatrix&) {
    raise_singular();
  }
  if (outcome != IkOutcome::Converged) print_not_converged();
  return history_to_list(h);
}

nb::list straight_line_path_py(nb::handle Tstart, nb::handle Tend, long N) {
  const std::vector<Mat4> poses = straight_line_path(host::transform_arg(Tstart, "Tstart"),
                                                     host::transform_arg(Tend, "Tend"), N);
  nb::list out;
  for (const Mat4& T : poses) out.append(host::transform_to_numpy(T));
  return out;
}

nb::object find_joint(nb::handle root, nb::handle name) {
  return root.attr("joints").attr("itemByName")(name);
}

using cpy::to_double;

// The rows of the (K + 2, n) waypoint table: the current pose, one IK answer per
// waypoint (each solved from the current pose), the current pose again.
nb::object solve_waypoints(nb::handle m, nb::handle JointNames, nb::handle BaseFrameName,
                           nb::handle WaypointNames, nb::handle sp, nb::handle M) {
  nb::object seed_obj = retrieve_joint_angles(m, JointNames);
  cpy::Array<double> seed = cpy::as_f64(seed_obj);
  const std::size_t n = seed.size;
  nb::object T_w_base_obj = m.attr("GetComponentGlobalTransformationmatrix")(BaseFrameName);
  std::vector<double> rows(seed.data, seed.data + n);
  std::size_t count = 1;
  nb::module_ np = nb::module_::import_("numpy");
  for (nb::handle name : nb::iter(WaypointNames)) {
    nb::object T_w_target_obj = m.attr("GetComponentGlobalTransformationmatrix")(name);
    const Mat4 T_w_base = host::transform_arg(T_w_base_obj, "base frame transform");
    const Mat4 T_w_target = host::transform_arg(T_w_target_obj, "waypoint transform");
    const Mat4 T_s_d = cellpath::mul4(kinematics::inv_SE3(T_w_base), T_w_target);
    const Mat4 home = host::transform_arg(M, "M");
    const ScrewArg S = screw_list_arg(sp, n, "sp");
    IkHistory h;
    IkOutcome outcome;
    try {
      outcome = ik_with_restarts(S.list, home, T_s_d, seed.data, n, 0.001, 0.001, h, numpy_randn);
    } catch (const kinematics::SingularMatrix&) {
      raise_singular();
    }
    if (outcome != IkOutcome::Converged) print_not_converged();
    const double* last = h.last();
    rows.insert(rows.end(), last, last + n);
    ++count;
    nb::object deg = np.attr("rad2deg")(host::vec_to_numpy(last, n));
    nb::str text = host::format(
        (std::string(host::kIkAnswerLogPrefix) + "IK waypoint {} -> theta(deg)=").c_str(), name);
    nb::object arr_text = np.attr("array2string")(deg, nb::arg("precision") = 3);
    host::log(m, nb::steal(PyUnicode_Concat(text.ptr(), arr_text.ptr())));
    if (PyErr_Occurred()) throw nb::python_error();
  }
  rows.insert(rows.end(), seed.data, seed.data + n);
  ++count;
  return host::mat_to_numpy(rows.data(), count, n);
}

}  // namespace

void numpy_randn(double* out, std::size_t n) {
  nb::object draws = nb::module_::import_("numpy").attr("random").attr("randn")(n);
  cpy::Array<double> a = cpy::as_f64(draws);
  if (a.size != n) throw nb::value_error("numpy.random.randn returned the wrong number of draws");
  for (std::size_t j = 0; j < n; ++j) out[j] = a[j];
}

void print_not_converged() {
  const std::string line =
      "IK did not converge in " + std::to_string(kIkRestartMaxIters) + " iterations";
  nb::module_::import_("builtins").attr("print")(nb::str(line.c_str()));
}

ScrewArg screw_list_arg(nb::handle x, std::size_t n, const char* what) {
  cpy::Array<double> a = cpy::as_f64(x);
  if (a.ndim() != 2 || a.shape[0] != 6 || a.shape[1] != n)
    throw nb::value_error((std::string(what) + " must have shape (6, " + std::to_string(n) +
                           ") for " + std::to_string(n) + " joint values, got " +
                           cpy::shape_text(a.shape))
                              .c_str());
  ScrewArg out;
  out.owner = a.owner;
  out.list = ScrewList{a.data, 6, n};
  return out;
}

nb::object retrieve_joint_angles(nb::handle m, nb::handle joint_names) {
  nb::object root = host::root_component(m);
  const std::size_t n = nb::len(joint_names);
  double* data = nullptr;
  nb::object out = cpy::new_f64({n}, &data);
  for (std::size_t i = 0; i < n; ++i) data[i] = 0.0;
  std::size_t i = 0;
  for (nb::handle name : nb::iter(joint_names)) {
    if (i >= n) break;
    nb::object joint = find_joint(root, name);
    if (joint.is_none()) host::raise(PyExc_ValueError, host::format("cannot find joint {}", name));
    data[i++] = to_double(joint.attr("jointMotion").attr("rotationValue"));
  }
  return out;
}

void set_joint_angles(nb::handle m, nb::handle joint_names, nb::handle angles) {
  cpy::Array<double> a = cpy::as_f64(angles);
  if (!cpy::all_finite(a.data, a.size))
    host::raise(PyExc_ValueError, host::format("non-finite joint angle(s): {}", a.owner));
  if (a.ndim() != 1)
    throw nb::value_error(
        ("setAngles must be a one-dimensional joint vector, got shape " + cpy::shape_text(a.shape))
            .c_str());
  nb::object root = host::root_component(m);
  std::size_t i = 0;
  for (nb::handle name : nb::iter(joint_names)) {
    if (i >= a.size) break;
    nb::object joint = find_joint(root, name);
    if (joint.is_none()) host::raise(PyExc_ValueError, host::format("cannot find joint {}", name));
    joint.attr("jointMotion").attr("rotationValue") = nb::float_(a[i++]);
  }
}

nb::tuple retrieve_screw_at_home(nb::handle m, nb::handle joint_names, nb::handle base_name,
                                 nb::handle end_effector_name) {
  nb::object initial = retrieve_joint_angles(m, joint_names);
  const std::size_t n = nb::len(joint_names);
  {
    double* z = nullptr;
    nb::object zeros = cpy::new_f64({n}, &z);
    for (std::size_t j = 0; j < n; ++j) z[j] = 0.0;
    set_joint_angles(m, joint_names, zeros);
  }
  host::do_events(m);

  nb::object root = host::root_component(m);
  nb::object base_obj = m.attr("GetComponentGlobalTransformationmatrix")(base_name);
  nb::object ee_obj = m.attr("GetComponentGlobalTransformationmatrix")(end_effector_name);

  // A missing joint stops the capture: skipping it would shift every later column.
  std::vector<nb::object> world_screws;
  for (nb::handle name : nb::iter(joint_names)) {
    nb::object joint = find_joint(root, name);
    if (joint.is_none())
      host::raise(
          PyExc_RuntimeError,
          host::format("joint not found: {} \u2014 aborting to preserve joint order", name));
    nb::object TS = m.attr("getTandSFromJoint")(joint);
    world_screws.push_back(nb::borrow(TS[1]));
  }

  const Mat4 base = host::transform_arg(base_obj, "BaseTransform");
  const cellpath::Mat6 Ad = kinematics::adT(kinematics::inv_SE3(base));
  std::vector<double> sp(6 * world_screws.size());
  const std::size_t cols = world_screws.size();
  for (std::size_t j = 0; j < cols; ++j) {
    cpy::Array<double> S = cpy::as_f64(world_screws[j]);
    if (S.ndim() != 1 || S.size != 6)
      throw nb::value_error(("the screw of joint " + std::to_string(j) +
                             " must have 6 entries (revolute or slider joint), got shape " +
                             cpy::shape_text(S.shape))
                                .c_str());
    const cellpath::Vec6 col =
        cellpath::capture::carry_screw(Ad, {S[0], S[1], S[2], S[3], S[4], S[5]});
    for (std::size_t r = 0; r < 6; ++r) sp[r * cols + j] = col[r];
  }
  const Mat4 ee = host::transform_arg(ee_obj, "EndEffectorWorldTransform");
  const Mat4 M = cellpath::mul4(kinematics::inv_SE3(base), ee);
  nb::object sp_arr = host::mat_to_numpy(sp.data(), 6, cols);
  set_joint_angles(m, joint_names, initial);
  return nb::make_tuple(sp_arr, host::transform_to_numpy(M));
}

void register_quennet(nb::module_& m) {
  nb::object mod = nb::borrow(m);

  m.def(
      "InverseKinematicsInSpaceFrame2",
      [](nb::handle InitialTheta, nb::handle Tsd, nb::handle M, nb::handle Slist, double eomg,
         double ev) { return ik_with_restarts_py(InitialTheta, Tsd, M, Slist, eomg, ev); },
      nb::arg("InitialTheta"), nb::arg("Tsd"), nb::arg("M"), nb::arg("Slist"),
      nb::arg("eomg") = 0.001, nb::arg("ev") = 0.001,
      "Damped Newton-Raphson IK for the end-effector pose Tsd (space frame), with every "
      "joint update limited to a norm of 0.3 and every iterate wrapped into [-pi, pi].  "
      "A non-finite error twist restarts from the last finite iterate plus normal noise "
      "of scale 0.05 drawn from numpy's global generator.  Returns every iterate; the "
      "last is the answer, converged or not (after 200 iterations a line says so on "
      "standard output).");

  m.def("StraightLineCartesianPath", &straight_line_path_py, nb::arg("Tstart"), nb::arg("Tend"),
        nb::arg("N"),
        "N poses from Tstart to Tend: the origin on the straight line between them, the "
        "orientation turning about one fixed axis at a uniform rate (also for half turns).  "
        "A single sample is Tend; N <= 0 gives an empty list.");

  host::def_on(m, "RetrieveJointAnglesAtConfig", &retrieve_joint_angles, nb::arg("JointNames"),
               "The current value of each named joint of the design's root component (radians), "
               "as a float array in the order of the names.");

  host::def_on(m, "SetRobotJointAngles", &set_joint_angles, nb::arg("JointNames"),
               nb::arg("setAngles"),
               "Drive the named joints to the given values, pairing names and values up to the "
               "shorter of the two.  Non-finite values are refused before any joint moves.  The "
               "host's event pump is not called.");

  host::def_on(m, "RetrieveScrewAtHomeConfig", &retrieve_screw_at_home, nb::arg("JointNames"),
               nb::arg("BaseFrameName"), nb::arg("EndEffectorFrameName"),
               "(sp, M): the (6, n) screw list in the base component's frame and the end "
               "effector's pose relative to the base, both measured with every joint at 0 "
               "(design length unit).  The joints are put back where they were.");

  host::def_on(m, "SolveWaypointJointAngles", &solve_waypoints, nb::arg("JointNames"),
               nb::arg("BaseFrameName"), nb::arg("WaypointNames"), nb::arg("sp"), nb::arg("M"),
               "Joint vectors of a task through the named target components: the current joint "
               "values, one IK answer per target (each solved from the current values), and the "
               "current values again, as a (K + 2, n) array.  Logs one line per target.");
}

}  // namespace quennet
