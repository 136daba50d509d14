// Which keyframes become thumbnails and where each one sits on which sheet: what every output
// format is written from.
//
// Plain values and functions; any thread. Nothing here throws except std::bad_alloc.

#ifndef GRIDWRIGHT_TOOLS_SPRITE_PLAN_H_
#define GRIDWRIGHT_TOOLS_SPRITE_PLAN_H_

#include <cstddef>
#include <string>
#include <utility>
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

// One thumbnail per chosen time, for formats whose thumbnails each stand for one fixed interval:
// thumbnail k spans [k x interval, (k + 1) x interval) (the last to the end of the video) and
// shows the latest keyframe at or before its start, so neighbours may show the same keyframe.
// REQUIRES: selection.mode is not keyframes.
std::vector<Thumbnail> uniformThumbnails(const std::vector<double>& keyframeTimes, double duration,
                                         const Selection& selection);

// The span of each uniform thumbnail: the interval asked for, or the video's length / count.
double uniformInterval(double duration, const Selection& selection);

// Sheets of columns x rows cells of cellW x cellH pixels, filled row by row. The last sheet
// keeps its columns but has only the rows it needs; a video with fewer thumbnails than columns
// gets a single row of just those.
struct SheetLayout {
  int columns = 10, rows = 10;
  int cellW = 160, cellH = 90;
};

// The largest grid up to 10 x 10 whose sheets of cellW x cellH cells fit within maxSide pixels
// each way (at least 1 x 1).
std::pair<int, int> defaultGrid(int cellW, int cellH, int maxSide);

struct Sheet {
  std::string name;  // "sheet-001.jpg"
  size_t first = 0;  // its first thumbnail
  size_t count = 0;  // how many it shows
  int cellsW = 0, cellsH = 0;
};

// With `sameSize`, every sheet has the first sheet's grid, the last one's empty cells black:
// tile formats declare one grid for all their sheets.
std::vector<Sheet> planSheets(size_t thumbnails, const SheetLayout& layout, bool sameSize = false);

// What every format's writer is made from.
struct SpritePlan {
  std::vector<Thumbnail> thumbnails;  // in time order
  std::vector<Sheet> sheets;          // none when no format shows sheets
  SheetLayout layout;                 // as shown (after any turn)
  double duration = 0;                // the video's playback length, seconds
  double interval = 0;                // each thumbnail's span when they are uniform, else 0

  // The cell of thumbnail `i` of `sheet`: its column and row.
  std::pair<int, int> cellOf(const Sheet& sheet, size_t i) const;
};

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_SPRITE_PLAN_H_
