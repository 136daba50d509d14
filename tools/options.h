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

#include "sprite_plan.h"

namespace sprites {

// The program's exit statuses.
inline constexpr int kExitFailed = 1;     // nothing written (or nothing new)
inline constexpr int kExitUsage = 2;      // the command line is wrong; nothing done
inline constexpr int kExitTruncated = 3;  // written, for the part of the input that could be read

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

Options parseOptions(int argc, char** argv);

// Ends the program: "gridwright-sprites: WHY (see --help)" on standard error, status 2. For
// mistakes found only once the input's picture size is known, as well as in parseOptions.
[[noreturn]] void usageError(const std::string& why);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_OPTIONS_H_
