#include "mosaickit/client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mosaickit/frame_io.h"

extern char** environ;

namespace mosaickit {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kErrorTextLimit = 64 * 1024;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

ExitStatus fromWaitStatus(int status) {
  if (WIFSIGNALED(status)) return {0, WTERMSIG(status)};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0};
}

// A parent whose daemon died must get EPIPE from its next write, not a fatal signal.
void ignoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction old {};
    if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      ::signal(SIGPIPE, SIG_IGN);
    }
  });
}

struct Pipe {
  int read = -1, write = -1;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw ClientError(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  return {fds[0], fds[1]};
}

// Waits until `fd` is readable or the deadline passes; false on the deadline.
bool readableBefore(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, left < 0 ? 0 : static_cast<int>(left));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the read itself report the failure
  }
}

std::string lastLine(const std::string& text) {
  size_t end = text.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  const size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

struct HelloTimeout {};

}  // namespace

std::string ExitStatus::describe() const {
  if (signal != 0) {
    return "killed by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
  }
  return "exit status " + std::to_string(code);
}

// ---- ChildProcess ----

ChildProcess::ChildProcess(const std::string& path, const SpawnOptions& options) {
  ignoreBrokenPipes();
  const Pipe in = makePipe(), out = makePipe(), err = makePipe();
  int outRead = out.read;
  if (options.outputClosed) closeFd(outRead);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write, 1);
  posix_spawn_file_actions_adddup2(&actions, err.write, 2);
  // Only the three pipes: descriptors this process left inheritable are none of the child's
  // business, and a pipe end held open by the child could hide another child's end of input.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The child gets the default SIGPIPE back, whatever this process chose for itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);

  ::close(in.read);
  ::close(out.write);
  ::close(err.write);
  input_ = in.write;
  output_ = outRead;
  errors_ = err.read;
  if (rc != 0) {
    pid_ = -1;
    closeInput();
    closeOutput();
    closeErrors();
    throw ClientError("cannot start " + path + ": " + std::strerror(rc));
  }
}

ChildProcess::~ChildProcess() {
  closeInput();
  closeOutput();
  closeErrors();
  if (pid_ > 0) {
    kill(SIGKILL);
    wait();
  }
}

void ChildProcess::closeInput() {
  closeFd(input_);
}
void ChildProcess::closeOutput() {
  closeFd(output_);
}
void ChildProcess::closeErrors() {
  closeFd(errors_);
}

void ChildProcess::kill(int signal) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!status_) ::kill(pid_, signal);
}

ExitStatus ChildProcess::wait() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (status_) return *status_;
  }
  // Wait without reaping, so that the process id stays ours (kill() may run meanwhile), then
  // reap under the lock.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (!status_) {
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    status_ = done == pid_ ? fromWaitStatus(status) : ExitStatus{-1, 0};
  }
  return *status_;
}

std::optional<ExitStatus> ChildProcess::poll() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!status_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = fromWaitStatus(status);
  }
  return status_;
}

// ---- Client ----

Client::Client(ClientOptions options) : options_(std::move(options)), child_(options_.daemonPath) {
  if (options_.started) options_.started(child_.pid());
  try {
    startErrorReader();
    readHello(options_.helloTimeout);
    replies_ = std::thread([this] { readReplies(); });
  } catch (const ClientError&) {
    throw;
  } catch (const std::exception& e) {
    failStart(std::string("cannot talk to gridwright: ") + e.what());
  }
}

Client::~Client() {
  try {
    close(std::chrono::milliseconds(0));
  } catch (...) {
    // Destructors do not throw; the daemon is gone either way.
  }
}

