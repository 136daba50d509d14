// JPEG encoding of level canvases with libjpeg-turbo, and the mapping from a job's quality (a
// quantiser value on FFmpeg's scale, 2 best to 31 worst) to the encoder's fractional quality.
//
// The fractional quality (0 to 1) is translated once more, onto libjpeg's 1 to 100 scale, by a
// calibration against the ffmpeg command: a job of quality q gives a file of about the size and
// fidelity that `ffmpeg -q:v q` gives for the same picture. Files are baseline JPEG with 4:2:0
// chroma subsampling and no metadata; alpha is ignored.
//
// Thread-safety: everything here may be called from any number of threads at once. encode keeps
// one compressor per calling thread and reuses it across calls.
//
// Errors: encode throws JobError with code internalError whose message names the failing call:
// "tjInitCompress: <reason>" or "tjCompress2: <reason>".

#ifndef MOSAICKIT_JPEG_H_
#define MOSAICKIT_JPEG_H_

#include <array>

#include "mosaickit/compositor.h"
#include "mosaickit/protocol.h"

namespace mosaickit::JPEG {

// One row of the quality table: an FFmpeg quantiser value and its fractional quality.
struct QualityPoint {
  int q;
  double quality;
};

// Rows by rising q and falling quality.
inline constexpr std::array<QualityPoint, 4> qualityTable = {{
    {2, 0.75},
    {6, 0.42},
    {12, 0.25},
    {31, 0.1},
}};

// The fractional quality for FFmpeg quantiser value ffmpegQ: q is clamped to 2..31 and
// interpolated linearly between the table rows around it. Returns 0.1 to 0.75; never fails,
// never allocates.
double quality(int ffmpegQ);

// The libjpeg quality (1 to 100) that encode uses for a fractional quality: calibrated at each
// row of qualityTable, linear in between, and towards 1 and 100 at fractional 0 and 1. Values
// outside 0..1 are clamped.
int libjpegQuality(double quality);

// The image as a complete JPEG file (SOI marker first), of the image's width and height.
// REQUIRES: image.width() and image.height() >= 1.
// Throws JobError(internalError) naming the TurboJPEG call that failed.
Bytes encode(const BGRAImage& image, double quality);

}  // namespace mosaickit::JPEG

#endif  // MOSAICKIT_JPEG_H_
