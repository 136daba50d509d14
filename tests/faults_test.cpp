// What a parent can do wrong to the daemon, run against the real binary over pipes: stop reading
// its replies, close its output or its input at a bad moment, dribble frames a byte at a time,
// or flood it with jobs. Whatever happens, no reply is lost, cut or doubled, and the process ends
// with the status that says why.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "mosaickit/protocol.h"
#include "support/child.h"
#include "support/clips.h"

namespace mosaickit {
namespace {

using namespace std::chrono_literals;
using testing_support::Daemon;
using testing_support::jobFrame;
using testing_support::loadClip;

// Every frame of a clip, each in its own cell of one row.
Job rowJob(const std::string& clipName, int fitW, int fitH, int quality) {
  Job job = testing_support::rowJob(loadClip(clipName), fitW, fitH);
  job.quality = quality;
  return job;
}

// A detailed moving picture at full size and best quality: a reply of tens of kilobytes.
Job bulkyJob() {
  return rowJob("h264_bframes", 176, 144, 1);
}

// A job that keeps a worker busy for a good while but is small on the wire: three frames, shown
// in eight large levels (4096 x 2304 each) that take long to compose and encode. Small matters:
// a parent's big write reaches the daemon in pipe-sized pieces, and a job that took its bytes
// long to arrive could let earlier jobs finish before later ones are even read.
Job longJob() {
  Job job = rowJob("h264_rgb_640x360", 512, 288, 2);
  Level level{8, 8, {}};
  for (int cell = 0; cell < 64; ++cell) level.indices.push_back(static_cast<uint16_t>(cell % 3));
  job.levels.assign(8, level);
  return job;
}

// Polls `done` until it holds; false after `limit` (a hang, not a slow machine).
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

Bytes concat(const std::vector<Frame>& frames) {
  Bytes out;
  for (const Frame& f : frames) {
    const Bytes wire = f.encode();
    out.insert(out.end(), wire.begin(), wire.end());
  }
  return out;
}

// A reply with its timings cleared: what two runs of the same job must agree on.
Frame withoutTimings(Frame reply) {
  if (reply.type == static_cast<uint8_t>(FrameType::result)) {
    JobResult result = JobResult::parse(reply.payload);
    result.decodeMicros = result.encodeMicros = result.cpuMicros = 0;
    reply.payload = result.encode();
  }
  return reply;
}

// Sends one job and reads its reply; the daemon is otherwise idle.
Frame runAlone(Daemon& daemon, const Frame& job) {
  EXPECT_TRUE(daemon.send(job));
  Frame reply = daemon.readFrame().value();
  EXPECT_EQ(reply.reqID, job.reqID);
  return withoutTimings(std::move(reply));
}

std::string brokenPipeLine() {
  return std::string("gridwright: write: ") + std::strerror(EPIPE) + "; exiting\n";
}

// Starts four bulky jobs and waits until their replies have filled the (shrunk) output pipe, so
// that the workers are stuck writing until the parent reads again.
void jamOutput(Daemon& daemon, uint32_t firstReqID) {
  const int capacity = daemon.resizeOutputPipe(4096);
  const Job bulky = bulkyJob();
  for (uint32_t id = firstReqID; id < firstReqID + 4; ++id) daemon.send(jobFrame(id, bulky));
  ASSERT_TRUE(eventually([&] { return daemon.outputPending() >= static_cast<size_t>(capacity); }))
      << "the replies never filled the output pipe";
}

TEST(ParentFaults, AParentThatStopsReadingLosesNoReply) {
  const Job bulky = bulkyJob();
  Daemon daemon;
  daemon.readHello();
  const Frame expected = runAlone(daemon, jobFrame(0, bulky));
  ASSERT_EQ(expected.type, static_cast<uint8_t>(FrameType::result));
  ASSERT_GT(expected.payload.size(), 4096u) << "a reply must not fit the shrunk pipe";

  jamOutput(daemon, 1);
  // Reading again: each stalled reply arrives whole and equal to the unhurried one.
  std::vector<uint32_t> answered;
  for (int k = 0; k < 4; ++k) {
    const Frame reply = withoutTimings(daemon.readFrame().value());
    answered.push_back(reply.reqID);
    EXPECT_EQ(reply.payload, expected.payload) << "reqID " << reply.reqID;
  }
  std::sort(answered.begin(), answered.end());
  EXPECT_EQ(answered, (std::vector<uint32_t>{1, 2, 3, 4}));

  // And the daemon carries on as before.
  EXPECT_EQ(runAlone(daemon, jobFrame(5, bulky)).payload, expected.payload);
  daemon.closeInput();
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

TEST(ParentFaults, ClosingTheOutputEndsWithStatus1FromWhicheverThreadWrote) {
  struct Case {
    std::string name;
    std::vector<Frame> frames;  // sent after the parent closed the daemon's output
  };
  const Job quick = rowJob("h264_bframes", 16, 16, 5);
  const Job slow = longJob();
  const std::vector<Case> cases = {
      {"a worker's result", {jobFrame(1, quick)}},
      {"the main thread's parse error", {Frame{2, 1, {}}}},
      {"four workers at once",
       {jobFrame(1, quick), jobFrame(2, quick), jobFrame(3, quick), jobFrame(4, quick)}},
      {"the main thread's busy reply among workers",
       {jobFrame(1, slow), jobFrame(2, slow), jobFrame(3, slow), jobFrame(4, slow),
        jobFrame(5, slow)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Daemon daemon;
    daemon.readHello();
    daemon.closeOutput();
    daemon.write(concat(c.frames));
    // The input stays open: the main thread sits in a read, so only the writing thread can end
    // the process.
    EXPECT_EQ(daemon.wait(), 1);
    EXPECT_EQ(daemon.errorText(), brokenPipeLine());
  }
}

TEST(ParentFaults, ClosingAJammedOutputEndsWithOneLine) {
  Daemon daemon;
  daemon.readHello();
  // One worker is blocked in a write, three wait for the writer: closing the output fails them
  // all at nearly the same moment, and the parent still gets one line.
  jamOutput(daemon, 1);
  daemon.closeOutput();
  EXPECT_EQ(daemon.wait(), 1);
  EXPECT_EQ(daemon.errorText(), brokenPipeLine());
}

TEST(ParentFaults, InputClosedInsideAFrameEndsWithStatus2WithoutWaitingForJobs) {
  struct Case {
    size_t bytesSent;  // of the last, unfinished frame
    std::string line;
  };
  const Frame last = jobFrame(9, rowJob("h264_crop_420", 16, 16, 5));
  const std::string payloadSize = std::to_string(last.payload.size());
  const std::vector<Case> cases = {
      {2, "EOF inside a frame after 2 of 4 bytes"},
      {6, "EOF inside a frame after 2 of 5 bytes"},
      {100, "EOF inside a frame after 91 of " + payloadSize + " bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Daemon daemon;
    daemon.readHello();
    // Four jobs whose workers cannot finish (their replies wait on a full pipe): a daemon that
    // waited for them would never exit.
    jamOutput(daemon, 1);
    const Bytes wire = last.encode();
    daemon.write(ByteView(wire).first(c.bytesSent));
    daemon.closeInput();
    EXPECT_EQ(daemon.wait(), 2);
    EXPECT_EQ(daemon.errorText(), "gridwright: malformed input: " + c.line + "\n");
  }
}

TEST(ParentFaults, FramesSentOneByteAtATimeGetTheSameReplies) {
  Job corrupt = rowJob("h264_bframes", 44, 36, 5);
  for (size_t k = 8; k < corrupt.frames[3].size(); ++k) {
    corrupt.frames[3][k] = static_cast<uint8_t>(k * 37);
  }
  Job invalid = rowJob("h265_bframes", 44, 36, 5);
  invalid.levels[0].indices[1] = 200;
  const std::vector<Frame> jobs = {
      jobFrame(1, rowJob("h264_bframes", 44, 36, 5)),
      jobFrame(2, rowJob("h265_bframes", 44, 36, 3)),
      jobFrame(3, corrupt),
      jobFrame(4, invalid),
      Frame{2, 5, {2, 4, 0}},
  };
  std::vector<Frame> whole;
  {
    Daemon daemon;
    daemon.readHello();
    for (const Frame& job : jobs) whole.push_back(runAlone(daemon, job));
    daemon.closeInput();
    EXPECT_EQ(daemon.wait(), 0);
  }
  Daemon daemon;
  daemon.readHello();
  for (size_t k = 0; k < jobs.size(); ++k) {
    SCOPED_TRACE(jobs[k].reqID);
    for (uint8_t byte : jobs[k].encode()) ASSERT_TRUE(daemon.write(Bytes{byte}));
    EXPECT_EQ(withoutTimings(daemon.readFrame().value()), whole[k]);
  }
  daemon.closeInput();
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

TEST(ParentFaults, SixteenJobsInOneWriteAdmitFourAndRefuseTwelve) {
  const Job slow = longJob();
  std::vector<Frame> frames;
  for (uint32_t id = 1; id <= 16; ++id) frames.push_back(jobFrame(id, slow));
  Daemon daemon;
  daemon.readHello();
  ASSERT_TRUE(daemon.write(concat(frames)));
  daemon.closeInput();
  std::map<uint32_t, int> replies;
  int busy = 0;
  while (std::optional<Frame> reply = daemon.readFrame()) {
    ++replies[reply->reqID];
    if (reply->reqID <= 4) {
      EXPECT_EQ(reply->type, static_cast<uint8_t>(FrameType::result)) << reply->reqID;
    } else {
      EXPECT_EQ(JobError::parse(reply->payload), JobError(ErrorCode::busy, "4 jobs in flight"));
      ++busy;
    }
  }
  EXPECT_EQ(busy, 12);
  EXPECT_EQ(replies.size(), 16u);
  for (const auto& [reqID, count] : replies) EXPECT_EQ(count, 1) << "reqID " << reqID;
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

}  // namespace
}  // namespace mosaickit
