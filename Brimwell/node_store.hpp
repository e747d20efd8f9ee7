// A growing set of tree configurations with the nearest-node query the tree
// planners need: the lowest index among the nodes closest to a query point,
// with distances summed joint by joint in the order joint_space.hpp uses.
#pragma once

#include "Brimwell/joint_space.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brimwell {

class NodeStore {
 public:
  explicit NodeStore(std::size_t d) : d_(d), columns_(d) {}

  std::size_t size() const { return parent_.size(); }
  std::size_t dims() const { return d_; }
  const double* row(std::size_t k) const { return rows_.data() + k * d_; }
  std::int64_t parent(std::size_t k) const { return parent_[k]; }

  std::size_t add(const double* q, std::int64_t parent) {
    rows_.insert(rows_.end(), q, q + d_);
    for (std::size_t k = 0; k < d_; ++k) columns_[k].push_back(q[k]);
    parent_.push_back(parent);
    return parent_.size() - 1;
  }

  // Index of the node closest to q; the lowest index among equal distances.
  std::size_t nearest(const double* q) {
    const std::size_t n = size();
    sq_.resize(n);
    double* out = sq_.data();
    column_squared_distances(columns_, n, q, out);
    std::size_t best = 0;
    for (std::size_t i = 1; i < n; ++i)
      if (out[i] < out[best]) best = i;
    // A lower index whose sum is a hair larger can round to the same distance.
    const double m = std::sqrt(out[best]);
    const double limit = out[best] * (1.0 + 1e-12);
    for (std::size_t j = 0; j < best; ++j)
      if (out[j] <= limit && std::sqrt(out[j]) == m) return j;
    return best;
  }

  // Node indices from k up to the root, k first.
  std::vector<std::size_t> chain(std::size_t k) const {
    std::vector<std::size_t> out;
    for (std::int64_t idx = static_cast<std::int64_t>(k); idx >= 0;
         idx = parent_[static_cast<std::size_t>(idx)]) {
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
