// The client library against the real daemon: greeting, jobs matched by reqID from several
// threads, a daemon that dies with jobs outstanding, clean closing, and programs that greet
// wrongly or not at all.

#include "mosaickit/client.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/clips.h"

namespace mosaickit {
namespace {

using namespace std::chrono_literals;

ClientOptions daemonOptions() {
  return ClientOptions{GRIDWRIGHT_BIN};
}

// A small real job: the three colours of a clip in one row of 32 x 18 cells.
Job colourJob() {
  return testing_support::rowJob(testing_support::loadClip("h264_rgb_640x360"), 32, 18);
}

// A job that parses but breaks the quality rule: the daemon answers "quality Q", which tells
// the replies apart.
Job badQualityJob(int quality) {
  Job job = colourJob();
  job.quality = quality;
  return job;
}

std::string errorMessage(const JobOutcome& outcome) {
  const JobError* error = std::get_if<JobError>(&outcome);
  return error ? error->message() : "(a result)";
}

TEST(Client, GreetsRunsAJobAndClosesCleanly) {
  Client client(daemonOptions());
  EXPECT_EQ(client.version(), "gridwright 1.0");
  EXPECT_EQ(client.maxInflight(), 4);
  EXPECT_EQ(client.caps(), 3);

  const JobOutcome good = client.run(colourJob());
  ASSERT_TRUE(std::holds_alternative<JobResult>(good)) << errorMessage(good);
  EXPECT_EQ(std::get<JobResult>(good).jpegs.size(), 1u);

  const JobOutcome bad = client.run(badQualityJob(0));
  ASSERT_TRUE(std::holds_alternative<JobError>(bad));
  EXPECT_EQ(std::get<JobError>(bad), JobError(ErrorCode::badRequest, "quality 0"));

  EXPECT_EQ(client.close(), (ExitStatus{0, 0}));
  EXPECT_EQ(client.failure(), std::nullopt);
  EXPECT_EQ(client.errorText(), "");
}

// Eight threads keep twice the daemon's places busy: nothing is refused as busy and every
// thread gets the replies to its own jobs.
TEST(Client, ManyThreadsGetTheirOwnRepliesAndNeverBusy) {
  Client client(daemonOptions());
  constexpr int kThreads = 8, kJobsEach = 6;
  std::vector<std::vector<std::string>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&client, &seen, t] {
      for (int k = 0; k < kJobsEach; ++k) {
        const bool real = k % 2 == 0;
        const JobOutcome outcome =
            client.run(real ? colourJob() : badQualityJob(32 + t * kJobsEach + k));
        seen[static_cast<size_t>(t)].push_back(
            std::holds_alternative<JobResult>(outcome) ? "result" : errorMessage(outcome));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    std::vector<std::string> want;
    for (int k = 0; k < kJobsEach; ++k) {
      want.push_back(k % 2 == 0 ? "result" : "quality " + std::to_string(32 + t * kJobsEach + k));
    }
    EXPECT_EQ(seen[static_cast<size_t>(t)], want) << "thread " << t;
  }
  EXPECT_EQ(client.close(), (ExitStatus{0, 0}));
}

TEST(Client, CloseCollectsOutstandingReplies) {
  Client client(daemonOptions());
  std::vector<std::future<JobOutcome>> futures;
  for (int k = 0; k < 4; ++k) futures.push_back(client.submit(colourJob()));
  EXPECT_EQ(client.close(), (ExitStatus{0, 0}));
  for (std::future<JobOutcome>& f : futures) {
    EXPECT_TRUE(std::holds_alternative<JobResult>(f.get()));
  }
  EXPECT_THROW(client.submit(colourJob()), ClientError);
}

// The daemon is stopped, given jobs, then killed before it can read them: every outstanding
// job, and every later submission, fails with the reason instead of hanging.
TEST(Client, DaemonKilledWithJobsOutstandingFailsThemAll) {
  Client client(daemonOptions());
  ASSERT_EQ(::kill(client.pid(), SIGSTOP), 0);
  std::vector<std::future<JobOutcome>> futures;
  for (int k = 0; k < 3; ++k) futures.push_back(client.submit(colourJob()));
  ASSERT_EQ(::kill(client.pid(), SIGKILL), 0);

  const std::string reason = "gridwright ended with killed by signal 9 (Killed)";
  for (std::future<JobOutcome>& f : futures) {
    try {
      f.get();
      ADD_FAILURE() << "a job of a killed daemon succeeded";
    } catch (const ClientError& e) {
      EXPECT_EQ(std::string(e.what()), reason);
    }
  }
  EXPECT_EQ(client.failure(), reason);
  try {
    client.submit(colourJob());
    ADD_FAILURE() << "a submission to a dead daemon was accepted";
  } catch (const ClientError& e) {
    EXPECT_EQ(std::string(e.what()), reason);
  }
  EXPECT_EQ(client.close(), (ExitStatus{0, SIGKILL}));
}

TEST(Client, AFullHouseWaitsForAPlaceInsteadOfBusy) {
  Client client(daemonOptions());
  ASSERT_EQ(::kill(client.pid(), SIGSTOP), 0);
  std::vector<std::future<JobOutcome>> futures;
  for (int k = 0; k < 4; ++k) futures.push_back(client.submit(colourJob()));
  // The fifth waits on a thread of its own until the daemon, resumed, answers one.
  std::future<JobOutcome> fifth =
      std::async(std::launch::async, [&client] { return client.submit(colourJob()).get(); });
  EXPECT_EQ(client.outstanding(), 4);
  ASSERT_EQ(::kill(client.pid(), SIGCONT), 0);
  EXPECT_TRUE(std::holds_alternative<JobResult>(fifth.get()));
  for (std::future<JobOutcome>& f : futures) {
    EXPECT_TRUE(std::holds_alternative<JobResult>(f.get()));
  }
  EXPECT_EQ(client.close(), (ExitStatus{0, 0}));
}

// The colour job with one more access unit, never shown, sized so that the job frame's length
// field is `frameLength` (its payload and 5 bytes of type and reqID).
Job jobOfFrameLength(uint32_t frameLength) {
  Job job = colourJob();
  job.frames.push_back(Bytes(1, 0));
  const size_t base = job.encode().size() + 5;
  job.frames.back().resize(1 + frameLength - base);
  return job;
}

// A frame of exactly the limit leaves, and the daemon reads it; one byte more is refused before
// a byte is written: had any gone out, the daemon would end on a frame over its limit.
TEST(Client, JobFramesUpToTheLimitLeaveAndLargerOnesAreRefusedUnsent) {
  Client client(daemonOptions());
  const Job largest = jobOfFrameLength(maxFrameLength);
  ASSERT_EQ(largest.encode().size() + 5, maxFrameLength);
  EXPECT_TRUE(std::holds_alternative<JobResult>(client.run(largest)));
  try {
    client.submit(jobOfFrameLength(maxFrameLength + 1));
    ADD_FAILURE() << "submitted";
  } catch (const ClientError& e) {
    EXPECT_STREQ(e.what(), "job frame of 67108869 bytes is over the 64 MiB frame limit");
  }
  EXPECT_TRUE(std::holds_alternative<JobResult>(client.run(colourJob())));
  EXPECT_EQ(client.close(), (ExitStatus{0, 0}));
}

// Stand-ins for a daemon, as shell scripts: each greets wrongly or not at all.
class BadDaemon : public ::testing::Test {
 protected:
  std::string script(const std::string& name, const std::string& body) {
    const std::filesystem::path dir = ::testing::TempDir() + "client_test_daemons";
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path.string();
  }
};

TEST_F(BadDaemon, StartFailuresAreClearErrors) {
  struct Case {
    std::string name, body, error;
  };
  const std::vector<Case> cases = {
      {"exits", "exit 0", "gridwright ended before greeting with exit status 0"},
      {"complains", "echo 'cannot run here' >&2; exit 3",
       "gridwright ended before greeting with exit status 3: cannot run here"},
      {"silent", "exec sleep 30", "gridwright did not greet within 300 ms"},
      {"result", "printf '\\005\\000\\000\\000\\003\\000\\000\\000\\000'; exec sleep 30",
       "gridwright greeted with a frame of type 3, not a Hello"},
      {"magic",
       "printf '\\017\\000\\000\\000\\001\\000\\000\\000\\000XXXX\\001\\000\\003\\004"
       "\\000\\000'; exec sleep 30",
       "gridwright greeted with a bad Hello: bad magic"},
      {"proto",
       "printf '\\017\\000\\000\\000\\001\\000\\000\\000\\000GWRT\\002\\000\\003\\004"
       "\\000\\000'; exec sleep 30",
       "gridwright greeted with a bad Hello: bad proto"},
      {"short", "printf '\\011\\000'",
       "gridwright greeted with a broken frame: EOF inside a "
       "frame after 2 of 4 bytes"},
  };
  for (const Case& c : cases) {
    try {
      Client client(ClientOptions{script(c.name, c.body), 300ms});
      ADD_FAILURE() << c.name << ": started";
    } catch (const ClientError& e) {
      EXPECT_EQ(std::string(e.what()), c.error) << c.name;
    }
  }
}

TEST(Client, MissingDaemonIsAClearError) {
  try {
    Client client(ClientOptions{"/nonexistent/gridwright"});
    ADD_FAILURE() << "started";
  } catch (const ClientError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot start /nonexistent/gridwright: No such file or directory");
  }
}

}  // namespace
}  // namespace mosaickit
