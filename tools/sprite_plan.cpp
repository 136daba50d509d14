#include "sprite_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace sprites {

namespace {

// Keyframe numbers sorted by their time (files store them in decode order, which for keyframes
// is nearly always time order already).
std::vector<size_t> byTime(const std::vector<double>& times) {
  std::vector<size_t> order(times.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&times](size_t a, size_t b) { return times[a] < times[b]; });
  return order;
}

std::vector<double> chosenTimes(const std::vector<double>& keyframeTimes, double duration,
                                const Selection& selection) {
  std::vector<double> times;
  switch (selection.mode) {
    case Selection::Mode::keyframes:
      // Keyframes before playback starts stand for its start (the latest of them is what a
      // player shows there); those after it ends are never shown.
      for (size_t k : byTime(keyframeTimes)) {
        if (keyframeTimes[k] < duration || times.empty()) {
          times.push_back(std::max(keyframeTimes[k], 0.0));
        }
      }
      break;
    case Selection::Mode::count: {
      const int n = std::max(selection.count, 1);
      for (int i = 0; i < n; ++i) times.push_back(duration * i / n);
      break;
    }
    case Selection::Mode::interval:
      times.push_back(0);
      for (int i = 1; i * selection.interval < duration; ++i)
        times.push_back(i * selection.interval);
      break;
  }
  return times;
}

// The latest keyframe at or before `t` (a millisecond of slack for rounded timestamps), or the
// earliest one.
size_t keyframeAt(const std::vector<double>& keyframeTimes, const std::vector<size_t>& order,
                  double t) {
  size_t pick = order.front();
  for (size_t k : order) {
    if (keyframeTimes[k] > t + 0.001) break;
    pick = k;
  }
  return pick;
}

// A thumbnail for every chosen time, each spanning to the next one's time.
std::vector<Thumbnail> thumbnailsAt(const std::vector<double>& keyframeTimes, double duration,
                                    const Selection& selection) {
  std::vector<Thumbnail> thumbnails;
  if (keyframeTimes.empty()) return thumbnails;
  const std::vector<size_t> order = byTime(keyframeTimes);
  for (double t : chosenTimes(keyframeTimes, duration, selection)) {
    thumbnails.push_back({keyframeAt(keyframeTimes, order, t), thumbnails.empty() ? 0.0 : t, 0});
  }
  for (size_t i = 0; i < thumbnails.size(); ++i) {
    thumbnails[i].end = i + 1 < thumbnails.size() ? thumbnails[i + 1].start
                                                  : std::max(duration, thumbnails[i].start);
  }
  return thumbnails;
}

}  // namespace

std::vector<Thumbnail> chooseThumbnails(const std::vector<double>& keyframeTimes, double duration,
                                        const Selection& selection) {
  std::vector<Thumbnail> thumbnails;
  for (const Thumbnail& t : thumbnailsAt(keyframeTimes, duration, selection)) {
    if (!thumbnails.empty() && thumbnails.back().keyframe == t.keyframe) {
      thumbnails.back().end = t.end;
    } else {
      thumbnails.push_back(t);
    }
  }
  return thumbnails;
}

std::vector<Thumbnail> uniformThumbnails(const std::vector<double>& keyframeTimes, double duration,
                                         const Selection& selection) {
  return thumbnailsAt(keyframeTimes, duration, selection);
}

double uniformInterval(double duration, const Selection& selection) {
  if (selection.mode == Selection::Mode::count) return duration / std::max(selection.count, 1);
  return selection.interval;
}

std::pair<int, int> defaultGrid(int cellW, int cellH, int maxSide) {
  constexpr int kMost = 10;
  return {std::clamp(maxSide / std::max(cellW, 1), 1, kMost),
          std::clamp(maxSide / std::max(cellH, 1), 1, kMost)};
}

std::vector<Sheet> planSheets(size_t thumbnails, const SheetLayout& layout, bool sameSize) {
  std::vector<Sheet> sheets;
  const size_t perSheet = static_cast<size_t>(layout.columns) * static_cast<size_t>(layout.rows);
  const int columns = static_cast<int>(
      std::min<size_t>(static_cast<size_t>(layout.columns), std::max<size_t>(thumbnails, 1)));
  for (size_t first = 0; first < thumbnails; first += perSheet) {
    Sheet sheet;
    char name[32];
    std::snprintf(name, sizeof name, "sheet-%03zu.jpg", sheets.size() + 1);
    sheet.name = name;
    sheet.first = first;
    sheet.count = std::min(perSheet, thumbnails - first);
    sheet.cellsW = columns;
    sheet.cellsH = static_cast<int>((sheet.count + static_cast<size_t>(columns) - 1) /
                                    static_cast<size_t>(columns));
    if (sameSize && !sheets.empty()) sheet.cellsH = sheets.front().cellsH;
    sheets.push_back(sheet);
  }
  return sheets;
}

std::pair<int, int> SpritePlan::cellOf(const Sheet& sheet, size_t i) const {
  const size_t columns = static_cast<size_t>(sheet.cellsW);
  return {static_cast<int>(i % columns), static_cast<int>(i / columns)};
}

}  // namespace sprites
