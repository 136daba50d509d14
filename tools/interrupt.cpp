#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace sprites {

namespace {

std::atomic<int> caught{0};
std::atomic<pid_t> daemonPid{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "a signal handler may touch only lock-free atomics");

void onSignal(int signal) {
  caught.store(signal);
  if (const pid_t pid = daemonPid.load(); pid > 0) ::kill(pid, SIGKILL);
}

}  // namespace

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool interrupted() {
  return caught.load() != 0;
}

void watchDaemon(pid_t pid) {
  daemonPid.store(pid);
  // A signal that came while the daemon was being started found no one to end.
  if (pid > 0 && interrupted()) ::kill(pid, SIGKILL);
}

void endByInterrupt() {
  const int signal = caught.load();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace sprites
