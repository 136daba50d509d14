#include "mosaickit/decoder_cache.h"

#include "mosaickit/annexb.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <utility>

namespace mosaickit {
namespace {

// FNV-1a over the bytes fed to it, in order.
class ByteHasher {
 public:
  void bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
      hash_ = (hash_ ^ p[i]) * 1099511628211ULL;
    }
  }
  void word(size_t value) { bytes(&value, sizeof value); }
  size_t value() const { return static_cast<size_t>(hash_); }

 private:
  uint64_t hash_ = 14695981039346656037ULL;
};

JobError decodeError(std::string message) {
  return JobError(ErrorCode::decode, std::move(message));
}

}  // namespace

// --- Decoder ----------------------------------------------------------------------------------

// The state of one decode call.
struct Decoder::Run {
  std::span<const DecodeInput> units;
  const PictureSink& onPicture;
  bool intraOnly;
  std::shared_ptr<MemoryBudget> budget;
  // Positions submitted to some session whose picture has not come out yet.
  std::set<size_t> pending;
  // Positions that have had their one retry.
  std::set<size_t> retried;
};

// A failed attempt: the access unit it is blamed on and the attempt's message.
struct Decoder::Failure {
  size_t position;
  std::string message;
};

Decoder::Decoder(DecoderKey key)
    : key_(std::move(key)),
      format_(makeFormat(key_.codec, key_.paramSets)),
      session_(std::in_place, format_) {}

Decoder::~Decoder() = default;

bool Decoder::allRandomAccess(Codec codec, std::span<const DecodeInput> units) {
  return std::ranges::all_of(
      units, [codec](const DecodeInput& unit) { return isRandomAccessSample(codec, unit.data); });
}

void Decoder::decode(std::span<const DecodeInput> units, const PictureSink& onPicture,
                     std::shared_ptr<MemoryBudget> budget, std::optional<bool> intraOnly) {
  // A run of random access points only, as a recorder's keyframe grids are, has no picture that
  // another predicts from: the in-loop filters can go without any drift, and their cost with it.
  Run run{
      units, onPicture, intraOnly.value_or(allRandomAccess(key_.codec, units)), std::move(budget),
      {},    {}};
  startRun(run);
  for (const DecodeInput& unit : units) submit(run, unit);
  finish(run);
  idleBytes_ = session_->idleBytes();
  session_->flush();
}

void Decoder::startRun(const Run& run) {
  session_->setIntraOnly(run.intraOnly);
  session_->setBudget(run.budget);
}

// Submits one access unit, with the retry rule on failure.
void Decoder::submit(Run& run, const DecodeInput& unit) {
  if (std::optional<Failure> failure = sendAndCollect(run, unit)) recover(run, *failure);
}

// Drains the session and checks that every access unit got its picture; a unit left without
// one is a failure like any other and gets its retry.
void Decoder::finish(Run& run) {
  for (;;) {
    std::optional<Failure> failure = drain(run);
    if (!failure && !run.pending.empty()) {
      failure = Failure{*run.pending.begin(), "decoder returned no image"};
    }
    if (!failure) return;
    recover(run, *failure);
  }
}

std::optional<Decoder::Failure> Decoder::sendAndCollect(Run& run, const DecodeInput& unit) {
  try {
    session_->send(unit.data, static_cast<int64_t>(unit.position));
  } catch (const LimitError&) {
    throw;
  } catch (const JobError& e) {
    return Failure{unit.position, e.message()};
  }
  run.pending.insert(unit.position);
  return collect(run);
}

std::optional<Decoder::Failure> Decoder::drain(Run& run) {
  if (run.pending.empty()) return std::nullopt;
  try {
    session_->sendEnd();
  } catch (const LimitError&) {
    throw;
  } catch (const JobError& e) {
    return Failure{*run.pending.begin(), e.message()};
  }
  return collect(run);
}

// Takes every picture the session releases now and hands those of waiting units to the sink.
// A damaged picture fails its own unit; a failed receive is blamed on the oldest waiting unit
// (the decoder releases pictures of older units first).
std::optional<Decoder::Failure> Decoder::collect(Run& run) {
  for (;;) {
    std::optional<TaggedPicture> out;
    try {
      out = session_->receive();
    } catch (const LimitError&) {
      throw;
    } catch (const JobError& e) {
      if (run.pending.empty()) return std::nullopt;
      return Failure{*run.pending.begin(), e.message()};
    }
    if (!out) return std::nullopt;
    if (out->tag < 0 || !run.pending.contains(static_cast<size_t>(out->tag))) continue;
    const auto position = static_cast<size_t>(out->tag);
    if (out->damage != 0) return Failure{position, "decode status " + std::to_string(out->damage)};
    if (!out->complete) return Failure{position, "decoder returned an incomplete picture"};
    run.pending.erase(position);
    run.onPicture(position, std::move(out->picture));
  }
}

