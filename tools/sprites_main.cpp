// gridwright-sprites: video files (or folders of them) in, scrub-preview sprite sheets and the
// thumbnail tracks that players read out (WebVTT, HLS image playlists, DASH thumbnail tiles,
// BIF), with one gridwright daemon doing the decoding, scaling and JPEG encoding.
//
// The files to make are found first (video_walk); those whose folders are up to date are
// skipped; the others are made a few side by side (file_queue), each read with libavformat
// (through its index where it has one) and sent to the daemon as keyframes only, one job per
// sheet. Everything is written under temporary names and renamed only once a file's work has
// succeeded; the user's own HLS or DASH manifests are edited last, once the files they name are
// in place.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bif_file.h"
#include "daemon_lease.h"
#include "dash_manifest.h"
#include "file_queue.h"
#include "hls_playlist.h"
#include "interrupt.h"
#include "mosaickit/client.h"
#include "mosaickit/protocol.h"
#include "options.h"
#include "orientation.h"
#include "output_files.h"
#include "progress.h"
#include "relative_uri.h"
#include "sprite_plan.h"
#include "summary.h"
#include "thumbnail_jobs.h"
#include "video_source.h"
#include "video_walk.h"
#include "vtt_track.h"

namespace {

using mosaickit::Bytes;
using namespace sprites;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A failure that ends the program with one line and status 1.
struct Failure {
  std::string line;
};

// The daemon given with --daemon, else the one installed beside this program, else the one of
// the build tree this program was built in.
std::string findDaemon(const std::string& given) {
  if (!given.empty()) return given;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = self.parent_path() / "gridwright";
    if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
#ifdef GRIDWRIGHT_BUILT_DAEMON
  if (::access(GRIDWRIGHT_BUILT_DAEMON, X_OK) == 0) return GRIDWRIGHT_BUILT_DAEMON;
#endif
  throw Failure{"cannot find the gridwright daemon; give its path with --daemon"};
}

// The thumbnail size as shown: the given one, or the given width and the height that keeps the
// shown picture's aspect ratio (its pixel count times its sample aspect ratio, turned as the
// display matrix says).
std::pair<int, int> thumbnailSize(const Options& o, const VideoFile& file, const StreamInfo& info) {
  if (o.size) return *o.size;
  const double codedW = static_cast<double>(info.width) * info.sarNum / info.sarDen;
  const double codedH = info.height;
  if (codedW <= 0 || codedH <= 0) {
    throw Failure{file.path.string() + ": the video stream does not say its picture size"};
  }
  const bool swapped = swapsSides(info.orientation);
  const double shownW = swapped ? codedH : codedW, shownH = swapped ? codedW : codedH;
  const long h = std::lround(o.width * shownH / shownW);
  return {o.width, static_cast<int>(std::clamp<long>(h, 1, 65535))};
}

// Sheets over the daemon's canvas limit come from the options alone: a usage error.
void checkCanvas(const SheetLayout& layout) {
  const long w = static_cast<long>(layout.columns) * layout.cellW;
  const long h = static_cast<long>(layout.rows) * layout.cellH;
  if (w > mosaickit::Job::maxCanvasSide || h > mosaickit::Job::maxCanvasSide) {
    usageError("sheets of " + std::to_string(layout.columns) + "x" + std::to_string(layout.rows) +
               " thumbnails of " + std::to_string(layout.cellW) + "x" +
               std::to_string(layout.cellH) + " would be " + std::to_string(w) + "x" +
               std::to_string(h) + " pixels, over 8192 per side; use a smaller --grid or --width");
  }
}

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Says where the data ended, on one line; the run's status then tells scripts too.
std::string truncationLine(const VideoFile& file, const Truncation& t) {
  char times[160];
  std::snprintf(times, sizeof times, ": the data ends at %.3f s of the %.3f s the file states; ",
                t.dataEnd, t.declared);
  std::string line = "gridwright-sprites: ";
  line += file.path.string();
  line += times;
  line += "the sheets and track cover what could be read\n";
  return line;
}

// The thumbnails, sheets and spans every format is written from.
SpritePlan planSprites(const Options& o, const VideoFile& file, const StreamInfo& info) {
  SpritePlan plan;
  const auto [cellW, cellH] = thumbnailSize(o, file, info);
  const auto [columns, rows] =
      o.grid.value_or(defaultGrid(cellW, cellH, mosaickit::Job::maxCanvasSide));
  plan.layout = {columns, rows, cellW, cellH};
  checkCanvas(plan.layout);
  plan.duration = info.duration;
  if (o.formats.uniform()) {
    plan.thumbnails = uniformThumbnails(info.keyframeTimes, info.duration, o.selection);
    // A video that states no length still gets tiles of some length.
    plan.interval = std::max(uniformInterval(info.duration, o.selection), 0.001);
  } else {
    plan.thumbnails = chooseThumbnails(info.keyframeTimes, info.duration, o.selection);
  }
  if (o.formats.sheets()) {
    // Tile formats declare one grid for every sheet.
    plan.sheets = planSheets(plan.thumbnails.size(), plan.layout, o.formats.hls || o.formats.dash);
  }
  return plan;
}

// The names this run writes in the output folder, sheets first and the tracks last.
std::vector<std::string> outputNames(const Options& o, const SpritePlan& plan) {
  std::vector<std::string> names;
  for (const Sheet& sheet : plan.sheets) names.push_back(sheet.name);
  if (o.formats.bif) names.push_back("thumbnails.bif");
  if (o.formats.hls) names.push_back("thumbnails.m3u8");
  if (o.formats.dash && o.dashMpd.empty()) names.push_back("thumbnails.mpd");
  if (o.formats.vtt) names.push_back("thumbnails.vtt");
  return names;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    throw Failure{"cannot read " + path + ": " + std::generic_category().message(errno)};
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Failure{"cannot read " + path};
  return text;
}

// The manifests of the user's own HLS or DASH package that get the thumbnails: their edits are
// tried once before any work, so that a file that cannot take them fails the run at once, and
// made for real once the thumbnails are in place.
class PackageEdits {
 public:
  PackageEdits(const Options& o, const VideoFile& file, const SpritePlan& plan)
      : o_(o), output_(file.output), plan_(plan) {
    if (!o.hlsMaster.empty()) hlsEdited(0);
    if (!o.dashMpd.empty()) dashEdited(0);
  }

