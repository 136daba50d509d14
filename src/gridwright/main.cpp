// gridwright: turns H.264/H.265 access units into JPEG thumbnail grids for its parent process,
// speaking length-prefixed frames on standard input and output. Its parent passes no arguments;
// it reads no environment or files, and every setting is fixed here. A person may ask its
// version with --version.

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "mosaickit/core_pool.h"
#include "mosaickit/decoder_cache.h"
#include "mosaickit/media.h"
#include "mosaickit/memory_budget.h"
#include "mosaickit/server.h"

namespace {

constexpr int kInput = 0;
constexpr int kOutput = 1;
constexpr int kMaxInflight = 4;
constexpr size_t kPooledDecoders = 48;
constexpr double kIdleTimeoutSeconds = 120.0;
constexpr int kPipeBytes = 1 << 20;
constexpr std::chrono::seconds kSweepPeriod{30};
constexpr uint64_t kMemoryBound = uint64_t{4} << 30;

// The most memory the daemon may take whatever its jobs declare: 4 GiB, or a quarter of the
// machine's memory where that is less, so that a small recorder keeps the rest for itself.
uint64_t memoryBound() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return kMemoryBound;
  return std::min(kMemoryBound, static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4);
}

// Answers the arguments a person may give: --version prints the version on standard output, and
// anything else one usage line on standard error, with nothing on standard output (where the
// parent expects frames). No value when there are none: the daemon runs.
std::optional<int> answerArguments(int argc, char** argv) {
  if (argc <= 1) return std::nullopt;
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::printf("%s\n", std::string(mosaickit::Server::version).c_str());
    return 0;
  }
  std::fputs(
      "gridwright: usage: gridwright [--version] (its parent starts it with no argument "
      "and speaks frames on standard input and output)\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> status = answerArguments(argc, argv)) return *status;
  // A parent that goes away must show up as a failed write (status 1), not kill us silently.
  std::signal(SIGPIPE, SIG_IGN);
  // One malloc arena for all threads. Jobs allocate on one thread and free on another (payloads
  // on the main thread, pictures and canvases on workers, pooled decoders on whichever worker
  // borrows them next); with an arena per thread, freed memory is held back in each arena and
  // the resident size creeps up over thousands of jobs. One arena keeps it flat; the workers'
  // allocations are few and large next to their decoding and encoding, so they rarely contend.
  ::mallopt(M_ARENA_MAX, 1);
  // A job's large buffers (its payload, the decoder's pictures, the canvas, the JPEG) are
  // megabytes each. With glibc's adaptive defaults they are mapped afresh or trimmed off the heap
  // after use, and every job pays a page fault per 4 KiB to touch them anew: 30 ms of a 1080p job
  // of 100 frames on a virtual machine. Served from the heap and kept there between jobs, they
  // cost nothing to touch again. Blocks above 32 MiB still get a mapping of their own, so a rare
  // huge payload leaves nothing behind; the rest is returned by the server's sweep once no job
  // is in flight.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // Job frames run to megabytes: through the default 64 KiB pipe that is dozens of wake-ups per
  // frame on each side. A larger pipe, where the parent gave us pipes and the system allows it,
  // lets a frame cross in a few; where it does not, nothing changes.
  for (int fd : {kInput, kOutput}) ::fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
  mosaickit::silenceLibraryLogging();

  const auto memory = mosaickit::MemoryPlan::forBound(memoryBound());
  mosaickit::MemoryBudget allJobs(mosaickit::MemoryBudget::Scope::daemon, memory.allJobs);
  mosaickit::DecoderCache cache(kPooledDecoders, kIdleTimeoutSeconds,
                                mosaickit::DecoderCache::uptimeSeconds, memory.idleDecoders);
  // A lone job decodes on every core the process may use; jobs side by side share them.
  mosaickit::CorePool cores(mosaickit::CorePool::affinityCores());
  mosaickit::JobRunner runner(cache, {.daemonMemory = &allJobs, .jobMemory = memory.oneJob},
                              &cores);
  mosaickit::Server server(kInput, kOutput, runner, kMaxInflight,
                           mosaickit::ServerTiming{.sweepPeriod = kSweepPeriod});
  const int status = server.run();
  if (status != 0) {
    // Malformed input ends the process at once, without waiting for jobs still running;
    // returning would run destructors under their feet.
    ::_exit(status);
  }
  return 0;
}
