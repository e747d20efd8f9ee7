// Cores that no planner thread holds.  A step that could use a second thread
// for a while (proving a path's edges) takes one only when a core is spare,
// and a pool that plans several segments at once holds one for each thread
// beyond the first: so a machine already busy with a thread per core is
// never asked for more.
#pragma once

#include <algorithm>
#include <atomic>
#include <thread>

namespace brimwell {

class SpareCore {
 public:
  SpareCore() {
    int n = pool().load();
    while (n > 0 && !pool().compare_exchange_weak(n, n - 1)) {
    }
    held_ = n > 0;
  }
  ~SpareCore() {
    if (held_) ++pool();
  }
  SpareCore(const SpareCore&) = delete;
  SpareCore& operator=(const SpareCore&) = delete;

  bool held() const { return held_; }

 private:
  static std::atomic<int>& pool() {
    static std::atomic<int> spare{
        static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) - 1};
    return spare;
  }
  bool held_ = false;
};

}  // namespace brimwell
