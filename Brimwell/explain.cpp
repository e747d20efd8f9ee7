// Why the driver refuses a waypoint, in one line a user can act on: the joint,
// its value and the limit it breaks; or the links and the obstacles in contact,
// by name.  The lines only explain: the driver's errors stay as they are, and
// an explanation that fails for any reason is left out rather than hiding them.
#include "Brimwell/py_planning.hpp"
#include "Brimwell/trajectory.hpp"
#include "Gristane/api.hpp"
#include "Gristane/env_grid.hpp"

#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace brimwell_py {

namespace {

std::vector<std::string> link_names(const std::filesystem::path& cache_dir) {
  return cellpath::py::read_capture(cache_dir).link_names();
}

template <class F>
void say_or_skip(F&& line) {
  try {
    print_line(line());
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
  } catch (std::exception&) {
  }
}

}  // namespace

void explain_limits(const PlanningContext& ctx, const std::filesystem::path& cache_dir,
                    std::size_t index, const std::vector<double>& q) {
  say_or_skip([&] {
    const std::vector<double>& lim = ctx.bounds.limits;
    return brimwell::limits_explained(index, q, lim.data(), lim.size(), link_names(cache_dir));
  });
}

void explain_contacts(const PlanningContext& ctx, const std::filesystem::path& cache_dir,
                      std::size_t index, const std::vector<double>& q) {
  say_or_skip([&] {
    nb::object theta = to_numpy(q.data(), q.size());
    // The planner's own test: which moving links lie in occupied cells.
    nb::object T = ctx.handler.attr("AcquireTransformsGivenq")(theta);
    const HandlerGrid g = handler_grid(ctx.handler);
    const double pitch = nb::cast<double>(g.pitch);
    const std::vector<std::size_t> hits = gristane::touching_links(
        gristane::api::query_inputs(g.link_points, T, g.env_grid, g.env_origin, pitch, 0), false);
    const std::vector<std::string> names = link_names(cache_dir);
    std::vector<std::string> in_cells;
    for (std::size_t k : hits)
      if (k > 0 && k < names.size()) in_cells.push_back(names[k]);
    // The exact meshes name the obstacles (and the links touching each other),
    // leaving out what touches in every configuration.  The exact meshes are
    // python-fcl's, reached through trimesh, so the one word on them is the
    // command layer's (cellpath_cli.contacts), as for the driver's --strict.
    const auto pairs =
        nb::cast<std::vector<std::string>>(nb::module_::import_("cellpath_cli.contacts")
                                               .attr("touching_pairs")(nb::cast(cache_dir), theta));
    return brimwell::contacts_explained(index, pairs, in_cells, pitch);
  });
}

}  // namespace brimwell_py
