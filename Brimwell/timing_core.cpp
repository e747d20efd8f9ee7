#include "Brimwell/timing_core.hpp"

#include "Brimwell/joint_space.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace brimwell {

namespace {

// Distinct rows only: a repeated row is no corner and no piece.
std::vector<std::size_t> distinct_rows(const double* q, std::size_t count, std::size_t n,
                                       double repeat_tol) {
  std::vector<std::size_t> kept{0};
  for (std::size_t i = 1; i < count; ++i)
    if (distance(q + kept.back() * n, q + i * n, n) > repeat_tol) kept.push_back(i);
  return kept;
}

}  // namespace

std::vector<std::size_t> rest_rows(const double* q, std::size_t count, std::size_t n,
                                   double line_tol, double repeat_tol) {
  std::vector<std::size_t> rows;
  if (count == 0) return rows;
  const std::vector<std::size_t> kept = distinct_rows(q, count, n, repeat_tol);
  rows.push_back(kept[0]);
  std::vector<double> u(n);
  std::size_t k = 0;  // index into kept of the current piece's start
  while (k + 1 < kept.size()) {
    const double* a = q + kept[k] * n;
    const double len = distance(a, q + kept[k + 1] * n, n);
    for (std::size_t j = 0; j < n; ++j) u[j] = (q[kept[k + 1] * n + j] - a[j]) / len;
    double along = len;
    std::size_t end = k + 1;
    while (end + 1 < kept.size()) {
      const double* c = q + kept[end + 1] * n;
      double t = 0.0;
      for (std::size_t j = 0; j < n; ++j) t += (c[j] - a[j]) * u[j];
      double off = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        const double d = c[j] - a[j] - t * u[j];
        off += d * d;
      }
      if (!(t > along) || std::sqrt(off) > line_tol) break;
      along = t;
      ++end;
    }
    rows.push_back(kept[end]);
    k = end;
  }
  return rows;
}

void Phases::at(double tau, double& s, double& sd, double& sdd) const {
  double begin = 0.0;
  int k = 0;
  while (k < 6 && tau >= begin + t[k]) begin += t[k++];
  const double d = tau - begin;
  s = p[k] + d * (v[k] + d * (a[k] / 2.0 + d * j[k] / 6.0));
  sd = v[k] + d * (a[k] + d * j[k] / 2.0);
  sdd = a[k] + d * j[k];
}

TimingProblem timing_path(const cellpath::ArrayView<double>& path) {
  using cellpath::shape_text;
  if (path.ndim() != 2)
    throw std::invalid_argument("path must be an (N, n_joints) array of joint vectors, got shape " +
                                shape_text(path.shape));
  if (path.shape[0] == 0) throw std::invalid_argument("path is empty: there is nothing to time");
  if (path.shape[1] == 0)
    throw std::invalid_argument("path has no joints (shape " + shape_text(path.shape) + ")");
  cellpath::require_finite(path, "path");
  TimingProblem p;
  p.q = path.data;
  p.rows = path.shape[0];
  p.n = path.shape[1];
  return p;
}

double checked_dt(double dt) {
  if (!(std::isfinite(dt) && dt > 0.0))
    throw std::invalid_argument("dt must be positive and finite, got " + std::to_string(dt));
  return dt;
}

std::vector<Piece> straight_pieces(const TimingProblem& p) {
  const std::size_t n = p.n;
  const std::vector<std::size_t> rest = rest_rows(p.q, p.rows, n, kLineTol, kRepeatTol);
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<Piece> pieces;
  for (std::size_t r = 0; r + 1 < rest.size(); ++r) {
    Piece pc;
    pc.from = rest[r];
    pc.to = rest[r + 1];
    const double* a = p.q + pc.from * n;
    const double* b = p.q + pc.to * n;
    pc.length = distance(a, b, n);
    pc.speed = inf;
    pc.accel = inf;
    for (std::size_t j = 0; j < n; ++j) {
      const double u = std::fabs(b[j] - a[j]) / pc.length;
      if (u > 0.0) {
        pc.speed = std::min(pc.speed, p.vmax[j] / u);
        pc.accel = std::min(pc.accel, p.amax[j] / u);
      }
    }
    pieces.push_back(pc);
  }
  return pieces;
}

double chain_pieces(std::vector<Piece>& pieces) {
  double total = 0.0;
  for (Piece& pc : pieces) {
    pc.start = total;
    total += pc.duration;
  }
  return total;
}

std::size_t sample_count(double total, double dt) {
  const double periods = std::ceil(total / dt - 1e-9);
  if (!(periods + 1.0 <= static_cast<double>(kMaxSamples)))
    throw TooManySamples("dt = " + std::to_string(dt) + " s gives more than " +
                         std::to_string(kMaxSamples) + " samples over the " +
                         std::to_string(total) + " s motion; use a larger dt");
  return static_cast<std::size_t>(std::max(periods, 0.0)) + 1;
}

