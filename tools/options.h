// The command line of gridwright-sprites: what it asks for, checked whole before any file is
// opened.
//
// parseOptions handles --help and --version itself (prints and exits 0) and ends the program
// with one line on standard error and status 2 for any mistake in the command line (usageError).
// Main thread only.

#ifndef GRIDWRIGHT_TOOLS_OPTIONS_H_
#define GRIDWRIGHT_TOOLS_OPTIONS_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sprite_plan.h"

namespace sprites {

// The program's exit statuses.
inline constexpr int kExitFailed = 1;      // nothing written (or nothing new)
inline constexpr int kExitUsage = 2;       // the command line is wrong; nothing done
inline constexpr int kExitTruncated = 3;   // written, for the part of the input that could be read
inline constexpr int kExitSomeFailed = 4;  // some files failed, others were written

// What a run writes: any set of these, given with --format.
struct Formats {
  bool vtt = false;   // thumbnails.vtt over the sheets
  bool hls = false;   // thumbnails.m3u8, an image media playlist over the sheets
  bool dash = false;  // thumbnails.mpd, or an AdaptationSet added to --dash-mpd
  bool bif = false;   // thumbnails.bif, one JPEG per thumbnail

  // HLS and DASH tiles and BIF images each stand for one fixed interval.
  bool uniform() const { return hls || dash || bif; }
  bool sheets() const { return vtt || hls || dash; }
};

// --shard K/N: the files whose relative path hashes to K of N (K from 0 to N - 1).
struct Shard {
  int index = 0, count = 1;
};

struct Options {
  std::vector<std::string> inputs;  // files and folders, as given
  std::string output;               // -o as given, or empty
  Selection selection;
  Formats formats;
  std::string hlsMaster;  // a master playlist to add the image stream to
  std::string dashMpd;    // an MPD to add the thumbnails' AdaptationSet to
  int width = 160;
  std::optional<std::pair<int, int>> size;
  // Columns and rows per sheet, when --grid gave them; else the largest up to 10 x 10 that
  // fits the daemon's canvas.
  std::optional<std::pair<int, int>> grid;
  int quality = 5;
  std::string daemon;
  bool json = false;
  bool quiet = false;
  bool verbose = false;  // the media libraries' own log on standard error
  bool force = false;    // redo files whose outputs are up to date
  bool readAll = false;  // read every packet even where the file's index would do
  std::optional<Shard> shard;
};

// The options that shape what is written for a file, as one line of text: a file whose output
// folder records the same line (and the same source) need not be made again.
std::string outputShape(const Options& o);

Options parseOptions(int argc, char** argv);

// Ends the program: "gridwright-sprites: WHY (see --help)" on standard error, status 2. For
// mistakes found only once the input's picture size is known, as well as in parseOptions.
[[noreturn]] void usageError(const std::string& why);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_OPTIONS_H_
