// The daemon's peak resident memory under the inputs of a hostile stream or a careless parent,
// four jobs in flight where it says so, each scenario on a fresh daemon. Prints each reply's
// code (or its result frame's length) and the daemon's peak resident memory (VmHWM).
//
// Usage: bench_hostile [DAEMON [SCENARIO...]] (default: the build's gridwright, every scenario).
// Naming another daemon binary measures an older build the same way. Not a timed test: some
// scenarios take gigabytes on a daemon without bounds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mosaickit/protocol.h"
#include "support/child.h"
#include "support/clips.h"
#include "support/sps_edit.h"

namespace {

using mosaickit::Bytes;
using mosaickit::Job;
using mosaickit::Level;
using testing_support::Clip;
using testing_support::editedJob;
using testing_support::loadClip;
using testing_support::SpsEdit;

struct Scenario {
  std::string name;
  std::string what;
  std::function<Job()> job;
  int inFlight;
};

std::vector<Scenario> scenarios() {
  return {
      {"huge", "SPS of 16240 x 16240, reorder depth 15, over a 176 x 144 stream's slices",
       [] {
         return editedJob(loadClip("h264_bframes"),
                          SpsEdit::size(16240, 16240).withReorder({15, 16}));
       },
       4},
      {"held", "20 flat 8192 x 8192 pictures with a promised reorder depth of 15",
       [] {
         return editedJob(loadClip("h264_flat_8192"),
                          SpsEdit::size(8192, 8192).withReorder({15, 16}));
       },
       4},
      {"scaled", "4 pictures scaled to 8192 x 8192 (1 GiB), 4 levels of one 8192 x 8192 cell",
       [] {
         Job job = testing_support::rowJob(loadClip("h264_bframes"), 8192, 8192);
         job.levels.clear();
         for (uint16_t k = 0; k < 4; ++k) job.levels.push_back(Level{1, 1, {k}});
         return job;
       },
       4},
      {"reply", "a 1080p noise picture in 2 levels of 4 x 7 full-size cells at quality 1",
       [] {
         Job job = testing_support::rowJob(loadClip("h264_noise_1920x1080"), 1920, 1080);
         job.quality = 1;
         job.levels.assign(2, Level{4, 7, std::vector<uint16_t>(28, 0)});
         return job;
       },
       1},
  };
}

// Runs one scenario on a fresh daemon and prints its line.
void run(const std::string& daemonPath, const Scenario& s) {
  testing_support::Daemon daemon(testing_support::Daemon::Options{}, daemonPath);
  daemon.readHello();
  const Job job = s.job();
  for (int k = 0; k < s.inFlight; ++k) daemon.send(testing_support::jobFrame(k + 1, job));
  std::string replies;
  for (int k = 0; k < s.inFlight; ++k) {
    std::optional<mosaickit::Frame> reply;
    try {
      reply = daemon.readFrame(std::chrono::minutes(5));
    } catch (const std::exception& e) {
      replies += std::string(" (") + e.what() + ")";
      break;
    }
    if (!reply) {
      replies += " (the daemon ended)";
      break;
    }
    if (reply->type == static_cast<uint8_t>(mosaickit::FrameType::error)) {
      const mosaickit::JobError error = mosaickit::JobError::parse(reply->payload);
      replies += " error " + std::to_string(static_cast<int>(error.code())) + " \"" +
                 error.message() + "\";";
    } else {
      replies += " result of " + std::to_string(reply->payload.size() + 5) + " bytes;";
    }
  }
  long peak = -1;
  try {
    peak = testing_support::procStatusField(daemon.pid(), "VmHWM");
  } catch (const std::exception&) {
  }
  daemon.closeInput();
  int status = -1;
  try {
    status = daemon.wait(std::chrono::minutes(2));
  } catch (const std::exception&) {
  }
  std::printf("%-7s %s\n        peak %.0f MiB, exit status %d;%s\n", s.name.c_str(), s.what.c_str(),
              static_cast<double>(peak) / 1024, status, replies.c_str());
  if (!daemon.errorText().empty()) std::printf("        stderr: %s", daemon.errorText().c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string daemonPath = argc > 1 ? argv[1] : GRIDWRIGHT_BIN;
  std::vector<std::string> chosen(argv + std::min(argc, 2), argv + argc);
  for (const Scenario& s : scenarios()) {
    if (chosen.empty() || std::find(chosen.begin(), chosen.end(), s.name) != chosen.end()) {
      run(daemonPath, s);
    }
  }
  return 0;
}
