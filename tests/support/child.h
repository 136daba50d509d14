// Runs the real gridwright binary as a child process over pipes, as a parent program would.
// Every wait has a deadline, so a daemon that hangs fails the test instead of stalling it.

#ifndef GRIDWRIGHT_TESTS_SUPPORT_CHILD_H_
#define GRIDWRIGHT_TESTS_SUPPORT_CHILD_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mosaickit/client.h"
#include "mosaickit/protocol.h"

namespace testing_support {

using namespace std::chrono_literals;

class Daemon {
 public:
  struct Options {
    // Start with the daemon's output already closed by the parent.
    bool outputClosed = false;
  };
  Daemon() : Daemon(Options{}) {}
  explicit Daemon(Options options, const std::string& path = GRIDWRIGHT_BIN);
  // Kills the child if it is still running.
  ~Daemon() = default;
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Writes all bytes to the daemon's input; false when the daemon's input is gone.
  bool write(mosaickit::ByteView bytes);
  bool send(const mosaickit::Frame& frame) { return write(frame.encode()); }
  void closeInput();
  // Stops reading the daemon's output: its next write fails.
  void closeOutput();

  // The next frame on the daemon's output, or nullopt at its end. Throws std::runtime_error
  // after `timeout` without a whole frame, or on a broken frame.
  std::optional<mosaickit::Frame> readFrame(std::chrono::milliseconds timeout = 60s);
  // Reads the first frame and checks that it is the daemon's Hello.
  mosaickit::Hello readHello();
  // True when the output has bytes to read within `timeout`.
  bool outputReady(std::chrono::milliseconds timeout);
  // Bytes the daemon has written that the parent has not read yet.
  size_t outputPending() const;
  // Asks for a smaller (or larger) pipe on the daemon's output, so that a test can fill it with
  // a few replies; returns the capacity the kernel granted (at least one page).
  int resizeOutputPipe(int bytes);

  // Waits for the child to end; returns its exit status, or 128 + signal when a signal ended it.
  // Throws std::runtime_error after `timeout`.
  int wait(std::chrono::milliseconds timeout = 60s);
  pid_t pid() const { return child_.pid(); }
  // Everything the daemon wrote to standard error; complete once wait() has returned.
  const std::string& errorText();

 private:
  void drainErrors(bool untilEnd);

  mosaickit::ChildProcess child_;
  std::optional<int> status_;
  std::string errorText_;
};

// How a program run to its end ended, and what it wrote.
struct ProgramRun {
  int status = -1;  // the exit status, or 128 + signal
  std::string out, err;
};

// Runs `path` with `args` and its input closed, collects its standard output and error until
// both end, and reaps it. Throws mosaickit::ClientError when it cannot be started.
ProgramRun runProgram(const std::string& path, std::vector<std::string> args);

// Builds a job frame.
mosaickit::Frame jobFrame(uint32_t reqID, const mosaickit::Job& job);

// A numeric field of /proc/PID/status, such as "VmRSS" or "Threads" (the kernel's unit: KiB
// for memory). Throws std::runtime_error when the process or the field is missing.
long procStatusField(pid_t pid, const std::string& field);

}  // namespace testing_support

#endif  // GRIDWRIGHT_TESTS_SUPPORT_CHILD_H_
