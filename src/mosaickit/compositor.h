// The imaging half of the rendering pipeline: the BGRA picture type, the scaler that turns a
// decoded picture into a BGRA image of the fit size, and the compositor that tiles scaled
// pictures into one canvas per level.
//
// Scaling works straight from the decoder's native picture (8- or 10-bit YUV 4:2:0, 4:2:2 or
// 4:4:4, limited or full range), with no full-size BGRA copy of the source: a large reduction
// first box-averages the YUV planes by a power of two with libyuv (luma and chroma to one
// grid), then libswscale finishes the resampling and converts the colours in one pass.
// Reductions use an area filter with chroma taken to full resolution, so a 1920 x 1080 picture
// shrunk to 160 x 90 or below neither aliases nor loses colour detail. The colour matrix and range
// are the ones the stream signals; a stream that signals no matrix is read as BT.709 at 720 rows or
// more and BT.601 below.
//
// Pictures as a player would show them:
//   - HDR pictures (PQ or HLG transfer) are scaled to 16-bit RGB and tone-mapped to SDR BT.709 at
//     cell size (tone_map.h); SDR pictures go straight to BGRA as above.
//   - A frame of two interleaved fields (Picture::twoFields) is scaled from its first field
//     alone, so that motion between the fields does not show twice.
//
// Thread-safety: BGRAImage is a plain value. Compositor::scale and Compositor::compose keep no
// state and may be called from any number of threads at once. A Compositor::Scaler is not
// thread-safe: it belongs to one job (one thread at a time).
//
// Errors: scaling throws JobError with code internalError:
//   "decoder output is not BGRA"  the picture's pixel format is not one libswscale can read
//   "sws_getContext"              libswscale could not build a context for the conversion
//   "sws_setColorspaceDetails N"  libswscale refused the colour matrix or range (status N)
//   "sws_scale N"                 the conversion itself failed (N: what it returned)
// compose throws nothing (beyond std::bad_alloc).

#ifndef MOSAICKIT_COMPOSITOR_H_
#define MOSAICKIT_COMPOSITOR_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "mosaickit/protocol.h"

namespace mosaickit {

class Picture;
class ToneMapper;

// A picture of width x height pixels, rows from the top, each pixel four bytes in the order
// blue, green, red, alpha, with no padding between rows. Alpha is carried along but never
// interpreted: the JPEG encoder ignores it.
class BGRAImage {
 public:
  // REQUIRES: width >= 0, height >= 0 and pixels.size() == width * height * 4
  // (anything else is a programming error: throws std::invalid_argument).
  BGRAImage(int64_t width, int64_t height, Bytes pixels);
  // An all-zero image (every pixel black with alpha 0). REQUIRES: width >= 0, height >= 0.
  BGRAImage(int64_t width, int64_t height);

  int64_t width() const { return width_; }
  int64_t height() const { return height_; }
  int64_t rowBytes() const { return width_ * 4; }

  // The pixel bytes. Writers may change bytes but must keep the length.
  const Bytes& pixels() const { return pixels_; }
  Bytes& pixels() { return pixels_; }

  // The blue, green, red and alpha bytes at column x, row y.
  // REQUIRES: 0 <= x < width and 0 <= y < height.
  std::array<uint8_t, 4> pixel(int64_t x, int64_t y) const;

  friend bool operator==(const BGRAImage&, const BGRAImage&) = default;

 private:
  int64_t width_;
  int64_t height_;
  Bytes pixels_;
};

namespace Compositor {

// Scales decoded pictures to BGRA, keeping one libswscale context per distinct source format,
// source size, colour description and target size it has met, so that a job that scales many
// pictures of one stream builds its context once. Owns its contexts; move-only; not
// thread-safe (one job, one thread at a time).
class Scaler {
 public:
  Scaler();
  ~Scaler();
  Scaler(Scaler&&) noexcept;
  Scaler& operator=(Scaler&&) noexcept;
  Scaler(const Scaler&) = delete;
  Scaler& operator=(const Scaler&) = delete;

  // Resamples the whole picture into a new image of exactly width x height (both axes scaled
  // independently: nothing is cropped or letterboxed). Reads the picture in place; the only
  // allocation is the result. The picture stays the caller's.
  // REQUIRES: !picture.empty(), width >= 1, height >= 1.
  // Throws JobError(internalError) as listed at the top of this file.
  BGRAImage scale(const Picture& picture, int width, int height);

 private:
  struct Entry;
  std::vector<Entry> entries_;
  // Planes of pictures box-reduced before scaling, reused from picture to picture.
  std::array<Bytes, 3> scratch_;
  // HDR pictures: the scaled 16-bit RGB planes, and the tone mapper of the stream's signal.
  std::vector<uint16_t> rgb_;
  std::unique_ptr<ToneMapper> toneMapper_;
};

// One-shot form of Scaler::scale, for a single picture.
BGRAImage scale(const Picture& picture, int width, int height);

// Tiles scaled pictures into the canvas of one level: cellsW x cellW by cellsH x cellH pixels,
// all black with alpha 0 at first. Cell i (row-major from the top-left) shows frames[indices[i]]
// at its own size with its top-left corner at (padX, padY) inside the cell; a blackCell index
// or an empty frames entry leaves the cell black. One allocation per canvas, one block copy per
// picture row.
//
// The job's validation guarantees that every picture fits its cell at the pad offset, that each
// level has exactly cellsW x cellsH indices and that every index names a frame. Input that
// breaks those rules is still safe: a picture is clipped to its cell, indices beyond the grid
// and indices beyond frames are ignored, and a grid with no columns, no rows or empty cells
// gives an empty canvas. Nothing is ever written outside the canvas.
BGRAImage compose(const Level& level, int cellW, int cellH, int padX, int padY,
                  std::span<const std::optional<BGRAImage>> frames);

}  // namespace Compositor

}  // namespace mosaickit

#endif  // MOSAICKIT_COMPOSITOR_H_
