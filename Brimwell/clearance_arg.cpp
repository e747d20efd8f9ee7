// The clearance a planning context is given: one number of metres for every
// obstacle, or a dict of them per body of the cache (a UR5 on its pedestal
// can never keep a centimetre from the pedestal, yet should from the rest).
#include "Brimwell/py_bridge.hpp"

#include "common/text.hpp"

#include <nanobind/stl/string.h>

namespace brimwell_py {

namespace {

// One body's metres: finite, not negative, a number (not a bool).
double body_metres(nb::handle key, nb::handle x) {
  const double v = clearance_metres(x);
  if (std::isnan(v))
    throw nb::value_error(("clearance[" + repr_of(key) +
                           "] must be a finite number of metres, not negative, got " + repr_of(x))
                              .c_str());
  return v;
}

bool is_mapping(nb::handle x) {
  if (PyDict_Check(x.ptr())) return true;
  nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
  const int r = PyObject_IsInstance(x.ptr(), mapping.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& s : names) out += (out.empty() ? "" : ", ") + s;
  return out;
}

}  // namespace

namespace {

// A dict's names against the cache's bodies (meta.json's "env", the order the
// handler loads them in): each name one of them, and every body named or
// given the default.
void check_names(ClearanceArg& a, nb::handle cache_dir) {
  const cellpath::capture::Capture capture =
      cellpath::py::read_capture(cellpath::py::as_path(cache_dir));
  for (const auto& body : capture.env) a.names.push_back(body.name);
  std::vector<char> named(a.names.size(), 0);
  for (const auto& [name, metres] : a.bodies) {
    bool found = false;
    for (std::size_t b = 0; b < a.names.size(); ++b)
      if (a.names[b] == name) named[b] = 1, found = true;
    if (!found)
      throw nb::value_error(
          ("clearance: the cache has no environment body named '" + name + "' (" +
           (a.names.empty() ? std::string("it lists none") : "its bodies: " + joined(a.names)) +
           ")")
              .c_str());
  }
  if (a.has_default) return;
  std::vector<std::string> rest;
  for (std::size_t b = 0; b < a.names.size(); ++b)
    if (!named[b]) rest.push_back(a.names[b]);
  if (!rest.empty())
    throw nb::value_error(("clearance: the dict has no \"default\" for the bodies it does not "
                           "name (" +
                           joined(rest) + "); add \"default\": METRES")
                              .c_str());
}

}  // namespace

ClearanceArg clearance_arg(nb::handle x, nb::handle cache_dir) {
  ClearanceArg a;
  if (!x.is_valid() || x.is_none()) return a;
  a.on = true;
  if (!is_mapping(x)) {
    a.metres = clearance_value(x);
    a.value = nb::float_(a.metres);
    return a;
  }
  a.per_body = true;
  nb::dict value;
  for (nb::handle item : nb::iter(x.attr("items")())) {
    nb::object key = item[0], metres = item[1];
    if (!PyUnicode_Check(key.ptr()))
      throw nb::value_error(
          ("clearance: a dict's keys are body names or \"default\", got " + repr_of(key)).c_str());
    const double m = body_metres(key, metres);
    const std::string name = nb::cast<std::string>(key);
    if (name == "default") {
      a.has_default = true;
      a.metres = m;
    } else {
      a.bodies.emplace_back(name, m);
    }
    value[key] = nb::float_(m);
  }
  if (!a.has_default && a.bodies.empty())
    throw nb::value_error(
        "clearance: an empty dict gives no clearance; give {\"default\": METRES, BODY: METRES, "
        "...} or None");
  a.value = value;
  if (cache_dir.is_valid()) check_names(a, cache_dir);
  return a;
}

std::vector<double> body_clearances(const ClearanceArg& arg, std::size_t n_bodies) {
  std::vector<double> out(n_bodies, arg.metres);
  if (!arg.per_body || arg.bodies.empty()) return out;
  if (arg.names.size() != n_bodies)
    throw nb::value_error(("clearance per body: meta.json lists " +
                           std::to_string(arg.names.size()) +
                           " environment bodies but the handler loaded " +
                           std::to_string(n_bodies) + ", so the names cannot be matched")
                              .c_str());
  for (const auto& [name, metres] : arg.bodies)
    for (std::size_t b = 0; b < n_bodies; ++b)
      if (arg.names[b] == name) out[b] = metres;
  return out;
}

}  // namespace brimwell_py
