// A growing set of tree configurations with the nearest-node query the tree
// planners need: the lowest index among the nodes closest to a query point,
// with distances summed joint by joint in the order joint_space.hpp uses.
#pragma once

#include "Brimwell/joint_space.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace brimwell {

class NodeStore {
 public:
  explicit NodeStore(std::size_t d) : d_(d), columns_(d) {}

  std::size_t size() const { return parent_.size(); }
  std::size_t dims() const { return d_; }
  const double* row(std::size_t k) const { return rows_.data() + k * d_; }
  std::int64_t parent(std::size_t k) const { return parent_[k]; }
  void set_parent(std::size_t k, std::int64_t parent) { parent_[k] = parent; }

  // Room for `nodes` nodes without reallocation.
  void reserve(std::size_t nodes) {
    rows_.reserve(nodes * d_);
    parent_.reserve(nodes);
    for (auto& c : columns_) c.reserve(nodes);
  }

  std::size_t add(const double* q, std::int64_t parent) {
    rows_.insert(rows_.end(), q, q + d_);
    for (std::size_t k = 0; k < d_; ++k) columns_[k].push_back(q[k]);
    parent_.push_back(parent);
    return parent_.size() - 1;
  }

  // Squared distances from q to every node, in node order (valid until the
  // next query).
  const std::vector<double>& squared_distances(const double* q) {
    sq_.resize(size());
    column_squared_distances(columns_, size(), q, sq_.data());
    return sq_;
  }

  // Index of the node closest to q; the lowest index among equal distances.
  // Squared sums order the candidates; the distances themselves (their square
  // roots) break ties, as comparing rounded norms would.
  std::size_t nearest(const double* q) {
    const std::size_t n = size();
    const double* s = squared_distances(q).data();
    // The smallest sum (four independent running minima, which give the same
    // value as one: the sums are finite and never -0), then its first index.
    double m0 = s[0], m1 = s[0], m2 = s[0], m3 = s[0];
    std::size_t i = 1;
    for (; i + 4 <= n; i += 4) {
      m0 = s[i] < m0 ? s[i] : m0;
      m1 = s[i + 1] < m1 ? s[i + 1] : m1;
      m2 = s[i + 2] < m2 ? s[i + 2] : m2;
      m3 = s[i + 3] < m3 ? s[i + 3] : m3;
    }
    for (; i < n; ++i) m0 = s[i] < m0 ? s[i] : m0;
    m0 = m1 < m0 ? m1 : m0;
    m0 = m2 < m0 ? m2 : m0;
    m0 = m3 < m0 ? m3 : m0;
    std::size_t best = 0;
    while (best < n && !(s[best] == m0)) ++best;
    if (best == n) best = 0;  // NaN sums: only a NaN sample makes them
    // A lower index whose sum is a hair larger can round to the same distance.
    const double m = std::sqrt(s[best]);
    const double limit = s[best] * (1.0 + 1e-12);
    for (std::size_t j = 0; j < best; ++j)
      if (s[j] <= limit && std::sqrt(s[j]) == m) return j;
    return best;
  }

  // Node indices from k up to the root, k first.
  std::vector<std::size_t> chain(std::size_t k) const {
    std::vector<std::size_t> out;
    for (std::int64_t idx = static_cast<std::int64_t>(k); idx >= 0;
         idx = parent_[static_cast<std::size_t>(idx)]) {
      // A walk longer than the tree would mean a broken invariant.
      if (out.size() > size()) throw std::logic_error("tree parent links form a cycle");
      out.push_back(static_cast<std::size_t>(idx));
    }
    return out;
  }

 private:
  std::size_t d_;
  std::vector<double> rows_;                  // row-major (size, d)
  std::vector<std::vector<double>> columns_;  // the same, one array per joint
  std::vector<std::int64_t> parent_;          // -1 for the root
  std::vector<double> sq_;
};

}  // namespace brimwell
