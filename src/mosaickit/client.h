// The parent's side of gridwright: starting the daemon as a child process, checking its
// greeting, submitting jobs from any number of threads and matching each reply to its job by
// reqID, noticing the daemon's death, and closing it down.
//
// ChildProcess is the process handling alone (a program with its three standard streams on
// pipes); Client is the whole conversation built on it.
//
// Thread-safety: Client has internal synchronisation: submit, run and the accessors may be
// called from any number of threads at once; close may be called from any thread, also while
// other threads are blocked in submit (they then throw ClientError). ChildProcess::kill, wait and
// poll are thread-safe; its descriptor operations need external synchronisation.
//
// Signals: a write to a daemon that has died would raise SIGPIPE and end the parent; starting a
// ChildProcess therefore sets SIGPIPE to ignored for the whole process if it was at its default.
//
// Errors: ClientError for everything that concerns the daemon as a process (it cannot be
// started, greets wrongly or not in time, dies, writes a broken frame). The daemon's answer to a
// job is never thrown: it is the job's outcome, a JobResult or a JobError.

#ifndef MOSAICKIT_CLIENT_H_
#define MOSAICKIT_CLIENT_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "mosaickit/protocol.h"

namespace mosaickit {

// The daemon could not be started, greeted wrongly or not in time, died, or broke the frame
// stream. what() is one line that says which, with the daemon's exit status and its last line
// on standard error when they are known.
class ClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a child process ended: its exit code, or the signal that ended it.
struct ExitStatus {
  int code = 0;    // meaningful when signal == 0
  int signal = 0;  // the signal that ended the process, or 0 when it exited

  bool clean() const { return signal == 0 && code == 0; }
  // "exit status 2", or "killed by signal 9 (Killed)".
  std::string describe() const;
  // The shell's convention: the code, or 128 + the signal.
  int shellStatus() const { return signal != 0 ? 128 + signal : code; }

  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// How to start a ChildProcess.
struct SpawnOptions {
  // Extra arguments after the program's name.
  std::vector<std::string> args;
  // Start with the parent's end of the child's standard output already closed, so that the
  // child's first write to it fails (for testing how a program handles that).
  bool outputClosed = false;
};

// A program running as a child process whose standard input, output and error are pipes to this
// process. Owns the child and the parent's ends of the three pipes (closed on exec in the
// child). Non-copyable.
class ChildProcess {
 public:
  // Starts `path` (not searched in PATH). Throws ClientError("cannot start PATH: reason").
  explicit ChildProcess(const std::string& path, const SpawnOptions& options = {});
  // Closes the pipes; a child not yet reaped is killed with SIGKILL and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The parent's ends: write to input(), read from output() and errors(); -1 once closed.
  int input() const { return input_; }
  int output() const { return output_; }
  int errors() const { return errors_; }
  void closeInput();
  void closeOutput();
  void closeErrors();

  // Sends `signal` to the child unless it has already been reaped (so a recycled process id is
  // never signalled).
  void kill(int signal);
  // Blocks until the child ends, reaps it and returns how it ended; later calls return the same
  // status at once.
  ExitStatus wait();
  // The status once the child has ended (reaping it); nothing while it runs.
  std::optional<ExitStatus> poll();

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::mutex lock_;  // guards status_ and the reaping
  std::optional<ExitStatus> status_;
};

// A job's outcome: the daemon's result, or the error it answered with.
using JobOutcome = std::variant<JobResult, JobError>;

struct ClientOptions {
  // The gridwright executable.
  std::string daemonPath;
  // How long the daemon may take to greet.
  std::chrono::milliseconds helloTimeout{10000};
  // Called on the constructing thread with the daemon's process id as soon as it is started,
  // before its Hello is read: for a caller that must be able to signal it from then on (a
  // program's interrupt handler). May be empty.
  std::function<void(pid_t)> started{};
};

// A running gridwright daemon and the conversation with it.
//
// Jobs are numbered with fresh reqIDs (1, 2, ...). At most maxInflight() jobs are outstanding at
// once: a submission beyond that waits for a reply, so the daemon never answers busy. A reply
// frees its place before it is handed over, so the thread that gets it may submit at once.
//
// Death: when the daemon's output ends (it exited or was killed) or it writes a broken frame, the
// client reaps it and fails every outstanding job, and every later submission, with one
// ClientError that gives the reason, for example
//   "gridwright ended with killed by signal 9 (Killed)"
//   "gridwright ended with exit status 2: gridwright: malformed input: ..."
// (the daemon's last line on standard error, when it wrote one).
class Client {
 public:
  // Starts the daemon and reads its Hello. Throws ClientError when it cannot be started, ends
  // before greeting, greets with something other than a Hello of protocol 1 (or announces no
  // place for jobs), or does not greet within options.helloTimeout; the daemon is then killed.
  explicit Client(ClientOptions options);
  // Kills a daemon that close() has not ended and fails its outstanding jobs.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // From the Hello.
  int maxInflight() const { return hello_.maxInflight; }
  const std::string& version() const { return hello_.version; }
  uint8_t caps() const { return hello_.caps; }
  pid_t pid() const { return child_.pid(); }

  // Sends `job` once fewer than maxInflight() jobs are outstanding (blocking until then) and
  // returns the future of its outcome. The future's get() throws ClientError when the daemon
  // dies before answering. Throws ClientError at once when the daemon is already gone or the
  // client is closing, and when the job's frame would exceed maxFrameLength (the daemon would
  // otherwise end on it, failing every other job); nothing is sent then.
  std::future<JobOutcome> submit(const Job& job);
  // submit(job).get().
  JobOutcome run(const Job& job);

  // How many jobs are outstanding now.
  int outstanding() const;

  // Ends the daemon's input, waits until every outstanding job is answered and the daemon has
  // exited, and returns how it ended. A daemon still running after `timeout` is killed (its
  // outstanding jobs fail). Submissions waiting for a place throw ClientError. Idempotent: later
  // calls return the same status.
  ExitStatus close(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // Why the daemon is gone, once it is gone without close(); nothing while it runs.
  std::optional<std::string> failure() const;
  // What the daemon wrote to standard error (its last 64 KiB).
  std::string errorText() const;

 private:
  struct Pending {
    std::promise<JobOutcome> promise;
  };

  void startErrorReader();
  void readHello(std::chrono::milliseconds timeout);
  [[noreturn]] void failStart(const std::string& why);
  void readReplies();
  bool deliver(const Frame& frame, std::string& broken);
  void finish(const std::string& broken);
  std::string endedReason(const ExitStatus& status, const char* when) const;

  ClientOptions options_;
  ChildProcess child_;
  Hello hello_;

  // Whole frames go to the daemon's input under this lock; closing the input takes it too.
  std::mutex writeLock_;
  // Serialises close(), which joins the reply reader.
  std::mutex closeLock_;

  mutable std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  uint32_t nextReqID_ = 1;
  std::map<uint32_t, Pending> pending_;
  bool closing_ = false;
  bool ended_ = false;
  std::optional<std::string> failure_;
  std::optional<ExitStatus> status_;
  std::string errorText_;
  std::thread replies_;
  std::thread errorsReader_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_CLIENT_H_
