// The Python side of Pelmora's answers: object names and pairs read back from
// Python, and the CollisionResult record a query returns (its text, equality
// and the pairs it reports).
#pragma once

#include "Pelmora/pelmora.hpp"
#include "common/pybridge.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <set>
#include <string>

namespace pelmora_py {

namespace nb = nanobind;
namespace py = cellpath::py;
using cellpath::Mat4;
using cellpath::py::Array;
using pelmora::ObjectName;
using pelmora::Pair;

// The result record's type, made once at import and held by the module.
inline nb::handle g_result_type;

using cellpath::py::builtin;

// ("link" | "env", name) -> ObjectName
inline ObjectName object_name(nb::handle h) {
  if (!nb::isinstance<nb::tuple>(h) || nb::len(h) != 2)
    throw nb::type_error(
        ("collision object names are (kind, name) tuples, got " + cellpath::py::repr_of(h))
            .c_str());
  return {py::str_arg(h[0], "object kind"), py::str_arg(h[1], "object name")};
}

inline Pair pair_of(nb::handle h) {
  if (nb::len(h) != 2)
    throw nb::type_error(
        ("a collision pair holds two object names, got " + cellpath::py::repr_of(h)).c_str());
  return pelmora::ordered_pair(object_name(h[0]), object_name(h[1]));
}

// A pair in result form, ((kind, name), (kind, name)), and a set of them.
inline nb::tuple pair_object(const Pair& p) {
  return nb::make_tuple(nb::make_tuple(p.first.kind, p.first.name),
                        nb::make_tuple(p.second.kind, p.second.name));
}

inline nb::set pair_set(const std::set<Pair>& pairs) {
  nb::set out;
  for (const Pair& p : pairs) out.add(pair_object(p));
  return out;
}

// ---------------------------------------------------------------- CollisionResult

inline nb::set pairs_where(nb::handle self, bool (*keep)(const Pair&)) {
  nb::set out;
  for (nb::handle p : self.attr("pairs"))
    if (keep(pair_of(p))) out.add(p);
  return out;
}

inline nb::set result_link_pairs(nb::handle self) {
  return pairs_where(self, pelmora::is_link_pair);
}
inline nb::set result_env_pairs(nb::handle self) { return pairs_where(self, pelmora::is_env_pair); }
inline bool result_in_collision(nb::handle self) { return py::truthy(self.attr("pairs")); }

// The joint vector as a plain list of numbers, "[a, b, ...]", each element in
// numpy's scalar text form ("0.0", "1.5"), so the line reads the same under
// every numpy version.
inline std::string theta_list_text(nb::handle theta) {
  std::string s = "[";
  bool first = true;
  for (nb::handle x : builtin("list")(theta)) {
    if (!first) s += ", ";
    first = false;
    s += cellpath::py::str_of(x);
  }
  return s + "]";
}

inline std::string result_str(nb::handle self) {
  std::vector<Pair> pairs;
  for (nb::handle p : self.attr("pairs")) pairs.push_back(pair_of(p));
  return pelmora::result_text(theta_list_text(self.attr("theta")), std::move(pairs));
}

// Two joint vectors are equal when they have the same shape and the same values.
inline bool theta_equal(nb::handle a, nb::handle b) {
  Array<double> x, y;
  try {
    x = py::as_f64(a);
    y = py::as_f64(b);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    return nb::cast<bool>(py::numpy().attr("array_equal")(a, b));
  }
  if (x.shape != y.shape) return false;
  for (std::size_t i = 0; i < x.size; ++i)
    if (!(x[i] == y[i])) return false;
  return true;
}

// The generated dataclass comparison would compare the two theta arrays with
// `==` inside a tuple comparison, which raises for any joint vector longer than
// one; compare them by value instead, and the pair sets as sets.
inline nb::object result_eq(nb::handle self, nb::handle other) {
  if (!other.type().is(self.type())) return nb::borrow(Py_NotImplemented);
  if (!theta_equal(self.attr("theta"), other.attr("theta"))) return nb::bool_(false);
  return nb::bool_(self.attr("pairs").equal(other.attr("pairs")));
}

inline nb::object make_result(nb::object theta, const std::set<Pair>& pairs) {
  return g_result_type(nb::arg("theta") = std::move(theta), nb::arg("pairs") = pair_set(pairs));
}

inline nb::object make_result_type() {
  nb::module_ dc = nb::module_::import_("dataclasses");
  nb::object property = builtin("property");
  nb::object ndarray = py::numpy().attr("ndarray");
  nb::object set_type = builtin("set");

  nb::list fields;
  fields.append(nb::make_tuple("theta", ndarray));
  fields.append(
      nb::make_tuple("pairs", set_type, dc.attr("field")(nb::arg("default_factory") = set_type)));

  nb::dict ns;
  ns["__module__"] = "Pelmora";
  ns["__doc__"] =
      "The colliding pairs found for one joint vector.\n\n"
      "theta is the joint vector queried; pairs holds every pair of touching objects that the "
      "query kept, each pair two (kind, name) object names in ascending order.";
  ns["link_pairs"] =
      property(nb::cpp_function(&result_link_pairs, nb::is_method(), nb::name("link_pairs"),
                                "The pairs of two links (self-collision)."));
  ns["env_pairs"] =
      property(nb::cpp_function(&result_env_pairs, nb::is_method(), nb::name("env_pairs"),
                                "The pairs of a link and an environment object."));
  ns["in_collision"] =
      property(nb::cpp_function(&result_in_collision, nb::is_method(), nb::name("in_collision"),
                                "True when any pair was found."));
  ns["__str__"] = nb::cpp_function(&result_str, nb::is_method(), nb::name("__str__"),
                                   "The joint vector and one line per colliding pair.");
  ns["__eq__"] = nb::cpp_function(&result_eq, nb::is_method(), nb::name("__eq__"), nb::arg("other"),
                                  "Equal when theta has the same values and pairs the same pairs.");

  nb::object cls = dc.attr("make_dataclass")("CollisionResult", fields, nb::arg("namespace") = ns);
  // make_dataclass names the module of whatever Python frame is running (the
  // importer, here), so put the record where it belongs.
  cls.attr("__module__") = "Pelmora";
  cls.attr("__qualname__") = "CollisionResult";
  return cls;
}

}  // namespace pelmora_py
