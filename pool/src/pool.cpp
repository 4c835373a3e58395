// The work-stealing pool: workers, their deques, parallel loops and the process-wide installation.
#include "pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>

namespace zorva {
namespace {

using Body = std::function<void(std::size_t, std::size_t)>;

// Linux thread names hold 15 bytes; longer ones are refused, so they are cut.
constexpr std::size_t kMaxNameBytes = 15;
// A waiting worker runs any pending work, which may itself wait and run more:
// past this many nested waits it only takes pieces of the job it waits for
// (and fresh injected jobs), so the stack stays bounded.
constexpr unsigned kFreeHelpDepth = 48;
std::atomic<unsigned> gFreeHelpDepth{kFreeHelpDepth};

// One parallelFor call. It lives on the caller's stack until `done` is seen
// under `wakeMutex`, which the finisher holds while it sets it.
struct Job {
  const Body* body = nullptr;
  std::size_t grain = 1;  // most indices per body call
  std::atomic<std::size_t> remaining{0};
  std::atomic<bool> done{false};
  std::mutex* wakeMutex = nullptr;
  std::condition_variable* wakeCv = nullptr;
};

struct Task {
  Job* job = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
};

struct Worker {
  Pool::State* state = nullptr;
  std::size_t index = 0;
  std::mutex mutex;
  std::deque<Task> tasks;            // owner works at the back, thieves at the front
  std::atomic<std::size_t> size{0};  // tasks.size(), readable without the lock
  unsigned depth = 0;                // nested waits on this thread
  std::uint64_t seed = 0;            // victim choice; owner thread only
};

// The wait latch of a thread outside every pool.
struct Latch {
  std::mutex mutex;
  std::condition_variable cv;
};

Latch& threadLatch() {
  thread_local Latch latch;
  return latch;
}

// Plain pointer and counter: nothing here is destroyed at exit while detached
// workers may still touch it.
thread_local Worker* tWorker = nullptr;
std::atomic<std::size_t> gLiveWorkers{0};

// Called by whoever completes the last index of a job.
void finish(Job& job, std::size_t count) noexcept {
  std::mutex* mutex = job.wakeMutex;
  std::condition_variable* cv = job.wakeCv;
  if (job.remaining.fetch_sub(count, std::memory_order_acq_rel) == count) {
    std::lock_guard<std::mutex> lock(*mutex);
    job.done.store(true, std::memory_order_release);
    cv->notify_all();
  }
}

std::size_t pieceBegin(std::size_t n, std::size_t pieces, std::size_t j) noexcept {
  return j * (n / pieces) + std::min(j, n % pieces);
}

}  // namespace

struct Pool::State {
  explicit State(std::size_t workerCount) : count(workerCount), workers(new Worker[workerCount]) {
    for (std::size_t i = 0; i < workerCount; ++i) {
      workers[i].state = this;
      workers[i].index = i;
      workers[i].seed = 0x9E3779B97F4A7C15ull * (i + 1);
    }
  }

  const std::size_t count;
  std::unique_ptr<Worker[]> workers;

  std::mutex injectMutex;
  std::deque<Task> injected;  // jobs handed in from outside this pool

  std::atomic<std::size_t> queued{0};    // tasks in all deques and `injected`
  std::atomic<std::size_t> idle{0};      // workers not running a task
  std::atomic<std::size_t> sleepers{0};  // workers waiting on `wake`
  std::atomic<bool> stopping{false};

  std::mutex sleepMutex;
  std::condition_variable wake;            // sleepers here can take any task
  std::condition_variable restrictedWake;  // deep waiters polling for their job

  // Wakes up to `tasks` sleepers, one per new task.
  void notifySleepers(std::size_t tasks) {
    // Pairs with the sleeper's increment of `sleepers` before it reads `queued`.
    const std::size_t asleep = sleepers.load();
    if (asleep == 0) return;
    { std::lock_guard<std::mutex> lock(sleepMutex); }
    if (tasks >= asleep) {
      wake.notify_all();
    } else {
      for (std::size_t i = 0; i < tasks; ++i) wake.notify_one();
    }
  }

  void stop() {
    stopping.store(true);
    { std::lock_guard<std::mutex> lock(sleepMutex); }
    wake.notify_all();
  }

