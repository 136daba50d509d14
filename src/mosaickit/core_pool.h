// The process's cores, shared among the jobs in flight. Each job counts one core, the one its
// worker thread runs on; the cores that no job counts are lent to jobs that can split their work,
// as helper threads. One job alone on N cores then decodes on N threads, while four jobs on two
// cores each keep to their own thread, as if there were no pool.
//
// The helper threads are made once, with the pool, and wait between jobs; nothing on a job's path
// makes a thread.
//
// Thread-safety: every operation may be called from any thread at once.

#ifndef MOSAICKIT_CORE_POOL_H_
#define MOSAICKIT_CORE_POOL_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace mosaickit {

class CorePool {
 public:
  // The cores this process may run on: its CPU affinity (a container's or taskset's limit), at
  // least 1.
  static int affinityCores();

  // Makes cores - 1 helper threads. REQUIRES: cores >= 1.
  explicit CorePool(int cores);
  // Stops and joins the helpers. REQUIRES: no lease is held.
  ~CorePool();

  CorePool(const CorePool&) = delete;
  CorePool& operator=(const CorePool&) = delete;

  int cores() const { return cores_; }

  // A job in flight: counts one core from construction to destruction.
  class Job {
   public:
    explicit Job(CorePool& pool);
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

   private:
    CorePool& pool_;
  };

  // Helper threads lent to one job: as many as were free when it was made, up to the number
  // asked for (the cores that neither a job in flight nor another job's helpers hold), and held
  // until it goes away. A job learns how many it has before it splits its work.
  class Lease {
   public:
    // Lends up to `helpers` helper threads of `pool` (possibly none).
    Lease(CorePool& pool, int helpers);
    ~Lease();  // gives the helpers back
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    int helpers() const { return helpers_; }
    // Runs `task` on the calling thread and, at the same time, on every lent helper; returns
    // once every run has returned. The runs share whatever work `task` pulls; `task` must not
    // throw. At most once per lease.
    void run(const std::function<void()>& task);

   private:
    CorePool& pool_;
    int helpers_ = 0;
  };

  // Lease(*this, helpers).run(task), returning the number of helpers that ran it.
  int shareWork(int helpers, const std::function<void()>& task);

  // How many helpers have been lent since the pool was made (tests, diagnostics).
  uint64_t helperRuns();

 private:
  struct Assignment;

  void helperLoop();

  const int cores_;
  std::mutex mutex_;
  std::condition_variable assigned_;
  int jobs_ = 0;  // jobs in flight
  int lent_ = 0;  // helpers running a job's task
  uint64_t granted_ = 0;
  bool stopping_ = false;
  std::deque<Assignment*> queue_;
  std::vector<std::thread> helpers_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_CORE_POOL_H_
