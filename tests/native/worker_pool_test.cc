// Tests for the worker pool: range coverage, exceptions, concurrent and nested callers, fork, and how the
// processor count reads the affinity mask and cgroup quotas.
#include "worker_pool.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

using Body = std::function<void(std::size_t, std::size_t)>;

struct Visit {
  std::vector<int> counts;  // times each index was visited
  std::size_t calls = 0;
  bool bad_bounds = false;   // an empty or out-of-range sub-range
  bool short_chunk = false;  // a sub-range shorter than grain that does not end the range
  bool all_on_caller = true;
};

Visit visit(WorkerPool& pool, std::size_t n, std::size_t grain) {
  std::vector<std::atomic<int>> counts(n);
  std::atomic<std::size_t> calls{0};
  std::atomic<bool> bad_bounds{false}, short_chunk{false}, all_on_caller{true};
  const auto caller = std::this_thread::get_id();
  pool.parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
    ++calls;
    if (std::this_thread::get_id() != caller) all_on_caller = false;
    if (begin >= end || end > n) {
      bad_bounds = true;
      return;
    }
    if (end - begin < grain && end != n) short_chunk = true;
    for (std::size_t i = begin; i < end; ++i) ++counts[i];
  });
  Visit v;
  for (auto& c : counts) v.counts.push_back(c.load());
  v.calls = calls;
  v.bad_bounds = bad_bounds;
  v.short_chunk = short_chunk;
  v.all_on_caller = all_on_caller;
  return v;
}

bool each_once(const std::vector<int>& counts) {
  return std::all_of(counts.begin(), counts.end(), [](int c) { return c == 1; });
}

// Blocks until `count` reaches `target`; the deadline only keeps a broken pool from hanging the test binary.
bool wait_for(const std::atomic<int>& count, int target) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (count.load() < target) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(WorkerPoolTest, CoversTheRangeExactlyOnce) {
  for (unsigned threads : {1u, 3u, 8u}) {
    WorkerPool pool(threads);
    ASSERT_EQ(pool.size(), threads);
    for (std::size_t grain : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
      for (std::size_t n : {std::size_t{0}, std::size_t{1}, grain - 1, grain, grain + 1, std::size_t{1000},
                            std::size_t{100003}}) {
        SCOPED_TRACE("threads=" + std::to_string(threads) + " grain=" + std::to_string(grain) +
                     " n=" + std::to_string(n));
        const Visit v = visit(pool, n, grain);
        EXPECT_TRUE(each_once(v.counts));
        EXPECT_FALSE(v.bad_bounds);
        EXPECT_FALSE(v.short_chunk);
        if (n == 0) {
          EXPECT_EQ(v.calls, 0u);
        } else if (n <= grain || threads == 1) {
          EXPECT_EQ(v.calls, 1u);  // inline on the caller
          EXPECT_TRUE(v.all_on_caller);
        } else {
          EXPECT_GE(v.calls, 2u);
          EXPECT_LT(v.calls, n / grain + 2) << "chunks smaller than grain";
        }
      }
    }
  }
}

TEST(WorkerPoolTest, GrainZeroMeansOne) {
  WorkerPool pool(4);
  const Visit v = visit(pool, 5, 0);
  EXPECT_TRUE(each_once(v.counts));
  EXPECT_FALSE(v.bad_bounds);
  EXPECT_GE(v.calls, 2u);
}

TEST(WorkerPoolTest, ChunksRunOnWorkersAtTheSameTime) {
  // Every chunk waits until two are inside at once; only a pool whose workers take chunks gets past this.
  WorkerPool pool(4);
  std::atomic<int> inside{0};
  std::atomic<bool> met{true};
  pool.parallel_for(4, 1, [&](std::size_t, std::size_t) {
    ++inside;
    if (!wait_for(inside, 2)) met = false;
  });
  EXPECT_TRUE(met);
}

TEST(WorkerPoolTest, InstanceIsSizedByAvailableProcessors) {
  WorkerPool& pool = WorkerPool::instance();
  EXPECT_EQ(&pool, &WorkerPool::instance());
  EXPECT_EQ(pool.size(), available_processors());
  EXPECT_TRUE(each_once(visit(pool, 10007, 3).counts));
}

