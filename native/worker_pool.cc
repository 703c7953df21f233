// Worker pool and processor count.
//
// We roll our own pool rather than take a general-purpose one: ours must be sized by the affinity mask AND the
// cgroup CPU quota (general pools look at the hardware thread count, oversubscribing containers), must come back
// after fork(), and its whole job -- split a range into chunks, run them, wait -- fits in a page.

#include "worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <exception>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <system_error>

namespace vantrel {
namespace {

// Set while this thread runs a chunk, so that a nested parallel_for runs inline instead of waiting on workers
// that may all be busy with the outer loop.
thread_local bool t_in_body = false;

class InBodyScope {
 public:
  InBodyScope() noexcept : saved_(t_in_body) { t_in_body = true; }
  ~InBodyScope() { t_in_body = saved_; }
  InBodyScope(const InBodyScope&) = delete;
  InBodyScope& operator=(const InBodyScope&) = delete;

 private:
  bool saved_;
};

std::atomic<WorkerPool*> g_instance{nullptr};

// The child of fork() has only the forking thread, and the old pool's mutex may be held by a thread that no
// longer exists: forget that pool (leaking it on purpose) so instance() builds a new one.
void forget_instance_in_child() noexcept { g_instance.store(nullptr, std::memory_order_relaxed); }

// Registered at load time rather than on first use, so no lock is ever involved.
[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, &forget_instance_in_child);

std::string_view trim(std::string_view s) {
  const char* space = " \t\r\n";
  const std::size_t first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::vector<std::string_view> split(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t pos = 0;;) {
    const std::size_t end = s.find(separator, pos);
    parts.push_back(s.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) return parts;
    pos = end + 1;
  }
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  for (std::string_view part : split(s, ' ')) {
    part = trim(part);
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

bool has_item(std::string_view list, std::string_view item) {
  for (std::string_view part : split(list, ','))
    if (part == item) return true;
  return false;
}

std::optional<std::int64_t> parse_int(std::string_view s) {
  s = trim(s);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<unsigned> cpus_for_quota(std::optional<std::int64_t> quota, std::optional<std::int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  const auto q = static_cast<std::uint64_t>(*quota);
  const auto p = static_cast<std::uint64_t>(*period);
  const std::uint64_t cpus = q / p + (q % p != 0 ? 1 : 0);
  return static_cast<unsigned>(std::min<std::uint64_t>(cpus, std::numeric_limits<unsigned>::max()));
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Maps a cgroup path to its place below a mount whose root is `mount_root`; nullopt if the mount does not hold it.
std::optional<std::string> path_below_mount(std::string_view path, std::string_view mount_root) {
  // A path outside our cgroup namespace ("/../x") cannot be followed; the mount's own files are the best we have.
  for (std::string_view part : split(path, '/'))
    if (part == "..") return std::string();
  if (mount_root == "/") return std::string(path == "/" ? std::string_view() : path);
  if (path == mount_root) return std::string();
  if (path.size() > mount_root.size() && path.substr(0, mount_root.size()) == mount_root &&
      path[mount_root.size()] == '/')
    return std::string(path.substr(mount_root.size()));
  return std::nullopt;
}

std::optional<unsigned> limit_in_dir(const std::string& dir, bool v2) {
  if (v2) {
    const auto text = read_file(dir + "/cpu.max");
    return text ? detail::parse_cpu_max(*text) : std::nullopt;
  }
  const auto quota = read_file(dir + "/cpu.cfs_quota_us");
  const auto period = read_file(dir + "/cpu.cfs_period_us");
  return quota && period ? detail::parse_cfs_quota(*quota, *period) : std::nullopt;
}

// Smallest limit from the cgroup directory up to the mount point: a parent's quota binds its children too.
std::optional<unsigned> limit_along_path(const std::string& mount_dir, const std::string& below, bool v2) {
  std::optional<unsigned> best;
  for (std::string dir = mount_dir + below;;) {
    if (const auto limit = limit_in_dir(dir, v2)) best = best ? std::min(*best, *limit) : *limit;
    if (dir.size() <= mount_dir.size()) return best;
    dir.resize(dir.rfind('/'));
  }
}

std::optional<unsigned> limit_for_cgroup(const std::string& root, std::string_view mountinfo,
                                         std::string_view path, bool v2) {
  for (std::string_view line : split(mountinfo, '\n')) {
    // "id parent dev root mountpoint options [optional...] - fstype source superoptions"
    const auto f = words(line);
    const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
    if (dash - f.begin() < 6 || f.end() - dash < 4) continue;
    const std::string_view fstype = dash[1];
    const std::string_view super_options = dash[3];
    const bool match = v2 ? fstype == "cgroup2" : fstype == "cgroup" && has_item(super_options, "cpu");
    if (!match) continue;
    const auto below = path_below_mount(path, f[3]);
    if (!below) continue;
    std::string mount_dir = root + std::string(f[4]);
    while (mount_dir.size() > 1 && mount_dir.back() == '/') mount_dir.pop_back();
    return limit_along_path(mount_dir, *below, v2);
  }
  return std::nullopt;
}

}  // namespace

namespace detail {

std::optional<unsigned> parse_cpu_max(std::string_view text) noexcept {
  text = trim(text);
  const std::size_t gap = text.find_first_of(" \t");
  if (gap == std::string_view::npos) return std::nullopt;
  const std::string_view quota = text.substr(0, gap);
  const std::string_view period = trim(text.substr(gap));
  if (quota == "max" || period.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  return cpus_for_quota(parse_int(quota), parse_int(period));
}

std::optional<unsigned> parse_cfs_quota(std::string_view quota, std::string_view period) noexcept {
  return cpus_for_quota(parse_int(quota), parse_int(period));
}

std::optional<unsigned> cgroup_cpu_limit(const std::string& root) noexcept {
  try {
    const auto cgroups = read_file(root + "/proc/self/cgroup");
    const auto mountinfo = read_file(root + "/proc/self/mountinfo");
    if (!cgroups || !mountinfo) return std::nullopt;
    std::optional<unsigned> best;
    for (std::string_view line : split(*cgroups, '\n')) {
      // "hierarchy-id:controllers:path"; v2 is "0::path", v1 lists its controllers.
      const std::size_t colon1 = line.find(':');
      const std::size_t colon2 = colon1 == std::string_view::npos ? colon1 : line.find(':', colon1 + 1);
      if (colon2 == std::string_view::npos) continue;
      const std::string_view id = line.substr(0, colon1);
      const std::string_view controllers = line.substr(colon1 + 1, colon2 - colon1 - 1);
      const std::string_view path = trim(line.substr(colon2 + 1));
      const bool v2 = id == "0" && controllers.empty();
      if (!v2 && !has_item(controllers, "cpu")) continue;
      if (const auto limit = limit_for_cgroup(root, *mountinfo, path, v2))
        best = best ? std::min(*best, *limit) : *limit;
    }
    return best;
  } catch (...) {
    return std::nullopt;
  }
}

unsigned affinity_processors() noexcept {
  // Dynamically sized sets: the kernel refuses (EINVAL) a set smaller than its own CPU mask.
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int count = sched_getaffinity(0, bytes, set) == 0 ? CPU_COUNT_S(bytes, set) : -1;
    const int error = errno;
    CPU_FREE(set);
    if (count >= 0) return static_cast<unsigned>(count);
    if (error != EINVAL) return 0;
  }
  return 0;
}

}  // namespace detail

unsigned available_processors() noexcept {
  unsigned n = detail::affinity_processors();
  if (n == 0) n = std::thread::hardware_concurrency();
  if (const auto limit = detail::cgroup_cpu_limit()) n = n == 0 ? *limit : std::min(n, *limit);
  return std::max(n, 1u);
}

// One parallel_for call; lives on the caller's stack. The fields after `chunks` are guarded by the pool mutex.
struct WorkerPool::Job {
  Job(const std::function<void(std::size_t, std::size_t)>& body_, std::size_t n_,
      std::size_t chunk_)
      : body(body_), n(n_), chunk(chunk_), chunks(n_ / chunk_ + (n_ % chunk_ != 0 ? 1 : 0)) {}

  const std::function<void(std::size_t, std::size_t)>& body;
  const std::size_t n;
  const std::size_t chunk;   // chunk length; the last may be shorter
  const std::size_t chunks;  // chunk count
  std::size_t next = 0;     // first unclaimed chunk; set to `chunks` when all are claimed or one has failed
  std::size_t running = 0;  // claimed chunks not finished yet
  std::exception_ptr error;
  // Notified only with the mutex held: once the caller sees running == 0 it returns and this cv is gone.
  std::condition_variable finished;
};

WorkerPool& WorkerPool::instance() {
  WorkerPool* pool = g_instance.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
  // No lock, so that fork() can never leave one held: racing first callers each build a pool, one wins.
  auto fresh = std::make_unique<WorkerPool>(available_processors());
  if (g_instance.compare_exchange_strong(pool, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire))
    return *fresh.release();
  return *pool;
}

WorkerPool::WorkerPool(unsigned threads) {
  const unsigned wanted = std::max(threads, 1u) - 1;
  workers_.reserve(wanted);
  try {
    for (unsigned i = 0; i < wanted; ++i) workers_.emplace_back([this] { worker_loop(); });
  } catch (const std::system_error&) {
    // Out of threads: the pool still works, with the workers it got (or inline with none).
  }
  size_ = static_cast<unsigned>(workers_.size()) + 1;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

unsigned WorkerPool::size() const noexcept { return size_; }

void WorkerPool::parallel_for(std::size_t n, std::size_t grain,
                              const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  if (n <= grain || size_ == 1 || t_in_body) {
    body(0, n);
    return;
  }
  // A few chunks per thread evens out uneven items without paying a task per item.
  const std::size_t target_chunks = 4 * std::size_t{size_};
  const std::size_t chunk = std::max(grain, n / target_chunks + (n % target_chunks != 0 ? 1 : 0));
  Job job(body, n, chunk);

  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(&job);
  const std::size_t helpers = std::min(job.chunks - 1, workers_.size());
  for (std::size_t i = 0; i < helpers; ++i) work_ready_.notify_one();
  // The caller works on its own job too, so it finishes even when every worker is busy elsewhere.
  while (job.next < job.chunks) run_chunk(job, claim(job), lock);
  job.finished.wait(lock, [&job] { return job.running == 0; });
  lock.unlock();
  if (job.error) std::rethrow_exception(job.error);
}

void WorkerPool::worker_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Job& job = *queue_.front();
    run_chunk(job, claim(job), lock);
  }
}

// Requires the lock and an unclaimed chunk; a job leaves the queue once it has nothing left to hand out.
std::size_t WorkerPool::claim(Job& job) {
  const std::size_t chunk = job.next++;
  ++job.running;
  if (job.next == job.chunks) unqueue(job);
  return chunk;
}

void WorkerPool::unqueue(Job& job) {
  const auto it = std::find(queue_.begin(), queue_.end(), &job);
  if (it != queue_.end()) queue_.erase(it);
}

// Entered and left with the lock held; runs the body without it.
void WorkerPool::run_chunk(Job& job, std::size_t chunk, std::unique_lock<std::mutex>& lock) {
  const std::size_t begin = chunk * job.chunk;
  const std::size_t end = std::min(job.n, begin + job.chunk);
  const auto& body = job.body;
  lock.unlock();
  std::exception_ptr error;
  {
    InBodyScope in_body;
    try {
      body(begin, end);
    } catch (...) {
      error = std::current_exception();
    }
  }
  lock.lock();
  --job.running;
  if (error && !job.error) {
    job.error = error;
    if (job.next < job.chunks) {
      job.next = job.chunks;
      unqueue(job);
    }
  }
  if (job.running == 0 && job.next == job.chunks) job.finished.notify_all();
}

}  // namespace vantrel
