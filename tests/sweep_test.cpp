// The decoder-pool sweep with the server's real timer, in process so that the period and the
// idle timeout can be short and the pool can be watched: idle decoders are closed by the timer
// alone, decoders not yet expired survive its sweeps, sweeps race jobs safely, and shutting down
// never waits for the next tick.

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "mosaickit/decoder_cache.h"
#include "mosaickit/frame_io.h"
#include "mosaickit/server.h"
#include "support/child.h"
#include "support/clips.h"

namespace mosaickit {
namespace {

using namespace std::chrono_literals;

// A pipe whose ends close with it.
class Pipe {
 public:
  Pipe() {
    if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    closeWrite();
    if (fds_[0] >= 0) ::close(fds_[0]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void closeWrite() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// A Server running on its own thread over two pipes, with a pool and a timer of the test's
// choosing. The test plays the parent: it writes job frames and reads the replies. The output
// pipe stays open and read to the end, so no write of the server ever fails.
class ServerUnderTest {
 public:
  ServerUnderTest(double idleTimeout, std::chrono::milliseconds sweepPeriod,
                  DecoderCache::Clock clock = DecoderCache::uptimeSeconds)
      : cache_(48, idleTimeout, std::move(clock)),
        runner_(cache_),
        server_(input_.readEnd(), output_.writeEnd(), runner_, 4, ServerTiming{sweepPeriod}),
        replies_(output_.readEnd()) {
    status_ = std::async(std::launch::async, [this] { return server_.run(); });
    const std::optional<Frame> hello = replies_.next();
    EXPECT_TRUE(hello && hello->type == static_cast<uint8_t>(FrameType::hello));
  }
  ~ServerUnderTest() {
    input_.closeWrite();
    if (status_.valid()) status_.wait();
  }

  DecoderCache& cache() { return cache_; }

  void send(const Frame& frame) {
    const Bytes wire = frame.encode();
    ASSERT_EQ(::write(input_.writeEnd(), wire.data(), wire.size()),
              static_cast<ssize_t>(wire.size()));
  }
  Frame reply() { return replies_.next().value(); }

  // Ends the input and returns run()'s status; nullopt when run() has not returned after a
  // minute (it hangs).
  std::optional<int> finish(ByteView lastBytes = {}) {
    if (!lastBytes.empty()) {
      EXPECT_EQ(::write(input_.writeEnd(), lastBytes.data(), lastBytes.size()),
                static_cast<ssize_t>(lastBytes.size()));
    }
    input_.closeWrite();
    if (status_.wait_for(60s) != std::future_status::ready) return std::nullopt;
    return status_.get();
  }

 private:
  Pipe input_, output_;
  DecoderCache cache_;
  JobRunner runner_;
  Server server_;
  FrameReader replies_;
  std::future<int> status_;
};

Frame quickJob(uint32_t reqID, const char* clipName) {
  Job job = testing_support::rowJob(testing_support::loadClip(clipName), 16, 16);
  job.levels = {Level{1, 1, {0}}};
  return testing_support::jobFrame(reqID, job);
}

template <typename Predicate>
bool eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(SweepTimer, ClosesIdleDecodersWithNoFurtherJob) {
  ServerUnderTest server(0.1, 20ms);
  server.send(quickJob(1, "h264_crop_420"));
  server.send(quickJob(2, "h265_crop_422_main10"));
  for (int k = 0; k < 2; ++k)
    EXPECT_EQ(server.reply().type, static_cast<uint8_t>(FrameType::result));
  // No job comes after these: only the timer can close their decoders.
  EXPECT_TRUE(eventually([&] { return server.cache().idleCount() == 0; }));
  EXPECT_EQ(server.finish(), 0);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerAllocator = true;
#else
constexpr bool kSanitizerAllocator = false;
#endif

long residentKiB() {
  return testing_support::procStatusField(::getpid(), "VmRSS");
}

TEST(SweepTimer, IdleSweepGivesFreeMemoryBackToTheSystem) {
  if (kSanitizerAllocator) GTEST_SKIP() << "the sanitizer's allocator keeps memory its own way";
  // Like the daemon, keep large freed blocks in the heap for the next job.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
  constexpr size_t kBlock = 24 << 20;
  const long before = residentKiB();
  {
    const auto block = std::make_unique_for_overwrite<uint8_t[]>(kBlock);
    // Volatile stores: the compiler may not drop the block as unused.
    volatile uint8_t* pages = block.get();
    for (size_t at = 0; at < kBlock; at += 4096) pages[at] = 1;
  }
  ASSERT_GT(residentKiB(), before + 16 * 1024) << "the freed block was not kept";

  ServerUnderTest server(120.0, 20ms);
  EXPECT_TRUE(eventually([&] { return residentKiB() < before + 8 * 1024; }));
  EXPECT_EQ(server.finish(), 0);
}

TEST(SweepTimer, SweepsKeepDecodersThatHaveNotExpired) {
  // A clock that moves only when the test says so, and counts its readings: after a reply only
  // the timer's sweeps read it.
  std::atomic<double> now{1000.0};
  std::atomic<int> readings{0};
  ServerUnderTest server(120.0, 5ms, [&] {
    ++readings;
    return now.load();
  });
  server.send(quickJob(1, "h264_crop_420"));
  EXPECT_EQ(server.reply().type, static_cast<uint8_t>(FrameType::result));
  ASSERT_EQ(server.cache().idleCount(), 1u);

  const int before = readings.load();
  ASSERT_TRUE(eventually([&] { return readings.load() >= before + 3; })) << "no sweep came";
  EXPECT_EQ(server.cache().idleCount(), 1u);  // idle for 0 s of 120 s

  now = 1120.0;  // exactly the timeout: still not expired
  const int atTimeout = readings.load();
  ASSERT_TRUE(eventually([&] { return readings.load() >= atTimeout + 3; })) << "no sweep came";
  EXPECT_EQ(server.cache().idleCount(), 1u);

  now = 1120.5;
  EXPECT_TRUE(eventually([&] { return server.cache().idleCount() == 0; }));
  EXPECT_EQ(server.finish(), 0);
}

TEST(SweepTimer, SweepsRaceJobsSafely) {
  // Every idle decoder expires at once and the timer fires every millisecond, while four jobs
  // at a time check decoders of two streams out and in.
  ServerUnderTest server(0.0, 1ms);
  const Frame jobs[2] = {quickJob(0, "h264_crop_420"), quickJob(0, "h265_crop_422_main10")};
  uint32_t sent = 0;
  for (; sent < 4; ++sent) server.send(Frame{2, sent, jobs[sent % 2].payload});
  for (int replies = 0; replies < 40; ++replies) {
    const Frame reply = server.reply();
    EXPECT_EQ(reply.type, static_cast<uint8_t>(FrameType::result)) << reply.reqID;
    if (sent < 40) {
      server.send(Frame{2, sent, jobs[sent % 2].payload});
      ++sent;
    }
  }
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.cache().inUseCount(), 0u);
}

TEST(SweepTimer, ShutDownDoesNotWaitForTheNextSweep) {
  struct Case {
    const char* name;
    Bytes lastBytes;
    int status;
  };
  const std::vector<Case> cases = {
      {"clean end of input", {}, 0},
      {"malformed input", {3, 0, 0, 0}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A sweep period far longer than the test's deadline: a shut-down that waited for the
    // timer would hang.
    ServerUnderTest server(120.0, std::chrono::hours(1));
    server.send(quickJob(1, "h264_crop_420"));
    EXPECT_EQ(server.reply().type, static_cast<uint8_t>(FrameType::result));
    EXPECT_EQ(server.finish(c.lastBytes), c.status);
  }
}

TEST(SweepTimer, TheDaemonExitsWithoutWaitingForItsThirtySecondSweep) {
  testing_support::Daemon daemon;
  daemon.readHello();
  daemon.closeInput();
  // Well inside the first 30 s period: a daemon that waited for its timer would miss this.
  EXPECT_EQ(daemon.wait(20s), 0);
}

}  // namespace
}  // namespace mosaickit
