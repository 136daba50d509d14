#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "mosaickit/frame_io.h"

extern char** environ;

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int millisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool pollFor(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, millisLeft(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
  }
}

}  // namespace

Daemon::Daemon(Options options, const std::string& path) {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (options.outputClosed) closeFd(out[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  const int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
  if (rc != 0) throw std::runtime_error("posix_spawn " + path + ": " + std::strerror(rc));
}

Daemon::~Daemon() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  closeFd(input_);
  closeFd(output_);
  closeFd(errors_);
}

bool Daemon::write(mosaickit::ByteView bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void Daemon::closeInput() {
  closeFd(input_);
}
void Daemon::closeOutput() {
  closeFd(output_);
}

bool Daemon::outputReady(std::chrono::milliseconds timeout) {
  return pollFor(output_, POLLIN, Clock::now() + timeout);
}

size_t Daemon::outputPending() const {
  int pending = 0;
  if (::ioctl(output_, FIONREAD, &pending) != 0) {
    throw std::runtime_error(std::string("FIONREAD: ") + std::strerror(errno));
  }
  return static_cast<size_t>(pending);
}

int Daemon::resizeOutputPipe(int bytes) {
  const int granted = ::fcntl(output_, F_SETPIPE_SZ, bytes);
  if (granted < 0) throw std::runtime_error(std::string("F_SETPIPE_SZ: ") + std::strerror(errno));
  return granted;
}

std::optional<mosaickit::Frame> Daemon::readFrame(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  mosaickit::FrameReader reader([this, deadline](uint8_t* dst, size_t count) -> ssize_t {
    if (!pollFor(output_, POLLIN, deadline)) {
      throw std::runtime_error("timed out waiting for the daemon's output");
    }
    return ::read(output_, dst, count);
  });
  try {
    return reader.next();
  } catch (const mosaickit::ProtocolError& e) {
    throw std::runtime_error("broken output from the daemon: " + e.description());
  }
}

mosaickit::Hello Daemon::readHello() {
  const std::optional<mosaickit::Frame> frame = readFrame();
  if (!frame || frame->type != 1 || frame->reqID != 0) {
    throw std::runtime_error("the daemon did not greet with a Hello frame");
  }
  return mosaickit::Hello::parse(frame->payload);
}

void Daemon::drainErrors(bool untilEnd) {
  char buf[4096];
  const auto deadline = Clock::now() + (untilEnd ? 10s : 0s);
  while (errors_ >= 0 && pollFor(errors_, POLLIN, deadline)) {
    const ssize_t n = ::read(errors_, buf, sizeof buf);
    if (n <= 0) {
      closeFd(errors_);
      break;
    }
    errorText_.append(buf, static_cast<size_t>(n));
  }
}

int Daemon::wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    drainErrors(false);
    int status;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      drainErrors(true);
      return *status_;
    }
    if (Clock::now() > deadline) throw std::runtime_error("the daemon did not exit in time");
    ::usleep(2000);
  }
}

const std::string& Daemon::errorText() {
  drainErrors(status_.has_value());
  return errorText_;
}

mosaickit::Frame jobFrame(uint32_t reqID, const mosaickit::Job& job) {
  return mosaickit::Frame{static_cast<uint8_t>(mosaickit::FrameType::job), reqID, job.encode()};
}

}  // namespace testing_support
