// gridwright-sprites: a video file in, scrub-preview sprite sheets and a WebVTT thumbnails track
// out, with the gridwright daemon doing the decoding, scaling and JPEG encoding.
//
// The file is read with libavformat; only keyframes are sent, as a recorder would, one job per
// sheet, with as many jobs in flight as the daemon has places. Sheets and the track are written
// under temporary names and renamed only once everything has succeeded.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mosaickit/client.h"
#include "mosaickit/protocol.h"
#include "sprite_plan.h"
#include "video_source.h"

namespace {

using mosaickit::Bytes;
using namespace sprites;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kVersion = "gridwright-sprites 1.0";

constexpr const char* kUsage =
    "usage: gridwright-sprites INPUT [options]\n"
    "\n"
    "Makes scrub-preview sprite sheets (sheet-001.jpg, ...) and a WebVTT thumbnails track\n"
    "(thumbnails.vtt) from the H.264 or H.265 video of INPUT, with the gridwright daemon.\n"
    "\n"
    "  -o, --output DIR     where to write them (default: INPUT without its extension + "
    "\"-sprites\")\n"
    "  --interval SECONDS   one thumbnail every SECONDS (default 10)\n"
    "  --count N            N thumbnails spread evenly over the video\n"
    "  --keyframes          one thumbnail per keyframe\n"
    "  --width W            thumbnail width (default 160); the height follows the picture's\n"
    "                       display aspect ratio\n"
    "  --size WxH           thumbnail width and height\n"
    "  --grid CxR           columns and rows per sheet (default 10x10)\n"
    "  --quality Q          JPEG quality, 1 (best) to 31 (default 5)\n"
    "  --daemon PATH        the gridwright executable (default: the one beside this program)\n"
    "  --json               print a summary as JSON on standard output\n"
    "  -q, --quiet          no progress bar\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "\n"
    "Each thumbnail shows the nearest keyframe at or before its time.\n";

// Job frames stay well under the daemon's 64 MiB limit.
constexpr size_t kJobBudget = 48u << 20;

struct Options {
  std::string input;
  std::string output;
  Selection selection;
  int width = 160;
  std::optional<std::pair<int, int>> size;
  int columns = 10, rows = 10;
  int quality = 5;
  std::string daemon;
  bool json = false;
  bool quiet = false;
};

// A failure that ends the program with one line and status 1.
struct Failure {
  std::string line;
};

[[noreturn]] void usageError(const std::string& why) {
  std::fprintf(stderr, "gridwright-sprites: %s (see --help)\n", why.c_str());
  std::exit(2);
}

int positiveInt(const std::string& flag, const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 1 || v > 65535) {
    usageError(flag + " wants a whole number from 1 to 65535, not \"" + text + "\"");
  }
  return static_cast<int>(v);
}

std::pair<int, int> pairOf(const std::string& flag, const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) usageError(flag + " wants AxB, not \"" + text + "\"");
  return {positiveInt(flag, text.substr(0, x)), positiveInt(flag, text.substr(x + 1))};
}

double positiveSeconds(const std::string& flag, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v > 0) || !std::isfinite(v)) {
    usageError(flag + " wants a number of seconds above 0, not \"" + text + "\"");
  }
  return v;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(arg + " wants a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::puts(kVersion);
      std::exit(0);
    } else if (arg == "-o" || arg == "--output") {
      o.output = value();
    } else if (arg == "--interval") {
      o.selection = {Selection::Mode::interval, positiveSeconds(arg, value()), 0};
    } else if (arg == "--count") {
      o.selection = {Selection::Mode::count, 0, positiveInt(arg, value())};
    } else if (arg == "--keyframes") {
      o.selection = {Selection::Mode::keyframes, 0, 0};
    } else if (arg == "--width") {
      o.width = positiveInt(arg, value());
    } else if (arg == "--size") {
      o.size = pairOf(arg, value());
    } else if (arg == "--grid") {
      std::tie(o.columns, o.rows) = pairOf(arg, value());
    } else if (arg == "--quality") {
      o.quality = positiveInt(arg, value());
      if (o.quality > 31) usageError("--quality wants 1 to 31");
    } else if (arg == "--daemon") {
      o.daemon = value();
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (!arg.empty() && arg[0] != '-' && o.input.empty()) {
      o.input = arg;
    } else {
      usageError("unknown argument \"" + arg + "\"");
    }
  }
  if (o.input.empty()) usageError("no INPUT");
  if (o.output.empty()) {
    const fs::path in(o.input);
    o.output = (in.parent_path() / (in.stem().string() + "-sprites")).string();
  }
  return o;
}

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

// The thumbnail size: the given one, or the given width and the height that keeps the
// picture's display aspect ratio (its pixel count times its sample aspect ratio).
std::pair<int, int> thumbnailSize(const Options& o, const StreamInfo& info) {
  if (o.size) return *o.size;
  const double displayW = static_cast<double>(info.width) * info.sarNum / info.sarDen;
  if (displayW <= 0 || info.height <= 0) {
    throw Failure{o.input + ": the video stream does not say its picture size"};
  }
  const long h = std::lround(o.width * info.height / displayW);
  return {o.width, static_cast<int>(std::clamp<long>(h, 1, 65535))};
}