  void apply(uint64_t bandwidth) {
    if (!o_.hlsMaster.empty()) rewriteFile(o_.hlsMaster, hlsEdited(bandwidth));
    if (!o_.dashMpd.empty()) rewriteFile(o_.dashMpd, dashEdited(bandwidth));
  }

  // The template of the sheets in the MPD (or in thumbnails.mpd, beside them).
  TileSet tileSet(uint64_t bandwidth) const {
    const std::string folder =
        o_.dashMpd.empty() ? "" : relativeUri(fs::absolute(o_.dashMpd).parent_path(), output_);
    return {sheetTemplate(folder), bandwidth};
  }

 private:
  std::string hlsEdited(uint64_t bandwidth) const {
    const std::string uri =
        relativeUri(fs::absolute(o_.hlsMaster).parent_path(), output_ / "thumbnails.m3u8");
    try {
      return withImageStream(readText(o_.hlsMaster), imageStreamLine(plan_, bandwidth, uri), uri);
    } catch (const HlsError& e) {
      throw Failure{o_.hlsMaster + ": " + e.what()};
    }
  }

  std::string dashEdited(uint64_t bandwidth) const {
    try {
      return withTileSet(readText(o_.dashMpd), plan_, tileSet(bandwidth));
    } catch (const DashError& e) {
      throw Failure{o_.dashMpd + ": " + e.what()};
    }
  }

