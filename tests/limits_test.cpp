// The daemon's bounds as a parent sees them, through the real binary: a stream that declares
// more than the daemon decodes, one that holds back more pictures than a job may have, and a
// reply that would not fit in a frame. Each is answered with an error frame naming the bytes,
// the daemon's memory stays bounded, and it goes on with the next job.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "mosaickit/protocol.h"
#include "support/child.h"
#include "support/clips.h"
#include "support/sps_edit.h"

namespace mosaickit {
namespace {

using testing_support::Clip;
using testing_support::Daemon;
using testing_support::editedJob;
using testing_support::jobFrame;
using testing_support::loadClip;
using testing_support::SpsEdit;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators hold memory their own way
#else
constexpr bool kSanitized = false;
#endif

// Sends the job and returns the error it must get.
JobError errorFor(Daemon& daemon, uint32_t reqID, const Job& job) {
  EXPECT_TRUE(daemon.send(jobFrame(reqID, job)));
  const Frame reply = daemon.readFrame().value();
  EXPECT_EQ(reply.reqID, reqID);
  EXPECT_EQ(reply.type, static_cast<uint8_t>(FrameType::error));
  return JobError::parse(reply.payload);
}

// The daemon answers a small job as usual, then ends cleanly and silently.
void expectCarriesOn(Daemon& daemon) {
  ASSERT_TRUE(daemon.send(jobFrame(99, testing_support::rowJob(loadClip("h264_bframes"), 32, 32))));
  const Frame reply = daemon.readFrame().value();
  EXPECT_EQ(reply.type, static_cast<uint8_t>(FrameType::result));
  daemon.closeInput();
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

// The numbers that `pattern`'s groups capture in `message`; none, with a failure, when it does
// not match.
std::vector<long long> numbersIn(const std::string& message, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_match(message, match, std::regex(pattern))) {
    ADD_FAILURE() << "\"" << message << "\" does not match " << pattern;
    return {};
  }
  std::vector<long long> numbers;
  for (size_t k = 1; k < match.size(); ++k) numbers.push_back(std::stoll(match[k]));
  return numbers;
}

long peakResidentKiB(const Daemon& daemon) {
  return testing_support::procStatusField(daemon.pid(), "VmHWM");
}

// Pictures of 16240 x 16240 held fifteen deep took 8.9 GiB a job before; now the set is
// refused before the decoder allocates anything for it.
TEST(Limits, AStreamDeclaringHugePicturesIsRefusedBeforeAnyAllocation) {
  Daemon daemon;
  daemon.readHello();
  const Job job =
      editedJob(loadClip("h264_bframes"), SpsEdit::size(16240, 16240).withReorder({15, 16}));
  EXPECT_EQ(errorFor(daemon, 1, job),
            JobError(ErrorCode::decode, "pictures of 16240x16240 over the 67108864-sample limit"));
  if (!kSanitized) {
    EXPECT_LT(peakResidentKiB(daemon), 200 * 1024);
  }
  expectCarriesOn(daemon);
}

// Twenty flat 8192 x 8192 pictures with a promised reorder depth of 15: the decoder would hold
// sixteen (2.1 GiB). The job's budget stops it with the bytes it asked for, and the daemon's
// peak stays within that budget and what the budget does not count.
TEST(Limits, PicturesHeldBackPastTheJobsBudgetFailTheJob) {
  Daemon daemon;
  daemon.readHello();
  const Job job =
      editedJob(loadClip("h264_flat_8192"), SpsEdit::size(8192, 8192).withReorder({15, 16}));
  const JobError error = errorFor(daemon, 1, job);
  EXPECT_EQ(error.code(), ErrorCode::decode);
  const std::vector<long long> bytes =
      numbersIn(error.message(), "decoded pictures need (\\d+) bytes, over (\\d+) for one job");
  ASSERT_EQ(bytes.size(), 2u);
  const long long budgetKiB = bytes[1] / 1024;
  EXPECT_GT(bytes[0] / 1024, budgetKiB);
  if (!kSanitized) {
    EXPECT_LT(peakResidentKiB(daemon), budgetKiB + 256 * 1024);
  }
  expectCarriesOn(daemon);
}

// A 1080p picture of noise in two levels of 4 x 7 full-size cells at the best quality: about
// 60 MB of JPEG each. The reply would be a frame that no parent reads; the job fails instead at
// the level that passes the limit.
TEST(Limits, AResultOverTheFrameLimitFailsTheJobNotTheDaemon) {
  Daemon daemon;
  daemon.readHello();
  Job job = testing_support::rowJob(loadClip("h264_noise_1920x1080"), 1920, 1080);
  job.quality = 1;
  const Level full{4, 7, std::vector<uint16_t>(28, 0)};
  job.levels = {full, full};
  const JobError error = errorFor(daemon, 1, job);
  EXPECT_EQ(error.code(), ErrorCode::badRequest);
  const std::vector<long long> bytes =
      numbersIn(error.message(), "level 1: result frame needs (\\d+) bytes, over 67108864");
  ASSERT_EQ(bytes.size(), 1u);
  EXPECT_GT(bytes[0], 67108864);
  expectCarriesOn(daemon);
}

}  // namespace
}  // namespace mosaickit