void sample_pieces(const TimingProblem& p, const std::vector<Piece>& pieces, std::size_t K,
                   double* t_out, double* q_out, double* qd_out, double* qdd_out) {
  const std::size_t n = p.n;
  const double* q = p.q;
  const double* last = q + (p.rows - 1) * n;  // exactly the last row, not a repeat of it
  std::size_t at = 0;
  for (std::size_t k = 0; k < K; ++k) {
    const double t = static_cast<double>(k) * p.dt;
    t_out[k] = t;
    double* qk = q_out + k * n;
    double* vk = qd_out + k * n;
    double* ak = qdd_out + k * n;
    while (at < pieces.size() && t >= pieces[at].start + pieces[at].duration) ++at;
    if (at == pieces.size()) {
      for (std::size_t j = 0; j < n; ++j) qk[j] = last[j], vk[j] = 0.0, ak[j] = 0.0;
      continue;
    }
    const Piece& pc = pieces[at];
    double s, sd, sdd;
    pc.phases.at(t - pc.start, s, sd, sdd);
    const double* a = q + pc.from * n;
    const double* b = q + pc.to * n;
    for (std::size_t j = 0; j < n; ++j) {
      const double d = (b[j] - a[j]) / pc.length;
      qk[j] = a[j] + s * d;
      vk[j] = sd * d;
      ak[j] = sdd * d;
    }
  }
}

std::string failed_samples_message(const std::vector<std::size_t>& bad) {
  std::string first = "[";
  for (std::size_t i = 0; i < bad.size() && i < 5; ++i)
    first += (i ? ", " : "") + std::to_string(bad[i]);
  return std::to_string(bad.size()) + " timed samples failed validation, e.g. indices " + first +
         "]";
}

namespace {

// The shortest text that reads back as the same double.
void append_number(std::string& out, double x) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, x);
  out.append(buf, r.ptr);
}

}  // namespace

std::string timed_csv(const double* t, const double* q, const double* qd, std::size_t K,
                      std::size_t n, const std::vector<std::string>& names) {
  std::string out = "t";
  if (names.size() == n) {
    for (const std::string& name : names) out += "," + name;
    for (const std::string& name : names) out += "," + name + ".velocity";
  } else {
    for (std::size_t j = 1; j <= n; ++j) out += ",q" + std::to_string(j);
    for (std::size_t j = 1; j <= n; ++j) out += ",qd" + std::to_string(j);
  }
  out += "\n";
  out.reserve(out.size() + K * (2 * n + 1) * 22);
  for (std::size_t k = 0; k < K; ++k) {
    append_number(out, t[k]);
    for (std::size_t j = 0; j < n; ++j) out += ',', append_number(out, q[k * n + j]);
    for (std::size_t j = 0; j < n; ++j) out += ',', append_number(out, qd[k * n + j]);
    out += '\n';
  }
  return out;
}

std::string timed_summary(double duration, std::size_t samples, double dt) {
  char line[160];
  std::snprintf(line, sizeof line,
                "Timed trajectory: %.2f s in %zu samples of %.2f s, all verified valid", duration,
                samples, dt);
  return line;
}

std::vector<double> per_joint(const std::vector<double>& given, std::size_t n, const char* what) {
  if (given.size() == 1) return std::vector<double>(n, given[0]);
  if (given.size() != n)
    throw std::invalid_argument(
        std::string(what) + " must be one value for all joints or one per joint (" +
        std::to_string(n) + "), got shape " + cellpath::shape_text({given.size()}));
  return given;
}

std::vector<std::string> csv_joint_names(const std::vector<std::string>& names, std::size_t n) {
  if (names.size() != n) return {};
  std::vector<std::string> out;
  for (const std::string& s : names) {
    if (s.empty() || s.find_first_of(",\"\r\n") != std::string::npos ||
        std::find(out.begin(), out.end(), s) != out.end())
      return {};
    out.push_back(s);
  }
  return out;
}

std::string untimed_piece_text(const Piece& pc, const std::string& result) {
  const std::string piece = "ruckig could not time the straight piece from path row " +
                            std::to_string(pc.from) + " to row " + std::to_string(pc.to);
  if (!result.empty()) return piece + ": " + result;
  return piece + " at velocity " + cellpath::python_float_text(pc.speed) + " and acceleration " +
         cellpath::python_float_text(pc.accel) +
         " along it: limits that small or large are beyond its precision";
}

std::string too_many_samples_text() {
  return "the timed motion would need more than " + std::to_string(kMaxSamples) +
         " samples of 0.01 s: give larger --max-velocity and --max-acceleration limits";
}

}  // namespace brimwell
