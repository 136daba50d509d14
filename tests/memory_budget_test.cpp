#include "mosaickit/memory_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace mosaickit {
namespace {

using Scope = MemoryBudget::Scope;

// A charge counts against the job and the daemon together, and a refusal by either leaves both
// as they were; the refusal says whose limit it was.
TEST(MemoryBudget, ChargesBothOrNeitherAndNamesWhoRefused) {
  struct Case {
    const char* name;
    uint64_t jobLimit, daemonLimit, held, asked;
    bool taken;
    ErrorCode code;
    std::string message;
  };
  const Case cases[] = {
      {"within both", 100, 200, 40, 60, true, {}, {}},
      {"over the job's", 100, 200, 40, 61, false, ErrorCode::decode,
       "decoded pictures need 101 bytes, over 100 for one job"},
      {"over the daemon's", 100, 90, 40, 60, false, ErrorCode::busy,
       "decoded pictures need 100 bytes, over 90 for all jobs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBudget daemon(Scope::daemon, c.daemonLimit);
    auto job = std::make_shared<MemoryBudget>(Scope::job, c.jobLimit, &daemon);
    const MemoryCharge held(job, c.held, "decoded pictures", ErrorCode::decode);
    try {
      const MemoryCharge asked(job, c.asked, "decoded pictures", ErrorCode::decode);
      EXPECT_TRUE(c.taken);
      EXPECT_EQ(job->used(), c.held + c.asked);
      EXPECT_EQ(daemon.used(), c.held + c.asked);
    } catch (const LimitError& e) {
      EXPECT_FALSE(c.taken);
      EXPECT_EQ(e, JobError(c.code, c.message));
    }
    EXPECT_EQ(job->used(), c.held);
    EXPECT_EQ(daemon.used(), c.held);
  }
}

TEST(MemoryBudget, AChargeGivesItsBytesBackOnceWhereverItEnds) {
  MemoryBudget daemon(Scope::daemon, 100);
  auto job = std::make_shared<MemoryBudget>(Scope::job, 100, &daemon);
  {
    MemoryCharge first(job, 30, "x", ErrorCode::decode);
    MemoryCharge moved(std::move(first));
    MemoryCharge assigned(job, 20, "x", ErrorCode::decode);
    assigned = std::move(moved);  // gives back the 20 it held
    EXPECT_EQ(daemon.used(), 30u);
    EXPECT_EQ(assigned.bytes(), 30u);
  }
  EXPECT_EQ(daemon.used(), 0u);
  EXPECT_EQ(job->used(), 0u);
  const MemoryCharge none(nullptr, 1u << 30, "x", ErrorCode::decode);
  EXPECT_EQ(none.bytes(), 0u);
}

// Threads charging at once never take the daemon past its limit together.
TEST(MemoryBudget, ConcurrentChargesNeverPassTheLimit) {
  constexpr uint64_t limit = 1000;
  MemoryBudget daemon(Scope::daemon, limit);
  std::atomic<uint64_t> granted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      auto job = std::make_shared<MemoryBudget>(Scope::job, limit, &daemon);
      for (int k = 0; k < 5000; ++k) {
        if (job->tryCharge(1) == nullptr) {
          ++granted;
          EXPECT_LE(daemon.used(), limit);
        }
        if (k % 7 == 0 && job->used() > 0) job->release(1);
      }
      job->release(job->used());
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_GE(granted.load(), limit);
  EXPECT_EQ(daemon.used(), 0u);
}

}  // namespace
}  // namespace mosaickit
