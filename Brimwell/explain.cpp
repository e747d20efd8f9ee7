// Why the driver refuses a waypoint, in one line a user can act on: the joint,
// its value and the limit it breaks; or the links and the obstacles in contact,
// by name.  The lines only explain: the driver's errors stay as they are, and
// an explanation that fails for any reason is left out rather than hiding them.
#include "Brimwell/py_planning.hpp"
#include "Brimwell/trajectory.hpp"

#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"

#include <nanobind/stl/string.h>

#include <cstdio>
#include <string>
#include <vector>

namespace brimwell_py {

namespace {

std::vector<std::string> link_names(nb::handle cache_dir) {
  std::vector<std::string> out;
  nb::dict meta = cellpath::py::read_meta(cache_dir);
  nb::object links = meta["links"];
  for (nb::handle link : links) out.push_back(cellpath::py::str_of(link["name"]));
  return out;
}

template <class F>
void say_or_skip(F&& line) {
  try {
    say(line());
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
  } catch (std::exception&) {
  }
}

}  // namespace

void explain_limits(nb::handle ctx_obj, nb::handle cache_dir, std::size_t index,
                    const std::vector<double>& q) {
  say_or_skip([&] {
    Array<double> lim = cellpath::py::as_f64(ctx_obj.attr("limits"));
    return brimwell::limits_explained(index, q, lim.data, lim.size, link_names(cache_dir));
  });
}

void explain_contacts(nb::handle ctx_obj, nb::handle cache_dir, std::size_t index,
                      nb::handle theta) {
  say_or_skip([&] {
    // The planner's own test: which moving links lie in occupied cells.
    nb::object handler = ctx_obj.attr("handler");
    nb::object T = handler.attr("AcquireTransformsGivenq")(theta);
    nb::object hits =
        nb::module_::import_("Gristane")
            .attr("colliding_links")(handler.attr("link_points"), T, handler.attr("env_grid"),
                                     handler.attr("env_origin"), handler.attr("pitch"));
    const std::vector<std::string> names = link_names(cache_dir);
    std::vector<std::string> in_cells;
    for (nb::handle h : hits) {
      const long k = nb::cast<long>(h);
      if (k > 0 && static_cast<std::size_t>(k) < names.size()) in_cells.push_back(names[k]);
    }
    // The exact meshes name the obstacles (and the links touching each other),
    // leaving out what touches in every configuration.
    nb::object exact =
        nb::module_::import_("Pelmora").attr("Pelmora")(cache_dir, "allowed_pairs"_a = "fixed");
    std::vector<std::string> pairs;
    nb::object sorted =
        nb::module_::import_("builtins").attr("sorted")(exact.attr("query")(theta).attr("pairs"));
    for (nb::handle p : sorted)
      pairs.push_back(cellpath::py::str_of(p[0][0]) + ":" + cellpath::py::str_of(p[0][1]) +
                      " <-> " + cellpath::py::str_of(p[1][0]) + ":" +
                      cellpath::py::str_of(p[1][1]));
    std::string line = "Waypoint " + std::to_string(index) + ": ";
    line +=
        pairs.empty() ? "the exact meshes do not touch" : "in contact: " + brimwell::joined(pairs);
    if (!in_cells.empty())
      line += "; in the environment's voxels (" +
              brimwell::short_number(nb::cast<double>(handler.attr("pitch"))) +
              " m cells): " + brimwell::joined(in_cells);
    else if (pairs.empty())
      line += "; links closer than the self-collision margin";
    return line;
  });
}

}  // namespace brimwell_py
