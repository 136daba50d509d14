// For the end-to-end tests of gridwright-sprites: clips made once with the ffmpeg command, runs
// of the real tool, and readers for what it writes (sheets and the WebVTT track).

#ifndef GRIDWRIGHT_TESTS_SUPPORT_SPRITE_FILES_H_
#define GRIDWRIGHT_TESTS_SUPPORT_SPRITE_FILES_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child.h"

namespace testing_support {

// Where the sprite tests keep their clips (shared by every test process of the build).
std::filesystem::path spriteClipsDir();

// Makes `name` in spriteClipsDir() with `ffmpeg -hide_banner -nostdin -loglevel error -y -threads 2
// ARGS -f MUXER FILE` unless it is there already, the muxer following the name's extension
// (mp4, mov, ts, mkv, wav, h264, h265). Written under a temporary name and renamed, so processes
// running side by side never see half a clip. Returns its path; a failed command fails the test.
std::filesystem::path ffmpegClip(const std::string& name, const std::string& args);

// 13 seconds of a moving 320 x 180 pattern with a keyframe every 2 seconds (at 0, 2, ..., 12),
// in MP4: thumbnails every second show each keyframe twice.
std::filesystem::path evenKeyframesClip();

// An HLS package of `clip` (fMP4 segments: DIR/hls/master.m3u8 over DIR/hls/video.m3u8) and a
// DASH one (DIR/dash/video.mpd), made by ffmpeg's own muxers with 4-second segments; a failed
// command fails the test.
void packageWithFfmpeg(const std::filesystem::path& dir, const std::filesystem::path& clip);

// Runs gridwright-sprites with `args` to its end.
ProgramRun runSprites(std::vector<std::string> args);

// An empty (removed) folder under the test's temporary folder.
std::filesystem::path freshDir(const std::string& name);

// A whole file's bytes; empty when it cannot be read.
std::string fileText(const std::filesystem::path& path);

// How many times `piece` occurs in `text` (overlapping ones too).
size_t countOf(const std::string& text, const std::string& piece);

// The names of the files in `dir`, sorted; none when it does not exist.
std::vector<std::string> filesIn(const std::filesystem::path& dir);

// A decoded picture: RGB, three bytes per pixel, rows from the top.
struct RgbImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;

  std::array<uint8_t, 3> at(int x, int y) const;
  // The part of width w and height h whose top-left corner is at (x, y).
  RgbImage crop(int x, int y, int w, int h) const;
};

// A JPEG file decoded to RGB; an unreadable file fails the test and gives an empty image.
RgbImage readJpeg(const std::filesystem::path& path);

// The first frame that `ffmpeg ARGS` gives as raw RGB of width x height (ARGS name the input and
// the filters); a failed command fails the test and gives an empty image.
RgbImage ffmpegFrame(const std::string& args, int width, int height);

// Every keyframe of `clip` as the ffmpeg command shows it (turned by its display matrix), scaled
// to cellW x cellH, side by side in one strip.
RgbImage keyframeStrip(const std::filesystem::path& clip, int keyframes, int cellW, int cellH);

// Which picture of `strip` (pictures of shown's size side by side) `shown` is most like, and the
// peak signal-to-noise ratio of that likeness.
struct Likeness {
  int index = -1;
  double psnr = 0;
};
Likeness mostLike(const RgbImage& strip, const RgbImage& shown);

// Picture comparisons: the peak signal-to-noise ratio of b against a (dB, over all samples); a
// picture's mean saturation (max - min of R, G, B); its mean BT.709 luma. REQUIRES: equal sizes.
double psnr(const RgbImage& a, const RgbImage& b);
double meanSaturation(const RgbImage& image);
double meanLuma(const RgbImage& image);

// One cue of a WebVTT thumbnails track.
struct Cue {
  std::string start, end, sheet;
  int x, y, w, h;
};

std::vector<Cue> readCues(const std::filesystem::path& vtt);

// "hh:mm:ss.mmm".
std::string vttTime(double seconds);

}  // namespace testing_support

#endif  // GRIDWRIGHT_TESTS_SUPPORT_SPRITE_FILES_H_
