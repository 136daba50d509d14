#include "mosaickit/memory_budget.h"

#include <utility>

namespace mosaickit {

MemoryBudget::MemoryBudget(Scope scope, uint64_t limit, MemoryBudget* parent)
    : scope_(scope), limit_(limit), parent_(parent) {}

const MemoryBudget* MemoryBudget::tryCharge(uint64_t bytes) {
  if (!takeHere(bytes)) return this;
  if (parent_ != nullptr) {
    if (const MemoryBudget* refused = parent_->tryCharge(bytes)) {
      used_.fetch_sub(bytes, std::memory_order_relaxed);
      return refused;
    }
  }
  return nullptr;
}

void MemoryBudget::release(uint64_t bytes) {
  used_.fetch_sub(bytes, std::memory_order_relaxed);
  if (parent_ != nullptr) parent_->release(bytes);
}

// Adds `bytes` unless that would pass the limit; concurrent charges never overshoot it together.
bool MemoryBudget::takeHere(uint64_t bytes) {
  uint64_t current = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ - current) return false;
  } while (!used_.compare_exchange_weak(current, current + bytes, std::memory_order_relaxed));
  return true;
}

LimitError MemoryBudget::refusal(const std::string& what, uint64_t bytes, ErrorCode jobCode) const {
  const bool ofJob = scope_ == Scope::job;
  return LimitError(ofJob ? jobCode : ErrorCode::busy,
                    what + " need " + std::to_string(used() + bytes) + " bytes, over " +
                        std::to_string(limit_) + (ofJob ? " for one job" : " for all jobs"));
}

MemoryCharge::MemoryCharge(std::shared_ptr<MemoryBudget> budget, uint64_t bytes,
                           const std::string& what, ErrorCode jobCode) {
  if (!budget) return;
  if (const MemoryBudget* refused = budget->tryCharge(bytes)) {
    throw refused->refusal(what, bytes, jobCode);
  }
  budget_ = std::move(budget);
  bytes_ = bytes;
}

MemoryCharge::~MemoryCharge() {
  releaseAll();
}

MemoryCharge::MemoryCharge(MemoryCharge&& other) noexcept
    : budget_(std::move(other.budget_)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryCharge& MemoryCharge::operator=(MemoryCharge&& other) noexcept {
  if (this != &other) {
    releaseAll();
    budget_ = std::move(other.budget_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void MemoryCharge::releaseAll() {
  if (budget_) budget_->release(bytes_);
  budget_.reset();
  bytes_ = 0;
}

}  // namespace mosaickit
