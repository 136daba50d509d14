// The WebVTT thumbnails track: the convention that web players' thumbnail plug-ins read (a cue
// per thumbnail whose text names its sheet with a `#xywh=x,y,w,h` fragment).
//
// Plain functions; any thread. Nothing here throws except std::bad_alloc.

#ifndef GRIDWRIGHT_TOOLS_VTT_TRACK_H_
#define GRIDWRIGHT_TOOLS_VTT_TRACK_H_

#include <cstddef>
#include <string>
#include <vector>

#include "sprite_plan.h"

namespace sprites {

// One cue per run of consecutive thumbnails that show the same keyframe, from the run's start to
// its end, naming the cell of the run's first thumbnail. REQUIRES: plan.sheets cover
// plan.thumbnails.
std::string webVtt(const SpritePlan& plan);

// How many cues webVtt gives: the runs of consecutive thumbnails that show one keyframe.
size_t cueCount(const std::vector<Thumbnail>& thumbnails);

// "hh:mm:ss.mmm".
std::string vttTime(double seconds);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_VTT_TRACK_H_
