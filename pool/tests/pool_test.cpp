// The pool: every index once at every nesting level, pools waiting on each other, background loops, and the cores
// query.
#include "cores.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zorva {
namespace {

std::shared_ptr<Pool> startPool(std::size_t threads) {
  auto started = Pool::start(threads);
  EXPECT_FALSE(std::holds_alternative<std::string>(started)) << "could not start " << threads << " threads";
  return std::holds_alternative<std::string>(started) ? nullptr : std::get<std::shared_ptr<Pool>>(started);
}

// Bounded wait for something that happens "eventually"; never a timing check.
template <typename Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

using Columns = std::vector<std::vector<std::uint64_t>>;
// An array, not a vector: detached callers still read it while the process exits.
constexpr std::array<std::size_t, 10> kColumnSizes = {0, 1, 2, 255, 256, 3000, 7, 20000, 1, 999};

// A chunk-shaped job: columns in parallel, each column's values split again
// on the same pool, or on whatever pool is current when `reread`.
Columns maskColumns(const std::shared_ptr<Pool>& pool, bool reread = false) {
  Columns out(kColumnSizes.size());
  parallelFor(pool, out.size(), [&](std::size_t b, std::size_t e) {
    for (std::size_t c = b; c < e; ++c) {
      out[c].assign(kColumnSizes[c], 0);
      parallelFor(reread ? currentPool() : pool, kColumnSizes[c], [&, c](std::size_t vb, std::size_t ve) {
        for (std::size_t v = vb; v < ve; ++v) out[c][v] = (c * 1000003 + v) * 0xff51afd7ed558ccdull;
      });
    }
  });
  return out;
}

const Columns& expected() {
  static const Columns columns = maskColumns(nullptr);
  return columns;
}

// Pool sizes, each with free helping and with every wait on the bounded path
// that deep waits take (help depth 0).
class PoolSizes : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {
 protected:
  void SetUp() override {
    previous_ = setFreeHelpDepth(0);
    if (!std::get<1>(GetParam())) setFreeHelpDepth(previous_);
    pool_ = startPool(std::get<0>(GetParam()));
    ASSERT_TRUE(pool_);
  }
  void TearDown() override { setFreeHelpDepth(previous_); }
  unsigned previous_ = 0;
  std::shared_ptr<Pool> pool_;
};

TEST_P(PoolSizes, EveryIndexOnceAtEveryNestingLevel) {
  EXPECT_EQ(pool_->size(), std::get<0>(GetParam()));
  EXPECT_FALSE(pool_->isCurrentWorker());
  for (std::size_t n : {0, 1, 2, 3, 7, 8, 9, 100, 10007}) {
    std::vector<std::atomic<int>> hits(n);
    std::atomic<bool> badRange{false};
    pool_->parallelFor(n, [&](std::size_t b, std::size_t e) {
      if (b >= e || e > n) badRange = true;
      for (std::size_t i = b; i < e && i < n; ++i) hits[i].fetch_add(1);
    });
    EXPECT_FALSE(badRange) << "n=" << n;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
  }
  // Three levels of nesting from inside a worker.
  std::vector<std::atomic<int>> hits(6 * 7 * 300);
  pool_->parallelFor(6, [&](std::size_t a, std::size_t) {
    EXPECT_TRUE(pool_->isCurrentWorker());
    pool_->parallelFor(7, [&](std::size_t b, std::size_t) {
      pool_->parallelFor(300, [&](std::size_t c0, std::size_t c1) {
        for (std::size_t c = c0; c < c1; ++c) hits[(a * 7 + b) * 300 + c].fetch_add(1);
      });
    });
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  for (int round = 0; round < 5; ++round) EXPECT_EQ(maskColumns(pool_), expected());
}

// The lone worker of `outer` waits for a job on `inner` whose bodies call back
// into `outer`: only that waiting worker can run them. Meanwhile callers of
// their own share the pool under test.
TEST_P(PoolSizes, PoolsAndCallersWaitingOnEachOtherComplete) {
  auto outer = startPool(1);
  ASSERT_TRUE(outer);
  std::vector<std::atomic<int>> hits(4 * 5 * 64);
  outer->parallelFor(4, [&](std::size_t a, std::size_t) {
    pool_->parallelFor(5, [&](std::size_t b, std::size_t) {
      outer->parallelFor(64, [&](std::size_t c0, std::size_t c1) {
        for (std::size_t c = c0; c < c1; ++c) hits[(a * 5 + b) * 64 + c].fetch_add(1);
      });
    });
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 5; ++round) mismatches += maskColumns(pool_) != expected();
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(mismatches, 0);
}

TEST_P(PoolSizes, AThrowingBodyIsRethrownAfterEveryPieceFinished) {
  std::atomic<std::size_t> visited{0};
  const auto body = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      visited.fetch_add(1);
      if (i == 17) throw std::runtime_error("value 17");
    }
  };
  EXPECT_THROW(parallelFor(pool_, 5000, body), std::runtime_error);
  // Nothing may still be running on the caller's captures once it returns.
  const std::size_t seen = visited.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(visited.load(), seen);
}

// Loops in the background while the caller runs chunk-shaped jobs of its
// own; several at once from one thread, joined out of order, by wait() or by
// the destructor, and with no pool or from a worker (both run at once).
TEST_P(PoolSizes, BackgroundLoopsRunWhileTheCallerGoesOn) {
  constexpr std::size_t kLoops = 4, kIndices = 5000;
  std::vector<std::vector<std::atomic<int>>> hits(kLoops);
  for (auto& h : hits) h = std::vector<std::atomic<int>>(kIndices);
  auto body = [&](std::size_t loop) {
    return [&hits, loop](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) hits[loop][i].fetch_add(1);
    };
  };
  {
    std::vector<std::unique_ptr<BackgroundFor>> loops;
    for (std::size_t l = 0; l < kLoops; ++l)
      loops.push_back(std::make_unique<BackgroundFor>(l == 1 ? nullptr : pool_, kIndices, body(l), 64));
    EXPECT_EQ(maskColumns(pool_), expected());
    loops[2]->wait();
    loops[2]->wait();
    for (auto& h : hits[2]) ASSERT_EQ(h.load(), 1);
    BackgroundFor empty(pool_, 0, [](std::size_t, std::size_t) { std::abort(); });
  }
  for (auto& loop : hits)
    for (auto& h : loop) ASSERT_EQ(h.load(), 1);
  std::atomic<int> inner{0};
  // From a worker the loop runs whole at construction.
  pool_->parallelFor(3, [&](std::size_t, std::size_t) {
    BackgroundFor nested(pool_, 10, [&](std::size_t vb, std::size_t ve) { inner += static_cast<int>(ve - vb); });
    EXPECT_EQ(inner.load() % 10, 0);
  });
  EXPECT_EQ(inner.load(), 30);
}

INSTANTIATE_TEST_SUITE_P(Threads, PoolSizes, ::testing::Combine(::testing::Values(1, 2, 8), ::testing::Bool()));

// A loop started inside a worker reaches the idle worker: its first body call
// returns, every later one waits until a second thread has run a body call.
// With nobody taking the queued half, the caller would wait forever.
TEST(Pool, ALoopStartedInsideAWorkerIsSharedWithTheIdleWorker) {
  auto pool = startPool(2);
  ASSERT_TRUE(pool);
  for (int round = 0; round < 20; ++round) {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<std::atomic<int>> hits(1000);
    std::atomic<bool> timedOut{false};
    pool->parallelFor(1, [&](std::size_t, std::size_t) {
      pool->parallelFor(hits.size(), [&](std::size_t b, std::size_t e) {
        bool first;
        {
          std::lock_guard<std::mutex> lock(mutex);
          first = std::find(threads.begin(), threads.end(), std::this_thread::get_id()) == threads.end();
          if (first) threads.push_back(std::this_thread::get_id());
        }
        if (!first && !eventually([&] {
              std::lock_guard<std::mutex> lock(mutex);
              return threads.size() == 2;
            }))
          timedOut = true;
        for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
      });
    });
    ASSERT_FALSE(timedOut) << "round " << round;
    EXPECT_EQ(threads.size(), 2u);
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  }
}

TEST(Pool, JobOnAnOldPoolCallsIntoTheNewOne) {
  auto old = startPool(2);
  ASSERT_TRUE(old);
  installPool(old);
  std::atomic<bool> replaced{false};
  std::atomic<int> sawNewPool{0};
  std::vector<std::atomic<int>> hits(16 * 500);
  std::thread caller([&, pool = currentPool()] {
    pool->parallelFor(16, [&](std::size_t col, std::size_t) {
      eventually([&] { return replaced.load(); });
      auto now = currentPool();  // the new pool: this worker belongs to another
      sawNewPool += now != pool;
      parallelFor(now, 500, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) hits[col * 500 + i].fetch_add(1);
      });
    });
  });
  installPool(startPool(3));
  old.reset();
  replaced = true;
  caller.join();
  installPool(nullptr);
  EXPECT_EQ(sawNewPool, 16);
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(Pool, ReplacingThePoolWhileJobsRunLetsOldThreadsExit) {
  installPool(startPool(4));
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    // Inner loops read the current pool again, so they may land on a newer one.
    callers.emplace_back([&] {
      while (!stop) mismatches += maskColumns(currentPool(), true) != expected();
    });
  }
  for (std::size_t round = 0; round < 20; ++round) installPool(round % 5 == 4 ? nullptr : startPool(2 + round % 3));
  stop = true;
  for (auto& c : callers) c.join();
  installPool(nullptr);
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(eventually([] { return liveWorkerThreads() == 0; })) << liveWorkerThreads() << " still running";
}