void Client::startErrorReader() {
  errorsReader_ = std::thread([this] {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(child_.errors(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard<std::mutex> hold(lock_);
      errorText_.append(buf, static_cast<size_t>(n));
      if (errorText_.size() > kErrorTextLimit) {
        errorText_.erase(0, errorText_.size() - kErrorTextLimit);
      }
    }
  });
}

void Client::failStart(const std::string& why) {
  child_.kill(SIGKILL);
  child_.wait();
  if (errorsReader_.joinable()) errorsReader_.join();
  throw ClientError(why);
}

void Client::readHello(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const int fd = child_.output();
  FrameReader reader([fd, deadline](uint8_t* dst, size_t count) -> ssize_t {
    if (!readableBefore(fd, deadline)) throw HelloTimeout{};
    return ::read(fd, dst, count);
  });
  std::optional<Frame> frame;
  try {
    frame = reader.next();
  } catch (const HelloTimeout&) {
    failStart("gridwright did not greet within " + std::to_string(timeout.count()) + " ms");
  } catch (const ProtocolError& e) {
    failStart("gridwright greeted with a broken frame: " + e.description());
  }
  if (!frame) {
    const ExitStatus status = child_.wait();
    if (errorsReader_.joinable()) errorsReader_.join();
    throw ClientError(endedReason(status, " before greeting"));
  }
  if (frame->type != static_cast<uint8_t>(FrameType::hello)) {
    failStart("gridwright greeted with a frame of type " + std::to_string(frame->type) +
              ", not a Hello");
  }
  try {
    hello_ = Hello::parse(frame->payload);
  } catch (const JobError& e) {
    failStart("gridwright greeted with a bad Hello: " + e.message());
  }
  if (hello_.maxInflight == 0) failStart("gridwright announced no place for jobs (maxInflight 0)");
}

void Client::readReplies() {
  std::string broken;
  FrameReader reader(child_.output());
  try {
    while (std::optional<Frame> frame = reader.next()) {
      if (!deliver(*frame, broken)) break;
    }
  } catch (const ProtocolError& e) {
    broken = e.description();
  }
  finish(broken);
}

// Hands one reply to its job; false (with `broken` set) for a frame that is not a reply to an
// outstanding job.
bool Client::deliver(const Frame& frame, std::string& broken) {
  std::optional<JobOutcome> outcome;
  try {
    if (frame.type == static_cast<uint8_t>(FrameType::result)) {
      outcome = JobResult::parse(frame.payload);
    } else if (frame.type == static_cast<uint8_t>(FrameType::error)) {
      outcome = JobError::parse(frame.payload);
    } else {
      broken = "unexpected frame type " + std::to_string(frame.type);
      return false;
    }
  } catch (const JobError& e) {
    broken = "reply to job " + std::to_string(frame.reqID) + ": " + e.message();
    return false;
  }
  std::promise<JobOutcome> promise;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = pending_.find(frame.reqID);
    if (it == pending_.end()) {
      broken = "reply to unknown job " + std::to_string(frame.reqID);
      return false;
    }
    promise = std::move(it->second.promise);
    pending_.erase(it);
  }
  changed_.notify_all();
  promise.set_value(std::move(*outcome));
  return true;
}

// The daemon's output has ended or broken: reap the daemon and fail what is still outstanding.
void Client::finish(const std::string& broken) {
  if (!broken.empty()) child_.kill(SIGKILL);
  const ExitStatus status = child_.wait();
  if (errorsReader_.joinable()) errorsReader_.join();
  const std::string reason =
      broken.empty() ? endedReason(status, "")
                     : "gridwright wrote a broken frame (" + broken + ") and was stopped";
  std::map<uint32_t, Pending> orphans;
  {
    std::lock_guard<std::mutex> hold(lock_);
    status_ = status;
    ended_ = true;
    if (!closing_ || !pending_.empty()) failure_ = reason;
    orphans.swap(pending_);
  }
  changed_.notify_all();
  for (auto& [reqID, pending] : orphans) {
    pending.promise.set_exception(std::make_exception_ptr(ClientError(reason)));
  }
}

std::string Client::endedReason(const ExitStatus& status, const char* when) const {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(lock_);
    text = lastLine(errorText_);
  }
  std::string reason = std::string("gridwright ended") + when + " with " + status.describe();
  if (!text.empty()) reason += ": " + text;
  return reason;
}

std::future<JobOutcome> Client::submit(const Job& job) {
  Bytes payload = job.encode();
  if (payload.size() + 5 > maxFrameLength) {
    throw ClientError("job frame of " + std::to_string(payload.size() + 9) +
                      " bytes is over the 64 MiB frame limit");
  }
  std::future<JobOutcome> future;
  uint32_t reqID;
  {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] {
      return ended_ || closing_ || static_cast<int>(pending_.size()) < maxInflight();
    });
    if (ended_) throw ClientError(failure_.value_or("gridwright has ended"));
    if (closing_) throw ClientError("the client is closing");
    reqID = nextReqID_++;
    if (nextReqID_ == 0) nextReqID_ = 1;
    future = pending_[reqID].promise.get_future();
  }
  std::lock_guard<std::mutex> writing(writeLock_);
  if (child_.input() < 0) {
    std::lock_guard<std::mutex> hold(lock_);
    pending_.erase(reqID);
    throw ClientError("the client is closing");
  }
  try {
    FrameWriter(child_.input())
        .send(Frame{static_cast<uint8_t>(FrameType::job), reqID, std::move(payload)});
  } catch (const ProtocolError&) {
    // The daemon no longer reads: it has died or is about to. Make sure it is gone, so that the
    // reply reader sees the end of its output and fails this job with the reason.
    child_.kill(SIGKILL);
  }
  return future;
}

JobOutcome Client::run(const Job& job) {
  return submit(job).get();
}

int Client::outstanding() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(pending_.size());
}

ExitStatus Client::close(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> closing(closeLock_);
  {
    std::lock_guard<std::mutex> hold(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  {
    std::lock_guard<std::mutex> writing(writeLock_);
    child_.closeInput();
  }
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (!changed_.wait_for(hold, timeout, [this] { return ended_; })) {
      hold.unlock();
      child_.kill(SIGKILL);
    }
  }
  if (replies_.joinable()) replies_.join();
  std::lock_guard<std::mutex> hold(lock_);
  return status_.value_or(ExitStatus{-1, 0});
}

std::optional<std::string> Client::failure() const {
  std::lock_guard<std::mutex> hold(lock_);
  return failure_;
}

std::string Client::errorText() const {
  std::lock_guard<std::mutex> hold(lock_);
  return errorText_;
}

}  // namespace mosaickit