  void push(Worker& self, Task task) {
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      self.tasks.push_back(task);
      self.size.fetch_add(1, std::memory_order_relaxed);
      queued.fetch_add(1);
    }
    notifySleepers(1);
  }

  // Appends tasks all or nothing: on a failed allocation none of them stays
  // queued, since the job they point to is about to unwind.
  template <typename Make>
  static void appendAll(std::deque<Task>& tasks, std::size_t count, Make make) {
    std::size_t pushed = 0;
    try {
      for (; pushed < count; ++pushed) tasks.push_back(make(pushed));
    } catch (...) {
      for (; pushed > 0; --pushed) tasks.pop_back();
      throw;
    }
  }

  // Pieces 1..count-1 of [0, n) go to the worker's own deque.
  void pushPieces(Worker& self, Job& job, std::size_t n, std::size_t pieces) {
    if (pieces < 2) return;
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      // Highest piece deepest, so the owner pops piece 1 next and thieves take the far end.
      appendAll(self.tasks, pieces - 1, [&](std::size_t k) {
        const std::size_t j = pieces - 1 - k;
        return Task{&job, pieceBegin(n, pieces, j), pieceBegin(n, pieces, j + 1)};
      });
      self.size.fetch_add(pieces - 1, std::memory_order_relaxed);
      queued.fetch_add(pieces - 1);
    }
    notifySleepers(pieces - 1);
  }

  void inject(Job& job, std::size_t n, std::size_t pieces) {
    {
      std::lock_guard<std::mutex> lock(injectMutex);
      appendAll(injected, pieces, [&](std::size_t j) {
        return Task{&job, pieceBegin(n, pieces, j), pieceBegin(n, pieces, j + 1)};
      });
      queued.fetch_add(pieces);
    }
    notifySleepers(pieces);
  }

  // Takes from a deque: the back for the owner, the front for a thief; with
  // `only`, just a task of that job.
  bool takeFrom(Worker& from, bool back, const Job* only, Task& out) {
    if (from.size.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> lock(from.mutex);
    auto& tasks = from.tasks;
    if (tasks.empty()) return false;
    if (only == nullptr) {
      if (back) {
        out = tasks.back();
        tasks.pop_back();
      } else {
        out = tasks.front();
        tasks.pop_front();
      }
    } else {
      auto it = std::find_if(tasks.begin(), tasks.end(), [&](const Task& t) { return t.job == only; });
      if (it == tasks.end()) return false;
      out = *it;
      tasks.erase(it);
    }
    from.size.fetch_sub(1, std::memory_order_relaxed);
    queued.fetch_sub(1);
    return true;
  }

  bool take(Worker& self, const Job* only, Task& out) {
    if (takeFrom(self, true, only, out)) return true;
    if (queued.load() == 0) return false;
    // Running jobs before new ones: pieces of started jobs first.
    if (count > 1) {
      self.seed ^= self.seed << 13;
      self.seed ^= self.seed >> 7;
      self.seed ^= self.seed << 17;
      const std::size_t start = self.seed % count;
      for (std::size_t k = 0; k < count; ++k) {
        Worker& victim = workers[(start + k) % count];
        if (&victim != &self && takeFrom(victim, false, only, out)) return true;
      }
    }
    // Injected jobs are open to restricted waiters too: nobody else may be
    // free to start them.
    std::lock_guard<std::mutex> lock(injectMutex);
    if (injected.empty()) return false;
    out = injected.front();
    injected.pop_front();
    queued.fetch_sub(1);
    return true;
  }

  // Runs a piece a grain at a time; while other workers are idle and nothing
  // of ours waits for them, the right half goes back on the deque to be stolen.
  void run(Worker& self, Task task) noexcept {
    Job& job = *task.job;
    std::size_t b = task.begin;
    std::size_t e = task.end;
    while (b < e) {
      if (e - b > job.grain && idle.load(std::memory_order_relaxed) > 0 &&
          self.size.load(std::memory_order_relaxed) == 0) {
        const std::size_t mid = b + (e - b) / 2;
        try {
          push(self, Task{&job, mid, e});
          e = mid;
          continue;
        } catch (const std::bad_alloc&) {
          // No memory for a split: keep the range whole.
        }
      }
      const std::size_t step = std::min(e - b, job.grain);
      (*job.body)(b, b + step);
      b += step;
    }
    finish(job, e - task.begin);
  }

  void runCounted(Worker& self, const Task& task) {
    idle.fetch_sub(1, std::memory_order_relaxed);
    run(self, task);
    idle.fetch_add(1, std::memory_order_relaxed);
  }

  void workerLoop(Worker& self) {
    idle.fetch_add(1, std::memory_order_relaxed);
    for (;;) {
      Task task;
      if (take(self, nullptr, task)) {
        runCounted(self, task);
        continue;
      }
      std::unique_lock<std::mutex> lock(sleepMutex);
      sleepers.fetch_add(1);
      if (queued.load() == 0) {
        if (stopping.load()) {
          sleepers.fetch_sub(1);
          break;
        }
        wake.wait(lock);
      }
      sleepers.fetch_sub(1);
    }
    idle.fetch_sub(1, std::memory_order_relaxed);
  }

  // A worker of this pool waits for `job` (of this pool or another) and keeps
  // running this pool's work meanwhile instead of blocking.
  void help(Worker& self, Job& job, bool restricted) {
    ++self.depth;
    idle.fetch_add(1, std::memory_order_relaxed);
    for (;;) {
      if (job.done.load(std::memory_order_acquire)) break;
      Task task;
      if (take(self, restricted ? &job : nullptr, task)) {
        runCounted(self, task);
        continue;
      }
      std::unique_lock<std::mutex> lock(sleepMutex);
      if (job.done.load(std::memory_order_acquire)) break;
      if (restricted) {
        // Matching pieces may appear without a signal to this cv: poll.
        restrictedWake.wait_for(lock, std::chrono::milliseconds(1));
        continue;
      }
      sleepers.fetch_add(1);
      if (queued.load() == 0) wake.wait(lock);
      sleepers.fetch_sub(1);
    }
    // The finisher sets `done` under sleepMutex and notifies before it lets
    // go; passing through the lock means it no longer touches `job`.
    { std::lock_guard<std::mutex> lock(sleepMutex); }
    // A wake-up meant for a task may have landed here as the job ended: pass it on.
    if (queued.load() > 0) notifySleepers(1);
    idle.fetch_sub(1, std::memory_order_relaxed);
    --self.depth;
  }
};

