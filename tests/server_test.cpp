// The daemon's conversation with its parent, run against the real binary over pipes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mosaickit/protocol.h"
#include "support/child.h"
#include "support/clips.h"

namespace mosaickit {
namespace {

using testing_support::Daemon;
using testing_support::jobFrame;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

JobError errorOf(const Frame& frame) {
  EXPECT_EQ(frame.type, static_cast<uint8_t>(FrameType::error));
  return JobError::parse(frame.payload);
}

// A job that parses but breaks the quality rule, so that it is admitted and fails on a worker.
Job invalidQualityJob() {
  Job job;
  job.codec = 2;
  job.paramSets = {{0x67}, {0x68}};
  job.fitW = job.fitH = job.cellW = job.cellH = 16;
  job.quality = 0;
  job.levels = {Level{1, 1, {blackCell}}};
  return job;
}

// A person at a terminal may ask the version; anything else is a usage error, and nothing that
// is not a frame ever reaches standard output.
TEST(Daemon, ArgumentsGetTheVersionOrOneUsageLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"--version"}, 0, "gridwright 1.0\n"},
      {{"--help"}, 2, ""},
      {{"--version", "now"}, 2, ""},
      {{"-"}, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    const testing_support::ProgramRun run = testing_support::runProgram(GRIDWRIGHT_BIN, c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    if (c.status == 0) {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_TRUE(run.err.starts_with("gridwright: usage: gridwright [--version]")) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
  }
}

TEST(Daemon, EmptyInputGetsTheHelloAndExitsCleanly) {
  Daemon daemon;
  daemon.closeInput();
  const std::optional<Frame> hello = daemon.readFrame();
  ASSERT_TRUE(hello);
  // 33 bytes on the wire: length 29, type 1, reqID 0, the 24-byte greeting.
  EXPECT_EQ(hello->encode(),
            concat({{29, 0, 0, 0, 1, 0, 0, 0, 0},
                    {0x47, 0x57, 0x52, 0x54, 0x01, 0x00, 0x03, 0x04, 0x0E, 0x00},
                    Bytes{'g', 'r', 'i', 'd', 'w', 'r', 'i', 'g', 'h', 't', ' ', '1', '.', '0'}}));
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

TEST(Daemon, MalformedInputEndsWithStatus2AndItsLine) {
  struct Case {
    Bytes input;
    std::string line;
  };
  const Bytes job = jobFrame(1, invalidQualityJob()).encode();
  const std::vector<Case> cases = {
      {Frame{1, 0, {}}.encode(), "unexpected frame type 1"},
      {Frame{3, 0, {}}.encode(), "unexpected frame type 3"},
      {Frame{4, 0, {1}}.encode(), "unexpected frame type 4"},
      {Frame{0, 0, {}}.encode(), "unexpected frame type 0"},
      {concat({Frame{9, 0, {}}.encode(), job}), "unexpected frame type 9"},
      {concat({{3, 0, 0, 0}, job}), "frame length 3 < 5"},
      {{0x01, 0x00, 0x00, 0x04}, "frame length 67108865 > 64 MiB"},
      {{9, 0}, "EOF inside a frame after 2 of 4 bytes"},
      {{9, 0, 0, 0}, "EOF inside a frame header"},
      {{9, 0, 0, 0, 2, 1, 0, 0, 0}, "EOF inside a frame payload"},
      {{9, 0, 0, 0, 2, 1, 0, 0, 0, 1}, "EOF inside a frame after 1 of 4 bytes"},
  };
  for (const Case& c : cases) {
    Daemon daemon;
    daemon.readHello();
    daemon.write(c.input);
    daemon.closeInput();
    EXPECT_EQ(daemon.wait(), 2) << c.line;
    EXPECT_EQ(daemon.errorText(), "gridwright: malformed input: " + c.line + "\n");
    // Nothing after the bad frame is read, so nothing more is answered.
    EXPECT_EQ(daemon.readFrame(), std::nullopt) << c.line;
  }
}

TEST(Daemon, OutputClosedBeforeTheHelloEndsWithStatus1) {
  Daemon daemon(Daemon::Options{.outputClosed = true});
  EXPECT_EQ(daemon.wait(), 1);
  EXPECT_EQ(daemon.errorText(),
            std::string("gridwright: write: ") + std::strerror(EPIPE) + "; exiting\n");
}

TEST(Daemon, BadPayloadsAreAnsweredAndTheDaemonReadsOn) {
  Daemon daemon;
  daemon.readHello();
  daemon.send(Frame{2, 11, {}});
  EXPECT_EQ(errorOf(*daemon.readFrame()),
            JobError(ErrorCode::badRequest, "payload truncated at byte 0"));
  daemon.send(Frame{2, 12, {2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 31, 0, 0, 0, 0}});
  const Frame trailing = *daemon.readFrame();
  EXPECT_EQ(trailing.reqID, 12u);
  EXPECT_EQ(errorOf(trailing), JobError(ErrorCode::badRequest, "1 trailing bytes in payload"));

  // A job that parses but breaks a rule is answered by its worker with the rule's error.
  daemon.send(jobFrame(13, invalidQualityJob()));
  const Frame invalid = *daemon.readFrame();
  EXPECT_EQ(invalid.reqID, 13u);
  EXPECT_EQ(errorOf(invalid), JobError(ErrorCode::badRequest, "quality 0"));

  daemon.closeInput();
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

TEST(Daemon, EveryJobFrameGetsOneReplyEvenWithRepeatedIdsAndOneByteWrites) {
  Daemon daemon;
  daemon.readHello();
  Bytes input;
  for (uint32_t reqID : {5u, 5u, 6u}) {
    const Bytes frame = jobFrame(reqID, invalidQualityJob()).encode();
    input.insert(input.end(), frame.begin(), frame.end());
  }
  for (uint8_t byte : input) ASSERT_TRUE(daemon.write(Bytes{byte}));
  daemon.closeInput();
  std::vector<uint32_t> reqIDs;
  while (std::optional<Frame> reply = daemon.readFrame()) {
    EXPECT_EQ(errorOf(*reply), JobError(ErrorCode::badRequest, "quality 0"));
    reqIDs.push_back(reply->reqID);
  }
  std::sort(reqIDs.begin(), reqIDs.end());
  EXPECT_EQ(reqIDs, (std::vector<uint32_t>{5, 5, 6}));
  EXPECT_EQ(daemon.wait(), 0);
}

// ---- Jobs that run

// A job over the 1080p clip. `repeats` copies of its three intra frames, all shown, make a job
// that keeps a worker busy for a good while; one copy with one cell makes a quick one.
Job clipJob(int repeats, bool allCells) {
  const testing_support::Clip clip = testing_support::loadClip("h264_rgb_1920x1080");
  Job job = testing_support::rowJob(clip, 32, 18);
  for (int r = 1; r < repeats; ++r) {
    job.frames.insert(job.frames.end(), clip.accessUnits.begin(), clip.accessUnits.end());
  }
  const int cells = allCells ? static_cast<int>(job.frames.size()) : 1;
  Level level{cells, 1, {}};
  for (int k = 0; k < cells; ++k) level.indices.push_back(static_cast<uint16_t>(k));
  job.levels = {level};
  return job;
}

Bytes framesOf(std::initializer_list<Frame> frames) {
  Bytes out;
  for (const Frame& f : frames) {
    const Bytes wire = f.encode();
    out.insert(out.end(), wire.begin(), wire.end());
  }
  return out;
}

void expectResult(const Frame& frame, uint32_t reqID) {
  EXPECT_EQ(frame.reqID, reqID);
  ASSERT_EQ(frame.type, static_cast<uint8_t>(FrameType::result))
      << JobError::parse(frame.payload).message();
  const JobResult result = JobResult::parse(frame.payload);
  ASSERT_EQ(result.jpegs.size(), 1u);
  EXPECT_EQ(result.jpegs[0][0], 0xFF);
  EXPECT_EQ(result.jpegs[0][1], 0xD8);
}

TEST(Daemon, AFifthJobIsRefusedAsBusyWhileABadPayloadGetsItsOwnError) {
  const Job heavy = clipJob(40, true);
  Daemon daemon;
  EXPECT_EQ(daemon.readHello().maxInflight, 4);
  daemon.write(framesOf({jobFrame(1, heavy), jobFrame(2, heavy), jobFrame(3, heavy),
                         jobFrame(4, heavy), jobFrame(9, clipJob(1, false)), Frame{2, 10, {}}}));
  const Frame busy = *daemon.readFrame();
  EXPECT_EQ(busy.reqID, 9u);
  EXPECT_EQ(errorOf(busy), JobError(ErrorCode::busy, "4 jobs in flight"));
  const Frame bad = *daemon.readFrame();
  EXPECT_EQ(bad.reqID, 10u);
  EXPECT_EQ(errorOf(bad), JobError(ErrorCode::badRequest, "payload truncated at byte 0"));

  daemon.closeInput();  // the four running jobs are still answered before a clean exit
  std::vector<uint32_t> done;
  while (std::optional<Frame> reply = daemon.readFrame()) {
    expectResult(*reply, reply->reqID);
    done.push_back(reply->reqID);
  }
  std::sort(done.begin(), done.end());
  EXPECT_EQ(done, (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

TEST(Daemon, RepliesGoOutInCompletionOrder) {
  Daemon daemon;
  daemon.readHello();
  daemon.write(framesOf({jobFrame(1, clipJob(40, true)), jobFrame(2, clipJob(1, false))}));
  expectResult(*daemon.readFrame(), 2);
  expectResult(*daemon.readFrame(), 1);
  daemon.closeInput();
  EXPECT_EQ(daemon.wait(), 0);
}

TEST(Daemon, AParentKeepingFourJobsOutstandingIsNeverRefused) {
  const Frame quick = jobFrame(0, clipJob(1, true));
  Daemon daemon;
  daemon.readHello();
  uint32_t sent = 0;
  for (; sent < 4; ++sent) daemon.send(Frame{quick.type, sent, quick.payload});
  for (uint32_t replies = 0; replies < 24; ++replies) {
    const Frame reply = *daemon.readFrame();
    expectResult(reply, reply.reqID);
    if (sent < 24) daemon.send(Frame{quick.type, sent++, quick.payload});
  }
  daemon.closeInput();
  EXPECT_EQ(daemon.readFrame(), std::nullopt);
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.errorText(), "");
}

}  // namespace
}  // namespace mosaickit
