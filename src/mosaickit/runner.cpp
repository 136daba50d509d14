#include "mosaickit/runner.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "mosaickit/annexb.h"
#include "mosaickit/compositor.h"
#include "mosaickit/core_pool.h"
#include "mosaickit/decoder_cache.h"
#include "mosaickit/jpeg.h"
#include "mosaickit/media.h"
#include "mosaickit/sps.h"

namespace mosaickit {

namespace {

using Slots = std::vector<std::optional<BGRAImage>>;

// A result frame's length field counts its type and reqID (5 bytes), then the payload: three
// timings and the JPEG count (13 bytes), and a 4-byte length before each JPEG.
constexpr uint64_t kResultFrameBase = 5 + 13;

// The memory a job's layout fixes: every scaled picture, and the largest canvas of its levels
// with the encoder's work on it.
uint64_t layoutBytes(const Job& job, size_t referenced) {
  const uint64_t scaled = referenced * uint64_t(job.fitW) * uint64_t(job.fitH) * 4;
  uint64_t canvas = 0;
  for (const Level& level : job.levels) {
    const uint64_t w = uint64_t(level.cellsW) * uint64_t(job.cellW);
    const uint64_t h = uint64_t(level.cellsH) * uint64_t(job.cellH);
    canvas = std::max(canvas, w * h * 4);
  }
  return scaled + canvas * JobRunner::canvasWorkNumerator / JobRunner::canvasWorkDenominator;
}

uint64_t clockNanos(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// ---- segments

// A stretch of the run that decodes on its own: units [begin, end) of the run, with the
// parameter sets that the units before it brought, which go in front of its first unit.
struct Segment {
  size_t begin = 0, end = 0;
  std::vector<ByteView> setsBefore;
};

// Where the run may be cut: before every unit of a run of random access points, else before
// every IDR unit. The first unit always begins a segment.
std::vector<size_t> cutPoints(Codec codec, const std::vector<DecodeInput>& units, bool intraOnly) {
  std::vector<size_t> cuts = {0};
  for (size_t i = 1; i < units.size(); ++i) {
    if (intraOnly || isIdrSample(codec, units[i].data)) cuts.push_back(i);
  }
  return cuts;
}

// Adds the parameter sets of `unit` to `sets`, which keeps the last copy of each distinct set in
// the order of those last copies (so that a set replaced under the same id ends as it ended).
void addParameterSets(Codec codec, ByteView unit, std::vector<ByteView>& sets) {
  LengthPrefixedReader nals(unit);
  while (const std::optional<ByteView> nal = nals.next()) {
    if (!isParameterSet(codec, *nal)) continue;
    std::erase_if(sets, [&](ByteView s) { return std::ranges::equal(s, *nal); });
    sets.push_back(*nal);
  }
}

// Segments of about `perSegment` units, each beginning at a cut point. A decoder that starts a
// segment must know the parameter sets of the units before it, as the one decoder of a whole run
// would: each segment carries them, gathered in one pass over the run.
std::vector<Segment> planSegments(Codec codec, const std::vector<DecodeInput>& units,
                                  const std::vector<size_t>& cuts, size_t perSegment) {
  std::vector<Segment> segments;
  std::vector<ByteView> sets;
  size_t scanned = 0;
  for (size_t c = 0; c < cuts.size();) {
    size_t next = c + 1;
    while (next < cuts.size() && cuts[next] - cuts[c] < perSegment) ++next;
    for (; scanned < cuts[c]; ++scanned) addParameterSets(codec, units[scanned].data, sets);
    segments.push_back(Segment{cuts[c], next < cuts.size() ? cuts[next] : units.size(), sets});
    c = next;
  }
  return segments;
}

// How many threads a job's decoded pictures may take without risking its memory budget: each
// thread's decoder holds a few pictures (a run with prediction, a whole picture buffer), each at
// most 4 bytes per luma sample (16-bit 4:4:4 is 6; tables and 8-bit 4:2:0 are less). Half the
// job's budget is left for the serial path's own needs.
size_t threadsByMemory(const Job& job, Codec codec, bool intraOnly, uint64_t jobMemory) {
  if (jobMemory == MemoryBudget::unlimited) return SIZE_MAX;
  uint64_t samples = 0;
  for (const Bytes& set : job.paramSets) {
    if (const std::optional<CodedSize> size = declaredSize(codec, set)) {
      samples = std::max(samples, static_cast<uint64_t>(size->samples()));
    }
  }
  const uint64_t pictures = intraOnly ? 2 : 17;
  const uint64_t perThread = std::max<uint64_t>(samples * 4 * pictures, 1);
  return std::max<uint64_t>(jobMemory / 2 / perThread, 1);
}

// What the threads of one shared decode have in common.
struct SharedDecode {
  SharedDecode(const Job& job, Codec codec, const std::vector<DecodeInput>& units,
               const std::vector<Segment>& segments, bool intraOnly, Slots& slots,
               const std::shared_ptr<MemoryBudget>& budget, DecoderCache& cache)
      : job(job),
        key{codec, job.paramSets},
        units(units),
        segments(segments),
        intraOnly(intraOnly),
        slots(slots),
        budget(budget),
        cache(cache),
        errors(segments.size()) {}

  const Job& job;
  const DecoderKey key;
  const std::vector<DecodeInput>& units;
  const std::vector<Segment>& segments;
  bool intraOnly;
  Slots& slots;
  const std::shared_ptr<MemoryBudget>& budget;
  DecoderCache& cache;

  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::exception_ptr> errors;  // by segment; each written by one thread
  std::mutex decodersLock;
  std::vector<std::unique_ptr<Decoder>> decoders;  // every thread's, when it is done
};

// One thread's part: segments taken in order, one at a time, until none is left or one has
// failed (every segment before a failed one was taken before it, so the earliest failure is
// known once all threads stop).
void decodeSegments(SharedDecode& shared) {
  std::unique_ptr<Decoder> decoder;
  Compositor::Scaler scaler;
  const PictureSink sink = [&](size_t position, Picture&& picture) {
    shared.slots[position] = scaler.scale(picture, shared.job.fitW, shared.job.fitH);
  };
  std::vector<DecodeInput> units;
  Bytes primed;  // a segment's first unit behind the parameter sets before it
  while (!shared.failed.load()) {
    const size_t s = shared.next.fetch_add(1);
    if (s >= shared.segments.size()) break;
    const Segment& segment = shared.segments[s];
    units.assign(shared.units.begin() + static_cast<ptrdiff_t>(segment.begin),
                 shared.units.begin() + static_cast<ptrdiff_t>(segment.end));
    if (!segment.setsBefore.empty()) {
      primed.clear();
      for (ByteView set : segment.setsBefore) appendLengthPrefixed(primed, set);
      primed.insert(primed.end(), units.front().data.begin(), units.front().data.end());
      units.front().data = primed;
    }
    try {
      if (!decoder) decoder = shared.cache.checkout(shared.key);
      decoder->decode(units, sink, shared.budget, shared.intraOnly);
    } catch (...) {
      shared.errors[s] = std::current_exception();
      shared.failed.store(true);
      if (decoder) shared.cache.discard(std::move(decoder));
      break;
    }
  }
  if (decoder) {
    std::lock_guard<std::mutex> hold(shared.decodersLock);
    shared.decoders.push_back(std::move(decoder));
  }
}

// Returns every thread's decoder to the pool, or, when a segment failed, discards them all and
// throws the earliest failure.
void finishDecode(SharedDecode& shared) {
  const auto failure = std::ranges::find_if(shared.errors, [](const auto& e) { return bool(e); });
  if (failure == shared.errors.end()) {
    for (auto& decoder : shared.decoders) shared.cache.checkin(std::move(decoder));
    return;
  }
  for (auto& decoder : shared.decoders) shared.cache.discard(std::move(decoder));
  std::rethrow_exception(*failure);
}

}  // namespace

uint32_t saturatingMicros(uint64_t nanos) {
  return static_cast<uint32_t>(std::min<uint64_t>(nanos / 1000, UINT32_MAX));
}

JobResult JobRunner::run(const Job& job) const {
  job.validate();
  const Codec codec = *codecFromRaw(job.codec);
  std::optional<CorePool::Job> share;
  if (cores_) share.emplace(*cores_);

  const uint64_t cpu0 = clockNanos(CLOCK_THREAD_CPUTIME_ID);
  const uint64_t t0 = clockNanos(CLOCK_MONOTONIC);
  const auto budget = std::make_shared<MemoryBudget>(MemoryBudget::Scope::job, limits_.jobMemory,
                                                     limits_.daemonMemory);
  const std::vector<size_t> order = job.referencedFrames();
  // What the job's layout fixes is held from the start, so a job that cannot have it fails
  // before any decoding.
  const MemoryCharge layout(budget, layoutBytes(job, order.size()), "scaled pictures and canvas",
                            ErrorCode::badRequest);
  Slots slots(job.frames.size());
  const uint64_t helperCpu = order.empty() ? 0 : decodeAndScale(job, codec, order, slots, budget);
  const uint64_t t1 = clockNanos(CLOCK_MONOTONIC);

  JobResult result;
  encodeLevels(job, slots, result);
  const uint64_t t2 = clockNanos(CLOCK_MONOTONIC);
  const uint64_t cpu1 = clockNanos(CLOCK_THREAD_CPUTIME_ID);

  result.decodeMicros = saturatingMicros(t1 - t0);
  result.encodeMicros = saturatingMicros(t2 - t1);
  result.cpuMicros = saturatingMicros(cpu1 - cpu0 + helperCpu);
  return result;
}

// Decodes the referenced frames in ascending order and scales each picture as soon as the
// decoder hands it over, so that no full-size picture outlives its scale: on this thread alone,
// or in segments shared with helper threads when the run splits and cores are free. A decoder
// that failed, and every decoder of a job that failed, never goes back to the pool.
uint64_t JobRunner::decodeAndScale(const Job& job, Codec codec, const std::vector<size_t>& order,
                                   Slots& slots,
                                   const std::shared_ptr<MemoryBudget>& budget) const {
  std::vector<DecodeInput> units;
  units.reserve(order.size());
  for (size_t k : order) units.push_back(DecodeInput{k, job.frames[k]});
  const bool intraOnly = Decoder::allRandomAccess(codec, units);

  // Helpers are asked for first, as many as the run has segments and the job's memory allows;
  // a run that gets none is decoded whole, in one call on this thread.
  const std::vector<size_t> cuts = cutPoints(codec, units, intraOnly);
  const size_t wanted =
      cores_ ? std::min({cuts.size(), static_cast<size_t>(cores_->cores()),
                         threadsByMemory(job, codec, intraOnly, limits_.jobMemory)}) -
                   1
             : 0;
  std::optional<CorePool::Lease> lease;
  if (wanted > 0) lease.emplace(*cores_, static_cast<int>(wanted));
  const size_t threads = lease ? static_cast<size_t>(lease->helpers()) + 1 : 1;
  // Segments of a few units each, so that threads that finish early take more.
  const std::vector<Segment> segments =
      threads > 1
          ? planSegments(codec, units, cuts, std::max<size_t>(units.size() / (threads * 16), 1))
          : std::vector<Segment>{Segment{0, units.size(), {}}};

  SharedDecode shared(job, codec, units, segments, intraOnly, slots, budget, cache_);
  std::atomic<uint64_t> helperCpu{0};
  if (threads <= 1) {
    decodeSegments(shared);
  } else {
    const std::thread::id caller = std::this_thread::get_id();
    lease->run([&] {
      // The caller's own time is in the job's thread time already.
      const bool helper = std::this_thread::get_id() != caller;
      const uint64_t start = helper ? clockNanos(CLOCK_THREAD_CPUTIME_ID) : 0;
      decodeSegments(shared);
      if (helper) helperCpu += clockNanos(CLOCK_THREAD_CPUTIME_ID) - start;
    });
  }
  finishDecode(shared);
  return helperCpu.load();
}

// Composes and encodes each level in turn, one canvas at a time, and stops at the first level
// whose JPEG would take the result frame past its limit: the parent could not read it.
void JobRunner::encodeLevels(const Job& job, const Slots& slots, JobResult& result) const {
  const double quality = JPEG::quality(job.quality);
  uint64_t frameBytes = kResultFrameBase;
  for (size_t j = 0; j < job.levels.size(); ++j) {
    const BGRAImage canvas =
        Compositor::compose(job.levels[j], job.cellW, job.cellH, job.padX, job.padY, slots);
    Bytes jpeg = JPEG::encode(canvas, quality);
    frameBytes += 4 + jpeg.size();
    if (frameBytes > limits_.maxResultFrame) {
      throw JobError(ErrorCode::badRequest, "level " + std::to_string(j) + ": result frame needs " +
                                                std::to_string(frameBytes) + " bytes, over " +
                                                std::to_string(limits_.maxResultFrame));
    }
    result.jpegs.push_back(std::move(jpeg));
  }
}

}  // namespace mosaickit
