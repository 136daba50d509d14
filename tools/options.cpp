#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "mosaickit/protocol.h"

namespace sprites {

namespace {

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
    "                       (at most one of --interval, --count and --keyframes)\n"
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
    "Each thumbnail shows the nearest keyframe at or before its time, upright as a player shows\n"
    "the video. Times are playback times, after the file's edit list.\n"
    "\n"
    "Exit status: 0 done; 1 failed, nothing new written; 2 wrong command line; 3 the input\n"
    "ends before its stated length: sheets and track cover what could be read, and standard\n"
    "error says where the data ended.\n";

int positiveInt(const std::string& flag, const std::string& text, int most = 65535) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 1 || v > most) {
    usageError(flag + " wants a whole number from 1 to " + std::to_string(most) + ", not \"" +
               text + "\"");
  }
  return static_cast<int>(v);
}

std::pair<int, int> pairOf(const std::string& flag, const std::string& text, int most = 65535) {
  const size_t x = text.find('x');
  if (x == std::string::npos) usageError(flag + " wants AxB, not \"" + text + "\"");
  return {positiveInt(flag, text.substr(0, x), most), positiveInt(flag, text.substr(x + 1), most)};
}

double positiveSeconds(const std::string& flag, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v > 0) || !std::isfinite(v)) {
    usageError(flag + " wants a number of seconds above 0, not \"" + text + "\"");
  }
  return v;
}

// --interval, --count and --keyframes each say how thumbnails are chosen; two of them would
// leave the choice to their order on the line.
void chooseSelection(Options& o, std::optional<std::string>& given, const std::string& flag,
                     const Selection& selection) {
  if (given && *given != flag) usageError(*given + " and " + flag + " cannot be used together");
  given = flag;
  o.selection = selection;
}

}  // namespace

void usageError(const std::string& why) {
  std::fprintf(stderr, "gridwright-sprites: %s (see --help)\n", why.c_str());
  std::exit(kExitUsage);
}

Options parseOptions(int argc, char** argv) {
  // A thumbnail wider or taller than a sheet may be can never be made.
  constexpr int kMostSide = mosaickit::Job::maxCanvasSide;
  Options o;
  std::optional<std::string> selectionFlag;
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
      chooseSelection(o, selectionFlag, arg,
                      {Selection::Mode::interval, positiveSeconds(arg, value()), 0});
    } else if (arg == "--count") {
      chooseSelection(o, selectionFlag, arg,
                      {Selection::Mode::count, 0, positiveInt(arg, value())});
    } else if (arg == "--keyframes") {
      chooseSelection(o, selectionFlag, arg, {Selection::Mode::keyframes, 0, 0});
    } else if (arg == "--width") {
      o.width = positiveInt(arg, value(), kMostSide);
    } else if (arg == "--size") {
      o.size = pairOf(arg, value(), kMostSide);
    } else if (arg == "--grid") {
      std::tie(o.columns, o.rows) = pairOf(arg, value());
    } else if (arg == "--quality") {
      o.quality = positiveInt(arg, value(), 31);
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
    const std::filesystem::path in(o.input);
    o.output = (in.parent_path() / (in.stem().string() + "-sprites")).string();
  }
  return o;
}

}  // namespace sprites