TEST(WorkerPoolErrors, RethrowsTheFailingChunksExceptionAndStaysUsable) {
  std::vector<std::unique_ptr<WorkerPool>> owned;
  owned.push_back(std::make_unique<WorkerPool>(1));
  owned.push_back(std::make_unique<WorkerPool>(4));
  std::vector<WorkerPool*> pools = {owned[0].get(), owned[1].get(), &WorkerPool::instance()};
  for (WorkerPool* pool : pools) {
    for (std::size_t grain : {std::size_t{1}, std::size_t{5000}}) {  // split, and inline
      SCOPED_TRACE("size=" + std::to_string(pool->size()) + " grain=" + std::to_string(grain));
      try {
        pool->parallel_for(1000, grain, [](std::size_t begin, std::size_t end) {
          if (begin <= 437 && 437 < end) throw std::runtime_error("bad item 437");
        });
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "bad item 437");
      }
      EXPECT_THROW(pool->parallel_for(100, grain, [](std::size_t, std::size_t) { throw 42; }), int);
      EXPECT_TRUE(each_once(visit(*pool, 1000, 1).counts));
    }
  }
}

TEST(WorkerPoolErrors, SkipsChunksNotYetStarted) {
  // Each thread has at most one chunk in flight when the first failure is recorded, and none start after it.
  WorkerPool pool(4);
  std::atomic<std::size_t> calls{0};
  try {
    pool.parallel_for(100000, 1, [&](std::size_t begin, std::size_t) {
      ++calls;
      throw std::runtime_error("chunk " + std::to_string(begin));
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("chunk ", 0), 0u) << e.what();
  }
  EXPECT_GE(calls.load(), 1u);
  EXPECT_LE(calls.load(), pool.size());
}

TEST(WorkerPoolErrors, WaitsForRunningChunksAndKeepsTheFirstException) {
  // Both chunks are in flight; one throws at once, the other only later, after it has finished its work.
  WorkerPool pool(4);
  std::atomic<int> slow_started{0}, fast_throwing{0};
  std::atomic<bool> slow_finished{false};
  try {
    pool.parallel_for(2, 1, [&](std::size_t begin, std::size_t) {
      if (begin == 0) {
        ++slow_started;
        wait_for(fast_throwing, 1);
        // Gives a pool that rethrows too early the chance to do so while this chunk still runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slow_finished = true;
        throw std::runtime_error("second failure");
      }
      wait_for(slow_started, 1);
      ++fast_throwing;
      throw std::runtime_error("first failure");
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "first failure");
    EXPECT_TRUE(slow_finished);
  }
}

TEST(WorkerPoolTest, ConcurrentCallersOnOnePool) {
  WorkerPool own(3);
  for (WorkerPool* pool : {&own, &WorkerPool::instance()}) {
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
      callers.emplace_back([&, t] {
        for (std::size_t round = 0; round < 40; ++round) {
          const Visit v = visit(*pool, 50 + round * 37 + static_cast<std::size_t>(t), 1 + round % 5);
          if (!each_once(v.counts) || v.bad_bounds) ++failures;
        }
      });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
  }
}

TEST(WorkerPoolTest, NestedCallRunsInlineOnTheSameThread) {
  // Few outer chunks leave workers idle, and slow inner chunks give them time to steal work if they could.
  WorkerPool own(4);
  for (WorkerPool* pool : {&own, &WorkerPool::instance()}) {
    constexpr std::size_t kOuter = 2, kInner = 64;
    std::vector<std::atomic<int>> counts(kOuter * kInner);
    std::atomic<bool> moved_thread{false};
    pool->parallel_for(kOuter, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const auto outer_thread = std::this_thread::get_id();
        pool->parallel_for(kInner, 1, [&](std::size_t b, std::size_t e) {
          if (std::this_thread::get_id() != outer_thread) moved_thread = true;
          for (std::size_t j = b; j < e; ++j) ++counts[i * kInner + j];
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
      }
    });
    EXPECT_FALSE(moved_thread);
    EXPECT_TRUE(std::all_of(counts.begin(), counts.end(), [](const std::atomic<int>& c) { return c == 1; }));
  }
}

// Runs `child` in a forked process (killed by SIGALRM if it hangs) and returns its exit code, or -1 if it died.
template <typename Child>
int run_in_child(Child child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    _exit(child());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WorkerPoolFork, ChildBuildsAFreshWorkingPool) {
  WorkerPool& parent_pool = WorkerPool::instance();
  ASSERT_TRUE(each_once(visit(parent_pool, 1000, 1).counts));
  const int code = run_in_child([&parent_pool] {
    WorkerPool& pool = WorkerPool::instance();
    if (&pool == &parent_pool) return 1;  // the parent's pool has no threads here
    if (pool.size() != parent_pool.size()) return 2;
    const Visit v = visit(pool, 100003, 1);
    if (!each_once(v.counts) || v.bad_bounds) return 3;
    if (pool.size() > 1) {
      std::atomic<int> inside{0};
      std::atomic<bool> met{true};
      pool.parallel_for(pool.size(), 1, [&](std::size_t, std::size_t) {
        ++inside;
        if (!wait_for(inside, 2)) met = false;
      });
      if (!met) return 4;
    }
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(WorkerPoolFork, ForkWhileAnotherThreadIsInsideParallelFor) {
  // The child may inherit the pool mutex held by a thread it does not have; it must not use that pool.
  WorkerPool& pool = WorkerPool::instance();
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) pool.parallel_for(10000, 1, [](std::size_t, std::size_t) {});
  });
  for (int i = 0; i < 20; ++i) {
    const int code = run_in_child([] {
      return each_once(visit(WorkerPool::instance(), 5000, 1).counts) ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << "fork " << i;
    if (code != 0) break;  // a hung child costs a minute each
  }
  stop = true;
  busy.join();
}

unsigned fixed_affinity_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
  return static_cast<unsigned>(CPU_COUNT(&set));
}

TEST(AvailableProcessorsTest, BoundedByAffinityAndCgroup) {
  const unsigned affinity = fixed_affinity_count();
  if (affinity > 0) {
    EXPECT_EQ(detail::affinity_processors(), affinity);
  }
  const unsigned n = available_processors();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, affinity > 0 ? affinity : std::thread::hardware_concurrency());
  if (const auto limit = detail::cgroup_cpu_limit()) {
    EXPECT_LE(n, *limit);
  }
}

TEST(AvailableProcessorsTest, FollowsANarrowedAffinityMask) {
  // Affinity is per thread, so narrowing it on a scratch thread leaves the rest of the test binary alone.
  unsigned seen = 0;
  bool narrowed = false;
  std::thread scratch([&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return;
    std::size_t first = 0;
    while (first < CPU_SETSIZE && !CPU_ISSET(first, &set)) ++first;
    if (first == CPU_SETSIZE) return;
    CPU_ZERO(&set);
    CPU_SET(first, &set);
    narrowed = sched_setaffinity(0, sizeof(set), &set) == 0;
    seen = available_processors();
  });
  scratch.join();
  if (!narrowed) GTEST_SKIP() << "cannot change affinity here";
  EXPECT_EQ(seen, 1u);
}

constexpr auto kNoLimit = std::nullopt;
constexpr unsigned kMaxUnsigned = std::numeric_limits<unsigned>::max();

TEST(CgroupParseTest, CpuMax) {
  const struct {
    const char* text;
    std::optional<unsigned> want;
  } cases[] = {
      {"max 100000", kNoLimit},
      {"max 100000\n", kNoLimit},
      {"150000 100000", 2},
      {"50000 100000", 1},
      {"200000 100000", 2},
      {"200001 100000\n", 3},
      {"1000 100000", 1},
      {"9000000000000 1000", kMaxUnsigned},
      {"", kNoLimit},
      {"max", kNoLimit},
      {"150000", kNoLimit},
      {"abc 100000", kNoLimit},
      {"150000 abc", kNoLimit},
      {"1.5 1", kNoLimit},
      {"150000 0", kNoLimit},
      {"0 100000", kNoLimit},
      {"-5 100000", kNoLimit},
      {"150000 100000 7", kNoLimit},
      {"99999999999999999999 100000", kNoLimit},
  };
  for (const auto& c : cases) EXPECT_EQ(detail::parse_cpu_max(c.text), c.want) << '"' << c.text << '"';
}

TEST(CgroupParseTest, CfsQuota) {
  const struct {
    const char* quota;
    const char* period;
    std::optional<unsigned> want;
  } cases[] = {
      {"-1\n", "100000\n", kNoLimit},
      {"150000\n", "100000\n", 2},
      {"50000", "100000", 1},
      {"200000", "100000", 2},
      {"250000", "100000", 3},
      {"", "100000", kNoLimit},
      {"100000", "", kNoLimit},
      {"100000", "0", kNoLimit},
      {"x", "100000", kNoLimit},
      {"100000", "-100000", kNoLimit},
  };
  for (const auto& c : cases)
    EXPECT_EQ(detail::parse_cfs_quota(c.quota, c.period), c.want) << c.quota << " / " << c.period;
}

// A throwaway directory standing in for the file system root, holding fake /proc and /sys/fs/cgroup files.
class FakeRoot {
 public:
  FakeRoot() {
    char name[] = "/tmp/vantrel_cgroup_XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~FakeRoot() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  const std::string& path() const { return path_; }
  void write(const std::string& relative, const std::string& text) const {
    const std::filesystem::path file = path_ + "/" + relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

 private:
  std::string path_;
};

TEST(CgroupParseTest, FindsTheLimitOfTheProcessCgroup) {
  const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
  const struct {
    const char* name;
    std::string cgroup;
    std::string mountinfo;
    std::map<std::string, std::string> files;
    std::optional<unsigned> want;
  } cases[] = {
      {"v2: an ancestor's smaller quota wins, a sibling's is ignored",
       "0::/a/b\n",
       v2_mount,
       {{"sys/fs/cgroup/a/b/cpu.max", "400000 100000\n"},
        {"sys/fs/cgroup/a/cpu.max", "250000 100000\n"},
        {"sys/fs/cgroup/a/c/cpu.max", "100000 100000\n"}},
       3},
      {"v2: own quota below the parent's",
       "0::/a/b\n",
       v2_mount,
       {{"sys/fs/cgroup/a/b/cpu.max", "50000 100000\n"}, {"sys/fs/cgroup/a/cpu.max", "max 100000\n"}},
       1},
      {"v2: no quota anywhere",
       "0::/a\n",
       v2_mount,
       {{"sys/fs/cgroup/a/cpu.max", "max 100000\n"}},
       kNoLimit},
      {"v1: cpu,cpuacct mounted at the container's own cgroup",
       "12:pids:/docker/x\n4:cpu,cpuacct:/docker/x\n1:name=systemd:/docker/x\n",
       "40 32 0:37 /docker/x /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n",
       {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "150000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
        // Where the files would be if the mount root were not taken off the path.
        {"sys/fs/cgroup/cpu,cpuacct/docker/x/cpu.cfs_quota_us", "50000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/docker/x/cpu.cfs_period_us", "100000\n"}},
       2},
      {"v1: nested below the mount's root",
       "4:cpu,cpuacct:/docker/x/job\n",
       "40 32 0:37 /docker/x /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n",
       {{"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "300000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "150000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/docker/x/job/cpu.cfs_quota_us", "50000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/docker/x/job/cpu.cfs_period_us", "100000\n"}},
       2},
      {"v1: a mount of another cgroup does not hold ours",
       "4:cpu:/docker/xy\n",
       "40 32 0:37 /docker/x /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
       {{"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu/y/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu/y/cpu.cfs_period_us", "100000\n"}},
       kNoLimit},
      {"v1: cpuacct alone is not the cpu controller",
       "3:cpuacct:/\n",
       "34 32 0:31 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n",
       {{"sys/fs/cgroup/cpuacct/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpuacct/cpu.cfs_period_us", "100000\n"}},
       kNoLimit},
      {"v1: unlimited quota",
       "1:cpu:/\n",
       "33 32 0:30 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
       {{"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n"}, {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
       kNoLimit},
      {"hybrid: v1 cpu quota, unified hierarchy without the cpu controller",
       "1:cpu:/\n0::/\n",
       "33 32 0:30 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
       "42 32 0:39 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
       {{"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"}, {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
       2},
      {"no cgroup mount at all", "0::/a\n", "", {{"sys/fs/cgroup/a/cpu.max", "100000 100000\n"}}, kNoLimit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRoot root;
    ASSERT_FALSE(root.path().empty());
    root.write("proc/self/cgroup", c.cgroup);
    root.write("proc/self/mountinfo", c.mountinfo);
    for (const auto& [file, text] : c.files) root.write(file, text);
    EXPECT_EQ(detail::cgroup_cpu_limit(root.path()), c.want);
  }
  FakeRoot empty;
  EXPECT_EQ(detail::cgroup_cpu_limit(empty.path()), kNoLimit) << "no /proc files";
}

}  // namespace
}  // namespace vantrel
