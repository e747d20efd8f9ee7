// Timed trajectories along a planned joint path (Brimwell.time_parameterize).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace brimwell {

// The path's straight pieces: indices of the rows where the motion comes to
// rest, first and last row included.  Rows that repeat the previous one (to
// within `repeat_tol`) are skipped; a row starts a new piece when it lies more
// than `line_tol` off the line of the current piece or turns back along it.
std::vector<std::size_t> rest_rows(const double* rows, std::size_t count, std::size_t n,
                                   double line_tol, double repeat_tol);

// Adds time_parameterize (and its module constants) to the module.
void register_timing(nanobind::module_& m);

}  // namespace brimwell
