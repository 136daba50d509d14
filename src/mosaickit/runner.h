// The job runner: one job from validation to its JPEGs. Decodes the referenced frames with
// decoders borrowed from the shared pool, scales each picture as it comes out, then composes and
// encodes the levels one canvas at a time.
//
// A run that splits into independent segments is decoded on several threads at once when the
// core pool (core_pool.h) has cores to lend: every access unit of a run of random access points
// (what a recorder's keyframe grids are), else the stretches that begin at IDR pictures. Each
// thread borrows its own decoder and scales into the job's slots, each picture into its own. A
// segment is decoded exactly as the whole run would decode it (the same in-loop filter choice,
// the parameter sets that earlier access units brought sent in front of it), so the pictures, and
// the JPEGs, are the same bytes whatever the number of threads.
//
// Thread-safety: several workers may call run at once; all per-job state is local to the call.

#ifndef MOSAICKIT_RUNNER_H_
#define MOSAICKIT_RUNNER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "mosaickit/memory_budget.h"
#include "mosaickit/protocol.h"

namespace mosaickit {

class BGRAImage;
class CorePool;
class DecoderCache;

// What a job may hold and send, set by main (tests use small values).
struct RunnerLimits {
  // The budget all jobs share (none: unbounded). Must outlive the runner.
  MemoryBudget* daemonMemory = nullptr;
  // One job's budget, a child of daemonMemory: its decoded pictures while they live, and from
  // the start its scaled pictures, canvas and JPEG work (canvasWorkFactor canvases).
  uint64_t jobMemory = MemoryBudget::unlimited;
  // The largest result frame, counted as its length field counts it (5 + payload bytes).
  uint64_t maxResultFrame = maxFrameLength;
};

// Runs jobs through the pipeline with decoders borrowed from one shared pool.
class JobRunner {
 public:
  // A canvas is charged one and a half times over: the canvas itself, and the encoder's
  // growing output buffer and the copy of the JPEG made from it, which stay under two bytes
  // per pixel even for noise at the best quality.
  static constexpr uint64_t canvasWorkNumerator = 3;
  static constexpr uint64_t canvasWorkDenominator = 2;

  // `cache`, and `cores` when given, must outlive the runner. Without `cores` every job decodes
  // on its caller's thread alone.
  explicit JobRunner(DecoderCache& cache, RunnerLimits limits = {}, CorePool* cores = nullptr)
      : cache_(cache), limits_(limits), cores_(cores) {}

  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // Validates the job first, then decodes, scales, composes and encodes it. Returns one JPEG per
  // level with the job's timings: decodeMicros and encodeMicros are wall time, cpuMicros the
  // processor time of every thread that worked on the job. Or throws the JobError of the step
  // that failed; with several threads, the error of the earliest failed segment, which is the
  // one a single thread would have met first. Besides the steps' own errors (decoder_cache.h,
  // compositor.h, jpeg.h), the limits give:
  //   badRequest  "scaled pictures and canvas need B bytes, over N for one job"
  //   busy        "scaled pictures and canvas need B bytes, over N for all jobs"
  //   decode/busy "decoded pictures need B bytes, over N for one job/all jobs"
  //   badRequest  "level J: result frame needs B bytes, over N" (no later level is made)
  JobResult run(const Job& job) const;

  DecoderCache& cache() const { return cache_; }

 private:
  // Returns the processor time of the helper threads that joined in.
  uint64_t decodeAndScale(const Job& job, Codec codec, const std::vector<size_t>& order,
                          std::vector<std::optional<BGRAImage>>& slots,
                          const std::shared_ptr<MemoryBudget>& budget) const;
  void encodeLevels(const Job& job, const std::vector<std::optional<BGRAImage>>& slots,
                    JobResult& result) const;

  DecoderCache& cache_;
  const RunnerLimits limits_;
  CorePool* const cores_;
};

// Nanoseconds as whole microseconds, saturated at the largest 32-bit value instead of wrapping:
// the width of a timing on the wire.
uint32_t saturatingMicros(uint64_t nanos);

}  // namespace mosaickit

#endif  // MOSAICKIT_RUNNER_H_
