// A Denavit-Hartenberg-style table read off a chain of world frames, and its
// fixed-width printout for the host's console.
#include "kinematics/algebra.hpp"
#include "kinematics/pyconv.hpp"
#include "kinematics/register.hpp"

#include <cmath>
#include <string>

namespace kinematics {

namespace nb = nanobind;
using namespace kinematics::py;

namespace {

// [a, alpha, d, theta] of frame i seen from frame i-1, read straight off the
// relative transform (no check that it has DH form).
nb::list dh_parameters(nb::handle frames) {
  const std::size_t count = nb::len(frames);
  nb::list out;
  for (std::size_t i = 1; i < count; ++i) {
    const Mat4 prev = rigid_arg(frames[nb::int_(i - 1)], "TGlobalList[i-1]");
    const Mat4 curr = mat4_arg(frames[nb::int_(i)], "TGlobalList[i]");
    const Mat4 T = cellpath::mul4(inv_SE3(prev), curr);
    const double theta = std::atan2(T[4], T[0]);
    const double alpha = std::atan2(T[9], T[10]);
    const double d = T[11];
    const double a = std::sqrt(T[3] * T[3] + T[7] * T[7]);
    nb::list row;
    row.append(nb::float_(a));
    row.append(nb::float_(alpha));
    row.append(nb::float_(d));
    row.append(nb::float_(theta));
    out.append(row);
  }
  return out;
}

// a, b, c, d = row, with Python's unpacking errors.
void unpack4(nb::handle row, nb::object (&out)[4]) {
  nb::object it = nb::steal(PyObject_GetIter(row.ptr()));
  if (!it.is_valid()) throw nb::python_error();
  for (int k = 0; k < 5; ++k) {
    PyObject* item = PyIter_Next(it.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw nb::python_error();
      if (k < 4)
        throw nb::value_error(
            ("not enough values to unpack (expected 4, got " + std::to_string(k) + ")").c_str());
      return;
    }
    if (k == 4) {
      Py_DECREF(item);
      throw nb::value_error("too many values to unpack (expected 4)");
    }
    out[k] = nb::steal(item);
  }
}

void print_dh_table(nb::handle table, bool in_degrees) {
  nb::module_ builtins = nb::module_::import_("builtins");
  nb::object format = builtins.attr("format");
  nb::object print = builtins.attr("print");
  nb::object degrees = numpy().attr("degrees");
  const char* unit = in_degrees ? "deg" : "rad";

  nb::str header = nb::str("{}{}{}{}{}")
                       .format(format("i", "<4"), format("a", ">10"),
                               format(nb::str((std::string("α (") + unit + ")").c_str()), ">14"),
                               format("d", ">10"),
                               format(nb::str((std::string("θ (") + unit + ")").c_str()), ">14"));
  print(header);
  print(nb::str("-").attr("__mul__")(nb::len(header)));

  long long i = 0;
  for (nb::handle row : table) {
    ++i;
    nb::object v[4];
    unpack4(row, v);
    nb::object alpha = v[1], theta = v[3];
    if (in_degrees) {
      alpha = degrees(alpha);
      theta = degrees(theta);
    }
    print(nb::str("{}{}{}{}{}")
              .format(format(i, "<4"), format(v[0], ">10.4f"), format(alpha, ">14.4f"),
                      format(v[2], ">10.4f"), format(theta, ">14.4f")));
  }
}

}  // namespace

void register_dh(nb::module_& m) {
  m.def(
      "GetDHParameters",
      [](nb::handle TGlobalList, nb::handle /*RotationAxis*/) {
        return dh_parameters(TGlobalList);
      },
      nb::arg("TGlobalList").none(), nb::arg("RotationAxis").none(),
      "One row [a, alpha, d, theta] per consecutive pair of world frames, read off frame i "
      "seen from frame i-1: theta and alpha from the rotation, d = z offset, a = xy distance. "
      "RotationAxis is accepted and not used.");
  m.def(
      "PrintDHTable",
      [](nb::handle DH_list, nb::handle in_degrees) {
        print_dh_table(DH_list, truthy(in_degrees));
      },
      nb::arg("DH_list").none(), nb::arg("in_degrees").none() = true,
      "Prints the table as fixed-width columns i, a, alpha, d, theta (angles in degrees "
      "unless in_degrees is false) under a header and a dash line.");
}

}  // namespace kinematics
