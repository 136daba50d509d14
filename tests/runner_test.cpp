// The job runner with helper threads: the JPEGs are the same bytes on one thread or several, a
// failure is the one a single thread meets, jobs side by side all finish, the core pool lends
// only free cores, and the timings say what they claim.

#include "mosaickit/runner.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "mosaickit/annexb.h"
#include "mosaickit/core_pool.h"
#include "mosaickit/decoder_cache.h"
#include "support/clips.h"

namespace mosaickit {
namespace {

using testing_support::Clip;
using testing_support::loadClip;

// Every frame of `clip`, `repeat` times over, in one row of 160 x 90 cells.
Job gridJob(const Clip& clip, int repeat = 1) {
  Job job = testing_support::rowJob(clip, 160, 90);
  const std::vector<Bytes> units = job.frames;
  for (int r = 1; r < repeat; ++r) job.frames.insert(job.frames.end(), units.begin(), units.end());
  job.levels = {Level{static_cast<uint16_t>(job.frames.size()), 1, {}}};
  for (size_t k = 0; k < job.frames.size(); ++k) {
    job.levels[0].indices.push_back(static_cast<uint16_t>(k));
  }
  return job;
}

// The clip's parameter sets in front of every access unit, as a transport stream repeats them.
Job withSetsInBand(Job job) {
  for (Bytes& unit : job.frames) {
    Bytes sets;
    for (const Bytes& set : job.paramSets) appendLengthPrefixed(sets, set);
    unit.insert(unit.begin(), sets.begin(), sets.end());
  }
  return job;
}

struct Runners {
  DecoderCache serialCache{48, 120.0}, sharedCache{48, 120.0};
  CorePool cores{4};
  JobRunner serial{serialCache};
  JobRunner shared{sharedCache, {}, &cores};
};

TEST(ParallelDecode, JpegsAreTheSameBytesOnOneThreadOrSeveral) {
  struct Case {
    std::string name;
    Job job;
  };
  const std::vector<Case> cases = {
      // Intra-only runs: every unit is a segment.
      {"h264 intra", gridJob(loadClip("h264_noisy_1920x1080"), 4)},
      {"h265 intra", gridJob(loadClip("h265_noisy_1920x1080"), 4)},
      {"h264 intra, sets in band", withSetsInBand(gridJob(loadClip("h264_noisy_1920x1080"), 4))},
      // Runs with B-frames, cut at their IDR pictures.
      {"h264 B pyramid", gridJob(loadClip("h264_bpyramid"))},
      {"h265 closed GOPs", gridJob(loadClip("h265_gops"))},
      // A single GOP cannot be cut: decoded as one segment.
      {"h264 one GOP", gridJob(loadClip("h264_bframes"))},
  };
  Runners runners;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t before = runners.cores.helperRuns();
    const JobResult one = runners.serial.run(c.job);
    const JobResult several = runners.shared.run(c.job);
    ASSERT_EQ(several.jpegs.size(), 1u);
    EXPECT_TRUE(several.jpegs == one.jpegs);
    // Helpers were lent for every run that splits.
    EXPECT_EQ(runners.cores.helperRuns() > before, c.name != "h264 one GOP");
  }
  // Each thread borrowed a decoder of its own and returned it.
  EXPECT_EQ(runners.sharedCache.inUseCount(), 0u);
  EXPECT_GT(runners.sharedCache.idleCount(), runners.serialCache.idleCount());
}

TEST(ParallelDecode, AFailedSegmentGivesTheErrorOfTheSerialDecode) {
  Job job = gridJob(loadClip("h264_noisy_1920x1080"), 4);  // 12 intra units
  // Unit 7 is garbage past its slice header, unit 10 too: the serial decode meets 7 first.
  for (size_t bad : {7, 10}) {
    Bytes& unit = job.frames[bad];
    for (size_t k = 16; k < unit.size(); ++k) unit[k] = static_cast<uint8_t>(k * 37);
  }
  Runners runners;
  auto errorOf = [&job](const JobRunner& runner) {
    try {
      runner.run(job);
    } catch (const JobError& e) {
      return e;
    }
    return JobError(ErrorCode::internalError, "no error");
  };
  const JobError serial = errorOf(runners.serial);
  const JobError shared = errorOf(runners.shared);
  EXPECT_EQ(serial.code(), ErrorCode::decode);
  EXPECT_TRUE(serial.message().ends_with(" (after retry)")) << serial.message();
  EXPECT_EQ(shared.code(), serial.code());
  EXPECT_EQ(shared.message(), serial.message());
  // The failed job's decoders are all dropped.
  EXPECT_EQ(runners.sharedCache.inUseCount(), 0u);
  EXPECT_EQ(runners.sharedCache.idleCount(), 0u);
}

TEST(ParallelDecode, FourJobsSideBySideAllFinishAlike) {
  const Job job = gridJob(loadClip("h265_noisy_1920x1080"), 3);
  Runners runners;
  const JobResult want = runners.serial.run(job);
  std::vector<std::future<JobResult>> results;
  for (int k = 0; k < 4; ++k) {
    results.push_back(std::async(std::launch::async, [&] { return runners.shared.run(job); }));
  }
  for (auto& result : results) EXPECT_TRUE(result.get().jpegs == want.jpegs);
  EXPECT_EQ(runners.sharedCache.inUseCount(), 0u);
}

TEST(CorePool, LendsOnlyTheCoresNoJobHolds) {
  CorePool pool(4);
  auto helpersGranted = [&pool](int want) {
    std::atomic<int> runs{0};
    const int granted = pool.shareWork(want, [&] { ++runs; });
    EXPECT_EQ(runs.load(), granted + 1);  // the caller runs the task too
    return granted;
  };
  EXPECT_EQ(helpersGranted(8), 3);  // alone: every other core
  {
    const CorePool::Job a(pool), b(pool);
    EXPECT_EQ(helpersGranted(8), 2);
    EXPECT_EQ(helpersGranted(1), 1);
    const CorePool::Job c(pool), d(pool);
    EXPECT_EQ(helpersGranted(8), 0);  // four jobs on four cores: each on its own
  }
  EXPECT_EQ(helpersGranted(0), 0);
  EXPECT_EQ(CorePool(1).shareWork(4, [] {}), 0);
  EXPECT_GE(CorePool::affinityCores(), 1);
}

TEST(Timings, SayWhatTheyClaim) {
  Runners runners;
  // Decoding three 1080p pictures costs far more than encoding one 16 x 9 cell of them.
  Job heavy = gridJob(loadClip("h264_noisy_1920x1080"), 4);
  heavy.fitW = heavy.cellW = 16;
  heavy.fitH = heavy.cellH = 9;
  heavy.levels = {Level{1, 1, {0}}};
  for (size_t k = 1; k < heavy.frames.size(); ++k) heavy.levels[0].indices.push_back(blackCell);
  heavy.levels[0].cellsW = static_cast<uint16_t>(heavy.frames.size());
  const JobResult serial = runners.serial.run(heavy);
  EXPECT_LT(serial.encodeMicros, serial.decodeMicros);
  // Only frame 0 is shown, so only it is decoded: one job of all twelve costs more.
  Job all = gridJob(loadClip("h264_noisy_1920x1080"), 4);
  all.fitW = all.cellW = 16;
  all.fitH = all.cellH = 9;
  const JobResult allSerial = runners.serial.run(all);
  EXPECT_GT(allSerial.decodeMicros, serial.decodeMicros);

  // An all-black job decodes nothing.
  Job black = heavy;
  std::fill(black.levels[0].indices.begin(), black.levels[0].indices.end(), blackCell);
  EXPECT_LT(runners.serial.run(black).decodeMicros, allSerial.decodeMicros / 4);

  // The helpers' processor time is the job's too: shared, the job costs about what it costs on
  // one thread, not the caller's share of it. Processor time, unlike wall time, does not grow
  // with a busy machine; three runs of each even out the rest.
  uint64_t one = 0, several = 0;
  for (int k = 0; k < 3; ++k) {
    one += runners.serial.run(all).cpuMicros;
    several += runners.shared.run(all).cpuMicros;
  }
  EXPECT_GE(several, one * 7 / 10);
}

}  // namespace
}  // namespace mosaickit
