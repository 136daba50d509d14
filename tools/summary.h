// The summary gridwright-sprites prints with --json: one JSON object on one line, describing the
// input as a player shows it, what was written and what it cost.
//
// Plain functions; any thread.

#ifndef GRIDWRIGHT_TOOLS_SUMMARY_H_
#define GRIDWRIGHT_TOOLS_SUMMARY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "sprite_plan.h"
#include "video_source.h"

namespace sprites {

// What the daemon's replies add up to.
struct Totals {
  size_t jobs = 0;
  uint64_t decodeMicros = 0, encodeMicros = 0, cpuMicros = 0;
};

struct RunSummary {
  const Options& options;
  std::string input, output;  // the video and its output folder
  const StreamInfo& info;
  bool readThroughIndex = false;  // the keyframes were found through the file's index
  const SpritePlan& plan;
  const std::vector<std::string>& files;  // written in the output folder, in order
  Totals totals;
  double scanMillis = 0, totalMillis = 0;
  uint64_t bytesRead = 0;  // what the thread that made the file's thumbnails read meanwhile
};

// {"input": ..., "output", "status" ("done" or "truncated"), "codec", "video": {"width", "height"
// (as shown), "rotation", "sar", "duration", "keyframes"}, "thumbnail", "grid", "formats",
// "thumbnails", "interval" (null unless uniform), "sheets", "vtt" (its name, or null), "cues",
// "files" (every file written in the output folder), "hlsMaster" and "dashMpd" (the manifests
// edited, or null), "jobs", "truncated" (null, or {"dataEnd", "declared"} in seconds), "timings"},
// with a newline.
std::string jsonSummary(const RunSummary& run);

// How many bytes the calling thread has read so far (the kernel's count, from
// /proc/thread-self/io), or 0 where the kernel does not say.
uint64_t bytesReadSoFar();

// The line of a file that was not made: {"input", "output", "status" ("up to date" or
// "failed"), "reason" (why it failed, or null)}, with a newline.
std::string fileLine(const std::string& input, const std::string& output, const std::string& status,
                     const std::string& reason);

// The last line of a library run: {"totals": {"files", "done", "upToDate", "truncated",
// "failed", "totalMillis"}}, with a newline.
std::string totalsLine(size_t files, size_t done, size_t upToDate, size_t truncated, size_t failed,
                       double totalMillis);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_SUMMARY_H_
