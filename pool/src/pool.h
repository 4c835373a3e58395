// The masking pool: a process-wide work-stealing pool of named threads.
//
// No Python in here: the pool runs plain C++ jobs and is tested on its own.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace zorva {

// The most workers a pool runs: a larger request starts this many.
inline constexpr std::size_t kMaxThreads = 65535;

class Pool {
 public:
  // Starts min(threads, kMaxThreads) workers (at least 1) named
  // "zorva-mask-{index}", cut to the 15 bytes Linux allows. On failure the
  // threads already started are stopped and the reason is returned.
  static std::variant<std::shared_ptr<Pool>, std::string> start(std::size_t threads);

  // Telling the workers to stop; they finish what they run and exit on their
  // own (never joined).
  ~Pool();

  std::size_t size() const noexcept;

  // Calls body(begin, end) over disjoint ranges covering [0, n) and returns
  // when all of them are done. The range is split in halves, starting from as
  // many pieces as the pool has threads and splitting further whenever an idle
  // worker steals a piece. Callable from outside the pool (the caller waits on
  // a latch), from a worker of this pool (runs inline; the waiting worker keeps
  // executing other work, so nested calls never deadlock), and from a worker of
  // another pool (it keeps serving its own pool while it waits).
  // body must not throw (a throw ends the process). The caller keeps this Pool
  // alive for the length of the call. body is handed ranges of at most grain
  // indices (pieces are split no finer), so a body with a batch road sees
  // batches rather than single indices.
  void parallelFor(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body, std::size_t grain = 1);

  // Whether the calling thread is one of this pool's workers.
  bool isCurrentWorker() const noexcept;

  struct State;

 private:
  friend class BackgroundFor;
  explicit Pool(std::shared_ptr<State> state) noexcept;
  std::shared_ptr<State> state_;
};

// A parallelFor over [0, n) that runs while its caller goes on: handed to the
// pool on construction, joined by wait() or the destructor. Meant for threads
// outside every pool; from a pool worker (which must help rather than block),
// or with a null pool, the loop runs on the calling thread at construction.
// body must not throw, and it and everything it reads stay valid until the
// loop is joined.
class BackgroundFor {
 public:
  BackgroundFor(std::shared_ptr<Pool> pool, std::size_t n, std::function<void(std::size_t, std::size_t)> body,
                std::size_t grain = 1);
  ~BackgroundFor();
  BackgroundFor(const BackgroundFor&) = delete;
  BackgroundFor& operator=(const BackgroundFor&) = delete;
  // Returns once every index is done; at once after the first time.
  void wait() noexcept;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// POOL: the current pool, or null for "the calling thread alone".
std::shared_ptr<Pool> currentPool();
// Replaces POOL (null empties it); the old pool is released outside the lock.
void installPool(std::shared_ptr<Pool> pool);
// Runs body over [0, n) on the pool, or on the calling thread when pool is null.
// Unlike Pool::parallelFor, body may throw: the first exception is carried out
// and rethrown once every piece has finished.
void parallelFor(const std::shared_ptr<Pool>& pool, std::size_t n,
                 const std::function<void(std::size_t, std::size_t)>& body, std::size_t grain = 1);

// Masking threads of all pools that have started and not yet exited. A
// released pool's threads leave on their own, so this drops back eventually.
std::size_t liveWorkerThreads() noexcept;

// A waiting worker runs any pending work only up to this many nested waits
// (48); deeper, it takes just its own job's pieces and newly handed-in jobs,
// which bounds its stack. Returns the previous value; tests lower it to 0 to
// run everything on the bounded path.
unsigned setFreeHelpDepth(unsigned depth) noexcept;

}  // namespace zorva
