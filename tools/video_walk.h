// Which files a run of gridwright-sprites makes thumbnails of, and where each one's go.
//
// Inputs are files and folders. A named file is taken whatever its extension. A folder is walked
// recursively in sorted order for files with a video extension (mp4 m4v mov mkv webm ts m2ts
// mts avi h264 264 h265 265 hevc, any case), leaving out hidden files and folders, the tool's
// own output folders (those holding its record) and links that lead out of the folder; links to
// folders are not followed at all, so no walk can loop.
//
// Outputs: one named file goes to -o DIR, or beside it as "<file without extension>-sprites".
// In a library run (several inputs, or a folder), -o ROOT mirrors the tree as ROOT/<path
// relative to the input folder, without extension>/; without -o, each goes beside its video.
//
// Plain functions; any thread. Nothing here throws except std::bad_alloc: a folder that cannot
// be read is reported in VideoWalk::problems.

#ifndef GRIDWRIGHT_TOOLS_VIDEO_WALK_H_
#define GRIDWRIGHT_TOOLS_VIDEO_WALK_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace sprites {

struct VideoFile {
  std::filesystem::path path;    // as found: the input, or the input folder joined with relative
  std::string relative;          // '/'-separated, below its input folder; a named file's name
  std::filesystem::path output;  // its output folder
  // Set when an earlier file of the walk has the same output folder (a.mp4 and a.mkv under one
  // -o ROOT): that file's path. Such a file is not made.
  std::string sharesOutputWith;
};

struct VideoWalk {
  std::vector<VideoFile> files;       // in input order, each folder's files sorted
  std::vector<std::string> problems;  // one line each: "DIR: Permission denied"
  bool library = false;               // several inputs, or a folder
};

VideoWalk findVideos(const std::vector<std::string>& inputs, const std::string& output,
                     const std::optional<Shard>& shard);

// Whether `relative` falls in `shard`: a hash of its bytes (FNV-1a, 64 bits) modulo the count,
// the same on every machine and for every run, whatever other files there are.
bool inShard(const std::string& relative, const Shard& shard);

// True for the extensions a folder walk takes.
bool hasVideoExtension(const std::filesystem::path& path);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_VIDEO_WALK_H_