// Exit runs static destructors while detached workers and callers still mask.
[[noreturn]] void exitWhileMasking() {
  installPool(startPool(2));
  static auto* rounds = new std::atomic<int>(0);  // the callers' own data must outlive exit too
  for (int t = 0; t < 2; ++t) {
    std::thread([] {
      for (;;) {
        maskColumns(currentPool());
        rounds->fetch_add(1);
      }
    }).detach();
  }
  eventually([] { return rounds->load() >= 4; });
  std::exit(0);
}

TEST(PoolDeathTest, ExitWhileJobsRunIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitWhileMasking(), ::testing::ExitedWithCode(0), "");
}

TEST(AvailableCores, QuotaTextsRoundUp) {
  const std::pair<const char*, std::size_t> cpuMax[] = {
      {"max 100000\n", 0},  {"100000 100000\n", 1}, {"50000 100000", 1},
      {"150000 100000", 2}, {"400000 100000", 4},   {"", 0},
      {"0 100000", 0},      {"100000 0", 0},        {"abc def", 0}};
  for (auto [text, cores] : cpuMax) EXPECT_EQ(cpuCountFromCpuMax(text), cores) << text;
  EXPECT_EQ(cpuCountFromCfs("-1\n", "100000\n"), 0u);
  EXPECT_EQ(cpuCountFromCfs("250000\n", "100000\n"), 3u);
  EXPECT_EQ(cpuCountFromCfs("", "100000"), 0u);
}

}  // namespace
}  // namespace zorva