void checkCanvas(const SheetLayout& layout) {
  const long w = static_cast<long>(layout.columns) * layout.cellW;
  const long h = static_cast<long>(layout.rows) * layout.cellH;
  if (w > mosaickit::Job::maxCanvasSide || h > mosaickit::Job::maxCanvasSide) {
    throw Failure{"sheets of " + std::to_string(layout.columns) + "x" +
                  std::to_string(layout.rows) + " thumbnails of " + std::to_string(layout.cellW) +
                  "x" + std::to_string(layout.cellH) + " would be " + std::to_string(w) + "x" +
                  std::to_string(h) + " pixels, over 8192 per side; use a smaller --grid"};
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

// A progress bar on standard error, drawn only when that is a terminal.
class Progress {
 public:
  Progress(bool enabled, size_t frames, size_t sheets)
      : enabled_(enabled && ::isatty(STDERR_FILENO)), frames_(frames), sheets_(sheets) {}

  void update(size_t framesDone, size_t sheetsDone) {
    if (!enabled_) return;
    constexpr int kWidth = 30;
    const int filled = frames_ ? static_cast<int>(kWidth * framesDone / frames_) : kWidth;
    std::fprintf(stderr, "\r[%s%s] %zu/%zu frames decoded, %zu/%zu sheets written",
                 std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), framesDone,
                 frames_, sheetsDone, sheets_);
    std::fflush(stderr);
    drawn_ = true;
  }
  void end() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
  }

 private:
  bool enabled_;
  size_t frames_, sheets_;
  bool drawn_ = false;
};

// Files written under temporary names in the output folder and renamed together at the end;
// whatever was not committed is removed when this goes away.
class OutputFiles {
 public:
  explicit OutputFiles(fs::path dir) : dir_(std::move(dir)) {}
  ~OutputFiles() {
    std::error_code ec;
    for (const auto& [partial, final] : files_) fs::remove(partial, ec);
  }

  void write(const std::string& name, std::string_view bytes) {
    const fs::path final = dir_ / name;
    const fs::path partial = dir_ / ("." + name + ".partial");
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    files_.emplace_back(partial, final);
    if (!out) throw Failure{"cannot write " + partial.string()};
  }

  // Renames every file to its final name, in the order written (the track goes last).
  void commit() {
    for (const auto& [partial, final] : files_) {
      std::error_code ec;
      fs::rename(partial, final, ec);
      if (ec) throw Failure{"cannot rename " + partial.string() + ": " + ec.message()};
    }
    files_.clear();
  }

 private:
  fs::path dir_;
  std::vector<std::pair<fs::path, fs::path>> files_;
};

struct Totals {
  size_t jobs = 0;
  uint64_t decodeMicros = 0, encodeMicros = 0, cpuMicros = 0;
};

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

  mosaickit::Job jobFor(const Sheet& sheet) {
    mosaickit::Job job;
    job.codec = static_cast<uint8_t>(info_.codec);
    job.paramSets = info_.paramSets;
    job.fitW = job.cellW = layout_.cellW;
    job.fitH = job.cellH = layout_.cellH;
    job.quality = quality_;
    size_t bytes = 0;
    mosaickit::Level level{sheet.cellsW, sheet.cellsH, {}};
    level.indices.assign(static_cast<size_t>(sheet.cellsW) * static_cast<size_t>(sheet.cellsH),
                         mosaickit::blackCell);
    for (size_t i = 0; i < sheet.count; ++i) {
      Bytes& unit = units_[sheet.first + i];
      bytes += unit.size();
      level.indices[i] = static_cast<uint16_t>(i);
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
      files_.write(sheet.name,
                   std::string_view(reinterpret_cast<const char*>(result.jpegs.at(0).data()),
                                    result.jpegs.at(0).size()));
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

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void printSummary(const Options& o, const StreamInfo& info, const SheetLayout& layout,
                  const std::vector<Sheet>& sheets, size_t cues, const Totals& totals,
                  double scanMillis, double totalMillis) {
  std::string names;
  for (const Sheet& s : sheets) names += (names.empty() ? "" : ", ") + jsonString(s.name);
  std::printf(
      "{\"input\": %s, \"output\": %s, \"codec\": \"%s\", \"video\": {\"width\": %d, "
      "\"height\": %d, \"sar\": \"%d:%d\", \"duration\": %.3f, \"keyframes\": %zu}, "
      "\"thumbnail\": {\"width\": %d, \"height\": %d}, \"grid\": {\"columns\": %d, \"rows\": "
      "%d}, \"sheets\": [%s], \"vtt\": \"thumbnails.vtt\", \"cues\": %zu, \"jobs\": %zu, "
      "\"timings\": {\"scanMillis\": %.1f, \"totalMillis\": %.1f, \"decodeMicros\": %llu, "
      "\"encodeMicros\": %llu, \"cpuMicros\": %llu}}\n",
      jsonString(o.input).c_str(), jsonString(o.output).c_str(),
      info.codec == mosaickit::Codec::h264 ? "h264" : "h265", info.width, info.height, info.sarNum,
      info.sarDen, info.duration, info.keyframeTimes.size(), layout.cellW, layout.cellH,
      layout.columns, layout.rows, names.c_str(), cues, totals.jobs, scanMillis, totalMillis,
      static_cast<unsigned long long>(totals.decodeMicros),
      static_cast<unsigned long long>(totals.encodeMicros),
      static_cast<unsigned long long>(totals.cpuMicros));
}

void makeSprites(const Options& o) {
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

  if (o.json) {
    printSummary(o, info, layout, sheets, thumbnails.size(), maker.totals(), scanMillis,
                 millisSince(start));
  } else if (!o.quiet && ::isatty(STDERR_FILENO)) {
    std::fprintf(stderr, "wrote %zu sheet(s) and %s (%zu cues) to %s\n", sheets.size(),
                 "thumbnails.vtt", thumbnails.size(), o.output.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  try {
    makeSprites(options);
    return 0;
  } catch (const Failure& f) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", f.line.c_str());
  } catch (const SourceError& e) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", e.what());
  } catch (const mosaickit::ClientError& e) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gridwright-sprites: %s\n", e.what());
  }
  return 1;
}
