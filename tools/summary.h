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
  const StreamInfo& info;
  const SpritePlan& plan;
  const std::vector<std::string>& files;  // written in the output folder, in order
  Totals totals;
  double scanMillis = 0, totalMillis = 0;
};

// {"input": ..., "output", "codec", "video": {"width", "height" (as shown), "rotation", "sar",
// "duration", "keyframes"}, "thumbnail", "grid", "formats", "thumbnails", "interval" (null
// unless uniform), "sheets", "vtt" (its name, or null), "cues", "files" (every file written in
// the output folder), "hlsMaster" and "dashMpd" (the manifests edited, or null), "jobs",
// "truncated" (null, or {"dataEnd", "declared"} in seconds), "timings"}, with a newline.
std::string jsonSummary(const RunSummary& run);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_SUMMARY_H_