  const Options& o_;
  const fs::path output_;
  const SpritePlan& plan_;
};

// Makes one file's thumbnails. Throws what any step throws; `client` is the daemon it used.
FileStatus makeSprites(const Options& o, const VideoFile& file, const SourceStamp& stamp,
                       DaemonLease& daemon, std::shared_ptr<mosaickit::Client>& client,
                       bool showProgress, FileReport& report) {
  const auto start = Clock::now();
  const uint64_t readBefore = bytesReadSoFar();
  VideoSource source(file.path.string(), !o.readAll);
  const StreamInfo info = source.scan();
  const double scanMillis = millisSince(start);
  const SpritePlan plan = planSprites(o, file, info);

  OutputFiles files(file.output);
  files.claim(outputNames(o, plan));
  PackageEdits edits(o, file, plan);
  client = daemon.client();
  Progress progress(showProgress && !o.quiet, plan.thumbnails.size(), plan.sheets.size());
  std::vector<size_t> sheetBytes(plan.sheets.size());
  std::vector<Bytes> images(o.formats.bif ? plan.thumbnails.size() : 0);
  PictureSinks sinks{
      [&](size_t sheet, const Bytes& jpeg) {
        sheetBytes[sheet] = jpeg.size();
        files.write(plan.sheets[sheet].name,
                    std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
      },
      [&](size_t thumbnail, Bytes jpeg) { images[thumbnail] = std::move(jpeg); },
      [&](size_t thumbnails, size_t sheets) { progress.update(thumbnails, sheets); }};
  ThumbnailJobs jobs(*client, info, plan, o.quality, o.formats.bif, std::move(sinks));
  progress.update(0, 0);
  try {
    source.readKeyframes(jobs.wanted(), [&jobs](size_t keyframe, Bytes unit) {
      jobs.add(keyframe, std::move(unit));
    });
    jobs.finish();
  } catch (...) {
    progress.end();
    throw;
  }
  progress.end();

  const uint64_t bandwidth = peakBandwidth(plan, sheetBytes);
  if (o.formats.bif) {
    std::vector<uint32_t> times;
    for (const Thumbnail& t : plan.thumbnails) {
      times.push_back(static_cast<uint32_t>(std::min(std::llround(t.start * 1000), 0xFFFFFFFELL)));
    }
    const Bytes bif = bifFile(times, images);
    files.write("thumbnails.bif",
                std::string_view(reinterpret_cast<const char*>(bif.data()), bif.size()));
  }
  if (o.formats.hls) files.write("thumbnails.m3u8", hlsPlaylist(plan));
  if (o.formats.dash && o.dashMpd.empty()) {
    files.write("thumbnails.mpd", thumbnailMpd(plan, edits.tileSet(bandwidth)));
  }
  if (o.formats.vtt) files.write("thumbnails.vtt", webVtt(plan));
  files.commit(stamp);
  edits.apply(bandwidth);

  if (info.truncation) report.err += truncationLine(file, *info.truncation);
  if (o.json) {
    const RunSummary run{o,
                         file.path.string(),
                         file.output.string(),
                         info,
                         source.readThroughIndex(),
                         plan,
                         files.names(),
                         jobs.totals(),
                         scanMillis,
                         millisSince(start),
                         bytesReadSoFar() - readBefore};
    report.out += jsonSummary(run);
  } else if (showProgress && !o.quiet && ::isatty(STDERR_FILENO)) {
    report.err += "wrote " + std::to_string(files.names().size()) + " file(s) to " +
                  file.output.string() + "\n";
  }
  return info.truncation ? FileStatus::truncated : FileStatus::done;
}

// One line for a file that failed; in a library run it names the file.
std::string failureLine(const VideoFile& file, bool library, const std::string& why) {
  const std::string path = file.path.string();
  std::string line = "gridwright-sprites: ";
  if (library && !why.starts_with(path)) {
    line += path;
    line += ": ";
  }
  line += why;
  line += '\n';
  return line;
}

// Makes one file's thumbnails unless its folder is up to date; a failure is reported and
// becomes its status.
FileReport runFile(const Options& o, const VideoFile& file, bool library, DaemonLease& daemon,
                   bool showProgress) {
  FileReport report;
  auto line = [&](FileStatus status, const std::string& why) {
    if (o.json) {
      report.out += fileLine(file.path.string(), file.output.string(), statusName(status), why);
    }
    report.status = status;
    return report;
  };
  auto failed = [&](const std::string& why) {
    if (interrupted()) return report;  // the signal says why
    report.err += failureLine(file, library, why);
    return line(FileStatus::failed, why);
  };
  if (!file.sharesOutputWith.empty()) {
    return failed("its output folder " + file.output.string() + " is that of " +
                  file.sharesOutputWith + "; give the two their own folders");
  }
  const std::optional<SourceStamp> stamp = stampOf(file.path, outputShape(o));
  if (stamp && !o.force && isUpToDate(file.output, *stamp)) {
    return line(FileStatus::upToDate, "");
  }
  std::shared_ptr<mosaickit::Client> client;
  try {
    report.status =
        makeSprites(o, file, stamp.value_or(SourceStamp{}), daemon, client, showProgress, report);
    return report;
  } catch (const Failure& f) {
    return failed(f.line);
  } catch (const mosaickit::ClientError& e) {
    daemon.drop(client);
    return failed(e.what());
  } catch (const std::exception& e) {
    // SourceError, OutputError, JobFailure, ...: each one line already.
    return failed(e.what());
  }
}

// The run's status from its files': 0 when every one is done or up to date, 3 when some were
// truncated and none failed, 4 when some failed and others were written, 1 when nothing could
// be done.
int runStatus(const std::map<FileStatus, size_t>& counts, size_t files) {
  auto count = [&counts](FileStatus s) { return counts.count(s) ? counts.at(s) : 0; };
  if (files == 0) return kExitFailed;
  if (count(FileStatus::failed) == files) return kExitFailed;
  if (count(FileStatus::failed) > 0) return kExitSomeFailed;
  return count(FileStatus::truncated) > 0 ? kExitTruncated : 0;
}

// How many files go side by side: a few, bounded by the cores, never more than there are files.
size_t readerThreads(size_t files) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({files, std::max<size_t>(cores / 2, 2), size_t{4}});
}

int run(const Options& o) {
  const auto start = Clock::now();
  const VideoWalk walk = findVideos(o.inputs, o.output, o.shard);
  for (const std::string& problem : walk.problems) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", problem.c_str());
  }
  if (walk.files.empty()) {
    std::fprintf(stderr, "gridwright-sprites: no video found in %s\n", o.inputs.front().c_str());
    return kExitFailed;
  }
  DaemonLease daemon(findDaemon(o.daemon));
  const size_t threads = readerThreads(walk.files.size());
  // With several files at work, one line for the run: how many are done, and the last one.
  Progress progress = Progress::forFiles(!o.quiet && threads > 1, walk.files.size());
  std::map<FileStatus, size_t> counts;
  const auto work = [&](size_t i) {
    return runFile(o, walk.files[i], walk.library, daemon, threads <= 1);
  };
  runInOrder(walk.files.size(), threads, work, [&](size_t i, const FileReport& r) {
    progress.end();
    std::fputs(r.err.c_str(), stderr);
    std::fputs(r.out.c_str(), stdout);
    std::fflush(stdout);
    ++counts[r.status];
    progress.update(i + 1, 0);
  });
  progress.end();
  if (interrupted()) {
    daemon.drop(nullptr);
    endByInterrupt();
  }
  int status = runStatus(counts, walk.files.size());
  const std::optional<std::string> end = daemon.close();
  if (interrupted()) endByInterrupt();
  if (end) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", end->c_str());
    status = counts[FileStatus::done] + counts[FileStatus::truncated] > 0 ? kExitSomeFailed
                                                                          : kExitFailed;
  }
  if (o.json && walk.library) {
    std::fputs(
        totalsLine(walk.files.size(), counts[FileStatus::done], counts[FileStatus::upToDate],
                   counts[FileStatus::truncated], counts[FileStatus::failed], millisSince(start))
            .c_str(),
        stdout);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  routeMediaLog(options.verbose);
  catchInterrupts();
  try {
    return run(options);
  } catch (const Failure& f) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", f.line.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", e.what());
  }
  return kExitFailed;
}