namespace {

struct StartArg {
  std::shared_ptr<Pool::State> state;
  std::size_t index;
};

std::string threadName(std::size_t index) {
  std::string name = "zorva-mask-" + std::to_string(index);
  if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
  return name;
}

extern "C" void* workerMain(void* raw) {
  std::unique_ptr<StartArg> arg(static_cast<StartArg*>(raw));
  pthread_setname_np(pthread_self(), threadName(arg->index).c_str());
  Worker& self = arg->state->workers[arg->index];
  tWorker = &self;
  arg->state->workerLoop(self);
  tWorker = nullptr;
  // The last worker out frees the state.
  arg.reset();
  gLiveWorkers.fetch_sub(1);
  return nullptr;
}

struct PoolSlot {
  std::shared_mutex lock;
  std::shared_ptr<Pool> pool;
};

// Never destroyed: jobs on detached threads may read it during exit.
PoolSlot& poolSlot() {
  static PoolSlot* slot = new PoolSlot;
  return *slot;
}

}  // namespace

std::variant<std::shared_ptr<Pool>, std::string> Pool::start(std::size_t threads) {
  const std::size_t count = std::clamp<std::size_t>(threads, 1, kMaxThreads);
  struct Attr {
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    ~Attr() {
      if (error == 0) pthread_attr_destroy(&attr);
    }
  } attr;
  if (attr.error != 0) return std::generic_category().message(attr.error);
  pthread_attr_setdetachstate(&attr.attr, PTHREAD_CREATE_DETACHED);
  std::shared_ptr<State> state;
  try {
    state = std::make_shared<State>(count);
    for (std::size_t index = 0; index < count; ++index) {
      auto arg = std::make_unique<StartArg>(StartArg{state, index});
      gLiveWorkers.fetch_add(1);
      pthread_t thread;
      if (int rc = pthread_create(&thread, &attr.attr, workerMain, arg.get()); rc != 0) {
        gLiveWorkers.fetch_sub(1);
        state->stop();
        return std::generic_category().message(rc);
      }
      arg.release();
    }
    return std::shared_ptr<Pool>(new Pool(std::move(state)));
  } catch (const std::exception& e) {
    if (state) state->stop();
    return std::string(e.what());
  }
}

