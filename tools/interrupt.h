// Ctrl-C, kill and hang-up while gridwright-sprites runs: the run stops at once and as cleanly
// as a failure does (temporary files and new folders of the file at work removed, every file
// finished before it kept with its record), so that the next run finishes the work; then the
// program ends by the same signal, as the shell expects.
//
// The handler only notes the signal and kills the daemon (SIGKILL: it holds nothing that
// outlives it), whose death wakes every wait for its replies; the reading loops ask
// interrupted() between packets. Any thread may call interrupted().

#ifndef GRIDWRIGHT_TOOLS_INTERRUPT_H_
#define GRIDWRIGHT_TOOLS_INTERRUPT_H_

#include <sys/types.h>

namespace sprites {

// Catches SIGINT, SIGTERM and SIGHUP. Main thread, once, before any daemon starts.
void catchInterrupts();

// Whether one of them has come.
bool interrupted();

// The daemon to kill when one comes; 0 for none. Set before the daemon may be reaped.
void watchDaemon(pid_t pid);

// Ends the program by the signal that came, with its default action. REQUIRES: interrupted().
[[noreturn]] void endByInterrupt();

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_INTERRUPT_H_
