// One daemon, many jobs, four in flight: a mix of good H.264 and H.265 jobs, jobs that fail
// validation, jobs with corrupt frames and malformed payloads. Every job frame gets exactly one
// reply under its reqID and of the kind its job calls for; the daemon's resident memory after
// the first tenth of the jobs (at most the first 1,000) grows by at most 5 % to the end; its
// open descriptors and threads do not grow; it exits with 0 at the end of input.
//
// The normal test run sends a few hundred jobs. The full soak:
//   GRIDWRIGHT_SOAK_JOBS=10000 nice -n 10 build/tests/soak_test
// prints its figures (memory, descriptors, threads, wall time) at the end.

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "mosaickit/protocol.h"
#include "support/child.h"
#include "support/clips.h"

namespace mosaickit {
namespace {

using testing_support::loadClip;

// The daemon's resident memory, descriptors and threads, read from /proc.
struct Usage {
  long rssKiB = 0;
  int fds = 0;
  int threads = 0;
};

int openDescriptors(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!dir) throw std::runtime_error("cannot list the daemon's descriptors");
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

Usage usageOf(pid_t pid) {
  return Usage{testing_support::procStatusField(pid, "VmRSS"), openDescriptors(pid),
               static_cast<int>(testing_support::procStatusField(pid, "Threads"))};
}

// What a job of the mix must come back as: a result, or an error with this code.
struct Kind {
  const char* name;
  Bytes payload;
  std::optional<ErrorCode> error;
};

Job clipJob(const char* clipName, int fitW, int fitH) {
  return testing_support::rowJob(loadClip(clipName), fitW, fitH);
}

void garble(Bytes& frame) {
  for (size_t k = 8; k < frame.size(); ++k) frame[k] = static_cast<uint8_t>(k * 37);
}

// Ten kinds, sent in turn.
std::vector<Kind> jobMix() {
  const Job h264 = clipJob("h264_bframes", 44, 36);
  const Job h265 = clipJob("h265_bframes", 44, 36);
  Job invalid = h265;
  invalid.quality = 0;
  Job corruptShown = clipJob("h264_rgb_640x360", 32, 18);
  garble(corruptShown.frames[2]);
  Job corruptHidden = corruptShown;
  corruptHidden.levels = {Level{2, 1, {0, 1}}};
  Bytes truncated = h264.encode();
  truncated.resize(truncated.size() / 2);
  return {
      {"h264", h264.encode(), std::nullopt},
      {"h265", h265.encode(), std::nullopt},
      {"h264 again", h264.encode(), std::nullopt},
      {"invalid", invalid.encode(), ErrorCode::badRequest},
      {"h265 again", h265.encode(), std::nullopt},
      {"corrupt frame shown", corruptShown.encode(), ErrorCode::decode},
      {"h264 once more", h264.encode(), std::nullopt},
      {"malformed payload", truncated, ErrorCode::badRequest},
      {"corrupt frame not shown", corruptHidden.encode(), std::nullopt},
      {"empty payload", {}, ErrorCode::badRequest},
  };
}

int soakJobs() {
  const char* text = std::getenv("GRIDWRIGHT_SOAK_JOBS");
  return text ? std::atoi(text) : 400;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return false;
#endif
}

// The parent's side of the soak: sends jobs of the mix and checks each reply against what its
// job calls for.
class SoakParent {
 public:
  explicit SoakParent(testing_support::Daemon& daemon) : daemon_(daemon), mix_(jobMix()) {}

  size_t kinds() const { return mix_.size(); }
  size_t outstanding() const { return outstanding_.size(); }

  void send(size_t kind) {
    outstanding_[next_] = kind;
    ASSERT_TRUE(daemon_.send(Frame{2, next_, mix_[kind].payload}));
    ++next_;
  }

  // Reads one reply: it must answer an outstanding job, once, as that job's kind calls for.
  void receive() {
    const Frame reply = daemon_.readFrame().value();
    const auto it = outstanding_.find(reply.reqID);
    ASSERT_NE(it, outstanding_.end()) << "reply to reqID " << reply.reqID << " not outstanding";
    const Kind& kind = mix_[it->second];
    outstanding_.erase(it);
    if (kind.error) {
      ASSERT_EQ(reply.type, static_cast<uint8_t>(FrameType::error)) << kind.name;
      ASSERT_EQ(JobError::parse(reply.payload).code(), *kind.error) << kind.name;
    } else {
      ASSERT_EQ(reply.type, static_cast<uint8_t>(FrameType::result))
          << kind.name << ": " << JobError::parse(reply.payload).message();
      ASSERT_EQ(JobResult::parse(reply.payload).jpegs.size(), 1u) << kind.name;
    }
  }

 private:
  testing_support::Daemon& daemon_;
  const std::vector<Kind> mix_;
  std::map<uint32_t, size_t> outstanding_;  // reqID -> kind
  uint32_t next_ = 0;
};

TEST(Soak, EveryJobIsAnsweredOnceAndNothingGrows) {
  const int jobs = soakJobs();
  const int baselineAt = std::min(1000, jobs / 10);
  const auto start = std::chrono::steady_clock::now();
  testing_support::Daemon daemon;
  daemon.readHello();
  SoakParent parent(daemon);

  // Warm-up: bursts of four jobs of one stream fill the pool with as many decoders of that
  // stream as four workers can hold at once, so that the pool (which may keep them for two
  // minutes) has its full size before the baseline is taken. The kinds of the mix whose
  // decoders go back to the pool are 0, 1 and 8.
  int answered = 0;
  for (size_t kind : {0, 1, 8}) {
    for (int burst = 0; burst < 3; ++burst) {
      for (int k = 0; k < 4; ++k) parent.send(kind);
      for (int k = 0; k < 4; ++k, ++answered) parent.receive();
    }
  }
  ASSERT_GT(jobs, answered + 10) << "too few jobs for a soak";

  // Four in flight: a new job each time a reply comes.
  int sent = answered;
  for (; sent < answered + 4; ++sent) parent.send(sent % parent.kinds());
  Usage baseline, end;
  std::vector<long> residentSeries;  // KiB, after every tenth of the jobs
  while (answered < jobs) {
    parent.receive();
    ++answered;
    if (answered == baselineAt) baseline = usageOf(daemon.pid());
    if (answered == jobs) end = usageOf(daemon.pid());
    if (answered % std::max(1, jobs / 10) == 0) {
      residentSeries.push_back(usageOf(daemon.pid()).rssKiB);
    }
    if (sent < jobs) parent.send(sent++ % parent.kinds());
  }
  EXPECT_EQ(parent.outstanding(), 0u);
  daemon.closeInput();
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "soak: %d jobs in %.1f s; after %d jobs: %ld KiB resident, %d fds, %d threads; "
      "at the end: %ld KiB resident (%+.2f %%), %d fds, %d threads\n",
      jobs, seconds, baselineAt, baseline.rssKiB, baseline.fds, baseline.threads, end.rssKiB,
      100.0 * (end.rssKiB - baseline.rssKiB) / baseline.rssKiB, end.fds, end.threads);
  std::printf("soak: resident KiB after each tenth:");
  for (long kib : residentSeries) std::printf(" %ld", kib);
  std::printf("\n");
  EXPECT_LE(end.fds, baseline.fds);
  EXPECT_LE(end.threads, baseline.threads);
  // The sanitizers' own bookkeeping (quarantined memory, shadow) grows with the work done.
  if (!sanitized()) {
    EXPECT_LE(end.rssKiB, baseline.rssKiB * 105 / 100);
  }
}

}  // namespace
}  // namespace mosaickit
