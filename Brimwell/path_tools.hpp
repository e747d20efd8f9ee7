// Post-processing of planned paths: random shortcutting and densification.
#pragma once

#include "Brimwell/joint_space.hpp"
#include "common/array_view.hpp"
#include "common/text.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace brimwell {

// A resolution or step length: positive and finite, or a ValueError naming it
// (a negative one would leave every edge whole, a zero one never end).
inline void require_positive(double value, const char* what) {
  if (!(value > 0.0 && std::isfinite(value)))
    throw std::invalid_argument(std::string(what) +
                                " must be a positive, finite number of radians, got " +
                                cellpath::python_float_text(value));
}

// `a` as a joint vector of exactly d values (`what` names it), else a ValueError.
inline std::vector<double> joint_vector_of(const cellpath::ArrayView<double>& a, std::size_t d,
                                           const char* what) {
  if (a.ndim() != 1 || a.size != d)
    throw std::invalid_argument(std::string(what) + " must be a joint vector of " +
                                std::to_string(d) + " values, got shape " +
                                cellpath::shape_text(a.shape));
  return std::vector<double>(a.data, a.data + a.size);
}

// Entry e of a path handed to `who` (densify) as a joint vector of as many
// values as the first entry's (`d`, set by entry 0), else a ValueError.
inline std::vector<double> path_entry(const cellpath::ArrayView<double>& a, std::size_t e,
                                      std::size_t& d, const char* who) {
  if (a.ndim() != 1)
    throw std::invalid_argument(std::string(who) + ": path entry " + std::to_string(e) +
                                " must be a joint vector, got shape " +
                                cellpath::shape_text(a.shape));
  if (e == 0) d = a.size;
  if (a.size != d)
    throw std::invalid_argument(std::string(who) + ": path entry " + std::to_string(e) + " has " +
                                std::to_string(a.size) + " values, the first has " +
                                std::to_string(d));
  return std::vector<double>(a.data, a.data + a.size);
}

// Random shortcutting of a path of `n_entries` configurations.  Works on entry
// numbers so the caller can hand back its own objects: the result lists, in
// order, the entries that remain.
//
//   draw(len)          -> std::pair<int64, int64>, two independent uniform picks in [0, len)
//   edge_valid(ea, eb) -> bool for the straight edge from entry ea to entry eb
//
// Each attempt draws once, unless fewer than three entries remain, which ends
// the smoothing; a pair less than two apart is a wasted attempt.  A valid edge
// between entries i < j removes every entry strictly between them.
template <class Draw, class EdgeValid>
std::vector<std::size_t> shortcut_path(std::size_t n_entries, std::int64_t iters, Draw&& draw,
                                       EdgeValid&& edge_valid) {
  std::vector<std::size_t> path(n_entries);
  for (std::size_t k = 0; k < n_entries; ++k) path[k] = k;
  for (std::int64_t it = 0; it < iters; ++it) {
    if (path.size() < 3) break;
    auto [i, j] = draw(path.size());
    if (i > j) std::swap(i, j);
    const auto len = static_cast<std::int64_t>(path.size());
    if (i < 0 || j >= len)
      throw std::out_of_range("smooth_path: the generator gave index " +
                              std::to_string(i < 0 ? i : j) + " for a path of " +
                              std::to_string(len) + " entries");
    if (j - i < 2) continue;
    if (edge_valid(path[static_cast<std::size_t>(i)], path[static_cast<std::size_t>(j)]))
      path.erase(path.begin() + i + 1, path.begin() + j);
  }
  return path;
}

// The configurations of `rows` (each d doubles) joined by straight edges and
// resampled so that consecutive configurations are at most `res` apart: the
// first row, then for every pair (a, b) the points a + (b - a) * (i / n),
// i = 1 .. n, n = max(1, ceil(|b - a| / res)).  Row-major (N, d); N is
// returned through `count` (it cannot be read off the values when d is 0).
inline std::vector<double> densify_rows(const std::vector<const double*>& rows, std::size_t d,
                                        double res, std::size_t& count) {
  if (rows.empty()) throw std::out_of_range("densify: the path has no configurations");
  std::vector<std::int64_t> steps(rows.size() - 1);
  std::int64_t total = 1;
  for (std::size_t p = 0; p + 1 < rows.size(); ++p) {
    steps[p] = edge_steps(distance(rows[p], rows[p + 1], d), res, "densify");
    total += steps[p];
    if (total > kMaxDenseRows)
      throw std::invalid_argument("densify: the path would need more than " +
                                  std::to_string(kMaxDenseRows) + " configurations at resolution " +
                                  number_text(res));
  }
  count = static_cast<std::size_t>(total);
  std::vector<double> out(count * d);
  double* o = out.data();
  for (std::size_t k = 0; k < d; ++k) o[k] = rows[0][k];
  o += d;
  for (std::size_t p = 0; p + 1 < rows.size(); ++p)
    for (std::int64_t i = 1; i <= steps[p]; ++i, o += d)
      interpolate(rows[p], rows[p + 1], d, i, steps[p], o);
  return out;
}

}  // namespace brimwell
