// Memory that a job's declarations can grow (decoded pictures, scaled pictures, canvases),
// counted against limits so that no stream and no set of jobs can take more than the daemon was
// given. A job has a budget of its own whose parent is the daemon's: every charge counts against
// both, and is refused whole when either would pass its limit.
//
// A refusal is a LimitError, a JobError that names the bytes and the limit. Its code says whose
// limit it was: the job's own (the job asks for more than any job may have: the code the caller
// names) or the daemon's (the other jobs in flight hold the rest: busy, so the parent may send the
// job again later).
//
// Thread-safety: MemoryBudget has internal synchronisation: charges and releases may come from
// any number of threads at once. A MemoryCharge belongs to one thread at a time.

#ifndef MOSAICKIT_MEMORY_BUDGET_H_
#define MOSAICKIT_MEMORY_BUDGET_H_

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "mosaickit/protocol.h"

namespace mosaickit {

// A refusal by one of the daemon's own limits (a memory budget, the largest picture it decodes).
// Unlike a failed decode it does not go away on a second try with a new session: the decoder
// passes it on at once, without its retry.
class LimitError : public JobError {
 public:
  using JobError::JobError;
};

class MemoryBudget {
 public:
  enum class Scope { job, daemon };

  static constexpr uint64_t unlimited = std::numeric_limits<uint64_t>::max();

  // REQUIRES: `parent`, when given, outlives this budget and every charge against it.
  MemoryBudget(Scope scope, uint64_t limit, MemoryBudget* parent = nullptr);
  ~MemoryBudget() = default;
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Counts `bytes` against this budget and every one above it. Returns nullptr when all took
  // them, or the budget that refused; nothing is counted anywhere then.
  const MemoryBudget* tryCharge(uint64_t bytes);
  // Gives back bytes that tryCharge took. REQUIRES: bytes <= used().
  void release(uint64_t bytes);

  // The LimitError for a refused charge of `bytes` for `what` ("decoded pictures"):
  // what + " need " + B + " bytes, over " + N + " for one job" (or "for all jobs"), where B is
  // what the refusing budget would have held and N its limit. Code: `jobCode` for a job's
  // budget, busy for the daemon's.
  LimitError refusal(const std::string& what, uint64_t bytes, ErrorCode jobCode) const;

  Scope scope() const { return scope_; }
  uint64_t limit() const { return limit_; }
  uint64_t used() const { return used_.load(std::memory_order_relaxed); }

 private:
  bool takeHere(uint64_t bytes);

  const Scope scope_;
  const uint64_t limit_;
  MemoryBudget* const parent_;
  std::atomic<uint64_t> used_{0};
};

// How the daemon divides the most memory it may take (its bound): half of it is the budget of
// all jobs together (decoded pictures, scaled pictures, canvases), of which one job may have
// three quarters; a sixteenth is for idle pooled decoders. The rest is what no budget counts:
// payloads (a 64 MiB frame is held twice while it is parsed), the decoders' own tables, replies
// on their way out, the libraries.
struct MemoryPlan {
  uint64_t allJobs = 0;
  uint64_t oneJob = 0;
  uint64_t idleDecoders = 0;

  static MemoryPlan forBound(uint64_t bound) { return {bound / 2, bound * 3 / 8, bound / 16}; }
};

// Bytes held against a budget for as long as the charge lives: its destructor gives them back.
// Keeps the budget alive meanwhile. Move-only; an empty charge holds nothing.
class MemoryCharge {
 public:
  MemoryCharge() = default;
  // Takes `bytes` from `budget` (and its parents), or throws budget->refusal(what, bytes,
  // jobCode) from whichever budget refused. A null budget charges nothing and never throws.
  MemoryCharge(std::shared_ptr<MemoryBudget> budget, uint64_t bytes, const std::string& what,
               ErrorCode jobCode);
  ~MemoryCharge();
  MemoryCharge(MemoryCharge&& other) noexcept;
  MemoryCharge& operator=(MemoryCharge&& other) noexcept;
  MemoryCharge(const MemoryCharge&) = delete;
  MemoryCharge& operator=(const MemoryCharge&) = delete;

  uint64_t bytes() const { return bytes_; }

 private:
  void releaseAll();

  std::shared_ptr<MemoryBudget> budget_;
  uint64_t bytes_ = 0;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_MEMORY_BUDGET_H_
