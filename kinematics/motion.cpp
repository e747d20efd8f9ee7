// Driving the arm in the open design: placing components at world transforms,
// removing drawn traces, and animating forward kinematics and iterative IK
// with an end-effector trace.
#include "common/capture.hpp"
#include "kinematics/chain.hpp"
#include "kinematics/pyconv.hpp"
#include "kinematics/register.hpp"

#include <string>
#include <vector>

namespace kinematics {

namespace nb = nanobind;
using cellpath::py::Array;
using namespace kinematics::py;

namespace {

nb::module_ adsk() { return nb::module_::import_("adsk"); }
nb::module_ adsk_core() { return nb::module_::import_("adsk.core"); }
nb::module_ adsk_fusion() { return nb::module_::import_("adsk.fusion"); }

nb::object matrix3d_from(nb::handle mod, nb::handle T) {
  nb::object m = adsk_core().attr("Matrix3D").attr("create")();
  Array<double> a = f64(T);
  nb::list values;
  for (std::size_t k = 0; k < a.size; ++k) values.append(nb::float_(a.data[k]));
  if (!truthy(m.attr("setWithArray")(values)))
    host::log(mod, "setWithArray rejected the matrix (likely not orthonormal)");
  return m;
}

nb::object move_component(nb::handle mod, nb::handle name, nb::handle T_global) {
  nb::object design = host::app(mod).attr("activeProduct");
  nb::object root = design.attr("rootComponent");
  nb::object occurrences = root.attr("occurrences");
  nb::object occ = occurrences.attr("itemByName")(name);
  if (occ.is_none()) {
    // Occurrence names carry an instance suffix ("Link1:1"); fall back to the
    // component name among the root's direct occurrences.
    for (nb::handle o : occurrences) {
      if (o.attr("component").attr("name").equal(name)) {
        occ = nb::borrow(o);
        break;
      }
    }
  }
  if (occ.is_none()) {
    host::log(mod, format1("could not find occurrence {}", name));
    return nb::none();
  }
  occ.attr("transform2") = matrix3d_from(mod, T_global);
  if (design.attr("designType")
          .equal(adsk_fusion().attr("DesignTypes").attr("ParametricDesignType"))) {
    nb::object snapshots = design.attr("snapshots");
    if (truthy(snapshots.attr("hasPendingSnapshot"))) snapshots.attr("add")();
  }
  return occ;
}

void clear_tracers(nb::handle mod) {
  nb::object design = host::app(mod).attr("activeProduct");
  if (!truthy(design)) return;
  nb::list comps;
  for (nb::handle c : design.attr("allComponents")) comps.append(c);
  comps.append(design.attr("rootComponent"));
  for (nb::handle comp : comps) {
    nb::object groups = comp.attr("customGraphicsGroups");
    const long long count = to_index(groups.attr("count"));
    std::vector<nb::object> collected;
    for (long long i = 0; i < count; ++i) collected.push_back(groups.attr("item")(i));
    for (nb::object& g : collected) {
      try {
        g.attr("deleteMe")();
      } catch (nb::python_error& e) {
        // One stale group must not keep the others on screen.
        if (!e.matches(PyExc_Exception)) throw;
      }
    }
  }
  host::app(mod).attr("activeViewport").attr("refresh")();
}

nb::object find_joint(nb::handle root, nb::handle name) {
  return root.attr("joints").attr("itemByName")(name);
}

void set_joint(nb::handle joint, double value) {
  joint.attr("jointMotion").attr("rotationValue") = nb::float_(value);
}

// The arm as the design shows it at the zero configuration.
struct Arm {
  Mat4 base;                  // base component's world transform
  Mat4 M;                     // end effector seen from the base
  std::vector<double> slist;  // 6 x cols screws in the base frame, row-major
  std::size_t cols = 0;

