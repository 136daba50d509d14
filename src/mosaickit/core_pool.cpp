#include "mosaickit/core_pool.h"

#include <sched.h>

#include <algorithm>

namespace mosaickit {

// One call's work for the helpers it was granted: the task and how many runs are still going.
struct CorePool::Assignment {
  const std::function<void()>* task;
  int running;
  std::condition_variable done;
};

int CorePool::affinityCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(CPU_COUNT(&set), 1);
}

CorePool::CorePool(int cores) : cores_(std::max(cores, 1)) {
  for (int i = 1; i < cores_; ++i) helpers_.emplace_back([this] { helperLoop(); });
}

CorePool::~CorePool() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  assigned_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

CorePool::Job::Job(CorePool& pool) : pool_(pool) {
  std::lock_guard<std::mutex> hold(pool_.mutex_);
  ++pool_.jobs_;
}

CorePool::Job::~Job() {
  std::lock_guard<std::mutex> hold(pool_.mutex_);
  --pool_.jobs_;
}

CorePool::Lease::Lease(CorePool& pool, int helpers) : pool_(pool) {
  std::lock_guard<std::mutex> hold(pool_.mutex_);
  // A caller outside any Job still runs on a core of its own.
  const int free = pool_.cores_ - std::max(pool_.jobs_, 1) - pool_.lent_;
  helpers_ = std::clamp(helpers, 0, std::max(free, 0));
  pool_.lent_ += helpers_;
  pool_.granted_ += static_cast<uint64_t>(helpers_);
}

CorePool::Lease::~Lease() {
  std::lock_guard<std::mutex> hold(pool_.mutex_);
  pool_.lent_ -= helpers_;
}

void CorePool::Lease::run(const std::function<void()>& task) {
  Assignment assignment{&task, helpers_, {}};
  if (helpers_ > 0) {
    {
      std::lock_guard<std::mutex> hold(pool_.mutex_);
      for (int i = 0; i < helpers_; ++i) pool_.queue_.push_back(&assignment);
    }
    pool_.assigned_.notify_all();
  }
  task();
  std::unique_lock<std::mutex> hold(pool_.mutex_);
  assignment.done.wait(hold, [&] { return assignment.running == 0; });
}

int CorePool::shareWork(int helpers, const std::function<void()>& task) {
  Lease lease(*this, helpers);
  lease.run(task);
  return lease.helpers();
}

uint64_t CorePool::helperRuns() {
  std::lock_guard<std::mutex> hold(mutex_);
  return granted_;
}

void CorePool::helperLoop() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    assigned_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Assignment* assignment = queue_.front();
    queue_.pop_front();
    hold.unlock();
    (*assignment->task)();
    hold.lock();
    if (--assignment->running == 0) assignment->done.notify_all();
  }
}

}  // namespace mosaickit
