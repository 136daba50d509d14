#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace sprites {

namespace {

constexpr int kBarWidth = 30;
constexpr int kDefaultColumns = 80;

int terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

std::string bar(size_t done, size_t total, int width) {
  const int filled =
      total ? static_cast<int>(static_cast<size_t>(width) * std::min(done, total) / total) : width;
  // Appended piece by piece: GCC 12 at -O3 sees a false overlap in chained operator+ here.
  std::string text;
  text.reserve(static_cast<size_t>(width) + 3);
  text += '[';
  text.append(static_cast<size_t>(filled), '#');
  text.append(static_cast<size_t>(width - filled), '.');
  text += "] ";
  return text;
}

}  // namespace

std::string progressLine(size_t framesDone, size_t frames, size_t sheetsDone, size_t sheets,
                         int columns, bool files) {
  const size_t room = static_cast<size_t>(std::max(columns - 1, 0));
  const std::string done = std::to_string(framesDone) + "/" + std::to_string(frames);
  const std::string counts[] = {
      files ? done + " files done"
            : done + " frames decoded, " + std::to_string(sheetsDone) + "/" +
                  std::to_string(sheets) + " sheets written",
      files ? done + " files"
            : done + " frames, " + std::to_string(sheetsDone) + "/" + std::to_string(sheets) +
                  " sheets",
      done,
  };
  // A bar of 10 places or more with the longest counts that leave room for it; else the
  // longest counts that fit alone.
  for (const std::string& text : counts) {
    const int spare = static_cast<int>(room) - static_cast<int>(text.size()) - 3;
    if (spare >= 10) return bar(framesDone, frames, std::min(spare, kBarWidth)) + text;
  }
  for (const std::string& text : counts) {
    if (text.size() <= room) return text;
  }
  return counts[2].substr(0, room);
}

Progress::Progress(bool enabled, size_t frames, size_t sheets)
    : enabled_(enabled && ::isatty(STDERR_FILENO)), frames_(frames), sheets_(sheets) {}

Progress Progress::forFiles(bool enabled, size_t files) {
  Progress p(enabled, files, 0);
  p.files_ = true;
  return p;
}

void Progress::update(size_t framesDone, size_t sheetsDone) {
  if (!enabled_) return;
  // The width is asked each time: the terminal may be resized while the tool runs. The rest of
  // the line is cleared, since a shorter line leaves the end of a longer one behind.
  const std::string line =
      progressLine(framesDone, frames_, sheetsDone, sheets_, terminalColumns(), files_);
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::end() {
  if (drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

}  // namespace sprites