  ScrewList screws() const { return ScrewList{slist.data(), 6, cols}; }
};

Mat4 found_transform(nb::handle T, const char* role) {
  if (T.is_none())
    throw nb::value_error((std::string(role) + " component was not found in the design").c_str());
  return mat4_arg(T, role);
}

// With the joints at zero: the end effector's world pose, each named joint's
// world screw (missing joints are logged and left out), the screws carried
// into the base frame, and M.
Arm assemble_arm(nb::handle mod, nb::handle root, nb::handle base_T, nb::handle ee_name,
                 nb::handle names) {
  nb::object ee_T = component_global_transform(mod, ee_name);
  std::vector<Vec6> world;
  std::vector<std::string> joint_names;
  for (nb::handle name : names) {
    nb::object joint = find_joint(root, name);
    if (joint.is_none()) {
      host::log(mod, format1("could not find joint {}", name));
      continue;
    }
    nb::tuple ts = joint_frame_and_screw(joint, nb::str("one"));
    Array<double> S = f64(ts[1]);
    if (S.size != 6)
      throw nb::value_error(
          format1("joint {} is neither revolute nor slider and has no screw axis", name).c_str());
    world.push_back({S[0], S[1], S[2], S[3], S[4], S[5]});
  }
  Arm arm;
  arm.base = found_transform(base_T, "BaseFrameName");
  // World screws into the base frame, as the capture stores them.
  const Mat6 Ad = adT(inv_SE3(arm.base));
  arm.cols = world.size();
  arm.slist.assign(6 * arm.cols, 0.0);
  for (std::size_t j = 0; j < arm.cols; ++j) {
    const Vec6 s = cellpath::capture::carry_screw(Ad, world[j]);
    for (std::size_t r = 0; r < 6; ++r) arm.slist[r * arm.cols + j] = s[r];
  }
  arm.M = cellpath::mul4(inv_SE3(arm.base), found_transform(ee_T, "EndEffectorFrameName"));
  return arm;
}

Mat4 fk_checked(const Arm& arm, const double* theta, std::size_t n) {
  if (arm.cols < n)
    throw nb::index_error(("the arm has " + std::to_string(arm.cols) + " screw axes for " +
                           std::to_string(n) + " joint values")
                              .c_str());
  return forward_kinematics(arm.screws(), theta, n, arm.M);
}

std::vector<double> to_vector(nb::handle x, const char* what) {
  Array<double> a = joints_arg(x, what);
  return std::vector<double>(a.data, a.data + a.size);
}

// The straight joint-space path of an animation: ANIM_STEPS + 1 configurations
// from theta0 to theta1 (a one-entry vector stands for every joint) and the end
// effector's world position at each.
struct JointPath {
  std::size_t frames = 0, n = 0;
  std::vector<std::vector<double>> confs;
  std::vector<double> points;  // frames x 3, world frame

  nb::list as_list() const {
    nb::list path;
    for (const auto& c : confs) {
      nb::list row;
      for (double v : c) row.append(nb::float_(v));
      path.append(row);
    }
    return path;
  }
};

// Step 1: configurations s / steps of the way from theta0 to theta1, and where
// the end effector is at each.
JointPath interpolate_path(const Arm& arm, const std::vector<double>& theta0,
                           const std::vector<double>& theta1, long long steps) {
  JointPath p;
  p.n = theta0.size();
  if (theta1.size() != p.n) {
    if (p.n == 1)
      p.n = theta1.size();
    else if (theta1.size() != 1)
      throw nb::value_error(("cannot move " + std::to_string(theta0.size()) + " joint values to " +
                             std::to_string(theta1.size()))
                                .c_str());
  }
  auto at = [](const std::vector<double>& v, std::size_t j) { return v.size() == 1 ? v[0] : v[j]; };
  p.frames = steps >= 0 ? static_cast<std::size_t>(steps) + 1 : 0;
  if (p.frames > 0 && steps == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
    throw nb::python_error();
  }
  p.confs.assign(p.frames, std::vector<double>(p.n));
  p.points.resize(3 * p.frames);
  for (std::size_t s = 0; s < p.frames; ++s) {
    const double frac = static_cast<double>(s) / static_cast<double>(steps);
    for (std::size_t j = 0; j < p.n; ++j)
      p.confs[s][j] = at(theta0, j) + frac * (at(theta1, j) - at(theta0, j));
    const Mat4 T = cellpath::mul4(arm.base, fk_checked(arm, p.confs[s].data(), p.n));
    p.points[3 * s] = T[3];
    p.points[3 * s + 1] = T[7];
    p.points[3 * s + 2] = T[11];
  }
  return p;
}

// Step 2: every trace group of the root component goes, whether or not this
// run draws a new one.
void delete_root_traces(nb::handle groups) {
  std::vector<nb::object> old;
  const long long count = to_index(groups.attr("count"));
  for (long long i = 0; i < count; ++i) old.push_back(groups.attr("item")(i));
  for (nb::object& g : old) g.attr("deleteMe")();
}

// Where the end-effector trace is drawn: a new graphics group with the
// module's TRACE_COLOR and TRACE_WEIGHT, or nothing when no trace is wanted.
struct TracePen {
  bool on = false;
  nb::object group = nb::none(), color = nb::none(), weight = nb::none();
  nb::object coords_create = nb::none();  // adsk.fusion.CustomGraphicsCoordinates.create
  nb::object prev = nb::none();           // the last point drawn to