// First failure of a unit: keep what the old session still holds for other units, make a new
// session and submit the unit again. Second failure: give up.
void Decoder::recover(Run& run, const Failure& failure) {
  if (!run.retried.insert(failure.position).second) {
    throw decodeError(failure.message + " (after retry)");
  }
  salvage(run, failure.position);
  rebuild(run, failure);
  const auto unit =
      std::ranges::lower_bound(run.units, failure.position, {}, &DecodeInput::position);
  submit(run, *unit);
}

// Drains the failing session for the pictures it holds back for other units. Whatever goes wrong
// here only ends the salvage: units still waiting afterwards fail at the end of the run.
void Decoder::salvage(Run& run, size_t failedPosition) {
  run.pending.erase(failedPosition);
  try {
    session_->sendEnd();
    for (;;) {
      std::optional<TaggedPicture> out = session_->receive();
      if (!out) return;
      if (out->tag < 0 || out->damage != 0 || !out->complete) continue;
      const auto position = static_cast<size_t>(out->tag);
      if (run.pending.erase(position) == 1) run.onPicture(position, std::move(out->picture));
    }
  } catch (const JobError&) {
  }
}

void Decoder::rebuild(Run& run, const Failure& failure) {
  session_.reset();
  try {
    session_.emplace(format_);
  } catch (const JobError&) {
    throw decodeError(failure.message + "; recreate failed");
  }
  startRun(run);
}

// --- DecoderCache -----------------------------------------------------------------------------

double DecoderCache::uptimeSeconds() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

DecoderCache::DecoderCache(size_t cap, double idleTimeout, Clock now, uint64_t idleBytes)
    : cap_(cap), idleTimeout_(idleTimeout), now_(std::move(now)), idleBytes_(idleBytes) {}

DecoderCache::~DecoderCache() = default;

std::unique_ptr<Decoder> DecoderCache::checkout(const DecoderKey& key) {
  DecoderList expired;
  std::unique_ptr<Decoder> found;
  {
    std::lock_guard lock(mutex_);
    expired = takeExpired();
    const auto newest = std::find_if(idle_.rbegin(), idle_.rend(),
                                     [&](const auto& decoder) { return decoder->key() == key; });
    if (newest != idle_.rend()) {
      found = std::move(*newest);
      idle_.erase(std::next(newest).base());
    }
    ++inUse_;
  }
  close(std::move(expired));
  if (found) return found;
  try {
    return std::make_unique<Decoder>(key);
  } catch (...) {
    std::lock_guard lock(mutex_);
    --inUse_;
    throw;
  }
}

void DecoderCache::checkin(std::unique_ptr<Decoder> decoder) {
  DecoderList evict;
  {
    std::lock_guard lock(mutex_);
    --inUse_;
    decoder->setLastUsed(now_());
    idle_.push_back(std::move(decoder));
    evict = takeExpired();
    while (!idle_.empty() && (cap_ < idle_.size() + inUse_ || overBudget())) {
      evict.push_back(std::move(idle_.front()));
      idle_.erase(idle_.begin());
    }
  }
  close(std::move(evict));
}

void DecoderCache::discard(std::unique_ptr<Decoder> decoder) {
  {
    std::lock_guard lock(mutex_);
    --inUse_;
  }
  decoder.reset();
}

void DecoderCache::sweep() {
  DecoderList expired;
  {
    std::lock_guard lock(mutex_);
    expired = takeExpired();
  }
  close(std::move(expired));
}

size_t DecoderCache::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

size_t DecoderCache::inUseCount() const {
  std::lock_guard lock(mutex_);
  return inUse_;
}

// Moves the idle decoders whose age exceeds the timeout out of the list, keeping the others in
// order. Nothing is closed here: the caller closes them once the lock is released.
DecoderCache::DecoderList DecoderCache::takeExpired() {
  const double t = now_();
  DecoderList expired;
  for (auto& decoder : idle_) {
    if (idleTimeout_ < t - decoder->lastUsed()) expired.push_back(std::move(decoder));
  }
  std::erase(idle_, nullptr);
  return expired;
}

bool DecoderCache::overBudget() const {
  uint64_t total = 0;
  for (const auto& decoder : idle_) total += decoder->idleBytes();
  return total > idleBytes_;
}

// Closing a decoder frees its session; it runs outside the lock, in list order.
void DecoderCache::close(DecoderList decoders) {
  for (auto& decoder : decoders) decoder.reset();
}

}  // namespace mosaickit

size_t std::hash<mosaickit::DecoderKey>::operator()(
    const mosaickit::DecoderKey& key) const noexcept {
  mosaickit::ByteHasher hasher;
  const auto codec = static_cast<uint8_t>(key.codec);
  hasher.bytes(&codec, 1);
  hasher.word(key.paramSets.size());
  for (const mosaickit::Bytes& set : key.paramSets) {
    hasher.word(set.size());
    hasher.bytes(set.data(), set.size());
  }
  return hasher.value();
}
