#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "mosaickit/protocol.h"

namespace sprites {

namespace {

constexpr const char* kVersion = "gridwright-sprites 1.0";

constexpr const char* kUsage =
    "usage: gridwright-sprites [options] INPUT...\n"
    "\n"
    "Makes scrub-preview thumbnails of the H.264 or H.265 video of each INPUT, with the\n"
    "gridwright daemon: sprite sheets (sheet-001.jpg, ...) and the tracks that players read.\n"
    "An INPUT may be a folder: its videos (mp4 m4v mov mkv webm ts m2ts mts avi h264 264 h265\n"
    "265 hevc) are found in it and below, hidden files and folders left out.\n"
    "\n"
    "  -o, --output DIR     where to write them: for one video file, DIR itself (default: the\n"
    "                       file without its extension + \"-sprites\"); for several inputs or a\n"
    "                       folder, DIR/<path below the folder, without extension>/ for each\n"
    "                       (default: beside each video, as for one file)\n"
    "  --format LIST        what to write, comma-separated (default vtt):\n"
    "                         vtt   thumbnails.vtt, a WebVTT track over the sheets (web players'\n"
    "                               thumbnail plug-ins: Video.js, Plyr, JW Player, ...)\n"
    "                         hls   thumbnails.m3u8, an HLS image playlist over the sheets\n"
    "                               (Roku, Shaka Player, THEOplayer, ...)\n"
    "                         dash  DASH thumbnail tiles: thumbnails.mpd, or an AdaptationSet in\n"
    "                               --dash-mpd (Android's Media3, Shaka Player, dash.js, Roku)\n"
    "                         bif   thumbnails.bif, one JPEG per thumbnail (Roku, Plex, Emby)\n"
    "  --hls-master FILE    add the image playlist to this HLS master playlist (implies hls)\n"
    "  --dash-mpd FILE      add the thumbnail tiles to this MPD's Period (implies dash)\n"
    "  --interval SECONDS   one thumbnail every SECONDS (default 10)\n"
    "  --count N            N thumbnails spread evenly over the video\n"
    "  --keyframes          one thumbnail per keyframe (vtt only)\n"
    "                       (at most one of --interval, --count and --keyframes)\n"
    "  --width W            thumbnail width (default 160); the height follows the picture's\n"
    "                       display aspect ratio\n"
    "  --size WxH           thumbnail width and height\n"
    "  --grid CxR           columns and rows per sheet (default: 10x10, or the largest grid\n"
    "                       below it whose sheets fit 8192x8192 pixels)\n"
    "  --quality Q          JPEG quality, 1 (best) to 31 (default 5)\n"
    "  --daemon PATH        the gridwright executable (default: the one beside this program)\n"
    "  --json               print a summary as JSON on standard output\n"
    "  -q, --quiet          no progress bar\n"
    "  --verbose            the media libraries' own messages on standard error\n"
    "  --force              make again what is up to date\n"
    "  --read-all           read every packet of each file, even where its index (MP4, MOV)\n"
    "                       would find the keyframes (for a file whose index is wrong)\n"
    "  --shard K/N          only the files whose path below its folder hashes to K of N\n"
    "                       (0 <= K < N): the same split on every machine\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "\n"
    "Each thumbnail shows the nearest keyframe at or before its time, upright as a player shows\n"
    "the video. Times are playback times, after the file's edit list. In HLS and DASH tiles and\n"
    "BIF images, thumbnail k stands for the interval from k x SECONDS (or k x the video's length\n"
    "/ N) to the next; the WebVTT track gives one cue per run of times that show one keyframe.\n"
    "\n"
    "A run records what it wrote in DIR/.gridwright-sprites, and what from: a later run skips\n"
    "a video whose source and options are those of the record, removes only files of the\n"
    "record that it no longer writes and that nobody changed since, and never overwrites a\n"
    "file that it did not write. A file that fails is named on standard error and the run goes\n"
    "on.\n"
    "\n"
    "Exit status: 0 every video done or up to date; 1 nothing could be done; 2 wrong command\n"
    "line; 3 some inputs end before their stated length (everything covers what could be read,\n"
    "and standard error says where the data ended), none failed; 4 some videos failed, others\n"
    "were written.\n";

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

// "vtt,hls": each name once, at least one.
Formats formatsOf(const std::string& list) {
  Formats f;
  size_t begin = 0;
  for (;;) {
    const size_t comma = list.find(',', begin);
    const std::string name = list.substr(begin, comma - begin);
    bool* flag = name == "vtt"    ? &f.vtt
                 : name == "hls"  ? &f.hls
                 : name == "dash" ? &f.dash
                 : name == "bif"  ? &f.bif
                                  : nullptr;
    if (flag == nullptr) {
      usageError("--format wants names from vtt, hls, dash and bif, not \"" + name + "\"");
    }
    *flag = true;
    if (comma == std::string::npos) return f;
    begin = comma + 1;
  }
}

// "K/N": 0 <= K < N.
Shard shardOf(const std::string& text) {
  const size_t slash = text.find('/');
  char* end = nullptr;
  const long k = std::strtol(text.c_str(), &end, 10);
  const long n =
      slash == std::string::npos ? 0 : std::strtol(text.c_str() + slash + 1, nullptr, 10);
  const bool whole = slash != std::string::npos && end == text.c_str() + slash && slash > 0 &&
                     text.find_first_not_of("0123456789", slash + 1) == std::string::npos &&
                     slash + 1 < text.size();
  if (!whole || n < 1 || n > 65535 || k < 0 || k >= n) {
    usageError("--shard wants K/N with 0 <= K < N (N at most 65535), not \"" + text + "\"");
  }
  return {static_cast<int>(k), static_cast<int>(n)};
}

}  // namespace

std::string outputShape(const Options& o) {
  const Formats& f = o.formats;
  std::string shape = "formats";
  for (const auto& [on, name] : {std::pair{f.vtt, "vtt"}, std::pair{f.hls, "hls"},
                                 std::pair{f.dash, "dash"}, std::pair{f.bif, "bif"}}) {
    if (on) shape += std::string(" ") + name;
  }
  char selection[96];
  std::snprintf(selection, sizeof selection, "; selection %d %.17g %d",
                static_cast<int>(o.selection.mode), o.selection.interval, o.selection.count);
  shape += selection;
  shape += "; width " + std::to_string(o.width);
  if (o.size)
    shape += "; size " + std::to_string(o.size->first) + "x" + std::to_string(o.size->second);
  if (o.grid)
    shape += "; grid " + std::to_string(o.grid->first) + "x" + std::to_string(o.grid->second);
  shape += "; quality " + std::to_string(o.quality);
  if (!o.hlsMaster.empty())
    shape += "; hls-master " + std::filesystem::absolute(o.hlsMaster).string();
  if (!o.dashMpd.empty()) shape += "; dash-mpd " + std::filesystem::absolute(o.dashMpd).string();
  return shape;
}

void usageError(const std::string& why) {
  std::fprintf(stderr, "gridwright-sprites: %s (see --help)\n", why.c_str());
  std::exit(kExitUsage);
}

Options parseOptions(int argc, char** argv) {
  // A thumbnail wider or taller than a sheet may be can never be made.
  constexpr int kMostSide = mosaickit::Job::maxCanvasSide;
  Options o;
  std::optional<std::string> selectionFlag;
  std::optional<Formats> formats;
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
    } else if (arg == "--format") {
      formats = formatsOf(value());
    } else if (arg == "--hls-master") {
      o.hlsMaster = value();
    } else if (arg == "--dash-mpd") {
      o.dashMpd = value();
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
      o.grid = pairOf(arg, value());
    } else if (arg == "--quality") {
      o.quality = positiveInt(arg, value(), 31);
    } else if (arg == "--daemon") {
      o.daemon = value();
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--force") {
      o.force = true;
    } else if (arg == "--read-all") {
      o.readAll = true;
    } else if (arg == "--shard") {
      o.shard = shardOf(value());
    } else if (!arg.empty() && arg[0] != '-') {
      o.inputs.push_back(arg);
    } else {
      usageError("unknown argument \"" + arg + "\"");
    }
  }
  if (o.inputs.empty()) usageError("no INPUT");
  o.formats = formats.value_or(Formats{.vtt = true});
  o.formats.hls |= !o.hlsMaster.empty();
  o.formats.dash |= !o.dashMpd.empty();
  // Tiles and BIF images each stand for a fixed interval; keyframes come at any times.
  if (o.formats.uniform() && o.selection.mode == Selection::Mode::keyframes) {
    usageError("--keyframes makes thumbnails of uneven length, which only vtt can describe");
  }
  // One master playlist or MPD holds one video's thumbnails.
  if ((!o.hlsMaster.empty() || !o.dashMpd.empty()) &&
      (o.inputs.size() > 1 || std::filesystem::is_directory(o.inputs.front()))) {
    usageError("--hls-master and --dash-mpd go with one video file");
  }
  return o;
}

}  // namespace sprites
