#include "vtt_track.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sprites {

std::string vttTime(double seconds) {
  const long long ms = std::llround(std::max(seconds, 0.0) * 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

size_t cueCount(const std::vector<Thumbnail>& thumbnails) {
  size_t cues = 0;
  for (size_t i = 0; i < thumbnails.size(); ++i) {
    if (i == 0 || thumbnails[i - 1].keyframe != thumbnails[i].keyframe) ++cues;
  }
  return cues;
}

std::string webVtt(const SpritePlan& plan) {
  const SheetLayout& layout = plan.layout;
  std::string vtt = "WEBVTT\n";
  for (const Sheet& sheet : plan.sheets) {
    for (size_t i = 0; i < sheet.count; ++i) {
      const size_t first = sheet.first + i;
      const Thumbnail& t = plan.thumbnails[first];
      // Uniform thumbnails repeat a keyframe for every interval it stands for: one cue says it.
      if (first > 0 && plan.thumbnails[first - 1].keyframe == t.keyframe) continue;
      size_t last = first;
      while (last + 1 < plan.thumbnails.size() &&
             plan.thumbnails[last + 1].keyframe == t.keyframe) {
        ++last;
      }
      const auto [column, row] = plan.cellOf(sheet, i);
      // Appended piece by piece: GCC 12 at -O3 sees a false overlap in chained operator+.
      vtt += '\n';
      vtt += vttTime(t.start);
      vtt += " --> ";
      vtt += vttTime(plan.thumbnails[last].end);
      vtt += '\n';
      vtt += sheet.name;
      vtt += "#xywh=";
      const int box[] = {column * layout.cellW, row * layout.cellH, layout.cellW, layout.cellH};
      for (size_t b = 0; b < 4; ++b) {
        if (b > 0) vtt += ',';
        vtt += std::to_string(box[b]);
      }
      vtt += '\n';
    }
  }
  return vtt;
}

}  // namespace sprites
