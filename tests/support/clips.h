// Test clips made by tests/make_clips.sh with the ffmpeg command, loaded as a job carries them:
// parameter sets and 4-byte length-prefixed access units.
//
// Clips (three frames each unless said otherwise, all intra unless said otherwise):
//   h264_rgb_1280x720        pure red, green, blue; BT.709, limited range
//   h264_rgb_1920x1080       pure red, green, blue; BT.709, limited range
//   h264_rgb_640x360         pure red, green, blue; BT.601, limited range
//   h264_rgb_640x360_full    pure red, green, blue; BT.601, full range
//   h265_rgb_640x360         pure red, green, blue; BT.601, limited range, Main
//   h265_rgb_640x360_main10  pure red, green, blue; BT.601, limited range, Main10
//   h264_crop_420            160x96 blue (4:2:0), cropped by 2 columns left and 4 rows top
//   h264_crop_444            160x96 blue (4:4:4), cropped by 3 columns left and 1 row top
//   h265_crop_422_main10     160x96 blue (10-bit 4:2:2), cropped by 2 left and 2 top
//   h264_noisy_1920x1080, h265_noisy_1920x1080  a noisy moving pattern at a middling bit rate
//   h264_bframes, h265_bframes  176x144 moving test pattern, 10 frames, two B-frames between
//                            references; with a display order and ffmpeg's reference decode
//   h264_bpyramid            the same pattern, 20 frames in GOPs of 6 with three B-frames in a
//                            pyramid (reorder depth 2); display order and reference decode too
//   h265_gops                the same pattern, 24 frames in closed GOPs of 6 (an IDR picture
//                            each) with two B-frames between references; display order too
//   h264_noise_1920x1080     one intra picture of pure noise, nearly lossless
//   h264_flat_8192          20 flat 8192 x 8192 pictures, an intra picture and then predicted ones
//   h265_flat_8192          one flat 8192 x 8192 picture
//   h264_slices_640x360, h265_slices_640x360  a moving pattern, 4 frames (an intra picture, then
//                            predicted ones), four slices to each picture
// The cropped clips are lossless: every pixel of a correctly cropped picture is the same blue,
// and the cropped-away columns and rows are red.
//
// Thread-safety: plain functions over files; any thread. Failures to read a clip throw
// std::runtime_error (a broken test setup, not a test result).

#ifndef GRIDWRIGHT_TESTS_SUPPORT_CLIPS_H_
#define GRIDWRIGHT_TESTS_SUPPORT_CLIPS_H_

#include <string>
#include <string_view>
#include <vector>

#include "mosaickit/protocol.h"

namespace testing_support {

struct Clip {
  mosaickit::Codec codec = mosaickit::Codec::h264;
  // The stream's parameter sets without start codes, in stream order: SPS, PPS (H.264);
  // VPS, SPS, PPS (H.265).
  std::vector<mosaickit::Bytes> paramSets;
  // One entry per access unit in decode order: its NAL units, each with a 4-byte big-endian
  // length prefix. Access unit delimiters and parameter sets are left out (the key carries
  // those); SEI and slices stay.
  std::vector<mosaickit::Bytes> accessUnits;
};

// A job over every access unit of `clip`: cells of exactly the fit size, quality 5, and one level
// that shows every frame, in order, in one row.
mosaickit::Job rowJob(const Clip& clip, int fitW, int fitH);

// The clip's file path (without checking that it exists), e.g. ".../h264_bframes.h264".
std::string clipPath(std::string_view name);

// Loads and splits a clip. Throws std::runtime_error when the file is missing or malformed.
Clip loadClip(std::string_view name);

// For the reordered clips: the display index of each access unit, in decode order.
std::vector<int> loadDisplayOrder(std::string_view name);

// For the reordered clips: ffmpeg's own decode of the stream, frames in display order, each the
// planes of the decoder's native pixel format packed without padding.
mosaickit::Bytes loadReferenceDecode(std::string_view name);

}  // namespace testing_support

#endif  // GRIDWRIGHT_TESTS_SUPPORT_CLIPS_H_
