// Joint-space arithmetic shared by the planner, the smoother and the
// densifier: distances, step counts along straight edges, and interpolation.
//
// Distances are sqrt(((d0^2 + d1^2) + d2^2) + ...), summed in joint order.  A
// numpy implementation writes the same sum explicitly, so distances compared
// against a radius decide the same way in both (a BLAS dot product would sum in
// an order of its own choosing).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell {

// Longest edge, in steps of the resolution, that edge checks and
// densification agree to walk: a million steps is hundreds of times any edge
// between configurations inside joint limits; beyond it the caller has passed
// a runaway length or resolution and gets an error instead of an endless loop.
inline constexpr std::int64_t kMaxEdgeSteps = 1'000'000;
// Most rows a densified trajectory may have (about 0.5 GB for six joints).
inline constexpr std::int64_t kMaxDenseRows = 10'000'000;

inline double squared_distance(const double* a, const double* b, std::size_t d) {
  if (d == 0) return 0.0;
  double diff = b[0] - a[0];
  double s = diff * diff;
  for (std::size_t k = 1; k < d; ++k) {
    diff = b[k] - a[k];
    s += diff * diff;
  }
  return s;
}

inline double distance(const double* a, const double* b, std::size_t d) {
  return std::sqrt(squared_distance(a, b, d));
}

// out[i] = squared distance from q to node i for the first n nodes of a tree
// stored one array per joint (columns[k][i]), summed in the same order as
// squared_distance() but over many nodes at once.  For the usual arm sizes all
// joints go in one pass over the nodes, the sums kept in registers.
template <std::size_t D>
void column_squared_distances_fixed(const std::vector<std::vector<double>>& columns, std::size_t n,
                                    const double* q, double* out) {
  const double* c[D];
  double qk[D];
  for (std::size_t k = 0; k < D; ++k) {
    c[k] = columns[k].data();
    qk[k] = q[k];
  }
  for (std::size_t i = 0; i < n; ++i) {
    double t = c[0][i] - qk[0];
    double sum = t * t;
    for (std::size_t k = 1; k < D; ++k) {
      t = c[k][i] - qk[k];
      sum = sum + t * t;
    }
    out[i] = sum;
  }
}

inline void column_squared_distances(const std::vector<std::vector<double>>& columns, std::size_t n,
                                     const double* q, double* out) {
  switch (columns.size()) {
    case 6:
      return column_squared_distances_fixed<6>(columns, n, q, out);
    case 7:
      return column_squared_distances_fixed<7>(columns, n, q, out);
    case 5:
      return column_squared_distances_fixed<5>(columns, n, q, out);
    case 4:
      return column_squared_distances_fixed<4>(columns, n, q, out);
    case 3:
      return column_squared_distances_fixed<3>(columns, n, q, out);
    case 2:
      return column_squared_distances_fixed<2>(columns, n, q, out);
    default:
      break;
  }
  const double* c0 = columns[0].data();
  const double q0 = q[0];
  for (std::size_t i = 0; i < n; ++i) {
    const double t = c0[i] - q0;
    out[i] = t * t;
  }
  for (std::size_t k = 1; k < columns.size(); ++k) {
    const double* ck = columns[k].data();
    const double qk = q[k];
    for (std::size_t i = 0; i < n; ++i) {
      const double t = ck[i] - qk;
      out[i] = out[i] + t * t;
    }
  }
}

inline std::string number_text(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

// max(1, ceil(dist / res)) for an edge of length `dist`, or std::invalid_argument
// when that count is not finite (NaN or infinite coordinates, a zero or NaN
// resolution) or exceeds kMaxEdgeSteps.
inline std::int64_t edge_steps(double dist, double res, const char* who) {
  const double steps = std::ceil(dist / res);
  if (!std::isfinite(steps))
    throw std::invalid_argument(std::string(who) + ": an edge of length " + number_text(dist) +
                                " at resolution " + number_text(res) +
                                " has no finite number of steps (non-finite joint values or "
                                "a zero resolution)");
  if (steps > static_cast<double>(kMaxEdgeSteps))
    throw std::invalid_argument(std::string(who) + ": an edge of length " + number_text(dist) +
                                " at resolution " + number_text(res) + " would take " +
                                number_text(steps) + " steps, more than the limit of " +
                                std::to_string(kMaxEdgeSteps));
  return steps < 1.0 ? 1 : static_cast<std::int64_t>(steps);
}

// out = a + (b - a) * (i / n), element by element.
inline void interpolate(const double* a, const double* b, std::size_t d, std::int64_t i,
                        std::int64_t n, double* out) {
  const double t = static_cast<double>(i) / static_cast<double>(n);
  for (std::size_t k = 0; k < d; ++k) out[k] = a[k] + (b[k] - a[k]) * t;
}

// The straight edge a -> b is valid when every configuration
// a + (b - a) * (i / n), i = 1 .. n, is: the end point is tested, the start is
// not.  Stops at the first invalid configuration.  `scratch` holds d doubles.
template <class Valid>
bool edge_valid(const double* a, const double* b, std::size_t d, double res, Valid&& valid,
                double* scratch) {
  const std::int64_t n = edge_steps(distance(a, b, d), res, "edge_valid");
  for (std::int64_t i = 1; i <= n; ++i) {
    interpolate(a, b, d, i, n, scratch);
    if (!valid(static_cast<const double*>(scratch))) return false;
  }
  return true;
}

// The same answer as edge_valid(), testing the configurations coarse to
// fine: the end point first, then the midpoints of ever finer halvings
// (i = odd multiples of 2^m for m from high to low).  A collision somewhere
// inside the edge is met after a few tests instead of after half of them on
// average; only the number of tests differs, so this order is for validity
// tests that nothing observes.
template <class Valid>
bool edge_valid_coarse_to_fine(const double* a, const double* b, std::size_t d, double res,
                               Valid&& valid, double* scratch) {
  const std::int64_t n = edge_steps(distance(a, b, d), res, "edge_valid");
  interpolate(a, b, d, n, n, scratch);
  if (!valid(static_cast<const double*>(scratch))) return false;
  std::int64_t stride = 1;
  while (stride * 2 < n) stride *= 2;
  for (; stride >= 1; stride /= 2)
    for (std::int64_t i = stride; i < n; i += 2 * stride) {
      interpolate(a, b, d, i, n, scratch);
      if (!valid(static_cast<const double*>(scratch))) return false;
    }
  return true;
}

}  // namespace brimwell
