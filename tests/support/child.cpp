#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "mosaickit/frame_io.h"

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

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

Daemon::Daemon(Options options, const std::string& path)
    : child_(path, mosaickit::SpawnOptions{{}, options.outputClosed}) {}

bool Daemon::write(mosaickit::ByteView bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(child_.input(), bytes.data() + done, bytes.size() - done);
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
  child_.closeInput();
}
void Daemon::closeOutput() {
  child_.closeOutput();
}

bool Daemon::outputReady(std::chrono::milliseconds timeout) {
  return pollFor(child_.output(), POLLIN, Clock::now() + timeout);
}

size_t Daemon::outputPending() const {
  int pending = 0;
  if (::ioctl(child_.output(), FIONREAD, &pending) != 0) {
    throw std::runtime_error(std::string("FIONREAD: ") + std::strerror(errno));
  }
  return static_cast<size_t>(pending);
}

int Daemon::resizeOutputPipe(int bytes) {
  const int granted = ::fcntl(child_.output(), F_SETPIPE_SZ, bytes);
  if (granted < 0) throw std::runtime_error(std::string("F_SETPIPE_SZ: ") + std::strerror(errno));
  return granted;
}

std::optional<mosaickit::Frame> Daemon::readFrame(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  mosaickit::FrameReader reader([this, deadline](uint8_t* dst, size_t count) -> ssize_t {
    if (!pollFor(child_.output(), POLLIN, deadline)) {
      throw std::runtime_error("timed out waiting for the daemon's output");
    }
    return ::read(child_.output(), dst, count);
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
  while (child_.errors() >= 0 && pollFor(child_.errors(), POLLIN, deadline)) {
    const ssize_t n = ::read(child_.errors(), buf, sizeof buf);
    if (n <= 0) {
      child_.closeErrors();
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
    if (const std::optional<mosaickit::ExitStatus> ended = child_.poll()) {
      status_ = ended->shellStatus();
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

long procStatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":"))
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  throw std::runtime_error("no " + field + " in /proc/" + std::to_string(pid) + "/status");
}

namespace {

std::string readToEnd(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

}  // namespace

ProgramRun runProgram(const std::string& path, std::vector<std::string> args) {
  mosaickit::ChildProcess child(path, mosaickit::SpawnOptions{std::move(args)});
  child.closeInput();
  ProgramRun run;
  std::thread errors([&] { run.err = readToEnd(child.errors()); });
  run.out = readToEnd(child.output());
  errors.join();
  run.status = child.wait().shellStatus();
  return run;
}

}  // namespace testing_support
