#include "mosaickit/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "mosaickit/turbojpeg_handle.h"

namespace mosaickit::JPEG {

double quality(int ffmpegQ) {
  const int q = std::clamp(ffmpegQ, qualityTable.front().q, qualityTable.back().q);
  for (size_t i = 1; i < qualityTable.size(); ++i) {
    const QualityPoint& hi = qualityTable[i];
    if (hi.q < q) continue;
    const QualityPoint& lo = qualityTable[i - 1];
    const double t = static_cast<double>(q - lo.q) / static_cast<double>(hi.q - lo.q);
    return lo.quality + (hi.quality - lo.quality) * t;
  }
  return qualityTable.back().quality;
}

namespace {

// libjpeg qualities matched to `ffmpeg -q:v q` at each row of qualityTable, measured on a
// 1600 x 900 test sheet, both encoders at 4:2:0 from the same BGRA pixels. Each is the quality
// whose PSNR (Y, Cb, Cr weighted 6:1:1) comes closest to ffmpeg's among those whose file is
// within 12 % of ffmpeg's size. ffmpeg's coder gets more out of each byte at low qualities than
// baseline libjpeg can (one quantiser table for all planes, a dead zone, optimised Huffman
// codes), so at q 31 no quality reaches its size: there the row balances size against PSNR
// rather than going down to quality 1, whose blocks are far coarser than ffmpeg's. The ends of
// the scale are pinned so that fractional qualities beyond the table still map somewhere.
struct CalibrationPoint {
  double quality;
  double libjpeg;
};
constexpr std::array<CalibrationPoint, 6> kCalibration = {{
    {1.0, 100},
    {0.75, 91},  // -q:v 2
    {0.42, 70},  // -q:v 6
    {0.25, 29},  // -q:v 12
    {0.1, 9},    // -q:v 31
    {0.0, 1},
}};

[[noreturn]] void fail(const char* call, tjhandle handle) {
  throw JobError(ErrorCode::internalError, std::string(call) + ": " + tjGetErrorStr2(handle));
}

// A compressor is costly enough to keep but must not be shared between threads, so each thread
// that encodes keeps its own for its lifetime.
tjhandle threadCompressor() {
  thread_local TjHandle handle;
  if (!handle) {
    handle.reset(tjInitCompress());
    if (!handle) fail("tjInitCompress", nullptr);
  }
  return handle.get();
}

}  // namespace

int libjpegQuality(double quality) {
  const double f = std::clamp(quality, 0.0, 1.0);
  for (size_t i = 1; i < kCalibration.size(); ++i) {
    const CalibrationPoint& lo = kCalibration[i];
    if (f < lo.quality) continue;
    const CalibrationPoint& hi = kCalibration[i - 1];
    const double t = (f - lo.quality) / (hi.quality - lo.quality);
    return static_cast<int>(std::lround(lo.libjpeg + (hi.libjpeg - lo.libjpeg) * t));
  }
  return static_cast<int>(kCalibration.back().libjpeg);
}

Bytes encode(const BGRAImage& image, double quality) {
  tjhandle handle = threadCompressor();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  // BGRX reads the fourth byte as padding: a canvas's alpha-0 background encodes as black.
  const int status =
      tjCompress2(handle, image.pixels().data(), static_cast<int>(image.width()),
                  static_cast<int>(image.rowBytes()), static_cast<int>(image.height()), TJPF_BGRX,
                  &out, &size, TJSAMP_420, libjpegQuality(quality), 0);
  TjBuffer owned(out);
  if (status != 0) fail("tjCompress2", handle);
  return Bytes(owned.get(), owned.get() + size);
}

}  // namespace mosaickit::JPEG
