#include "mosaickit/server.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "mosaickit/decoder_cache.h"

namespace mosaickit {

namespace {

// Diagnostics are formatted whole and written with one call, so that a line from a thread that
// is about to end the process cannot be split or lost in a buffer.
void writeDiagnostic(const std::string& text) {
  const std::string line = "gridwright: " + text + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

// Ends the process after a failed write. When the parent closes our output, every thread that
// writes next fails, possibly at nearly the same moment (one blocked in write, others queued on
// the writer's lock); only the first one writes the line, and the others wait for the end it
// brings, so the parent sees the line once.
[[noreturn]] void exitAfterFailedWrite(const ProtocolError& error) {
  static std::atomic_flag ending = ATOMIC_FLAG_INIT;
  if (ending.test_and_set()) {
    for (;;) ::pause();
  }
  writeDiagnostic(error.description() + "; exiting");
  ::_exit(1);
}

}  // namespace

Server::Server(int input, int output, JobRunner& runner, int maxInflight, ServerTiming timing)
    : reader_(input),
      writer_(output),
      runner_(runner),
      maxInflight_(maxInflight),
      timing_(timing) {}

Server::~Server() {
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    closing_ = true;
  }
  queueChanged_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  stopJobPath();
}

int Server::run() {
  startJobPath();
  const Hello hello{caps, static_cast<uint8_t>(maxInflight_), std::string(version)};
  send(static_cast<uint8_t>(FrameType::hello), 0, hello.encode());
  const int status = readLoop();
  stopJobPath();
  return status;
}

int Server::readLoop() {
  for (;;) {
    std::optional<Frame> frame;
    try {
      frame = reader_.next();
    } catch (const ProtocolError& error) {
      writeDiagnostic("malformed input: " + error.description());
      return 2;
    }
    if (!frame) {
      waitForReplies();
      return 0;
    }
    if (frame->type != static_cast<uint8_t>(FrameType::job)) {
      writeDiagnostic("malformed input: unexpected frame type " + std::to_string(frame->type));
      return 2;
    }
    admit(std::move(*frame));
  }
}

// Main thread. A payload that does not parse never touches the in-flight count, so it gets its
// own error even while the daemon is full. The payload is freed once parsed, before a worker
// starts on the job: the job's first large allocations can then reuse its memory.
void Server::admit(Frame frame) {
  std::optional<Job> job;
  try {
    job = Job::parse(frame.payload);
  } catch (const JobError& error) {
    sendError(frame.reqID, error);
    return;
  }
  Bytes().swap(frame.payload);
  if (!takePlace()) {
    sendError(frame.reqID,
              JobError(ErrorCode::busy, std::to_string(maxInflight_) + " jobs in flight"));
    return;
  }
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    ++unreplied_;
    queue_.push_back(Work{std::move(*job), frame.reqID});
  }
  queueChanged_.notify_one();
}

bool Server::takePlace() {
  std::lock_guard<std::mutex> hold(lock_);
  if (inflight_ >= maxInflight_) return false;
  ++inflight_;
  return true;
}

void Server::workerLoop() {
  for (;;) {
    std::unique_lock<std::mutex> hold(queueLock_);
    queueChanged_.wait(hold, [this] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Work work = std::move(queue_.front());
    queue_.pop_front();
    hold.unlock();
    runOne(std::move(work));
  }
}

void Server::runOne(Work work) {
  Reply reply = runJob(work.job);
  work.job = Job();  // the access units are not needed for the reply
  // The place is freed before the reply goes out, so a job sent in answer to this reply is
  // never refused on this job's account.
  {
    std::lock_guard<std::mutex> hold(lock_);
    --inflight_;
  }
  send(reply.type, work.reqID, std::move(reply.payload));
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    --unreplied_;
  }
  queueChanged_.notify_all();
}

// Whatever a job throws becomes its error frame: an exception must never reach the top of a
// worker thread, where it would end the process and every other job with it. The result's
// JPEGs are gone once their payload is made.
Server::Reply Server::runJob(const Job& job) {
  try {
    return Reply{static_cast<uint8_t>(FrameType::result), runner_.run(job).encode()};
  } catch (const JobError& error) {
    return errorReply(error);
  } catch (const std::exception& error) {
    return errorReply(JobError(ErrorCode::internalError, error.what()));
  } catch (...) {
    return errorReply(JobError(ErrorCode::internalError, "unknown exception"));
  }
}

Server::Reply Server::errorReply(const JobError& error) {
  return Reply{static_cast<uint8_t>(FrameType::error), error.encode()};
}

void Server::waitForReplies() {
  std::unique_lock<std::mutex> hold(queueLock_);
  queueChanged_.wait(hold, [this] { return unreplied_ == 0; });
}

void Server::startJobPath() {
  sweeper_ = std::thread([this] { sweepLoop(); });
  for (int k = 0; k < maxInflight_; ++k) workers_.emplace_back([this] { workerLoop(); });
}

void Server::stopJobPath() {
  {
    std::lock_guard<std::mutex> hold(sweepLock_);
    sweepStopping_ = true;
  }
  sweepStop_.notify_all();
  if (sweeper_.joinable()) sweeper_.join();
}

// Sweeps the decoder pool every period until stopped; shutting down does not wait for the
// period to run out.
void Server::sweepLoop() {
  std::unique_lock<std::mutex> hold(sweepLock_);
  for (;;) {
    if (sweepStop_.wait_for(hold, timing_.sweepPeriod, [this] { return sweepStopping_; })) return;
    hold.unlock();
    runner_.cache().sweep();
    if (idle()) ::malloc_trim(0);
    hold.lock();
  }
}

bool Server::idle() {
  std::lock_guard<std::mutex> hold(queueLock_);
  return unreplied_ == 0;
}

void Server::send(uint8_t type, uint32_t reqID, Bytes payload) {
  try {
    writer_.send(Frame{type, reqID, std::move(payload)});
  } catch (const ProtocolError& error) {
    exitAfterFailedWrite(error);
  }
}

void Server::sendError(uint32_t reqID, const JobError& error) {
  Reply reply = errorReply(error);
  send(reply.type, reqID, std::move(reply.payload));
}

}  // namespace mosaickit
