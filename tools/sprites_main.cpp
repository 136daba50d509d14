// gridwright-sprites: a video file in, scrub-preview sprite sheets and a WebVTT thumbnails track
// out, with the gridwright daemon doing the decoding, scaling and JPEG encoding.
//
// The file is read with libavformat; only keyframes are sent, as a recorder would, one job per
// sheet, with as many jobs in flight as the daemon has places. Sheets and the track are written
// under temporary names and renamed only once everything has succeeded.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "mosaickit/client.h"
#include "mosaickit/protocol.h"
#include "options.h"
#include "orientation.h"
#include "output_files.h"
#include "progress.h"
#include "sprite_plan.h"
#include "summary.h"
#include "video_source.h"

namespace {

using mosaickit::Bytes;
using namespace sprites;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Job frames stay well under the daemon's 64 MiB limit.
constexpr size_t kJobBudget = 48u << 20;

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
std::pair<int, int> thumbnailSize(const Options& o, const StreamInfo& info) {
  if (o.size) return *o.size;
  const double codedW = static_cast<double>(info.width) * info.sarNum / info.sarDen;
  const double codedH = info.height;
  if (codedW <= 0 || codedH <= 0) {
    throw Failure{o.input + ": the video stream does not say its picture size"};
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

const char* codeName(mosaickit::ErrorCode code) {
  switch (code) {
    case mosaickit::ErrorCode::decode:
      return "decode";
    case mosaickit::ErrorCode::unsupported:
      return "unsupported";
    case mosaickit::ErrorCode::busy:
      return "busy";
    case mosaickit::ErrorCode::internalError:
      return "internal error";
    case mosaickit::ErrorCode::badRequest:
      return "bad request";
  }
  return "error";
}

// Turns the chosen keyframes into one job per sheet as the file is read, keeping as many jobs
// in flight as the daemon allows and writing each sheet as its reply comes.
class SheetMaker {
 public:
  SheetMaker(mosaickit::Client& client, const StreamInfo& info, const SheetLayout& layout,
             int quality, const std::vector<Thumbnail>& thumbnails,
             const std::vector<Sheet>& sheets, OutputFiles& files, Progress& progress)
      : client_(client),
        info_(info),
        layout_(layout),
        quality_(quality),
        thumbnails_(thumbnails),
        sheets_(sheets),
        files_(files),
        progress_(progress),
        units_(thumbnails.size()) {
    for (size_t i = 0; i < thumbnails.size(); ++i) slotOf_[thumbnails[i].keyframe] = i;
  }

  std::vector<bool> wanted() const {
    std::vector<bool> w(info_.keyframeTimes.size(), false);
    for (const Thumbnail& t : thumbnails_) w[t.keyframe] = true;
    return w;
  }

  void add(size_t keyframe, Bytes unit) {
    units_[slotOf_.at(keyframe)] = std::move(unit);
    while (nextSheet_ < sheets_.size() && sheetReady(sheets_[nextSheet_])) {
      submit(nextSheet_++);
      collect(false);
    }
  }

  void finish() {
    if (nextSheet_ < sheets_.size()) {
      throw Failure{info_.keyframeTimes.empty() ? "no keyframes"
                                                : "a keyframe found on the first reading of the "
                                                  "file was missing on the second"};
    }
    collect(true);
  }

  const Totals& totals() const { return totals_; }

 private:
  struct InFlight {
    size_t sheet;
    std::future<mosaickit::JobOutcome> outcome;
  };

  bool sheetReady(const Sheet& sheet) const {
    for (size_t i = 0; i < sheet.count; ++i) {
      if (units_[sheet.first + i].empty()) return false;
    }
    return true;
  }

  // The job of one sheet, laid out as the coded pictures stand: the shown sheet's cell (c, r)
  // is the coded sheet's cell that the turn brings there, so that the coded sheet, turned as a
  // whole, reads row by row.
  mosaickit::Job jobFor(const Sheet& sheet) {
    const Orientation orientation = info_.orientation;
    const bool swapped = swapsSides(orientation);
    mosaickit::Job job;
    job.codec = static_cast<uint8_t>(info_.codec);
    job.paramSets = info_.paramSets;
    job.fitW = job.cellW = swapped ? layout_.cellH : layout_.cellW;
    job.fitH = job.cellH = swapped ? layout_.cellW : layout_.cellH;
    job.quality = quality_;
    const int codedColumns = swapped ? sheet.cellsH : sheet.cellsW;
    const int codedRows = swapped ? sheet.cellsW : sheet.cellsH;
    mosaickit::Level level{
        static_cast<uint16_t>(codedColumns), static_cast<uint16_t>(codedRows), {}};
    level.indices.assign(static_cast<size_t>(codedColumns) * static_cast<size_t>(codedRows),
                         mosaickit::blackCell);
    size_t bytes = 0;
    for (size_t i = 0; i < sheet.count; ++i) {
      Bytes& unit = units_[sheet.first + i];
      bytes += unit.size();
      const int column = static_cast<int>(i % static_cast<size_t>(sheet.cellsW));
      const int row = static_cast<int>(i / static_cast<size_t>(sheet.cellsW));
      const auto [x, y] = codedCell(orientation, column, row, codedColumns, codedRows);
      level.indices[static_cast<size_t>(y) * static_cast<size_t>(codedColumns) +
                    static_cast<size_t>(x)] = static_cast<uint16_t>(i);
      job.frames.push_back(std::move(unit));
    }
    if (bytes > kJobBudget) {
      throw Failure{sheet.name + ": its " + std::to_string(sheet.count) + " keyframes take " +
                    std::to_string(bytes >> 20) + " MiB, more than one job carries (" +
                    std::to_string(kJobBudget >> 20) + " MiB); use a smaller --grid"};
    }
    job.levels = {std::move(level)};
    return job;
  }

  void submit(size_t sheet) {
    inFlight_.push_back({sheet, client_.submit(jobFor(sheets_[sheet]))});
  }

  // Writes the sheets whose replies are in, in sheet order; with `all`, waits for every one.
  void collect(bool all) {
    while (!inFlight_.empty()) {
      InFlight& front = inFlight_.front();
      if (!all && front.outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
      }
      const Sheet& sheet = sheets_[front.sheet];
      const mosaickit::JobOutcome outcome = front.outcome.get();
      if (const auto* error = std::get_if<mosaickit::JobError>(&outcome)) {
        throw Failure{"gridwright could not make " + sheet.name + " (" + codeName(error->code()) +
                      ": " + error->message() + ")"};
      }
      const auto& result = std::get<mosaickit::JobResult>(outcome);
      const Bytes jpeg = orientJpeg(result.jpegs.at(0), info_.orientation);
      files_.write(sheet.name,
                   std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
      ++totals_.jobs;
      totals_.decodeMicros += result.decodeMicros;
      totals_.encodeMicros += result.encodeMicros;
      totals_.cpuMicros += result.cpuMicros;
      framesDone_ += sheet.count;
      progress_.update(framesDone_, totals_.jobs);
      inFlight_.pop_front();
    }
  }

  mosaickit::Client& client_;
  const StreamInfo& info_;
  const SheetLayout& layout_;
  int quality_;
  const std::vector<Thumbnail>& thumbnails_;
  const std::vector<Sheet>& sheets_;
  OutputFiles& files_;
  Progress& progress_;
  std::vector<Bytes> units_;
  std::map<size_t, size_t> slotOf_;
  size_t nextSheet_ = 0;
  std::deque<InFlight> inFlight_;
  size_t framesDone_ = 0;
  Totals totals_;
};

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Says where the data ended, on one line; the run's status then tells scripts too.
void warnTruncated(const Options& o, const Truncation& t) {
  std::fprintf(stderr,
               "gridwright-sprites: %s: the data ends at %.3f s of the %.3f s the file states; "
               "the sheets and track cover what could be read\n",
               o.input.c_str(), t.dataEnd, t.declared);
}

// Returns the exit status: 0, or kExitTruncated when the input ended early.
int makeSprites(const Options& o) {
  const auto start = Clock::now();
  VideoSource source(o.input);
  const StreamInfo info = source.scan();
  const double scanMillis = millisSince(start);

  const auto [cellW, cellH] = thumbnailSize(o, info);
  const SheetLayout layout{o.columns, o.rows, cellW, cellH};
  checkCanvas(layout);
  const std::vector<Thumbnail> thumbnails =
      chooseThumbnails(info.keyframeTimes, info.duration, o.selection);
  const std::vector<Sheet> sheets = planSheets(thumbnails.size(), layout);

  std::error_code ec;
  fs::create_directories(o.output, ec);
  if (ec) throw Failure{"cannot make " + o.output + ": " + ec.message()};

  mosaickit::Client client(mosaickit::ClientOptions{findDaemon(o.daemon)});
  OutputFiles files(o.output);
  Progress progress(!o.quiet, thumbnails.size(), sheets.size());
  SheetMaker maker(client, info, layout, o.quality, thumbnails, sheets, files, progress);
  progress.update(0, 0);
  try {
    source.readKeyframes(maker.wanted(), [&maker](size_t keyframe, Bytes unit) {
      maker.add(keyframe, std::move(unit));
    });
    maker.finish();
  } catch (...) {
    progress.end();
    throw;
  }
  progress.end();
  const mosaickit::ExitStatus status = client.close();
  if (!status.clean()) {
    throw Failure{"gridwright ended with " + status.describe()};
  }
  files.write("thumbnails.vtt", webVtt(thumbnails, sheets, layout));
  files.commit();

  if (info.truncation) warnTruncated(o, *info.truncation);
  if (o.json) {
    const RunSummary run{
        o, info, layout, sheets, thumbnails.size(), maker.totals(), scanMillis, millisSince(start)};
    std::fputs(jsonSummary(run).c_str(), stdout);
  } else if (!o.quiet && ::isatty(STDERR_FILENO)) {
    std::fprintf(stderr, "wrote %zu sheet(s) and %s (%zu cues) to %s\n", sheets.size(),
                 "thumbnails.vtt", thumbnails.size(), o.output.c_str());
  }
  return info.truncation ? kExitTruncated : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  try {
    return makeSprites(options);
  } catch (const Failure& f) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", f.line.c_str());
  } catch (const std::exception& e) {
    // SourceError, ClientError, OutputError, OrientationError: each one line already.
    std::fprintf(stderr, "gridwright-sprites: %s\n", e.what());
  }
  return kExitFailed;
}
