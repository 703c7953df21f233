// Process-wide worker pool for data-parallel loops, sized by the CPUs this process may really use
// (affinity mask and cgroup CPU quota). Pure C++17; no Python here.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vantrel {

// Returns how many CPUs this process may use: the size of the calling thread's affinity mask, capped by the
// cgroup CPU quota (v2 cpu.max or v1 cfs quota, smallest along the cgroup's ancestors, rounded up); at least 1.
unsigned available_processors() noexcept;

class WorkerPool {
 public:
  // Returns the process-wide pool, built on first use with size() == available_processors() and never destroyed;
  // thread-safe. In a child created by fork() the first call builds a fresh pool (the parent's threads are gone).
  static WorkerPool& instance();

  // Builds a private pool in which `threads` threads (at least 1) share each parallel_for: the caller plus
  // threads - 1 workers; falls back to fewer workers if threads cannot be started. Unusable in a fork() child.
  explicit WorkerPool(unsigned threads);

  // Stops and joins the workers; no parallel_for may be running on this pool.
  ~WorkerPool();

  // Returns the number of threads that share one parallel_for (the calling thread plus size() - 1 workers).
  unsigned size() const noexcept;

  // Calls body(begin, end) on disjoint non-empty sub-ranges covering [0, n) exactly once each, on the calling
  // thread and the workers, and returns when all have finished. Sub-ranges are at least `grain` long except the
  // last. If a call throws, chunks not yet started are skipped and the first exception recorded is rethrown here
  // once every running chunk has finished. Runs inline on the caller when n <= grain, size() == 1, or when called
  // from inside a body (nested calls cannot deadlock). Thread-safe: many threads may call it at once.
  void parallel_for(std::size_t n, std::size_t grain,
                    const std::function<void(std::size_t, std::size_t)>& body);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  struct Job;

  void worker_loop();
  std::size_t claim(Job& job);
  void unqueue(Job& job);
  void run_chunk(Job& job, std::size_t chunk, std::unique_lock<std::mutex>& lock);

  unsigned size_ = 1;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Job*> queue_;  // jobs with unclaimed chunks, oldest first; guarded by mutex_
  bool stopping_ = false;   // guarded by mutex_
  std::vector<std::thread> workers_;  // last: workers start while the constructor runs
};

namespace detail {

// Parses the text of a cgroup v2 cpu.max file ("max <period>" or "<quota> <period>"); returns the CPU limit
// rounded up, or nullopt for "max" and for malformed text.
std::optional<unsigned> parse_cpu_max(std::string_view text) noexcept;

// Parses the texts of cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us; returns the CPU limit rounded up, or
// nullopt for an unlimited (-1) quota and for malformed text.
std::optional<unsigned> parse_cfs_quota(std::string_view quota, std::string_view period) noexcept;

// Returns the smallest CPU limit set on the process's cgroup or its ancestors, found through
// root + /proc/self/cgroup, root + /proc/self/mountinfo and the cgroup files under root (root "" is the real
// file system); nullopt when there is no limit or nothing can be read.
std::optional<unsigned> cgroup_cpu_limit(const std::string& root = "") noexcept;

// Returns the number of CPUs in the calling thread's affinity mask (any number of CPUs), or 0 if unreadable.
unsigned affinity_processors() noexcept;

}  // namespace detail
}  // namespace vantrel
