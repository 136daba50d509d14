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
                         int columns, const std::string& label) {
  const size_t whole = static_cast<size_t>(std::max(columns - 1, 0));
  // The label when there is room for it and the shortest counts; the counts come first.
  const std::string front = label.size() + 12 <= whole ? label : std::string();
  const size_t room = whole - front.size();
  const std::string counts[] = {
      std::to_string(framesDone) + "/" + std::to_string(frames) + " frames decoded, " +
          std::to_string(sheetsDone) + "/" + std::to_string(sheets) + " sheets written",
      std::to_string(framesDone) + "/" + std::to_string(frames) + " frames, " +
          std::to_string(sheetsDone) + "/" + std::to_string(sheets) + " sheets",
      std::to_string(framesDone) + "/" + std::to_string(frames),
  };
  // A bar of 10 places or more with the longest counts that leave room for it; else the
  // longest counts that fit alone.
  for (const std::string& text : counts) {
    const int spare = static_cast<int>(room) - static_cast<int>(text.size()) - 3;
    if (spare >= 10) return front + bar(framesDone, frames, std::min(spare, kBarWidth)) + text;
  }
  for (const std::string& text : counts) {
    if (text.size() <= room) return front + text;
  }
  return front + counts[2].substr(0, room);
}

Progress::Progress(bool enabled, size_t frames, size_t sheets, std::string label)
    : enabled_(enabled && ::isatty(STDERR_FILENO)),
      frames_(frames),
      sheets_(sheets),
      label_(std::move(label)) {}

void Progress::update(size_t framesDone, size_t sheetsDone) {
  if (!enabled_) return;
  // The width is asked each time: the terminal may be resized while the tool runs. The rest of
  // the line is cleared, since a shorter line leaves the end of a longer one behind.
  const std::string line =
      progressLine(framesDone, frames_, sheetsDone, sheets_, terminalColumns(), label_);
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::end() {
  if (drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

}  // namespace sprites
