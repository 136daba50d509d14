// The daemon's service: Server holds the conversation with the parent over two file descriptors
// (greeting, read loop, admission, workers, replies, the decoder-pool sweep and the exit status).
// Each admitted job runs on a worker through the JobRunner (runner.h).

#ifndef MOSAICKIT_SERVER_H_
#define MOSAICKIT_SERVER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "mosaickit/frame_io.h"
#include "mosaickit/protocol.h"
#include "mosaickit/runner.h"

namespace mosaickit {

// Settings of the service that the daemon fixes and tests may shorten.
struct ServerTiming {
  // How often idle decoders are swept; the first sweep comes one period after start. A sweep that
  // finds no job in flight also hands the allocator's free memory back to the system, so that
  // memory the process keeps for reuse between jobs is not held through a quiet spell.
  std::chrono::milliseconds sweepPeriod{30000};
};

// The daemon's conversation with its parent. run() is called once, on the main thread.
//
// Exactly one reply frame answers each job frame, under its reqID: a result, or an error for a
// payload that does not parse, a full house (busy) or a job that fails. Replies go out in
// completion order. A failed write of any frame, on any thread, writes one diagnostic line to
// standard error and ends the process at once with status 1 (_exit: other threads may be
// running).
class Server {
 public:
  static constexpr std::string_view version = "gridwright 1.0";
  static constexpr uint8_t caps = 3;

  // Reads frames from `input` and writes frames to `output`; both stay open and are the caller's.
  // `runner` must outlive the server. REQUIRES: 1 <= maxInflight <= 255. Starts nothing.
  Server(int input, int output, JobRunner& runner, int maxInflight, ServerTiming timing = {});
  // Waits for jobs that are still running (after run returned 2) and stops the workers.
  ~Server();

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Greets the parent, reads frames until the input ends or breaks, and returns the exit status:
  // 0 after a clean end of input once every admitted job has replied, 2 on malformed input or a
  // frame type other than job (after its diagnostic line, without waiting for running jobs).
  int run();

 private:
  struct Work {
    Job job;
    uint32_t reqID;
  };
  struct Reply {
    uint8_t type;
    Bytes payload;
  };

  int readLoop();
  void admit(Frame frame);
  bool takePlace();
  void workerLoop();
  void runOne(Work work);
  Reply runJob(const Job& job);
  static Reply errorReply(const JobError& error);
  void sweepLoop();
  bool idle();
  void startJobPath();
  void stopJobPath();
  void waitForReplies();

  void send(uint8_t type, uint32_t reqID, Bytes payload);
  void sendError(uint32_t reqID, const JobError& error);

  FrameReader reader_;
  FrameWriter writer_;
  JobRunner& runner_;
  const int maxInflight_;
  const ServerTiming timing_;

  // Guards inflight_ only.
  std::mutex lock_;
  int inflight_ = 0;

  // The work queue and the count of admitted jobs whose reply is not yet written.
  std::mutex queueLock_;
  std::condition_variable queueChanged_;
  std::deque<Work> queue_;
  int unreplied_ = 0;
  bool closing_ = false;
  std::vector<std::thread> workers_;

  std::mutex sweepLock_;
  std::condition_variable sweepStop_;
  bool sweepStopping_ = false;
  std::thread sweeper_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_SERVER_H_
