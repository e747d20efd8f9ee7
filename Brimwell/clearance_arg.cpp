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

}  // namespace

// A dict's names are checked against the cache's bodies (meta.json's "env",
// the order the handler loads them in).
void check_body_names(ClearanceArg& a, const std::filesystem::path& cache_dir) {
  if (!a.per_body) return;
  std::vector<std::string> names;
  for (const auto& body : cellpath::py::read_capture(cache_dir).env) names.push_back(body.name);
  brimwell::check_clearance_names(a, names);
}

ClearanceArg clearance_arg(nb::handle x) {
  ClearanceArg a;
  if (x.is_none()) return a;
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
  return a;
}

}  // namespace brimwell_py
