// The decode path takes parameter sets and access units from the parent as they come: whatever
// their bytes, a job must end in its JPEGs or a JobError, never a crash, a hang, a leak or a
// broken pool. Inputs (see decode_input.h) go either through the whole JobRunner, twice so that
// the second run borrows the decoder the first one pooled, or through one Decoder directly,
// twice, checking the picture contract on each call.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "decode_input.h"
#include "mosaickit/decoder_cache.h"
#include "mosaickit/server.h"

namespace {

using namespace mosaickit;
using decode_fuzz::DecodeCase;

void check(bool ok) {
  if (!ok) std::abort();
}

std::vector<size_t> shownPositions(const DecodeCase& c) {
  std::vector<size_t> shown;
  for (size_t k = c.skipFirst ? 1 : 0; k < c.units.size(); ++k) shown.push_back(k);
  return shown;
}

Job jobOf(const DecodeCase& c) {
  Job job;
  job.codec = static_cast<uint8_t>(c.codec);
  job.paramSets = c.paramSets;
  job.fitW = job.cellW = decode_fuzz::kFitSizes[c.fit].w;
  job.fitH = job.cellH = decode_fuzz::kFitSizes[c.fit].h;
  job.quality = 5;
  job.frames = c.units;
  Level level{1, 1, {}};
  for (size_t k : shownPositions(c)) level.indices.push_back(static_cast<uint16_t>(k));
  if (level.indices.empty()) level.indices.push_back(blackCell);
  level.cellsW = static_cast<int>(level.indices.size());
  job.levels = {level};
  return job;
}

// The daemon's own memory plan, for its 4 GiB bound.
const MemoryPlan kMemory = MemoryPlan::forBound(uint64_t{4} << 30);

// A result has one JPEG for its one level; a failure is a JobError; the pool lends nothing
// afterwards either way, and no charge outlives the job.
void runThroughRunner(const DecodeCase& c) {
  MemoryBudget allJobs(MemoryBudget::Scope::daemon, kMemory.allJobs);
  DecoderCache cache(4, 1e9, DecoderCache::uptimeSeconds, kMemory.idleDecoders);
  const JobRunner runner(cache, {.daemonMemory = &allJobs, .jobMemory = kMemory.oneJob});
  const Job job = jobOf(c);
  for (int round = 0; round < 2; ++round) {
    try {
      const JobResult result = runner.run(job);
      check(result.jpegs.size() == 1);
      check(result.jpegs[0].size() > 4 && result.jpegs[0][0] == 0xFF && result.jpegs[0][1] == 0xD8);
    } catch (const JobError&) {
    }
    check(cache.inUseCount() == 0);
    check(allJobs.used() == 0);
    check(cache.idleCount() <= 1);
  }
}

// Every picture belongs to a submitted unit and comes once; a call that returns has given every
// unit its picture.
void decodeTwice(Decoder& decoder, const std::vector<DecodeInput>& units) {
  std::set<size_t> submitted;
  for (const DecodeInput& unit : units) submitted.insert(unit.position);
  for (int round = 0; round < 2; ++round) {
    std::set<size_t> seen;
    const auto budget = std::make_shared<MemoryBudget>(MemoryBudget::Scope::job, kMemory.oneJob);
    try {
      decoder.decode(
          units,
          [&](size_t position, Picture&& picture) {
            check(submitted.contains(position));
            check(seen.insert(position).second);
            check(!picture.empty() && picture.width() > 0 && picture.height() > 0);
          },
          budget);
    } catch (const JobError&) {
      return;  // a decoder that failed is not used again
    }
    check(seen.size() == units.size());
    check(budget->used() == 0);  // every picture buffer went back with the run
  }
}

void runThroughDecoder(const DecodeCase& c) {
  std::vector<DecodeInput> units;
  for (size_t k : shownPositions(c)) units.push_back(DecodeInput{k, c.units[k]});
  std::optional<Decoder> decoder;
  try {
    decoder.emplace(DecoderKey{c.codec, c.paramSets});
  } catch (const JobError& e) {
    check(e.code() == ErrorCode::decode || e.code() == ErrorCode::unsupported);
    return;
  }
  decodeTwice(*decoder, units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silenceLibraryLogging();
  const DecodeCase c = decode_fuzz::parseDecodeInput(ByteView(data, size));
  if (c.direct) {
    runThroughDecoder(c);
  } else {
    runThroughRunner(c);
  }
  return 0;
}
