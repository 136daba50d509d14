// The progress line of gridwright-sprites on standard error: drawn only when that is a terminal,
// redrawn in place, and never wider than the terminal (a line that wraps would scroll at every
// update).
//
// Main thread only.

#ifndef GRIDWRIGHT_TOOLS_PROGRESS_H_
#define GRIDWRIGHT_TOOLS_PROGRESS_H_

#include <cstddef>
#include <string>

namespace sprites {

class Progress {
 public:
  Progress(bool enabled, size_t frames, size_t sheets);
  // The line of a run over several files: how many of them are done ("3/12 files done").
  static Progress forFiles(bool enabled, size_t files);

  void update(size_t framesDone, size_t sheetsDone);
  // Ends the line, if one was drawn, so that what follows starts on a line of its own.
  void end();

 private:
  bool enabled_;
  size_t frames_, sheets_;
  bool files_ = false;
  bool drawn_ = false;
};

// The line for `columns` terminal columns: a bar and both counts when they fit, shorter forms
// when they do not, never more than columns - 1 characters (the last column would wrap on some
// terminals).
// With `files`, the counts are of files done ("3/12 files done"), without sheets.
std::string progressLine(size_t framesDone, size_t frames, size_t sheetsDone, size_t sheets,
                         int columns, bool files = false);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_PROGRESS_H_