  // A line from the previous point to p (nothing before the first point).
  void line_to(nb::handle p) {
    if (!on) return;
    if (!prev.is_none()) {
      nb::list xyz;
      for (nb::handle q : {nb::handle(prev), p}) {
        xyz.append(q.attr("x"));
        xyz.append(q.attr("y"));
        xyz.append(q.attr("z"));
      }
      nb::object seg = group.attr("addLines")(coords_create(xyz), nb::list(), false);
      seg.attr("color") = color;
      seg.attr("weight") = weight;
    }
    prev = nb::borrow(p);
  }
};

// Step 3: the pen for this run's trace.
TracePen open_trace(nb::handle mod, nb::handle groups, bool draw_trace) {
  TracePen pen;
  pen.weight = constant(mod, "TRACE_WEIGHT");
  if (!draw_trace) return pen;
  pen.on = true;
  pen.group = groups.attr("add")();
  nb::object rgba = nb::tuple(constant(mod, "TRACE_COLOR"));
  nb::object c =
      nb::steal(PyObject_CallObject(adsk_core().attr("Color").attr("create").ptr(), rgba.ptr()));
  if (!c.is_valid()) throw nb::python_error();
  pen.color = adsk_fusion().attr("CustomGraphicsSolidColorEffect").attr("create")(c);
  return pen;
}

// Step 4: drive the named joints through every configuration, extending the
// trace, letting the host redraw and waiting ANIM_FRAME_DELAY per frame.
void play_path(nb::handle mod, nb::handle root, nb::handle names, const JointPath& p,
               TracePen& pen) {
  nb::object delay = constant(mod, "ANIM_FRAME_DELAY");
  nb::object sleep = nb::module_::import_("time").attr("sleep");
  nb::object do_events = adsk().attr("doEvents");
  nb::object point3d = adsk_core().attr("Point3D").attr("create");
  pen.coords_create = adsk_fusion().attr("CustomGraphicsCoordinates").attr("create");
  std::vector<nb::object> joints;
  for (nb::handle name : names) joints.push_back(nb::borrow(name));
  for (std::size_t s = 0; s < p.frames; ++s) {
    for (std::size_t j = 0; j < joints.size(); ++j) {
      nb::object joint = find_joint(root, joints[j]);
      if (joint.is_none()) continue;
      if (j >= p.n) throw nb::index_error("list index out of range");
      set_joint(joint, p.confs[s][j]);
    }
    if (pen.on) pen.line_to(point3d(p.points[3 * s], p.points[3 * s + 1], p.points[3 * s + 2]));
    do_events();
    host::app(mod).attr("activeViewport").attr("refresh")();
    sleep(delay);
  }
}

// The interpolated path from theta0 to theta1: returned as (names, path,
// points) when not animated, else played in the design with its trace.
nb::object animate_path(nb::handle mod, nb::handle root, nb::handle names, const Arm& arm,
                        const std::vector<double>& theta0, const std::vector<double>& theta1,
                        bool animate, bool draw_trace) {
  const JointPath path =
      interpolate_path(arm, theta0, theta1, to_index(constant(mod, "ANIM_STEPS")));
  if (!animate)
    return nb::make_tuple(names, path.as_list(), array_from(path.points.data(), {path.frames, 3}));
  nb::object groups = root.attr("customGraphicsGroups");
  delete_root_traces(groups);
  TracePen pen = open_trace(mod, groups, draw_trace);
  play_path(mod, root, names, path, pen);
  return nb::none();
}

std::vector<double> current_angles(nb::handle root, nb::handle names) {
  std::vector<double> out;
  for (nb::handle name : names)
    out.push_back(to_double(find_joint(root, name).attr("jointMotion").attr("rotationValue")));
  return out;
}

nb::object do_forward_kinematics(nb::handle mod, nb::handle base_name, nb::handle ee_name,
                                 nb::handle thetas, nb::handle names, nb::handle animate_in,
                                 nb::handle draw_trace_in) {
  const bool animate = truthy(animate_in), draw_trace = truthy(draw_trace_in);
  nb::object root = host::app(mod).attr("activeProduct").attr("rootComponent");
  nb::object base_T = component_global_transform(mod, base_name);
  clear_tracers(mod);
  const std::vector<double> theta0 = current_angles(root, names);
  for (nb::handle name : names) {
    nb::object joint = find_joint(root, name);
    if (!joint.is_none()) set_joint(joint, 0.0);
  }
  const Arm arm = assemble_arm(mod, root, base_T, ee_name, names);
  const std::vector<double> theta1 = to_vector(thetas, "thetaLists");
  return animate_path(mod, root, names, arm, theta0, theta1, animate, draw_trace);
}

void end_effector_placement(nb::handle mod, nb::handle base_name, nb::handle ee_name,
                            nb::handle thetas, nb::handle names, nb::handle target_name) {
  nb::object root = host::app(mod).attr("activeProduct").attr("rootComponent");
  nb::object base_T = component_global_transform(mod, base_name);
  for (nb::handle name : names) {
    nb::object joint = find_joint(root, name);
    if (joint.is_none()) {
      host::log(mod, format1("could not find joint {} while zeroing", name));
      continue;
    }
    set_joint(joint, 0.0);
  }
  const Arm arm = assemble_arm(mod, root, base_T, ee_name, names);
  const std::vector<double> theta = to_vector(thetas, "thetaLists");
  const Mat4 global_end = cellpath::mul4(arm.base, fk_checked(arm, theta.data(), theta.size()));
  move_component(mod, target_name, to_numpy(global_end));
  host::log(mod, "success");
}

nb::object animate_ik(nb::handle mod, nb::handle base_name, nb::handle ee_name,
                      nb::handle target_name, nb::handle names, nb::handle animate_in,
                      nb::handle draw_trace_in) {
  const bool animate = truthy(animate_in), draw_trace = truthy(draw_trace_in);
  nb::object root = host::app(mod).attr("activeProduct").attr("rootComponent");
  clear_tracers(mod);
  nb::object base_T = component_global_transform(mod, base_name);
  nb::object target_T = component_global_transform(mod, target_name);

  // Every joint must exist before any is touched.
  std::vector<nb::object> joints;
  std::vector<double> guess;
  for (nb::handle name : names) {
    nb::object joint = find_joint(root, name);
    if (joint.is_none()) {
      nb::object msg =
          py_add(py_add(nb::str("Joint '"), name), nb::str("' not found in root component"));
      PyErr_SetObject(PyExc_ValueError, msg.ptr());
      throw nb::python_error();
    }
    guess.push_back(to_double(joint.attr("jointMotion").attr("rotationValue")));
    joints.push_back(joint);
  }
  for (nb::object& joint : joints) set_joint(joint, 0.0);
  const Arm arm = assemble_arm(mod, root, base_T, ee_name, names);

  nb::module_ np = numpy();
  nb::object guess_arr = array_from(guess.data(), {guess.size()});
  host::log(mod, py_add(nb::str("Initial guess: "),
                        np.attr("array2string")(guess_arr, nb::arg("precision") = 4,
                                                nb::arg("suppress_small") = true)));

  const Mat4 T_s_d =
      cellpath::mul4(inv_SE3(arm.base), found_transform(target_T, "TargetFrameName"));
  const std::size_t n = guess.size();
  if (arm.cols != n)
    throw nb::value_error(("the arm has " + std::to_string(arm.cols) + " screw axes for " +
                           std::to_string(n) + " joints")
                              .c_str());
  const long long max_iter = to_index(constant(mod, "IK_MAX_ITERS"));
  IkHistory h;
  const IkOutcome r = inverse_kinematics(arm.screws(), arm.M, T_s_d, guess.data(), n, kDefaultEomg,
                                         kDefaultEv, max_iter, h);
  if (r != IkOutcome::Converged)
    host::log(mod, "IK did not converge in " + std::to_string(max_iter) + " iterations");
  std::vector<double> final_theta(h.row(h.rows - 1), h.row(h.rows - 1) + n);

  nb::object deg = np.attr("rad2deg")(array_from(final_theta.data(), {n}));
  host::log(
      mod,
      py_add(
          nb::str(
              (std::string(host::kIkAnswerLogPrefix) + "IK solved: final theta (deg) = ").c_str()),
          np.attr("array2string")(deg, nb::arg("precision") = 4, nb::arg("separator") = ", ")));
  return animate_path(mod, root, names, arm, guess, final_theta, animate, draw_trace);
}

}  // namespace

void register_motion(nb::module_& m) {
  m.attr("ANIM_STEPS") = 100;
  m.attr("ANIM_FRAME_DELAY") = 0.02;
  m.attr("TRACE_COLOR") = nb::make_tuple(60, 60, 60, 60);
  m.attr("TRACE_WEIGHT") = 2;

  host::def_on(m, "npToMatrix3D", &matrix3d_from, nb::arg("T").none(),
               "A host Matrix3D set from the 16 row-major entries of T; logs when the host rejects "
               "them (a rotation block that is not orthonormal) and returns the matrix anyway.");
  host::def_on(
      m, "MoveComponentToGlobalTransform", &move_component, nb::arg("componentName").none(),
      nb::arg("T_global").none(),
      "Places the root occurrence named componentName (or, failing that, the first root "
      "occurrence of a component of that name) at the world transform T_global and returns "
      "it; a parametric design with a pending snapshot gets it taken. Logs and returns None "
      "when there is no such occurrence.");
  host::def_on(m, "clear_all_tracers", &clear_tracers,
               "Deletes every custom graphics group of every component of the active design, then "
               "refreshes the viewport.");
  host::def_on(
      m, "DoForwardKinematics", &do_forward_kinematics, nb::arg("BaseFrameName").none(),
      nb::arg("EndEffectorFrameName").none(), nb::arg("thetaLists").none(),
      nb::arg("JointNames").none(), nb::arg("animate").none() = true,
      nb::arg("drawTrace").none() = true,
      "Moves the named joints from their current values to thetaLists in ANIM_STEPS steps, "
      "drawing the end-effector path when drawTrace is set. With animate false the design "
      "is left at the zero configuration and (JointNames, path, trace points) is returned.");
  host::def_on(m, "EndEffTransformProvidedJointAngles", &end_effector_placement,
               nb::arg("BaseFrameName").none(), nb::arg("EndEffectorFrameName").none(),
               nb::arg("thetaLists").none(), nb::arg("JointNames").none(),
               nb::arg("FrameNameIWantToMove").none(),
               "Zeroes the joints and places the component FrameNameIWantToMove where the end "
               "effector would be for the joint values thetaLists.");
  host::def_on(
      m, "AnimateIterativeIKSolverWithTracer", &animate_ik, nb::arg("BaseFrameName").none(),
      nb::arg("EndEffectorFrameName").none(), nb::arg("TargetFrameName").none(),
      nb::arg("JointNames").none(), nb::arg("animate").none() = true,
      nb::arg("drawTrace").none() = true,
      "Solves IK from the current joint values to the pose of the component TargetFrameName "
      "and animates the arm there, drawing the end-effector path when drawTrace is set. With "
      "animate false the design is left at the zero configuration and (JointNames, path, "
      "trace points) is returned.");
}

}  // namespace kinematics
