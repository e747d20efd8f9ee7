#include "Gristane/grid.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace gristane {

namespace {
// No axis may exceed 2^31 cells and the grid may not exceed 2^46 bytes
// (64 TiB): far beyond any workcell, and it keeps every index product exact.
constexpr double kMaxCellsPerAxis = 2147483648.0;
constexpr double kMaxCells = 70368744177664.0;
}  // namespace

bool referenced_bounds(const double* v, std::size_t n_vertices, const std::int64_t* f,
                       std::size_t n_faces, double lo[3], double hi[3]) {
  (void)n_vertices;  // face indices were range-checked by the caller
  if (n_faces == 0) return false;
  for (int a = 0; a < 3; ++a) {
    lo[a] = v[3 * f[0] + a];
    hi[a] = lo[a];
  }
  for (std::size_t i = 0; i < 3 * n_faces; ++i) {
    const double* p = v + 3 * f[i];
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], p[a]);
      hi[a] = std::max(hi[a], p[a]);
    }
  }
  return true;
}

void grid_shape(const double lo[3], const double hi[3], double pitch, std::int64_t shape[3]) {
  double cells[3];
  double total = 1.0;
  for (int a = 0; a < 3; ++a) {
    const double c = std::ceil((hi[a] - lo[a]) / pitch);
    if (!std::isfinite(c))
      throw std::invalid_argument("the environment grid's extent is not finite (axis " +
                                  std::to_string(a) + ")");
    if (c < 0.0)
      throw std::invalid_argument(
          "the environment grid's upper bound lies below its lower bound (axis " +
          std::to_string(a) + ")");
    if (c >= kMaxCellsPerAxis)
      throw std::invalid_argument("the environment grid would have " + std::to_string(c) +
                                  " cells along axis " + std::to_string(a) +
                                  "; use a larger pitch, a smaller pad or explicit bounds");
    cells[a] = c;
    total *= c;
  }
  if (total > kMaxCells)
    throw std::invalid_argument("the environment grid would have " + std::to_string(total) +
                                " cells; use a larger pitch, a smaller pad or explicit bounds");
  for (int a = 0; a < 3; ++a) shape[a] = static_cast<std::int64_t>(cells[a]);
}

void prefer_small_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || bytes < 2 * static_cast<std::size_t>(page)) return;
  const auto p = static_cast<std::uintptr_t>(page);
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + p - 1) / p * p;
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / p * p;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_NOHUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

std::size_t mark_points(const double* pts, std::size_t k, const double lo[3], double pitch,
                        const GridRef& g) {
  std::size_t inside = 0;
  for (std::size_t n = 0; n < k; ++n) {
    std::int64_t idx[3];
    bool in = true;
    for (int a = 0; a < 3; ++a) {
      // floor(x) lies in [0, shape) exactly when x does, so the range test on
      // x itself decides; only then is x (non-negative) truncated to its floor.
      const double x = (pts[3 * n + a] - lo[a]) / pitch;
      if (!(x >= 0.0 && x < static_cast<double>(g.shape[a]))) {
        in = false;
        break;
      }
      idx[a] = static_cast<std::int64_t>(x);
    }
    if (!in) continue;
    g.cells[idx[0] * g.stride[0] + idx[1] * g.stride[1] + idx[2] * g.stride[2]] = 1;
    ++inside;
  }
  return inside;
}

}  // namespace gristane
