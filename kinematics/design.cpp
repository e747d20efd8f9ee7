// Reading the arm out of the open design: joint frames and world screws,
// component world transforms, and relative transforms between frames.
// Lengths stay in the design's unit (centimetres); nothing here converts them.
#include "common/capture.hpp"
#include "kinematics/algebra.hpp"
#include "kinematics/defs.hpp"
#include "kinematics/pyconv.hpp"
#include "kinematics/register.hpp"

namespace kinematics {

namespace nb = nanobind;
using cellpath::py::Array;
using namespace kinematics::py;

namespace {

Vec3 read_vec3(nb::handle pt) {
  return {to_double(pt.attr("x")), to_double(pt.attr("y")), to_double(pt.attr("z"))};
}

// v / |v|; a zero vector gives NaNs, as the division would in numpy.
Vec3 unit(const Vec3& v) {
  const double n = norm3(v);
  return {v[0] / n, v[1] / n, v[2] / n};
}

Mat4 relative_matrix(const Mat4& A, const Mat4& B) { return cellpath::mul4(inv_homogeneous(A), B); }

}  // namespace

nb::tuple joint_frame_and_screw(nb::handle jnt, nb::handle side) {
  nb::object g = side.equal(nb::str("one")) ? jnt.attr("geometryOrOriginOne")
                                            : jnt.attr("geometryOrOriginTwo");
  const Vec3 o = read_vec3(g.attr("origin"));
  const Vec3 x = unit(read_vec3(g.attr("primaryAxisVector")));
  const Vec3 y = unit(read_vec3(g.attr("secondaryAxisVector")));
  const Vec3 z = unit(read_vec3(g.attr("thirdAxisVector")));
  // Columns: the geometry's axes as given (not re-orthogonalised), origin last.
  const Mat4 T{x[0], y[0], z[0], o[0], x[1], y[1], z[1], o[1],
               x[2], y[2], z[2], o[2], 0.0,  0.0,  0.0,  1.0};

  nb::object motion = jnt.attr("jointMotion");
  nb::object tp = motion.attr("jointType");
  nb::object types = nb::module_::import_("adsk.fusion").attr("JointTypes");
  nb::object S;
  if (tp.equal(types.attr("RevoluteJointType"))) {
    // The axis direction comes from the joint motion; the point on it is the
    // geometry origin of the chosen side.  v = o x w = -w x o.
    const Vec3 w = unit(read_vec3(motion.attr("rotationAxisVector")));
    const Vec3 v = cross3(o, w);
    S = to_numpy(Vec6{w[0], w[1], w[2], v[0], v[1], v[2]});
  } else if (tp.equal(types.attr("SliderJointType"))) {
    const Vec3 v = unit(read_vec3(motion.attr("slideDirectionVector")));
    S = to_numpy(Vec6{0.0, 0.0, 0.0, v[0], v[1], v[2]});
  } else {
    // Other joint types have no single screw axis.
    S = array_from(nullptr, {0});
  }
  return nb::make_tuple(to_numpy(T), S);
}

nb::object component_global_transform(nb::handle m, nb::handle name) {
  nb::object root = host::app(m).attr("activeProduct").attr("rootComponent");
  for (nb::handle occ : root.attr("allOccurrences")) {
    if (!occ.attr("component").attr("name").equal(name)) continue;
    Array<double> a = f64(occ.attr("transform2").attr("asArray")());
    if (a.size != 16)
      throw nb::value_error(
          ("transform2.asArray() gave " + std::to_string(a.size) + " numbers, expected 16")
              .c_str());
    return array_from(a.data, {4, 4});
  }
  host::ui(m).attr("messageBox")(format1("could not find component name {}", name));
  return nb::none();
}

void def_vec3(nb::module_& m) {
  m.def(
      "vec3", [](nb::handle pt) { return to_numpy(read_vec3(pt)); }, nb::arg("pt").none(),
      "The array [pt.x, pt.y, pt.z] of a host point or vector.");
}

void def_getTandSFromJoint(nb::module_& m) {
  m.def("getTandSFromJoint", &joint_frame_and_screw, nb::arg("jnt").none(),
        nb::arg("side").none() = "one",
        "(T, S) of a host joint: T is the 4x4 world frame of its geometry on side 'one' (any "
        "other text: the second geometry), axes normalised, origin in column 3; S is the "
        "world screw (omega, v): revolute (axis, o x axis), slider (0, direction), and an "
        "empty array for any other joint type.");
}

void def_GetComponentGlobalTransformationmatrix(nb::module_& m) {
  host::def_on(
      m, "GetComponentGlobalTransformationmatrix", &component_global_transform,
      nb::arg("CompnentName").none(),
      "World transform (4x4, design units) of the first occurrence whose component has this "
      "name; shows 'could not find component name <name>' and returns None when none has.");
}

void register_design(nb::module_& m) {
  m.attr("CM_TO_M") = cellpath::capture::kMetresPerCentimetre;

  def_vec3(m);
  def_getTandSFromJoint(m);
  def_GetComponentGlobalTransformationmatrix(m);
  m.def(
      "RelativeMatrix",
      [](nb::handle MatA, nb::handle MatB) {
        return to_numpy(relative_matrix(rigid_arg(MatA, "MatA"), mat4_arg(MatB, "MatB")));
      },
      nb::arg("MatA").none(), nb::arg("MatB").none(),
      "inv_homogeneous(MatA) @ MatB: MatB seen from MatA.");
  m.def(
      "TRelativeWhenTwoAreGround",
      [](nb::handle frame1, nb::handle frame0) {
        return to_numpy(
            cellpath::mul4(inv_SE3(rigid_arg(frame0, "frame0")), mat4_arg(frame1, "frame1")));
      },
      nb::arg("frame1").none(), nb::arg("frame0").none(),
      "inv_SE3(frame0) @ frame1: the pose of frame1 seen from frame0.");
  m.def(
      "GetTransformationmatrixRelativeM",
      [](nb::handle GlobalBaseFrame, nb::handle GlobalNthFrame) {
        return to_numpy(relative_matrix(rigid_arg(GlobalBaseFrame, "GlobalBaseFrame"),
                                        mat4_arg(GlobalNthFrame, "GlobalNthFrame")));
      },
      nb::arg("GlobalBaseFrame").none(), nb::arg("GlobalNthFrame").none(),
      "RelativeMatrix(GlobalBaseFrame, GlobalNthFrame).");
  m.def(
      "GetZeroConfigurationMatrix",
      [](nb::handle WorldTransformationMatrices) {
        nb::object first = WorldTransformationMatrices[nb::int_(0)];
        nb::object last = WorldTransformationMatrices[nb::int_(-1)];
        return to_numpy(relative_matrix(rigid_arg(first, "WorldTransformationMatrices[0]"),
                                        mat4_arg(last, "WorldTransformationMatrices[-1]")));
      },
      nb::arg("WorldTransformationMatrices").none(),
      "The last frame seen from the first: the home transform M when the frames are taken at "
      "the zero configuration.");
  m.def(
      "GetScrewAxes",
      [](nb::handle JointM, nb::handle RotAxis) {
        const Mat4 T = rigid_arg(JointM, "JointM");
        const Vec3 w = cellpath::mul3v(cellpath::rotation(T), vec3_arg(RotAxis, "RotAxis"));
        const Vec3 q = cellpath::translation(T);
        const Vec3 v = cross3({-w[0], -w[1], -w[2]}, q);
        return to_numpy(Vec6{w[0], w[1], w[2], v[0], v[1], v[2]});
      },
      nb::arg("JointM").none(), nb::arg("RotAxis").none(),
      "World screw (w, -w x q) of an axis RotAxis given in the joint frame JointM, with w = "
      "R @ RotAxis (not normalised) and q the frame origin.");
}

}  // namespace kinematics