Pool::Pool(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

Pool::~Pool() { state_->stop(); }

std::size_t Pool::size() const noexcept { return state_->count; }

bool Pool::isCurrentWorker() const noexcept { return tWorker != nullptr && tWorker->state == state_.get(); }

void Pool::parallelFor(std::size_t n, const Body& body, std::size_t grain) {
  if (n == 0) return;
  State& target = *state_;
  Job job;
  job.body = &body;
  job.grain = std::max<std::size_t>(grain, 1);
  job.remaining.store(n, std::memory_order_relaxed);
  const std::size_t pieces = std::min(n, target.count);

  Worker* self = tWorker;
  if (self == nullptr) {
    Latch& latch = threadLatch();
    job.wakeMutex = &latch.mutex;
    job.wakeCv = &latch.cv;
    target.inject(job, n, pieces);
    std::unique_lock<std::mutex> lock(latch.mutex);
    latch.cv.wait(lock, [&] { return job.done.load(std::memory_order_acquire); });
    return;
  }

  State& home = *self->state;
  const bool restricted = self->depth >= gFreeHelpDepth.load(std::memory_order_relaxed);
  job.wakeMutex = &home.sleepMutex;
  job.wakeCv = restricted ? &home.restrictedWake : &home.wake;
  if (&home == &target) {
    target.pushPieces(*self, job, n, pieces);
    target.run(*self, Task{&job, 0, pieceBegin(n, pieces, 1)});
  } else {
    target.inject(job, n, pieces);
  }
  home.help(*self, job, restricted);
}

struct BackgroundFor::State {
  std::shared_ptr<Pool> pool;
  Body body;
  Job job;
  bool running = false;
};

BackgroundFor::BackgroundFor(std::shared_ptr<Pool> pool, std::size_t n, Body body, std::size_t grain)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.body = std::move(body);
  if (!pool || tWorker != nullptr) {
    if (n > 0) s.body(0, n);
    return;
  }
  if (n == 0) return;
  s.pool = std::move(pool);
  Pool::State& target = *s.pool->state_;
  Latch& latch = threadLatch();
  s.job.body = &s.body;
  s.job.grain = std::max<std::size_t>(grain, 1);
  s.job.remaining.store(n, std::memory_order_relaxed);
  s.job.wakeMutex = &latch.mutex;
  s.job.wakeCv = &latch.cv;
  target.inject(s.job, n, std::min(n, target.count));  // all or nothing
  s.running = true;
}

BackgroundFor::~BackgroundFor() { wait(); }

void BackgroundFor::wait() noexcept {
  State& s = *state_;
  if (!s.running) return;
  // Several loops of one thread share its latch; the finisher of each
  // notifies all, and each waiter checks its own loop.
  std::unique_lock<std::mutex> lock(*s.job.wakeMutex);
  s.job.wakeCv->wait(lock, [&] { return s.job.done.load(std::memory_order_acquire); });
  s.running = false;
}

std::shared_ptr<Pool> currentPool() {
  PoolSlot& slot = poolSlot();
  std::shared_lock<std::shared_mutex> lock(slot.lock);
  return slot.pool;
}

void installPool(std::shared_ptr<Pool> pool) {
  PoolSlot& slot = poolSlot();
  {
    std::unique_lock<std::shared_mutex> lock(slot.lock);
    slot.pool.swap(pool);
  }
  // `pool` now holds the old one, released here outside the lock.
}

void parallelFor(const std::shared_ptr<Pool>& pool, std::size_t n, const Body& body, std::size_t grain) {
  if (!pool) {
    if (n > 0) body(0, n);
    return;
  }
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  pool->parallelFor(
      n,
      [&](std::size_t begin, std::size_t end) {
        try {
          body(begin, end);
        } catch (...) {
          if (!failed.exchange(true)) failure = std::current_exception();
        }
      },
      grain);
  if (failure) std::rethrow_exception(failure);
}

std::size_t liveWorkerThreads() noexcept { return gLiveWorkers.load(); }

unsigned setFreeHelpDepth(unsigned depth) noexcept { return gFreeHelpDepth.exchange(depth); }

}  // namespace zorva
