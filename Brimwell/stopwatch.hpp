// The benchmarks' stopwatch (bench/stopwatch.py): the native validity test of
// every configuration, each timed inside native code.
#pragma once

#include "Brimwell/arm_model.hpp"
#include "common/array_view.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <tuple>

namespace brimwell {

// ok[i] = model.is_valid(qs row i), taking ns[i] nanoseconds; qs (m, n_joints).
inline void time_is_valid(const ArmModel& model, ArmData& data,
                          const cellpath::ArrayView<double>& qs, std::int64_t* ns, bool* ok) {
  const std::size_t n = model.n_joints();
  for (std::size_t i = 0; i < qs.shape[0]; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    ok[i] = model.is_valid(data, qs.data + i * n);
    ns[i] =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count();
  }
}

// Test aid: the self-collision answer at every configuration, with the pair
// tables (tabled[i]) and with every pair walked (walked[i]).
inline void self_answers(const ArmModel& model, ArmData& data,
                         const cellpath::ArrayView<double>& qs, bool* tabled, bool* walked) {
  const std::size_t n = model.n_joints();
  for (std::size_t i = 0; i < qs.shape[0]; ++i)
    std::tie(tabled[i], walked[i]) = model.self_answers(data, qs.data + i * n);
}

// qs as time_is_valid and self_answers take it, else std::invalid_argument.
inline void require_configurations(const cellpath::ArrayView<double>& qs, std::size_t n) {
  if (qs.ndim() != 2 || qs.shape[1] != n)
    throw std::invalid_argument("qs must have shape (m, n_joints)");
}

}  // namespace brimwell
