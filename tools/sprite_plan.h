// Which keyframes become thumbnails, where each one sits on which sheet, and the WebVTT track
// that points a player at them.
//
// Plain values and functions; any thread. Nothing here throws except std::bad_alloc.

#ifndef GRIDWRIGHT_TOOLS_SPRITE_PLAN_H_
#define GRIDWRIGHT_TOOLS_SPRITE_PLAN_H_

#include <cstddef>
#include <string>
#include <vector>

namespace sprites {

// How thumbnails are chosen.
struct Selection {
  enum class Mode { interval, count, keyframes };
  Mode mode = Mode::interval;
  double interval = 10;  // seconds between thumbnails (Mode::interval)
  int count = 0;         // how many thumbnails over the whole video (Mode::count)
};

// One thumbnail: the keyframe it shows (its number in file order) and the span of the video it
// stands for, in seconds.
struct Thumbnail {
  size_t keyframe = 0;
  double start = 0, end = 0;
};

// Picks the thumbnails. For every chosen time (0, then every interval; or `count` times spread
// evenly; or every keyframe, those before 0 counting as 0 and those at or after the end left
// out) it takes the latest keyframe at or before that time (the first keyframe for times
// before it); times that land on the keyframe of the time before them make no thumbnail of
// their own but lengthen that one's span. Each span runs to the next thumbnail's time, the
// last to the end of the video; the first starts at 0.
// `keyframeTimes` in file order, in playback seconds (below 0: before playback starts); the
// result is in time order.
std::vector<Thumbnail> chooseThumbnails(const std::vector<double>& keyframeTimes, double duration,
                                        const Selection& selection);

// Sheets of columns x rows cells of cellW x cellH pixels, filled row by row. The last sheet
// keeps its columns but has only the rows it needs; a video with fewer thumbnails than columns
// gets a single row of just those.
struct SheetLayout {
  int columns = 10, rows = 10;
  int cellW = 160, cellH = 90;
};

struct Sheet {
  std::string name;  // "sheet-001.jpg"
  size_t first = 0;  // its first thumbnail
  size_t count = 0;  // how many it shows
  int cellsW = 0, cellsH = 0;
};

std::vector<Sheet> planSheets(size_t thumbnails, const SheetLayout& layout);

// The WebVTT track: one cue per thumbnail, from its start to its end, whose text is its sheet's
// name with a `#xywh=x,y,w,h` fragment naming its cell.
std::string webVtt(const std::vector<Thumbnail>& thumbnails, const std::vector<Sheet>& sheets,
                   const SheetLayout& layout);

// "hh:mm:ss.mmm".
std::string vttTime(double seconds);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_SPRITE_PLAN_H_
